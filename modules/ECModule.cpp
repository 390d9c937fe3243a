#include "modules/ECModule.h"

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMDevice.h"
#include "device/AMStorageSpace.h"
#include "modules/ECClock.h"
#include "modules/ECModuleEventSink.h"
#include "modules/ECModuleHost.h"

#include <QPointer>

#include <algorithm>
#include <utility>

struct ECModule::MainWait
{
    std::mutex mutex;
    std::condition_variable condition;
    bool ran { false };
    bool finished { false };
    bool abandoned { false };
};

struct ECModule::WaitSignal
{
    explicit WaitSignal(std::shared_ptr<MainWait> mainWait)
        : wait(std::move(mainWait))
    {
    }
    ~WaitSignal()
    {
        {
            std::lock_guard lock(wait->mutex);
            wait->finished = true;
        }
        wait->condition.notify_all();
    }
    WaitSignal(const WaitSignal&) = delete;
    WaitSignal& operator=(const WaitSignal&) = delete;

    std::shared_ptr<MainWait> wait;
};

ECModule::ECModule(QObject* parent)
    : QObject(parent)
    , m_clock(&ECClock::system())
{
    m_progressDisplay = progressDisplayFor(ECModuleStatus::Idle, 0, 0, buttonTitle(0));
}

ECModule::~ECModule()
{
    stopAllWork();
}

std::shared_ptr<AMDevice> ECModule::device() const
{
    std::lock_guard lock(m_deviceMutex);
    return m_device;
}

void ECModule::setDevice(std::shared_ptr<AMDevice> device)
{
    const bool attached = device != nullptr;
    {
        std::lock_guard lock(m_deviceMutex);
        m_device = std::move(device);
    }
    if (attached && m_phoneGone) {
        m_phoneGone = false;
        updateProgressLabel();
    }
}

void ECModule::phoneDetached()
{
    if (m_phoneGone) {
        return;
    }
    m_phoneGone = true;
    const bool wasDeleting = moduleStatus() == ECModuleStatus::Deleting;
    // Listing, scans and the rest of a deletion would only fail one by one against a phone that
    // is gone; the item under way ends and its completion tells what it did.
    m_queue.cancelAllOperations();
    m_sizeQueue.cancelAllOperations();
    if (!wasDeleting) {
        setStatusMessage(unpluggedLine(m_deletedThisShowing ? m_lastTally : std::nullopt));
    }
    updateProgressLabel();
}

void ECModule::phoneReattached(std::shared_ptr<AMDevice> device)
{
    if (!device) {
        return;
    }
    setDevice(std::move(device));
    m_phoneGone = false;
    setStatusMessage(QString());
    loadConfigView();
    updateProgressLabel();
}

void ECModule::deleteButtonClicked()
{
    if (m_phoneGone || moduleStatus() == ECModuleStatus::Deleting) {
        return;
    }
    const std::int64_t count = itemsToRemoveCount();
    if (count <= 0) {
        return;
    }
    const std::optional<ECModuleAlert> question = confirmation(count);
    if (!question) {
        performDeletion();
        return;
    }
    QPointer<ECModule> self(this);
    presentAlert(*question, [self](int button) {
        // The phone may have gone while the question was open.
        if (self && button == 0 && !self->m_phoneGone) {
            self->performDeletion();
        }
    });
}

std::optional<ECModuleAlert> ECModule::confirmation(std::int64_t) const
{
    return std::nullopt;
}

QString ECModule::countedItems(std::int64_t count) const
{
    return countedNoun(count, QStringLiteral("item"), QStringLiteral("items"));
}

QString ECModule::finishedLine(const ECDeletionTally& tally, std::optional<std::int64_t> gain) const
{
    QString line = tally.removed == tally.requested
        ? QStringLiteral("Removed %1").arg(countedItems(tally.removed))
        : QStringLiteral("Removed %1 of %2").arg(tally.removed).arg(countedItems(tally.requested));
    if (gain) {
        line += QStringLiteral(": %1 freed on the phone.").arg(formattedByteCount(std::max<std::int64_t>(*gain, 0)));
    } else {
        line += QStringLiteral("; the phone did not say how much space is free now.");
    }
    if (tally.failed > 0) {
        line += tally.failed == 1 ? QStringLiteral(" 1 could not be removed")
                                  : QStringLiteral(" %1 could not be removed").arg(tally.failed);
        QStringList reasons;
        for (QString reason : tally.reasons) {
            while (reason.endsWith(QLatin1Char('.'))) {
                reason.chop(1);
            }
            reasons.append(reason);
        }
        line += reasons.isEmpty() ? QStringLiteral(".")
                                  : QStringLiteral(": %1.").arg(reasons.join(QStringLiteral("; ")));
    }
    if (tally.unanswered > 0) {
        line += QStringLiteral(" The phone stopped answering; nothing else was changed.");
    }
    if (!tally.note.isEmpty()) {
        line += QLatin1Char(' ') + tally.note;
    }
    return line;
}

