#include "device/AMDevice.h"

#include "base/Log.h"
#include "device/AMService.h"
#include "tests/device/ScriptedMobileDevice.h"

#include <gtest/gtest.h>

namespace {

struct DeviceFixture : ::testing::Test
{
    ScriptedMobileDevice library;
    std::shared_ptr<ScriptedMobileDevice::Handle> handle
        = library.makeDevice("00008110-0011223344556677", "Ada's iPhone");
};

} // namespace

using AMDeviceCreation = DeviceFixture;
using AMDeviceBracketing = DeviceFixture;
using AMDeviceServices = DeviceFixture;

TEST_F(AMDeviceCreation, ReadsNameAndIdentifierInsideItsOwnBrackets)
{
    auto device = AMDevice::deviceFrom(handle, library);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->deviceName(), "Ada's iPhone");
    EXPECT_EQ(device->udid(), "00008110-0011223344556677");
    EXPECT_EQ(device->description(), "AMDevice('Ada's iPhone')");
    EXPECT_EQ(library.calls,
        (std::vector<std::string> { "AMDeviceConnect", "AMDeviceStartSession", "AMDeviceCopyValue",
            "AMDeviceStopSession", "AMDeviceStartSession", "AMDeviceCopyValue", "AMDeviceStopSession",
            "AMDeviceDisconnect" }));
    EXPECT_FALSE(device->isConnected());
    EXPECT_FALSE(device->isInSession());
    EXPECT_TRUE(device->isDevice(handle));
}

TEST_F(AMDeviceCreation, FailedConnectGivesNoDeviceAndLogsTheReason)
{
    LogCapture log;
    library.setStatus("AMDeviceConnect", 0xE8000007);
    EXPECT_FALSE(AMDevice::deviceFrom(handle, library));
    EXPECT_TRUE(log.contains("Failed to create AMDevice: AMDeviceConnect failed: e8000007"));

    std::string reason;
    EXPECT_FALSE(AMDevice::initWithDevice(handle, &reason, library));
    EXPECT_EQ(reason, "AMDeviceConnect failed: e8000007");
}

TEST_F(AMDeviceCreation, UntrustedDeviceIsCreatedWithoutNameOrIdentifier)
{
    library.setStatus("AMDeviceStartSession", AMDStatus::InvalidHostIDError);
    auto device = AMDevice::deviceFrom(handle, library);
    ASSERT_TRUE(device);
    EXPECT_FALSE(device->deviceName());
    EXPECT_FALSE(device->udid());
    EXPECT_EQ(device->description(), "AMDevice('(null)')");
    EXPECT_EQ(library.countOf("AMDeviceCopyValue"), 0);
    // Every failed session start after the connection made at creation leaves the connection be;
    // the creation closes it at the end.
    EXPECT_EQ(library.calls.back(), "AMDeviceDisconnect");
    EXPECT_FALSE(handle->connected);
}

TEST_F(AMDeviceBracketing, ValueReadClosesOnlyWhatItOpened)
{
    auto device = AMDevice::deviceFrom(handle, library);
    ASSERT_TRUE(device);
    handle->values["ProductVersion"] = "8.3";

    library.calls.clear();
    EXPECT_EQ(device->deviceValueForKey("ProductVersion"), PlistValue("8.3"));
    EXPECT_EQ(library.calls,
        (std::vector<std::string> { "AMDeviceConnect", "AMDeviceStartSession", "AMDeviceCopyValue",
            "AMDeviceStopSession", "AMDeviceDisconnect" }));

    ASSERT_TRUE(device->deviceConnect());
    ASSERT_TRUE(device->startSession());
    library.calls.clear();
    EXPECT_EQ(device->deviceValueForKey("ProductVersion"), PlistValue("8.3"));
    EXPECT_EQ(library.calls, std::vector<std::string> { "AMDeviceCopyValue" });
    EXPECT_TRUE(device->isInSession());
    EXPECT_TRUE(device->isConnected());

    ASSERT_TRUE(device->stopSession());
    library.calls.clear();
    EXPECT_EQ(device->deviceValueForKey("ProductVersion"), PlistValue("8.3"));
    EXPECT_EQ(library.calls,
        (std::vector<std::string> { "AMDeviceStartSession", "AMDeviceCopyValue", "AMDeviceStopSession" }));
    EXPECT_TRUE(device->isConnected());
}

TEST_F(AMDeviceBracketing, FailedSessionStillDisconnectsAndKeepsTheSessionError)
{
    auto device = AMDevice::deviceFrom(handle, library);
    ASSERT_TRUE(device);
    library.setStatus("AMDeviceStartSession", AMDStatus::InvalidHostIDError);
    library.calls.clear();
    EXPECT_FALSE(device->deviceValueForKey("DeviceName"));
    EXPECT_EQ(
        library.calls, (std::vector<std::string> { "AMDeviceConnect", "AMDeviceStartSession", "AMDeviceDisconnect" }));
    // The clean-up disconnect does not wipe the reason the caller needs to see.
    EXPECT_EQ(device->lasterror(), "AMDeviceStartSession failed: e800001c");
    EXPECT_FALSE(device->isConnected());
}

