#include "device/AFCDirectoryAccess.h"
#include "modules/music/ECMusicModule.h"
#include "tests/device/integration/AttachedDevice.h"
#include "tests/platform/MediaLibrarySnapshot.h"
#include "tests/support/RecordingHost.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class ECMusicModuleOnPhone : public AttachedDeviceTest
{
protected:
    void SetUp() override
    {
        AttachedDeviceTest::SetUp();
        device = waitForDevice(SimulatorFixture::DEMO_UDID);
        ASSERT_TRUE(device);
        library = sim.mediaRoot(SimulatorFixture::DEMO_UDID) / "iTunes_Control/iTunes/MediaLibrary.sqlitedb";
        module = std::make_unique<ECMusicModule>();
        module->setHost(&host);
        module->setTrackDeleterSetup([this](TrackDeleter& deleter) {
            deleter.setBackupRoot(QString::fromStdString(backups.path().string()));
            // Far longer than the phone's own minute: only a stop can end a wait for a rival run.
            deleter.setLockWait(std::chrono::minutes(10));
        });
        module->setDevice(device);
    }

    void TearDown() override
    {
        module.reset();
        AttachedDeviceTest::TearDown();
    }

    /// Shows the module and waits until the library has been read.
    void read()
    {
        module->loadConfigView();
        ASSERT_TRUE(
            loop.runUntil([&] { return module->moduleStatus() == ECModuleStatus::Idle; }, std::chrono::seconds(60)));
    }

    /// Deletes the checked shown items and waits for the outcome.
    void deleteChecked()
    {
        module->deleteChecked();
        ASSERT_TRUE(loop.runUntil([&] { return !module->deleting() && module->moduleStatus() == ECModuleStatus::Idle; },
            std::chrono::seconds(60)));
    }

    std::set<qlonglong> listedPids() const
    {
        std::set<qlonglong> pids;
        for (const auto& item : module->itemList().items()) {
            pids.insert(item.values.value(QStringLiteral("pid")).toLongLong());
        }
        return pids;
    }

    /// Leaves `count` shown items checked, and answers their ids.
    std::set<qlonglong> keepChecked(int count)
    {
        std::vector<std::uint64_t> all;
        std::vector<std::uint64_t> kept;
        std::set<qlonglong> pids;
        for (const auto& item : module->itemListController().shownItems()) {
            all.push_back(item.id);
            if (int(kept.size()) < count) {
                kept.push_back(item.id);
                pids.insert(item.values.value(QStringLiteral("pid")).toLongLong());
            }
        }
        module->itemList().setItemsChecked(all, false);
        module->itemList().setItemsChecked(kept, true);
        return pids;
    }

    std::shared_ptr<AMDevice> device;
    fs::path library;
    TemporaryDirectory backups;
    RecordingHost host;
    std::unique_ptr<ECMusicModule> module;
};

} // namespace

