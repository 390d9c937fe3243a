#include "modules/fill_clearing/ECFillRun.h"

#include "base/Log.h"
#include "modules/fill_clearing/ECFillStore.h"

#include <algorithm>
#include <memory>
#include <random>

using namespace ECFillRules;

const char* fillEndingName(ECFillEnding ending)
{
    switch (ending) {
    case ECFillEnding::Finished:
        return "finished";
    case ECFillEnding::Stopped:
        return "stopped";
    case ECFillEnding::Refused:
        return "refused";
    case ECFillEnding::Disconnected:
        return "disconnected";
    case ECFillEnding::NoProgress:
        return "no-progress";
    case ECFillEnding::FillersLeft:
        return "fillers-left";
    }
    return "unknown";
}

namespace {

// Only plain names inside the fill folder are ever deleted, whatever a listing holds.
bool isFillerName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The block size fillers are reckoned in between two readings of the free space.
constexpr std::uint64_t BLOCK_ESTIMATE = 4096;

}

ECFillRules::ECGainReport ECFillOutcome::gain() const
{
    if (ending != ECFillEnding::Finished) {
        return {};
    }
    return gainBetween(initialFreeSpace, finalFreeSpace);
}

ECFillRun::ECFillRun(ECFillStore& store, ECFillObserver observer)
    : m_store(store)
    , m_observer(std::move(observer))
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
    auto engine = std::make_shared<std::mt19937>(std::random_device {}());
    m_random = [engine] { return std::uniform_int_distribution<int>(0, FILLER_NUMBERS - 1)(*engine); };
}

std::string ECFillRun::getNextFilePath()
{
    // Hundreds of fillers can be made within one second, and four clashing names in a row would
    // pass for a phone that refuses to store more: numbers already taken in this second by this
    // run are drawn again while others are left, and once all are taken the name waits for the
    // next second (a bounded wait, in case the clock stands still).
    QDateTime now = m_clock();
    if (now.toSecsSinceEpoch() == m_numbersSecond && m_numbersTaken.size() >= std::size_t(FILLER_NUMBERS)) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        std::unique_lock lock(m_stopMutex);
        while (now.toSecsSinceEpoch() == m_numbersSecond && !m_stopRequested) {
            // Sleep until the clock's next second is due, or a stop.
            const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000 - now.time().msec());
            if (m_stopSignal.wait_until(lock, std::min(due, giveUp), [this] { return m_stopRequested.load(); })
                || std::chrono::steady_clock::now() >= giveUp) {
                break;
            }
            now = m_clock();
        }
    }
    if (now.toSecsSinceEpoch() != m_numbersSecond) {
        m_numbersSecond = now.toSecsSinceEpoch();
        m_numbersTaken.clear();
    }
    int number = m_random();
    for (int attempt = 0; attempt < 4 * FILLER_NUMBERS && m_numbersTaken.count(number) != 0; ++attempt) {
        number = m_random();
    }
    m_numbersTaken.insert(number);
    return fillerPath(now, number);
}

void ECFillRun::stop()
{
    {
        std::lock_guard lock(m_stopMutex);
        m_stopRequested = true;
    }
    m_stopSignal.notify_all();
}

