#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

/// What a running operation may ask of itself.
class Operation
{
public:
    virtual ~Operation() = default;
    /// True once the queue was told to cancel this operation. Long work checks it and stops.
    virtual bool isCancelled() const = 0;
};

/// A queue that runs operations on worker threads it owns, at most `maxConcurrentOperationCount`
/// at once; a one-wide queue runs them strictly in the order added.
class OperationQueue
{
public:
    using Work = std::function<void(const Operation& operation)>;
    using Completion = std::function<void()>;

    explicit OperationQueue(int maxConcurrentOperationCount = 1);
    /// Cancels everything, waits for running operations to return and calls the remaining
    /// completions. An operation or completion that waits for the destroying thread (for example
    /// with postAndWait to it) would deadlock here; post without waiting instead.
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    void setMaxConcurrentOperationCount(int count);
    int maxConcurrentOperationCount() const;

    /// Queues `work`. `completion`, when given, is called exactly once on a worker thread after the
    /// work returned, or instead of it when the operation was cancelled before it started.
    void addOperation(Work work, Completion completion = {});
    /// Marks every queued and running operation cancelled. Queued ones will not run their work.
    void cancelAllOperations();
    /// Operations added and not yet completed (queued plus running).
    std::size_t operationCount() const;
    /// Blocks until operationCount() is zero. Never call it from an operation of the same queue.
    void waitUntilAllOperationsAreFinished();
    /// `idle` is called on a worker thread each time operationCount() has just dropped to zero,
    /// so waiters need not ask again and again.
    void setIdleCallback(std::function<void()> idle);

private:
    struct Entry;
    void workerLoop();

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<Entry>> m_queued;
    std::vector<std::shared_ptr<Entry>> m_running;
    std::vector<std::thread> m_workers;
    int m_maxConcurrent { 1 };
    std::function<void()> m_idle;
    bool m_stopping { false };
};
