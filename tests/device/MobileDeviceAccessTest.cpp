#include "device/MobileDeviceAccess.h"

#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "base/OperationQueue.h"
#include "base/RunLoop.h"
#include "device/AMDevice.h"
#include "tests/device/ScriptedMobileDevice.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

/// Records what it hears, and what the manager's list looked like at that moment.
class RecordingListener : public MobileDeviceAccessListener
{
public:
    explicit RecordingListener(MobileDeviceAccess& manager)
        : m_manager(manager)
    {
    }

    void deviceConnected(const std::shared_ptr<AMDevice>& device) override
    {
        events.push_back("connected " + device->deviceName().value_or("?"));
        listedDuringCall = isListed(device);
    }
    void deviceDisconnected(const std::shared_ptr<AMDevice>& device) override
    {
        events.push_back("disconnected " + device->deviceName().value_or("?"));
        listedDuringCall = isListed(device);
        forgottenDuringCall = !device->device() && !device->deviceConnect();
    }
    void deviceConnecting(const AMDeviceRef&, const std::optional<std::string>& name) override
    {
        events.push_back("connecting " + name.value_or("?"));
    }
    void deviceConnectAbandoned(const AMDeviceRef&) override { events.emplace_back("abandoned"); }

    std::vector<std::string> events;
    bool listedDuringCall { false };
    bool forgottenDuringCall { false };

private:
    bool isListed(const std::shared_ptr<AMDevice>& device) const
    {
        const auto& list = m_manager.devices();
        return std::find(list.begin(), list.end(), device) != list.end();
    }
    MobileDeviceAccess& m_manager;
};

/// Implements only the attach call.
class ConnectOnlyListener : public MobileDeviceAccessListener
{
public:
    void deviceConnected(const std::shared_ptr<AMDevice>&) override { ++connected; }
    int connected { 0 };
};

struct ManagerFixture : ::testing::Test
{
    PlainRunLoop loop;
    ScriptedMobileDevice library;
    std::shared_ptr<ScriptedMobileDevice::Handle> first = library.makeDevice("udid-1", "First");
    std::shared_ptr<ScriptedMobileDevice::Handle> second = library.makeDevice("udid-2", "Second");

    void deliver()
    {
        while (loop.processPending() > 0) { }
    }

    static std::vector<std::string> names(const MobileDeviceAccess& manager)
    {
        std::vector<std::string> result;
        for (const auto& device : manager.devices()) {
            result.push_back(device->deviceName().value_or("?"));
        }
        return result;
    }
};

} // namespace

using MobileDeviceAccessRules = ManagerFixture;

TEST_F(MobileDeviceAccessRules, AttachedDevicesComeFirstThenChanges)
{
    library.attach(first); // already attached before anyone subscribes
    MobileDeviceAccess manager(library);
    RecordingListener listener(manager);
    manager.setListener(&listener);
    deliver();
    EXPECT_EQ(names(manager), std::vector<std::string> { "First" });
    library.attach(second);
    deliver();
    EXPECT_EQ(names(manager), (std::vector<std::string> { "First", "Second" }));
    EXPECT_EQ(listener.events, (std::vector<std::string> { "connected First", "connected Second" }));
    EXPECT_TRUE(listener.listedDuringCall);
}

TEST_F(MobileDeviceAccessRules, DetachForgetsThenTellsThenRemoves)
{
    MobileDeviceAccess manager(library);
    RecordingListener listener(manager);
    manager.setListener(&listener);
    library.attach(first);
    library.attach(second);
    deliver();
    const std::shared_ptr<AMDevice> departing = manager.devices().front();

    library.detach(first);
    deliver();
    EXPECT_EQ(listener.events.back(), "disconnected First");
    EXPECT_TRUE(listener.listedDuringCall);
    EXPECT_TRUE(listener.forgottenDuringCall);
    EXPECT_EQ(names(manager), std::vector<std::string> { "Second" });
    // Whoever still holds the departed device gets failures, not a dead handle.
    EXPECT_FALSE(departing->deviceValueForKey("DeviceName"));
}

TEST_F(MobileDeviceAccessRules, ListenerWithoutDisconnectStillLosesTheDevice)
{
    MobileDeviceAccess manager(library);
    ConnectOnlyListener listener;
    manager.setListener(&listener);
    library.attach(first);
    deliver();
    library.detach(first);
    deliver();
    EXPECT_EQ(listener.connected, 1);
    EXPECT_TRUE(manager.devices().empty());
}