TEST_F(ECMusicModuleOnPhone, ListsDeletesAndReadsTheLibraryAgain)
{
    const auto before = MediaLibrarySnapshot::read(library);
    ASSERT_NO_FATAL_FAILURE(read());
    // The demo phone's 170 songs and 30 podcasts, all checked, each with its artist and size.
    ASSERT_EQ(module->itemList().rowCount(), 200);
    int podcasts = 0;
    int undated = 0;
    for (const auto& item : module->itemList().items()) {
        EXPECT_TRUE(item.checked);
        EXPECT_FALSE(item.values.value(QStringLiteral("artist")).toString().isEmpty());
        EXPECT_GT(item.sizeOrZero(), 0);
        podcasts += item.values.value(QStringLiteral("type")).toInt() == 4 ? 1 : 0;
        undated += item.values.contains(QStringLiteral("played")) ? 0 : 1;
    }
    EXPECT_EQ(podcasts, 30);
    EXPECT_EQ(listedPids().size(), 200u);

    // The copy sits in a private folder that is emptied before each read.
    const QString copyFolder = module->localDir();
    ASSERT_FALSE(copyFolder.isEmpty());
    EXPECT_FALSE(copyFolder.startsWith(QStringLiteral("/tmp/Torvane")));
    struct stat info
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(copyFolder).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    QFile planted(copyFolder + QStringLiteral("/left over"));
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.close();

    module->setRangeIndex(1);
    EXPECT_EQ(module->rangeLabelText(), QStringLiteral("1 Year"));
    const int shown = module->itemListController().rowCount();
    EXPECT_GE(shown, undated);
    EXPECT_LT(shown, 200);
    const std::set<qlonglong> doomed = keepChecked(3);
    ASSERT_EQ(doomed.size(), 3u);
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Delete 3 Songs"));

    ASSERT_NO_FATAL_FAILURE(deleteChecked());
    EXPECT_EQ(module->deletionResult(), 3);

    // Read again without them, from a folder holding nothing of the earlier read.
    ASSERT_TRUE(loop.runUntil(
        [&] { return module->moduleStatus() == ECModuleStatus::Idle && module->itemList().rowCount() == 197; },
        std::chrono::seconds(60)));
    for (const qlonglong pid : doomed) {
        EXPECT_FALSE(listedPids().count(pid));
    }
    EXPECT_FALSE(QFile::exists(copyFolder + QStringLiteral("/left over")));

    const auto after = MediaLibrarySnapshot::read(library);
    EXPECT_EQ(after.integrity, "ok");
    std::set<std::int64_t> removed(doomed.begin(), doomed.end());
    EXPECT_EQ(after.rows, before.without(removed).rows);
    bool backupOpens = false;
    for (const auto& entry : fs::recursive_directory_iterator(backups.path())) {
        if (entry.path().filename() == "MediaLibrary.sqlitedb") {
            const auto saved = MediaLibrarySnapshot::read(entry.path());
            backupOpens = saved.integrity == "ok" && saved.rows == before.rows;
        }
    }
    EXPECT_TRUE(backupOpens);

    // A library the phone refuses to replace: the finished line says why, and the song stays
    // listed, not chosen again.
    const std::set<qlonglong> refused = keepChecked(1);
    ASSERT_TRUE(sim.fault(SimulatorFixture::DEMO_UDID, { "afc-status", "24", "10" }));
    ASSERT_NO_FATAL_FAILURE(deleteChecked());
    ASSERT_TRUE(sim.clearFaults(SimulatorFixture::DEMO_UDID));
    EXPECT_EQ(module->deletionResult(), TrackDeleter::Failed);
    ASSERT_TRUE(loop.runUntil(
        [&] { return module->statusMessage().contains(QStringLiteral("unchanged")); }, std::chrono::seconds(60)));
    EXPECT_TRUE(module->statusMessage().startsWith(QStringLiteral("Removed 0 of 1 song:")))
        << module->statusMessage().toStdString();
    ASSERT_TRUE(
        loop.runUntil([&] { return module->moduleStatus() == ECModuleStatus::Idle; }, std::chrono::seconds(60)));
    EXPECT_TRUE(listedPids().count(*refused.begin()));
    EXPECT_EQ(module->itemsToRemoveCount(), 0);
    EXPECT_EQ(MediaLibrarySnapshot::read(library).rows, after.rows);

    // The phone goes while the deletion waits for a rival run's lock on the library: the wait
    // ends at once and nothing changes.
    std::unique_ptr<AFCMediaDirectory> rival = device->newAFCMediaDirectory();
    ASSERT_TRUE(rival);
    std::unique_ptr<AFCFileReference> held
        = rival->openForWrite(std::string(TrackDeleter::LIBRARY_FOLDER) + TrackDeleter::LOCK_NAME);
    ASSERT_TRUE(held && held->lockExclusive());
    keepChecked(1);
    module->deleteChecked();
    const auto waitingForTheLock
        = [&] { return sim.ctl({ "list" }).out.find("afc-lock-waits 1") != std::string::npos; };
    ASSERT_TRUE(loop.runUntil(waitingForTheLock, std::chrono::seconds(30)));
    module->phoneDetached(); // what the application does when the module's phone goes
    const bool ended = loop.runUntil([&] { return !module->deleting(); }, std::chrono::seconds(30));
    held.reset(); // lets a wait the unplugging missed end now, so a failure is quick
    EXPECT_TRUE(ended) << "the deletion went on waiting for the lock";
    ASSERT_TRUE(loop.runUntil([&] { return !module->deleting(); }, std::chrono::seconds(60)));
    EXPECT_EQ(module->deletionResult(), TrackDeleter::Cancelled);
    EXPECT_FALSE(waitingForTheLock());
    EXPECT_TRUE(MediaLibrarySnapshot::read(library).rows == after.rows) << "the library changed";
}
