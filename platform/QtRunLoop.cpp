#include "platform/QtRunLoop.h"

#include "base/ThreadSanitizer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

namespace {

QEvent::Type postedCallType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// One posted function, carried by Qt's event queue. An event rather than a queued invokeMethod so
// that the object crossing threads is ours from its first byte, and the hand-over can be marked
// for ThreadSanitizer before Qt takes it.
class PostedCall : public QEvent
{
public:
    explicit PostedCall(std::function<void()> function)
        : QEvent(postedCallType())
        , m_function(std::move(function))
    {
    }
    // Also runs for calls dropped unrun (receiver deleted), on the receiver's thread.
    ~PostedCall() override { tsanAcquire(this); }
    PostedCall(const PostedCall&) = delete;
    PostedCall& operator=(const PostedCall&) = delete;

    void run() { m_function(); }

private:
    std::function<void()> m_function;
};

class PostedCallReceiver : public QObject
{
public:
    bool event(QEvent* event) override
    {
        tsanAcquire(event); // before even its type is read
        if (event->type() == postedCallType()) {
            static_cast<PostedCall*>(event)->run();
            return true;
        }
        return QObject::event(event);
    }
};

} // namespace

QtRunLoop::QtRunLoop()
    : m_context(new PostedCallReceiver)
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
    auto* call = new PostedCall(std::move(function));
    tsanRelease(call);
    QCoreApplication::postEvent(m_context, call); // takes the event, also when it cannot deliver it
}

bool QtRunLoop::isLoopThread() const
{
    return QThread::currentThread() == m_context->thread();
}
