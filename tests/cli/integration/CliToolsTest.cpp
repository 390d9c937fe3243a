// The cleaning-tool commands against a phone that stops answering, does not trust this computer,
// is missing with usbmuxd, or names its files to attack the terminal: each says so with the
// built-in commands' words and exit statuses, within the time-out, and shows names as ls does.

#include "tests/support/CliPhoneTest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* UDID = "7001570015700157001570015700157001570015";

/// A state the phone is put in, and what every command says about it.
struct UnusableRow
{
    std::vector<std::string> ctl;
    int status;
    const char* advice;
};

class CliToolsTest : public CliPhoneTest
{
protected:
    CliToolsTest()
        : CliPhoneTest(
            UDID, smallPhoneProfile("Tools Phone", UDID, { { "userApps", 2 }, { "photos", 40 }, { "songs", 2 } }))
    {
    }

    /// Every tool command, as a user would type it.
    std::vector<std::vector<std::string>> toolCommands() const
    {
        const std::string destination = (folder.path() / "backup").string();
        return { { "photos" }, { "photos", "backup", destination }, { "music" }, { "music", "rm", "1" },
            { "clear-temp" }, { "apps", "--sizes" } };
    }

    void expectEveryToolToSay(const std::vector<UnusableRow>& rows);
};

} // namespace

TEST_F(CliToolsTest, AStalledPhoneEndsEveryToolWithinTheTimeout)
{
    ASSERT_TRUE(sim->fault(UDID, { "stall" }));
    for (std::vector<std::string> command : toolCommands()) {
        SCOPED_TRACE(command.front() + " " + (command.size() > 1 ? command[1] : ""));
        command.insert(command.end(), { "--timeout", "2" });
        const auto started = std::chrono::steady_clock::now();
        const ProcessResult run = cli(command, 60s);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(
            run.err, "torvane-cli: " + command.front() + ": the device did not answer in time (2 s; see --timeout)\n");
        EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    }
    ASSERT_TRUE(sim->clearFaults(UDID));
}

void CliToolsTest::expectEveryToolToSay(const std::vector<UnusableRow>& rows)
{
    for (const auto& row : rows) {
        SCOPED_TRACE(row.ctl[2]);
        ASSERT_EQ(sim->ctl(row.ctl).exitCode, 0);
        const ProcessResult builtIn = cli({ "df" });
        ASSERT_EQ(builtIn.exitCode, row.status) << builtIn.err;
        for (const auto& command : toolCommands()) {
            SCOPED_TRACE(command.front() + " " + (command.size() > 1 ? command[1] : ""));
            const ProcessResult run = cli(command);
            EXPECT_EQ(run.exitCode, row.status) << run.err;
            EXPECT_EQ(run.err, "torvane-cli: " + command.front() + ": " + row.advice + "\n");
            EXPECT_EQ(run.out, "");
        }
        ASSERT_EQ(sim->ctl({ "trust", row.ctl[1], "trusted" }).exitCode, 0);
        ASSERT_TRUE(sim->clearFaults(row.ctl[1]));
    }
}

TEST_F(CliToolsTest, APhoneThatStallsMidRunEndsTheToolWithinItsBound)
{
    // Tools at work when the phone stops answering: each request gives up after --timeout.
    const fs::path copies = folder.path() / "midrun";
    const struct
    {
        std::vector<std::string> command;
        std::function<bool()> working;
    } rows[] = {
        { { "photos", "backup", copies.string() },
            [&] {
                std::error_code error;
                return std::distance(fs::directory_iterator(copies / "Torvane Backup", error), {}) > 2;
            } },
        { { "clear-temp" }, [&] { return fs::exists(media / "Torvane") && !fs::is_empty(media / "Torvane"); } },
    };
    // Paired first: making this computer's pairing takes longer than the short time-out below.
    ASSERT_EQ(cli({ "df" }).exitCode, 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command.front());
        std::vector<std::string> argv { SimulatorFixture::cliPath(), "--timeout", "5" };
        argv.insert(argv.end(), row.command.begin(), row.command.end());
        RunningProcess tool(argv);
        const bool working = tool.waitFor(row.working, 60s);
        ASSERT_TRUE(sim->fault(UDID, { "stall" }));
        const auto stalled = std::chrono::steady_clock::now();
        const int status = tool.wait(90s);
        ASSERT_TRUE(sim->clearFaults(UDID));
        EXPECT_TRUE(working) << tool.output;
        ASSERT_NE(status, -1) << tool.output;
        // The request's --timeout, the phone's own 10 s bound on a lockdown reply, and a margin.
        EXPECT_LT(std::chrono::steady_clock::now() - stalled, 40s);
        EXPECT_EQ(status, 1);
        EXPECT_NE(tool.output.find("torvane-cli: " + row.command.front() + ": the device did not answer in time"),
            std::string::npos)
            << tool.output;
    }
}

