#pragma once

#include "sim/SimProfile.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <sys/types.h>

struct stat;

/// The capacity model of one simulated phone's data volume.
///
/// free = total − reserve − allocated, where allocated = the opaque system/app data the profile
/// declares + the opaque purgeable pool + what the files under the device's file-system folder
/// occupy. The file part is kept as a running sum: whoever changes a file measures its allocation
/// before and after (allocationFor) and records the difference, so reading free space never walks
/// the tree. rescan() recomputes the sum from scratch (at start-up).
///
/// A file occupies its size rounded up to whole blocks. Growing a file by set-size differs with the
/// device's file system: an HFS+-era phone (system version below 10.3) allocates every block, so
/// nothing changes; an APFS-era phone leaves a hole, so from then on that file is charged only the
/// blocks actually written (the host file's own allocation: host files are sparse). So a set-size
/// filler consumes space on the former and nothing on the latter. Generated content may be sparse
/// on the host but counts at its full size.
///
/// Purging: when free space drops below the profile's threshold a background thread frees up to
/// one step every interval, first from the opaque pool, then the apps' Library/Caches and tmp files
/// (under private/var/mobile/Containers/Data/Application/*/) in path order, until free space
/// reaches the target or nothing purgeable is left.
class SimStorage
{
public:
    /// `stateFile` keeps the opaque figures across restarts.
    SimStorage(const SimProfile& profile, std::filesystem::path fsRoot, std::filesystem::path stateFile);
    ~SimStorage();
    SimStorage(const SimStorage&) = delete;
    SimStorage& operator=(const SimStorage&) = delete;

    /// Loads the saved figures or, the first time, derives the opaque used bytes from the
    /// profile's used space minus what the files already occupy. Then rescans.
    void load();

    std::uint64_t totalBytes() const { return m_total; }
    std::uint64_t reserveBytes() const { return m_reserve; }
    std::uint64_t blockSize() const { return m_blockSize; }
    bool isApfs() const { return m_apfs; }
    std::uint64_t allocatedBytes() const;
    std::uint64_t fileBytes() const { return m_fileBytes.load(); }
    std::uint64_t purgeablePoolBytes() const { return m_pool.load(); }
    /// Never negative: a volume that is over-full reports 0.
    std::uint64_t freeBytes() const;

    /// What the model charges for a host file in this state. Directories and symbolic links
    /// count nothing; a file with several hard links is charged once (by rescan) and its
    /// removal frees nothing until the last link goes.
    std::uint64_t allocationFor(const struct stat& info) const;
    /// lstat() then allocationFor(); 0 when the path is missing.
    std::uint64_t allocationForPath(const std::filesystem::path& hostPath) const;
    /// The sum over a whole tree (for removing it), without following links.
    std::uint64_t allocationForTree(const std::filesystem::path& hostPath) const;
    /// Rounds up to whole blocks.
    std::uint64_t roundUp(std::uint64_t bytes) const;

    /// Marks a file as grown by set-size on an APFS-era phone (see above); forgetFile() when its last
    /// link goes, since the host reuses inode numbers.
    void markSparse(ino_t inode);
    void forgetFile(ino_t inode);
    /// Whether the file is charged only for the blocks written to it (see markSparse()).
    bool isSparse(ino_t inode) const;

    /// Records that the files' allocation went from `before` to `after`. A change that brings free
    /// space under the purge threshold wakes the purger at once, as a phone reacts to running low.
    void recordChange(std::uint64_t before, std::uint64_t after);
    /// Whether `additional` more bytes fit in the free space.
    bool canAllocate(std::uint64_t additional) const { return additional <= freeBytes(); }

    /// Serialises check-modify-record sequences of everything that changes files.
    std::mutex& mutationMutex() { return m_mutationMutex; }

    /// Walks the tree and resets the file sum.
    void rescan();

    /// Called with the byte count after each purge step (the device posts a syslog line).
    void setPurgeObserver(std::function<void(std::uint64_t purged)> observer);
    /// Starts and stops the background purger.
    void startPurger();
    void stopPurger();
    /// One purge step now, if free space is below the threshold (or purging is already under way
    /// and below the target). Returns the bytes purged.
    std::uint64_t purgeStep();
    /// Total bytes that purging could still free.
    std::uint64_t purgeableBytes() const;

private:
    void save() const;
    std::vector<std::filesystem::path> purgeableFiles() const;

    std::filesystem::path m_fsRoot;
    std::filesystem::path m_stateFile;
    std::uint64_t m_total;
    std::uint64_t m_reserve;
    std::uint64_t m_blockSize;
    bool m_apfs;
    std::uint64_t m_profileUsed;
    std::uint64_t m_profilePool;
    std::uint64_t m_threshold;
    std::uint64_t m_target;
    std::uint64_t m_step;
    int m_intervalMs;

    std::atomic<std::uint64_t> m_opaqueUsed { 0 };
    std::atomic<std::uint64_t> m_pool { 0 };
    std::atomic<std::uint64_t> m_fileBytes { 0 };
    std::mutex m_mutationMutex;
    mutable std::mutex m_sparseMutex;
    std::set<ino_t> m_sparse;

    std::function<void(std::uint64_t)> m_purgeObserver;
    std::mutex m_purgerMutex;
    std::condition_variable m_purgerWake;
    bool m_purgerStop { false };
    std::atomic<bool> m_purging { false };
    std::thread m_purger;
};
