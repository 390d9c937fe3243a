#include "modules/music/ECMusicModule.h"

#include "base/Log.h"
#include "db/FMDatabase.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"
#include "modules/ECAgeRange.h"
#include "modules/ECClock.h"
#include "modules/ECModuleHost.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPointer>
#include <QTemporaryDir>

#include <algorithm>
#include <set>

namespace {

constexpr int SONG = 1;
constexpr int PODCAST = 4;

std::string local(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

} // namespace

ECMusicModule::ECMusicModule(QObject* parent)
    : ECTableViewModule(parent)
{
    awakeFromNib();
}

ECMusicModule::~ECMusicModule()
{
    if (m_trackDeleter) {
        m_trackDeleter->abort();
    }
    // Queue code reads this class's members.
    stopAllWork();
}

void ECMusicModule::awakeFromNib()
{
    setTitleText(QStringLiteral("Remove Music"));
    // The songs are kept on the computer only where the user keeps them: no desktop music
    // application holds a copy for them here.
    setHintText(QStringLiteral("Remove old songs that you don't listen to anymore. They stay on this computer only if "
                               "you keep them in your own music library."));
    itemList().setColumns({
        { ECItemColumn::Kind::Checked, QStringLiteral("checked"), QString() },
        { ECItemColumn::Kind::Name, QStringLiteral("name"), QStringLiteral("Name") },
        { ECItemColumn::Kind::Text, QStringLiteral("artist"), QStringLiteral("Artist") },
        { ECItemColumn::Kind::Text, QStringLiteral("kind"), QStringLiteral("Type") },
        { ECItemColumn::Kind::Size, QStringLiteral("size"), QStringLiteral("Size") },
        { ECItemColumn::Kind::Date, QStringLiteral("played"), QStringLiteral("Last Played") },
    });
    itemListController().setSortKey(QStringLiteral("played"), Qt::DescendingOrder);
    updateRange();
}

QDateTime ECMusicModule::referenceDate()
{
    return QDateTime(
        QLocale::c().toDate(QStringLiteral("01-01-2001"), QStringLiteral("dd-MM-yyyy")), QTime(0, 0), Qt::LocalTime);
}

std::optional<QDateTime> ECMusicModule::playedDate(
    std::int64_t datePlayed, std::int64_t dateModified, std::int64_t dateCreated)
{
    for (const std::int64_t seconds : { datePlayed, dateModified, dateCreated }) {
        if (seconds != 0) {
            return referenceDate().addSecs(seconds);
        }
    }
    return std::nullopt;
}

ECItemListProxyModel::Predicate ECMusicModule::filterFor(const QDateTime& cutOff, bool songs, bool podcasts)
{
    return [cutOff, songs, podcasts](const ECModuleItem& item) {
        const QVariant played = item.values.value(QStringLiteral("played"));
        if (played.isValid() && played.toDateTime() > cutOff) {
            return false;
        }
        const int type = item.values.value(QStringLiteral("type")).toInt();
        if (!podcasts && type == PODCAST) {
            return false;
        }
        if (!songs && type == SONG) {
            return false;
        }
        return true;
    };
}

MediaLibraryTrack ECMusicModule::trackFor(const ECModuleItem& item)
{
    MediaLibraryTrack track;
    const QVariant pid = item.values.value(QStringLiteral("pid"));
    if (pid.isValid()) {
        track.pid = pid.toLongLong();
    }
    track.title = item.name.toStdString();
    track.artist = item.values.value(QStringLiteral("artist")).toString().toStdString();
    track.size = item.size;
    return track;
}

void ECMusicModule::setRangeIndex(int index)
{
    index = std::clamp(index, 0, ECAgeRange::COUNT - 1);
    if (index != m_rangeIndex) {
        m_rangeIndex = index;
        updateRange();
    }
}

void ECMusicModule::setSongsChecked(bool on)
{
    if (on != m_songsChecked) {
        m_songsChecked = on;
        updateRange();
    }
}

void ECMusicModule::setPodcastsChecked(bool on)
{
    if (on != m_podcastsChecked) {
        m_podcastsChecked = on;
        updateRange();
    }
}

std::int64_t ECMusicModule::timeRange() const
{
    return ECAgeRange::atIndex(m_rangeIndex).seconds();
}

QString ECMusicModule::readableTimeRange() const
{
    return QString::fromLatin1(ECAgeRange::atIndex(m_rangeIndex).label);
}

void ECMusicModule::updateRange()
{
    m_rangeLabelText = readableTimeRange();
    const QDateTime cutOff = ECAgeRange::cutOffDate(clock().now(), timeRange());
    itemListController().setFilterPredicate(filterFor(cutOff, m_songsChecked, m_podcastsChecked));
    emit rangeChanged();
    updateProgressLabel();
}

QString ECMusicModule::buttonTitle(std::int64_t count) const
{
    if (count == 0) {
        return QStringLiteral("Delete Songs");
    }
    // Songs and podcasts are counted apart, so the button says what it deletes.
    std::int64_t podcasts = 0;
    for (const ECModuleItem& item : itemsToRemove()) {
        podcasts += item.value(QStringLiteral("type")).toInt() == PODCAST ? 1 : 0;
    }
    const std::int64_t songs = std::max<std::int64_t>(count - podcasts, 0);
    QStringList parts;
    if (songs > 0 || podcasts == 0) {
        parts << countedNoun(songs, QStringLiteral("Song"), QStringLiteral("Songs"));
    }
    if (podcasts > 0) {
        parts << countedNoun(podcasts, QStringLiteral("Podcast"), QStringLiteral("Podcasts"));
    }
    return QStringLiteral("Delete %1").arg(parts.join(QStringLiteral(" and ")));
}

QString ECMusicModule::deletingText() const
{
    // Names what goes, as the button did.
    const auto items = itemsToRemove();
    const bool podcasts = std::any_of(items.begin(), items.end(),
        [](const ECModuleItem& item) { return item.value(QStringLiteral("type")).toInt() == PODCAST; });
    return podcasts ? QStringLiteral("Deleting songs and podcasts...") : QStringLiteral("Deleting songs...");
}

QString ECMusicModule::localDir() const
{
    std::lock_guard lock(m_readMutex);
    return m_localDir ? m_localDir->path() : QString();
}

void ECMusicModule::loadConfigView()
{
    relist(true);
}

void ECMusicModule::relist(bool checked)
{
    m_checkListed = checked;
    auto deleter = std::make_shared<TrackDeleter>();
    if (m_trackDeleterSetup) {
        m_trackDeleterSetup(*deleter);
    }
    m_trackDeleter = std::move(deleter);
    itemList().removeAllItems();
    updateRange();
    const std::uint64_t generation = ++m_readGeneration;
    addWorkOperation(
        [this, generation](const Operation& reading) {
            runOnMainAndWait([this] { updateProgressLabel(); });
            if (!reading.isCancelled() && generation == m_readGeneration) {
                readMusicLibrary();
            }
            runOnMainAndWait([this] { updateRange(); });
        },
        [this] { runOnMainAndWait([this] { updateProgressLabel(); }); });
}

bool ECMusicModule::prepareLocalDir(QString& folder)
{
    if (!m_localDir || !m_localDir->isValid()) {
        // A fresh, randomly named folder only this user can enter: nothing another local user
        // plants can be followed by the deletion below or the copies after it.
        m_localDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/torvane-music-XXXXXX"));
        if (!m_localDir->isValid()) {
            m_localDir.reset();
            return false;
        }
    }
    folder = m_localDir->path();
    QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        const QFileInfo entry(dir.filePath(name));
        const bool removed
            = entry.isDir() && !entry.isSymLink() ? QDir(entry.filePath()).removeRecursively() : dir.remove(name);
        if (!removed) {
            return false;
        }
    }
    return true;
}

