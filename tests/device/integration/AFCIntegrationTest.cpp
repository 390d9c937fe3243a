// AFC file access and tree operations against torvane-simd, checked against the simulator's own
// state folder.

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* UDID = "afc7e57000000000000000000000000000000001";

// A small phone without generated content: starts fast, and its disk fills in a few writes.
constexpr const char* PROFILE = R"({
    "name": "AFC Test Phone",
    "udid": "afc7e57000000000000000000000000000000001",
    "productType": "iPhone8,1",
    "productVersion": "9.3.5",
    "diskCapacity": 16000000000,
    "dataCapacity": 160000000,
    "usedBytes": 100000000,
    "reserveBytes": 8388608,
    "blockSize": 4096,
    "purgeablePoolBytes": 0,
    "content": { "seed": 1, "userApps": 0, "systemApps": 0, "fileSharingApps": 0, "developerApps": 0,
                 "appsWithoutDisplayName": 0, "appsWithEmptyDisplayName": 0, "photos": 0, "videos": 0,
                 "songs": 0, "podcasts": 0, "stalledDownloads": 0 }
})";

class Listener : public MobileDeviceAccessListener
{
};

class AFCSimulatorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const fs::path profile = profileFolder.path() / "afc-test.json";
        writeHostFile(profile, PROFILE);
        sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { profile.string() });
        ASSERT_TRUE(sim->start()) << sim->lastError();
        manager = std::make_unique<MobileDeviceAccess>(MobileDevice::shared());
        manager->setListener(&listener);
        ASSERT_TRUE(loop.runUntil([this] { return !manager->devices().empty(); }, std::chrono::seconds(30)));
        device = manager->devices().front();
        ASSERT_EQ(device->udid(), UDID);
        afc = device->newAFCMediaDirectory();
        ASSERT_TRUE(afc) << device->lasterror().value_or("");
        media = sim->mediaRoot(UDID);
    }

    void TearDown() override
    {
        afc.reset();
        device.reset();
        manager.reset();
    }

    TemporaryDirectory profileFolder;
    TemporaryDirectory local;
    PlainRunLoop loop;
    Listener listener;
    std::unique_ptr<SimulatorFixture> sim;
    std::unique_ptr<MobileDeviceAccess> manager;
    std::shared_ptr<AMDevice> device;
    std::unique_ptr<AFCMediaDirectory> afc;
    fs::path media;
};

} // namespace

