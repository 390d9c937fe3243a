// The AFC server through libimobiledevice's own afc_* client: operations, the statuses a real
// device answers, confinement to the service's area, and the storage model behind it.
#include "tests/sim/SimTestSupport.h"
#include "tests/support/TestSupport.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <optional>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <usbmuxd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t MIB = 1024 * 1024;

/// One small HFS+-era test phone and one APFS-era one, shared by the cases that do not restart.
class AfcService : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_profiles = new TemporaryDirectory;
        TestProfile hfs;
        TestProfile apfs;
        apfs.udid = "5eed000000000000000000000000000000000002";
        apfs.version = "17.5";
        s_sim
            = new SimulatorFixture({ hfs.write(s_profiles->path()).string(), apfs.write(s_profiles->path()).string() });
        ASSERT_TRUE(s_sim->start()) << s_sim->lastError();
    }
    static void TearDownTestSuite()
    {
        delete s_sim;
        delete s_profiles;
    }

    void SetUp() override
    {
        m_client = std::make_unique<LibClient>(HFS);
        ASSERT_EQ(m_client->status(), LOCKDOWN_E_SUCCESS);
        m_afc = m_client->startAfc();
        ASSERT_NE(m_afc, nullptr);
    }

    static inline const std::string HFS = "5eed000000000000000000000000000000000001";
    static inline const std::string APFS = "5eed000000000000000000000000000000000002";
    static TemporaryDirectory* s_profiles;
    static SimulatorFixture* s_sim;
    std::unique_ptr<LibClient> m_client;
    afc_client_t m_afc { nullptr };
};

TemporaryDirectory* AfcService::s_profiles = nullptr;
SimulatorFixture* AfcService::s_sim = nullptr;

} // namespace

TEST_F(AfcService, ListsDotEntriesFirstAndTheMediaFolders)
{
    const auto names = afcList(m_afc, "/");
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[0], ".");
    EXPECT_EQ(names[1], "..");
    EXPECT_NE(std::find(names.begin(), names.end(), "DCIM"), names.end());
    // Every spelling of the root is the root, and ".." above it stays there.
    for (const char* path : { "", ".", "/", "./", "/..", "../../..", "DCIM/../../.." }) {
        SCOPED_TRACE(path);
        EXPECT_EQ(afcList(m_afc, path), names);
    }
}

