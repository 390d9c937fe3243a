#pragma once

#include "base/OperationQueue.h"
#include "device/AMDeviceLock.h"
#include "modules/ECModuleHost.h"
#include "modules/ECModuleRules.h"

#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

class AMDevice;
class ECClock;
class ECModuleEventSink;
class ECModuleHost;
struct ECModuleAlert;

/// What one deletion did, for the line the window shows when it ends.
struct ECDeletionTally
{
    /// Things the user asked to remove.
    std::int64_t requested { 0 };
    /// Removed, as the phone confirmed.
    std::int64_t removed { 0 };
    /// The phone refused or failed; each stays on the phone.
    std::int64_t failed { 0 };
    /// The phone stopped answering while this one was under way: it may or may not be gone.
    std::int64_t unanswered { 0 };
    /// Why things failed, each reason once, in the order met.
    QStringList reasons;
    /// What the tool adds after the counts, a sentence or empty (where the photos' copies are).
    QString note;

    /// The deletion stopped before its end because the phone stopped answering.
    bool interrupted() const { return unanswered > 0; }
    void addFailure(const QString& reason);
};

/// A cleaning tool: the device it works on, a work queue and a one-at-a-time size queue for its
/// device work, the device's lock between them and everyone else who talks to the phone, a status from which the
/// progress label, bar and buttons follow, and the report of the space a deletion cleared.
///
/// Everything public runs on the main thread unless it says otherwise. Queue code hands results
/// back with runOnMainAndWait() or postToMain(). A module lives as long as the application and is
/// shown again and again; each showing sets the device and calls loadConfigView().
///
/// Subclasses whose queue work calls into members of their own must call stopAllWork() first in
/// their destructor, so no operation runs while those members are being destroyed.
class ECModule : public QObject
{
    Q_OBJECT

public:
    explicit ECModule(QObject* parent = nullptr);
    ~ECModule() override;

    /// The device the module works on; any thread.
    std::shared_ptr<AMDevice> device() const;
    void setDevice(std::shared_ptr<AMDevice> device);

    const QString& titleText() const { return m_titleText; }
    void setTitleText(const QString& text);
    const QString& hintText() const { return m_hintText; }
    void setHintText(const QString& text);
    /// The picture of the module's button on the home screen.
    const QImage& iconImage() const { return m_iconImage; }
    void setIconImage(const QImage& image) { m_iconImage = image; }

    std::int64_t freeBytesBeforeDeleting() const;
    std::int64_t bytesToDelete() const { return m_bytesToDelete; }
    std::int64_t totalBytesToDeleteInAction() const { return m_totalBytesToDeleteInAction; }
    bool deleting() const { return m_deleting; }
    void setDeleting(bool deleting)
    {
        m_deleting = deleting;
        m_deletedSinceClose = m_deletedSinceClose || deleting;
    }
    bool userDidUseModule() const { return m_userDidUseModule; }

    OperationQueue& queue() { return m_queue; }
    OperationQueue& sizeQueue() { return m_sizeQueue; }
    /// The lock of the module's device, held by queue code while it talks to the device; the
    /// same lock every other module and the controller take for that device. Plain and
    /// non-recursive. Without a device, a lock of the module's own. Queue code takes it with
    /// lockDevice(), which keeps the device alive while the lock is held.
    AMDeviceLock& deviceLock();

    /// The device lock held, with the device it belongs to kept alive until it is released.
    /// Empty (false) when the module stopped all work while waiting for it.
    class DeviceLockHold
    {
    public:
        explicit operator bool() const { return m_lock.owns_lock(); }

    private:
        friend class ECModule;
        // Declared first: the device outlives the lock it owns.
        std::shared_ptr<AMDevice> m_device;
        std::unique_lock<AMDeviceLock> m_lock;
    };

    /// Set by the application; may be null (nothing is filed).
    void setEventSink(ECModuleEventSink* sink) { m_eventSink = sink; }
    ECModuleEventSink* eventSink() const { return m_eventSink; }
    /// Set by whoever shows the module; may be null (alerts answer -1, folder choices nothing).
    void setHost(ECModuleHost* host) { m_host = host; }
    ECModuleHost* host() const { return m_host; }
    void setClock(const ECClock* clock);
    const ECClock& clock() const { return *m_clock; }

    /// The phone's system version as a number (8.2, 11.4; 0 when unknown), set before each
    /// showing; hints that name the phone's Settings follow it.
    virtual void setSystemVersion(float version) { m_systemVersion = version; }
    float systemVersion() const { return m_systemVersion; }

