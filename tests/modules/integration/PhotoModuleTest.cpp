#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "modules/ECAgeRange.h"
#include "modules/ECClock.h"
#include "modules/ECModuleHost.h"
#include "modules/ECModuleRules.h"
#include "modules/photos/ECPhotoModule.h"
#include "platform/image_capture/ICBackupLog.h"
#include "platform/image_capture/ICCameraDevice.h"
#include "platform/image_capture/ICFileNames.h"
#include "platform/image_capture/ICVerifiedFileWriter.h"
#include "tests/support/MediaSamples.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTimeZone>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

constexpr const char* SMALL_UDID = "5ca1ab1e0000000000000000000000000000c0de";
constexpr const char* OTHER_UDID = "5ca1ab1e0000000000000000000000000000beef";
constexpr const char* MEDIA_PREFIX = "/private/var/mobile/Media";

/// A phone like the demo one with a camera roll small enough to copy many times in a test.
std::string smallProfile(const fs::path& folder, const std::string& udid, const std::string& name)
{
    const fs::path path = folder / (udid + ".json");
    std::ofstream out(path);
    out << R"({ "name": ")" << name << R"(", "udid": ")" << udid << R"(",
        "productType": "iPhone8,1", "productVersion": "9.3.5", "buildVersion": "13G36",
        "deviceClass": "iPhone", "serialNumber": "F17QD3M0GRY6", "hardwareModel": "N71mAP",
        "wifiAddress": "a4:d1:8c:3d:0a:1c", "productId": 4776, "jailbroken": false,
        "diskCapacity": 16000000000, "dataCapacity": 12000000000, "usedBytes": 6000000000,
        "reserveBytes": 209715200, "blockSize": 4096, "purgeablePoolBytes": 0,
        "purgeThresholdBytes": 150000000, "purgeTargetBytes": 200000000, "purgeStepBytes": 67108864,
        "purgeIntervalMs": 250,
        "content": { "seed": 4711, "userApps": 0, "fileSharingApps": 0, "developerApps": 0, "photos": 36, "videos": 10, "songs": 0, "podcasts": 0,
                     "stalledDownloads": 0, "yearsOfHistory": 3, "videoSeconds": [2, 5],
                     "photoBytes": [150000, 400000] } })";
    return path.string();
}

std::string sha256Of(const fs::path& path)
{
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex().toStdString();
}

/// A file's modification time in milliseconds since 1970.
std::int64_t modificationTimeOf(const fs::path& path)
{
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0) {
        return -1;
    }
    return std::int64_t(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1'000'000;
}

/// What the simulator's state folder says about one camera-roll file: the oracle.
struct PhoneFile
{
    std::string sha256;
    std::uint64_t size { 0 };
    std::int64_t birth { 0 }; // seconds
    bool movie { false };
};

class RecordingHost : public ECModuleHost
{
public:
    void presentAlert(const ECModuleAlert& alert, std::function<void(int)> answer) override
    {
        alerts.push_back(alert);
        answer(0);
    }
    void chooseFolder(const QString&, const QString&, std::function<void(std::optional<QString>)> answer) override
    {
        answer(folderToChoose);
    }
    void openUrl(const QUrl& url) override { opened.push_back(url); }

    std::vector<ECModuleAlert> alerts;
    std::vector<QUrl> opened;
    std::optional<QString> folderToChoose;
};

class PhotoModuleTest : public testing::Test
{
protected:
    explicit PhotoModuleTest(std::vector<std::string> udids = { SMALL_UDID })
        : m_udids(std::move(udids))
    {
    }

    void SetUp() override
    {
        RunLoop::setMain(&loop);
        const char* home = std::getenv("HOME");
        m_savedHome = home ? std::optional<std::string>(home) : std::nullopt;
        setenv("HOME", homeFolder.path().c_str(), 1);
        std::vector<std::string> profiles;
        for (std::size_t i = 0; i < m_udids.size(); ++i) {
            profiles.push_back(
                smallProfile(profileFolder.path(), m_udids[i], i == 0 ? "Small iPhone" : "Other iPhone"));
        }
        sim = std::make_unique<SimulatorFixture>(profiles);
        seedPhone();
        ASSERT_TRUE(sim->start()) << sim->lastError();
        manager = std::make_unique<MobileDeviceAccess>(MobileDevice::shared());
        manager->setListener(&listener);
        clock.setNow(QDateTime::currentDateTimeUtc());
        module = std::make_unique<ECPhotoModule>();
        module->setClock(&clock);
        module->setHost(&host);
    }

    void TearDown() override
    {
        module.reset();
        manager.reset();
        sim.reset();
        RunLoop::setMain(nullptr);
        if (m_savedHome) {
            setenv("HOME", m_savedHome->c_str(), 1);
        }
    }

    /// Files a test puts on the phone before it starts.
    virtual void seedPhone() { }

    bool pumpUntil(const std::function<bool()>& condition, std::chrono::seconds bound = std::chrono::seconds(60))
    {
        return loop.runUntil(condition, bound);
    }