TEST_F(AfcService, ReadsBackWhatItWrote)
{
    std::string payload(300000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = char(i * 7 % 251);
    }
    ASSERT_EQ(afc_make_directory(m_afc, "/Rounds/Trip"), AFC_E_SUCCESS);
    ASSERT_EQ(afcWriteFile(m_afc, "Rounds/Trip/data.bin", payload), AFC_E_SUCCESS);
    EXPECT_EQ(afcReadFile(m_afc, "/Rounds/./Trip/data.bin"), payload);
    std::ifstream host(s_sim->mediaRoot(HFS) / "Rounds/Trip/data.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(host), {}), payload);

    uint64_t handle = 0;
    ASSERT_EQ(afc_file_open(m_afc, "/Rounds/Trip/data.bin", AFC_FOPEN_RDONLY, &handle), AFC_E_SUCCESS);
    EXPECT_NE(handle, 0u);
    ASSERT_EQ(afc_file_seek(m_afc, handle, -10, SEEK_END), AFC_E_SUCCESS);
    uint64_t position = 0;
    ASSERT_EQ(afc_file_tell(m_afc, handle, &position), AFC_E_SUCCESS);
    EXPECT_EQ(position, payload.size() - 10);
    char buffer[64];
    uint32_t got = 0;
    ASSERT_EQ(afc_file_read(m_afc, handle, buffer, sizeof buffer, &got), AFC_E_SUCCESS);
    EXPECT_EQ(std::string(buffer, got), payload.substr(payload.size() - 10));
    ASSERT_EQ(afc_file_read(m_afc, handle, buffer, sizeof buffer, &got), AFC_E_SUCCESS);
    EXPECT_EQ(got, 0u) << "empty data at the end of the file";
    EXPECT_EQ(afc_file_close(m_afc, handle), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_close(m_afc, handle), AFC_E_INVALID_ARG) << "a closed handle is unknown";
}

TEST_F(AfcService, OpenModesCreateTruncateAndAppendLikeTheDevice)
{
    const auto writeWith = [this](afc_file_mode_t mode, const std::string& bytes) {
        uint64_t handle = 0;
        if (afc_file_open(m_afc, "/modes.txt", mode, &handle) != AFC_E_SUCCESS) {
            return false;
        }
        uint32_t written = 0;
        const bool ok = afc_file_write(m_afc, handle, bytes.data(), uint32_t(bytes.size()), &written) == AFC_E_SUCCESS;
        afc_file_close(m_afc, handle);
        return ok && written == bytes.size();
    };
    afc_remove_path(m_afc, "/modes.txt");
    EXPECT_TRUE(writeWith(AFC_FOPEN_RW, "abcdef")) << "mode 2 creates a missing file";
    EXPECT_TRUE(writeWith(AFC_FOPEN_RW, "XY"));
    EXPECT_EQ(afcReadFile(m_afc, "/modes.txt"), "XYcdef") << "mode 2 keeps the contents";
    EXPECT_TRUE(writeWith(AFC_FOPEN_APPEND, "12"));
    EXPECT_EQ(afcReadFile(m_afc, "/modes.txt"), "XYcdef12");
    EXPECT_TRUE(writeWith(AFC_FOPEN_WRONLY, "new"));
    EXPECT_EQ(afcReadFile(m_afc, "/modes.txt"), "new") << "mode 3 empties the file";

    uint64_t handle = 0;
    ASSERT_EQ(afc_file_open(m_afc, "/modes.txt", AFC_FOPEN_RDONLY, &handle), AFC_E_SUCCESS);
    uint32_t written = 0;
    EXPECT_NE(afc_file_write(m_afc, handle, "x", 1, &written), AFC_E_SUCCESS) << "read-only handle";
    afc_file_close(m_afc, handle);
}

TEST_F(AfcService, AnswersTheStatusesARealDeviceAnswers)
{
    ASSERT_EQ(afc_make_directory(m_afc, "/Statuses/Full"), AFC_E_SUCCESS);
    ASSERT_EQ(afcWriteFile(m_afc, "/Statuses/Full/file", "x"), AFC_E_SUCCESS);
    ASSERT_EQ(afcWriteFile(m_afc, "/Statuses/plain", "x"), AFC_E_SUCCESS);
    uint64_t handle = 0;
    char** list = nullptr;
    const struct
    {
        const char* what;
        afc_error_t status;
        afc_error_t expected;
    } rows[] = {
        { "list a missing folder", afc_read_directory(m_afc, "/Statuses/none", &list), AFC_E_OBJECT_NOT_FOUND },
        { "list a file", afc_read_directory(m_afc, "/Statuses/plain", &list), AFC_E_READ_ERROR },
        { "info of a missing path", afc_get_file_info(m_afc, "/Statuses/none", &list), AFC_E_OBJECT_NOT_FOUND },
        { "read a missing file", afc_file_open(m_afc, "/Statuses/none", AFC_FOPEN_RDONLY, &handle),
            AFC_E_OBJECT_NOT_FOUND },
        { "create below a missing folder", afc_file_open(m_afc, "/Statuses/none/x", AFC_FOPEN_WRONLY, &handle),
            AFC_E_OBJECT_NOT_FOUND },
        { "read-open a folder", afc_file_open(m_afc, "/Statuses/Full", AFC_FOPEN_RDONLY, &handle),
            AFC_E_UNKNOWN_ERROR },
        { "write-open a folder", afc_file_open(m_afc, "/Statuses/Full", AFC_FOPEN_WRONLY, &handle),
            AFC_E_OBJECT_IS_DIR },
        { "make a folder below a file", afc_make_directory(m_afc, "/Statuses/plain/sub"), AFC_E_OBJECT_EXISTS },
        { "make an existing folder", afc_make_directory(m_afc, "/Statuses/Full"), AFC_E_SUCCESS },
        { "remove a non-empty folder", afc_remove_path(m_afc, "/Statuses/Full"), AFC_E_DIR_NOT_EMPTY },
        { "remove a missing path", afc_remove_path(m_afc, "/Statuses/none"), AFC_E_OBJECT_NOT_FOUND },
        { "rename a missing path", afc_rename_path(m_afc, "/Statuses/none", "/Statuses/other"),
            AFC_E_OBJECT_NOT_FOUND },
        { "rename onto itself", afc_rename_path(m_afc, "/Statuses/plain", "/Statuses/plain"), AFC_E_SUCCESS },
        { "read an unknown handle", afc_file_seek(m_afc, 9999, 0, SEEK_SET), AFC_E_INVALID_ARG },
        { "close an unknown handle", afc_file_close(m_afc, 4242), AFC_E_INVALID_ARG },
        { "remove the area's root", afc_remove_path(m_afc, "/"), AFC_E_PERM_DENIED },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.status, row.expected);
    }
}

