#include "base/RunLoop.h"
#include "device/AMServiceFrame.h"
#include "device/AMSocketConnection.h"
#include "tests/device/ScriptedMobileDevice.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

namespace {

/// The device side of a notification proxy over a socketpair.
struct ProxyFixture : ::testing::Test
{
    ProxyFixture()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            ADD_FAILURE() << "socketpair failed";
        }
        host = std::make_unique<AMSocketConnection>(fds[0]);
        device = std::make_unique<AMSocketConnection>(fds[1]);
    }

    void deviceSends(const PlistValue& message)
    {
        const std::string body = PlistCodec::toXml(message).value();
        const std::string frame = encodeServiceFrameHeader(std::uint32_t(body.size())) + body;
        ASSERT_TRUE(device->send(frame.data(), frame.size(), std::chrono::seconds(5)).ok());
    }

    /// The next frame the host sent, or nothing.
    std::optional<PlistValue> deviceReceives()
    {
        std::string buffer;
        auto readExactly = [&](std::size_t count) {
            std::string out(count, '\0');
            std::size_t got = 0;
            while (got < count) {
                const AMIOResult result = device->receive(out.data() + got, count - got, std::chrono::seconds(5));
                if (!result.ok()) {
                    return std::optional<std::string>();
                }
                got += result.bytes;
            }
            return std::optional<std::string>(out);
        };
        const auto header = readExactly(4);
        if (!header) {
            return std::nullopt;
        }
        const auto body = readExactly(decodeServiceFrameLength(reinterpret_cast<const std::uint8_t*>(header->data())));
        return body ? PlistCodec::fromAny(*body) : std::nullopt;
    }

    static PlistValue relay(const std::string& name)
    {
        return PlistValue(PlistDictionary { { "Command", "RelayNotification" }, { "Name", name } });
    }

    PlainRunLoop loop;
    ScriptedMobileDevice library;
    std::unique_ptr<AMSocketConnection> host;
    std::unique_ptr<AMSocketConnection> device;
};

} // namespace

using NotificationProxy = ProxyFixture;

TEST_F(NotificationProxy, ObserveAndPostSendCommands)
{
    ASSERT_EQ(library.AMDObserveNotification(*host, "com.apple.mobile.application_uninstalled"), 0u);
    ASSERT_EQ(library.AMDPostNotification(*host, "com.apple.itunes-mobdev.syncWillStart"), 0u);
    EXPECT_EQ(deviceReceives(),
        PlistValue(PlistDictionary {
            { "Command", "ObserveNotification" }, { "Name", "com.apple.mobile.application_uninstalled" } }));
    EXPECT_EQ(deviceReceives(),
        PlistValue(PlistDictionary {
            { "Command", "PostNotification" }, { "Name", "com.apple.itunes-mobdev.syncWillStart" } }));
    EXPECT_EQ(library.AMDObserveNotification(*host, ""), AMDStatus::InvalidArgumentError);
}

TEST_F(NotificationProxy, RelaysReachTheCallersRunLoopInOrderThenTheFarewell)
{
    std::vector<std::string> heard;
    std::thread::id callbackThread;
    ASSERT_EQ(library.AMDListenForNotifications(*host,
                  [&](const std::string& name) {
                      heard.push_back(name);
                      callbackThread = std::this_thread::get_id();
                  }),
        0u);
    EXPECT_EQ(library.AMDListenForNotifications(*host, [](const std::string&) {}), AMDStatus::BusyError);
    deviceSends(relay("first"));
    deviceSends(relay("second"));
    deviceSends(PlistValue(PlistDictionary { { "Command", "ProxyDeath" } }));
    ASSERT_TRUE(loop.runUntil([&] { return heard.size() == 3; }, std::chrono::seconds(10)));
    EXPECT_EQ(heard, (std::vector<std::string> { "first", "second", "" }));
    EXPECT_EQ(callbackThread, std::this_thread::get_id());
}

TEST_F(NotificationProxy, ShutdownWaitsForTheFarewellAndStopsTheListener)
{
    std::vector<std::string> heard;
    ASSERT_EQ(library.AMDListenForNotifications(*host, [&](const std::string& name) { heard.push_back(name); }), 0u);
    std::thread proxy([&] {
        const auto command = deviceReceives();
        if (command && command->stringForKey("Command") == "Shutdown") {
            deviceSends(PlistValue(PlistDictionary { { "Command", "ProxyDeath" } }));
        }
    });
    EXPECT_EQ(library.AMDShutdownNotificationProxy(*host), 0u);
    proxy.join();
    loop.processPending();
    // The listener was stopped by the shutdown: the farewell queued on the loop is dropped.
    EXPECT_TRUE(heard.empty());
}

TEST_F(NotificationProxy, ShutdownWithoutListenerReadsTheFarewell)
{
    std::thread proxy([&] {
        if (deviceReceives()) {
            deviceSends(relay("late"));
            deviceSends(PlistValue(PlistDictionary { { "Command", "ProxyDeath" } }));
        }
    });
    EXPECT_EQ(library.AMDShutdownNotificationProxy(*host), 0u);
    proxy.join();
}

TEST_F(NotificationProxy, ClosedConnectionEndsTheListener)
{
    std::vector<std::string> heard;
    ASSERT_EQ(library.AMDListenForNotifications(*host, [&](const std::string& name) { heard.push_back(name); }), 0u);
    deviceSends(relay("only"));
    device->close();
    ASSERT_TRUE(loop.runUntil([&] { return heard.size() == 2; }, std::chrono::seconds(10)));
    EXPECT_EQ(heard, (std::vector<std::string> { "only", "" }));
    EXPECT_EQ(library.AMDShutdownNotificationProxy(*host), AMDStatus::WriteError);
}
