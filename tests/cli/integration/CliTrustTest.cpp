// torvane-cli on a phone that does not trust this computer, refuses sessions or services, or is
// reached only over Wi-Fi, and on a computer without usbmuxd: each gives its own advice and exit
// status, and everything works again once the phone is set right.

#include "tests/support/CliPhoneTest.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* UDID = "7a057a057a057a057a057a057a057a057a057a05";

// Starts locked, through the profile's "Trust" key.
class CliTrustTest : public CliPhoneTest
{
protected:
    CliTrustTest()
        : CliPhoneTest(UDID, smallPhoneProfile("Trust Phone", UDID, {}, R"("Trust": "passcode-locked",)"))
    {
    }
};

} // namespace

TEST_F(CliTrustTest, EachUnusableStateHasItsAdviceAndStatusAndRecovers)
{
    const struct
    {
        std::vector<std::string> ctl; // empty: the state the profile starts in
        const char* state; // as `devices` shows it
        int devicesStatus;
        const char* advice;
        int infoStatus; // reading the name needs only a session
        bool network; // reached over Wi-Fi only, where this computer cannot connect at all
    } rows[] = {
        { {}, "passcode-locked", 4, "Unlock your iPhone and tap Trust when it asks whether to trust this computer.", 4,
            false },
        { { "trust", udid, "dialog-pending" }, "dialog-pending", 5,
            "Tap Trust on your iPhone and enter its passcode, then try again.", 5, false },
        { { "trust", udid, "denied" }, "denied", 6,
            "You chose Don't Trust: unplug the phone, plug it in again and tap Trust.", 6, false },
        { { "fault", udid, "refuse-session" }, "session-refused", 8,
            "Your iPhone refuses to talk to this computer: restart the iPhone, plug it in again and tap Trust.", 8,
            false },
        { { "fault", udid, "refuse-services" }, "services-refused", 9,
            "Your iPhone refuses to open its files to this computer: unlock it and try again, or restart it if "
            "that does not help.",
            0, false },
        { { "fault", udid, "network-only" }, "network-only", 10,
            "Your phone must be connected via a USB cable for Torvane to free space.", 10, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        if (!row.ctl.empty()) {
            ASSERT_EQ(sim->ctl(row.ctl).exitCode, 0);
        }
        const ProcessResult devices = cli({ "devices" });
        EXPECT_EQ(devices.exitCode, row.devicesStatus) << devices.err;
        // Listed by UDID and name even when the phone will not give this computer a session.
        const std::string identity = row.network ? "  " : udid + "  Trust Phone";
        EXPECT_EQ(devices.out, identity + "  (" + (row.network ? "network" : "usb") + ")  " + row.state + "\n");
        EXPECT_EQ(devices.err,
            "torvane-cli: devices" + (row.network ? std::string() : " " + udid) + ": " + row.advice + "\n");

        const ProcessResult info = cli({ "info", "DeviceName" });
        EXPECT_EQ(info.exitCode, row.infoStatus) << info.err;
        EXPECT_EQ(info.out, row.infoStatus == 0 ? "Trust Phone\n" : "");
        if (row.infoStatus != 0) {
            EXPECT_EQ(info.err, std::string("torvane-cli: info: ") + row.advice + "\n");
        }
        if (row.infoStatus != row.devicesStatus) {
            // A file command needs the services the name did not.
            const ProcessResult df = cli({ "--json", "df" });
            EXPECT_EQ(df.exitCode, row.devicesStatus) << df.err;
            EXPECT_NE(df.err.find(row.advice), std::string::npos) << df.err;
        }

        // The user answers the phone; the fault goes away.
        ASSERT_EQ(sim->ctl({ "trust", udid, "trusted" }).exitCode, 0);
        ASSERT_TRUE(sim->clearFaults(udid));
        const ProcessResult recovered = cli({ "--json", "devices" });
        EXPECT_EQ(recovered.exitCode, 0) << recovered.err;
        EXPECT_NE(recovered.out.find("\"state\": \"usable\""), std::string::npos) << recovered.out;
        EXPECT_EQ(recovered.err, "");
    }
}

TEST_F(CliTrustTest, ForgottenPairingIsReplacedAndMissingUsbServiceIsNamed)
{
    ASSERT_EQ(sim->ctl({ "trust", udid, "trusted" }).exitCode, 0);
    const ProcessResult first = cli({ "info", "DeviceName" });
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const fs::path record = sim->statePath() / "pair-records" / (udid + ".plist");
    ASSERT_TRUE(fs::exists(record));
    const auto firstWrite = fs::last_write_time(record);

    // The phone dropped its pairings: the stale record is replaced and the command succeeds.
    ASSERT_EQ(sim->ctl({ "trust", udid, "forgotten" }).exitCode, 0);
    const ProcessResult again = cli({ "info", "DeviceName" });
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(again.out, "Trust Phone\n");
    EXPECT_NE(fs::last_write_time(record), firstWrite);
    EXPECT_EQ(sim->ctl({ "list" }).out.find("trust "), std::string::npos);

    // A phone that forgot this computer and asks again gets the question answered first; the
    // record stays until the phone accepts a new pairing.
    ASSERT_EQ(sim->ctl({ "trust", udid, "forgotten" }).exitCode, 0);
    ASSERT_EQ(sim->ctl({ "trust", udid, "dialog-pending" }).exitCode, 0);
    const auto beforeQuestion = fs::last_write_time(record);
    EXPECT_EQ(cli({ "info", "DeviceName" }).exitCode, 5);
    EXPECT_EQ(fs::last_write_time(record), beforeQuestion) << "the record is kept while the question waits";
    ASSERT_EQ(sim->ctl({ "trust", udid, "trusted" }).exitCode, 0);
    EXPECT_EQ(cli({ "info", "DeviceName" }).out, "Trust Phone\n");
    EXPECT_NE(fs::last_write_time(record), beforeQuestion) << "pairing again replaced it";

    // No usbmuxd: say which service is missing and how to get it, for people and for scripts.
    const std::string missing = "USBMUXD_SOCKET_ADDRESS=UNIX:" + (folder.path() / "no-such.sock").string();
    const ProcessResult plain = runProcess({ "env", missing, SimulatorFixture::cliPath(), "devices" }, 30s);
    EXPECT_EQ(plain.exitCode, 3);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.err,
        "torvane-cli: devices: The USB service for iPhones (usbmuxd) is not running: install it with \"sudo apt "
        "install usbmuxd\", then plug the phone in or start it with \"sudo systemctl start usbmuxd\".\n");
    const ProcessResult json = runProcess({ "env", missing, SimulatorFixture::cliPath(), "--json", "ls" }, 30s);
    EXPECT_EQ(json.exitCode, 3);
    EXPECT_NE(json.err.find("{\"error\":{\"command\":\"ls\",\"message\":\"The USB service"), std::string::npos)
        << json.err;
}
