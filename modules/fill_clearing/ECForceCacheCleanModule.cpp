#include "modules/fill_clearing/ECForceCacheCleanModule.h"

#include "base/Log.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"
#include "modules/ECModuleHost.h"
#include "modules/fill_clearing/ECFillClearingArtwork.h"
#include "modules/fill_clearing/ECFillStore.h"

using namespace ECFillRules;

namespace {

/// The run ended with its fillers possibly still on the phone, how many unknown.
bool isInterrupted(const ECFillOutcome& outcome)
{
    return outcome.ending == ECFillEnding::Disconnected && !outcome.fillersCleared;
}

}

ECForceCacheCleanModule::ECForceCacheCleanModule(QObject* parent)
    : ECModule(parent)
    , m_storeFactory([](AMDevice& device) -> std::unique_ptr<ECFillStore> { return ECAFCFillStore::open(device); })
    , m_supportAddress(QStringLiteral("support@torvane.org"))
{
    awakeFromNib();
}

ECForceCacheCleanModule::~ECForceCacheCleanModule()
{
    // Quitting mid-run: the run ends at its next turn and still deletes its fillers.
    m_cleaningCaches = false;
    {
        std::lock_guard lock(m_runMutex);
        if (m_activeRun) {
            m_activeRun->stop();
        }
    }
    stopAllWork();
    m_fillQueue.waitUntilAllOperationsAreFinished();
    m_experimentQueue.cancelAllOperations();
}

void ECForceCacheCleanModule::awakeFromNib()
{
    setTitleText(QStringLiteral("Clear Temporary Files"));
    setHintText(QStringLiteral("Apps often keep copies of downloaded files on your device. They can take up a lot "
                               "of space. Use this tool to safely remove them."));
    setIconImage(ECFillClearingArtwork::giantIconCacheNew(256));
    clearTempFiles();
    m_runningExperiment = false;
}

void ECForceCacheCleanModule::loadConfigView()
{
    ECModule::loadConfigView();
    m_outcomeThisShowing.reset();
    if (!m_cleaningCaches && m_fillQueue.operationCount() == 0) {
        setButtonsToInitialState();
        setProgressMaximum(100);
        setProgressValue(0);
    }
    awakeFromNib();
}

void ECForceCacheCleanModule::close()
{
    if (m_cleaningCaches || m_buttonState == ButtonState::Stopping) {
        // The fill loop would go on without a window to report to; the user stops it first.
        logLine(LOG_MODULES, "Clearing temporary files is under way; stop it before closing");
        return;
    }
    ECModule::close();
}

QString ECForceCacheCleanModule::moduleName() const
{
    return QStringLiteral("ECForceCacheCleanModule");
}

void ECForceCacheCleanModule::deviceAttached(const std::shared_ptr<AMDevice>& device)
{
    if (!device) {
        return;
    }
    std::unique_ptr<ECFillStore> store;
    {
        // On the controller's device queue, before anyone else has this device.
        std::lock_guard lock(device->deviceLock());
        store = m_storeFactory(*device);
    }
    if (!store) {
        return;
    }
    // Most phones have no fill folder at all; listing first keeps the log quiet for them.
    const auto names = store->folderContents(FILL_FOLDER);
    if (names && !names->empty()) {
        logLine(LOG_MODULES, "Removing %zu temporary files left from an earlier run", names->size());
        (void)ECFillRun::clearTempFiles(*store); // what is left is tried again at the next attach
    }
}

void ECForceCacheCleanModule::phoneDetached()
{
    ECModule::phoneDetached();
    emit buttonsChanged();
}

QString ECForceCacheCleanModule::unpluggedLine(const std::optional<ECDeletionTally>& tally) const
{
    if (!m_outcomeThisShowing) {
        return ECModule::unpluggedLine(tally);
    }
    return phoneGoneMessage(
        true, isInterrupted(*m_outcomeThisShowing), m_outcomeThisShowing->fillersLeft, m_outcomeThisShowing->bytesLeft);
}

void ECForceCacheCleanModule::phoneReattached(std::shared_ptr<AMDevice> device)
{
    ECModule::phoneReattached(std::move(device));
    emit buttonsChanged();
}

void ECForceCacheCleanModule::fillDevice()
{
    fillDeviceWithEmptyFiles();
}

void ECForceCacheCleanModule::fillDeviceWithEmptyFiles()
{
    logLine(LOG_MODULES, "Fill device called");
    if (m_cleaningCaches) {
        // Stopping returns at once: the run ends at its next turn and deletes the fillers itself,
        // off this thread, while the buttons say it is still finishing.
        m_cleaningCaches = false;
        {
            std::lock_guard lock(m_runMutex);
            if (m_activeRun) {
                m_activeRun->stop();
            }
        }
        setButtonsToStoppingState();
        return;
    }
    if (m_buttonState == ButtonState::Stopping || phoneGone()) {
        return;
    }
    setStatusMessage(QString());
    m_outcomeThisShowing.reset();
    startRun();
}

