// torvane-cli against torvane-simd with faults injected: every failure ends with a clear message
// and a non-zero status, nothing is removed beyond what was asked, no partial file stays under
// its final name, and names from the phone cannot break the output.

#include "tests/support/CliPhoneTest.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* UDID = "fa0175fa0175fa0175fa0175fa0175fa0175fa01";

class CliFaultsTest : public CliPhoneTest
{
protected:
    CliFaultsTest()
        : CliPhoneTest(UDID, smallPhoneProfile("Faults Phone", UDID))
    {
    }
};

} // namespace

TEST_F(CliFaultsTest, TreeRemovalCutOffMidwayFailsAndSaysSo)
{
    for (int i = 0; i < 400; ++i) {
        writeHostFile(media / "big" / ("file" + std::to_string(i)), "x");
    }
    ASSERT_TRUE(sim->fault(UDID, { "close-after", "20000" }));
    const ProcessResult removal = cli({ "rm", "-r", "/big" });
    EXPECT_EQ(removal.exitCode, 1) << removal.err;
    EXPECT_EQ(removal.err, "torvane-cli: rm /big: the connection to the device was lost\n");
    EXPECT_TRUE(fs::exists(media / "big"));
    EXPECT_GT(entriesIn(media / "big"), 0u);
}

TEST_F(CliFaultsTest, NeverRemovesTheTopOfTheMediaArea)
{
    writeHostFile(media / "DCIM/100APPLE/IMG_0001.JPG", "photo");
    writeHostFile(media / "song.mp3", "song");
    const std::size_t before = entriesIn(media);
    for (const char* path : { "/", "/DCIM/..", "//", "/DCIM/100APPLE/../.." }) {
        SCOPED_TRACE(path);
        for (const bool recursive : { true, false }) {
            const ProcessResult removal = recursive ? cli({ "rm", "-r", path }) : cli({ "rm", path });
            EXPECT_EQ(removal.exitCode, 1);
            EXPECT_EQ(
                removal.err, std::string("torvane-cli: rm ") + path + ": won't remove the top of the media area\n");
        }
    }
    EXPECT_EQ(entriesIn(media), before);
    EXPECT_EQ(readHostFile(media / "DCIM/100APPLE/IMG_0001.JPG"), "photo");
}

TEST_F(CliFaultsTest, ScansAndListingsThatMissEntriesFail)
{
    for (int i = 0; i < 300; ++i) {
        const std::string number = std::to_string(1000 + i).substr(1);
        writeHostFile(media / "DCIM/100APPLE" / ("f" + number), std::string(1000, 'p'));
    }
    // A listing that cannot be read: no "0 bytes, empty".
    ASSERT_TRUE(sim->fault(UDID, { "afc-status", "3", "20" }));
    const ProcessResult scan = cli({ "scan", "/" });
    EXPECT_EQ(scan.exitCode, 1) << scan.out;
    EXPECT_TRUE(scan.out.empty()) << scan.out;
    EXPECT_TRUE(scan.err.starts_with("torvane-cli: scan /: could not read everything (the device reported an "
                                     "input/output error)"))
        << scan.err;
    ASSERT_TRUE(sim->clearFaults(UDID));

    // The connection cut after the folder was read but before every entry was: no "?  0" rows.
    ASSERT_TRUE(sim->fault(UDID, { "close-after", "5000" }));
    const ProcessResult listing = cli({ "ls", "/DCIM/100APPLE" });
    EXPECT_EQ(listing.exitCode, 1) << listing.out;
    EXPECT_TRUE(listing.out.empty()) << listing.out;
    EXPECT_NE(listing.err.find(": the connection to the device was lost"), std::string::npos) << listing.err;

    const ProcessResult cutScan = cli({ "scan", "/DCIM" });
    EXPECT_EQ(cutScan.exitCode, 1) << cutScan.out;
    EXPECT_NE(cutScan.err.find("could not read everything (the connection to the device was lost)"), std::string::npos)
        << cutScan.err;
}

