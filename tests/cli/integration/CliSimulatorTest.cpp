// torvane-cli as a user runs it, against torvane-simd; results compared with the simulator's
// own state folder, --json read back with Qt's parser.

#include "tests/support/CliPhoneTest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* UDID = "c11c11c1100000000000000000000000000000a1";

class CliSimulatorTest : public CliPhoneTest
{
protected:
    CliSimulatorTest()
        : CliPhoneTest(UDID, smallPhoneProfile("CLI Test Phone", UDID))
    {
    }
};

} // namespace

TEST_F(CliSimulatorTest, ReportsWhatTheSimulatorStores)
{
    ProcessResult devices = cli({ "devices", "--json" });
    ASSERT_EQ(devices.exitCode, 0) << devices.err;
    const QJsonArray list = parseJson(devices.out).array();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].toObject().value("udid").toString().toStdString(), UDID);
    EXPECT_EQ(list[0].toObject().value("name").toString(), "CLI Test Phone");

    ProcessResult version = cli({ "info", "--udid", UDID, "ProductVersion" });
    ASSERT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out, "10.3.3\n");

    ProcessResult df = cli({ "df", "--json" });
    ASSERT_EQ(df.exitCode, 0) << df.err;
    const auto storage = sim->storage(UDID);
    const QJsonObject figures = parseJson(df.out).object();
    EXPECT_EQ(figures.value("free").toInteger(), qint64(storage.at("free")));
    EXPECT_EQ(figures.value("total").toInteger(), qint64(storage.at("total")));

    writeHostFile(media / "Stuff/a.txt", "alpha");
    writeHostFile(media / "Stuff/deep/b.bin", std::string(123456, 'b'));
    writeHostFile(media / "Stuff/caf\xC3\xA9.txt", "c");
    ProcessResult ls = cli({ "ls", "/Stuff", "--json" });
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    std::set<std::string> listed;
    for (const QJsonValue entry : parseJson(ls.out).array()) {
        const QJsonObject object = entry.toObject();
        const std::string name = object.value("name").toString().toStdString();
        listed.insert(name);
        struct stat hostInfo;
        ASSERT_EQ(::lstat((media / "Stuff" / name).c_str(), &hostInfo), 0) << name;
        if (!S_ISDIR(hostInfo.st_mode)) {
            EXPECT_EQ(object.value("size").toInteger(), qint64(hostInfo.st_size)) << name;
        }
    }
    std::set<std::string> stored;
    for (const auto& entry : fs::directory_iterator(media / "Stuff")) {
        stored.insert(entry.path().filename().string());
    }
    EXPECT_EQ(listed, stored);

    ProcessResult scan = cli({ "scan", "/Stuff", "--json" });
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    EXPECT_EQ(parseJson(scan.out).object().value("size").toInteger(), 5 + 123456 + 1);

    ProcessResult human = cli({ "scan", "/Stuff" });
    ASSERT_EQ(human.exitCode, 0) << human.err;
    EXPECT_TRUE(human.out.starts_with("/Stuff: 123462 bytes")) << human.out;

    ProcessResult stat = cli({ "stat", "/Stuff/a.txt", "--json" });
    ASSERT_EQ(stat.exitCode, 0) << stat.err;
    EXPECT_EQ(parseJson(stat.out).object().value("st_size").toInteger(), 5);
}

TEST_F(CliSimulatorTest, ChangesFilesOnTheDevice)
{
    writeHostFile(folder.path() / "up.txt", "uploaded text");
    ProcessResult push = cli({ "push", (folder.path() / "up.txt").string(), "/" });
    ASSERT_EQ(push.exitCode, 0) << push.err;
    EXPECT_EQ(readHostFile(media / "up.txt"), "uploaded text");

    ProcessResult mkdir = cli({ "mkdir", "/New/Deeper" });
    ASSERT_EQ(mkdir.exitCode, 0) << mkdir.err;
    EXPECT_TRUE(fs::is_directory(media / "New/Deeper"));

    ProcessResult mv = cli({ "mv", "/up.txt", "/New/Deeper/moved.txt" });
    ASSERT_EQ(mv.exitCode, 0) << mv.err;
    EXPECT_EQ(readHostFile(media / "New/Deeper/moved.txt"), "uploaded text");

    // -f replaces what is there.
    writeHostFile(media / "spare.txt", "spare");
    ProcessResult forced = cli({ "mv", "-f", "/spare.txt", "/New/Deeper/moved.txt" });
    ASSERT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_FALSE(fs::exists(media / "spare.txt"));

    ProcessResult pull = cli({ "pull", "/New/Deeper/moved.txt", folder.path().string() });
    ASSERT_EQ(pull.exitCode, 0) << pull.err;
    EXPECT_EQ(readHostFile(folder.path() / "moved.txt"), "spare");

    ProcessResult rmDirectory = cli({ "rm", "/New" });
    EXPECT_EQ(rmDirectory.exitCode, 1);
    EXPECT_NE(rmDirectory.err.find("use rm -r"), std::string::npos) << rmDirectory.err;
    EXPECT_TRUE(fs::exists(media / "New"));

    ProcessResult rmTree = cli({ "rm", "-r", "/New" });
    ASSERT_EQ(rmTree.exitCode, 0) << rmTree.err;
    EXPECT_FALSE(fs::exists(media / "New"));
}

TEST_F(CliSimulatorTest, FailsWithAClearMessageAndStatus)
{
    struct Row
    {
        std::vector<std::string> arguments;
        int exitCode;
        std::string message;
    };
    writeHostFile(folder.path() / "exists.txt", "keep");
    writeHostFile(media / "exists.txt", "device");
    writeHostFile(media / "other.txt", "other");
    const std::string existing = (folder.path() / "exists.txt").string();
    const std::string absent = (folder.path() / "absent").string();
    const Row rows[] = {
        { { "ls", "/missing" }, 1, "torvane-cli: ls /missing: no such file or folder\n" },
        { { "rm", "/missing" }, 1, "torvane-cli: rm /missing: no such file or folder\n" },
        { { "pull", "/exists.txt", existing }, 1,
            "torvane-cli: pull /exists.txt " + existing + ": already exists on this computer\n" },
        { { "push", existing, "/exists.txt" }, 1,
            "torvane-cli: push " + existing + " /exists.txt: already exists (use -f to replace it)\n" },
        { { "mv", "/exists.txt", "/other.txt" }, 1,
            "torvane-cli: mv /exists.txt /other.txt: /other.txt already exists (use -f to replace it)\n" },
        { { "push", absent, "/" }, 1,
            "torvane-cli: push " + absent + " /: can't read " + absent + ": No such file or directory\n" },
        { { "df", "--udid", "0000" }, 1, "torvane-cli: df: no attached device has the UDID 0000\n" },
        { { "info", "--udid", "0000" }, 1, "torvane-cli: info: no attached device has the UDID 0000\n" },
        { { "info", "0000", "ProductVersion" }, 2,
            "torvane-cli: info: wrong number of arguments (see torvane-cli --help)\n" },
        { { "frobnicate" }, 2, "torvane-cli: unknown command frobnicate (see torvane-cli --help)\n" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments.front() + " " + (row.arguments.size() > 1 ? row.arguments[1] : ""));
        ProcessResult result = cli(row.arguments);
        EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
        EXPECT_EQ(result.err, row.message);
    }
    EXPECT_EQ(readHostFile(folder.path() / "exists.txt"), "keep");
    EXPECT_EQ(readHostFile(media / "exists.txt"), "device");
    EXPECT_EQ(readHostFile(media / "other.txt"), "other");
}