TEST_F(AfcService, FileInfoDescribesFilesFoldersAndLinks)
{
    ASSERT_EQ(afcWriteFile(m_afc, "/info.txt", "twelve bytes"), AFC_E_SUCCESS);
    ASSERT_EQ(afc_make_link(m_afc, AFC_SYMLINK, "info.txt", "/info-link"), AFC_E_SUCCESS);
    const std::uint64_t when = 1494244521123456789ULL;
    ASSERT_EQ(afc_set_file_time(m_afc, "/info.txt", when), AFC_E_SUCCESS);

    auto file = afcFileInfo(m_afc, "/info.txt");
    EXPECT_EQ(file["st_size"], "12");
    EXPECT_EQ(file["st_ifmt"], "S_IFREG");
    EXPECT_EQ(file["st_nlink"], "1");
    EXPECT_EQ(file["st_blocks"], "8") << "one 4096-byte block";
    EXPECT_EQ(file["st_mtime"], std::to_string(when)) << "nanoseconds";
    EXPECT_FALSE(file["st_birthtime"].empty());
    EXPECT_EQ(file.count("LinkTarget"), 0u);

    auto link = afcFileInfo(m_afc, "/info-link");
    EXPECT_EQ(link["st_ifmt"], "S_IFLNK");
    EXPECT_EQ(link["LinkTarget"], "info.txt");
    EXPECT_EQ(afcReadFile(m_afc, "/info-link"), "twelve bytes") << "opening follows the link";

    auto folder = afcFileInfo(m_afc, "/DCIM");
    EXPECT_EQ(folder["st_ifmt"], "S_IFDIR");

    ASSERT_EQ(afc_make_link(m_afc, AFC_HARDLINK, "/info.txt", "/info-hard"), AFC_E_SUCCESS);
    EXPECT_EQ(afcFileInfo(m_afc, "/info-hard")["st_nlink"], "2");
    EXPECT_EQ(afc_make_link(m_afc, AFC_SYMLINK, "x", "/info.txt"), AFC_E_OBJECT_EXISTS);
}

TEST_F(AfcService, NothingOutsideTheAreaIsReachable)
{
    // Links planted on the host side: out of the area by absolute and by relative paths.
    const fs::path media = s_sim->mediaRoot(HFS);
    fs::create_directories(media / "Escape");
    fs::create_directory_symlink("/private/var/mobile/Library", media / "Escape/absolute");
    fs::create_directory_symlink("../../../../../../../../etc", media / "Escape/relative");
    fs::create_directory_symlink("/var/mobile/Media/DCIM", media / "Escape/inside");
    afc_error_t status = AFC_E_SUCCESS;
    for (const char* path : { "/Escape/absolute", "/Escape/relative", "/Escape/relative/passwd" }) {
        SCOPED_TRACE(path);
        afcList(m_afc, path, &status);
        EXPECT_EQ(status, AFC_E_PERM_DENIED);
        uint64_t handle = 0;
        EXPECT_NE(afc_file_open(m_afc, (std::string(path) + "/x").c_str(), AFC_FOPEN_WRONLY, &handle), AFC_E_SUCCESS);
    }
    EXPECT_FALSE(fs::exists(s_sim->deviceRoot(HFS) / "private/var/mobile/Library/x"));
    afcList(m_afc, "/Escape/inside", &status);
    EXPECT_EQ(status, AFC_E_SUCCESS) << "a link that stays inside works";
    // The link itself can be described and removed without following it.
    EXPECT_EQ(afcFileInfo(m_afc, "/Escape/absolute")["st_ifmt"], "S_IFLNK");

    // The crash-report service sees its own folder only.
    afc_client_t crashes = m_client->startAfc("com.apple.crashreportcopymobile");
    ASSERT_NE(crashes, nullptr);
    std::ofstream(s_sim->crashReporterRoot(HFS) / "only-here.ips") << "report";
    const auto names = afcList(crashes, "../..");
    EXPECT_NE(std::find(names.begin(), names.end(), "only-here.ips"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "DCIM"), names.end());
}

