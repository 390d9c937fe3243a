#include "base/OperationQueue.h"

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Holds operations until the test opens it; waits are bounded so a bug fails instead of hanging.
class Gate
{
public:
    void open()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }
    bool waitOpen()
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open { false };
};

// Records events from worker threads in the order they happen.
class Journal
{
public:
    void add(std::string event)
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    std::vector<std::string> events() const
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
};

} // namespace

TEST(OperationQueue, OneWideQueueRunsStrictlyInOrder)
{
    OperationQueue queue(1);
    Journal journal;
    std::atomic<int> active { 0 };
    std::atomic<int> mostActive { 0 };
    constexpr int COUNT = 100;
    for (int i = 0; i < COUNT; ++i) {
        queue.addOperation(
            [&, i](const Operation&) {
                const int now = ++active;
                mostActive = std::max(mostActive.load(), now);
                journal.add("work " + std::to_string(i));
                --active;
            },
            [&, i] { journal.add("done " + std::to_string(i)); });
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue.operationCount(), 0u);
    EXPECT_EQ(mostActive, 1);
    // Each completion comes before the next operation starts.
    std::vector<std::string> expected;
    for (int i = 0; i < COUNT; ++i) {
        expected.push_back("work " + std::to_string(i));
        expected.push_back("done " + std::to_string(i));
    }
    EXPECT_EQ(journal.events(), expected);
}

TEST(OperationQueue, ConcurrencyReachesButNeverExceedsTheMaximum)
{
    constexpr int MAX = 3;
    constexpr int COUNT = 30;
    OperationQueue queue(MAX);
    Gate gate;
    std::atomic<int> active { 0 };
    std::atomic<int> mostActive { 0 };
    std::atomic<int> completions { 0 };
    for (int i = 0; i < COUNT; ++i) {
        queue.addOperation(
            [&](const Operation&) {
                const int now = ++active;
                int seen = mostActive.load();
                while (now > seen && !mostActive.compare_exchange_weak(seen, now)) { }
                EXPECT_TRUE(gate.waitOpen());
                --active;
            },
            [&] { ++completions; });
    }
    ASSERT_TRUE(waitUntil([&] { return active == MAX; }));
    EXPECT_EQ(queue.operationCount(), std::size_t(COUNT));
    gate.open();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(mostActive, MAX);
    EXPECT_EQ(completions, COUNT);
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueue, RaisingTheMaximumStartsWaitingOperations)
{
    OperationQueue queue(1);
    Gate gate;
    std::atomic<int> active { 0 };
    for (int i = 0; i < 2; ++i) {
        queue.addOperation([&](const Operation&) {
            ++active;
            EXPECT_TRUE(gate.waitOpen());
        });
    }
    ASSERT_TRUE(waitUntil([&] { return active == 1; }));
    queue.setMaxConcurrentOperationCount(2);
    EXPECT_EQ(queue.maxConcurrentOperationCount(), 2);
    EXPECT_TRUE(waitUntil([&] { return active == 2; }));
    gate.open();
    queue.waitUntilAllOperationsAreFinished();
    queue.setMaxConcurrentOperationCount(0);
    EXPECT_EQ(queue.maxConcurrentOperationCount(), 1);
}

TEST(OperationQueue, CancellingSkipsQueuedWorkAndTellsTheRunningOne)
{
    OperationQueue queue(1);
    Gate started;
    std::atomic<bool> runningSawCancel { false };
    std::atomic<int> queuedWorkRan { 0 };
    std::array<std::atomic<int>, 10> completions {};
    queue.addOperation(
        [&](const Operation& operation) {
            started.open();
            // Long work checks for cancellation as it goes.
            runningSawCancel = waitUntil([&] { return operation.isCancelled(); });
        },
        [&] { ++completions[0]; });
    for (std::size_t i = 1; i < completions.size(); ++i) {
        queue.addOperation([&](const Operation&) { ++queuedWorkRan; }, [&, i] { ++completions[i]; });
    }
    ASSERT_TRUE(started.waitOpen());
    EXPECT_EQ(queue.operationCount(), completions.size());
    queue.cancelAllOperations();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(runningSawCancel);
    EXPECT_EQ(queuedWorkRan, 0);
    for (const auto& count : completions) {
        EXPECT_EQ(count, 1);
    }
    EXPECT_EQ(queue.operationCount(), 0u);

    // The queue stays usable: operations added after the cancel run normally.
    std::atomic<bool> laterRan { false };
    queue.addOperation([&](const Operation& operation) { laterRan = !operation.isCancelled(); });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(laterRan);
}

