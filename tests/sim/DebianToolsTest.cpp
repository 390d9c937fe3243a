// The Debian command-line tools, unmodified clients of libimobiledevice 1.3.0, against the
// simulator: if they are happy, the wire formats are right.
#include "tests/sim/SimTestSupport.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <libimobiledevice/libimobiledevice.h>
#include <usbmuxd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string DEMO = SimulatorFixture::DEMO_UDID;
const std::string MODERN = SimulatorFixture::MODERN_UDID;
const std::string LEGACY = SimulatorFixture::LEGACY_UDID;

std::set<std::string> lines(const std::string& text)
{
    std::set<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            out.insert(line);
        }
    }
    return out;
}

std::map<std::string, std::string> keyValues(const std::string& text)
{
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) {
            out[line.substr(0, colon)] = line.substr(colon + 2);
        }
    }
    return out;
}

class DebianTools : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_sim = new SimulatorFixture({ "demo", "modern", "legacy" });
        ASSERT_TRUE(s_sim->start()) << s_sim->lastError();
    }
    static void TearDownTestSuite()
    {
        delete s_sim;
        s_sim = nullptr;
    }
    static SimulatorFixture* s_sim;
};

SimulatorFixture* DebianTools::s_sim = nullptr;

} // namespace

TEST_F(DebianTools, IdeviceIdListsTheAttachedProfiles)
{
    const ProcessResult listed = runProcess({ "idevice_id", "-l" }, 15s);
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(lines(listed.out), (std::set<std::string> { DEMO, MODERN, LEGACY }));

    const ProcessResult named = runProcess({ "idevice_id", DEMO }, 15s);
    ASSERT_EQ(named.exitCode, 0) << named.err;
    EXPECT_EQ(named.out, "Demo iPhone\n");
}

TEST_F(DebianTools, IdeviceinfoPrintsTheProfileValues)
{
    const struct
    {
        std::string udid;
        std::string version;
        std::string type;
    } rows[] = { { DEMO, "9.3.5", "iPhone8,1" }, { MODERN, "17.5", "iPhone15,2" }, { LEGACY, "8.2", "iPhone7,2" } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.udid);
        const ProcessResult version = runProcess({ "ideviceinfo", "-u", row.udid, "-k", "ProductVersion" }, 20s);
        ASSERT_EQ(version.exitCode, 0) << version.err;
        EXPECT_EQ(version.out, row.version + "\n");

        const ProcessResult all = runProcess({ "ideviceinfo", "-u", row.udid }, 20s);
        ASSERT_EQ(all.exitCode, 0) << all.err;
        const auto values = keyValues(all.out);
        EXPECT_EQ(values.at("UniqueDeviceID"), row.udid);
        EXPECT_EQ(values.at("ProductType"), row.type);
        EXPECT_EQ(values.at("ProductVersion"), row.version);
        EXPECT_EQ(values.at("DeviceClass"), "iPhone");
        EXPECT_FALSE(values.at("SerialNumber").empty());
        EXPECT_FALSE(values.at("BuildVersion").empty());
        EXPECT_EQ(values.at("TimeZone"), "Europe/Berlin");
        EXPECT_EQ(values.count("TimeZoneOffsetFromUTC"), 1U);
        EXPECT_EQ(values.at("ProtocolVersion"), "2");

        // The phone's clock is the simulator's: seconds since 1970 as a real number.
        const auto before = std::chrono::system_clock::now();
        const ProcessResult clock = runProcess({ "ideviceinfo", "-u", row.udid, "-k", "TimeIntervalSince1970" }, 20s);
        const auto after = std::chrono::system_clock::now();
        ASSERT_EQ(clock.exitCode, 0) << clock.err;
        const double seconds = std::strtod(clock.out.c_str(), nullptr);
        EXPECT_NE(clock.out.find('.'), std::string::npos) << clock.out;
        EXPECT_GE(seconds, std::chrono::duration<double>(before.time_since_epoch()).count() - 1);
        EXPECT_LE(seconds, std::chrono::duration<double>(after.time_since_epoch()).count() + 1);
    }
    // A value the phone does not have prints nothing and still succeeds.
    const ProcessResult missing = runProcess({ "ideviceinfo", "-u", DEMO, "-k", "NoSuchKey" }, 20s);
    EXPECT_EQ(missing.exitCode, 0);
    EXPECT_EQ(missing.out, "");
}