ECFillOutcome ECFillRun::run()
{
    const auto started = std::chrono::steady_clock::now();
    const auto report = [this](float percent) {
        if (m_observer.progress) {
            m_observer.progress(percent);
        }
    };
    ECFillOutcome outcome;
    outcome.initialFreeSpace = m_store.freeBytes();
    if (!outcome.initialFreeSpace) {
        outcome.ending = ECFillEnding::Disconnected;
        return outcome;
    }
    const std::uint64_t initialFree = *outcome.initialFreeSpace;
    (void)m_store.makeFolder(FILL_FOLDER); // it may be left from an earlier run
    // More than the whole volume written without it filling up means the writes do not count.
    const std::uint64_t writeBound = m_store.totalBytes().value_or(2 * initialFree) + 2 * FILLS * REFILL_FREE_SPACE;

    int filesWritten = 0; // C
    int failedWrites = 0; // B
    int refillPasses = 0; // A
    int stalled = 0;
    // The last reading of the free space and what was made since: fillers made by their size take
    // whole blocks, so the free space now is reckoned without asking the phone every time.
    bool haveReading = false;
    std::uint64_t reading = 0;
    std::uint64_t chargedSinceReading = 0;
    std::uint64_t sizesSinceReading = 0;
    int creationsSinceReading = 0;
    int readEvery = 1; // doubles while the readings confirm the reckoning
    ECFillEnding ending = ECFillEnding::Finished;

    while (true) {
        const std::uint64_t reckoned = haveReading && reading > chargedSinceReading ? reading - chargedSinceReading : 0;
        // Written fillers are read after each one: their progress and their check need it.
        const bool readNow = !haveReading || m_writeData || creationsSinceReading >= readEvery
            || getApproriateBlobSizeForFreeSpace(reckoned) != getApproriateBlobSizeForFreeSpace(reading);
        if (readNow) {
            const std::optional<std::uint64_t> freeRead = m_store.freeBytes();
            if (!freeRead) {
                // A phone that went away answers nothing; that is not a full phone.
                ending = ECFillEnding::Disconnected;
                break;
            }
            if (haveReading && creationsSinceReading > 0) {
                // Did the fillers made since the last reading take space?
                const bool fell = reading > *freeRead && reading - *freeRead >= sizesSinceReading / 2;
                stalled = fell ? 0 : stalled + 1;
                readEvery = fell ? std::min(2 * readEvery, MAX_CREATIONS_PER_READING) : 1;
                if (!m_writeData && stalled >= STALLED_CREATIONS_LIMIT) {
                    // The file system leaves a hole where a file grows by its size (APFS): fillers
                    // made that way take no space, and filling would never end.
                    logLine(LOG_MODULES, "Free space did not fall after %d files, writing their data instead", stalled);
                    m_writeData = true;
                    outcome.wroteData = true;
                    stalled = 0;
                } else if (m_writeData && stalled >= STALLED_WRITES_LIMIT) {
                    logLine(LOG_MODULES, "Free space did not fall after writing %d files, giving up", stalled);
                    ending = ECFillEnding::NoProgress;
                    break;
                }
            }
            haveReading = true;
            reading = *freeRead;
            chargedSinceReading = 0;
            sizesSinceReading = 0;
            creationsSinceReading = 0;
        }
        const std::uint64_t freeNow = readNow ? reading : reckoned;
        if (m_writeData && m_bytesWritten > writeBound) {
            logLine(LOG_MODULES, "Wrote %llu bytes without filling the device, giving up",
                static_cast<unsigned long long>(m_bytesWritten));
            ending = ECFillEnding::NoProgress;
            break;
        }

        report(fillProgress(initialFree, freeNow, refillPasses));

        bool refilled = false;
        if (failedWrites >= FAILURES_WHEN_FULL) {
            logLine(LOG_MODULES, "FREE SPACE IS %lu", static_cast<unsigned long>(freeNow));
            if (freeNow > FULL_THRESHOLD) {
                ending = ECFillEnding::Refused;
                outcome.freeSpace = freeNow;
                outcome.attemptedWriteSize = getApproriateBlobSizeForFreeSpace(freeNow);
                break;
            }
            if (refillPasses >= FILLS - 1) {
                logLine(
                    LOG_MODULES, "Successfully filled phone multiple times, so just need to delete all the temp files");
                break;
            }
            if (!clear100MegsFromDevice(m_store)) {
                ending = ECFillEnding::Disconnected;
                break;
            }
            logLine(LOG_MODULES, "Cleared some temp files we created, cleaning again now");
            ++refillPasses;
            failedWrites = 0;
            refilled = true;
        }

        if (m_stopRequested) {
            report(0.0f);
            ending = ECFillEnding::Stopped;
            break;
        }

        // Sized from this turn's figure, also right after a refill pass.
        const std::uint64_t size = getApproriateBlobSizeForFreeSpace(freeNow);
        const bool created = createFiller(size, freeNow, initialFree, refillPasses);
        if (m_stopRequested && !created) {
            continue; // cut short by the stop, not refused; the next turn ends the run
        }
        if (created) {
            ++filesWritten;
            logLine(LOG_MODULES, "copied %lum, %d", static_cast<unsigned long>(size >> 20), filesWritten);
            failedWrites = 0;
            chargedSinceReading += (size + BLOCK_ESTIMATE - 1) / BLOCK_ESTIMATE * BLOCK_ESTIMATE;
            sizesSinceReading += size;
            ++creationsSinceReading;
        } else {
            logLine(LOG_MODULES, "Failed to copy %lu bytes", static_cast<unsigned long>(size));
            // Only a size chosen from the phone's own figure tells that it is full; one chosen
            // from the reckoning is tried again from a reading.
            if (readNow || refilled) {
                ++failedWrites;
            }
        }
        if (refilled || !created) {
            haveReading = false; // the next turn reads afresh, without checking the fall across this
        }
        if (m_observer.creationFinished) {
            m_observer.creationFinished(created, size, filesWritten);
        }
    }

    outcome.filesWritten = filesWritten;
    outcome.bytesWritten = m_bytesWritten;
    outcome.wroteData = outcome.wroteData || m_bytesWritten > 0;
    const ECClearResult cleared = clearTempFiles(m_store);
    outcome.fillersCleared = cleared.complete();
    outcome.finalFreeSpace = m_store.freeBytes();
    if (ending == ECFillEnding::Finished && (!cleared.listed || !outcome.finalFreeSpace)) {
        // Gone during the final clearing: the gain cannot be measured and fillers may be left.
        ending = ECFillEnding::Disconnected;
    }
    if (cleared.listed && cleared.failed > 0 && outcome.finalFreeSpace) {
        // The phone still answers but kept fillers: whatever else happened, it is left fuller than
        // it was, which must be said, with how much, and never pass for a cleared phone. (One that
        // went away answers nothing more and stays Disconnected.)
        logLine(LOG_MODULES, "%d temporary files could not be removed", cleared.failed);
        ending = ECFillEnding::FillersLeft;
        outcome.fillersLeft = cleared.failed;
        outcome.bytesLeft = cleared.bytesLeft;
    }
    outcome.ending = ending;
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (ending == ECFillEnding::Finished) {
        logLine(LOG_MODULES, "Total time was %f", outcome.seconds);
    }
    return outcome;
}