QString ECModule::unpluggedLine(const std::optional<ECDeletionTally>& tally) const
{
    if (!tally) {
        return QStringLiteral("The phone was unplugged. Nothing was changed.");
    }
    QString line = QStringLiteral("The phone was unplugged: %1 of %2 removed.")
                       .arg(tally->removed)
                       .arg(countedItems(tally->requested));
    if (tally->unanswered > 0) {
        line += QStringLiteral(" Whether %1 more went will show when it is plugged in again.").arg(tally->unanswered);
    }
    if (tally->failed > 0) {
        line += QStringLiteral(" %1 could not be removed.").arg(tally->failed);
    }
    return line + QStringLiteral(" Nothing else was changed.");
}

void ECModule::setTitleText(const QString& text)
{
    m_titleText = text;
    emit textsChanged();
}

void ECModule::setHintText(const QString& text)
{
    m_hintText = text;
    emit textsChanged();
}

void ECModule::setClock(const ECClock* clock)
{
    m_clock = clock ? clock : &ECClock::system();
}

std::int64_t ECModule::freeBytesBeforeDeleting() const
{
    std::lock_guard lock(m_measureMutex);
    return m_freeBytesBefore.value_or(0);
}

void ECDeletionTally::addFailure(const QString& reason)
{
    ++failed;
    if (!reason.isEmpty() && !reasons.contains(reason)) {
        reasons.append(reason);
    }
}

void ECModule::close()
{
    if (moduleStatus() != ECModuleStatus::Deleting) {
        m_deletedThisShowing = false;
    }
    m_totalBytesToDeleteInAction = 0;
    if (!m_userDidUseModule && m_eventSink) {
        m_eventSink->trackEvent(QStringLiteral("CancelledModule"), { { QStringLiteral("ModuleName"), moduleName() } });
    }
    const ECModuleStatus status = moduleStatus();
    m_queue.cancelAllOperations();
    if (status != ECModuleStatus::Deleting) {
        m_sizeQueue.cancelAllOperations();
        emit windowCloseRequested();
        if (std::exchange(m_deletedSinceClose, false)) {
            emit deviceSpaceChanged();
        }
        return;
    }
    // The window stays: the loop stops before its next item, and its completion still reports,
    // with the measured gain only.
    m_deleting = false;
    updateProgressLabel();
}

std::int64_t ECModule::freeBytes()
{
    return readFreeBytes().value_or(0);
}

ECModuleStatus ECModule::moduleStatus() const
{
    return moduleStatusFor(m_deleting, m_workOperations.load(), m_sizeOperations.load());
}

QString ECModule::buttonTitle(std::int64_t count) const
{
    return QStringLiteral("Clear%1 selected").arg(countText(count));
}

QString ECModule::deletingText() const
{
    return QStringLiteral("Clearing files...");
}

void ECModule::updateProgressLabel()
{
    m_bytesToDelete = selectionSize();
    const std::int64_t count = itemsToRemoveCount();
    const ECModuleStatus status = moduleStatus();
    ECProgressDisplay display = progressDisplayFor(status, m_bytesToDelete, count, buttonTitle(count));
    if (status == ECModuleStatus::Deleting) {
        display.label = deletingText();
    }
    if (m_phoneGone) {
        display.deleteEnabled = false;
    }
    if (display != m_progressDisplay) {
        m_progressDisplay = std::move(display);
        emit progressDisplayChanged();
    }
}

void ECModule::setStatusMessage(const QString& message, bool problem)
{
    if (message != m_statusMessage || problem != m_statusIsProblem) {
        m_statusMessage = message;
        m_statusIsProblem = problem;
        emit statusMessageChanged();
    }
}

void ECModule::startDeleting()
{
    m_userDidUseModule = true;
    setDeleting(true);
    m_totalBytesToDeleteInAction = m_bytesToDelete;
    {
        std::lock_guard lock(m_measureMutex);
        m_needsFreeBytesBefore = true;
        m_freeBytesBefore.reset();
    }
    // Measured off the main thread so the window never waits on the device; a deletion loop that
    // gets the device lock first measures it itself (lockDeviceForDeletion).
    m_measureQueue.addOperation([this](const Operation&) {
        if (const DeviceLockHold held = lockDevice(device())) {
            measureFreeBytesBeforeIfNeeded();
        }
    });
}