    /// Whether the home screen enables the module's button.
    virtual bool enabled() const { return true; }
    /// Starts the module's work each time it is shown, after the device is set.
    virtual void loadConfigView() { }
    /// Ends the module: from its cancel/done button, or from the application when the user leaves
    /// it or another phone is selected.
    virtual void close();
    /// The module's phone went away. The window stays and says so; a deletion under way stops
    /// before its next item; the actions are disabled until the phone returns.
    virtual void phoneDetached();
    /// The same phone is back as `device` (a new device object): the module lists afresh over
    /// new connections.
    virtual void phoneReattached(std::shared_ptr<AMDevice> device);
    /// Whether the module's phone went away and has not come back.
    bool phoneGone() const { return m_phoneGone; }
    /// A device was attached. Called on the application's device queue, not the main thread, before
    /// the application looks at the device; may talk to `device`, must not touch the view state.
    virtual void deviceAttached(const std::shared_ptr<AMDevice>& device) { (void)device; }

    /// The device's free bytes now, from its media area; 0 without a device or an answer.
    /// Talks to the device: call it on a queue, holding the device lock.
    std::int64_t freeBytes();

    ECModuleStatus moduleStatus() const;
    /// Bytes the current selection would free.
    virtual std::int64_t selectionSize() const { return 0; }
    /// The delete button's title for the number of things a deletion would remove (0 for none).
    virtual QString buttonTitle(std::int64_t count) const;
    /// The progress label while deleting: what this module's deletion does.
    virtual QString deletingText() const;
    /// Whether the window offers a deletion at all (progress, selection size, delete button).
    virtual bool offersDeletion() const { return true; }
    /// How many things a deletion would remove now.
    virtual std::int64_t itemsToRemoveCount() const { return 0; }

    /// Brings label, bar and buttons in step with the status and the selection.
    virtual void updateProgressLabel();
    /// Records the start of a deletion: the estimate, and the free space before (measured on a
    /// queue, before the deletion touches the device).
    void startDeleting();
    /// Ends a deletion and reports the space cleared; called by finishDeletion(), whose line it
    /// shows once the free space is measured. Shows no dialog in the base.
    virtual void showFinishedDialog();
    /// Ends a deletion that did what `tally` says: reports as showFinishedDialog() does, then,
    /// once the phone's free space is measured, shows the finished line (or the unplugged line)
    /// and emits deviceSpaceChanged().
    void finishDeletion(const ECDeletionTally& tally);
    /// The key under which usage and analytics events are filed.
    virtual QString moduleName() const;

    /// The delete button was pressed: asks confirmation() when there is one, every time, then
    /// performDeletion() once the user agreed.
    void deleteButtonClicked();
    /// The question to ask before removing `count` things the user cannot get back from this
    /// computer; nothing when the removal needs none (copies verified, caches, fillers).
    virtual std::optional<ECModuleAlert> confirmation(std::int64_t count) const;
    /// Starts the deletion the delete button asks for. Nothing in the base.
    virtual void performDeletion() { }
    /// "3 apps", "1 song": a count of the things this module removes, for its finished line.
    virtual QString countedItems(std::int64_t count) const;
    /// The line shown when a deletion has ended: what was removed, the space the phone gained
    /// (nothing when it could not be measured) and what failed and why.
    QString finishedLine(const ECDeletionTally& tally, std::optional<std::int64_t> gain) const;
    /// The line shown when the phone went away: what a deletion interrupted by it did. A tool
    /// that keeps no tally (fill clearing) tells what its own run did instead.
    virtual QString unpluggedLine(const std::optional<ECDeletionTally>& tally) const;
    /// The free space the phone gained in the last deletion, as measured; nothing before its
    /// measurement or when it could not be measured.
    std::optional<std::int64_t> lastMeasuredGain() const { return m_lastMeasuredGain; }

    const ECProgressDisplay& progressDisplay() const { return m_progressDisplay; }
    /// A failure the user should read (the phone refused to remove something, say), shown beside
    /// the progress label; empty when there is none.
    const QString& statusMessage() const { return m_statusMessage; }
    /// Whether the status message reports a problem (something failed, the phone went) rather
    /// than an outcome that went as asked; the window draws the two apart.
    bool statusIsProblem() const { return m_statusIsProblem; }
    void setStatusMessage(const QString& message, bool problem = true);
    int progressValue() const { return m_progressValue; }
    int progressMaximum() const { return m_progressMaximum; }
    void setProgressMaximum(int maximum);
    void setProgressValue(int value);

    /// Free-space readings and reports still under way (for tests and orderly shutdown).
    std::size_t pendingMeasurements() const { return m_measureQueue.operationCount(); }

signals:
    void progressDisplayChanged();
    void progressValueChanged();
    void textsChanged();
    void statusMessageChanged();
    /// The module is done: whoever shows it ends its window.
    void windowCloseRequested();
    /// The phone's space may have changed: a deletion ended (after its measurement) or the module closed after one.
    void deviceSpaceChanged();
    /// A deletion ended and its finished line is shown.
    void deletionFinished();

protected:
    /// Reads the free bytes from the device; nothing when it cannot be read. Queue threads only,
    /// with the device lock held.
    virtual std::optional<std::int64_t> readFreeBytes();