TEST_F(AMDeviceBracketing, StatusTextsNameTheCallInLowerCaseHex)
{
    auto device = AMDevice::deviceFrom(handle, library);
    ASSERT_TRUE(device);
    struct Row
    {
        const char* operation;
        MDStatus status;
        std::function<bool()> call;
        const char* text;
    };
    const std::vector<Row> rows {
        { "AMDeviceConnect", AMDStatus::MuxError, [&] { return device->deviceConnect(); },
            "AMDeviceConnect failed: e8000080" },
        { "AMDeviceStartSession", AMDStatus::PasswordProtectedError, [&] { return device->startSession(); },
            "AMDeviceStartSession failed: e800001a" },
        { "AMDeviceStopSession", AMDStatus::SessionInactiveError, [&] { return device->stopSession(); },
            "AMDeviceStopSession failed: e800001e" },
        { "AMDeviceDisconnect", AMDStatus::UndefinedError, [&] { return device->deviceDisconnect(); },
            "AMDeviceDisconnect failed: e8000001" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.operation);
        library.setStatus(row.operation, row.status);
        EXPECT_FALSE(row.call());
        EXPECT_EQ(device->lasterror(), row.text);
        library.setStatus(row.operation, 0);
        EXPECT_TRUE(row.call());
        EXPECT_FALSE(device->lasterror());
    }
}

TEST_F(AMDeviceBracketing, ForgottenDeviceFailsWithoutCallingTheLibrary)
{
    auto device = AMDevice::deviceFrom(handle, library);
    ASSERT_TRUE(device);
    device->forgetDevice();
    library.calls.clear();
    EXPECT_FALSE(device->isDevice(handle));
    EXPECT_FALSE(device->deviceConnect());
    EXPECT_EQ(device->lasterror(), "AMDeviceConnect failed: e8000082");
    EXPECT_FALSE(device->deviceValueForKey("DeviceName"));
    EXPECT_FALSE(device->startService("com.apple.afc"));
    EXPECT_EQ(device->interfaceType(), AMDeviceInterfaceType::Unknown);
    EXPECT_TRUE(library.calls.empty());
    // The name read at creation stays.
    EXPECT_EQ(device->deviceName(), "Ada's iPhone");
}

TEST_F(AMDeviceBracketing, TerminationEndsWhatIsOpen)
{
    auto device = AMDevice::deviceFrom(handle, library);
    ASSERT_TRUE(device);
    ASSERT_TRUE(device->deviceConnect());
    ASSERT_TRUE(device->startSession());
    library.calls.clear();
    device->applicationWillTerminate();
    EXPECT_EQ(library.calls, (std::vector<std::string> { "AMDeviceStopSession", "AMDeviceDisconnect" }));
    library.calls.clear();
    device->applicationWillTerminate();
    EXPECT_TRUE(library.calls.empty());
}

TEST_F(AMDeviceServices, StartFailureIsLoggedAsMachErrorParts)
{
    auto device = AMDevice::deviceFrom(handle, library);
    ASSERT_TRUE(device);
    struct Row
    {
        MDStatus status;
        const char* line;
    };
    for (const Row& row : { Row { 0xE8000084, "AMDeviceStartService failed: 0x3a,0,0x84" },
             Row { AMDStatus::InvalidServiceError, "AMDeviceStartService failed: 0x3a,0,0x22" },
             Row { 0x12345678, "AMDeviceStartService failed: 0x4,0x8d1,0x1678" } }) {
        SCOPED_TRACE(row.line);
        LogCapture log;
        library.setStatus("AMDeviceStartService", row.status);
        EXPECT_FALSE(device->startService("com.apple.afc"));
        EXPECT_EQ(log.lines(), std::vector<std::string> { row.line });
    }
}

TEST_F(AMDeviceServices, ServiceClientBracketOutlivesTheSession)
{
    auto device = AMDevice::deviceFrom(handle, library);
    ASSERT_TRUE(device);
    library.calls.clear();
    auto service
        = device->newServiceClient<AMService>([&] { return AMService::serviceWithName("com.apple.x", *device); });
    ASSERT_TRUE(service);
    EXPECT_EQ(library.calls,
        (std::vector<std::string> { "AMDeviceConnect", "AMDeviceStartSession", "AMDeviceStartService",
            "AMDeviceStopSession", "AMDeviceDisconnect" }));
    // The connection is the service's own and still usable after the bracket closed.
    library.lastService->addReply(PlistValue(PlistDictionary { { "Status", "Complete" } }));
    EXPECT_TRUE(service->readXMLReply());

    library.setStatus("AMDeviceStartSession", AMDStatus::InvalidHostIDError);
    library.calls.clear();
    EXPECT_FALSE(
        device->newServiceClient<AMService>([&] { return AMService::serviceWithName("com.apple.x", *device); }));
    EXPECT_EQ(
        library.calls, (std::vector<std::string> { "AMDeviceConnect", "AMDeviceStartSession", "AMDeviceDisconnect" }));
    EXPECT_EQ(device->lasterror(), "AMDeviceStartSession failed: e800001c");
}
