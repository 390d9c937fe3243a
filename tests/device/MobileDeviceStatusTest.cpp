#include "device/AMDeviceState.h"
#include "device/mobile_device.h"

#include <set>

#include <gtest/gtest.h>

TEST(MobileDeviceStatus, NamesAndTextsOfKnownAndUnknownNumbers)
{
    struct Row
    {
        MDStatus status;
        const char* name;
        const char* text;
    };
    for (const Row& row :
        { Row { 0, "Success", "Success" }, Row { AFCStatus::ObjectNotFound, "AFCStatus::ObjectNotFound", "Not found" },
            Row { AFCStatus::ConnectionError, "AFCStatus::ConnectionError", "Connection to the device failed" },
            Row { AMDStatus::InvalidHostIDError, "AMDStatus::InvalidHostIDError",
                "Invalid host ID (the device does not trust this computer)" },
            Row { 0xE8000084, "AMDStatus::ServiceConnectError", "Cannot connect to the started service" } }) {
        SCOPED_TRACE(row.name);
        EXPECT_STREQ(mobileDeviceStatusName(row.status), row.name);
        EXPECT_EQ(mobileDeviceStatusText(row.status), row.text);
    }
    EXPECT_EQ(mobileDeviceStatusName(0xE80000FF), nullptr);
    EXPECT_EQ(mobileDeviceStatusText(0xE80000FF), "Unknown status 0xe80000ff");
    EXPECT_EQ(mobileDeviceStatusText(29), "Unknown status 0x1d");
}

TEST(MobileDeviceStatus, EveryAfcWireNumberHasAName)
{
    std::set<std::string> names;
    for (MDStatus status = 0; status <= AFCStatus::InternalError; ++status) {
        SCOPED_TRACE(status);
        const char* name = mobileDeviceStatusName(status);
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(names.insert(name).second);
    }
}

TEST(MobileDeviceStatus, SessionAndServiceFailuresBecomeStatesWithTheirOwnTexts)
{
    const struct
    {
        MDStatus status;
        AMDeviceState session;
        AMDeviceState service;
    } rows[] = {
        { AMDStatus::Success, AMDeviceState::Usable, AMDeviceState::Usable },
        { AMDStatus::PasswordProtectedError, AMDeviceState::PasscodeLocked, AMDeviceState::PasscodeLocked },
        { AMDStatus::PairingDialogPendingError, AMDeviceState::TrustDialogPending, AMDeviceState::TrustDialogPending },
        { AMDStatus::UserDeniedPairingError, AMDeviceState::TrustDenied, AMDeviceState::TrustDenied },
        { AMDStatus::InvalidHostIDError, AMDeviceState::PairingForgotten, AMDeviceState::PairingForgotten },
        { AMDStatus::SessionRefusedError, AMDeviceState::SessionRefused, AMDeviceState::SessionRefused },
        { AMDStatus::ServiceProhibitedError, AMDeviceState::Unreachable, AMDeviceState::ServicesRefused },
        { AMDStatus::InvalidServiceError, AMDeviceState::Unreachable, AMDeviceState::ServicesRefused },
        { AMDStatus::MuxError, AMDeviceState::UsbServiceNotRunning, AMDeviceState::UsbServiceNotRunning },
        { AMDStatus::DeviceDetachedError, AMDeviceState::Unreachable, AMDeviceState::Unreachable },
        { AMDStatus::TimeOutError, AMDeviceState::Unreachable, AMDeviceState::Unreachable },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(mobileDeviceStatusText(row.status));
        EXPECT_EQ(deviceStateForSessionStatus(row.status), row.session);
        EXPECT_EQ(deviceStateForServiceStatus(row.status), row.service);
    }
    // Every state has its own name and, except Usable, advice to act on.
    std::set<std::string> names;
    for (int value = int(AMDeviceState::Usable); value <= int(AMDeviceState::Unreachable); ++value) {
        const AMDeviceStateText& text = deviceStateText(AMDeviceState(value));
        EXPECT_TRUE(names.insert(text.name).second) << text.name;
        EXPECT_EQ(std::string(text.advice).empty(), AMDeviceState(value) == AMDeviceState::Usable) << text.name;
    }
    EXPECT_EQ(names.size(), 10u);
}
