// The app, file-relay and sync clients against torvane-simd (icons and screenshots: DeviceImagesTest).

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMAuxiliaryServices.h"
#include "device/AMDevice.h"
#include "device/AMInstallationProxy.h"
#include "device/MobileDeviceAccess.h"
#include "tests/device/integration/AttachedDevice.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace {

/// The demo phone, attached and listed.
class DeviceServices : public AttachedDeviceTest
{
protected:
    void SetUp() override
    {
        AttachedDeviceTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        device = waitForDevice(SimulatorFixture::DEMO_UDID);
        ASSERT_TRUE(device) << "the demo phone never attached";
    }

    void TearDown() override
    {
        device.reset();
        AttachedDeviceTest::TearDown();
    }

    std::shared_ptr<AMDevice> device;
};

} // namespace

TEST_F(DeviceServices, ListsUserAppsWithTheirAttributes)
{
    const auto apps = device->installedApplications();
    ASSERT_TRUE(apps.has_value()) << device->lasterror().value_or("");
    ASSERT_FALSE(apps->empty());
    for (const AMApplication& app : *apps) {
        SCOPED_TRACE(app.description());
        EXPECT_FALSE(app.bundleid().empty());
        EXPECT_FALSE(app.appname().empty());
        EXPECT_EQ(app.valueForKey("ApplicationType"), PlistValue("User"));
        EXPECT_TRUE(app.valueForKey("CFBundleVersion").isString());
        EXPECT_FALSE(app.appdir().empty());
    }
    const auto one = device->installedApplicationWithId(apps->front().bundleid());
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->bundleid(), apps->front().bundleid());
    EXPECT_FALSE(device->installedApplicationWithId("com.example.not-installed").has_value());

    // The installation proxy's own browse agrees with the library lookup on the user apps.
    auto proxy = device->newAMInstallationProxyWithDelegate(nullptr);
    ASSERT_TRUE(proxy);
    const auto browsed = proxy->browseFiltered(
        [](const AMApplication& app) { return app.valueForKey("ApplicationType") == PlistValue("User"); });
    ASSERT_TRUE(browsed.has_value()) << proxy->lasterror().value_or("");
    EXPECT_EQ(browsed->size(), apps->size());
}

TEST_F(DeviceServices, FileRelayGivesAReadableArchive)
{
    auto relay = device->newAMFileRelay();
    ASSERT_TRUE(relay);
    TemporaryDirectory folder;
    const std::string path = (folder.path() / "sets.cpio.gz").string();
    {
        std::ofstream out(path, std::ios::binary);
        ASSERT_TRUE(relay->getFileSets({ "WiFi", "Network" }, out)) << relay->lasterror().value_or("");
    }
    std::ostringstream again;
    EXPECT_FALSE(relay->getFileSet("WiFi", again));
    EXPECT_EQ(relay->lasterror(), "AlreadyUsed");

    const ProcessResult unpacked = runProcess({ "gzip", "-dc", path }, std::chrono::seconds(30));
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.err;
    ASSERT_GE(unpacked.out.size(), 6u);
    // Portable (odc) or new ASCII cpio headers.
    const std::string magic = unpacked.out.substr(0, 6);
    EXPECT_TRUE(magic == "070707" || magic == "070701" || magic == "070702") << magic;
    EXPECT_NE(unpacked.out.find("TRAILER!!!"), std::string::npos);

    auto refused = device->newAMFileRelay();
    ASSERT_TRUE(refused);
    std::ostringstream nothing;
    EXPECT_FALSE(refused->getFileSet("NoSuchSet", nothing));
    EXPECT_TRUE(refused->lasterror().has_value());
}

TEST_F(DeviceServices, SyncClientRunsItsExchanges)
{
    LogCapture log;
    auto sync = device->newAMMobileSync();
    ASSERT_TRUE(sync);
    EXPECT_EQ(sync->getContactData(), nullptr);
    sync.reset(); // sends the farewell
    const std::vector<std::string> lines = log.lines();
    const auto at
        = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
    ASSERT_LT(at("waiting for the version exchange"), std::ptrdiff_t(lines.size()));
    EXPECT_LT(at("waiting for the version exchange"), at("sending OK"));
    EXPECT_LT(at("sending OK"), at("waiting reply"));
    ASSERT_LT(at("waiting reply") + 1, std::ptrdiff_t(lines.size()));
    // The device's answers are logged as property lists, never "(null)".
    EXPECT_NE(lines[std::size_t(at("waiting reply") + 1)], "(null)");
    EXPECT_NE(lines[std::size_t(at("sending OK") + 1)], "(null)");
}
