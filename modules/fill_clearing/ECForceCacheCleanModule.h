#pragma once

#include "modules/ECModule.h"
#include "modules/fill_clearing/ECFillRun.h"

#include <QByteArray>
#include <QRect>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class AMDevice;
class ECFillStore;

/// Clear Temporary Files: fills the phone with filler files until it is full, which makes it
/// discard the caches apps keep, frees a little and fills again, three fills in all, then deletes
/// every filler and reports the free space gained.
///
/// Everything public runs on the main thread unless it says otherwise. The run itself goes on the
/// module's own background queue and talks to the phone over an AFC connection of its own; the
/// window only ever receives posted progress and results, so it never waits for the phone.
class ECForceCacheCleanModule : public ECModule
{
    Q_OBJECT

public:
    /// The start and cancel buttons: initial, cleaning, stopping (a stop press is being carried
    /// out) and finished.
    enum class ButtonState {
        Initial,
        Cleaning,
        Stopping,
        Finished,
    };

    /// The name under which the module's icon is known.
    static inline const QString ICON_NAME = QStringLiteral("giant-icon-cache-new");
    /// Alerts appear this many points above where the window would put them.
    static constexpr int SHEET_RAISE = 20;

    explicit ECForceCacheCleanModule(QObject* parent = nullptr);
    ~ECForceCacheCleanModule() override;

    /// Opens the fill store of a device, called with the device's lock held; null when the media
    /// area cannot be opened. The media area over AFC unless replaced (tests wrap it).
    using StoreFactory = std::function<std::unique_ptr<ECFillStore>(AMDevice& device)>;
    void setStoreFactory(StoreFactory factory) { m_storeFactory = std::move(factory); }

    /// Where "Send Info" mails go.
    void setSupportAddress(const QString& address) { m_supportAddress = address; }
    const QString& supportAddress() const { return m_supportAddress; }

    // ---- ECModule ----
    /// Each showing: the texts, and the fill folder of the device cleared on the background queue.
    void loadConfigView() override;
    /// Ends the module unless a run is under way (it must be stopped first; the window stays).
    void close() override;
    QString moduleName() const override;
    /// This module reports through its own dialogs and files no usage event.
    void showFinishedDialog() override { }
    /// Removes fillers a run left behind on `device` (a crash, a kill or an unplugging mid-run).
    /// Any thread; talks to the device.
    void deviceAttached(const std::shared_ptr<AMDevice>& device) override;

    /// Sets the texts and icon, clears the fill folder of the device, if any, on the background
    /// queue, and clears `runningExperiment`.
    void awakeFromNib();
    /// The start button: starts a run, or stops the one under way.
    void fillDevice();
    void fillDeviceWithEmptyFiles();
    /// The experimental fill: writes 1 MiB blocks into one new filler until the phone refuses.
    /// Nothing in the interface starts it.
    void testNewFillingMethod();
    /// Deletes every filler on the background queue.
    void clearTempFiles();

    static std::uint64_t getApproriateBlobSizeForFreeSpace(std::uint64_t freeBytes);
    /// The largest of the data blocks shorter than `freeBytes`, or null.
    const QByteArray* getDataFittingFreeSpace(std::uint64_t freeBytes);
    const QByteArray& data1mb();
    const QByteArray& data10mb();
    const QByteArray& data100mb();

    void setButtonsToInitialState();
    void setButtonsToCleaningState();
    void setButtonsToStoppingState();
    void setButtonsToFinishedState();
    ButtonState buttonState() const { return m_buttonState; }
    QString startButtonTitle() const;
    bool startButtonEnabled() const
    {
        return m_buttonState != ButtonState::Stopping && (m_buttonState != ButtonState::Initial || !phoneGone());
    }
    /// The window says the phone went, as every tool does, and the start button is disabled until
    /// it returns. A run under way notices the unplugging itself and ends with the same line.
    void phoneDetached() override;
    /// What the last run of this showing left on the phone, when there was one.
    QString unpluggedLine(const std::optional<ECDeletionTally>& tally) const override;
    void phoneReattached(std::shared_ptr<AMDevice> device) override;
    QString cancelButtonTitle() const;
    bool cancelButtonEnabled() const;

    /// Where an alert goes: `proposed` moved up by SHEET_RAISE points.
    static QRect willPositionSheet(const QRect& proposed);
    void showFailureDialogWithFilesWritten(int filesWritten, std::uint64_t freeSpace, std::uint64_t attemptedWriteSize);
    void showFinishedDialogWithSavedSpace(const ECFillRules::ECGainReport& gain);

    bool cleaningCaches() const { return m_cleaningCaches.load(); }
    bool runningExperiment() const { return m_runningExperiment; }
    /// The free space read when the last run started.
    std::optional<std::uint64_t> initialFreeSpace() const;
    /// Counters of the run under way or last run (any thread).
    int filesWritten() const { return m_filesWritten.load(); }
    int failedWrites() const { return m_failedWrites.load(); }
    /// How the last run ended; nothing before the first.
    const std::optional<ECFillOutcome>& lastOutcome() const { return m_lastOutcome; }
    /// Runs and clearings queued or under way (tests wait for zero).
    std::size_t pendingWork() const { return m_fillQueue.operationCount(); }

signals:
    void buttonsChanged();
    /// A run ended and its dialog, if any, was asked for.
    void runEnded();

private:
    void setButtonState(ButtonState state);
    void startRun();
    void finishRun(const ECFillOutcome& outcome);
    void postProgress(float percent);
    void showMessage(const QString& message);

    StoreFactory m_storeFactory;
    QString m_supportAddress;
    ButtonState m_buttonState { ButtonState::Initial };
    std::atomic<bool> m_cleaningCaches { false };
    bool m_runningExperiment { false };
    std::optional<ECFillOutcome> m_lastOutcome;
    // The run that ended since the window was last shown, for the line when the phone goes.
    std::optional<ECFillOutcome> m_outcomeThisShowing;
    std::chrono::steady_clock::time_point m_startTime;

    std::atomic<int> m_filesWritten { 0 };
    std::atomic<int> m_failedWrites { 0 };
    std::atomic<int> m_postedPercent { -1 };

    mutable std::mutex m_runMutex;
    ECFillRun* m_activeRun { nullptr };
    std::optional<std::uint64_t> m_initialFreeSpace;

    QByteArray m_data1mb;
    QByteArray m_data10mb;
    QByteArray m_data100mb;

    // Declared last: destroyed first, so no run outlives the members above.
    OperationQueue m_experimentQueue { 1 };
    OperationQueue m_fillQueue { 1 };
};