    std::shared_ptr<AMDevice> waitForDevice(const std::string& udid)
    {
        std::shared_ptr<AMDevice> found;
        pumpUntil([&] { return (found = manager->device(udid)) != nullptr; });
        return found;
    }

    /// Shows the module for `udid`, as the application does, and waits for its camera roll.
    void showModule(const std::string& udid = SMALL_UDID)
    {
        auto device = waitForDevice(udid);
        ASSERT_TRUE(device);
        module->setDevice(device);
        module->loadConfigView();
        ASSERT_TRUE(pumpUntil([&] { return module->statusText() != ECPhotoModule::WAITING_TEXT; }));
        ASSERT_TRUE(module->interfaceEnabled());
        ASSERT_TRUE(pumpUntil([&] { return module->cameraDevice()->durationsRead(); }));
    }

    /// Until the run has ended and its finished line, after the phone's free space is measured, is shown.
    void runBackup()
    {
        bool finished = false;
        bool reported = false;
        const auto connection
            = QObject::connect(module.get(), &ECPhotoModule::backupFinished, [&] { finished = true; });
        const auto line = QObject::connect(module.get(), &ECModule::deletionFinished, [&] { reported = true; });
        module->offloadVideos();
        ASSERT_TRUE(pumpUntil([&] { return finished && reported; }, std::chrono::seconds(240)));
        QObject::disconnect(connection);
        QObject::disconnect(line);
    }

    fs::path media(const std::string& udid = SMALL_UDID) const { return sim->mediaRoot(udid); }

    /// Every camera-roll file of the phone, by device path ("/DCIM/100APPLE/IMG_0001.JPG").
    std::map<std::string, PhoneFile> phoneFiles(const std::string& udid = SMALL_UDID, bool hash = true) const
    {
        std::map<std::string, std::int64_t> births;
        std::ifstream in(sim->statePath() / "devices" / udid / "birthtimes.tsv");
        for (std::string line; std::getline(in, line);) {
            const auto tab = line.find('\t');
            const std::string path = line.substr(tab + 1);
            if (tab != std::string::npos && path.starts_with(std::string(MEDIA_PREFIX) + "/DCIM/")) {
                births[path.substr(std::strlen(MEDIA_PREFIX))] = std::stoll(line.substr(0, tab)) / 1'000'000'000;
            }
        }
        std::map<std::string, PhoneFile> files;
        const fs::path dcim = media(udid) / "DCIM";
        if (!fs::exists(dcim)) {
            return files;
        }
        for (const auto& entry : fs::recursive_directory_iterator(dcim)) {
            if (!entry.is_regular_file()) {
                continue;
            }
            const std::string path = "/" + fs::relative(entry.path(), media(udid)).string();
            PhoneFile file;
            file.sha256 = hash ? sha256Of(entry.path()) : std::string();
            file.size = entry.file_size();
            file.birth = births.count(path) ? births[path] : 0;
            file.movie = ICFileNames::isMovieName(entry.path().filename().string());
            files[path] = file;
        }
        return files;
    }

    /// The device paths the age and kind choices should select, by the oracle.
    static std::set<std::string> expectedSelection(
        const std::map<std::string, PhoneFile>& files, const QDateTime& now, int ageIndex, int choice)
    {
        const std::int64_t cutOff = now.toSecsSinceEpoch() - ECAgeRange::atIndex(ageIndex).seconds();
        std::set<std::string> selected;
        for (const auto& [path, file] : files) {
            const bool kindWanted = choice == ECPhotoModule::PhotosAndVideos
                || (choice == ECPhotoModule::PhotosOnly && !file.movie)
                || (choice == ECPhotoModule::VideosOnly && file.movie);
            if (kindWanted && file.birth > 0 && file.birth < cutOff) {
                selected.insert(path);
            }
        }
        return selected;
    }

    std::set<std::string> moduleSelection() const
    {
        std::set<std::string> paths;
        for (const auto& file : module->itemsToRemove()) {
            paths.insert(file.devicePath);
        }
        return paths;
    }

    fs::path backupFolder() const { return homeFolder.path() / "Pictures" / "Torvane Backup"; }

    /// The audit log's lines after the header, split into cells, but for the "verified,
    /// removing" lines written before each removal (`removing` gets them).
    std::vector<std::vector<std::string>> auditLines(
        std::size_t* removing = nullptr, std::vector<std::vector<std::string>>* removingLines = nullptr) const
    {
        std::vector<std::vector<std::string>> lines;
        std::ifstream in(backupFolder() / ICBackupLog::FILE_NAME);
        std::string line;
        std::getline(in, line);
        EXPECT_EQ(line, ICBackupLog::HEADER);
        while (std::getline(in, line)) {
            auto cells = csvCells(line);
            EXPECT_EQ(cells.size(), 9u) << line;
            if (cells.size() > 6 && cells[6] == "verified, removing") {
                if (removing) {
                    ++*removing;
                }
                if (removingLines) {
                    removingLines->push_back(std::move(cells));
                }
                continue;
            }
            lines.push_back(std::move(cells));
        }
        return lines;
    }

