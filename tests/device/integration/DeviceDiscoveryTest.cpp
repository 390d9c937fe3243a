#include "base/Log.h"
#include "tests/device/integration/AttachedDevice.h"

#include <cstdlib>

#include <usbmuxd.h>

using namespace std::chrono_literals;

using DeviceDiscovery = AttachedDeviceTest;

namespace {

/// The pair record usbmuxd keeps for `udid`, or nothing.
std::optional<PlistValue> readPairRecord(const std::string& udid)
{
    char* data = nullptr;
    std::uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) < 0 || !data) {
        return std::nullopt;
    }
    std::optional<PlistValue> record = PlistCodec::fromAny(std::string_view(data, size));
    std::free(data);
    return record;
}

bool savePairRecord(const std::string& udid, const PlistDictionary& record)
{
    const std::string bytes = PlistCodec::toBinary(PlistValue(record)).value();
    return usbmuxd_save_pair_record(udid.c_str(), bytes.data(), std::uint32_t(bytes.size())) == 0;
}

} // namespace

TEST_F(DeviceDiscovery, AttachAndDetachReachTheListener)
{
    const auto demo = waitForDevice(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(demo);
    EXPECT_EQ(demo->deviceName(), "Demo iPhone");
    EXPECT_EQ(demo->interfaceType(), AMDeviceInterfaceType::Usb);

    ASSERT_TRUE(sim.attach("modern"));
    const auto modern = waitForDevice(SimulatorFixture::MODERN_UDID);
    ASSERT_TRUE(modern);
    EXPECT_EQ(manager->devices().size(), 2u);

    ASSERT_TRUE(sim.detach(SimulatorFixture::MODERN_UDID));
    ASSERT_TRUE(waitUntilGone(SimulatorFixture::MODERN_UDID));
    EXPECT_EQ(listener.events,
        (std::vector<std::string> { std::string("connected ") + SimulatorFixture::DEMO_UDID,
            std::string("connected ") + SimulatorFixture::MODERN_UDID,
            std::string("disconnected ") + SimulatorFixture::MODERN_UDID }));
    // The departed device fails cleanly; the other still answers.
    EXPECT_FALSE(modern->deviceValueForKey("DeviceName"));
    EXPECT_EQ(demo->deviceValueForKey("DeviceName"), PlistValue("Demo iPhone"));
}

TEST_F(DeviceDiscovery, SecondManagerStartsWithTheDevicesAlreadyAttached)
{
    ASSERT_TRUE(waitForDevice(SimulatorFixture::DEMO_UDID));
    MobileDeviceAccess second(MobileDevice::shared());
    RecordingListener heard;
    second.setListener(&heard);
    ASSERT_TRUE(loop.runUntil([&] { return second.devices().size() == 1; }, 20s));
    EXPECT_EQ(heard.events, std::vector<std::string> { std::string("connected ") + SimulatorFixture::DEMO_UDID });
    // Each manager has its own device object for the same phone.
    EXPECT_NE(second.devices().front(), manager->devices().front());
}

TEST_F(DeviceDiscovery, DeviceValuesMatchWhatTheDeviceReports)
{
    const auto demo = waitForDevice(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(demo);
    EXPECT_EQ(demo->udid(), SimulatorFixture::DEMO_UDID);
    const auto version = demo->deviceValueForKey("ProductVersion");
    ASSERT_TRUE(version && version->isString());
    // An independent client of the same simulated phone agrees.
    const ProcessResult info = runProcess({ "ideviceinfo", "-u", SimulatorFixture::DEMO_UDID, "-k", "ProductVersion" });
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(info.out, *version->asString() + "\n");

    const auto usage = demo->allDeviceValuesForDomain("com.apple.disk_usage");
    ASSERT_TRUE(usage && usage->isDictionary());
    const auto total = usage->find("TotalDiskCapacity");
    ASSERT_TRUE(total && total->toUInt64());
    EXPECT_GT(*total->toUInt64(), 0u);
    const auto available = usage->find("AmountDataAvailable");
    ASSERT_TRUE(available && available->toUInt64());
    EXPECT_LE(*available->toUInt64(), *total->toUInt64());

    EXPECT_FALSE(demo->deviceValueForKey("NoSuchKeyAnywhere"));
    EXPECT_EQ(demo->productType().has_value(), demo->deviceValueForKey("ProductType").has_value());
    EXPECT_FALSE(demo->isConnected());
    EXPECT_FALSE(demo->isInSession());
}

TEST_F(DeviceDiscovery, RefusedSessionAfterPairingAgainIsReportedAsSuch)
{
    const auto demo = waitForDevice(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(demo);
    ASSERT_TRUE(sim.fault(SimulatorFixture::DEMO_UDID, { "refuse-session" }));
    ASSERT_TRUE(demo->deviceConnect());
    // The phone rejects the record, then also the pairing made to replace it.
    EXPECT_FALSE(demo->startSession());
    EXPECT_EQ(demo->lasterror(), "AMDeviceStartSession failed: e8000087");
    EXPECT_EQ(demo->lastStatus(), AMDStatus::SessionRefusedError);
    EXPECT_TRUE(demo->deviceDisconnect());
    EXPECT_EQ(demo->checkUsable(), AMDeviceState::SessionRefused);
    EXPECT_FALSE(demo->isConnected());

    // A device that attaches while the computer is not trusted is listed without name or UDID.
    ASSERT_TRUE(sim.detach(SimulatorFixture::DEMO_UDID));
    ASSERT_TRUE(waitUntilGone(SimulatorFixture::DEMO_UDID));
    ASSERT_TRUE(sim.attach(SimulatorFixture::DEMO_UDID));
    ASSERT_TRUE(loop.runUntil([&] { return manager->devices().size() == 1; }, 20s));
    EXPECT_FALSE(manager->devices().front()->deviceName());
    EXPECT_FALSE(manager->devices().front()->udid());
}

TEST_F(DeviceDiscovery, RestartedDaemonAtCustomPathIsFoundAgain)
{
    ASSERT_TRUE(waitForDevice(SimulatorFixture::DEMO_UDID));
    ASSERT_TRUE(sim.restart()) << sim.lastError();
    // libusbmuxd reports the device gone when the daemon goes, and finds the new daemon by
    // polling (inotify would wait for the system path only).
    ASSERT_TRUE(loop.runUntil(
        [&] {
            return std::count(listener.events.begin(), listener.events.end(),
                       std::string("connected ") + SimulatorFixture::DEMO_UDID)
                == 2;
        },
        30s));
    EXPECT_EQ(manager->devices().size(), 1u);
}

TEST_F(DeviceDiscovery, PairsWhenNeededAndNeedsTheRecordsCertificates)
{
    const auto demo = waitForDevice(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(demo);
    const auto first = readPairRecord(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(first) << "the first session leaves a pair record behind";
    const std::string firstHost = first->stringForKey("HostID");
    ASSERT_FALSE(firstHost.empty());

    auto session = [&] {
        const bool started = demo->deviceConnect() && demo->startSession();
        const std::optional<std::string> error = demo->lasterror();
        if (demo->isInSession()) {
            EXPECT_TRUE(demo->stopSession());
        }
        if (demo->isConnected()) {
            EXPECT_TRUE(demo->deviceDisconnect());
        }
        return started ? std::string("ok") : error.value_or("?");
    };

    // Without a record the computer pairs again, the way libimobiledevice does it.
    ASSERT_EQ(usbmuxd_delete_pair_record(SimulatorFixture::DEMO_UDID), 0);
    ASSERT_FALSE(readPairRecord(SimulatorFixture::DEMO_UDID));
    EXPECT_EQ(session(), "ok");
    const auto second = readPairRecord(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(second);
    const std::string secondHost = second->stringForKey("HostID");
    // (libimobiledevice seeds its host IDs from the time in seconds, so a pairing within the
    // same second may repeat the first ID: only the record's return is checked.)
    EXPECT_FALSE(secondHost.empty());

    struct Row
    {
        const char* name;
        PlistDictionary record;
        std::string outcome;
    };
    const std::vector<Row> rows {
        // The phone runs its sessions in TLS and wants the pairing's certificate, which a record
        // of the host id alone cannot present.
        { "only the trusted host id", { { "HostID", secondHost } },
            stringWithFormat("AMDeviceStartSession failed: %x", AMDStatus::CryptoError) },
        // A record the phone does not know is replaced by pairing again.
        { "unknown host id", { { "HostID", "00000000-0000-0000-0000-000000000000" } }, "ok" },
        { "no host id", { { "SystemBUID", "ABC" } },
            stringWithFormat("AMDeviceStartSession failed: %x", AMDStatus::MissingHostIDError) },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(savePairRecord(SimulatorFixture::DEMO_UDID, row.record));
        EXPECT_EQ(session(), row.outcome);
    }
}

TEST_F(DeviceDiscovery, TrustStatesAreToldApartAndAForgottenPairingIsReplaced)
{
    const std::string udid = SimulatorFixture::DEMO_UDID;
    const auto demo = waitForDevice(udid);
    ASSERT_TRUE(demo);
    EXPECT_EQ(demo->checkUsable(), AMDeviceState::Usable);
    const std::optional<PlistValue> firstRecord = readPairRecord(udid);
    ASSERT_TRUE(firstRecord);
    ASSERT_FALSE(firstRecord->stringForKey("HostID").empty());

    // The phone forgot this computer: pairing again, which the phone accepts, replaces the stale
    // record. Its keys are new; its HostID may not be, since libimobiledevice seeds that
    // identifier's generator with the time in seconds.
    ASSERT_EQ(sim.ctl({ "trust", udid, "forgotten" }).exitCode, 0);
    EXPECT_EQ(demo->checkUsable(), AMDeviceState::Usable);
    const std::optional<PlistValue> secondRecord = readPairRecord(udid);
    ASSERT_TRUE(secondRecord);
    EXPECT_FALSE(secondRecord->stringForKey("HostID").empty());
    EXPECT_FALSE(*secondRecord == *firstRecord) << "the stale record was replaced";
    EXPECT_EQ(sim.ctl({ "list" }).out.find("trust "), std::string::npos) << "pairing made the phone trusted";

    const struct
    {
        const char* state;
        AMDeviceState expected;
        MDStatus status;
    } rows[] = {
        { "passcode-locked", AMDeviceState::PasscodeLocked, AMDStatus::PasswordProtectedError },
        { "dialog-pending", AMDeviceState::TrustDialogPending, AMDStatus::PairingDialogPendingError },
        { "denied", AMDeviceState::TrustDenied, AMDStatus::UserDeniedPairingError },
        { "trusted", AMDeviceState::Usable, AMDStatus::Success },
    };
    // A refusal that pairing again would not cure keeps the record and its keys as they are.
    const auto keys = [&] {
        const PlistValue record = readPairRecord(udid).value_or(PlistValue());
        std::string joined = record.stringForKey("HostID");
        for (const char* key : { "RootPrivateKey", "HostPrivateKey", "RootCertificate" }) {
            const PlistValue* value = record.find(key);
            joined += value && value->asData() ? std::string(value->asData()->begin(), value->asData()->end()) : "-";
        }
        return joined;
    };
    const std::string pairedKeys = keys();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        ASSERT_EQ(sim.ctl({ "trust", udid, row.state }).exitCode, 0);
        EXPECT_EQ(demo->checkUsable(), row.expected);
        EXPECT_EQ(keys(), pairedKeys);
        EXPECT_FALSE(demo->isConnected());
        if (row.status != AMDStatus::Success) {
            EXPECT_EQ(demo->lastStatus(), row.status);
            EXPECT_EQ(demo->lasterror(), stringWithFormat("AMDeviceStartSession failed: %x", row.status));
        }
    }

    // Refused services and a phone reached only over the network.
    ASSERT_TRUE(sim.fault(udid, { "refuse-services" }));
    EXPECT_EQ(demo->checkUsable(), AMDeviceState::ServicesRefused);
    ASSERT_TRUE(sim.fault(udid, { "refuse-services", "PasswordProtected" }));
    EXPECT_EQ(demo->checkUsable(), AMDeviceState::PasscodeLocked);
    ASSERT_TRUE(sim.clearFaults(udid));
    EXPECT_EQ(demo->checkUsable(), AMDeviceState::Usable);
}

TEST_F(DeviceDiscovery, MissingUsbServiceIsDetected)
{
    EXPECT_TRUE(manager->usbServiceRunning());
    const std::string address = sim.socketAddress();
    ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + sim.socketPath().string() + ".absent").c_str(), 1);
    EXPECT_FALSE(manager->usbServiceRunning());
    ::setenv("USBMUXD_SOCKET_ADDRESS", address.c_str(), 1);
    EXPECT_TRUE(manager->usbServiceRunning());
}
