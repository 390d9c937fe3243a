#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <mutex>

class QSettings;

/// The user's preference values, kept in an INI file through QSettings under the application's
/// own key names. Reads fall back to registered defaults, which live only in memory and never
/// replace a stored value. Writes reach the file on synchronize() or, at the latest, when the
/// store is destroyed. Safe to use from any thread.
class UserDefaults
{
public:
    /// The store of the running application: QSettings' native user scope for the organisation
    /// and application names set on QCoreApplication ("Torvane"). The environment variable
    /// TORVANE_SETTINGS_FILE, when set, names the file instead (tests, demo runs).
    static UserDefaults& standardUserDefaults();

    /// A store kept in the INI file at `path`.
    explicit UserDefaults(const QString& path);
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    /// Adds fallbacks for keys that have no stored value; later registrations of a key replace
    /// earlier ones. Stored values are neither read nor changed.
    void registerDefaults(const QVariantMap& defaults);

    /// The stored value, else the registered default, else an invalid QVariant.
    QVariant objectForKey(const QString& key) const;
    /// False, 0 and "" when neither a stored value nor a default exists or the value does not
    /// convert. Booleans accept numbers (non-zero is true) and the texts "true"/"false".
    bool boolForKey(const QString& key) const;
    qint64 integerForKey(const QString& key) const;
    QString stringForKey(const QString& key) const;
    /// Whether a value is stored (registered defaults do not count).
    bool hasStoredValueForKey(const QString& key) const;

    void setObject(const QString& key, const QVariant& value);
    void setBool(const QString& key, bool value);
    void setInteger(const QString& key, qint64 value);
    void setString(const QString& key, const QString& value);
    void removeObjectForKey(const QString& key);

    /// Writes pending changes to disk now. Returns false when the file could not be written.
    bool synchronize();

    QString fileName() const;

private:
    explicit UserDefaults(std::unique_ptr<QSettings> settings);

    mutable std::mutex m_mutex;
    std::unique_ptr<QSettings> m_settings;
    QVariantMap m_registered;
};
