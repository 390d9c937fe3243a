#include "platform/UserDefaults.h"

#include "base/Log.h"

#include <QSettings>

namespace {

std::unique_ptr<QSettings> settingsForStandardDefaults()
{
    const QByteArray overridePath = qgetenv("TORVANE_SETTINGS_FILE");
    if (!overridePath.isEmpty()) {
        return std::make_unique<QSettings>(QString::fromLocal8Bit(overridePath), QSettings::IniFormat);
    }
    return std::make_unique<QSettings>(
        QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Torvane"), QStringLiteral("Torvane"));
}

} // namespace

UserDefaults& UserDefaults::standardUserDefaults()
{
    // Created on first use by a thread-safe static; its destruction at exit writes what is left.
    static UserDefaults s_standard(settingsForStandardDefaults());
    return s_standard;
}

UserDefaults::UserDefaults(const QString& path)
    : UserDefaults(std::make_unique<QSettings>(path, QSettings::IniFormat))
{
}

UserDefaults::UserDefaults(std::unique_ptr<QSettings> settings)
    : m_settings(std::move(settings))
{
}

UserDefaults::~UserDefaults()
{
    synchronize();
}

void UserDefaults::registerDefaults(const QVariantMap& defaults)
{
    std::lock_guard lock(m_mutex);
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        m_registered.insert(it.key(), it.value());
    }
}

QVariant UserDefaults::objectForKey(const QString& key) const
{
    std::lock_guard lock(m_mutex);
    if (m_settings->contains(key)) {
        return m_settings->value(key);
    }
    return m_registered.value(key);
}

bool UserDefaults::boolForKey(const QString& key) const
{
    const QVariant value = objectForKey(key);
    if (!value.isValid()) {
        return false;
    }
    // The INI format reads every scalar back as text: "true", "false", "1", "0".
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
            return true;
        }
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
            return false;
        }
        bool ok = false;
        const double number = text.toDouble(&ok);
        return ok && number != 0.0;
    }
    return value.toBool();
}

qint64 UserDefaults::integerForKey(const QString& key) const
{
    const QVariant value = objectForKey(key);
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
            return 1;
        }
        bool ok = false;
        const qint64 number = text.toLongLong(&ok);
        if (ok) {
            return number;
        }
        const double real = text.toDouble(&ok);
        return ok ? qint64(real) : 0;
    }
    return value.toLongLong();
}

QString UserDefaults::stringForKey(const QString& key) const
{
    const QVariant value = objectForKey(key);
    return value.isValid() ? value.toString() : QString();
}

bool UserDefaults::hasStoredValueForKey(const QString& key) const
{
    std::lock_guard lock(m_mutex);
    return m_settings->contains(key);
}

void UserDefaults::setObject(const QString& key, const QVariant& value)
{
    std::lock_guard lock(m_mutex);
    m_settings->setValue(key, value);
}

void UserDefaults::setBool(const QString& key, bool value)
{
    setObject(key, value);
}

void UserDefaults::setInteger(const QString& key, qint64 value)
{
    setObject(key, value);
}

void UserDefaults::setString(const QString& key, const QString& value)
{
    setObject(key, value);
}

void UserDefaults::removeObjectForKey(const QString& key)
{
    std::lock_guard lock(m_mutex);
    m_settings->remove(key);
}

bool UserDefaults::synchronize()
{
    std::lock_guard lock(m_mutex);
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError) {
        logLine(LOG_PLATFORM, "Could not write the preferences file %s", qUtf8Printable(m_settings->fileName()));
        return false;
    }
    return true;
}

QString UserDefaults::fileName() const
{
    std::lock_guard lock(m_mutex);
    return m_settings->fileName();
}