void ECForceCacheCleanModule::startRun()
{
    m_startTime = std::chrono::steady_clock::now();
    m_cleaningCaches = true;
    setDeleting(true);
    setButtonsToCleaningState();
    m_filesWritten = 0;
    m_failedWrites = 0;
    m_postedPercent = -1;
    setProgressMaximum(100);
    setProgressValue(0);
    {
        std::lock_guard lock(m_runMutex);
        m_initialFreeSpace.reset();
    }
    const std::shared_ptr<AMDevice> target = device();
    m_fillQueue.addOperation([this, target](const Operation&) {
        ECFillOutcome outcome;
        std::unique_ptr<ECFillStore> store;
        if (const DeviceLockHold held = lockDevice(target); held && target) {
            store = m_storeFactory(*target);
        }
        if (store) {
            ECFillObserver observer;
            observer.progress = [this](float percent) { postProgress(percent); };
            observer.creationFinished = [this](bool success, std::uint64_t, int written) {
                m_filesWritten = written;
                m_failedWrites = success ? 0 : m_failedWrites + 1;
            };
            ECFillRun run(*store, observer);
            {
                std::lock_guard lock(m_runMutex);
                m_activeRun = &run;
                if (!m_cleaningCaches) {
                    run.stop(); // stopped before the run began
                }
            }
            outcome = run.run();
            std::lock_guard lock(m_runMutex);
            m_activeRun = nullptr;
            m_initialFreeSpace = outcome.initialFreeSpace;
        } else {
            logLine(LOG_MODULES, "Could not open the media area: %s",
                target ? target->lasterror().value_or("").c_str() : "no device");
        }
        postToMain([this, outcome] { finishRun(outcome); });
    });
}

void ECForceCacheCleanModule::postProgress(float percent)
{
    // Only whole-percent changes reach the window; written fillers report every chunk.
    const int value = int(percent);
    if (m_postedPercent.exchange(value) == value) {
        return;
    }
    postToMain([this, value] {
        if (m_cleaningCaches) {
            setProgressValue(value);
        }
    });
}

void ECForceCacheCleanModule::finishRun(const ECFillOutcome& outcome)
{
    m_cleaningCaches = false;
    setDeleting(false);
    m_lastOutcome = outcome;
    m_outcomeThisShowing = outcome;
    setProgressValue(0);
    switch (outcome.ending) {
    case ECFillEnding::Finished:
        setButtonsToFinishedState();
        showFinishedDialogWithSavedSpace(outcome.gain());
        break;
    case ECFillEnding::Stopped:
        setButtonsToInitialState();
        break;
    case ECFillEnding::Refused:
        setButtonsToInitialState();
        showFailureDialogWithFilesWritten(outcome.filesWritten, outcome.freeSpace, outcome.attemptedWriteSize);
        break;
    case ECFillEnding::Disconnected:
        // Said by the status line alone, as every tool says it; the line below.
        setButtonsToInitialState();
        break;
    case ECFillEnding::NoProgress:
        setButtonsToInitialState();
        showMessage(noProgressMessage());
        break;
    case ECFillEnding::FillersLeft:
        setButtonsToInitialState();
        showMessage(fillersLeftMessage(outcome.fillersLeft, outcome.bytesLeft));
        break;
    }
    // The run measured the phone before and after; the home screen reads its figures again.
    if (outcome.ending == ECFillEnding::Disconnected) {
        // The unplugging may be announced after the run saw the phone stop answering; the line is
        // rewritten then (phoneDetached).
        setStatusMessage(
            phoneGone() ? unpluggedLine(std::nullopt) : phoneGoneMessage(false, isInterrupted(outcome), 0, 0));
    } else if (outcome.ending == ECFillEnding::Finished) {
        setStatusMessage(finishedMessage(outcome.gain(), systemVersion()), false);
    }
    emit deviceSpaceChanged();
    emit runEnded();
}

void ECForceCacheCleanModule::showMessage(const QString& message)
{
    presentAlert(ECModuleAlert { message, QString(), { QStringLiteral("OK") }, SHEET_RAISE },
        [](int) { logLine(LOG_MODULES, "got return code"); });
}

void ECForceCacheCleanModule::testNewFillingMethod()
{
    if (m_runningExperiment) {
        return;
    }
    const std::shared_ptr<AMDevice> target = device();
    const QByteArray& block = data1mb();
    m_experimentQueue.addOperation([this, target, &block](const Operation&) {
        std::unique_ptr<ECAFCFillStore> store;
        if (const DeviceLockHold held = lockDevice(target); held && target) {
            store = ECAFCFillStore::open(*target);
        }
        if (!store) {
            return;
        }
        ECFillRun names(*store);
        (void)AFCTreeOperations(store->connection())
            .fillDriveWithData(std::string_view(block.constData(), std::size_t(block.size())),
                names.getNextFilePath()); // goes on until the phone refuses a write
    });
    logLine(LOG_MODULES, "Finished");
}