void ECMusicModule::readMusicLibrary()
{
    std::lock_guard lock(m_readMutex);
    const std::uint64_t generation = m_readGeneration;
    QString folder;
    if (!prepareLocalDir(folder)) {
        logLine(LOG_MODULES, "Failed to download music library.");
        return;
    }
    {
        // The device object serves one thread at a time, and a free-space reading after a
        // deletion may be talking to it right now.
        const auto current = device();
        const DeviceLockHold held = lockDevice(current);
        const auto media = current && held ? current->newAFCMediaDirectory() : nullptr;
        if (!media) {
            logLine(LOG_MODULES, "Failed to download music library.");
            return;
        }
        if (!copyLibrary(*media, folder)) {
            return;
        }
    }
    const bool checked = m_checkListed;
    readLibraryCopy(folder, [this, generation, checked](const ECModuleItem& listed) {
        bool wanted = false;
        ECModuleItem item = listed;
        item.checked = checked;
        runOnMainAndWait([this, &item, &wanted, generation] {
            if (generation == m_readGeneration) {
                itemList().appendItem(item);
                wanted = true;
            }
        });
        return wanted;
    });
}

bool ECMusicModule::readLibrary(
    AFCDirectoryAccess& media, const QString& folder, const std::function<bool(const ECModuleItem&)>& each)
{
    return copyLibrary(media, folder) && readLibraryCopy(folder, each);
}