TEST_F(MobileDeviceAccessRules, DetachOfUnknownDeviceChangesNothing)
{
    MobileDeviceAccess manager(library);
    RecordingListener listener(manager);
    manager.setListener(&listener);
    library.attach(first);
    deliver();
    library.detach(second);
    deliver();
    EXPECT_EQ(names(manager), std::vector<std::string> { "First" });
    EXPECT_EQ(listener.events, std::vector<std::string> { "connected First" });
}

TEST_F(MobileDeviceAccessRules, SecondListenerSubscribesOnce)
{
    MobileDeviceAccess manager(library);
    RecordingListener a(manager);
    RecordingListener b(manager);
    manager.setListener(&a);
    manager.setListener(&b);
    EXPECT_EQ(library.countOf("AMDeviceNotificationSubscribe"), 1);
    library.attach(first);
    deliver();
    EXPECT_TRUE(a.events.empty());
    EXPECT_EQ(b.events, std::vector<std::string> { "connected First" });
    EXPECT_EQ(manager.devices().size(), 1u);
}

TEST_F(MobileDeviceAccessRules, UnknownKindIsLoggedAndIgnored)
{
    MobileDeviceAccess manager(library);
    RecordingListener listener(manager);
    manager.setListener(&listener);
    library.attach(first);
    deliver();
    LogCapture log;
    library.sendRecord(first, 4);
    library.sendRecord(first, 3); // unsubscribed: nothing at all
    deliver();
    EXPECT_EQ(log.lines(), std::vector<std::string> { "Ignoring unknown message: 4" });
    EXPECT_EQ(names(manager), std::vector<std::string> { "First" });
    EXPECT_EQ(listener.events.size(), 1u);
}

TEST_F(MobileDeviceAccessRules, ClearedListenerKeepsTheListUpToDate)
{
    MobileDeviceAccess manager(library);
    RecordingListener listener(manager);
    manager.setListener(&listener);
    library.attach(first);
    deliver();
    manager.setListener(nullptr);
    library.attach(second);
    library.detach(first);
    deliver();
    EXPECT_EQ(names(manager), std::vector<std::string> { "Second" });
    EXPECT_EQ(listener.events, std::vector<std::string> { "connected First" });
    EXPECT_EQ(library.countOf("AMDeviceNotificationUnsubscribe"), 0);
}

TEST_F(MobileDeviceAccessRules, FailedSubscriptionIsLoggedAndRetried)
{
    MobileDeviceAccess manager(library);
    RecordingListener listener(manager);
    library.setStatus("AMDeviceNotificationSubscribe", AMDStatus::MuxError);
    {
        LogCapture log;
        manager.setListener(&listener);
        EXPECT_TRUE(
            log.contains(stringWithFormat("AMDeviceNotificationSubscribe failed: %d", int(AMDStatus::MuxError))));
    }
    EXPECT_FALSE(manager.isSubscribed());
    library.setStatus("AMDeviceNotificationSubscribe", 0);
    manager.setListener(&listener);
    EXPECT_TRUE(manager.isSubscribed());
    library.attach(first);
    deliver();
    EXPECT_EQ(listener.events, std::vector<std::string> { "connected First" });
}

TEST_F(MobileDeviceAccessRules, DeviceThatCannotConnectIsNotListed)
{
    MobileDeviceAccess manager(library);
    RecordingListener listener(manager);
    manager.setListener(&listener);
    library.setStatus("AMDeviceConnect", 0xE8000007);
    LogCapture log;
    library.attach(first);
    deliver();
    EXPECT_TRUE(manager.devices().empty());
    EXPECT_TRUE(listener.events.empty());
    EXPECT_TRUE(log.contains("Failed to create AMDevice: AMDeviceConnect failed: e8000007"));
}

TEST_F(MobileDeviceAccessRules, TerminationEndsEveryDeviceAndKeepsTheList)
{
    MobileDeviceAccess manager(library);
    RecordingListener listener(manager);
    manager.setListener(&listener);
    library.attach(first);
    library.attach(second);
    deliver();
    for (const auto& device : manager.devices()) {
        ASSERT_TRUE(device->deviceConnect());
        ASSERT_TRUE(device->startSession());
    }
    library.calls.clear();
    NotificationCenter::defaultCenter().postNotification(APPLICATION_WILL_TERMINATE_NOTIFICATION, nullptr);
    EXPECT_EQ(library.countOf("AMDeviceStopSession"), 2);
    EXPECT_EQ(library.countOf("AMDeviceDisconnect"), 2);
    EXPECT_EQ(manager.devices().size(), 2u);
    EXPECT_FALSE(first->connected);
    EXPECT_FALSE(second->connected);
}