// In parts, each a few seconds per command (a phone that will not pair is slow to name).
TEST_F(CliToolsTest, EveryToolSaysALockedOrAskingPhoneAsTheBuiltInsDo)
{
    expectEveryToolToSay({
        { { "trust", udid, "passcode-locked" }, 4,
            "Unlock your iPhone and tap Trust when it asks whether to trust this computer." },
        { { "trust", udid, "dialog-pending" }, 5, "Tap Trust on your iPhone and enter its passcode, then try again." },
    });
}

TEST_F(CliToolsTest, EveryToolSaysAnUntrustingPhoneAsTheBuiltInsDo)
{
    expectEveryToolToSay({
        { { "trust", udid, "denied" }, 6, "You chose Don't Trust: unplug the phone, plug it in again and tap Trust." },
        { { "fault", udid, "refuse-session" }, 8,
            "Your iPhone refuses to talk to this computer: restart the iPhone, plug it in again and tap Trust." },
    });
}

TEST_F(CliToolsTest, EveryToolSaysARefusingPhoneAndAMissingUsbmuxdAsTheBuiltInsDo)
{
    expectEveryToolToSay({
        { { "fault", udid, "refuse-services" }, 9,
            "Your iPhone refuses to open its files to this computer: unlock it and try again, or restart it if "
            "that does not help." },
        { { "fault", udid, "network-only" }, 10,
            "Your phone must be connected via a USB cable for Torvane to free space." },
    });

    // No usbmuxd: the same advice and status as every other command, also under --json.
    const std::string missing = "USBMUXD_SOCKET_ADDRESS=UNIX:" + (folder.path() / "no-such.sock").string();
    for (const auto& command : toolCommands()) {
        SCOPED_TRACE(command.front());
        std::vector<std::string> argv { "env", missing, SimulatorFixture::cliPath(), "--json" };
        argv.insert(argv.end(), command.begin(), command.end());
        const ProcessResult run = runProcess(argv, 30s);
        EXPECT_EQ(run.exitCode, 3) << run.err;
        EXPECT_NE(run.err.find("{\"error\":{\"command\":\"" + command.front() + "\",\"message\":\"The USB service"),
            std::string::npos)
            << run.err;
    }
}

TEST_F(CliToolsTest, NamesFromThePhoneAreShownAsLsShowsThem)
{
    // An OSC title sequence, a bell, a carriage return and a newline in one photo's name.
    const std::string hostile = "IMG_\x1b]0;owned\x07\r\nX.JPG";
    const std::string escaped = "IMG_\\x1B]0;owned\\x07\\r\\nX.JPG";
    const fs::path camera = sim->mediaRoot(UDID) / "DCIM" / "100APPLE";
    ASSERT_TRUE(fs::is_directory(camera));
    std::ofstream(camera / hostile, std::ios::binary) << std::string(2048, 'p');

    const ProcessResult ls = cli({ "ls", "/DCIM/100APPLE" });
    ASSERT_EQ(ls.exitCode, 0) << ls.err;
    ASSERT_NE(ls.out.find(escaped), std::string::npos) << ls.out;
    const std::string destination = (folder.path() / "hostile").string();
    for (const std::vector<std::string>& command :
        { std::vector<std::string> { "photos" }, std::vector<std::string> { "photos", "backup", destination } }) {
        SCOPED_TRACE(command.size());
        const ProcessResult run = cli(command);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("/DCIM/100APPLE/" + escaped), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find_first_of("\x1b\x07\r"), std::string::npos) << run.out;
    }
    // JSON carries the name itself, escaped as JSON.
    const ProcessResult json = cli({ "photos", "--json" });
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(json.out.find_first_of("\x1b\x07\r"), std::string::npos);
    bool found = false;
    for (const QJsonValue& file : QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array()) {
        found = found || file.toObject().value("name").toString().toStdString() == hostile;
    }
    EXPECT_TRUE(found) << json.out;
}

TEST(CliHelp, EveryCommandsDescriptionStartsInOneColumn)
{
    const ProcessResult help = runProcess({ SimulatorFixture::cliPath(), "--help" }, 30s);
    ASSERT_EQ(help.exitCode, 0) << help.err;
    ASSERT_NE(help.out.find("\nCleaning tools:\n"), std::string::npos) << help.out;
    ASSERT_NE(help.out.find("[-u|--udid UDID]"), std::string::npos) << help.out;
    constexpr std::size_t COLUMN = 32;
    std::istringstream lines(help.out.substr(help.out.find("\nCommands:\n"), help.out.find("\nDevices are found")));
    std::size_t checked = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("  ")) {
            continue; // a heading or the blank line between sections
        }
        SCOPED_TRACE(line);
        // A description follows the synopsis after two or more spaces, or continues one alone.
        const std::size_t gap = line.find("  ", 2);
        if (gap == std::string::npos && line.find_first_not_of(' ') != COLUMN) {
            continue; // a synopsis too long to share its line; its description follows
        }
        EXPECT_EQ(line.find_first_not_of(' ', gap == std::string::npos ? 0 : gap), COLUMN);
        ++checked;
    }
    EXPECT_GT(checked, 20u);
}
