#include "platform/QtRunLoop.h"

#include <QMetaObject>
#include <QThread>

QtRunLoop::QtRunLoop()
    : m_context(new QObject)
{
    registerForCurrentThread(this);
}

QtRunLoop::~QtRunLoop()
{
    unregisterForCurrentThread(this);
    if (RunLoop::main() == this) {
        RunLoop::setMain(nullptr);
    }
    // Deleting the context drops every queued call that has not run yet.
    delete m_context;
}

void QtRunLoop::post(std::function<void()> function)
{
    if (!function) {
        return;
    }
    QMetaObject::invokeMethod(m_context, std::move(function), Qt::QueuedConnection);
}

bool QtRunLoop::isLoopThread() const
{
    return QThread::currentThread() == m_context->thread();
}
