#include "platform/track_deleter/TrackDeleter.h"

#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "tests/device/integration/AttachedDevice.h"
#include "tests/platform/MediaLibrarySnapshot.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

struct Song
{
    std::int64_t pid;
    fs::path file;
    std::int64_t size;
};

/// The demo phone and its library as the simulator keeps them, and a deleter on the phone.
class TrackDeleterTest : public AttachedDeviceTest
{
protected:
    void SetUp() override
    {
        AttachedDeviceTest::SetUp();
        ASSERT_TRUE(waitForDevice(SimulatorFixture::DEMO_UDID));
        folder = sim.mediaRoot(SimulatorFixture::DEMO_UDID) / "iTunes_Control/iTunes";
        library = folder / "MediaLibrary.sqlitedb";
        ASSERT_TRUE(fs::exists(library.string() + "-wal"));
        originalLibrary = contents(library);
        originalLog = contents(library.string() + "-wal");
        before = MediaLibrarySnapshot::read(library);
        ASSERT_EQ(before.integrity, "ok");
    }

    std::unique_ptr<TrackDeleter> makeDeleter()
    {
        auto deleter = std::make_unique<TrackDeleter>();
        deleter->setBackupRoot(QString::fromStdString((backups.path() / "backups").string()));
        return deleter;
    }

    /// The manager's device object for the phone now (a new one after each replug).
    std::shared_ptr<AMDevice> phone() { return waitForDevice(SimulatorFixture::DEMO_UDID); }

    /// The first `count` songs of the library (podcasts left out), with their files.
    std::vector<Song> songs(int count) const
    {
        sqlite3* db = nullptr;
        TemporaryDirectory copy;
        fs::copy_file(library, copy.path() / "l.sqlitedb");
        fs::copy_file(library.string() + "-wal", copy.path() / "l.sqlitedb-wal");
        sqlite3_open((copy.path() / "l.sqlitedb").c_str(), &db);
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db,
            "SELECT item.item_pid, base_location.path || '/' || location, file_size FROM item JOIN "
            "item_extra USING (item_pid) JOIN base_location USING (base_location_id) WHERE media_kind "
            "= 1 ORDER BY item.item_pid LIMIT ?",
            -1, &statement, nullptr);
        sqlite3_bind_int(statement, 1, count);
        std::vector<Song> result;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            result.push_back({ sqlite3_column_int64(statement, 0),
                sim.mediaRoot(SimulatorFixture::DEMO_UDID)
                    / reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
                sqlite3_column_int64(statement, 2) });
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return result;
    }

    static std::vector<MediaLibraryTrack> tracksOf(const std::vector<Song>& songs)
    {
        std::vector<MediaLibraryTrack> tracks;
        tracks.reserve(songs.size());
        for (const auto& song : songs) {
            tracks.push_back({ song.pid, "", "", std::nullopt });
        }
        return tracks;
    }

    static std::set<std::int64_t> pidsOf(const std::vector<Song>& songs)
    {
        std::set<std::int64_t> pids;
        for (const auto& song : songs) {
            pids.insert(song.pid);
        }
        return pids;
    }

    bool libraryUntouched() const
    {
        return contents(library) == originalLibrary && contents(library.string() + "-wal") == originalLog;
    }

    /// Nothing a run keeps beside the library while it works is left (the lock file stays).
    void expectNoLeftovers() const
    {
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name.find("torvane-") == std::string::npos && name != TrackDeleter::PENDING_NAME) << name;
        }
    }

    /// Blocking AFC lock requests the phone is holding now.
    int lockWaits() const
    {
        const std::string list = sim.ctl({ "list" }).out;
        const std::size_t field = list.find("afc-lock-waits ");
        return field == std::string::npos ? 0 : std::atoi(list.c_str() + field + std::strlen("afc-lock-waits "));
    }

    /// Unplugs and plugs the phone back in, and waits until the manager lists it again.
    void replug()
    {
        (void)sim.detach(SimulatorFixture::DEMO_UDID);
        ASSERT_TRUE(waitUntilGone(SimulatorFixture::DEMO_UDID));
        ASSERT_TRUE(sim.attach(SimulatorFixture::DEMO_UDID));
        ASSERT_TRUE(waitForDevice(SimulatorFixture::DEMO_UDID));
    }

    TemporaryDirectory backups;
    fs::path folder;
    fs::path library;
    std::string originalLibrary;
    std::string originalLog;
    MediaLibrarySnapshot before;
};

} // namespace