TEST_F(AfcService, RenamesAndRemovesTrees)
{
    ASSERT_EQ(afc_make_directory(m_afc, "/Tree/a/b"), AFC_E_SUCCESS);
    ASSERT_EQ(afcWriteFile(m_afc, "/Tree/a/b/one", std::string(10000, 'x')), AFC_E_SUCCESS);
    ASSERT_EQ(afcWriteFile(m_afc, "/Tree/a/two", "2"), AFC_E_SUCCESS);
    ASSERT_EQ(afc_rename_path(m_afc, "/Tree/a", "/Tree/c"), AFC_E_SUCCESS);
    EXPECT_EQ(afcReadFile(m_afc, "/Tree/c/two"), "2");
    ASSERT_EQ(afcWriteFile(m_afc, "/Tree/replaced", "old"), AFC_E_SUCCESS);
    ASSERT_EQ(afc_rename_path(m_afc, "/Tree/c/two", "/Tree/replaced"), AFC_E_SUCCESS);
    EXPECT_EQ(afcReadFile(m_afc, "/Tree/replaced"), "2") << "renaming onto a file replaces it";

    const std::uint64_t before = afcFreeBytes(m_afc);
    ASSERT_EQ(afc_remove_path_and_contents(m_afc, "/Tree"), AFC_E_SUCCESS);
    afc_error_t status = AFC_E_SUCCESS;
    afcFileInfo(m_afc, "/Tree", &status);
    EXPECT_EQ(status, AFC_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(afcFreeBytes(m_afc), before + 4 * 4096) << "the tree's blocks come back";
}

TEST_F(AfcService, DeviceInfoReportsTheStorageModel)
{
    const auto info = afcDeviceInfo(m_afc);
    const auto model = s_sim->storage(HFS);
    EXPECT_EQ(info.at("Model"), "iPhone8,1");
    EXPECT_EQ(std::stoull(info.at("FSTotalBytes")), 64 * MIB);
    EXPECT_EQ(std::stoull(info.at("FSFreeBytes")), model.at("free"));
    EXPECT_EQ(info.at("FSBlockSize"), "4096");
}

TEST_F(AfcService, SetSizeConsumesSpaceOnHfsButNotOnApfs)
{
    LibClient apfsClient(APFS);
    ASSERT_EQ(apfsClient.status(), LOCKDOWN_E_SUCCESS);
    afc_client_t apfs = apfsClient.startAfc();
    ASSERT_NE(apfs, nullptr);
    const struct
    {
        const char* era;
        afc_client_t afc;
        std::uint64_t expectedDrop;
    } rows[] = { { "HFS+", m_afc, 16 * MIB }, { "APFS", apfs, 0 } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.era);
        const std::uint64_t before = afcFreeBytes(row.afc);
        uint64_t handle = 0;
        ASSERT_EQ(afc_file_open(row.afc, "/filler", AFC_FOPEN_WRONLY, &handle), AFC_E_SUCCESS);
        ASSERT_EQ(afc_file_truncate(row.afc, handle, 16 * MIB), AFC_E_SUCCESS);
        EXPECT_EQ(before - afcFreeBytes(row.afc), row.expectedDrop);
        EXPECT_EQ(afcFileInfo(row.afc, "/filler")["st_size"], std::to_string(16 * MIB));
        // Real bytes count on both eras.
        const std::string chunk(64 * 1024, 'z');
        uint32_t written = 0;
        ASSERT_EQ(afc_file_write(row.afc, handle, chunk.data(), uint32_t(chunk.size()), &written), AFC_E_SUCCESS);
        EXPECT_EQ(before - afcFreeBytes(row.afc), row.expectedDrop ? row.expectedDrop : chunk.size());
        afc_file_close(row.afc, handle);
        ASSERT_EQ(afc_remove_path(row.afc, "/filler"), AFC_E_SUCCESS);
        EXPECT_EQ(afcFreeBytes(row.afc), before);
    }
    // The host file stays sparse either way: a simulated fill costs no real disk.
    struct stat info
    {
    };
    uint64_t handle = 0;
    ASSERT_EQ(afc_file_open(m_afc, "/sparse", AFC_FOPEN_WRONLY, &handle), AFC_E_SUCCESS);
    ASSERT_EQ(afc_file_truncate(m_afc, handle, 32 * MIB), AFC_E_SUCCESS);
    afc_file_close(m_afc, handle);
    ASSERT_EQ(::stat((s_sim->mediaRoot(HFS) / "sparse").c_str(), &info), 0);
    EXPECT_LT(std::uint64_t(info.st_blocks) * 512, MIB);
    afc_remove_path(m_afc, "/sparse");
}