void ECModule::showFinishedDialog()
{
    const std::optional<ECDeletionTally> pending = std::exchange(m_pendingTally, std::nullopt);
    if (!pending) {
        measureAndReport({});
        return;
    }
    const ECDeletionTally tally = *pending;
    m_lastTally = tally;
    m_lastMeasuredGain.reset();
    m_deletedThisShowing = true;
    const std::uint64_t serial = ++m_deletionSerial;
    measureAndReport([this, tally, serial](std::optional<std::int64_t> gain) {
        if (serial != m_deletionSerial) {
            return;
        }
        m_lastMeasuredGain = gain;
        // A deletion that did all it was asked is news, not a problem.
        const bool clean = !m_phoneGone && tally.failed == 0 && tally.unanswered == 0;
        setStatusMessage(unpluggedOrStoppedLine(tally, gain), !clean);
        emit deletionFinished();
    });
}

void ECModule::finishDeletion(const ECDeletionTally& tally)
{
    m_pendingTally = tally;
    showFinishedDialog();
    m_pendingTally.reset();
}

QString ECModule::unpluggedOrStoppedLine(const ECDeletionTally& tally, std::optional<std::int64_t> gain) const
{
    // The unplugging may be announced after the deletion saw the phone stop answering; it
    // rewrites the line then (phoneDetached).
    return m_phoneGone ? unpluggedLine(tally) : finishedLine(tally, gain);
}

void ECModule::measureAndReport(std::function<void(std::optional<std::int64_t> gain)> measured)
{
    m_deleting = false;
    const std::int64_t estimate = m_totalBytesToDeleteInAction;
    const QString name = moduleName();
    // On the measuring queue, after the reading taken at the start; the report comes back to the
    // main thread without anyone waiting for it.
    m_measureQueue.addOperation([this, estimate, name, measured = std::move(measured)](const Operation&) {
        std::optional<std::int64_t> before;
        std::optional<std::int64_t> after;
        {
            const DeviceLockHold held = lockDevice(device());
            if (!held) {
                return;
            }
            {
                std::lock_guard measureLock(m_measureMutex);
                if (!m_needsFreeBytesBefore) {
                    before = m_freeBytesBefore;
                }
            }
            after = readFreeBytes();
        }
        const auto amount = clearedSpaceToReport(estimate, before, after);
        std::optional<std::int64_t> gain;
        if (before && after) {
            gain = *after - *before;
        }
        postToMain([this, name, amount, gain, measured] {
            if (amount) {
                reportClearedSpace(name, *amount);
            }
            if (measured) {
                measured(gain);
            }
            emit deviceSpaceChanged();
        });
    });
}

void ECModule::reportClearedSpace(const QString& name, std::int64_t amount)
{
    if (!m_eventSink) {
        return;
    }
    m_eventSink->logUsedModule(name, amount);
    m_eventSink->trackEvent(QStringLiteral("ClearedSpace"),
        { { QStringLiteral("ModuleName"), name },
            { QStringLiteral("AmountCleared"), QVariant::fromValue<qint64>(amount) } });
}

QString ECModule::moduleName() const
{
    return QStringLiteral("NoModuleName");
}

void ECModule::setProgressMaximum(int maximum)
{
    if (maximum != m_progressMaximum) {
        m_progressMaximum = maximum;
        emit progressValueChanged();
    }
}

void ECModule::setProgressValue(int value)
{
    if (value != m_progressValue) {
        m_progressValue = value;
        emit progressValueChanged();
    }
}

void ECModule::addWorkOperation(OperationQueue::Work work, std::function<void()> completion)
{
    addCountedOperation(m_queue, m_workOperations, std::move(work), std::move(completion));
}

void ECModule::addSizeOperation(OperationQueue::Work work, std::function<void()> completion)
{
    addCountedOperation(m_sizeQueue, m_sizeOperations, std::move(work), std::move(completion));
}

void ECModule::addCountedOperation(OperationQueue& queue,
    std::atomic<std::size_t>& counter,
    OperationQueue::Work work,
    std::function<void()> completion)
{
    ++counter;
    // The count drops before the completion runs, so the refresh a completion makes already sees
    // the queue without this operation; otherwise the last refresh would read "Scanning" forever.
    queue.addOperation(std::move(work), [&counter, completion = std::move(completion)] {
        --counter;
        if (completion) {
            completion();
        }
    });
}