TEST_F(CliFaultsTest, PushNeverLeavesAPartialFileUnderItsName)
{
    // Larger than the free space: refused before a byte is written.
    const fs::path huge = folder.path() / "huge.bin";
    {
        std::ofstream(huge).close();
        fs::resize_file(huge, 1'200'000'000); // sparse: costs nothing here
    }
    const std::uint64_t freeBefore = sim->storage(UDID).at("free");
    const std::size_t entriesBefore = entriesIn(media);
    const ProcessResult tooBig = cli({ "push", huge.string(), "/" });
    EXPECT_EQ(tooBig.exitCode, 1);
    EXPECT_NE(tooBig.err.find("torvane-cli: push " + huge.string()
                  + " /: not enough free space on the device: "
                    "1200000000 bytes needed"),
        std::string::npos)
        << tooBig.err;
    EXPECT_EQ(entriesIn(media), entriesBefore);
    EXPECT_EQ(sim->storage(UDID).at("free"), freeBefore);

    // Cut off part way, then tried again: the retry needs no -f and gives the whole file.
    const fs::path local = folder.path() / "song.m4a";
    std::string bytes(1'000'000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7);
    }
    writeHostFile(local, bytes);
    ASSERT_TRUE(sim->fault(UDID, { "close-after", "300000" }));
    const ProcessResult cut = cli({ "push", local.string(), "/song.m4a" });
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_NE(cut.err.find(": the connection to the device was lost"), std::string::npos) << cut.err;
    EXPECT_FALSE(fs::exists(media / "song.m4a"));
    ASSERT_TRUE(sim->clearFaults(UDID));
    const ProcessResult retry = cli({ "push", local.string(), "/song.m4a" });
    ASSERT_EQ(retry.exitCode, 0) << retry.err;
    EXPECT_EQ(readHostFile(media / "song.m4a"), bytes);

    // A write the device refuses: no empty file left behind either.
    ASSERT_TRUE(sim->fault(UDID, { "afc-status", "16", "20" }));
    const ProcessResult refused = cli({ "push", local.string(), "/other.m4a" });
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("push " + local.string() + " /other.m4a: the device reported an input/output error"),
        std::string::npos)
        << refused.err;
    ASSERT_TRUE(sim->clearFaults(UDID));
    EXPECT_FALSE(fs::exists(media / "other.m4a"));
    EXPECT_FALSE(fs::exists(media / ".other.m4a.torvane-partial"));
    EXPECT_FALSE(fs::exists(media / ".song.m4a.torvane-partial"));
    EXPECT_EQ(entriesIn(media), entriesBefore + 1);
}

TEST_F(CliFaultsTest, NamesFromThePhoneAreEscapedAndCanBeTypedBack)
{
    writeHostFile(media / "Names" / "two\nlines.txt", "1");
    writeHostFile(media / "Names" / "\x1b[31mred.txt", "2");
    writeHostFile(media / "Names" / "\xff\xfe.bin", "3");
    writeHostFile(media / "Names" / "back\\slash", "4");

    const ProcessResult listing = cli({ "ls", "/Names" });
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    EXPECT_EQ(std::count(listing.out.begin(), listing.out.end(), '\n'), 4) << listing.out;
    EXPECT_EQ(listing.out.find('\x1b'), std::string::npos);
    for (const char* shown : { " two\\nlines.txt\n", " \\x1B[31mred.txt\n", " \\xFF\\xFE.bin\n", " back\\\\slash\n" }) {
        EXPECT_NE(listing.out.find(shown), std::string::npos) << shown << "\n" << listing.out;
    }

    // What was printed names the file again.
    const ProcessResult stat = cli({ "stat", "/Names/two\\nlines.txt" });
    EXPECT_EQ(stat.exitCode, 0) << stat.err;
    EXPECT_NE(stat.out.find("path: /Names/two\\nlines.txt\n"), std::string::npos) << stat.out;
    const ProcessResult removal = cli({ "rm", "/Names/\\xFF\\xFE.bin", "/Names/back\\\\slash" });
    EXPECT_EQ(removal.exitCode, 0) << removal.err;
    EXPECT_FALSE(fs::exists(media / "Names" / "\xff\xfe.bin"));
    EXPECT_FALSE(fs::exists(media / "Names" / "back\\slash"));
    EXPECT_TRUE(fs::exists(media / "Names" / "two\nlines.txt"));
}

TEST_F(CliFaultsTest, StreamsEndWithAnErrorWhenThePhoneGoes)
{
    struct Row
    {
        std::vector<std::string> arguments;
        const char* started;
    };
    const Row rows[] = {
        { { "notify", "observe", "com.example.never" }, "Observing com.example.never\n" },
        { { "syslog" }, "\n" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments.front());
        ASSERT_TRUE(sim->attach(UDID) || sim->attachedDevices() == std::vector<std::string> { UDID });
        std::vector<std::string> argv { SimulatorFixture::cliPath() };
        argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
        RunningProcess running(argv);
        ASSERT_TRUE(running.waitForOutput(row.started, 30s)) << running.output;
        ASSERT_TRUE(sim->detach(UDID));
        EXPECT_EQ(running.wait(30s), 1) << running.output;
        EXPECT_NE(running.output.find("torvane-cli: " + row.arguments.front() + ": the device was detached\n"),
            std::string::npos)
            << running.output;
    }
}