bool ECMusicModule::copyLibrary(AFCDirectoryAccess& media, const QString& folder)
{
    const std::string remote = std::string(REMOTE_DIR) + FILE_NAME;
    const std::string remoteLog = std::string(REMOTE_DIR) + WAL_FILE_NAME;
    if (!media.fileExistsAtPath(remote)) {
        logLine(LOG_MODULES, "No music library found!");
        return false;
    }
    const QString copy = folder + QLatin1Char('/') + QLatin1String(FILE_NAME);
    const QString copyLog = folder + QLatin1Char('/') + QLatin1String(WAL_FILE_NAME);
    // The log is absent after the phone (or our own deletion) folded it into the library; only
    // a log that is there and cannot be copied is a failure.
    if (!AFCTreeOperations(media).copyRemoteFile(remote, local(copy))
        || (media.fileExistsAtPath(remoteLog) && !AFCTreeOperations(media).copyRemoteFile(remoteLog, local(copyLog)))) {
        logLine(LOG_MODULES, "Failed to download music library.");
        return false;
    }
    return true;
}

bool ECMusicModule::readLibraryCopy(const QString& folder, const std::function<bool(const ECModuleItem&)>& each)
{
    const QString copy = folder + QLatin1Char('/') + QLatin1String(FILE_NAME);
    const auto database = FMDatabase::databaseWithPath(local(copy));
    if (!database->open()) {
        logLine(LOG_MODULES, "Failed to open music database.");
        return false;
    }
    (void)database->executeQuery(std::string("PRAGMA journal_mode = WAL;")); // rows not needed
    (void)database->open(); // already open: nothing happens
    // Every column, plus the item's own id under a name no table uses: three tables have an
    // "item_pid" column, and a song without statistics has NULL in the last one.
    auto rows = database->executeQuery(std::string(
        "SELECT *, item.item_pid AS pid FROM item LEFT JOIN item_extra ON item.item_pid = item_extra.item_pid "
        "LEFT JOIN item_stats ON item_extra.item_pid = item_stats.item_pid LEFT JOIN item_artist ON "
        "item.item_artist_pid = item_artist.item_artist_pid WHERE (media_kind = 1 OR media_kind = 4) AND "
        "location != ''"));
    if (!rows) {
        return true;
    }
    // Older and newer libraries differ in which date columns they have; look only for those there.
    std::set<std::string> columns;
    for (int i = 0; i < rows->columnCount(); ++i) {
        columns.insert(rows->columnNameForIndex(i).value_or(""));
    }
    const auto dateIn = [&](const char* column) -> std::int64_t {
        return columns.count(column) ? rows->longLongIntForColumn(column) : 0;
    };
    while (rows->next()) {
        ECModuleItem item;
        item.checked = true;
        item.name = QString::fromStdString(rows->stringForColumn("title").value_or(""));
        item.values.insert(
            QStringLiteral("artist"), QString::fromStdString(rows->stringForColumn("item_artist").value_or("")));
        if (const auto played = playedDate(dateIn("date_played"), dateIn("date_modified"), dateIn("date_created"))) {
            item.values.insert(QStringLiteral("played"), *played);
        }
        const int type = rows->intForColumn("media_kind");
        item.values.insert(QStringLiteral("type"), type);
        item.values.insert(
            QStringLiteral("kind"), type == PODCAST ? QStringLiteral("Podcast") : QStringLiteral("Song"));
        item.values.insert(QStringLiteral("pid"), qlonglong(rows->longLongIntForColumn("pid")));
        if (const std::int64_t size = rows->longLongIntForColumn("file_size"); size != 0) {
            item.size = size;
        }
        if (!each(item)) {
            break;
        }
    }
    rows.reset();
    database->close();
    return true;
}