TEST_F(DebianTools, DiskUsageAgreesWithTheStorageModel)
{
    for (const std::string& udid : { DEMO, MODERN }) {
        SCOPED_TRACE(udid);
        const ProcessResult usage = runProcess({ "ideviceinfo", "-u", udid, "-q", "com.apple.disk_usage" }, 20s);
        ASSERT_EQ(usage.exitCode, 0) << usage.err;
        const auto values = keyValues(usage.out);
        const auto model = s_sim->storage(udid);
        ASSERT_FALSE(model.empty());
        EXPECT_EQ(std::stoull(values.at("TotalDataCapacity")), model.at("total"));
        EXPECT_EQ(std::stoull(values.at("AmountDataAvailable")), model.at("free"));
        EXPECT_EQ(std::stoull(values.at("AmountDataReserved")), model.at("reserve"));
        EXPECT_EQ(std::stoull(values.at("TotalDataAvailable")), model.at("free") + model.at("reserve"));
    }
    // An HFS+-era phone also says what its apps and photos take, from the same model: the camera
    // roll is what its files occupy in whole blocks; a later phone leaves the extras out.
    const auto extras = keyValues(runProcess({ "ideviceinfo", "-u", DEMO, "-q", "com.apple.disk_usage" }, 20s).out);
    std::uint64_t cameraRoll = 0;
    for (const char* folder : { "DCIM", "PhotoData" }) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(s_sim->mediaRoot(DEMO) / folder)) {
            if (entry.is_regular_file()) {
                cameraRoll += (entry.file_size() + 4095) / 4096 * 4096;
            }
        }
    }
    EXPECT_GT(cameraRoll, 100'000'000U);
    EXPECT_EQ(std::stoull(extras.at("CameraUsage")), cameraRoll);
    EXPECT_EQ(extras.count("PhotoUsage"), 1U);
    EXPECT_GT(std::stoull(extras.at("MobileApplicationUsage")), 0U);
    EXPECT_LT(std::stoull(extras.at("MobileApplicationUsage")) + cameraRoll, s_sim->storage(DEMO).at("allocated"));
    const auto modern = keyValues(runProcess({ "ideviceinfo", "-u", MODERN, "-q", "com.apple.disk_usage" }, 20s).out);
    EXPECT_EQ(modern.count("CameraUsage") + modern.count("MobileApplicationUsage"), 0U);
    // The demo phone is about 70% full.
    const auto demo = s_sim->storage(DEMO);
    const double used = double(demo.at("allocated")) / double(demo.at("total"));
    EXPECT_GT(used, 0.6);
    EXPECT_LT(used, 0.8);
}

TEST_F(DebianTools, IdevicepairPairsValidatesAndUnpairs)
{
    EXPECT_EQ(
        runProcess({ "idevicepair", "-u", LEGACY, "pair" }, 20s).out, "SUCCESS: Paired with device " + LEGACY + "\n");
    EXPECT_EQ(runProcess({ "idevicepair", "-u", LEGACY, "validate" }, 20s).out,
        "SUCCESS: Validated pairing with device " + LEGACY + "\n");
    // The record lives in the daemon, as usbmuxd keeps it.
    EXPECT_TRUE(fs::exists(s_sim->statePath() / "pair-records" / (LEGACY + ".plist")));
    EXPECT_EQ(runProcess({ "idevicepair", "-u", LEGACY, "unpair" }, 20s).out,
        "SUCCESS: Unpaired with device " + LEGACY + "\n");
    EXPECT_FALSE(fs::exists(s_sim->statePath() / "pair-records" / (LEGACY + ".plist")));

    // An untrusted computer: sessions are refused, so validation fails.
    ASSERT_TRUE(s_sim->fault(LEGACY, { "refuse-session" }));
    const ProcessResult refused = runProcess({ "idevicepair", "-u", LEGACY, "validate" }, 20s);
    EXPECT_NE(refused.exitCode, 0);
    ASSERT_TRUE(s_sim->clearFaults(LEGACY));
    EXPECT_EQ(runProcess({ "idevicepair", "-u", LEGACY, "validate" }, 20s).exitCode, 0);
}