void ECForceCacheCleanModule::clearTempFiles()
{
    const std::shared_ptr<AMDevice> target = device();
    if (!target) {
        return;
    }
    m_fillQueue.addOperation([this, target](const Operation&) {
        std::unique_ptr<ECFillStore> store;
        if (const DeviceLockHold held = lockDevice(target)) {
            store = m_storeFactory(*target);
        }
        if (store) {
            (void)ECFillRun::clearTempFiles(*store);
        }
    });
}

std::uint64_t ECForceCacheCleanModule::getApproriateBlobSizeForFreeSpace(std::uint64_t freeBytes)
{
    return ECFillRules::getApproriateBlobSizeForFreeSpace(freeBytes);
}

const QByteArray* ECForceCacheCleanModule::getDataFittingFreeSpace(std::uint64_t freeBytes)
{
    for (const QByteArray* block : { &data100mb(), &data10mb(), &data1mb() }) {
        if (std::uint64_t(block->size()) < freeBytes) {
            return block;
        }
    }
    return nullptr;
}

const QByteArray& ECForceCacheCleanModule::data1mb()
{
    if (m_data1mb.isEmpty()) {
        QByteArray block(1024, char(0xFF));
        for (int i = 0; i < 10; ++i) {
            block.append(block);
        }
        m_data1mb = block;
    }
    return m_data1mb;
}

const QByteArray& ECForceCacheCleanModule::data10mb()
{
    if (m_data10mb.isEmpty()) {
        m_data10mb = data1mb().repeated(10);
    }
    return m_data10mb;
}

const QByteArray& ECForceCacheCleanModule::data100mb()
{
    if (m_data100mb.isEmpty()) {
        m_data100mb = data10mb().repeated(10);
    }
    return m_data100mb;
}

void ECForceCacheCleanModule::setButtonState(ButtonState state)
{
    if (state != m_buttonState) {
        m_buttonState = state;
        emit buttonsChanged();
    }
}

void ECForceCacheCleanModule::setButtonsToInitialState()
{
    setButtonState(ButtonState::Initial);
}

void ECForceCacheCleanModule::setButtonsToCleaningState()
{
    setButtonState(ButtonState::Cleaning);
}

void ECForceCacheCleanModule::setButtonsToStoppingState()
{
    setButtonState(ButtonState::Stopping);
}

void ECForceCacheCleanModule::setButtonsToFinishedState()
{
    setButtonState(ButtonState::Finished);
}

QString ECForceCacheCleanModule::startButtonTitle() const
{
    switch (m_buttonState) {
    case ButtonState::Cleaning:
        return QStringLiteral("Stop the Process");
    case ButtonState::Stopping:
        return QStringLiteral("Stopping...");
    case ButtonState::Initial:
    case ButtonState::Finished:
        break;
    }
    return QStringLiteral("Clear Temp Files");
}

QString ECForceCacheCleanModule::cancelButtonTitle() const
{
    return m_buttonState == ButtonState::Finished ? QStringLiteral("Done") : QStringLiteral("Cancel");
}

bool ECForceCacheCleanModule::cancelButtonEnabled() const
{
    return m_buttonState == ButtonState::Initial || m_buttonState == ButtonState::Finished;
}

QRect ECForceCacheCleanModule::willPositionSheet(const QRect& proposed)
{
    return proposed.translated(0, -SHEET_RAISE);
}

void ECForceCacheCleanModule::showFailureDialogWithFilesWritten(
    int filesWritten, std::uint64_t freeSpace, std::uint64_t attemptedWriteSize)
{
    const QUrl mail = sendInfoUrl(m_supportAddress, freeSpace, filesWritten, attemptedWriteSize);
    presentAlert(ECModuleAlert { failureMessage(), QString(), { QStringLiteral("OK"), QStringLiteral("Send Info") },
                     SHEET_RAISE },
        [this, mail](int button) {
            if (button == 1 && host()) {
                host()->openUrl(mail);
            }
            logLine(LOG_MODULES, "got return code");
        });
}

void ECForceCacheCleanModule::showFinishedDialogWithSavedSpace(const ECGainReport& gain)
{
    setProgressValue(0);
    setButtonsToInitialState();
    setDeleting(false);
    presentAlert(
        ECModuleAlert { finishedMessage(gain, systemVersion()), QString(), { QStringLiteral("Great!") }, SHEET_RAISE },
        [this](int button) {
            if (button == 0) {
                close();
            }
        });
}

std::optional<std::uint64_t> ECForceCacheCleanModule::initialFreeSpace() const
{
    std::lock_guard lock(m_runMutex);
    return m_initialFreeSpace;
}