    /// Every regular file under the temporary home, relative to it.
    std::set<std::string> filesUnderHome() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(homeFolder.path())) {
            if (entry.is_regular_file() || entry.is_symlink()) {
                names.insert(fs::relative(entry.path(), homeFolder.path()).string());
            }
        }
        return names;
    }

    /// The rule that must hold after any run, however it ended: every selected file is either
    /// still on the phone, unchanged, or gone from it with a verified copy in the backup folder.
    void expectNothingLost(const std::map<std::string, PhoneFile>& before, const std::set<std::string>& selected)
    {
        std::map<std::string, std::set<std::string>> localByHash;
        for (const auto& entry : fs::directory_iterator(backupFolder())) {
            const std::string name = entry.path().filename().string();
            EXPECT_FALSE(name.starts_with(".torvane-partial-")) << "a partial copy was left: " << name;
            if (name != ICBackupLog::FILE_NAME) {
                localByHash[sha256Of(entry.path())].insert(name);
            }
        }
        const auto after = phoneFiles();
        for (const std::string& path : selected) {
            SCOPED_TRACE(path);
            const PhoneFile& original = before.at(path);
            const auto still = after.find(path);
            if (still != after.end()) {
                EXPECT_EQ(still->second.sha256, original.sha256) << "changed on the phone";
            } else {
                EXPECT_TRUE(localByHash.count(original.sha256)) << "gone from the phone without a verified copy";
            }
        }
    }

    PlainRunLoop loop;
    TemporaryDirectory homeFolder;
    TemporaryDirectory profileFolder;
    std::unique_ptr<SimulatorFixture> sim;
    MobileDeviceAccessListener listener;
    std::unique_ptr<MobileDeviceAccess> manager;
    ECFixedClock clock { QDateTime::currentDateTimeUtc() };
    RecordingHost host;
    std::unique_ptr<ECPhotoModule> module;

private:
    std::vector<std::string> m_udids;
    std::optional<std::string> m_savedHome;
};

class PhotoSelectionTest : public PhotoModuleTest
{
protected:
    PhotoSelectionTest()
        : PhotoModuleTest({ SMALL_UDID, OTHER_UDID })
    {
    }
};

TEST_F(PhotoSelectionTest, UsesOnlyTheSelectedPhonesCameraAndSelectsByKindAndAge)
{
    showModule(SMALL_UDID);
    ASSERT_EQ(manager->devices().size(), 2u);
    EXPECT_EQ(module->cameraDevice()->device(), waitForDevice(SMALL_UDID)) << "the module's own device object";
    EXPECT_EQ(module->cameraDevice()->serialNumberString(), QString::fromLatin1(SMALL_UDID));

    const auto files = phoneFiles();
    ASSERT_EQ(module->cameraDevice()->mediaFiles().size(), files.size());
    for (const auto& file : module->cameraDevice()->mediaFiles()) {
        SCOPED_TRACE(file.devicePath);
        ASSERT_TRUE(files.count(file.devicePath));
        EXPECT_EQ(file.fileSize, files.at(file.devicePath).size);
        EXPECT_EQ(file.creationDate.toSecsSinceEpoch(), files.at(file.devicePath).birth);
        EXPECT_EQ(file.movie, file.duration > 0) << "videos, and only they, have a duration";
        if (file.movie) {
            EXPECT_GE(file.duration, 2.0);
            EXPECT_LE(file.duration, 5.0);
        }
    }

    const struct
    {
        int choice;
        const char* what;
    } choices[] = { { ECPhotoModule::PhotosAndVideos, "both" }, { ECPhotoModule::PhotosOnly, "photos" },
        { ECPhotoModule::VideosOnly, "videos" } };
    for (const auto& c : choices) {
        for (const int age : { 1, 3, 8 }) {
            SCOPED_TRACE(std::string(c.what) + " older than " + ECAgeRange::atIndex(age).label);
            module->setMediaChoice(c.choice);
            module->setTimeRangeIndex(age);
            const auto expected = expectedSelection(files, clock.now(), age, c.choice);
            if (age == 8) {
                EXPECT_FALSE(expected.empty());
            }
            EXPECT_EQ(moduleSelection(), expected);
            std::int64_t bytes = 0;
            for (const auto& path : expected) {
                bytes += std::int64_t(files.at(path).size);
            }
            EXPECT_EQ(module->selectionSize(), bytes);
            EXPECT_EQ(module->progressDisplay().deleteTitle,
                expected.size() == 1 ? QStringLiteral("Back Up & Remove 1 File")
                                     : QStringLiteral("Back Up & Remove %1 Files").arg(expected.size()));
        }
    }

    // A file born exactly at the cut-off is not older than it; one second later it is.
    module->setMediaChoice(ECPhotoModule::PhotosAndVideos);
    module->setTimeRangeIndex(1);
    const auto& [path, file] = *files.begin();
    clock.setNow(QDateTime::fromSecsSinceEpoch(file.birth + ECAgeRange::atIndex(1).seconds(), Qt::UTC));
    EXPECT_FALSE(moduleSelection().count(path));
    clock.setNow(clock.now().addSecs(1));
    EXPECT_TRUE(moduleSelection().count(path));
}