TEST_F(DebianTools, IdevicecrashreportCopiesAndMovesTheCrashLogs)
{
    const fs::path reports = s_sim->crashReporterRoot(DEMO);
    fs::create_directories(reports / "Panics");
    std::ofstream(reports / "Maps-2016-05-01-101010.ips") << "Incident Identifier: 1\nmaps crashed\n";
    std::ofstream(reports / "Panics" / "panic-full-2016-05-02.ips") << "panic text";
    std::ofstream(reports / "Mail-2016-05-03.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>description</key><string>mail report</string></dict></plist>\n";

    TemporaryDirectory copied;
    const ProcessResult copy
        = runProcess({ "idevicecrashreport", "-u", DEMO, "-e", "-k", copied.path().string() }, 60s);
    ASSERT_EQ(copy.exitCode, 0) << copy.out << copy.err;
    EXPECT_NE(copy.out.find("Done."), std::string::npos) << copy.out;
    std::ifstream maps(copied.path() / "Maps-2016-05-01-101010.ips");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(maps), {}), "Incident Identifier: 1\nmaps crashed\n");
    EXPECT_TRUE(fs::exists(copied.path() / "Panics" / "panic-full-2016-05-02.ips"));
    std::ifstream extracted(copied.path() / "Mail-2016-05-03.crash");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(extracted), {}), "mail report");
    EXPECT_TRUE(fs::exists(reports / "Maps-2016-05-01-101010.ips")) << "-k keeps the device's files";
    // A fresh phone already has a few reports of its own, named as its era names them.
    int generated = 0;
    for (const auto& entry : fs::directory_iterator(copied.path())) {
        const std::string name = entry.path().filename().string();
        generated += name.ends_with("_iPhone.ips") && fs::file_size(entry.path()) > 200;
    }
    EXPECT_EQ(generated, 3);

    TemporaryDirectory moved;
    const ProcessResult move = runProcess({ "idevicecrashreport", "-u", DEMO, moved.path().string() }, 60s);
    ASSERT_EQ(move.exitCode, 0) << move.out << move.err;
    EXPECT_TRUE(fs::exists(moved.path() / "Maps-2016-05-01-101010.ips"));
    EXPECT_FALSE(fs::exists(reports / "Maps-2016-05-01-101010.ips"));
    EXPECT_FALSE(fs::exists(reports / "Panics"));
}