TEST_F(AfcService, WritesBeyondFreeSpaceFailWithNoSpaceLeft)
{
    const std::uint64_t free = afcFreeBytes(m_afc);
    ASSERT_GT(free, 8 * MIB);
    uint64_t handle = 0;
    ASSERT_EQ(afc_file_open(m_afc, "/big", AFC_FOPEN_WRONLY, &handle), AFC_E_SUCCESS);
    EXPECT_EQ(afc_file_truncate(m_afc, handle, free + 4096), AFC_E_NO_SPACE_LEFT);
    ASSERT_EQ(afc_file_truncate(m_afc, handle, free - 4 * MIB), AFC_E_SUCCESS);
    ASSERT_EQ(afc_file_seek(m_afc, handle, 0, SEEK_END), AFC_E_SUCCESS);
    const std::string chunk(6 * MIB, 'q');
    uint32_t written = 0;
    EXPECT_EQ(afc_file_write(m_afc, handle, chunk.data(), uint32_t(chunk.size()), &written), AFC_E_NO_SPACE_LEFT);
    EXPECT_EQ(afc_file_write(m_afc, handle, chunk.data(), uint32_t(2 * MIB), &written), AFC_E_SUCCESS);
    EXPECT_EQ(afcFreeBytes(m_afc), 2 * MIB);
    afc_file_close(m_afc, handle);
    ASSERT_EQ(afc_remove_path(m_afc, "/big"), AFC_E_SUCCESS);
    EXPECT_EQ(afcFreeBytes(m_afc), free);
}

TEST_F(AfcService, InjectedFaultsReachTheClient)
{
    ASSERT_TRUE(s_sim->fault(HFS, { "afc-status", "3", "10" }));
    afc_error_t status = AFC_E_SUCCESS;
    afcList(m_afc, "/", &status);
    EXPECT_EQ(status, AFC_E_PERM_DENIED);
    EXPECT_FALSE(afcDeviceInfo(m_afc).empty()) << "other operations are unaffected";
    ASSERT_TRUE(s_sim->clearFaults(HFS));
    afcList(m_afc, "/", &status);
    EXPECT_EQ(status, AFC_E_SUCCESS);

    // A connection cut after a few bytes: the transfer fails instead of hanging.
    ASSERT_EQ(afcWriteFile(m_afc, "/cut.bin", std::string(200000, 'c')), AFC_E_SUCCESS);
    ASSERT_TRUE(s_sim->fault(HFS, { "close-after", "5000" }));
    LibClient cut(HFS);
    afc_client_t afc = cut.startAfc();
    ASSERT_NE(afc, nullptr);
    afcReadFile(afc, "/cut.bin", &status);
    EXPECT_NE(status, AFC_E_SUCCESS);
    ASSERT_TRUE(s_sim->clearFaults(HFS));

    // A link of 1 MB/s is one link for all the phone's connections: two reading 600,000 bytes
    // each at once take at least 1.2 MB's time, less the bucket's depth and one piece (a link
    // per connection would let them finish in half that). Only a lower bound: a slow machine
    // makes it longer, never shorter.
    const std::string payload(600000, 'r');
    ASSERT_EQ(afcWriteFile(m_afc, "/paced.bin", payload), AFC_E_SUCCESS);
    ASSERT_TRUE(s_sim->fault(HFS, { "link-rate", "1" }));
    LibClient second(HFS);
    afc_client_t other = second.startAfc();
    ASSERT_NE(other, nullptr);
    const auto started = std::chrono::steady_clock::now();
    auto parallel = std::async(std::launch::async, [other] { return afcReadFile(other, "/paced.bin"); });
    EXPECT_EQ(afcReadFile(m_afc, "/paced.bin"), payload);
    ASSERT_EQ(parallel.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(parallel.get(), payload);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1000ms);
    ASSERT_TRUE(s_sim->clearFaults(HFS));
}

