#include "platform/ECAppSizeFetcher.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "platform/NetworkFetch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrlQuery>

#include <limits>

#ifndef TORVANE_LOOKUP_URL
#define TORVANE_LOOKUP_URL "https://itunes.apple.com/"
#endif

ECAppSizeFetcher& ECAppSizeFetcher::sharedInstance()
{
    // A function-local static: made once, safely, whichever thread asks first.
    static ECAppSizeFetcher instance(defaultFilePath(), lookupBaseUrl());
    return instance;
}

ECAppSizeFetcher::ECAppSizeFetcher(QString filePath, QUrl lookupBase, std::chrono::milliseconds timeout)
    : m_filePath(std::move(filePath))
    , m_lookupBase(std::move(lookupBase))
    , m_timeout(timeout)
{
    readFile();
}

QString ECAppSizeFetcher::defaultFilePath()
{
    // The generic folder plus our own name, so the path does not depend on how the running
    // program named itself (the application, the command-line tool, a test).
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Torvane/AppSizes.plist");
}

QUrl ECAppSizeFetcher::lookupBaseUrl()
{
    const QByteArray fromEnvironment = qgetenv("TORVANE_LOOKUP_URL");
    return QUrl(QString::fromUtf8(fromEnvironment.isEmpty() ? QByteArray(TORVANE_LOOKUP_URL) : fromEnvironment));
}

QUrl ECAppSizeFetcher::lookupUrl(const QUrl& base, const QString& bundleId)
{
    QUrl url = base;
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    url.setPath(path + QStringLiteral("/lookup"));
    // Encoded fully: an identifier holding "&", "#" or "+" must not turn into other query keys.
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("bundleId"), QString::fromLatin1(QUrl::toPercentEncoding(bundleId)));
    url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}

std::optional<std::int64_t> ECAppSizeFetcher::parseLookupReply(const QByteArray& body, bool* parseError)
{
    if (parseError) {
        *parseError = false;
    }
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        if (parseError) {
            *parseError = true;
        }
        return std::nullopt;
    }
    const QJsonArray results = document.object().value(QLatin1String("results")).toArray();
    if (results.isEmpty()) {
        return std::nullopt;
    }
    const QJsonValue size = results.first().toObject().value(QLatin1String("fileSizeBytes"));
    if (size.isDouble()) {
        const double value = size.toDouble();
        if (value < 0 || value > double(std::numeric_limits<std::int64_t>::max()) / 2) {
            return std::nullopt;
        }
        return std::int64_t(value);
    }
    if (size.isString()) {
        bool ok = false;
        const qlonglong value = size.toString().trimmed().toLongLong(&ok);
        if (ok && value >= 0) {
            return std::int64_t(value);
        }
    }
    return std::nullopt;
}

std::int64_t ECAppSizeFetcher::downloadSizeForApp(const QString& bundleId)
{
    {
        std::lock_guard lock(m_mutex);
        if (const auto found = m_sizes.constFind(bundleId); found != m_sizes.constEnd()) {
            return found.value();
        }
    }
    const std::string identifier = bundleId.toStdString();
    const std::optional<QByteArray> body = fetch(lookupUrl(m_lookupBase, bundleId));
    if (!body || body->isEmpty()) {
        logLine(LOG_PLATFORM, "Error connecting to iTunes store page: %s", identifier.c_str());
        return 0;
    }
    bool parseError = false;
    const std::optional<std::int64_t> size = parseLookupReply(*body, &parseError);
    if (parseError) {
        logLine(LOG_PLATFORM, "Error parsing JSON: %s", body->left(2000).toStdString().c_str());
        return 0;
    }
    if (!size) {
        return 0;
    }
    bool writeNow = false;
    {
        std::lock_guard lock(m_mutex);
        m_sizes.insert(bundleId, *size);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        writeNow = !m_lastWrite.isValid() || m_lastWrite.secsTo(now) > WRITE_INTERVAL.count();
        if (writeNow) {
            // Claimed before writing so that lookups finishing meanwhile do not write too.
            m_lastWrite = now;
        }
    }
    if (writeNow) {
        (void)writeToFile(); // a failed write leaves the entry in memory for the next one
    }
    return *size;
}

bool ECAppSizeFetcher::writeToFile()
{
    std::lock_guard writing(m_writeMutex);
    PlistDictionary entries;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_sizes.cbegin(); it != m_sizes.cend(); ++it) {
            entries.emplace(it.key().toStdString(), PlistValue(it.value()));
        }
    }
    const std::optional<std::string> document = PlistCodec::toXml(PlistValue(std::move(entries)));
    if (!document) {
        return false;
    }
    if (!QDir().mkpath(QFileInfo(m_filePath).absolutePath())) {
        logLine(LOG_PLATFORM, "Cannot create the folder of %s", m_filePath.toStdString().c_str());
        return false;
    }
    // A temporary file beside the cache, renamed over it when complete: a crash mid-write leaves
    // the old cache, never a truncated one.
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(document->data(), qint64(document->size())) != qint64(document->size()) || !file.commit()) {
        logLine(LOG_PLATFORM, "Cannot write %s: %s", m_filePath.toStdString().c_str(),
            file.errorString().toStdString().c_str());
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_lastWrite = QDateTime::currentDateTimeUtc();
    return true;
}

QHash<QString, std::int64_t> ECAppSizeFetcher::sizes() const
{
    std::lock_guard lock(m_mutex);
    return m_sizes;
}

QDateTime ECAppSizeFetcher::lastWrite() const
{
    std::lock_guard lock(m_mutex);
    return m_lastWrite;
}

void ECAppSizeFetcher::readFile()
{
    QFile file(m_filePath);
    if (!file.exists()) {
        return;
    }
    std::optional<PlistValue> cache;
    std::string error = "cannot be read";
    if (file.open(QIODevice::ReadOnly) && file.size() <= qint64(PlistCodec::MAX_DOCUMENT_SIZE)) {
        const QByteArray bytes = file.readAll();
        cache = PlistCodec::fromAny(std::string_view(bytes.constData(), std::size_t(bytes.size())), &error);
    }
    file.close();
    if (!cache || !cache->asDictionary()) {
        // Set aside rather than overwritten by the next write with only the sizes fetched from
        // now on; whoever looks at it later still has what it held.
        const QString aside = m_filePath + QStringLiteral(".corrupt");
        QFile::remove(aside);
        const bool moved = QFile::rename(m_filePath, aside);
        logLine(LOG_PLATFORM, "The app size cache %s is unreadable (%s); %s", m_filePath.toStdString().c_str(),
            cache ? "not a dictionary" : error.c_str(),
            moved ? ("set aside as " + aside.toStdString()).c_str() : "and cannot be moved aside");
        return;
    }
    for (const auto& [bundleId, value] : *cache->asDictionary()) {
        if (const auto size = value.toInt64(); size && *size >= 0) {
            m_sizes.insert(QString::fromStdString(bundleId), *size);
        }
    }
}

std::optional<QByteArray> ECAppSizeFetcher::fetch(const QUrl& url) const
{
    return fetchUrl(url, m_timeout, MAX_REPLY_SIZE);
}
