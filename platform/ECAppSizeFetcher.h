#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

/// The download size of an app's package, which the device does not report: asked of the app
/// store's lookup service ("<host>/lookup?bundleId=...") and kept in a cache file, AppSizes.plist
/// in the application data folder, so that each app is asked about once. Entries never expire.
///
/// Thread-safe. downloadSizeForApp() blocks on the network: call it from a queue, never from the
/// main thread. A QCoreApplication must exist.
class ECAppSizeFetcher
{
public:
    /// How long one lookup may take before it counts as failed.
    static constexpr std::chrono::milliseconds DEFAULT_TIMEOUT { 10'000 };
    /// A new size is written to the file at once only when the last write is older than this.
    static constexpr std::chrono::seconds WRITE_INTERVAL { 5 };
    /// Reply bodies longer than this are refused: a lookup answer is a few kilobytes.
    static constexpr qint64 MAX_REPLY_SIZE = 4 * 1024 * 1024;

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

    /// The first result's "fileSizeBytes" (a number or a string of digits) of a lookup reply;
    /// nothing when the body is no JSON object, has no results, or the first has no size.
    /// `parseError` is set only when the body is no JSON.
    static std::optional<std::int64_t> parseLookupReply(const QByteArray& body, bool* parseError = nullptr);

private:
    void readFile();
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
