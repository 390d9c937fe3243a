#include "base/OperationQueue.h"

#include <algorithm>

struct OperationQueue::Entry : Operation
{
    Entry(Work w, Completion c)
        : work(std::move(w))
        , completion(std::move(c))
    {
    }

    bool isCancelled() const override { return cancelled.load(std::memory_order_acquire); }

    Work work;
    Completion completion;
    std::atomic<bool> cancelled { false };
};

OperationQueue::OperationQueue(int maxConcurrentOperationCount)
    : m_maxConcurrent(std::max(1, maxConcurrentOperationCount))
{
}

OperationQueue::~OperationQueue()
{
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& entry : m_queued) {
            entry->cancelled = true;
        }
        for (const auto& entry : m_running) {
            entry->cancelled = true;
        }
        m_stopping = true;
        workers.swap(m_workers);
    }
    m_changed.notify_all();
    // Workers finish what runs, call the completions of the cancelled rest, then return.
    for (std::thread& worker : workers) {
        worker.join();
    }
}

void OperationQueue::setMaxConcurrentOperationCount(int count)
{
    {
        std::lock_guard lock(m_mutex);
        m_maxConcurrent = std::max(1, count);
        // Threads start on demand in addOperation(); more room may let queued work start now.
        while (!m_stopping && int(m_workers.size()) < m_maxConcurrent
            && m_workers.size() < m_queued.size() + m_running.size()) {
            m_workers.emplace_back(&OperationQueue::workerLoop, this);
        }
    }
    m_changed.notify_all();
}

int OperationQueue::maxConcurrentOperationCount() const
{
    std::lock_guard lock(m_mutex);
    return m_maxConcurrent;
}

void OperationQueue::addOperation(Work work, Completion completion)
{
    {
        std::lock_guard lock(m_mutex);
        auto entry = std::make_shared<Entry>(std::move(work), std::move(completion));
        if (m_stopping) {
            entry->cancelled = true;
        }
        m_queued.push_back(std::move(entry));
        if (int(m_workers.size()) < m_maxConcurrent) {
            m_workers.emplace_back(&OperationQueue::workerLoop, this);
        }
    }
    m_changed.notify_all();
}

void OperationQueue::cancelAllOperations()
{
    std::lock_guard lock(m_mutex);
    for (const auto& entry : m_queued) {
        entry->cancelled = true;
    }
    for (const auto& entry : m_running) {
        entry->cancelled = true;
    }
}

std::size_t OperationQueue::operationCount() const
{
    std::lock_guard lock(m_mutex);
    return m_queued.size() + m_running.size();
}

void OperationQueue::waitUntilAllOperationsAreFinished()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queued.empty() && m_running.empty(); });
}

void OperationQueue::setIdleCallback(std::function<void()> idle)
{
    std::lock_guard lock(m_mutex);
    m_idle = std::move(idle);
}

void OperationQueue::workerLoop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] {
            return (!m_queued.empty() && int(m_running.size()) < m_maxConcurrent) || (m_stopping && m_queued.empty());
        });
        if (m_queued.empty()) {
            return; // stopping and nothing left
        }
        std::shared_ptr<Entry> entry = std::move(m_queued.front());
        m_queued.pop_front();
        m_running.push_back(entry);
        lock.unlock();

        if (!entry->isCancelled() && entry->work) {
            entry->work(*entry);
        }
        if (entry->completion) {
            entry->completion();
        }
        // Release what the operation captured before it counts as finished.
        entry->work = nullptr;
        entry->completion = nullptr;

        lock.lock();
        m_running.erase(std::find(m_running.begin(), m_running.end(), entry));
        const std::function<void()> idle = m_queued.empty() && m_running.empty() ? m_idle : nullptr;
        lock.unlock();
        m_changed.notify_all();
        if (idle) {
            idle();
        }
        lock.lock();
    }
}