    /// Queues work on the work queue or the size queue so the status sees it until its
    /// completion has started. The completion runs on a queue thread.
    void addWorkOperation(OperationQueue::Work work, std::function<void()> completion = {});
    void addSizeOperation(OperationQueue::Work work, std::function<void()> completion = {});

    /// Runs `function` on the main thread and returns once it has run (directly when already
    /// there). False when the module is shutting down and `function` was not run.
    bool runOnMainAndWait(std::function<void()> function);
    /// Posts `function` to the main thread without waiting; dropped if the module is gone.
    void postToMain(std::function<void()> function);

    /// Takes the lock of `target` (the module's own without one), waiting as long as another
    /// module or the controller holds it, unless stopAllWork() comes first. Queue threads only:
    /// the holder may be waiting for the main thread.
    DeviceLockHold lockDevice(std::shared_ptr<AMDevice> target);
    /// Takes the device lock for a deletion, first reading the free space before it if that has
    /// not been done yet. Deletion loops use this instead of locking deviceLock() directly.
    DeviceLockHold lockDeviceForDeletion();

    /// Asks the host; without one the answer is -1 at once.
    void presentAlert(const ECModuleAlert& alert, std::function<void(int button)> answer);

    /// Cancels all queued work, releases queue code waiting for the main thread or for the device
    /// lock and waits for the queues to drain. Main thread; idempotent.
    void stopAllWork();

private:
    struct MainWait;
    struct WaitSignal;
    void addCountedOperation(OperationQueue& queue,
        std::atomic<std::size_t>& counter,
        OperationQueue::Work work,
        std::function<void()> completion);
    void measureFreeBytesBeforeIfNeeded();
    /// Ends the deleting status, measures the free space after, files the report and hands the
    /// measured gain (nothing when a reading failed) to `measured` on the main thread.
    void measureAndReport(std::function<void(std::optional<std::int64_t> gain)> measured);
    QString unpluggedOrStoppedLine(const ECDeletionTally& tally, std::optional<std::int64_t> gain) const;
    void reportClearedSpace(const QString& moduleName, std::int64_t amount);

    mutable std::mutex m_deviceMutex;
    std::shared_ptr<AMDevice> m_device;
    QString m_titleText;
    QString m_hintText;
    QImage m_iconImage;

    std::int64_t m_bytesToDelete { 0 };
    std::int64_t m_totalBytesToDeleteInAction { 0 };
    std::atomic<bool> m_deleting { false };
    // A deletion began since the module was last closed: closing tells that the space changed.
    bool m_deletedSinceClose { false };
    bool m_userDidUseModule { false };
    // A deletion ended since the module was last shown: closing tells the home screen.
    bool m_deletedThisShowing { false };
    bool m_phoneGone { false };
    float m_systemVersion { 0.0f };
    std::optional<ECDeletionTally> m_lastTally;
    // The tally finishDeletion() hands to showFinishedDialog().
    std::optional<ECDeletionTally> m_pendingTally;
    std::optional<std::int64_t> m_lastMeasuredGain;
    // Which deletion a measurement belongs to; a late one never overwrites a newer line.
    std::uint64_t m_deletionSerial { 0 };

    ECProgressDisplay m_progressDisplay;
    QString m_statusMessage;
    bool m_statusIsProblem { true };
    int m_progressValue { 0 };
    int m_progressMaximum { 0 };

    ECModuleEventSink* m_eventSink { nullptr };
    ECModuleHost* m_host { nullptr };
    const ECClock* m_clock;

    // Serves queue code while the module has no device.
    AMDeviceLock m_spareLock;
    // Free space before the deletion under way; guarded by m_measureMutex.
    mutable std::mutex m_measureMutex;
    bool m_needsFreeBytesBefore { false };
    std::optional<std::int64_t> m_freeBytesBefore;

    std::mutex m_waitsMutex;
    std::set<std::shared_ptr<MainWait>> m_waits;
    // Device locks queue code is waiting for, each kept alive by its waiter.
    std::multiset<AMDeviceLock*> m_lockWaits;
    bool m_shuttingDown { false };
    std::atomic<bool> m_stopping { false };
    // Posted functions hold a weak reference and run only while the module lives. Queue threads
    // copy it while the main thread may be resetting it, so both go through m_aliveMutex.
    std::mutex m_aliveMutex;
    std::shared_ptr<int> m_alive { std::make_shared<int>(0) };

    std::atomic<std::size_t> m_workOperations { 0 };
    std::atomic<std::size_t> m_sizeOperations { 0 };
    // Declared last: destroyed first, so no queue thread outlives the members above.
    OperationQueue m_measureQueue { 1 };
    OperationQueue m_sizeQueue { 1 };
    // Listing and deleting may run side by side, as on a default-width queue.
    OperationQueue m_queue { 4 };
};