TEST_F(PhotoModuleTest, BacksUpVerifiesAndRemovesEverythingOlderThanAYear)
{
    showModule();
    module->setMediaChoice(ECPhotoModule::PhotosAndVideos);
    module->setTimeRangeIndex(1); // "1 Year"
    module->setDestinationIndex(0); // "Pictures"
    const auto before = phoneFiles();
    const auto selected = expectedSelection(before, clock.now(), 1, ECPhotoModule::PhotosAndVideos);
    ASSERT_EQ(moduleSelection(), selected);
    ASSERT_GT(selected.size(), 10u);
    ASSERT_LT(selected.size(), before.size()) << "some files are younger and must stay";
    std::uint64_t selectedBytes = 0;
    for (const auto& path : selected) {
        selectedBytes += before.at(path).size;
    }
    const auto freeBefore = sim->storage(SMALL_UDID).at("free");

    runBackup();

    EXPECT_EQ(module->lastReport().requested, int(selected.size()));
    EXPECT_EQ(module->lastReport().removed, int(selected.size()));
    EXPECT_EQ(module->lastReport().failed, 0);
    EXPECT_FALSE(module->deleting());
    EXPECT_EQ(module->progressValue(), module->progressMaximum());
    const auto after = phoneFiles();
    for (const auto& [path, file] : before) {
        EXPECT_EQ(after.count(path), selected.count(path) ? 0u : 1u) << path;
    }
    // Every removed file is in the backup folder under its own name, byte for byte.
    std::size_t removing = 0;
    const auto lines = auditLines(&removing);
    ASSERT_EQ(lines.size(), selected.size());
    EXPECT_EQ(removing, selected.size()) << "each removal is announced in the log before it happens";
    std::set<std::string> logged;
    for (const auto& cells : lines) {
        ASSERT_EQ(cells.size(), 9u);
        const std::string& devicePath = cells[2];
        SCOPED_TRACE(devicePath);
        ASSERT_TRUE(selected.count(devicePath));
        logged.insert(devicePath);
        EXPECT_EQ(cells[1], "Small iPhone");
        EXPECT_EQ(cells[3], (backupFolder() / fs::path(devicePath).filename()).string());
        EXPECT_EQ(cells[4], std::to_string(before.at(devicePath).size));
        EXPECT_EQ(cells[5], before.at(devicePath).sha256);
        EXPECT_EQ(sha256Of(cells[3]), before.at(devicePath).sha256);
        EXPECT_EQ(cells[6], "removed from the phone");
        // The generated photos carry EXIF and the videos a movie header; screenshots and edits'
        // side files have no date of their own.
        const bool undated = !devicePath.ends_with(".JPG") && !before.at(devicePath).movie;
        EXPECT_EQ(cells[8], before.at(devicePath).movie ? "movie header" : undated ? "phone file date" : "EXIF");
        const QDateTime taken = QDateTime::fromString(QString::fromStdString(cells[7]), Qt::ISODate);
        ASSERT_TRUE(taken.isValid()) << cells[7];
        EXPECT_EQ(modificationTimeOf(cells[3]), taken.toMSecsSinceEpoch()) << "the copy is dated when it was taken";
        if (undated) {
            EXPECT_EQ(taken.toSecsSinceEpoch(), before.at(devicePath).birth);
        }
    }
    EXPECT_EQ(logged, selected);
    const auto freeAfter = sim->storage(SMALL_UDID).at("free");
    EXPECT_GE(freeAfter - freeBefore, selectedBytes);
    EXPECT_LE(freeAfter - freeBefore, selectedBytes + selected.size() * 4096);

    // The report, and the folder opened once.
    ASSERT_EQ(host.opened.size(), 1u);
    EXPECT_EQ(host.opened[0], QUrl::fromLocalFile(QString::fromStdString(backupFolder().string())));
    // One outcome, in one place: the finished line, with where the copies are; no dialog.
    EXPECT_TRUE(host.alerts.empty());
    const QString line = module->statusMessage();
    EXPECT_TRUE(line.startsWith(QStringLiteral("Removed %1 files: ").arg(selected.size()))) << line.toStdString();
    EXPECT_TRUE(line.endsWith(QStringLiteral(" The checked copies of %1 files are in “%2”.")
                                  .arg(selected.size())
                                  .arg(QString::fromStdString(backupFolder().string()))))
        << line.toStdString();
    EXPECT_EQ(module->itemsToRemoveCount(), 0);
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Back Up & Remove Files"));
}

class PhotoUnplugTest : public PhotoModuleTest, public testing::WithParamInterface<double>
{
};

