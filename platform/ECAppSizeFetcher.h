#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

/// The download size of an app's package, which the device does not report: asked of the app
/// store's lookup service ("<host>/lookup?bundleId=a,b,c": one request names many apps) and kept
/// in a cache file, AppSizes.plist in the application data folder, so that each app is asked
/// about once. Entries never expire.
///
/// Thread-safe. The lookups block on the network: call them from a queue, never from the main
/// thread. A QCoreApplication must exist.
class ECAppSizeFetcher
{
public:
    /// How long one lookup may take before it counts as failed.
    static constexpr std::chrono::milliseconds DEFAULT_TIMEOUT { 10'000 };
    /// A new size is written to the file at once only when the last write is older than this.
    static constexpr std::chrono::seconds WRITE_INTERVAL { 5 };
    /// Reply bodies longer than this are refused: a lookup answer is a few kilobytes per app.
    static constexpr qint64 MAX_REPLY_SIZE = 16 * 1024 * 1024;
    /// The longest lookup URL sent; a longer list of apps is split over several requests. Well
    /// under the 8 KB that servers and proxies commonly accept for a request line.
    static constexpr int MAX_URL_LENGTH = 2000;

    /// The one instance, made on first use (safe from any thread): the cache file in the data
    /// folder and the host from lookupBaseUrl().
    static ECAppSizeFetcher& sharedInstance();

    /// An instance over its own cache file and host; reads the file at once.
    ECAppSizeFetcher(QString filePath, QUrl lookupBase, std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    ECAppSizeFetcher(const ECAppSizeFetcher&) = delete;
    ECAppSizeFetcher& operator=(const ECAppSizeFetcher&) = delete;

    /// The package size in bytes, from the cache or else from the lookup service; 0 when it
    /// cannot be found (no answer, an unreadable answer, an app the store does not know). Failed
    /// lookups are not cached. Blocks for at most the time-out.
    std::int64_t downloadSizeForApp(const QString& bundleId);

    /// The package sizes of many apps: cached ones at once, the others in as few lookups as the
    /// URL length allows, each reply's results matched to the apps by their "bundleId". Apps
    /// the service does not know, or that could not be asked, are absent. A request that gets no
    /// answer ends the whole call: the service is unreachable, and the apps not asked yet are
    /// not tried again (one failure, one time-out at most, per call).
    QHash<QString, std::int64_t> downloadSizesForApps(const QStringList& bundleIds);

    /// Writes the whole cache now, atomically (a reader sees the old file or the new one).
    /// False when the folder or the file cannot be written.
    bool writeToFile();

    const QString& filePath() const { return m_filePath; }
    const QUrl& lookupBase() const { return m_lookupBase; }
    QHash<QString, std::int64_t> sizes() const;
    /// When the cache file was last written; invalid (the distant past) before the first write.
    QDateTime lastWrite() const;

    /// "AppSizes.plist" in the per-user data folder of Torvane (~/.local/share/Torvane).
    static QString defaultFilePath();
    /// TORVANE_LOOKUP_URL from the environment when set, else the host chosen when building.
    static QUrl lookupBaseUrl();
    /// "<base>/lookup?bundleId=<id>", the identifier percent-encoded.
    static QUrl lookupUrl(const QUrl& base, const QString& bundleId);
    /// One lookup request and the apps it asks about.
    struct LookupRequest
    {
        QUrl url;
        QStringList bundleIds;
    };
    /// Lookup requests that together ask for every one of `bundleIds`, in order, comma-separated
    /// (each identifier percent-encoded, so a comma inside one cannot split it), each URL at most
    /// `maxLength` characters unless a single identifier is longer on its own.
    static std::vector<LookupRequest> lookupRequests(
        const QUrl& base, const QStringList& bundleIds, int maxLength = MAX_URL_LENGTH);

    /// The first result's "fileSizeBytes" (a number or a string of digits) of a lookup reply;
    /// nothing when the body is no JSON object, has no results, or the first has no size.
    /// `parseError` is set only when the body is no JSON.
    static std::optional<std::int64_t> parseLookupReply(const QByteArray& body, bool* parseError = nullptr);
    /// The sizes of a reply to a request for `asked`: each result's "fileSizeBytes" under its
    /// "bundleId" when that is one of `asked` (compared as the store does, ignoring case); a
    /// single asked app also takes a first result that names no app. `parseError` as above.
    static QHash<QString, std::int64_t> parseLookupReplies(
        const QByteArray& body, const QStringList& asked, bool* parseError = nullptr);

private:
    void readFile();
    /// Caches `found` and writes the file when the last write is old enough.
    void remember(const QHash<QString, std::int64_t>& found);
    /// The reply body, or nothing when no reply came in time.
    std::optional<QByteArray> fetch(const QUrl& url) const;

    const QString m_filePath;
    const QUrl m_lookupBase;
    const std::chrono::milliseconds m_timeout;
    mutable std::mutex m_mutex;
    QHash<QString, std::int64_t> m_sizes;
    QDateTime m_lastWrite;
    // Writes are serialised apart from m_mutex so that lookups never wait on the disk.
    std::mutex m_writeMutex;
};
