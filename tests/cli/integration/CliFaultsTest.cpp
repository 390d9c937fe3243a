// torvane-cli against torvane-simd with faults injected: every failure ends with a clear message
// and a non-zero status, nothing is removed beyond what was asked, no partial file stays under
// its final name, and names from the phone cannot break the output.

#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* UDID = "fa0175fa0175fa0175fa0175fa0175fa0175fa01";

constexpr const char* PROFILE = R"({
    "name": "Faults Phone",
    "udid": "fa0175fa0175fa0175fa0175fa0175fa0175fa01",
    "productType": "iPhone9,3",
    "productVersion": "10.3.3",
    "diskCapacity": 32000000000,
    "dataCapacity": 400000000,
    "usedBytes": 150000000,
    "reserveBytes": 8388608,
    "blockSize": 4096,
    "purgeablePoolBytes": 0,
    "content": { "seed": 1, "userApps": 0, "systemApps": 0, "fileSharingApps": 0, "developerApps": 0,
                 "appsWithoutDisplayName": 0, "appsWithEmptyDisplayName": 0, "photos": 0, "videos": 0,
                 "songs": 0, "podcasts": 0, "stalledDownloads": 0 }
})";

void writeHostFile(const fs::path& path, const std::string& contents)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

std::string readHostFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::size_t entriesIn(const fs::path& folder)
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::recursive_directory_iterator(folder)) {
        ++count;
    }
    return count;
}

/// A child whose combined output is read as it comes, for commands that run until something
/// happens to the phone.
class RunningProcess
{
public:
    explicit RunningProcess(const std::vector<std::string>& argv)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::dup2(fds[1], STDERR_FILENO);
            std::vector<char*> args;
            args.reserve(argv.size());
            for (const std::string& arg : argv) {
                args.push_back(const_cast<char*>(arg.c_str()));
            }
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        m_fd = fds[0];
    }

    ~RunningProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }

    /// Reads until `text` has appeared in the output, the output ends or `bound` passes.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds bound)
    {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (output.find(text) == std::string::npos) {
            if (!readSome(deadline)) {
                return false;
            }
        }
        return true;
    }

    /// Reads to the end and answers the exit status; -1 (after killing it) when it did not end
    /// within `bound`.
    int wait(std::chrono::milliseconds bound)
    {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (readSome(deadline)) { }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string output;

private:
    bool readSome(std::chrono::steady_clock::time_point deadline)
    {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (m_fd < 0 || left.count() <= 0) {
            return false;
        }
        pollfd ready { m_fd, POLLIN, 0 };
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
        if (count <= 0) {
            return false;
        }
        output.append(buffer, static_cast<std::size_t>(count));
        return true;
    }

    pid_t m_pid { -1 };
    int m_fd { -1 };
};

class CliFaultsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const fs::path profile = folder.path() / "faults.json";
        writeHostFile(profile, PROFILE);
        sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { profile.string() });
        ASSERT_TRUE(sim->start()) << sim->lastError();
        media = sim->mediaRoot(UDID);
    }

    static ProcessResult cli(std::vector<std::string> arguments, std::chrono::milliseconds bound = 60s)
    {
        arguments.insert(arguments.begin(), SimulatorFixture::cliPath());
        return runProcess(arguments, bound);
    }

    TemporaryDirectory folder;
    std::unique_ptr<SimulatorFixture> sim;
    fs::path media;
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

TEST_F(CliFaultsTest, MoveRefusesToReplaceWithoutForce)
{
    writeHostFile(media / "a.txt", "a");
    writeHostFile(media / "b.txt", "b");
    const ProcessResult refused = cli({ "mv", "/a.txt", "/b.txt" });
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "torvane-cli: mv /a.txt /b.txt: /b.txt already exists (use -f to replace it)\n");
    EXPECT_EQ(readHostFile(media / "a.txt"), "a");
    EXPECT_EQ(readHostFile(media / "b.txt"), "b");

    const ProcessResult forced = cli({ "mv", "-f", "/a.txt", "/b.txt" });
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_FALSE(fs::exists(media / "a.txt"));
    EXPECT_EQ(readHostFile(media / "b.txt"), "a");
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
    const ProcessResult plain = cli({ "ls", "/x" });
    EXPECT_EQ(plain.exitCode, 1);
    EXPECT_EQ(plain.err, "torvane-cli: ls /x: no such file or folder\n");

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
