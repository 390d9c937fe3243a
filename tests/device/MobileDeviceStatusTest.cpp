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
