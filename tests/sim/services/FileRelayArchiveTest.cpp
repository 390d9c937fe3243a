#include "sim/services/FileRelayArchive.h"

#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <fstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(FileRelayArchive, GzipIsReadableByGzip)
{
    TemporaryDirectory folder;
    const std::string data = std::string(100'000, 'a') + "tail";
    const auto gz = FileRelayArchive::gzip(data);
    ASSERT_TRUE(gz);
    EXPECT_LT(gz->size(), data.size() / 10);
    EXPECT_EQ(gz->substr(0, 2), "\x1F\x8B");
    std::ofstream(folder.path() / "a.gz", std::ios::binary) << *gz;
    const auto result = runProcess({ "gzip", "-dc", (folder.path() / "a.gz").string() }, std::chrono::seconds(20));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, data);
    EXPECT_EQ(FileRelayArchive::crc32("123456789"), 0xCBF43926u);
}

TEST(FileRelayArchive, CpioHoldsFilesFoldersAndLinksWithoutFollowingThem)
{
    TemporaryDirectory root;
    fs::create_directories(root.path() / "private/var/logs/x");
    std::ofstream(root.path() / "private/var/logs/x/a.log") << "hello";
    fs::create_symlink("/etc/passwd", root.path() / "private/var/logs/x/link");
    FileRelayArchive archive(root.path());
    archive.addTree("/private/var/logs");
    archive.addTree("/private/var/missing");
    EXPECT_EQ(archive.fileCount(), 1u);
    const auto gz = archive.finishGzip();
    ASSERT_TRUE(gz);
    std::ofstream(root.path() / "a.cpio.gz", std::ios::binary) << *gz;
    const auto result = runProcess({ "gzip", "-dc", (root.path() / "a.cpio.gz").string() }, std::chrono::seconds(20));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string& cpio = result.out;
    EXPECT_EQ(cpio.substr(0, 6), "070701");
    EXPECT_NE(cpio.find("./private/var/logs/x/a.log"), std::string::npos);
    EXPECT_NE(cpio.find("hello"), std::string::npos);
    EXPECT_NE(cpio.find("/etc/passwd"), std::string::npos); // the link text, not the file
    EXPECT_EQ(cpio.find("root:"), std::string::npos);
    EXPECT_NE(cpio.find("TRAILER!!!"), std::string::npos);
    EXPECT_EQ(cpio.size() % 4, 0u);
}