TEST_F(MobileDeviceAccessRules, WaitForConnectionReturnsOnTheNextRecord)
{
    MobileDeviceAccess manager(library);
    EXPECT_FALSE(manager.waitForConnection()); // not subscribed
    RecordingListener listener(manager);
    manager.setListener(&listener);
    loop.post([&] { library.attach(first); });
    LogCapture log;
    EXPECT_TRUE(manager.waitForConnection());
    EXPECT_EQ(names(manager), std::vector<std::string> { "First" });
    EXPECT_EQ(log.lines(),
        (std::vector<std::string> {
            "calling CFRunLoopRun(), plug iPod in now!!!", "back from calling CFRunLoopRun()" }));
}

TEST_F(MobileDeviceAccessRules, DestroyedManagerHearsNothingMore)
{
    {
        MobileDeviceAccess manager(library);
        RecordingListener listener(manager);
        manager.setListener(&listener);
        library.attach(first); // queued, not yet delivered
    }
    EXPECT_EQ(library.countOf("AMDeviceNotificationUnsubscribe"), 1);
    deliver(); // the queued record must not reach the destroyed manager
    MobileDeviceAccess fresh(library);
    RecordingListener listener(fresh);
    fresh.setListener(&listener);
    deliver();
    EXPECT_EQ(listener.events, std::vector<std::string> { "connected First" });
}

// A phone unplugged during a TLS write must fail that write, not end the program: the manager
// makes SIGPIPE harmless, but keeps a handler the program chose for itself.
TEST(MobileDeviceAccessSignals, BrokenPipeFailsTheWriteInsteadOfEndingTheProgram)
{
    ScriptedMobileDevice library;
    const auto restore = [](void (*handler)(int)) { std::signal(SIGPIPE, handler); };

    restore(SIG_DFL);
    {
        MobileDeviceAccess manager(library);
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        close(pipeEnds[0]);
        const char byte = 'x';
        // With SIGPIPE at its default, this write would end the test program here.
        EXPECT_EQ(write(pipeEnds[1], &byte, 1), -1);
        EXPECT_EQ(errno, EPIPE);
        close(pipeEnds[1]);
    }

    static volatile std::sig_atomic_t handled = 0;
    restore([](int) { handled = 1; });
    {
        MobileDeviceAccess manager(library);
        EXPECT_EQ(std::raise(SIGPIPE), 0);
        EXPECT_EQ(handled, 1) << "the program's own SIGPIPE handler was replaced";
    }
    restore(SIG_IGN);
}

TEST_F(MobileDeviceAccessRules, ConnectsInTheBackgroundAndDropsADeviceThatLeftMeanwhile)
{
    OperationQueue queue(1);
    MobileDeviceAccess manager(library);
    manager.setConnectQueue(&queue);
    RecordingListener listener(manager);
    manager.setListener(&listener);
    // The queue is held up, as by a phone that takes its time to pair.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    queue.addOperation([released](const Operation&) { released.wait(); });
    library.attach(first);
    library.attach(second);
    deliver();
    EXPECT_EQ(manager.pendingConnects(), 2u);
    EXPECT_TRUE(manager.devices().empty());

    library.detach(first);
    deliver();
    EXPECT_EQ(manager.pendingConnects(), 1u);
    release.set_value();
    ASSERT_TRUE(loop.runUntil(
        [&] { return manager.pendingConnects() == 0 && queue.operationCount() == 0; }, std::chrono::seconds(10)));
    deliver();
    EXPECT_EQ(names(manager), std::vector<std::string> { "Second" });
    EXPECT_EQ(listener.events,
        (std::vector<std::string> {
            "connecting ?", "connecting ?", "abandoned", "connecting Second", "connected Second" }));
}

TEST_F(MobileDeviceAccessRules, AConnectOutlivingItsManagerIsDropped)
{
    OperationQueue queue(1);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    queue.addOperation([released](const Operation&) { released.wait(); });
    {
        MobileDeviceAccess manager(library);
        manager.setConnectQueue(&queue);
        RecordingListener listener(manager);
        manager.setListener(&listener);
        library.attach(first);
        deliver();
        EXPECT_EQ(manager.pendingConnects(), 1u);
    }
    release.set_value();
    queue.waitUntilAllOperationsAreFinished();
    deliver(); // the result reaches no manager and is dropped
    EXPECT_GE(library.countOf("AMDeviceConnect"), 1); // it ran, after its manager had gone
}