bool ECModule::runOnMainAndWait(std::function<void()> function)
{
    auto wait = std::make_shared<MainWait>();
    {
        std::lock_guard lock(m_waitsMutex);
        if (m_shuttingDown) {
            return false;
        }
        m_waits.insert(wait);
    }
    RunLoop* loop = RunLoop::main();
    if (!loop || loop->isLoopThread()) {
        function();
        std::lock_guard lock(m_waitsMutex);
        m_waits.erase(wait);
        return true;
    }
    // Finishes the wait when the posted function is destroyed, whether it ran or was dropped by
    // a loop that ended, so queue code never hangs on a main loop that is gone.
    auto signal = std::make_shared<WaitSignal>(wait);
    loop->post([signal, function = std::move(function)] {
        {
            std::lock_guard lock(signal->wait->mutex);
            // Abandoned only by the module's destruction, which also runs on this thread: the
            // function would touch a module that is going away.
            if (signal->wait->abandoned) {
                return;
            }
        }
        function();
        std::lock_guard lock(signal->wait->mutex);
        signal->wait->ran = true;
    });
    signal.reset();
    bool ran = false;
    {
        std::unique_lock lock(wait->mutex);
        wait->condition.wait(lock, [&] { return wait->finished || wait->abandoned; });
        ran = wait->ran;
    }
    std::lock_guard lock(m_waitsMutex);
    m_waits.erase(wait);
    return ran;
}

void ECModule::postToMain(std::function<void()> function)
{
    RunLoop* loop = RunLoop::main();
    if (!loop) {
        function();
        return;
    }
    std::weak_ptr<int> alive;
    {
        std::lock_guard lock(m_aliveMutex);
        alive = m_alive;
    }
    loop->post([alive = std::move(alive), function = std::move(function)] {
        if (alive.lock()) {
            function();
        }
    });
}

AMDeviceLock& ECModule::deviceLock()
{
    const std::shared_ptr<AMDevice> current = device();
    return current ? current->deviceLock() : m_spareLock;
}

ECModule::DeviceLockHold ECModule::lockDevice(std::shared_ptr<AMDevice> target)
{
    DeviceLockHold hold;
    AMDeviceLock& lock = target ? target->deviceLock() : m_spareLock;
    hold.m_device = std::move(target);
    {
        std::lock_guard waits(m_waitsMutex);
        if (m_shuttingDown) {
            return hold;
        }
        m_lockWaits.insert(&lock);
    }
    // The holder may be another module's deletion loop waiting for the main thread, and the main
    // thread may be in stopAllWork() waiting for us: that wakes us and we give up.
    const bool locked = lock.lockUnless([this] { return m_stopping.load(); });
    {
        std::lock_guard waits(m_waitsMutex);
        m_lockWaits.erase(m_lockWaits.find(&lock));
    }
    if (locked) {
        hold.m_lock = std::unique_lock(lock, std::adopt_lock);
    }
    return hold;
}

ECModule::DeviceLockHold ECModule::lockDeviceForDeletion()
{
    DeviceLockHold hold = lockDevice(device());
    if (hold) {
        measureFreeBytesBeforeIfNeeded();
    }
    return hold;
}

void ECModule::measureFreeBytesBeforeIfNeeded()
{
    {
        std::lock_guard lock(m_measureMutex);
        if (!m_needsFreeBytesBefore) {
            return;
        }
    }
    // The caller holds the device lock, so no one else measures meanwhile.
    const auto freeNow = readFreeBytes();
    std::lock_guard lock(m_measureMutex);
    m_freeBytesBefore = freeNow;
    m_needsFreeBytesBefore = false;
}

void ECModule::presentAlert(const ECModuleAlert& alert, std::function<void(int button)> answer)
{
    if (!m_host) {
        logLine(LOG_MODULES, "No window to ask: %s", alert.message.toUtf8().constData());
        answer(-1);
        return;
    }
    m_host->presentAlert(alert, std::move(answer));
}

void ECModule::stopAllWork()
{
    {
        std::lock_guard lock(m_waitsMutex);
        if (m_shuttingDown) {
            return;
        }
        m_shuttingDown = true;
        m_stopping = true;
        for (const auto& wait : m_waits) {
            {
                std::lock_guard waitLock(wait->mutex);
                wait->abandoned = true;
            }
            wait->condition.notify_all();
        }
        for (AMDeviceLock* waited : m_lockWaits) {
            waited->wakeWaiters();
        }
    }
    {
        std::lock_guard lock(m_aliveMutex);
        m_alive.reset();
    }
    m_queue.cancelAllOperations();
    m_sizeQueue.cancelAllOperations();
    m_queue.waitUntilAllOperationsAreFinished();
    m_sizeQueue.waitUntilAllOperationsAreFinished();
    m_measureQueue.waitUntilAllOperationsAreFinished();
}

std::optional<std::int64_t> ECModule::readFreeBytes()
{
    const std::shared_ptr<AMDevice> current = device();
    if (!current) {
        return std::nullopt;
    }
    const std::optional<AMStorageSpace> space = AMStorageSpace::read(*current);
    return space ? space->freeBytes : std::nullopt;
}