std::optional<ECModuleAlert> ECMusicModule::confirmation(std::int64_t) const
{
    const QString backups = m_trackDeleter ? m_trackDeleter->backupRoot() : TrackDeleter::defaultBackupRoot();
    // "Delete 3 Songs and 1 Podcast" names what goes, as the button does.
    const QString what = buttonTitle(itemsToRemoveCount()).mid(QStringLiteral("Delete ").size());
    ECModuleAlert question;
    question.message = QStringLiteral("Delete %1 from the phone?").arg(what);
    question.informativeText
        = QStringLiteral("They are removed from the phone's own music library. Torvane keeps no copy of them: they "
                         "stay on this computer only if you have them in your own music library. Before it changes "
                         "anything, Torvane keeps a copy of the phone's library database in \"%1\".")
              .arg(QDir::toNativeSeparators(backups));
    question.buttons = { QStringLiteral("Delete"), QStringLiteral("Cancel") };
    return question;
}

QString ECMusicModule::countedItems(std::int64_t count) const
{
    if (!m_runHasPodcasts) {
        return countedNoun(count, QStringLiteral("song"), QStringLiteral("songs"));
    }
    if (!m_runHasSongs) {
        return countedNoun(count, QStringLiteral("podcast"), QStringLiteral("podcasts"));
    }
    return countedNoun(count, QStringLiteral("song or podcast"), QStringLiteral("songs and podcasts"));
}

void ECMusicModule::deleteChecked()
{
    if (deleting() || phoneGone()) {
        return;
    }
    const std::vector<ECModuleItem> doomed = itemsToRemove();
    if (doomed.empty() || !m_trackDeleter) {
        return;
    }
    std::vector<MediaLibraryTrack> tracks;
    tracks.reserve(doomed.size());
    m_runHasSongs = false;
    m_runHasPodcasts = false;
    for (const auto& item : doomed) {
        tracks.push_back(trackFor(item));
        (item.value(QStringLiteral("type")).toInt() == PODCAST ? m_runHasPodcasts : m_runHasSongs) = true;
    }
    setStatusMessage(QString());
    updateProgressLabel();
    startDeleting();
    setProgressMaximum(0);
    setProgressValue(0);
    updateProgressLabel();
    std::shared_ptr<TrackDeleter> deleter = m_trackDeleter;
    auto result = std::make_shared<int>(0);
    const auto requested = std::int64_t(tracks.size());
    addWorkOperation(
        [this, deleter, tracks, result](const Operation&) {
            const DeviceLockHold held = lockDeviceForDeletion();
            if (!held) {
                return;
            }
            // The module's own device object, whose lock is held: the deleter talks through it.
            *result = deleter->deleteTracks(tracks, device());
            m_deletionResult = *result;
        },
        [this, deleter, result, requested] {
            postToMain([this, deleter, result, requested] { handleDeletionResult(*result, requested, deleter); });
        });
}

void ECMusicModule::handleDeletionResult(
    int result, std::int64_t requested, const std::shared_ptr<TrackDeleter>& deleter)
{
    updateProgressLabel();
    ECDeletionTally tally;
    tally.requested = requested;
    if (result >= 1) {
        logLine(LOG_MODULES, "%d songs deleted via AppleScript", result);
        logLine(LOG_MODULES, "The library from before is kept in %s", deleter->backupFolder().toUtf8().constData());
        tally.removed = std::min<std::int64_t>(result, requested);
    } else {
        const auto current = device();
        switch (result) {
        case TrackDeleter::NoDevice:
            // The phone went while the deletion looked for it.
            tally.unanswered = requested;
            break;
        case TrackDeleter::TracksNotFound:
            tally.addFailure(
                QStringLiteral("Torvane connected to the device but couldn't find the songs it was looking for."));
            tally.failed = requested;
            break;
        case TrackDeleter::Cancelled:
            logLine(LOG_MODULES, "Error: User clicked cancel");
            break;
        default:
            logLine(LOG_MODULES, "Error: %s", deleter->lastError().toUtf8().constData());
            tally.addFailure(deleter->lastError());
            tally.failed = requested;
            break;
        }
    }
    finishDeletion(tally);
    updateProgressLabel();
    // The library is read again for the truth about what the phone holds; what is left is not
    // chosen again on its own.
    if (!phoneGone()) {
        relist(false);
    }
}

void ECMusicModule::phoneDetached()
{
    // Reattaching lists again with a new deleter.
    if (m_trackDeleter) {
        m_trackDeleter->abort();
    }
    ECTableViewModule::phoneDetached();
}

void ECMusicModule::close()
{
    if (m_trackDeleter) {
        m_trackDeleter->abort();
    }
    ECTableViewModule::close();
}
