// The simulator's model pieces on their own: profiles, birth times, storage accounting and purging,
// the link's speed.
#include "sim/SimBirthTimes.h"
#include "sim/SimLinkRate.h"
#include "sim/SimProfile.h"
#include "sim/SimStorage.h"
#include "tests/support/TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <fstream>
#include <future>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t MIB = 1024 * 1024;

QJsonObject validProfile()
{
    return QJsonDocument::fromJson(R"({"name": "P", "udid": "00aa", "productType": "iPhone8,1",
        "productVersion": "10.3", "diskCapacity": 2000, "dataCapacity": 1000, "usedBytes": 10,
        "reserveBytes": 0, "blockSize": 4096})")
        .object();
}

SimProfile smallProfile(const std::string& version)
{
    SimProfile profile;
    profile.udid = "00bb";
    profile.productVersion = version;
    profile.diskCapacity = 200 * MIB;
    profile.dataCapacity = 100 * MIB;
    profile.usedBytes = 10 * MIB;
    profile.reserveBytes = 4 * MIB;
    profile.purgeablePoolBytes = 3 * MIB;
    profile.purgeThresholdBytes = 20 * MIB;
    profile.purgeTargetBytes = 30 * MIB;
    profile.purgeStepBytes = 2 * MIB;
    return profile;
}

void writeFile(const fs::path& path, std::size_t bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
}

} // namespace

TEST(SimProfile, BuiltInProfilesDescribeTheThreePhones)
{
    const auto demo = SimProfile::builtIn("demo");
    const auto modern = SimProfile::builtIn("modern");
    const auto legacy = SimProfile::builtIn("legacy");
    ASSERT_TRUE(demo && modern && legacy);
    EXPECT_EQ(demo->productVersion, "9.3.5");
    EXPECT_FALSE(demo->isApfsEra());
    EXPECT_EQ(demo->diskCapacity, 64000000000ULL);
    EXPECT_NEAR(double(demo->usedBytes) / double(demo->dataCapacity), 0.7, 0.02);
    EXPECT_EQ(modern->productVersion, "17.5");
    EXPECT_TRUE(modern->isApfsEra());
    EXPECT_EQ(modern->diskCapacity, 128000000000ULL);
    EXPECT_EQ(legacy->productVersion, "8.2");
    EXPECT_EQ(legacy->diskCapacity, 16000000000ULL);
    EXPECT_TRUE(legacy->jailbroken);
    std::string error;
    EXPECT_FALSE(SimProfile::builtIn("nonexistent", &error));
    EXPECT_EQ(error, "no built-in profile \"nonexistent\"");
}

TEST(SimProfile, FileSystemEraFollowsTheSystemVersion)
{
    const struct
    {
        const char* version;
        bool apfs;
    } rows[] = { { "8.2", false }, { "10.2.1", false }, { "10.3", true }, { "10.3.3", true }, { "17.5", true },
        { "", false } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.version);
        SimProfile profile;
        profile.productVersion = row.version;
        EXPECT_EQ(profile.isApfsEra(), row.apfs);
    }
}

TEST(SimProfile, RefusesProfilesThatCannotDescribeAPhone)
{
    const struct
    {
        const char* key;
        QJsonValue value;
        const char* error;
    } rows[] = {
        { "udid", QJsonValue(), "missing key \"udid\"" },
        { "udid", QStringLiteral("../../etc"), "\"udid\" must be 1 to 40 hexadecimal digits or dashes" },
        { "udid", QString(41, QLatin1Char('a')), "\"udid\" must be 1 to 40 hexadecimal digits or dashes" },
        { "dataCapacity", 3000, "\"dataCapacity\" must be positive and not above \"diskCapacity\"" },
        { "blockSize", 1000, "\"blockSize\" must be a power of two between 512 and 1 MiB" },
        { "usedBytes", -5, "\"usedBytes\" must be a non-negative number" },
        { "name", 7, "\"name\" must be a string" },
        { "content", QStringLiteral("x"), "\"content\" must be an object" },
        { "jailbroken", QStringLiteral("yes"), "\"jailbroken\" must be true or false" },
    };
    ASSERT_TRUE(SimProfile::fromJson(validProfile(), "p", nullptr));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        QJsonObject object = validProfile();
        if (row.value.isUndefined() || row.value.isNull()) {
            object.remove(QLatin1String(row.key));
        } else {
            object.insert(QLatin1String(row.key), row.value);
        }
        std::string error;
        EXPECT_FALSE(SimProfile::fromJson(object, "p", &error));
        EXPECT_EQ(error, row.error);
    }
}

TEST(SimBirthTimes, RenamesAndRemovesWholeTreesAndPersists)
{
    TemporaryDirectory folder;
    SimBirthTimes times(folder.path() / "birthtimes.tsv");
    times.set("/a/b", 1);
    times.set("/a/b/c.jpg", 2);
    times.set("/a/bc", 3);
    times.set("/x", 4);
    times.renameTree("/a/b", "/z");
    EXPECT_EQ(times.find("/z"), 1);
    EXPECT_EQ(times.find("/z/c.jpg"), 2);
    EXPECT_FALSE(times.find("/a/b/c.jpg"));
    EXPECT_EQ(times.find("/a/bc"), 3) << "a sibling sharing the prefix is not below it";
    times.removeTree("/z");
    EXPECT_FALSE(times.find("/z/c.jpg"));
    times.save();

    SimBirthTimes reloaded(folder.path() / "birthtimes.tsv");
    reloaded.load();
    EXPECT_EQ(reloaded.size(), 2u);
    EXPECT_EQ(reloaded.find("/x"), 4);
}

