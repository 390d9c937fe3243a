#pragma once

#include "modules/fill_clearing/ECFillRules.h"

#include <QDateTime>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

class ECFillStore;

/// How a run ended.
enum class ECFillEnding {
    Finished, ///< filled three times and cleared; the gain is measured
    Stopped, ///< the user stopped it
    Refused, ///< four creations failed while the phone still had more than 1 MiB free
    Disconnected, ///< the phone went away, or its free space could not be read
    NoProgress, ///< neither creating nor writing fillers lowered the free space
    FillersLeft, ///< the phone refused to remove some fillers: their space stays taken
};

/// The ending as one word for scripts and reports: "finished", "stopped", "refused",
/// "disconnected", "no-progress", "fillers-left".
const char* fillEndingName(ECFillEnding ending);

struct ECFillOutcome
{
    ECFillEnding ending { ECFillEnding::Disconnected };
    std::optional<std::uint64_t> initialFreeSpace;
    /// Read after the last filler was deleted; nothing when that reading failed.
    std::optional<std::uint64_t> finalFreeSpace;
    int filesWritten { 0 };
    /// For ECFillEnding::Refused: the free space then and the size that was being tried.
    std::uint64_t freeSpace { 0 };
    std::uint64_t attemptedWriteSize { 0 };
    /// Fillers were written for real because creating them by size did not lower the free space.
    bool wroteData { false };
    std::uint64_t bytesWritten { 0 };
    /// Every filler the run made is gone from the phone.
    bool fillersCleared { false };
    /// For ECFillEnding::FillersLeft: the fillers the phone would not remove, and the bytes they
    /// take (of those whose size could be read).
    int fillersLeft { 0 };
    std::uint64_t bytesLeft { 0 };
    double seconds { 0 };

    /// The gain worth reporting: only a finished run measured at both ends has one.
    ECFillRules::ECGainReport gain() const;
};

/// What a run tells the one who started it, from the run's own thread.
struct ECFillObserver
{
    /// Progress in percent, 0 to 100.
    std::function<void(float percent)> progress;
    /// A creation ended: the files written so far (C), or a failed write.
    std::function<void(bool success, std::uint64_t size, int filesWritten)> creationFinished;
};

/// The result of deleting every filler.
struct ECClearResult
{
    bool listed { false }; ///< the fill folder could be listed
    int removed { 0 };
    int failed { 0 };
    /// The bytes the fillers that could not be removed take, of those whose size could be read.
    std::uint64_t bytesLeft { 0 };
    bool complete() const { return listed && failed == 0; }
};

/// One fill-and-purge run over a fill store: fill the phone with filler files until it refuses
/// more, free about 100 MiB and fill again, three fills in all, then delete every filler and
/// measure the free space gained. A phone whose file system does not allocate a file grown by
/// setting its size gets its fillers written for real instead. Runs on the caller's thread and
/// blocks until done; stop() may be called from any thread.
class ECFillRun
{
public:
    /// Successful creations in a row that did not lower the free space by half their size, after
    /// which creating by size is given up for writing.
    static constexpr int STALLED_CREATIONS_LIMIT = 4;
    /// The same for written fillers, after which the run gives up.
    static constexpr int STALLED_WRITES_LIMIT = 8;
    /// The most fillers made by size between two readings of the free space. Between readings the
    /// free space is reckoned from the fillers made; it is read afresh sooner whenever that reckoning
    /// calls for another filler size, after any failed creation and after a refill pass. The
    /// interval doubles from 1 only while readings confirm the reckoning, and a filler too large
    /// for a phone that filled faster than reckoned is refused and tried again from a reading, so
    /// a long interval costs nothing in safety: on a 50 MiB step it is 50 GiB.
    static constexpr int MAX_CREATIONS_PER_READING = 1024;

    ECFillRun(ECFillStore& store, ECFillObserver observer = {});

    /// Replaces the clock and the random numbers of filler names (tests).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    void setRandomNumbers(std::function<int()> numbers) { m_random = std::move(numbers); }
    /// Starts in the write mode at once (the experimental fill; tests).
    void setWriteData(bool writeData) { m_writeData = writeData; }

    ECFillOutcome run();
    /// Asks the run to end at its next turn (or its next written chunk), and ends a wait for the
    /// next second of filler names at once. Any thread.
    void stop();
    bool stopRequested() const { return m_stopRequested.load(); }

    /// A new filler path from the clock and the random numbers, avoiding numbers this run used
    /// within the same second while any are left.
    std::string getNextFilePath();

    /// Deletes fillers in the order listed until more than 101 MiB is free. False when the
    /// folder could not be listed or the free space read.
    static bool clear100MegsFromDevice(ECFillStore& store);
    /// Deletes every filler; the folder stays.
    static ECClearResult clearTempFiles(ECFillStore& store);

private:
    bool createFiller(std::uint64_t size, std::uint64_t freeNow, std::uint64_t initialFree, int refillPasses);

    ECFillStore& m_store;
    ECFillObserver m_observer;
    std::function<QDateTime()> m_clock;
    std::function<int()> m_random;
    qint64 m_numbersSecond { -1 };
    std::set<int> m_numbersTaken; // filler numbers used within m_numbersSecond
    std::atomic<bool> m_stopRequested { false };
    std::mutex m_stopMutex; // with m_stopSignal, wakes a waiting getNextFilePath() on stop()
    std::condition_variable m_stopSignal;
    bool m_writeData { false };
    std::uint64_t m_bytesWritten { 0 };
};