TEST_F(CliFaultsTest, FolderPushSkipsFifos)
{
    const fs::path tree = folder.path() / "tree";
    writeHostFile(tree / "a.txt", "alpha");
    ASSERT_EQ(::mkfifo((tree / "pipe").c_str(), 0600), 0);
    const ProcessResult push = cli({ "push", tree.string(), "/" }, 30s);
    EXPECT_FALSE(push.timedOut);
    EXPECT_EQ(push.exitCode, 0) << push.err;
    EXPECT_EQ(push.err, "torvane-cli: push: skipped " + (tree / "pipe").string() + ": not a regular file or folder\n");
    EXPECT_EQ(readHostFile(media / "tree/a.txt"), "alpha");
    EXPECT_FALSE(fs::exists(media / "tree/pipe"));

    const ProcessResult alone = cli({ "push", (tree / "pipe").string(), "/" }, 30s);
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_NE(alone.err.find("is not a regular file or folder"), std::string::npos) << alone.err;
}

TEST_F(CliFaultsTest, AStalledPhoneTimesOut)
{
    writeHostFile(media / "a.txt", "a");
    ASSERT_TRUE(sim->fault(UDID, { "stall" }));
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult listing = cli({ "ls", "/", "--timeout", "2" }, 60s);
    EXPECT_FALSE(listing.timedOut);
    EXPECT_EQ(listing.exitCode, 1);
    EXPECT_NE(listing.err.find("did not answer in time"), std::string::npos) << listing.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 50s);
    ASSERT_TRUE(sim->clearFaults(UDID));
}

TEST_F(CliFaultsTest, FailuresNameTheOperationThePathAndTheReason)
{
    const ProcessResult verbose = cli({ "ls", "/x", "--verbose" });
    EXPECT_EQ(verbose.exitCode, 1);
    EXPECT_NE(verbose.err.find("torvane-cli: ls /x: no such file or folder (AFCFileInfoOpen failed: Return code = "
                               "0x0008)\n"),
        std::string::npos)
        << verbose.err;

    const ProcessResult json = cli({ "ls", "/x", "--json" });
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_TRUE(json.out.empty());
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json.err), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.err;
    const QJsonObject object = document.object().value("error").toObject();
    EXPECT_EQ(object.value("command").toString(), "ls");
    EXPECT_EQ(object.value("subject").toString(), "/x");
    EXPECT_EQ(object.value("message").toString(), "no such file or folder");

    // A bad command line under --json is a JSON object too.
    const ProcessResult usage = cli({ "--json", "frobnicate" });
    EXPECT_EQ(usage.exitCode, 2);
    const QJsonDocument usageDocument = QJsonDocument::fromJson(QByteArray::fromStdString(usage.err), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << usage.err;
    EXPECT_EQ(usageDocument.object().value("error").toObject().value("message").toString(),
        "unknown command frobnicate (see torvane-cli --help)");

    // A path longer than the phone takes is refused before anything is created.
    const std::size_t entriesBefore = entriesIn(media);
    std::string nested;
    for (int i = 0; i < 50; ++i) {
        nested += "/" + std::string(99, 'n');
    }
    const ProcessResult longPath = cli({ "mkdir", nested });
    EXPECT_EQ(longPath.exitCode, 1);
    EXPECT_NE(longPath.err.find("the path is too long (5000 bytes; the device takes at most 1023)"), std::string::npos)
        << longPath.err;
    EXPECT_EQ(entriesIn(media), entriesBefore);

    writeHostFile(media / "a.txt", "a");
    const ProcessResult noFolder = cli({ "pull", "/a.txt", (folder.path() / "missing/a.txt").string() });
    EXPECT_EQ(noFolder.exitCode, 1);
    EXPECT_NE(noFolder.err.find(": can't open output file: No such file or directory\n"), std::string::npos)
        << noFolder.err;

    const ProcessResult version = cli({ "--version" });
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.starts_with("torvane-cli ")) << version.out;
    EXPECT_NE(version.out.find('.'), std::string::npos) << version.out;
}
