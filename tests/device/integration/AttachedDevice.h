#pragma once

#include "base/RunLoop.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "tests/support/SimulatorFixture.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

/// Records the manager's calls by UDID.
class RecordingListener : public MobileDeviceAccessListener
{
public:
    void deviceConnected(const std::shared_ptr<AMDevice>& device) override
    {
        events.push_back("connected " + device->udid().value_or("?"));
    }
    void deviceDisconnected(const std::shared_ptr<AMDevice>& device) override
    {
        events.push_back("disconnected " + device->udid().value_or("?"));
    }
    std::vector<std::string> events;
};

/// torvane-simd with the given profiles, and a device manager over the production library
/// listening on this thread's run loop, which is also the main loop for the test's duration.
class AttachedDeviceTest : public ::testing::Test
{
protected:
    explicit AttachedDeviceTest(std::vector<std::string> profiles = { "demo" })
        : sim(std::move(profiles))
    {
    }

    void SetUp() override
    {
        RunLoop::setMain(&loop);
        ASSERT_TRUE(sim.start()) << sim.lastError();
        manager = std::make_unique<MobileDeviceAccess>(MobileDevice::shared());
        manager->setListener(&listener);
        ASSERT_TRUE(manager->isSubscribed());
    }

    void TearDown() override
    {
        manager.reset(); // unsubscribes before the daemon goes
        RunLoop::setMain(nullptr);
    }

    /// Runs the loop until the device with `udid` is listed (or the bound passes).
    std::shared_ptr<AMDevice> waitForDevice(const std::string& udid)
    {
        std::shared_ptr<AMDevice> found;
        loop.runUntil([&] { return (found = manager->device(udid)) != nullptr; }, std::chrono::seconds(20));
        return found;
    }

    bool waitUntilGone(const std::string& udid)
    {
        return loop.runUntil([&] { return manager->device(udid) == nullptr; }, std::chrono::seconds(20));
    }

    PlainRunLoop loop;
    SimulatorFixture sim;
    RecordingListener listener;
    std::unique_ptr<MobileDeviceAccess> manager;
};