TEST(AfcPersistence, FilesNamesAndFreeSpaceSurviveARestart)
{
    TemporaryDirectory profiles;
    TestProfile profile;
    SimulatorFixture sim({ profile.write(profiles.path()).string() });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    std::uint64_t free = 0;
    {
        LibClient client(profile.udid);
        afc_client_t afc = client.startAfc();
        ASSERT_NE(afc, nullptr);
        ASSERT_EQ(afcWriteFile(afc, "/kept.txt", std::string(50000, 'k')), AFC_E_SUCCESS);
        free = afcFreeBytes(afc);
    }
    ASSERT_TRUE(sim.restart()) << sim.lastError();
    LibClient client(profile.udid);
    afc_client_t afc = client.startAfc();
    ASSERT_NE(afc, nullptr);
    EXPECT_EQ(afcReadFile(afc, "/kept.txt"), std::string(50000, 'k'));
    EXPECT_EQ(afcFreeBytes(afc), free);
}

TEST(AfcPurging, PurgesPoolThenCachesALittleAtATimeUnderPressure)
{
    TemporaryDirectory profiles;
    TestProfile profile;
    profile.version = "17.5";
    profile.poolMiB = 3;
    profile.thresholdMiB = 8;
    profile.targetMiB = 12;
    SimulatorFixture sim({ profile.write(profiles.path()).string() });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    // Caches of an app, planted while the daemon is down so the rescan counts them.
    ASSERT_TRUE(sim.stop());
    const fs::path caches
        = sim.deviceRoot(profile.udid) / "private/var/mobile/Containers/Data/Application/A1/Library/Caches";
    const fs::path documents
        = sim.deviceRoot(profile.udid) / "private/var/mobile/Containers/Data/Application/A1/Documents";
    fs::create_directories(caches);
    fs::create_directories(documents);
    for (const char* name : { "c1", "c2", "c3" }) {
        std::ofstream(caches / name) << std::string(2 * MIB, 'c');
    }
    std::ofstream(documents / "keep") << std::string(MIB, 'd');
    ASSERT_TRUE(sim.start()) << sim.lastError();
    EXPECT_EQ(sim.storage(profile.udid).at("purgeable"), 9 * MIB);

    LibClient client(profile.udid);
    afc_client_t afc = client.startAfc();
    ASSERT_NE(afc, nullptr);
    const std::uint64_t free = afcFreeBytes(afc);
    // Fill until free space is under the threshold: the phone starts purging.
    ASSERT_EQ(afcWriteFile(afc, "/fill", std::string(free - 5 * MIB, 'f')), AFC_E_SUCCESS);
    EXPECT_TRUE(waitUntil([&] { return afcFreeBytes(afc) >= 12 * MIB; }, 10s)) << afcFreeBytes(afc);
    // The opaque pool went first, then caches in path order; documents are never purged.
    const auto figures = sim.storage(profile.udid);
    EXPECT_LT(figures.at("purgeable"), 9 * MIB);
    EXPECT_FALSE(fs::exists(caches / "c1"));
    EXPECT_TRUE(fs::exists(caches / "c3"));
    EXPECT_TRUE(fs::exists(documents / "keep"));
    EXPECT_EQ(afcReadFile(afc, "/fill").size(), free - 5 * MIB) << "the filler's own file is untouched";
}