TEST_P(PhotoUnplugTest, UnpluggingLosesNothingAndARerunFinishesWithoutDuplicates)
{
    showModule();
    const auto before = phoneFiles();
    const auto selected = expectedSelection(before, clock.now(), 1, ECPhotoModule::PhotosAndVideos);
    ASSERT_EQ(moduleSelection(), selected);
    // Unplugged once this many files have reported (the last: while the last one is under way).
    const std::size_t trigger = std::min(selected.size() - 1, std::size_t(double(selected.size()) * GetParam()));

    bool finished = false;
    QObject::connect(module.get(), &ECPhotoModule::backupFinished, [&] { finished = true; });
    // Every reply of the phone a little late, so the unplugging lands in the middle of the run.
    ASSERT_TRUE(sim->fault(SMALL_UDID, { "stall", "15" }));
    module->offloadVideos();
    ASSERT_TRUE(pumpUntil([&] { return selected.size() - module->nFilesToDelete() >= trigger || finished; }));
    ASSERT_TRUE(sim->detach(SMALL_UDID));
    ASSERT_TRUE(pumpUntil([&] {
        return std::none_of(manager->devices().begin(), manager->devices().end(),
            [](const auto& device) { return device->udid() == SMALL_UDID; });
    }));
    // What the application does when the module's phone goes.
    module->phoneDetached();
    ASSERT_TRUE(pumpUntil([&] { return finished; }, std::chrono::seconds(120)));
    ASSERT_TRUE(pumpUntil([&] { return !module->cameraDevice(); }));
    EXPECT_FALSE(module->interfaceEnabled());
    // A plain line with the count the phone confirmed, never a stale "Waiting...".
    ASSERT_TRUE(pumpUntil([&] { return module->statusText().endsWith(QStringLiteral("Nothing else was changed.")); }));
    EXPECT_TRUE(module->statusText().startsWith(QStringLiteral("The phone was unplugged: %1 of %2 removed.")
                                                    .arg(module->lastReport().removed)
                                                    .arg(module->countedItems(std::int64_t(selected.size())))))
        << module->statusText().toStdString();
    EXPECT_FALSE(module->progressDisplay().deleteEnabled);
    EXPECT_EQ(auditLines().size(), selected.size()) << "every file reports exactly once";
    expectNothingLost(before, selected);
    if (GetParam() < 1.0) {
        EXPECT_GT(module->lastReport().failed, 0);
    }

    // Plugged in again: the same window reads the camera roll afresh, the rest goes, and nothing
    // is there twice.
    ASSERT_TRUE(sim->clearFaults(SMALL_UDID));
    ASSERT_TRUE(sim->attach(SMALL_UDID));
    const auto returned = waitForDevice(SMALL_UDID);
    ASSERT_TRUE(returned);
    module->phoneReattached(returned);
    ASSERT_TRUE(pumpUntil([&] {
        return module->statusText() != ECPhotoModule::WAITING_TEXT
            && !module->statusText().startsWith(QStringLiteral("The phone"));
    }));
    ASSERT_TRUE(module->interfaceEnabled());
    ASSERT_TRUE(pumpUntil([&] { return module->cameraDevice()->durationsRead(); }));
    // A removal whose answer was cut off by the unplugging counts as failed though the file went.
    EXPECT_LE(moduleSelection().size(), std::size_t(module->lastReport().failed));
    finished = false;
    if (module->itemsToRemoveCount() > 0) {
        module->offloadVideos();
        ASSERT_TRUE(pumpUntil([&] { return finished; }, std::chrono::seconds(240)));
    }
    const auto after = phoneFiles();
    std::set<std::string> localNames;
    for (const auto& entry : fs::directory_iterator(backupFolder())) {
        localNames.insert(entry.path().filename().string());
    }
    for (const auto& path : selected) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(after.count(path));
        const std::string name = fs::path(path).filename().string();
        EXPECT_TRUE(localNames.count(name));
        EXPECT_EQ(sha256Of(backupFolder() / name), before.at(path).sha256);
    }
    EXPECT_EQ(localNames.size(), selected.size() + 1) << "one copy per file, plus the log";
}

INSTANTIATE_TEST_SUITE_P(AtTenHalfAndLast, PhotoUnplugTest, testing::Values(0.1, 0.5, 1.0));

