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

namespace {

/// "<base>/lookup?bundleId=<value>", `value` already percent-encoded.
QUrl lookupUrlWithValue(const QUrl& base, const QByteArray& value)
{
    QUrl url = base;
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    url.setPath(path + QStringLiteral("/lookup"));
    url.setQuery(QStringLiteral("bundleId=") + QString::fromLatin1(value), QUrl::StrictMode);
    return url;
}

} // namespace

QUrl ECAppSizeFetcher::lookupUrl(const QUrl& base, const QString& bundleId)
{
    // Encoded fully: an identifier holding "&", "#" or "+" must not turn into other query keys.
    return lookupUrlWithValue(base, QUrl::toPercentEncoding(bundleId));
}

namespace {

/// A result's "fileSizeBytes": a number or a string of digits, not negative.
std::optional<std::int64_t> sizeOfResult(const QJsonObject& result)
{
    const QJsonValue size = result.value(QLatin1String("fileSizeBytes"));
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

/// The "results" of a reply, or nothing when the body is no JSON object.
std::optional<QJsonArray> resultsOf(const QByteArray& body)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object().value(QLatin1String("results")).toArray();
}

} // namespace

std::vector<ECAppSizeFetcher::LookupRequest> ECAppSizeFetcher::lookupRequests(
    const QUrl& base, const QStringList& bundleIds, int maxLength)
{
    std::vector<LookupRequest> requests;
    const qsizetype emptyLength = lookupUrlWithValue(base, {}).toEncoded().size();
    QByteArray value;
    QStringList carried;
    const auto flush = [&] {
        if (!carried.isEmpty()) {
            requests.push_back({ lookupUrlWithValue(base, value), carried });
        }
        value.clear();
        carried.clear();
    };
    for (const QString& bundleId : bundleIds) {
        // Encoded fully, the comma too: only the commas between identifiers separate them.
        const QByteArray encoded = QUrl::toPercentEncoding(bundleId);
        if (!carried.isEmpty() && emptyLength + value.size() + 1 + encoded.size() > maxLength) {
            flush();
        }
        if (!carried.isEmpty()) {
            value.append(',');
        }
        value.append(encoded);
        carried.append(bundleId);
    }
    flush();
    return requests;
}

std::optional<std::int64_t> ECAppSizeFetcher::parseLookupReply(const QByteArray& body, bool* parseError)
{
    const std::optional<QJsonArray> results = resultsOf(body);
    if (parseError) {
        *parseError = !results;
    }
    if (!results || results->isEmpty()) {
        return std::nullopt;
    }
    return sizeOfResult(results->first().toObject());
}

QHash<QString, std::int64_t> ECAppSizeFetcher::parseLookupReplies(
    const QByteArray& body, const QStringList& asked, bool* parseError)
{
    QHash<QString, std::int64_t> sizes;
    const std::optional<QJsonArray> results = resultsOf(body);
    if (parseError) {
        *parseError = !results;
    }
    if (!results) {
        return sizes;
    }
    QHash<QString, QString> byFoldedId;
    for (const QString& bundleId : asked) {
        byFoldedId.insert(bundleId.toCaseFolded(), bundleId);
    }
    for (const QJsonValue& value : *results) {
        const QJsonObject result = value.toObject();
        const QJsonValue named = result.value(QLatin1String("bundleId"));
        QString bundleId;
        if (named.isString()) {
            bundleId = byFoldedId.value(named.toString().toCaseFolded());
        } else if (asked.size() == 1 && sizes.isEmpty()) {
            // An answer to a question about one app is about that app.
            bundleId = asked.first();
        }
        if (bundleId.isEmpty() || sizes.contains(bundleId)) {
            continue;
        }
        if (const auto size = sizeOfResult(result)) {
            sizes.insert(bundleId, *size);
        }
        if (asked.size() == 1) {
            break; // only the first result counts for a single app
        }
    }
    return sizes;
}

std::int64_t ECAppSizeFetcher::downloadSizeForApp(const QString& bundleId)
{
    return downloadSizesForApps(QStringList { bundleId }).value(bundleId, 0);
}

QHash<QString, std::int64_t> ECAppSizeFetcher::downloadSizesForApps(const QStringList& bundleIds)
{
    QHash<QString, std::int64_t> sizes;
    QStringList missing;
    {
        std::lock_guard lock(m_mutex);
        for (const QString& bundleId : bundleIds) {
            if (const auto found = m_sizes.constFind(bundleId); found != m_sizes.constEnd()) {
                sizes.insert(bundleId, found.value());
            } else if (!bundleId.isEmpty() && !missing.contains(bundleId)) {
                missing.append(bundleId);
            }
        }
    }
    if (missing.isEmpty()) {
        return sizes;
    }
    QHash<QString, std::int64_t> found;
    for (const auto& [url, asked] : lookupRequests(m_lookupBase, missing)) {
        const std::optional<QByteArray> body = fetch(url);
        if (!body || body->isEmpty()) {
            // Unreachable or failing: the other requests would only wait for the same failure.
            const std::string identifiers = asked.join(QLatin1Char(',')).toStdString();
            logLine(LOG_PLATFORM, "Error connecting to iTunes store page: %s", identifiers.c_str());
            break;
        }
        bool parseError = false;
        const QHash<QString, std::int64_t> answered = parseLookupReplies(*body, asked, &parseError);
        if (parseError) {
            logLine(LOG_PLATFORM, "Error parsing JSON: %s", body->left(2000).toStdString().c_str());
            continue;
        }
        found.insert(answered);
    }
    remember(found);
    sizes.insert(found);
    return sizes;
}

void ECAppSizeFetcher::remember(const QHash<QString, std::int64_t>& found)
{
    if (found.isEmpty()) {
        return;
    }
    bool writeNow = false;
    {
        std::lock_guard lock(m_mutex);
        m_sizes.insert(found);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        writeNow = !m_lastWrite.isValid() || m_lastWrite.secsTo(now) > WRITE_INTERVAL.count();
        if (writeNow) {
            // Claimed before writing so that lookups finishing meanwhile do not write too.
            m_lastWrite = now;
        }
    }
    if (writeNow) {
        (void)writeToFile(); // a failed write leaves the entries in memory for the next one
    }
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