TEST_F(AfcService, LocksExcludeOtherConnectionsAndABlockingOneWaitsWithinItsBound)
{
    ASSERT_EQ(afcWriteFile(m_afc, "/locked", "data"), AFC_E_SUCCESS);
    afc_client_t other = m_client->startAfc();
    ASSERT_NE(other, nullptr);
    uint64_t theirs = 0;
    ASSERT_EQ(afc_file_open(other, "/locked", AFC_FOPEN_RW, &theirs), AFC_E_SUCCESS);
    EXPECT_NE(theirs, 0u);

    // Each holder on a connection of its own, let go in one of the ways a phone sees.
    const struct
    {
        const char* how;
        std::function<void(std::optional<LibClient>& holder, afc_client_t afc, uint64_t file)> release;
    } rows[] = {
        { "unlocked",
            [](std::optional<LibClient>&, afc_client_t afc, uint64_t file) { afc_file_lock(afc, file, AFC_LOCK_UN); } },
        { "closed", [](std::optional<LibClient>&, afc_client_t afc, uint64_t file) { afc_file_close(afc, file); } },
        { "disconnected", [](std::optional<LibClient>& holder, afc_client_t, uint64_t) { holder.reset(); } },
    };
    // libimobiledevice's own names all carry LOCK_NB; flock's plain LOCK_EX waits.
    const auto waitingExclusive = static_cast<afc_lock_op_t>(2);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.how);
        std::optional<LibClient> holder(std::in_place, HFS);
        afc_client_t afc = holder->startAfc();
        ASSERT_NE(afc, nullptr);
        uint64_t mine = 0;
        ASSERT_EQ(afc_file_open(afc, "/locked", AFC_FOPEN_RW, &mine), AFC_E_SUCCESS);
        ASSERT_EQ(afc_file_lock(afc, mine, AFC_LOCK_EX), AFC_E_SUCCESS);
        // Asked not to wait, the other connection is refused at once.
        EXPECT_EQ(afc_file_lock(other, theirs, AFC_LOCK_SH), AFC_E_OP_WOULD_BLOCK);
        // Asked to wait, it waits for its bound and answers "Timeout" while the holder holds on.
        ASSERT_TRUE(s_sim->fault(HFS, { "afc-lock-wait", "300" }));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(afc_file_lock(other, theirs, waitingExclusive), AFC_E_OP_TIMEOUT);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
        // With the usual bound it gets the lock as soon as the holder lets go.
        ASSERT_TRUE(s_sim->clearFaults(HFS));
        auto waiting = std::async(std::launch::async, [&] { return afc_file_lock(other, theirs, waitingExclusive); });
        EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout) << "it waits while the lock is held";
        row.release(holder, afc, mine);
        ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready);
        EXPECT_EQ(waiting.get(), AFC_E_SUCCESS);
        ASSERT_EQ(afc_file_lock(other, theirs, AFC_LOCK_UN), AFC_E_SUCCESS);
    }
    afc_file_close(other, theirs);
}

/// One AFC request on a raw connection to the phone, as the wire carries it.
std::string afcRequest(std::uint64_t number, std::uint64_t operation, const std::string& payload)
{
    std::string packet = "CFA6LPAA";
    const auto le64 = [&packet](std::uint64_t value) {
        for (int shift = 0; shift < 64; shift += 8) {
            packet.push_back(char((value >> shift) & 0xFF));
        }
    };
    le64(40 + payload.size());
    le64(40 + payload.size());
    le64(number);
    le64(operation);
    return packet + payload;
}

std::string le64Bytes(std::uint64_t value)
{
    std::string out;
    for (int shift = 0; shift < 64; shift += 8) {
        out.push_back(char((value >> shift) & 0xFF));
    }
    return out;
}

