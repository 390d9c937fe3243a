#include "base/Log.h"
#include "device/AMService.h"
#include "tests/device/integration/AttachedDevice.h"

using namespace std::chrono_literals;

namespace {

class CountingDelegate : public AMServiceDelegate
{
public:
    void operationContinues(const PlistValue& reply) override
    {
        ++replies;
        if (const PlistValue* list = reply.find("CurrentList"); list && list->isArray()) {
            apps += int(list->asArray()->size());
        }
    }
    void operationCompleted(const PlistValue&) override { ++completed; }
    int replies { 0 };
    int apps { 0 };
    int completed { 0 };
};

const PlistValue BROWSE(PlistDictionary {
    { "Command", "Browse" }, { "ClientOptions", PlistDictionary { { "ApplicationType", "User" } } } });

} // namespace

using ServiceConnection = AttachedDeviceTest;

TEST_F(ServiceConnection, StartedServiceOutlivesSessionAndConnection)
{
    const auto demo = waitForDevice(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(demo);
    ASSERT_TRUE(demo->deviceConnect());
    ASSERT_TRUE(demo->startSession());
    auto service = AMService::serviceWithName("com.apple.mobile.installation_proxy", *demo);
    ASSERT_TRUE(service);
    ASSERT_TRUE(demo->stopSession());
    ASSERT_TRUE(demo->deviceDisconnect());

    CountingDelegate delegate;
    service->setDelegate(&delegate);
    ASSERT_TRUE(service->sendRequestAndWaitUntilDone(BROWSE)) << service->lasterror().value_or("");
    EXPECT_GE(delegate.replies, 1);
    EXPECT_GT(delegate.apps, 0);
    EXPECT_EQ(delegate.completed, 1);
    // And again on the same connection.
    EXPECT_TRUE(service->sendRequestAndWaitUntilDone(BROWSE));
}

TEST_F(ServiceConnection, FactoryBracketAndUnknownService)
{
    const auto demo = waitForDevice(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(demo);
    auto service = demo->newServiceClient<AMService>(
        [&] { return AMService::serviceWithName("com.apple.mobile.installation_proxy", *demo); });
    ASSERT_TRUE(service);
    EXPECT_FALSE(demo->isConnected());
    EXPECT_FALSE(demo->isInSession());
    EXPECT_TRUE(service->sendRequestAndWaitUntilDone(BROWSE));

    LogCapture log;
    EXPECT_FALSE(demo->newServiceClient<AMService>(
        [&] { return AMService::serviceWithName("com.example.no.such.service", *demo); }));
    EXPECT_TRUE(
        log.contains(stringWithFormat("AMDeviceStartService failed: %#x,%#x,%#x", AMDStatus::InvalidServiceError >> 26,
            (AMDStatus::InvalidServiceError >> 14) & 0xFFF, AMDStatus::InvalidServiceError & 0x3FFF)));
    EXPECT_FALSE(demo->isConnected());
}

TEST_F(ServiceConnection, NotificationProxyRelaysWhatWasObserved)
{
    const auto demo = waitForDevice(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(demo);
    auto proxy = demo->newServiceClient<AMService>(
        [&] { return AMService::serviceWithName("com.apple.mobile.notification_proxy", *demo); });
    ASSERT_TRUE(proxy);
    MobileDevice& library = demo->library();
    AMServiceConnection& connection = proxy->inputStreamFromSocket();
    std::vector<std::string> heard;
    ASSERT_EQ(
        library.AMDListenForNotifications(connection, [&](const std::string& name) { heard.push_back(name); }), 0u);
    ASSERT_EQ(library.AMDObserveNotification(connection, "com.torvane.test.ping"), 0u);
    ASSERT_EQ(library.AMDPostNotification(connection, "com.torvane.test.ping"), 0u);
    ASSERT_TRUE(loop.runUntil([&] { return !heard.empty(); }, 20s));
    EXPECT_EQ(heard.front(), "com.torvane.test.ping");
    EXPECT_EQ(library.AMDShutdownNotificationProxy(connection), 0u);
}

TEST_F(ServiceConnection, DeviceLinkHandshakeAndScreenshot)
{
    const auto demo = waitForDevice(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(demo);
    LogCapture log;
    auto screenshot = demo->newServiceClient<AMDLService>(
        [&] { return AMDLService::serviceWithName("com.apple.mobile.screenshotr", *demo); });
    ASSERT_TRUE(screenshot);
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
        [](const std::string& line) { return line.starts_with("Device requesting DeviceLinkProtocol "); }));
    const auto reply = screenshot->sendDLProcessMessage({ { "MessageType", "ScreenShotRequest" } }, "ScreenShotReply");
    ASSERT_TRUE(reply) << screenshot->lasterror().value_or("");
    const auto data = reply->find("ScreenShotData");
    ASSERT_NE(data, reply->end());
    ASSERT_TRUE(data->second.isData());
    EXPECT_GT(data->second.asData()->size(), 8u);
}

TEST_F(ServiceConnection, ApplicationLookupIsKeyedByBundleIdentifier)
{
    const auto demo = waitForDevice(SimulatorFixture::DEMO_UDID);
    ASSERT_TRUE(demo);
    ASSERT_TRUE(demo->deviceConnect());
    ASSERT_TRUE(demo->startSession());
    PlistDictionary apps;
    const MDStatus status = demo->library().AMDeviceLookupApplications(demo->device(),
        { { "ApplicationType", "User" }, { "ReturnAttributes", PlistArray { "CFBundleDisplayName" } } }, &apps);
    ASSERT_TRUE(demo->stopSession());
    ASSERT_TRUE(demo->deviceDisconnect());
    ASSERT_EQ(status, 0u) << mobileDeviceStatusText(status);
    ASSERT_FALSE(apps.empty());
    for (const auto& [identifier, attributes] : apps) {
        SCOPED_TRACE(identifier);
        EXPECT_EQ(attributes.stringForKey("CFBundleIdentifier"), identifier);
    }
}
