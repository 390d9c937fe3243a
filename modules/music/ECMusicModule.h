#pragma once

#include "modules/ECTableViewModule.h"
#include "platform/track_deleter/TrackDeleter.h"

#include <QDateTime>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class AFCDirectoryAccess;
class QTemporaryDir;

/// The music tool: lists the songs and podcasts on the device not played within a chosen time,
/// read from a copy of the device's media-library database, and removes the checked ones with
/// the track deleter in one call.
///
/// The copy lives in a private temporary folder of this process (mode 0700, a fresh random name),
/// never in a fixed shared path, and is emptied before each read.
class ECMusicModule : public ECTableViewModule
{
    Q_OBJECT

public:
    static constexpr const char* REMOTE_DIR = "/iTunes_Control/iTunes/";
    static constexpr const char* FILE_NAME = "MediaLibrary.sqlitedb";
    static constexpr const char* WAL_FILE_NAME = "MediaLibrary.sqlitedb-wal";
    /// The slider's first position: "6 Months".
    static constexpr int DEFAULT_RANGE_INDEX = 2;

    explicit ECMusicModule(QObject* parent = nullptr);
    ~ECMusicModule() override;

    bool enabled() const override { return true; }
    /// Texts, icon, columns and sort; applies the filter once. The constructor calls it.
    void awakeFromNib();
    /// A fresh track deleter, an empty list, and a new read of the library on the work queue.
    void loadConfigView() override;
    /// Copies the library from the device and lists its songs and podcasts. Work queue.
    void readMusicLibrary();
    /// Copies the library and its log from `media` into `folder` (private, and empty) and hands
    /// `each` the song item of every song and podcast, until it answers false. False, with a log
    /// line, when there is no library or it cannot be copied or opened. Any thread.
    static bool readLibrary(
        AFCDirectoryAccess& media, const QString& folder, const std::function<bool(const ECModuleItem&)>& each);
    /// The two halves of readLibrary(): copying, which talks to the device, and reading the copy.
    static bool copyLibrary(AFCDirectoryAccess& media, const QString& folder);
    static bool readLibraryCopy(const QString& folder, const std::function<bool(const ECModuleItem&)>& each);

    std::vector<ECModuleItem> itemsToRemove() const override { return checkedItems(); }
    QString buttonTitle(std::int64_t count) const override;
    QString deletingText() const override;
    /// Removes every checked item in one call of the track deleter, without asking (the delete
    /// button asks first).
    void deleteChecked() override;
    /// Songs and podcasts leave the phone's own library for good: asked every time.
    std::optional<ECModuleAlert> confirmation(std::int64_t count) const override;
    QString countedItems(std::int64_t count) const override;
    /// Stops a running deletion, then closes as every module does.
    void close() override;
    /// Stops a running deletion (a wait for the library's lock at once), then as every module.
    void phoneDetached() override;
    QString moduleName() const override { return QStringLiteral("Music"); }

    // The age slider and the two check boxes; each change re-applies the filter.
    int rangeIndex() const { return m_rangeIndex; }
    void setRangeIndex(int index);
    bool songsChecked() const { return m_songsChecked; }
    void setSongsChecked(bool on);
    bool podcastsChecked() const { return m_podcastsChecked; }
    void setPodcastsChecked(bool on);
    std::int64_t timeRange() const;
    QString readableTimeRange() const;
    /// What the label beside the slider shows.
    const QString& rangeLabelText() const { return m_rangeLabelText; }
    /// Rebuilds the table's filter from the slider and the boxes.
    void updateRange();

    /// The private folder the library is copied to; empty until the first read.
    QString localDir() const;
    /// The number the last deletion returned.
    int deletionResult() const { return m_deletionResult; }
    /// The track deleter of the current showing.
    std::shared_ptr<TrackDeleter> trackDeleter() const { return m_trackDeleter; }
    /// Called on every new track deleter before it is used (backup folder, step observer, ...).
    void setTrackDeleterSetup(std::function<void(TrackDeleter&)> setup) { m_trackDeleterSetup = std::move(setup); }

    /// Midnight at the start of 1 January 2001, local time.
    static QDateTime referenceDate();
    /// The first non-zero of the three dates (seconds after the reference date); nothing when all
    /// are 0.
    static std::optional<QDateTime> playedDate(
        std::int64_t datePlayed, std::int64_t dateModified, std::int64_t dateCreated);
    /// Items without "played", or played at or before `cutOff`; podcasts (type 4) and songs
    /// (type 1) only while their box is on.
    static ECItemListProxyModel::Predicate filterFor(const QDateTime& cutOff, bool songs, bool podcasts);
    /// The track-deleter description of a listed item.
    static MediaLibraryTrack trackFor(const ECModuleItem& item);

signals:
    /// The slider, a box or the label text changed.
    void rangeChanged();

private:
    void handleDeletionResult(int result, std::int64_t requested, const std::shared_ptr<TrackDeleter>& deleter);
    /// A new read of the library; its items start checked or not.
    void relist(bool checked);
    bool prepareLocalDir(QString& folder);

    int m_rangeIndex { DEFAULT_RANGE_INDEX };
    bool m_songsChecked { true };
    bool m_podcastsChecked { true };
    QString m_rangeLabelText;
    // What the last deletion took, so its finished line names songs, podcasts or both.
    bool m_runHasSongs { true };
    bool m_runHasPodcasts { true };

    std::shared_ptr<TrackDeleter> m_trackDeleter;
    std::function<void(TrackDeleter&)> m_trackDeleterSetup;
    std::atomic<int> m_deletionResult { 0 };
    // Whether listed items start checked: on each showing, not after a deletion.
    std::atomic<bool> m_checkListed { true };

    // One read at a time uses the folder; a read of an earlier showing adds nothing to a later one.
    mutable std::mutex m_readMutex;
    std::unique_ptr<QTemporaryDir> m_localDir;
    std::atomic<std::uint64_t> m_readGeneration { 0 };
};