TEST(SimStorage, ChargesWholeBlocksAndHardLinksOnce)
{
    TemporaryDirectory folder;
    const fs::path root = folder.path() / "fs";
    writeFile(root / "one", 1);
    writeFile(root / "five", 4097 * 4);
    ASSERT_EQ(::link((root / "one").c_str(), (root / "one-again").c_str()), 0);
    SimStorage storage(smallProfile("9.3.5"), root, folder.path() / "storage.json");
    storage.load();
    EXPECT_EQ(storage.fileBytes(), 4096u + 5 * 4096u);
    // The profile's used space holds the files and the pool; the rest is opaque.
    EXPECT_EQ(storage.allocatedBytes(), 10 * MIB);
    EXPECT_EQ(storage.freeBytes(), 100 * MIB - 4 * MIB - 10 * MIB);

    // Restarting keeps the opaque figure even when files changed meanwhile.
    writeFile(root / "later", 3 * MIB);
    SimStorage again(smallProfile("9.3.5"), root, folder.path() / "storage.json");
    again.load();
    EXPECT_EQ(again.allocatedBytes(), 13 * MIB);
}

TEST(SimStorage, SparseGrowthCountsOnlyOnApfs)
{
    for (const char* version : { "9.3.5", "17.5" }) {
        SCOPED_TRACE(version);
        TemporaryDirectory folder;
        const fs::path root = folder.path() / "fs";
        fs::create_directories(root);
        SimStorage storage(smallProfile(version), root, folder.path() / "storage.json");
        storage.load();
        const int fd = ::open((root / "filler").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, off_t(8 * MIB)), 0);
        struct stat info
        {
        };
        ASSERT_EQ(::fstat(fd, &info), 0);
        if (storage.isApfs()) {
            storage.markSparse(info.st_ino);
        }
        EXPECT_EQ(storage.allocationFor(info), storage.isApfs() ? 0 : 8 * MIB);
        ::close(fd);
    }
}

TEST(SimStorage, PurgesPoolThenCachesInPathOrderUntilTheTarget)
{
    TemporaryDirectory folder;
    const fs::path root = folder.path() / "fs";
    const fs::path apps = root / "private/var/mobile/Containers/Data/Application";
    writeFile(apps / "B/Library/Caches/b1", 2 * MIB);
    writeFile(apps / "A/tmp/a2", 2 * MIB);
    writeFile(apps / "A/Library/Caches/deep/a1", 2 * MIB);
    writeFile(apps / "A/Documents/keep", 2 * MIB);
    SimProfile profile = smallProfile("17.5");
    profile.usedBytes = 80 * MIB; // free = 100 − 4 − 80 = 16 MiB, below the 20 MiB threshold
    SimStorage storage(profile, root, folder.path() / "storage.json");
    storage.load();
    ASSERT_EQ(storage.freeBytes(), 16 * MIB);
    EXPECT_EQ(storage.purgeableBytes(), 9 * MIB);

    std::vector<std::uint64_t> steps;
    while (const std::uint64_t purged = storage.purgeStep()) {
        steps.push_back(purged);
        ASSERT_LT(steps.size(), 20u);
    }
    // At most a step (2 MiB) at a time, finishing the file it started: the pool first, then A's
    // caches, A's tmp and B's caches, until nothing is left short of the 30 MiB target.
    EXPECT_EQ(steps, (std::vector<std::uint64_t> { 2 * MIB, 3 * MIB, 2 * MIB, 2 * MIB }));
    EXPECT_EQ(storage.freeBytes(), 25 * MIB);
    EXPECT_FALSE(fs::exists(apps / "A/Library/Caches/deep/a1"));
    EXPECT_FALSE(fs::exists(apps / "B/Library/Caches/b1"));
    EXPECT_TRUE(fs::exists(apps / "A/Documents/keep"));
    EXPECT_EQ(storage.purgeStep(), 0u) << "nothing purgeable is left";
}

TEST(SimLinkRate, PacesEveryConnectionOnOneLinkAndWakesWhenLifted)
{
    using namespace std::chrono_literals;
    SimLinkRate link;
    const auto t0 = SimLinkRate::Clock::now();
    EXPECT_EQ(link.reserve(SimLinkRate::QUANTUM, t0), t0) << "unlimited by default";

    // 1,000,000 bytes per second: pieces of 62,500 bytes each take 62.5 ms of the link, in the
    // order they are booked whichever connection books them; an idle link lends its depth once.
    link.setBytesPerSecond(1'000'000);
    const auto piece = 62'500;
    const struct
    {
        std::chrono::microseconds at; // when the sender asks
        std::chrono::microseconds sendsAt; // when it may send
    } steps[] = {
        { 0ms, -10ms }, // idle: the depth is spent first
        { 0ms, 52500us }, // another connection at the same moment waits its turn
        { 1ms, 115ms },
        { 10s, 10s - 10ms }, // idle again: only the depth, not the 10 s, is lent
        { 10s, 10s + 52500us },
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at.count());
        EXPECT_EQ(link.reserve(piece, t0 + step.at), t0 + step.sendsAt);
    }

    // A sender waiting at a very slow rate is woken when the link is lifted, not after its wait.
    link.setBytesPerSecond(1);
    (void)link.reserve(1000, SimLinkRate::Clock::now());
    auto waiting = std::async(std::launch::async, [&link] { link.acquire(SimLinkRate::QUANTUM); });
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    link.setBytesPerSecond(0);
    EXPECT_EQ(waiting.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(link.reserve(piece, t0), t0);

    // After release (shutdown) no wait starts at all.
    link.setBytesPerSecond(1);
    link.release();
    auto released = std::async(std::launch::async, [&link] { link.acquire(SimLinkRate::QUANTUM); });
    EXPECT_EQ(released.wait_for(30s), std::future_status::ready);
}
