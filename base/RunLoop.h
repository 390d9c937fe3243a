#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

/// A thread's event loop, as far as the rest of the system needs one: something that runs posted
/// functions one after another on its own thread. The application adapts Qt's event loop to it;
/// tests and command-line tools use PlainRunLoop.
class RunLoop
{
public:
    virtual ~RunLoop();

    /// Queues `function` to run on the loop's thread. Thread-safe; never runs it inline.
    virtual void post(std::function<void()> function) = 0;
    /// True when called on the loop's own thread.
    virtual bool isLoopThread() const = 0;

    /// Runs `function` on the loop's thread and returns when it has run. Called on the loop's own
    /// thread it runs the function directly (waiting would deadlock). If the loop drops the
    /// function unrun (PlainRunLoop destroyed with it queued), it returns all the same.
    void postAndWait(std::function<void()> function);

    /// The loop registered for the calling thread, or null.
    static RunLoop* current();
    /// The loop of the main thread (the one the interface runs on), or null before one is set.
    static RunLoop* main();
    static void setMain(RunLoop* loop);

protected:
    /// Loops register themselves for their thread so `current()` can find them.
    static void registerForCurrentThread(RunLoop* loop);
    static void unregisterForCurrentThread(RunLoop* loop);
};

/// Runs `function` on the main loop; with `wait`, returns only once it has run.
/// Without a main loop set, runs it directly.
void runOnMainThread(std::function<void()> function, bool wait);

/// A simple loop for tests and torvane-cli: the thread that constructs it is its thread.
class PlainRunLoop : public RunLoop
{
public:
    PlainRunLoop();
    ~PlainRunLoop() override;

    void post(std::function<void()> function) override;
    bool isLoopThread() const override;

    /// Runs posted functions until quit() is called.
    void run();
    /// Runs posted functions until `condition` holds or `timeout` passes. The condition is checked
    /// first, after each function, and every few milliseconds while idle (it may depend on other
    /// threads). Returns whether the condition held.
    bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    /// Runs what is queued now, without waiting for more. Returns how many ran.
    int processPending();
    /// Functions posted and not yet run.
    std::size_t pendingCount() const;
    /// Makes run() return after the function running now; a quit() before run() ends the next run().
    void quit();

private:
    std::thread::id m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_wakeup;
    std::deque<std::function<void()>> m_queue;
    bool m_quit { false };
};