TEST(OperationQueue, CompletionExactlyOnceWhileCancellingConcurrently)
{
    constexpr int COUNT = 2000;
    OperationQueue queue(4);
    std::vector<std::atomic<int>> completions(COUNT);
    std::atomic<int> worked { 0 };
    std::atomic<int> added { 0 };
    std::thread canceller([&] {
        for (int round = 0; round < 20; ++round) {
            waitUntil([&] { return added >= round * COUNT / 20; });
            queue.cancelAllOperations();
        }
    });
    for (int i = 0; i < COUNT; ++i) {
        queue.addOperation([&](const Operation&) { ++worked; }, [&, i] { ++completions[std::size_t(i)]; });
        ++added;
    }
    canceller.join();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue.operationCount(), 0u);
    EXPECT_LE(worked, COUNT);
    for (int i = 0; i < COUNT; ++i) {
        ASSERT_EQ(completions[std::size_t(i)], 1) << "operation " << i;
    }
}

TEST(OperationQueue, DestructorCancelsAndWaitsForEveryOperation)
{
    std::atomic<bool> runningSawCancel { false };
    std::atomic<bool> runningReturned { false };
    std::atomic<int> completions { 0 };
    std::atomic<int> queuedWorkRan { 0 };
    Gate started;
    {
        OperationQueue queue(1);
        queue.addOperation(
            [&](const Operation& operation) {
                started.open();
                runningSawCancel = waitUntil([&] { return operation.isCancelled(); });
                runningReturned = true;
            },
            [&] { ++completions; });
        for (int i = 0; i < 5; ++i) {
            queue.addOperation([&](const Operation&) { ++queuedWorkRan; }, [&] { ++completions; });
        }
        ASSERT_TRUE(started.waitOpen());
    }
    EXPECT_TRUE(runningSawCancel);
    EXPECT_TRUE(runningReturned);
    EXPECT_EQ(queuedWorkRan, 0);
    EXPECT_EQ(completions, 6);
}

TEST(OperationQueue, OperationsMayAddAndCancelOnTheirOwnQueue)
{
    OperationQueue queue(1);
    Journal journal;
    queue.addOperation([&](const Operation&) {
        journal.add("first");
        queue.addOperation([&](const Operation& operation) {
            journal.add(operation.isCancelled() ? "cancelled second ran" : "second");
        });
        queue.cancelAllOperations();
        queue.addOperation([&](const Operation&) { journal.add("third"); });
        journal.add("count " + std::to_string(queue.operationCount()));
    });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(journal.events(), (std::vector<std::string> { "first", "count 3", "third" }));
}

TEST(OperationQueue, WaitingOnAnIdleQueueReturnsAtOnce)
{
    OperationQueue queue(2);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue.operationCount(), 0u);
    // An operation without work still completes.
    std::atomic<int> completions { 0 };
    queue.addOperation({}, [&] { ++completions; });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(completions, 1);
}

TEST(OperationQueue, IdleIsReportedOnceTheLastOperationHasLeftTheCount)
{
    OperationQueue queue(2);
    Gate gate;
    Gate idleGate;
    Journal journal;
    std::atomic<std::size_t> countWhenIdle { 99 };
    queue.setIdleCallback([&] {
        countWhenIdle = queue.operationCount();
        journal.add("idle");
        idleGate.open();
    });
    for (const char* name : { "a", "b" }) {
        queue.addOperation([&gate, &journal, name](const Operation&) {
            ASSERT_TRUE(gate.waitOpen());
            journal.add(name);
        });
    }
    gate.open();
    ASSERT_TRUE(idleGate.waitOpen());
    queue.waitUntilAllOperationsAreFinished();
    // Only after both: one operation finishing while the other runs is not idle.
    const std::vector<std::string> events = journal.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events.back(), "idle");
    EXPECT_EQ(countWhenIdle, 0u);
}