TEST_F(PhotoModuleTest, AFullDiskRemovesNothingThatIsNotVerified)
{
    showModule();
    const auto before = phoneFiles();
    const auto selected = expectedSelection(before, clock.now(), 1, ECPhotoModule::PhotosAndVideos);
    // Writes past 300 kB fail as on a full disk; the smaller files fit.
    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 300'000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    runBackup();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    const auto& report = module->lastReport();
    EXPECT_GT(report.removed, 0);
    EXPECT_GT(report.failed, 0);
    EXPECT_EQ(report.removed + report.failed, int(selected.size()));
    expectNothingLost(before, selected);
    const auto after = phoneFiles();
    for (const auto& path : selected) {
        EXPECT_EQ(after.count(path) == 1, before.at(path).size > 300'000) << path;
    }
    EXPECT_TRUE(module->statusMessage().contains(
        QStringLiteral(" could not be removed: backup-log.csv in the backup folder says why.")))
        << module->statusMessage().toStdString();
}

TEST_F(PhotoModuleTest, RemovesOnlyVerifiedLoggedCopiesAndTellsTheTruthAboutLostAnswers)
{
    showModule();
    // A run killed earlier left a temporary copy in the folder.
    fs::create_directories(backupFolder());
    const fs::path leftover = backupFolder() / ".torvane-partial-00000000deadbeef";
    std::ofstream(leftover) << "half a photo";
    const auto original = phoneFiles();
    std::set<std::string> gone;
    const auto hasLine = [](const LogCapture& log, const std::string& part) {
        const auto lines = log.lines();
        return std::any_of(
            lines.begin(), lines.end(), [&](const std::string& line) { return line.find(part) != std::string::npos; });
    };
    struct Row
    {
        const char* what;
        int ageIndex; // 0 "2 Years", 1 "1 Year", 8 "1 Day"
        std::function<void()> before;
        std::function<void(const std::set<std::string>& selected, const LogCapture& log)> check;
    };
    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*previousHandler)(int) = SIG_DFL;
    std::atomic<int> rereads { 0 };
    std::optional<ProcessResult> rival;
    TemporaryDirectory rivalDestination;
    const Row rows[] = {
        { "the audit line cannot be written", 1,
            [&] {
                // From the first re-read on, no file may grow: the log's next line fails as on a full disk.
                previousHandler = std::signal(SIGXFSZ, SIG_IGN);
                ICVerifiedFileWriter::setBeforeRereadHook([&](const std::string&) {
                    rlimit limited = saved;
                    limited.rlim_cur = fs::file_size(backupFolder() / ICBackupLog::FILE_NAME);
                    setrlimit(RLIMIT_FSIZE, &limited);
                });
            },
            [&](const std::set<std::string>& selected, const LogCapture& log) {
                setrlimit(RLIMIT_FSIZE, &saved);
                std::signal(SIGXFSZ, previousHandler);
                EXPECT_EQ(module->lastReport().removed, 0);
                EXPECT_EQ(module->lastReport().failed, int(selected.size()));
                EXPECT_TRUE(hasLine(log, "Cannot write the backup log, so the file was not removed"));
                EXPECT_TRUE(module->statusMessage().contains(QStringLiteral(" could not be removed: ")));
                EXPECT_FALSE(fs::exists(leftover)) << "a killed run's temporary copy is cleared away";
            } },
        { "the copy changes on the disk between its flush and its re-read", 0,
            [&] {
                ICVerifiedFileWriter::setBeforeRereadHook([&](const std::string& path) {
                    if (rereads++ == 0) {
                        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
                        const char first = char(file.get());
                        file.seekp(0);
                        file.put(char(first ^ 0x20));
                    }
                });
            },
            [&](const std::set<std::string>& selected, const LogCapture& log) {
                EXPECT_EQ(module->lastReport().failed, 1);
                EXPECT_EQ(module->lastReport().removed, int(selected.size()) - 1);
                EXPECT_TRUE(hasLine(log, "ERROR:       The copy on the disk differs from what the phone sent"));
                std::size_t kept = 0;
                for (const auto& cells : auditLines()) {
                    if (cells[6]
                        == "error: The copy on the disk differs from what the phone sent (still on the phone)") {
                        ++kept;
                        EXPECT_TRUE(phoneFiles(SMALL_UDID, false).count(cells[2])) << cells[2];
                    }
                }
                EXPECT_EQ(kept, 1u);
            } },
        { "the answer to every removal is cut off", 1,
            [&] {
                ASSERT_TRUE(sim->fault(SMALL_UDID, { "afc-cut-reply", "8" }));
            },
            [&](const std::set<std::string>& selected, const LogCapture&) {
                EXPECT_EQ(module->lastReport().removed, int(selected.size()));
                EXPECT_EQ(module->lastReport().failed, 0);
                EXPECT_FALSE(module->statusMessage().contains(QStringLiteral("could not be removed")));
            } },
        { "another run tries to remove while this one holds the camera roll", 8,
            [&] {
                ICVerifiedFileWriter::setBeforeRereadHook([&](const std::string&) {
                    if (rereads++ == 0) {
                        rival = runProcess({ SimulatorFixture::cliPath(), "photos", "backup",
                                               rivalDestination.path().string(), "--remove" },
                            std::chrono::seconds(120));
                    }
                });
            },
            [&](const std::set<std::string>& selected, const LogCapture&) {
                ASSERT_TRUE(rival);
                EXPECT_EQ(rival->exitCode, 1);
                EXPECT_NE(rival->err.find(ICCameraDevice::BUSY_TEXT), std::string::npos) << rival->err;
                for (const auto& entry : fs::directory_iterator(rivalDestination.path() / "Torvane Backup")) {
                    EXPECT_EQ(entry.path().filename(), ICBackupLog::FILE_NAME) << "the refused run copied nothing";
                }
                EXPECT_EQ(module->lastReport().removed, int(selected.size()));
            } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        module->setTimeRangeIndex(row.ageIndex);
        const auto selected = moduleSelection();
        ASSERT_FALSE(selected.empty());
        rereads = 0;
        row.before();
        LogCapture log;
        runBackup();
        ICVerifiedFileWriter::setBeforeRereadHook(nullptr);
        ASSERT_TRUE(sim->clearFaults(SMALL_UDID));
        row.check(selected, log);
        // Whatever happened: each file is on the phone as it was, or gone with its checked copy
        // and a "verified, removing" line written before it went.
        expectNothingLost(original, selected);
        const auto now = phoneFiles(SMALL_UDID, false);
        std::size_t removing = 0;
        (void)auditLines(&removing);
        for (const auto& path : selected) {
            if (!now.count(path)) {
                gone.insert(path);
            }
        }
        EXPECT_EQ(removing, gone.size());
    }
}

TEST_F(PhotoModuleTest, AFolderThatCannotBeMadeIsReportedAndNothingIsRequested)
{
    showModule();
    // A file where the destination folder should be.
    std::ofstream(homeFolder.path() / "Pictures") << "not a folder";
    const auto before = phoneFiles();
    module->offloadVideos();
    EXPECT_FALSE(module->deleting());
    EXPECT_EQ(module->cameraDevice()->pendingDownloads(), 0u);
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_TRUE(host.alerts[0].message.startsWith(QStringLiteral("Cannot back up")));
    EXPECT_EQ(host.opened.size(), 0u);
    EXPECT_EQ(phoneFiles().size(), before.size());
}

/// Names a hostile or damaged phone might send, in a folder of their own.
class PhotoHostileNameTest : public PhotoModuleTest
{
protected:
    void seedPhone() override
    {
        const fs::path folder = media() / "DCIM" / "666EVIL_";
        fs::create_directories(folder);
        for (const char* name : { "..evil.JPG", ".hidden.JPG", "line\nbreak.JPG", "back\\slash.JPG", "IMG_0001.JPG" }) {
            std::ofstream(folder / name) << "bytes of " << name;
        }
    }
};

TEST_F(PhotoHostileNameTest, HostileNamesStayInsideTheBackupFolderAndNothingIsOverwritten)
{
    showModule();
    fs::create_directories(backupFolder());
    std::ofstream(backupFolder() / "IMG_0001.JPG") << "a file the user already had";
    // Everything on the phone is older than a day, ten years from now.
    clock.setNow(clock.now().addYears(10));
    module->setTimeRangeIndex(8);
    const auto before = phoneFiles();
    ASSERT_EQ(module->itemsToRemoveCount(), std::int64_t(before.size()));
    runBackup();
    EXPECT_EQ(module->lastReport().failed, 0);
    EXPECT_TRUE(phoneFiles().empty());

    std::ifstream kept(backupFolder() / "IMG_0001.JPG");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "a file the user already had");
    const auto names = filesUnderHome();
    for (const std::string& name : names) {
        EXPECT_TRUE(name.starts_with("Pictures/Torvane Backup/")) << name;
    }
    for (const char* expected : { "Pictures/Torvane Backup/_.evil.JPG", "Pictures/Torvane Backup/_hidden.JPG",
             "Pictures/Torvane Backup/line_break.JPG", "Pictures/Torvane Backup/back_slash.JPG",
             "Pictures/Torvane Backup/IMG_0001 (1).JPG" }) {
        EXPECT_TRUE(names.count(expected)) << expected;
    }
    EXPECT_EQ(sha256Of(backupFolder() / "line_break.JPG"), before.at("/DCIM/666EVIL_/line\nbreak.JPG").sha256);
}

