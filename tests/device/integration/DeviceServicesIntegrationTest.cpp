// The app, icon, notification, log, file-relay and screenshot clients against torvane-simd.

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AMAuxiliaryServices.h"
#include "device/AMDevice.h"
#include "device/AMInstallationProxy.h"
#include "device/AMNotificationProxy.h"
#include "device/AMSyslogRelay.h"
#include "device/MobileDeviceAccess.h"
#include "tests/device/integration/AttachedDevice.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace {

constexpr auto BOUND = std::chrono::seconds(20);

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

    std::optional<std::uint64_t> freeBytes()
    {
        auto afc = device->newAFCMediaDirectory();
        if (!afc) {
            return std::nullopt;
        }
        const auto info = afc->deviceInfo();
        if (!info || !info->count("FSFreeBytes")) {
            return std::nullopt;
        }
        const PlistValue& value = info->at("FSFreeBytes");
        if (const auto number = value.toUInt64()) {
            return number;
        }
        return value.asString() ? std::optional<std::uint64_t>(std::stoull(*value.asString())) : std::nullopt;
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

TEST_F(DeviceServices, FetchesAPngIcon)
{
    const auto apps = device->installedApplications();
    ASSERT_TRUE(apps && !apps->empty());
    auto springboard = device->newAMSpringboardServices();
    ASSERT_TRUE(springboard);
    const auto png = springboard->getIcon(apps->front().bundleid());
    ASSERT_TRUE(png.has_value()) << springboard->lasterror().value_or("");
    const auto size = pngDimensions(*png);
    ASSERT_TRUE(size.has_value());
    EXPECT_GE(size->first, 16u);
    EXPECT_LE(size->first, 1024u);
    EXPECT_GE(size->second, 16u);
    EXPECT_LE(size->second, 1024u);
    EXPECT_TRUE(springboard->getIconState().has_value());
}

TEST_F(DeviceServices, UninstallRemovesTheAppAndFreesItsSpace)
{
    const auto apps = device->installedApplications();
    ASSERT_TRUE(apps && !apps->empty());
    const std::string victim = apps->front().bundleid();
    const auto before = freeBytes();
    ASSERT_TRUE(before.has_value());

    // The device announces the removal; observe it on the main loop meanwhile.
    auto notifications = device->newAMNotificationProxy();
    ASSERT_TRUE(notifications);
    std::vector<std::string> heard;
    AMNotificationObserver observer;
    observer.respondTo("appsChanged:", [&](const std::string& name) { heard.push_back(name); });
    notifications->addObserver(&observer, "appsChanged:", "com.apple.mobile.application_uninstalled");

    struct Progress : AMServiceDelegate
    {
        void operationContinues(const PlistValue&) override { ++replies; }
        int replies = 0;
    } progress;
    auto proxy = device->newAMInstallationProxyWithDelegate(&progress);
    ASSERT_TRUE(proxy);
    ASSERT_TRUE(proxy->uninstall(victim)) << proxy->lasterror().value_or("");
    EXPECT_GE(progress.replies, 1);

    const auto after = device->installedApplications();
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->size() + 1, apps->size());
    EXPECT_TRUE(
        std::none_of(after->begin(), after->end(), [&](const AMApplication& app) { return app.bundleid() == victim; }));
    const auto freed = freeBytes();
    ASSERT_TRUE(freed.has_value());
    EXPECT_GT(*freed, *before);

    EXPECT_TRUE(loop.runUntil([&] { return !heard.empty(); }, BOUND));
    EXPECT_EQ(heard, std::vector<std::string> { "com.apple.mobile.application_uninstalled" });
}

TEST_F(DeviceServices, ReceivesSystemLogLines)
{
    std::vector<std::string> lines;
    auto relay = device->newAMSyslogRelay([&](const std::string& line) { lines.push_back(line); });
    ASSERT_TRUE(relay);
    ASSERT_TRUE(loop.runUntil([&] { return lines.size() >= 2; }, BOUND)) << lines.size() << " lines";
    for (const std::string& line : lines) {
        EXPECT_FALSE(line.empty());
        EXPECT_EQ(line.find('\0'), std::string::npos);
        EXPECT_NE(line.front(), '\n');
    }
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

TEST_F(DeviceServices, TakesAScreenshotThatIsAnImage)
{
    auto service = device->newAMScreenshotService();
    ASSERT_TRUE(service);
    const auto image = service->getScreenshot();
    ASSERT_TRUE(image.has_value()) << service->lasterror().value_or("");
    const std::string kind = imageKindOf(*image);
    ASSERT_TRUE(kind == "png" || kind == "tiff") << kind;
    if (kind == "png") {
        const auto size = pngDimensions(*image);
        ASSERT_TRUE(size.has_value());
        EXPECT_GE(size->first, 100u);
        EXPECT_GE(size->second, 100u);
    }
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
