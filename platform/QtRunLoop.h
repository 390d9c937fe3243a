#pragma once

#include "base/RunLoop.h"

#include <QObject>

/// The base run loop served by Qt's event loop of the thread that creates it. The application
/// makes one on the main thread and registers it with RunLoop::setMain, so code below the
/// interface (device events, module queues) can hand work to the thread that owns the widgets.
class QtRunLoop : public RunLoop
{
public:
    QtRunLoop();
    ~QtRunLoop() override;
    QtRunLoop(const QtRunLoop&) = delete;
    QtRunLoop& operator=(const QtRunLoop&) = delete;

    /// Thread-safe. Functions posted after the loop is destroyed are dropped, never run.
    void post(std::function<void()> function) override;
    bool isLoopThread() const override;

private:
    // The object whose thread runs the posted functions; Qt discards the calls queued to it when
    // it is gone.
    QObject* m_context;
};