bool ECFillRun::createFiller(std::uint64_t size, std::uint64_t freeNow, std::uint64_t initialFree, int refillPasses)
{
    const std::string path = getNextFilePath();
    if (!m_writeData) {
        return m_store.createFakeFile(path, size);
    }
    const std::uint64_t written = m_store.writeFile(path, size, [&](std::uint64_t soFar) {
        if (m_observer.progress) {
            m_observer.progress(fillProgress(initialFree, freeNow > soFar ? freeNow - soFar : 0, refillPasses));
        }
        return !m_stopRequested.load();
    });
    m_bytesWritten += written;
    return written == size;
}

bool ECFillRun::clear100MegsFromDevice(ECFillStore& store)
{
    const std::optional<std::vector<std::string>> names = store.folderContents(FILL_FOLDER);
    if (!names) {
        return false;
    }
    for (const std::string& name : *names) {
        if (!isFillerName(name)) {
            continue;
        }
        const std::optional<std::uint64_t> freeNow = store.freeBytes();
        if (!freeNow) {
            return false;
        }
        if (*freeNow > REFILL_FREE_SPACE) {
            break;
        }
        (void)store.removeFile(std::string(FILL_FOLDER) + "/" + name); // the next reading tells
    }
    return true;
}

ECClearResult ECFillRun::clearTempFiles(ECFillStore& store)
{
    logLine(LOG_MODULES, "Clear temp files called");
    ECClearResult result;
    const std::optional<std::vector<std::string>> names = store.folderContents(FILL_FOLDER);
    if (!names) {
        return result;
    }
    result.listed = true;
    // A folder of nothing but fillers goes in one request where the phone allows it; otherwise,
    // or when that fails, file by file from a fresh listing, which tells what is left.
    const std::optional<bool> emptied = !names->empty() && std::all_of(names->begin(), names->end(), isFillerName)
        ? store.emptyFolder(FILL_FOLDER)
        : std::nullopt;
    if (emptied.value_or(false)) {
        for (std::size_t i = 0; i < names->size(); ++i) {
            logLine(LOG_MODULES, "removed %d", 1);
        }
        result.removed = int(names->size());
        return result;
    }
    const std::optional<std::vector<std::string>> remaining = emptied ? store.folderContents(FILL_FOLDER) : names;
    if (!remaining) {
        result.listed = false;
        return result;
    }
    for (const std::string& name : *remaining) {
        if (!isFillerName(name)) {
            continue;
        }
        const std::string path = std::string(FILL_FOLDER) + "/" + name;
        const bool removed = store.removeFile(path);
        logLine(LOG_MODULES, "removed %d", removed ? 1 : 0);
        ++(removed ? result.removed : result.failed);
        if (!removed) {
            result.bytesLeft += store.fileSize(path).value_or(0);
        }
    }
    return result;
}