TEST_F(AfcService, AWaitingLockEndsAtOnceWithItsConnectionOrThePhone)
{
    ASSERT_EQ(afcWriteFile(m_afc, "/held", "data"), AFC_E_SUCCESS);
    // Held by this process on the phone's own file, so nothing the phone does lets it go: only
    // the end of the waiting connection can end the wait before its minute.
    const int held = ::open((s_sim->mediaRoot(HFS) / "held").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const auto waiters = [] {
        const std::string list = s_sim->ctl({ "list" }).out;
        const std::size_t line = list.find(HFS);
        const std::size_t end = list.find('\n', line);
        const std::size_t field = list.substr(line, end - line).find("afc-lock-waits ");
        return line == std::string::npos || field == std::string::npos
            ? 0
            : std::atoi(list.c_str() + line + field + std::strlen("afc-lock-waits "));
    };
    const struct
    {
        const char* how;
        std::function<void(int fd)> end;
    } rows[] = {
        { "the client gave up", [](int fd) { ::close(fd); } },
        { "the phone was detached",
            [](int fd) {
                ASSERT_TRUE(s_sim->detach(HFS));
                ::close(fd);
            } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.how);
        ASSERT_TRUE(s_sim->clearFaults(HFS)); // the usual bound: a minute
        LibClient client(HFS);
        ASSERT_EQ(client.status(), LOCKDOWN_E_SUCCESS);
        lockdownd_service_descriptor_t service = nullptr;
        ASSERT_EQ(lockdownd_start_service(client.lockdown(), "com.apple.afc", &service), LOCKDOWN_E_SUCCESS);
        const std::uint16_t port = service->port;
        lockdownd_service_descriptor_free(service);
        usbmuxd_device_info_t device {};
        ASSERT_EQ(usbmuxd_get_device_by_udid(HFS.c_str(), &device), 1);
        const int fd = usbmuxd_connect(device.handle, port);
        ASSERT_GE(fd, 0);
        // Open (read and write), then a lock without LOCK_NB, which waits.
        const std::string open = afcRequest(1, 0x0D, le64Bytes(3) + "/held" + std::string(1, '\0'));
        ASSERT_EQ(::send(fd, open.data(), open.size(), MSG_NOSIGNAL), ssize_t(open.size()));
        char reply[48] = {};
        std::size_t got = 0;
        while (got < sizeof reply) {
            pollfd readable { fd, POLLIN, 0 };
            ASSERT_EQ(::poll(&readable, 1, 20000), 1) << "no answer to the open";
            const ssize_t now = ::recv(fd, reply + got, sizeof reply - got, 0);
            ASSERT_GT(now, 0);
            got += std::size_t(now);
        }
        ASSERT_EQ(reply[32], 0x0E) << "a file handle";
        std::uint64_t handle = 0;
        for (int i = 7; i >= 0; --i) {
            handle = handle << 8 | std::uint8_t(reply[40 + i]);
        }
        const std::string lock = afcRequest(2, 0x1B, le64Bytes(handle) + le64Bytes(LOCK_EX));
        ASSERT_EQ(::send(fd, lock.data(), lock.size(), MSG_NOSIGNAL), ssize_t(lock.size()));
        ASSERT_TRUE(waitUntil([&] { return waiters() == 1; }, 20s)) << s_sim->ctl({ "list" }).out;

        row.end(fd);
        EXPECT_TRUE(waitUntil([&] { return waiters() == 0; }, 20s))
            << "still waiting for its minute: " << s_sim->ctl({ "list" }).out;
    }
    ::close(held);
    ASSERT_TRUE(s_sim->attach(HFS));
}

TEST(AfcPurging, StartsAtOnceWhenFreeSpaceRunsLowAndKeepsWrittenZerosOffTheHostDisk)
{
    TemporaryDirectory profiles;
    TestProfile profile;
    profile.poolMiB = 4;
    profile.thresholdMiB = 8;
    profile.targetMiB = 12;
    profile.stepMiB = 2;
    profile.intervalMs = 600000; // ten minutes: only the phone's reaction to running low can purge
    SimulatorFixture sim({ profile.write(profiles.path()).string() });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    LibClient client(profile.udid);
    afc_client_t afc = client.startAfc();
    ASSERT_NE(afc, nullptr);
    const std::uint64_t free = afcFreeBytes(afc);
    const std::string zeros(free - 6 * MIB, '\0');
    ASSERT_EQ(afcWriteFile(afc, "/zeros", zeros), AFC_E_SUCCESS);
    // The whole file is charged, the pool gives a step back at once, and reading gives the zeros.
    EXPECT_TRUE(waitUntil([&] { return sim.storage(profile.udid).at("purgeable") == 2 * MIB; }, 10s));
    EXPECT_EQ(afcFreeBytes(afc), 6 * MIB + 2 * MIB);
    EXPECT_EQ(afcReadFile(afc, "/zeros"), zeros);
    struct stat host
    {
    };
    ASSERT_EQ(::stat((sim.mediaRoot(profile.udid) / "zeros").c_str(), &host), 0);
    EXPECT_EQ(std::uint64_t(host.st_size), zeros.size());
    EXPECT_LT(std::uint64_t(host.st_blocks) * 512, MIB) << "kept as a hole on the host";
}