/// A camera roll of one file of each kind, with the phone's own dates years away from when the
/// files were taken, seen from a computer whose clock runs 5:30 ahead of UTC (so a time without
/// a zone that were taken as UTC would be off by hours).
class PhotoDatesTest : public PhotoModuleTest
{
protected:
    static constexpr const char* FOLDER = "/DCIM/777DATES";

    struct Sample
    {
        const char* what;
        const char* name;
        std::string bytes;
        const char* taken; // the capture time's cell in the log
        const char* source;
    };

    static std::vector<Sample> samples()
    {
        using namespace MediaSamples;
        const std::string cutExif = [] {
            // The EXIF segment says it is whole, but the file ends inside the date's text.
            const std::string whole = jpeg(tiff(false, "2008:01:02 03:04:05"));
            return whole.substr(0, whole.find("2008:01") + 4);
        }();
        const auto movieTime
            = [](const QDateTime& utc) { return std::uint64_t(utc.toSecsSinceEpoch() + MOVIE_EPOCH_OFFSET); };
        return {
            { "JPEG, EXIF without a zone: the computer's local time", "IMG_7001.JPG",
                jpeg(tiff(false, "2014:05:06 07:08:09")), "2014-05-06T07:08:09+05:30", "EXIF" },
            { "JPEG, EXIF with its offset", "IMG_7002.JPG", jpeg(tiff(true, "2013:02:03 04:05:06", "-03:00")),
                "2013-02-03T04:05:06-03:00", "EXIF" },
            // Past the first megabyte: the date is read from the whole copy, not its start.
            { "HEIC, EXIF item after 3 MB of image", "IMG_7003.HEIC",
                heic(tiff(false, "2012:11:12 13:14:15"), 1, 3'000'000), "2012-11-12T13:14:15+05:30", "EXIF" },
            { "MOV, header after 2 MB of media", "IMG_7004.MOV",
                movie(0, movieTime(QDateTime(QDate(2011, 7, 8), QTime(9, 10, 11), Qt::UTC)), "qt  ", 2'000'000),
                "2011-07-08T09:10:11Z", "movie header" },
            { "MP4, version 1 header", "IMG_7005.MP4",
                movie(1, movieTime(QDateTime(QDate(2010, 3, 4), QTime(5, 6, 7), Qt::UTC)), "mp42"),
                "2010-03-04T05:06:07Z", "movie header" },
            { "PNG, no date in the file", "IMG_7006.PNG", std::string("\x89PNG\r\n\x1a\n") + std::string(900, 'p'),
                "2009-09-09T09:09:09Z", "phone file date" },
            { "JPEG whose EXIF is cut short", "IMG_7007.JPG", cutExif, "2009-09-09T09:09:09Z", "phone file date" },
        };
    }