TEST_F(AFCSimulatorTest, RunsEverySingleOperation)
{
    // Information and listing, compared with what the simulator stores.
    writeHostFile(media / "T/file.txt", "twelve bytes");
    const std::optional<PlistDictionary> info = afc->getFileInfo("/T/file.txt");
    ASSERT_TRUE(info) << afc->lasterror().value_or("");
    EXPECT_EQ(info->at("st_ifmt"), PlistValue("S_IFREG"));
    EXPECT_EQ(info->at("st_size"), PlistValue(std::int64_t { 12 }));
    struct stat hostInfo;
    ASSERT_EQ(::stat((media / "T/file.txt").c_str(), &hostInfo), 0);
    EXPECT_EQ(info->at("st_mtime"), PlistValue(PlistDate { std::int64_t(hostInfo.st_mtim.tv_sec) * 1'000'000 }));
    EXPECT_EQ(info->at("path"), PlistValue("/T/file.txt"));
    EXPECT_TRUE(afc->fileExistsAtPath("/T/file.txt"));
    EXPECT_EQ(afc->directoryContents("/T"), (std::vector<std::string> { "file.txt" }));

    const std::optional<PlistDictionary> figures = afc->deviceInfo();
    ASSERT_TRUE(figures);
    const auto storage = sim->storage(UDID);
    EXPECT_EQ(figures->at("FSTotalBytes"), PlistValue(std::int64_t(storage.at("total"))));
    EXPECT_EQ(figures->at("FSFreeBytes"), PlistValue(std::int64_t(storage.at("free"))));

    // Create, rename, link, time stamps.
    EXPECT_TRUE(afc->mkdir("/T/a/b"));
    EXPECT_TRUE(fs::is_directory(media / "T/a/b"));
    EXPECT_TRUE(afc->rename("/T/file.txt", "/T/a/moved.txt"));
    EXPECT_EQ(readHostFile(media / "T/a/moved.txt"), "twelve bytes");
    EXPECT_TRUE(afc->symlink("/T/link", "a/moved.txt"));
    EXPECT_EQ(fs::read_symlink(media / "T/link"), "a/moved.txt");
    EXPECT_TRUE(afc->link("/T/hard", "/T/a/moved.txt"));
    EXPECT_EQ(fs::hard_link_count(media / "T/hard"), 2u);
    EXPECT_TRUE(afc->setmodtime("/T/a/moved.txt", PlistDate { 1'500'000'000LL * 1'000'000 }));
    ASSERT_EQ(::stat((media / "T/a/moved.txt").c_str(), &hostInfo), 0);
    EXPECT_EQ(hostInfo.st_mtim.tv_sec, 1'500'000'000);

    // Files: write, seek, tell, read, size.
    {
        std::unique_ptr<AFCFileReference> file = afc->openForReadWrite("/T/data.bin");
        ASSERT_TRUE(file) << afc->lasterror().value_or("");
        EXPECT_TRUE(file->writeNSData("0123456789"));
        EXPECT_TRUE(file->seek(2, AFCSeekOrigin::Start));
        std::uint64_t position = 0;
        EXPECT_TRUE(file->tell(position));
        EXPECT_EQ(position, 2u);
        char buffer[4];
        EXPECT_EQ(file->readN(sizeof buffer, buffer), 4u);
        EXPECT_EQ(std::string(buffer, 4), "2345");
        EXPECT_TRUE(file->setFileSize(6));
    }
    EXPECT_EQ(readHostFile(media / "T/data.bin"), "012345");
    {
        // Writing empties a file that is there.
        std::unique_ptr<AFCFileReference> file = afc->openForWrite("/T/data.bin");
        ASSERT_TRUE(file);
        EXPECT_TRUE(file->writeNSData("xy"));
        EXPECT_TRUE(file->closeFile());
        EXPECT_FALSE(file->closeFile());
        EXPECT_EQ(file->lasterror(), "File is not open");
    }
    EXPECT_EQ(readHostFile(media / "T/data.bin"), "xy");

    EXPECT_TRUE(afc->unlink("/T/hard"));
    EXPECT_FALSE(fs::exists(media / "T/hard"));
}

TEST_F(AFCSimulatorTest, ListsTreesAndScansThemAsTheSimulatorStoresThem)
{
    fs::create_directories(media / "d/a");
    writeHostFile(media / "d/b", "bee");
    EXPECT_EQ(AFCTreeOperations(*afc).recursiveDirectoryContents("/d"),
        (std::vector<std::string> { "/d/", "/d/a/", "/d/b" }));
    EXPECT_EQ(AFCTreeOperations(*afc).recursiveDirectoryContents("/d/b"), (std::vector<std::string> { "/d/b" }));

    EXPECT_EQ(AFCTreeOperations(*afc).scanPath("/d/a"), PlistDictionary {});
    writeHostFile(media / "tree/x/one.bin", std::string(1000, '1'));
    writeHostFile(media / "tree/x/y/two.bin", std::string(70000, '2'));
    writeHostFile(media / "tree/three.bin", std::string(5, '3'));
    fs::create_directories(media / "tree/empty");
    fs::last_write_time(media / "tree/x/y/two.bin", fs::file_time_type::clock::now() + std::chrono::hours(48));

    // What the host folder says: the sizes of everything that is no directory, the latest date.
    std::int64_t size = 0;
    std::int64_t latest = 0;
    for (const auto& entry : fs::recursive_directory_iterator(media / "tree")) {
        struct stat hostInfo;
        ASSERT_EQ(::lstat(entry.path().c_str(), &hostInfo), 0);
        if (!S_ISDIR(hostInfo.st_mode)) {
            size += hostInfo.st_size;
            latest = std::max<std::int64_t>(latest, hostInfo.st_mtim.tv_sec);
        }
    }
    const PlistDictionary scan = AFCTreeOperations(*afc).scanPath("/tree");
    EXPECT_EQ(scan.at("size"), PlistValue(size));
    EXPECT_EQ(scan.at("date"), PlistValue(PlistDate { latest * 1'000'000 }));

    AFCTreeOperations(*afc).recursiveDeletePath("/tree", false);
    EXPECT_TRUE(fs::is_directory(media / "tree"));
    EXPECT_TRUE(fs::is_empty(media / "tree"));
    AFCTreeOperations(*afc).recursiveDeletePath("/tree", true);
    EXPECT_FALSE(fs::exists(media / "tree"));
}

TEST_F(AFCSimulatorTest, CopiesBothWays)
{
    std::string contents(25000, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) {
        contents[i] = static_cast<char>(i * 31 + 7);
    }
    const fs::path source = local.path() / "source.bin";
    writeHostFile(source, contents);

    EXPECT_TRUE(AFCTreeOperations(*afc).copyLocalFileToRemoteFile(source.string(), "/up.bin", false));
    EXPECT_EQ(readHostFile(media / "up.bin"), contents);

    const fs::path back = local.path() / "back.bin";
    EXPECT_TRUE(AFCTreeOperations(*afc).copyRemoteFile("/up.bin", back.string()));
    EXPECT_EQ(readHostFile(back), contents);
    EXPECT_FALSE(AFCTreeOperations(*afc).copyRemoteFile("/up.bin", back.string()));
    EXPECT_EQ(afc->lasterror(), "Won't overwrite existing file");
    EXPECT_FALSE(AFCTreeOperations(*afc).copyRemoteFile("/missing.bin", (local.path() / "never").string()));
    EXPECT_FALSE(fs::exists(local.path() / "never"));

    // A local tree, hidden entries and a link included.
    writeHostFile(local.path() / "folder/.hidden", "h");
    writeHostFile(local.path() / "folder/sub/inner.txt", "inner");
    fs::create_symlink("sub/inner.txt", local.path() / "folder/link");
    EXPECT_TRUE(AFCTreeOperations(*afc).copyLocalFileToRemoteDir((local.path() / "folder").string(), "/", false));
    EXPECT_EQ(readHostFile(media / "folder/.hidden"), "h");
    EXPECT_EQ(readHostFile(media / "folder/sub/inner.txt"), "inner");
    EXPECT_EQ(fs::read_symlink(media / "folder/link"), "sub/inner.txt");

    // Property lists both ways.
    const PlistValue value(PlistDictionary { { "Name", PlistValue("caf\xC3\xA9") }, { "Count", PlistValue(3) } });
    EXPECT_TRUE(AFCTreeOperations(*afc).writePlist(value, "/settings.plist"));
    EXPECT_EQ(AFCTreeOperations(*afc).readPlistAtPath("/settings.plist"), value);
    EXPECT_TRUE(AFCTreeOperations(*afc).copyData("abc", "/data.txt"));
    EXPECT_FALSE(AFCTreeOperations(*afc).copyData("abc", "/data.txt"));
    EXPECT_EQ(afc->lasterror(), "Won't overwrite existing file");
    EXPECT_TRUE(AFCTreeOperations(*afc).createFakeFileAtPath("/fake.bin", 1'000'000));
    EXPECT_EQ(fs::file_size(media / "fake.bin"), 1'000'000u);
}

TEST_F(AFCSimulatorTest, FillsTheDriveUntilTheSimulatedDiskIsFull)
{
    const std::uint64_t freeBefore = sim->storage(UDID).at("free");
    ASSERT_GT(freeBefore, 0u);
    ASSERT_TRUE(afc->mkdir("/Torvane"));
    LogCapture log;
    EXPECT_TRUE(AFCTreeOperations(*afc).fillDriveWithData(std::string(4 * 1024 * 1024, 'F'), "/Torvane/fill.0"));
    EXPECT_EQ(log.count("Failed to write data, bailing out"), 1);
    EXPECT_GE(log.count("Wrote data"), 1);
    const std::optional<PlistDictionary> figures = afc->deviceInfo();
    ASSERT_TRUE(figures);
    // Full: less than one more block of data fits.
    EXPECT_LT(figures->at("FSFreeBytes").toInt64().value_or(-1), 4 * 1024 * 1024);
    EXPECT_EQ(
        std::int64_t(fs::file_size(media / "Torvane/fill.0")), std::int64_t(log.count("Wrote data")) * 4 * 1024 * 1024);

    // Removing the filler gives the space back.
    EXPECT_TRUE(afc->unlink("/Torvane/fill.0"));
    EXPECT_TRUE(afc->unlink("/Torvane"));
    EXPECT_EQ(sim->storage(UDID).at("free"), freeBefore);
}

TEST_F(AFCSimulatorTest, ReportsAConnectionDroppedMidReplyPromptly)
{
    writeHostFile(media / "big.bin", std::string(200000, 'b'));
    // Connections opened from now on close after this many bytes: inside the read reply.
    ASSERT_TRUE(sim->fault(UDID, { "close-after", "5000" }));
    std::unique_ptr<AFCMediaDirectory> dropping = device->newAFCMediaDirectory();
    ASSERT_TRUE(dropping) << device->lasterror().value_or("");
    std::unique_ptr<AFCFileReference> file = dropping->openForRead("/big.bin");
    ASSERT_TRUE(file) << dropping->lasterror().value_or("");
    std::string buffer(200000, '\0');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(file->readN(std::uint32_t(buffer.size()), buffer.data()), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)); // never a hang
    EXPECT_EQ(file->lasterror(), "AFCFileRefRead failed: 30");
    const std::optional<std::string> detail = dropping->connectionErrorDetail();
    ASSERT_TRUE(detail);
    EXPECT_TRUE(detail->starts_with("Reply was truncated, expected ")) << *detail;

    // Copies stop too, and leave nothing behind.
    EXPECT_FALSE(AFCTreeOperations(*dropping).copyRemoteFile("/big.bin", (local.path() / "big.bin").string()));
    EXPECT_FALSE(fs::exists(local.path() / "big.bin"));
    ASSERT_TRUE(sim->clearFaults(UDID));
}

TEST_F(AFCSimulatorTest, RefusesAContainerTheDeviceWillNotVend)
{
    LogCapture log;
    EXPECT_FALSE(device->newAFCApplicationDirectory("com.example.not-installed"));
    EXPECT_TRUE(log.contains("House Arrest failed, InstallationLookupFailed"));
    // The device is left as found: a later connection still works.
    EXPECT_TRUE(device->newAFCCrashLogDirectory());
    EXPECT_FALSE(device->isConnected());
    EXPECT_FALSE(device->isInSession());
}
