#include "base/RunLoop.h"

#include <atomic>
#include <memory>

namespace {

thread_local RunLoop* s_current = nullptr;
std::atomic<RunLoop*> s_main { nullptr };

// Signals the waiter in postAndWait() when the last copy of the posted function is destroyed,
// whether it ran or was dropped with an ending loop, so the waiter never hangs on a dead loop.
struct Completion
{
    std::mutex mutex;
    std::condition_variable finished;
    bool done { false };
};

struct CompletionSignal
{
    explicit CompletionSignal(std::shared_ptr<Completion> completion)
        : m_completion(std::move(completion))
    {
    }
    ~CompletionSignal()
    {
        std::lock_guard lock(m_completion->mutex);
        m_completion->done = true;
        m_completion->finished.notify_all();
    }
    CompletionSignal(const CompletionSignal&) = delete;
    CompletionSignal& operator=(const CompletionSignal&) = delete;

    std::shared_ptr<Completion> m_completion;
};

} // namespace

RunLoop::~RunLoop() = default;

void RunLoop::postAndWait(std::function<void()> function)
{
    if (!function) {
        return;
    }
    if (isLoopThread()) {
        function();
        return;
    }
    auto completion = std::make_shared<Completion>();
    auto signal = std::make_shared<CompletionSignal>(completion);
    post([signal, function = std::move(function)]() mutable { function(); });
    signal.reset();
    std::unique_lock lock(completion->mutex);
    completion->finished.wait(lock, [&] { return completion->done; });
}

RunLoop* RunLoop::current()
{
    return s_current;
}

RunLoop* RunLoop::main()
{
    return s_main.load();
}

void RunLoop::setMain(RunLoop* loop)
{
    s_main.store(loop);
}

void RunLoop::registerForCurrentThread(RunLoop* loop)
{
    s_current = loop;
}

void RunLoop::unregisterForCurrentThread(RunLoop* loop)
{
    if (s_current == loop) {
        s_current = nullptr;
    }
    // A loop that goes away must not stay reachable as the main loop.
    RunLoop* expected = loop;
    s_main.compare_exchange_strong(expected, nullptr);
}

void runOnMainThread(std::function<void()> function, bool wait)
{
    if (!function) {
        return;
    }
    RunLoop* loop = RunLoop::main();
    if (!loop) {
        function();
    } else if (wait) {
        loop->postAndWait(std::move(function));
    } else {
        loop->post(std::move(function));
    }
}

PlainRunLoop::PlainRunLoop()
    : m_thread(std::this_thread::get_id())
{
    registerForCurrentThread(this);
}

PlainRunLoop::~PlainRunLoop()
{
    unregisterForCurrentThread(this);
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_mutex);
        dropped.swap(m_queue);
    }
    // Destroyed outside the lock: dropping a postAndWait() function wakes its waiter.
    dropped.clear();
}

void PlainRunLoop::post(std::function<void()> function)
{
    if (!function) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(function));
    }
    m_wakeup.notify_all();
}

bool PlainRunLoop::isLoopThread() const
{
    return std::this_thread::get_id() == m_thread;
}

void PlainRunLoop::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_quit) {
        if (m_queue.empty()) {
            m_wakeup.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            continue;
        }
        std::function<void()> function = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        function();
        function = nullptr;
        lock.lock();
    }
    m_quit = false;
}

bool PlainRunLoop::runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    // The condition may also change on other threads without a post; it is rechecked at least
    // every few milliseconds while the queue is idle.
    constexpr auto RECHECK = std::chrono::milliseconds(5);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) {
            return true;
        }
        std::function<void()> function;
        {
            std::unique_lock lock(m_mutex);
            if (m_queue.empty()) {
                const auto now = std::chrono::steady_clock::now();
                if (now >= deadline) {
                    return false;
                }
                m_wakeup.wait_until(lock, std::min(deadline, now + RECHECK), [this] { return !m_queue.empty(); });
                if (m_queue.empty()) {
                    continue;
                }
            }
            function = std::move(m_queue.front());
            m_queue.pop_front();
        }
        function();
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
    }
}

int PlainRunLoop::processPending()
{
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(m_mutex);
        batch.swap(m_queue);
    }
    int count = 0;
    while (!batch.empty()) {
        std::function<void()> function = std::move(batch.front());
        batch.pop_front();
        function();
        ++count;
    }
    return count;
}

std::size_t PlainRunLoop::pendingCount() const
{
    std::lock_guard lock(m_mutex);
    return m_queue.size();
}

void PlainRunLoop::quit()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wakeup.notify_all();
}