TEST_F(DebianTools, DetachAndAttachReachListenersAndCutConnections)
{
    libusbmuxd_set_use_inotify(0);
    struct Seen
    {
        std::mutex mutex;
        std::vector<std::pair<int, std::string>> events;
    } seen;
    ASSERT_EQ(idevice_event_subscribe(
                  [](const idevice_event_t* event, void* data) {
                      auto* target = static_cast<Seen*>(data);
                      std::lock_guard lock(target->mutex);
                      target->events.emplace_back(int(event->event), event->udid);
                  },
                  &seen),
        IDEVICE_E_SUCCESS);
    const auto sawEvent = [&seen](int kind, const std::string& udid) {
        std::lock_guard lock(seen.mutex);
        for (const auto& [eventKind, eventUdid] : seen.events) {
            if (eventKind == kind && eventUdid == udid) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(waitUntil([&] { return sawEvent(IDEVICE_DEVICE_ADD, MODERN); }, 10s));

    LibClient open(MODERN);
    ASSERT_EQ(open.status(), LOCKDOWN_E_SUCCESS);
    ASSERT_TRUE(s_sim->detach(MODERN));
    EXPECT_TRUE(waitUntil([&] { return sawEvent(IDEVICE_DEVICE_REMOVE, MODERN); }, 10s));
    EXPECT_EQ(lines(runProcess({ "idevice_id", "-l" }, 15s).out), (std::set<std::string> { DEMO, LEGACY }));
    // The pulled cable ends the lockdown connection that was open.
    char* name = nullptr;
    EXPECT_NE(lockdownd_get_device_name(open.lockdown(), &name), LOCKDOWN_E_SUCCESS);
    free(name);

    {
        std::lock_guard lock(seen.mutex);
        seen.events.clear();
    }
    ASSERT_TRUE(s_sim->attach(MODERN));
    EXPECT_TRUE(waitUntil([&] { return sawEvent(IDEVICE_DEVICE_ADD, MODERN); }, 10s));
    EXPECT_EQ(lines(runProcess({ "idevice_id", "-l" }, 15s).out), (std::set<std::string> { DEMO, MODERN, LEGACY }));
    idevice_event_unsubscribe();
}

TEST_F(DebianTools, NetworkOnlyDevicesAreNotListedAsUsb)
{
    ASSERT_TRUE(s_sim->fault(LEGACY, { "network-only" }));
    EXPECT_EQ(lines(runProcess({ "idevice_id", "-l" }, 15s).out), (std::set<std::string> { DEMO, MODERN }));
    EXPECT_EQ(lines(runProcess({ "idevice_id", "-n" }, 15s).out), (std::set<std::string> { LEGACY }));
    ASSERT_TRUE(s_sim->clearFaults(LEGACY));
    EXPECT_EQ(lines(runProcess({ "idevice_id", "-l" }, 15s).out), (std::set<std::string> { DEMO, MODERN, LEGACY }));
}

TEST_F(DebianTools, ServicesStartOnlyWhereOffered)
{
    LibClient demo(DEMO);
    ASSERT_EQ(demo.status(), LOCKDOWN_E_SUCCESS);
    lockdownd_error_t error = LOCKDOWN_E_SUCCESS;
    EXPECT_NE(demo.startAfc("com.apple.afc", &error), nullptr);
    EXPECT_EQ(demo.startAfc("com.apple.afc2", &error), nullptr) << "the demo phone is not jailbroken";
    EXPECT_EQ(error, LOCKDOWN_E_INVALID_SERVICE);
    EXPECT_EQ(demo.startAfc("com.example.nothing", &error), nullptr);
    EXPECT_EQ(error, LOCKDOWN_E_INVALID_SERVICE);

    LibClient legacy(LEGACY);
    ASSERT_EQ(legacy.status(), LOCKDOWN_E_SUCCESS);
    afc_client_t whole = legacy.startAfc("com.apple.afc2", &error);
    ASSERT_NE(whole, nullptr);
    const auto names = afcList(whole, "/private/var/mobile");
    EXPECT_NE(std::find(names.begin(), names.end(), "Media"), names.end());

    ASSERT_TRUE(s_sim->fault(DEMO, { "refuse-services" }));
    LibClient refused(DEMO);
    EXPECT_EQ(refused.startAfc("com.apple.afc", &error), nullptr);
    EXPECT_EQ(error, LOCKDOWN_E_SERVICE_PROHIBITED);
    ASSERT_TRUE(s_sim->clearFaults(DEMO));
}

TEST(DebianToolsRestart, IdevicenameSetsANameThatSurvivesARestart)
{
    SimulatorFixture sim({ "modern" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    EXPECT_EQ(runProcess({ "idevicename", "-u", MODERN }, 20s).out, "Modern iPhone\n");
    const ProcessResult set = runProcess({ "idevicename", "-u", MODERN, "Kitchen Phone" }, 20s);
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(runProcess({ "idevicename", "-u", MODERN }, 20s).out, "Kitchen Phone\n");

    EXPECT_TRUE(sim.restart()) << sim.lastError();
    EXPECT_EQ(runProcess({ "idevicename", "-u", MODERN }, 20s).out, "Kitchen Phone\n");
    // The pairing made before the restart still holds: no new record was needed.
    EXPECT_EQ(runProcess({ "idevicepair", "-u", MODERN, "validate" }, 20s).exitCode, 0);
}

TEST_F(DebianTools, StalledRepliesHoldClientsUntilCleared)
{
    ASSERT_TRUE(s_sim->fault(DEMO, { "stall" }));
    const ProcessResult stalled = runProcess({ "ideviceinfo", "-u", DEMO, "-k", "ProductVersion" }, 3s);
    EXPECT_TRUE(stalled.timedOut);
    EXPECT_EQ(stalled.out, "");
    // Other phones and the usbmux socket itself are not held up.
    EXPECT_EQ(runProcess({ "ideviceinfo", "-u", MODERN, "-k", "ProductVersion" }, 20s).out, "17.5\n");
    ASSERT_TRUE(s_sim->clearFaults(DEMO));
    EXPECT_EQ(runProcess({ "ideviceinfo", "-u", DEMO, "-k", "ProductVersion" }, 20s).out, "9.3.5\n");
}