TEST_F(TrackDeleterTest, RemovesThreeSongsTheirFilesAndNothingElse)
{
    const auto doomed = songs(3);
    ASSERT_EQ(doomed.size(), 3u);
    const std::uint64_t freeBefore = sim.storage(SimulatorFixture::DEMO_UDID).at("free");
    auto deleter = makeDeleter();
    std::vector<TrackDeleter::Step> steps;
    deleter->setStepObserver([&](TrackDeleter::Step step) { steps.push_back(step); });

    EXPECT_EQ(deleter->deleteTracks(tracksOf(doomed), phone()), 3) << deleter->lastError().toStdString();

    std::int64_t freed = 0;
    for (const auto& song : doomed) {
        EXPECT_FALSE(fs::exists(song.file)) << song.file;
        freed += song.size;
    }
    EXPECT_EQ(deleter->removedFileBytes(), freed);
    EXPECT_GE(sim.storage(SimulatorFixture::DEMO_UDID).at("free"), freeBefore + std::uint64_t(freed));
    const auto after = MediaLibrarySnapshot::read(library);
    EXPECT_EQ(after.integrity, "ok");
    EXPECT_EQ(after.rows, before.without(pidsOf(doomed)).rows);
    EXPECT_NE(after.rows.at("item").size(), before.rows.at("item").size());
    EXPECT_FALSE(fs::exists(library.string() + "-wal") && fs::file_size(library.string() + "-wal") > 0);
    expectNoLeftovers();
    EXPECT_EQ(steps.back(), TrackDeleter::Step::Finished);

    // The backup is the library as it was, byte for byte, in a folder only this user can enter.
    const fs::path backup = deleter->backupFolder().toStdString();
    ASSERT_TRUE(fs::exists(backup));
    EXPECT_TRUE(fs::path(backup).string().starts_with((backups.path() / "backups").string()));
    EXPECT_EQ(contents(backup / "MediaLibrary.sqlitedb"), originalLibrary);
    EXPECT_EQ(contents(backup / "MediaLibrary.sqlitedb-wal"), originalLog);
    struct stat info
    {
    };
    ASSERT_EQ(::stat(backup.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(MediaLibrarySnapshot::read(backup / "MediaLibrary.sqlitedb").rows, before.rows);
}

TEST_F(TrackDeleterTest, AnswersTheResultNumbersAndLeavesTheLibraryAlone)
{
    const auto doomed = songs(2);
    struct Row
    {
        const char* what;
        std::function<int(TrackDeleter&)> run;
        int expected;
    };
    const Row rows[] = {
        { "no device", [&](TrackDeleter& d) { return d.deleteTracks(tracksOf(doomed), nullptr); },
            TrackDeleter::NoDevice },
        { "not in the library",
            [&](TrackDeleter& d) {
                return d.deleteTracks(
                    { { 4242, "", "", std::nullopt }, { std::nullopt, "No Such Song", "Nobody", 1 } }, phone());
            },
            TrackDeleter::TracksNotFound },
        { "aborted before it starts",
            [&](TrackDeleter& d) {
                d.abort();
                return d.deleteTracks(tracksOf(doomed), phone());
            },
            TrackDeleter::Cancelled },
        { "aborted before the upload",
            [&](TrackDeleter& d) {
                d.setStepObserver([&d](TrackDeleter::Step step) {
                    if (step == TrackDeleter::Step::EditedLibrary) {
                        d.abort();
                    }
                });
                return d.deleteTracks(tracksOf(doomed), phone());
            },
            TrackDeleter::Cancelled },
        { "aborted after the upload",
            [&](TrackDeleter& d) {
                d.setStepObserver([&d](TrackDeleter::Step step) {
                    if (step == TrackDeleter::Step::UploadedLibrary) {
                        d.abort();
                    }
                });
                return d.deleteTracks(tracksOf(doomed), phone());
            },
            TrackDeleter::Cancelled },
        { "aborted while another run holds the library's lock",
            [&](TrackDeleter& d) {
                // The rival run: the phone's lock on the lock file, on a connection of its own.
                const std::shared_ptr<AMDevice> device = phone();
                std::unique_ptr<AFCMediaDirectory> rival = device->newAFCMediaDirectory();
                std::unique_ptr<AFCFileReference> held = rival
                    ? rival->openForWrite(std::string(TrackDeleter::LIBRARY_FOLDER) + TrackDeleter::LOCK_NAME)
                    : nullptr;
                EXPECT_TRUE(held && held->lockExclusive());
                // Far longer than the phone's own minute: only abort() can end the wait in time.
                d.setLockWait(std::chrono::minutes(10));
                auto run = std::async(std::launch::async, [&] { return d.deleteTracks(tracksOf(doomed), device); });
                EXPECT_TRUE(waitUntil([&] { return lockWaits() == 1; }, std::chrono::seconds(30)));
                d.abort();
                const bool ended = run.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
                held.reset(); // lets a wait that abort() missed end now, so a failure is quick
                rival.reset();
                EXPECT_TRUE(ended) << "abort() left the run waiting for the phone's lock";
                EXPECT_EQ(lockWaits(), 0);
                return run.get();
            },
            TrackDeleter::Cancelled },
        { "library refused (rename)",
            [&](TrackDeleter& d) {
                EXPECT_TRUE(sim.fault(SimulatorFixture::DEMO_UDID, { "afc-status", "24", "10" }));
                const int result = d.deleteTracks(tracksOf(doomed), phone());
                EXPECT_TRUE(d.lastError().contains(QStringLiteral("unchanged"))) << d.lastError().toStdString();
                EXPECT_TRUE(sim.clearFaults(SimulatorFixture::DEMO_UDID));
                return result;
            },
            TrackDeleter::Failed },
        { "library refused (writing)",
            [&](TrackDeleter& d) {
                d.setStepObserver([this](TrackDeleter::Step step) {
                    if (step == TrackDeleter::Step::UploadingLibrary) {
                        EXPECT_TRUE(sim.fault(SimulatorFixture::DEMO_UDID, { "afc-status", "13", "10" }));
                    }
                });
                const int result = d.deleteTracks(tracksOf(doomed), phone());
                EXPECT_TRUE(sim.clearFaults(SimulatorFixture::DEMO_UDID));
                return result;
            },
            TrackDeleter::Failed },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto deleter = makeDeleter();
        EXPECT_EQ(row.run(*deleter), row.expected);
        EXPECT_TRUE(libraryUntouched());
        // A run that changed nothing keeps no backup.
        EXPECT_TRUE(deleter->backupFolder().isEmpty() || row.expected == TrackDeleter::Failed);
        for (const auto& song : doomed) {
            EXPECT_TRUE(fs::exists(song.file));
        }
        expectNoLeftovers();
    }
    // And once nothing is in the way, the same deletion goes through.
    EXPECT_EQ(makeDeleter()->deleteTracks(tracksOf(doomed), phone()), 2);
}

TEST_F(TrackDeleterTest, UnpluggedDuringTheUploadKeepsTheOriginalAndARerunFinishes)
{
    const auto doomed = songs(3);
    auto deleter = makeDeleter();
    bool unplugged = false;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        AFC_FILE_COPY_PROGRESS, nullptr, [&](const std::string&, const void*, const PlistDictionary& info) {
            const auto target = info.find("Target");
            const auto done = info.find("Done");
            const auto size = info.find("Size");
            if (!unplugged && target != info.end() && target->second.asString()
                && target->second.asString()->find(TrackDeleter::UPLOAD_SUFFIX) != std::string::npos
                && done->second.toInt64().value_or(0) * 2 >= size->second.toInt64().value_or(0)) {
                unplugged = true;
                EXPECT_TRUE(sim.detach(SimulatorFixture::DEMO_UDID));
            }
        });
    const int result = deleter->deleteTracks(tracksOf(doomed), phone());
    NotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_TRUE(unplugged);
    EXPECT_EQ(result, TrackDeleter::Failed);

    // The phone still has its library as it was: both files, whole.
    EXPECT_TRUE(libraryUntouched());
    const auto now = MediaLibrarySnapshot::read(library);
    EXPECT_EQ(now.integrity, "ok");
    EXPECT_EQ(now.rows, before.rows);

    ASSERT_NO_FATAL_FAILURE(replug());
    EXPECT_EQ(makeDeleter()->deleteTracks(tracksOf(doomed), phone()), 3);
    const auto after = MediaLibrarySnapshot::read(library);
    EXPECT_EQ(after.integrity, "ok");
    EXPECT_EQ(after.rows, before.without(pidsOf(doomed)).rows);
    for (const auto& song : doomed) {
        EXPECT_FALSE(fs::exists(song.file));
    }
    expectNoLeftovers();
}

TEST_F(TrackDeleterTest, UnpluggedBeforeTheFilesGoKeepsTheNewLibraryAndARerunFinishes)
{
    const auto doomed = songs(3);
    auto deleter = makeDeleter();
    deleter->setStepObserver([this](TrackDeleter::Step step) {
        if (step == TrackDeleter::Step::DeletingFiles) {
            EXPECT_TRUE(sim.detach(SimulatorFixture::DEMO_UDID));
        }
    });
    EXPECT_EQ(deleter->deleteTracks(tracksOf(doomed), phone()), TrackDeleter::Failed);
    EXPECT_EQ(deleter->filesLeft().size(), 3u);
    EXPECT_FALSE(deleter->lastError().isEmpty());

    const auto now = MediaLibrarySnapshot::read(library);
    EXPECT_EQ(now.integrity, "ok");
    EXPECT_EQ(now.rows, before.without(pidsOf(doomed)).rows);
    for (const auto& song : doomed) {
        EXPECT_TRUE(fs::exists(song.file));
    }

    ASSERT_NO_FATAL_FAILURE(replug());
    auto rerun = makeDeleter();
    EXPECT_EQ(rerun->deleteTracks(tracksOf(doomed), phone()), 3) << rerun->lastError().toStdString();
    for (const auto& song : doomed) {
        EXPECT_FALSE(fs::exists(song.file));
    }
    EXPECT_EQ(MediaLibrarySnapshot::read(library).rows, before.without(pidsOf(doomed)).rows);
    expectNoLeftovers();
}

TEST_F(TrackDeleterTest, UnpluggedWhileReplacingLeavesTheOldOrTheNewLibrary)
{
    const auto doomed = songs(2);
    struct Row
    {
        TrackDeleter::Step step;
        bool replaced;
    };
    // The steps of the replacement, each a single request on the device.
    const Row rows[] = {
        { TrackDeleter::Step::ReplacingLibrary, false },
        { TrackDeleter::Step::FoldedLog, false },
        { TrackDeleter::Step::ReplacedLibrary, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(int(row.step));
        auto deleter = makeDeleter();
        deleter->setStepObserver([this, &row](TrackDeleter::Step step) {
            if (step == row.step) {
                EXPECT_TRUE(sim.detach(SimulatorFixture::DEMO_UDID));
            }
        });
        EXPECT_EQ(deleter->deleteTracks(tracksOf(doomed), phone()), TrackDeleter::Failed);
        const auto now = MediaLibrarySnapshot::read(library);
        EXPECT_EQ(now.integrity, "ok");
        EXPECT_EQ(now.rows, row.replaced ? before.without(pidsOf(doomed)).rows : before.rows);

        ASSERT_NO_FATAL_FAILURE(replug());
        auto rerun = makeDeleter();
        EXPECT_EQ(rerun->deleteTracks(tracksOf(doomed), phone()), 2) << rerun->lastError().toStdString();
        EXPECT_EQ(MediaLibrarySnapshot::read(library).rows, before.without(pidsOf(doomed)).rows);
        for (const auto& song : doomed) {
            EXPECT_FALSE(fs::exists(song.file));
        }
        expectNoLeftovers();

        // Back to the library as it was for the next row, as the backup would put it.
        const fs::path saved = deleter->backupFolder().toStdString();
        fs::copy_file(saved / "MediaLibrary.sqlitedb", library, fs::copy_options::overwrite_existing);
        fs::copy_file(
            saved / "MediaLibrary.sqlitedb-wal", library.string() + "-wal", fs::copy_options::overwrite_existing);
        fs::remove(library.string() + "-shm");
        for (const auto& song : doomed) {
            std::ofstream(song.file, std::ios::binary).put('x');
        }
        ASSERT_TRUE(libraryUntouched());
    }
}

namespace {

/// Starts torvane-cli with `arguments`, its output thrown away; the caller waits for it.
pid_t spawnCli(const std::vector<std::string>& arguments)
{
    std::vector<std::string> words { SimulatorFixture::cliPath() };
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

/// Every regular file under `root` that is not inside a hidden folder: what looks like a backup.
std::vector<std::string> visibleFiles(const fs::path& root)
{
    std::vector<std::string> found;
    if (!fs::exists(root)) {
        return found;
    }
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_directory() && it->path().filename().string().starts_with('.')) {
            it.disable_recursion_pending();
        } else if (it->is_regular_file()) {
            found.push_back(it->path().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string pidArgument(std::int64_t pid)
{
    return std::to_string(static_cast<std::uint64_t>(pid)); // as the listing writes it
}

} // namespace

TEST_F(TrackDeleterTest, DeletesOnlyWhatWasAskedEvenWithAHostileListARivalRunOrAKill)
{
    const auto all = songs(6);
    ASSERT_EQ(all.size(), 6u);
    const fs::path media = sim.mediaRoot(SimulatorFixture::DEMO_UDID);
    // The command line keeps its backups in the data folder: the same one as the runs here.
    setenv("XDG_DATA_HOME", backups.path().c_str(), 1);
    const fs::path root = backups.path() / "Torvane" / "Music Library Backups";
    std::set<std::int64_t> gone;
    const auto deleter = [&] {
        auto made = makeDeleter();
        made->setBackupRoot(QString::fromStdString(root.string()));
        return made;
    };
    const auto expectLibrary = [&] {
        const auto now = MediaLibrarySnapshot::read(library);
        EXPECT_EQ(now.integrity, "ok");
        EXPECT_EQ(now.rows, before.without(gone).rows);
        for (const auto& song : all) {
            EXPECT_EQ(fs::exists(song.file), !gone.count(song.pid)) << song.file;
        }
    };

    struct Row
    {
        const char* what;
        std::function<void()> run;
    };
    const Row rows[] = {
        { "a list of files to delete naming photos, a database and a way out of the folder",
            [&] {
                const char* hostile[]
                    = { "DCIM/100APPLE/IMG_0017.JPG", "DCIM/100APPLE/IMG_0018.JPG", "Downloads/downloads.28.sqlitedb" };
                for (const char* path : hostile) {
                    fs::create_directories((media / path).parent_path());
                    if (!fs::exists(media / path)) {
                        std::ofstream(media / path) << "keep me";
                    }
                }
                std::ofstream(folder / TrackDeleter::PENDING_NAME)
                    << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
                       "<dict><key>pid</key><integer>17</integer><key>path</key>"
                       "<string>/DCIM/100APPLE/IMG_0017.JPG</string></dict>"
                       "<dict><key>pid</key><integer>18</integer><key>path</key>"
                       "<string>/DCIM/100APPLE/../100APPLE/IMG_0018.JPG</string></dict>"
                       "<dict><key>pid</key><integer>28</integer><key>path</key>"
                       "<string>/Downloads/downloads.28.sqlitedb</string></dict>"
                       "<dict><key>path</key><string>/iTunes_Control/Music/F00/no-id.mp3</string></dict>"
                       "</array></plist>\n";
                LogCapture log;
                EXPECT_EQ(deleter()->deleteTracks(tracksOf({ all[0] }), phone()), 1);
                gone.insert(all[0].pid);
                for (const char* path : hostile) {
                    EXPECT_TRUE(fs::exists(media / path)) << path;
                }
                for (const char* path : { "/DCIM/100APPLE/IMG_0017.JPG", "/DCIM/100APPLE/../100APPLE/IMG_0018.JPG",
                         "/Downloads/downloads.28.sqlitedb" }) {
                    EXPECT_TRUE(
                        log.contains(std::string("Ignoring a file to delete outside /iTunes_Control/Music/: ") + path))
                        << path;
                }
                EXPECT_EQ(log.count("Ignoring an entry of /iTunes_Control/iTunes/Torvane-PendingRemovals.plist "
                                    "without a song id and path"),
                    1);
            } },
        { "a second run on another process while the first is under way",
            [&] {
                auto first = deleter();
                std::optional<ProcessResult> rival;
                first->setStepObserver([&](TrackDeleter::Step step) {
                    if (step == TrackDeleter::Step::EditedLibrary) {
                        rival = runProcess({ SimulatorFixture::cliPath(), "music", "rm", pidArgument(all[1].pid) },
                            std::chrono::seconds(60));
                    }
                });
                EXPECT_EQ(first->deleteTracks(tracksOf({ all[2] }), phone()), 1);
                gone.insert(all[2].pid);
                ASSERT_TRUE(rival);
                EXPECT_EQ(rival->exitCode, 1);
                EXPECT_NE(rival->err.find(TrackDeleter::BUSY_TEXT), std::string::npos) << rival->err;
                expectLibrary(); // the rival's song is still listed, and its file still there
                // The first run's lock went with it: the same command now goes through.
                const ProcessResult again = runProcess(
                    { SimulatorFixture::cliPath(), "music", "rm", pidArgument(all[1].pid) }, std::chrono::seconds(60));
                EXPECT_EQ(again.exitCode, 0) << again.err;
                gone.insert(all[1].pid);
            } },
        { "a run killed while it copies the backup",
            [&] {
                const auto backupsBefore = visibleFiles(root);
                // Every reply a little late, so the copy is under way long enough to be caught.
                ASSERT_TRUE(sim.fault(SimulatorFixture::DEMO_UDID, { "stall", "20" }));
                const pid_t child = spawnCli({ "music", "rm", pidArgument(all[3].pid) });
                ASSERT_GT(child, 0);
                const auto partialCopy = [&] {
                    std::error_code error;
                    for (auto it = fs::recursive_directory_iterator(root, error);
                         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
                        const auto size = fs::file_size(it->path(), error);
                        if (!error && it->path().filename() == "MediaLibrary.sqlitedb" && size > 0
                            && size < originalLibrary.size()) {
                            return true;
                        }
                        error.clear();
                    }
                    return false;
                };
                const bool caught = waitUntil(partialCopy, std::chrono::seconds(60));
                ::kill(child, SIGKILL);
                int status = 0;
                ::waitpid(child, &status, 0);
                ASSERT_TRUE(sim.clearFaults(SimulatorFixture::DEMO_UDID));
                ASSERT_TRUE(caught);
                EXPECT_EQ(visibleFiles(root), backupsBefore) << "a cut copy looks like a backup";
                expectLibrary();
                // The next run clears it away, and the killed run's lock is gone with its connection.
                auto next = deleter();
                EXPECT_EQ(next->deleteTracks(tracksOf({ all[3] }), phone()), 1) << next->lastError().toStdString();
                gone.insert(all[3].pid);
                for (const auto& entry : fs::recursive_directory_iterator(root)) {
                    EXPECT_FALSE(entry.path().filename().string().starts_with(TrackDeleter::PARTIAL_BACKUP_PREFIX))
                        << entry.path();
                }
            } },
        { "a run whose backup copy fails",
            [&] {
                const auto backupsBefore = visibleFiles(root);
                ASSERT_TRUE(sim.fault(SimulatorFixture::DEMO_UDID, { "afc-status", "15", "10" })); // FILE_READ
                auto failing = deleter();
                EXPECT_EQ(failing->deleteTracks(tracksOf({ all[4] }), phone()), TrackDeleter::Failed);
                ASSERT_TRUE(sim.clearFaults(SimulatorFixture::DEMO_UDID));
                EXPECT_TRUE(failing->backupFolder().isEmpty());
                EXPECT_EQ(visibleFiles(root), backupsBefore);
                for (const auto& entry : fs::recursive_directory_iterator(root)) {
                    EXPECT_FALSE(entry.is_directory() && fs::is_empty(entry.path())) << entry.path();
                }
            } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.run();
        expectLibrary();
        expectNoLeftovers();
    }
    unsetenv("XDG_DATA_HOME");
}
