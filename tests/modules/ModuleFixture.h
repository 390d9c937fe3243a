#pragma once

#include "ModuleTestSupport.h"
#include "base/RunLoop.h"

#include <QLocale>

#include <chrono>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

/// A main loop for module tests: the test thread plays the main thread, and every wait for queue
/// work pumps that loop until a condition holds.
class MainLoopTest : public testing::Test
{
protected:
    MainLoopTest()
    {
        RunLoop::setMain(&loop);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    ~MainLoopTest() override { RunLoop::setMain(nullptr); }

    bool pumpUntil(const std::function<bool()>& condition)
    {
        return loop.runUntil(condition, std::chrono::seconds(10));
    }

    /// Waits for every free-space reading and report of `module` to be delivered.
    void settleReports(ECModule& module)
    {
        ASSERT_TRUE(pumpUntil([&] { return module.pendingMeasurements() == 0; }));
        loop.processPending();
    }

    PlainRunLoop loop;
};