    void SetUp() override
    {
        const char* zone = std::getenv("TZ");
        m_savedZone = zone ? std::optional<std::string>(zone) : std::nullopt;
        setenv("TZ", "<+0530>-5:30", 1);
        tzset();
        PhotoModuleTest::SetUp();
    }

    void TearDown() override
    {
        PhotoModuleTest::TearDown();
        if (m_savedZone) {
            setenv("TZ", m_savedZone->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

    void seedPhone() override
    {
        const fs::path folder = media() / std::string(FOLDER).substr(1);
        fs::create_directories(folder);
        // The phone's birth time for every file (what a file without a date falls back on), and a
        // later modification time, which must not win over it.
        const std::int64_t birth = QDateTime(QDate(2009, 9, 9), QTime(9, 9, 9), Qt::UTC).toSecsSinceEpoch();
        std::ofstream births(sim->statePath() / "devices" / SMALL_UDID / "birthtimes.tsv");
        for (const Sample& sample : samples()) {
            std::ofstream(folder / sample.name, std::ios::binary) << sample.bytes;
            fs::last_write_time(folder / sample.name, fs::file_time_type::clock::now());
            births << birth * 1'000'000'000 << '\t' << MEDIA_PREFIX << FOLDER << '/' << sample.name << '\n';
        }
    }

private:
    std::optional<std::string> m_savedZone;
};

TEST_F(PhotoDatesTest, EachCopyIsDatedWhenItWasTakenAndTheLogSaysSo)
{
    showModule();
    clock.setNow(clock.now().addYears(10));
    module->setTimeRangeIndex(8);
    ASSERT_EQ(module->itemsToRemoveCount(), std::int64_t(samples().size()));
    runBackup();
    EXPECT_EQ(module->lastReport().failed, 0);

    std::vector<std::vector<std::string>> removing;
    const auto lines = auditLines(nullptr, &removing);
    ASSERT_EQ(lines.size(), samples().size());
    ASSERT_EQ(removing.size(), samples().size());
    for (const Sample& sample : samples()) {
        SCOPED_TRACE(sample.what);
        const std::string devicePath = std::string(FOLDER) + "/" + sample.name;
        const auto line = std::find_if(
            lines.begin(), lines.end(), [&](const auto& cells) { return cells.size() == 9 && cells[2] == devicePath; });
        ASSERT_NE(line, lines.end());
        const auto& cells = *line;
        EXPECT_EQ(cells[6], "removed from the phone");
        EXPECT_EQ(cells[7], sample.taken);
        EXPECT_EQ(cells[8], sample.source);
        const QDateTime taken = QDateTime::fromString(QString::fromLatin1(sample.taken), Qt::ISODate);
        ASSERT_TRUE(taken.isValid());
        EXPECT_EQ(modificationTimeOf(backupFolder() / sample.name), taken.toMSecsSinceEpoch());
        // The line written before the removal says the same.
        const auto before = std::find_if(removing.begin(), removing.end(),
            [&](const auto& other) { return other.size() == 9 && other[2] == devicePath; });
        ASSERT_NE(before, removing.end());
        EXPECT_EQ((*before)[7], sample.taken);
        EXPECT_EQ((*before)[8], sample.source);
    }
}

} // namespace
