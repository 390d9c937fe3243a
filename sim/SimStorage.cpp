#include "sim/SimStorage.h"

#include "base/Log.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <set>
#include <utility>

#include <sys/stat.h>

namespace fs = std::filesystem;

SimStorage::SimStorage(const SimProfile& profile, fs::path fsRoot, fs::path stateFile)
    : m_fsRoot(std::move(fsRoot))
    , m_stateFile(std::move(stateFile))
    , m_total(profile.dataCapacity)
    , m_reserve(profile.reserveBytes)
    , m_blockSize(profile.blockSize)
    , m_apfs(profile.isApfsEra())
    , m_profileUsed(profile.usedBytes)
    , m_profilePool(profile.purgeablePoolBytes)
    , m_threshold(profile.purgeThresholdBytes)
    , m_target(profile.purgeTargetBytes)
    , m_step(profile.purgeStepBytes)
    , m_intervalMs(profile.purgeIntervalMs)
{
}

SimStorage::~SimStorage()
{
    stopPurger();
}

void SimStorage::load()
{
    QFile file(QString::fromStdString(m_stateFile.string()));
    if (file.open(QIODevice::ReadOnly) && file.size() < 1024 * 1024) {
        const QJsonObject saved = QJsonDocument::fromJson(file.readAll()).object();
        if (saved.contains(QLatin1String("opaqueUsedBytes")) && saved.contains(QLatin1String("purgeablePoolBytes"))) {
            m_opaqueUsed = std::uint64_t(std::max(0.0, saved.value(QLatin1String("opaqueUsedBytes")).toDouble()));
            m_pool = std::uint64_t(std::max(0.0, saved.value(QLatin1String("purgeablePoolBytes")).toDouble()));
            {
                std::lock_guard lock(m_sparseMutex);
                for (const QJsonValue inode : saved.value(QLatin1String("sparseInodes")).toArray()) {
                    m_sparse.insert(ino_t(inode.toDouble()));
                }
            }
            rescan();
            return;
        }
    }
    rescan();
    // First start: the profile's used space includes the generated files and the purgeable pool;
    // the rest is system and app data nobody can see through AFC.
    const std::uint64_t visible = m_fileBytes.load() + m_profilePool;
    m_pool = m_profilePool;
    m_opaqueUsed = m_profileUsed > visible ? m_profileUsed - visible : 0;
    save();
}

void SimStorage::save() const
{
    QJsonObject object;
    object.insert(QLatin1String("opaqueUsedBytes"), double(m_opaqueUsed.load()));
    object.insert(QLatin1String("purgeablePoolBytes"), double(m_pool.load()));
    QJsonArray sparse;
    {
        std::lock_guard lock(m_sparseMutex);
        for (const ino_t inode : m_sparse) {
            sparse.append(double(inode));
        }
    }
    object.insert(QLatin1String("sparseInodes"), sparse);
    QSaveFile file(QString::fromStdString(m_stateFile.string()));
    if (!file.open(QIODevice::WriteOnly)) {
        logLine(LOG_SIM, "Cannot write %s", m_stateFile.c_str());
        return;
    }
    file.write(QJsonDocument(object).toJson());
    if (!file.commit()) {
        logLine(LOG_SIM, "Cannot write %s", m_stateFile.c_str());
    }
}

std::uint64_t SimStorage::allocatedBytes() const
{
    return m_opaqueUsed.load() + m_pool.load() + m_fileBytes.load();
}

std::uint64_t SimStorage::freeBytes() const
{
    const std::uint64_t used = allocatedBytes() + m_reserve;
    return used >= m_total ? 0 : m_total - used;
}

std::uint64_t SimStorage::roundUp(std::uint64_t bytes) const
{
    return (bytes + m_blockSize - 1) / m_blockSize * m_blockSize;
}

std::uint64_t SimStorage::allocationFor(const struct stat& info) const
{
    if (!S_ISREG(info.st_mode)) {
        return 0;
    }
    if (m_apfs) {
        std::lock_guard lock(m_sparseMutex);
        if (m_sparse.count(info.st_ino) != 0) {
            return roundUp(std::uint64_t(info.st_blocks) * 512);
        }
    }
    return roundUp(std::uint64_t(info.st_size));
}

std::uint64_t SimStorage::allocationForPath(const fs::path& hostPath) const
{
    struct stat info
    {
    };
    if (::lstat(hostPath.c_str(), &info) != 0) {
        return 0;
    }
    return allocationFor(info);
}

std::uint64_t SimStorage::allocationForTree(const fs::path& hostPath) const
{
    struct stat info
    {
    };
    if (::lstat(hostPath.c_str(), &info) != 0) {
        return 0;
    }
    if (!S_ISDIR(info.st_mode)) {
        return info.st_nlink > 1 ? 0 : allocationFor(info);
    }
    std::uint64_t sum = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(hostPath, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        struct stat entry
        {
        };
        if (::lstat(it->path().c_str(), &entry) == 0 && entry.st_nlink <= 1) {
            sum += allocationFor(entry);
        }
    }
    return sum;
}

void SimStorage::markSparse(ino_t inode)
{
    {
        std::lock_guard lock(m_sparseMutex);
        if (!m_sparse.insert(inode).second) {
            return;
        }
    }
    save();
}

void SimStorage::forgetFile(ino_t inode)
{
    {
        std::lock_guard lock(m_sparseMutex);
        if (m_sparse.erase(inode) == 0) {
            return;
        }
    }
    save();
}

bool SimStorage::isSparse(ino_t inode) const
{
    std::lock_guard lock(m_sparseMutex);
    return m_sparse.count(inode) != 0;
}

void SimStorage::recordChange(std::uint64_t before, std::uint64_t after)
{
    if (after >= before) {
        m_fileBytes += after - before;
        if (after > before && !m_purging && freeBytes() < m_threshold) {
            m_purgerWake.notify_all();
        }
        return;
    }
    const std::uint64_t freed = before - after;
    std::uint64_t current = m_fileBytes.load();
    while (!m_fileBytes.compare_exchange_weak(current, current > freed ? current - freed : 0)) { }
}

void SimStorage::rescan()
{
    std::uint64_t sum = 0;
    std::set<std::pair<dev_t, ino_t>> seen;
    std::error_code error;
    for (fs::recursive_directory_iterator it(m_fsRoot, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        struct stat info
        {
        };
        if (::lstat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        if (info.st_nlink > 1 && !seen.insert({ info.st_dev, info.st_ino }).second) {
            continue;
        }
        sum += allocationFor(info);
    }
    m_fileBytes = sum;
}

void SimStorage::setPurgeObserver(std::function<void(std::uint64_t)> observer)
{
    std::lock_guard lock(m_purgerMutex);
    m_purgeObserver = std::move(observer);
}

void SimStorage::startPurger()
{
    std::lock_guard guard(m_purgerMutex);
    if (m_purger.joinable()) {
        return;
    }
    m_purgerStop = false;
    m_purger = std::thread([this] {
        std::unique_lock lock(m_purgerMutex);
        while (!m_purgerStop) {
            m_purgerWake.wait_for(lock, std::chrono::milliseconds(m_intervalMs));
            if (m_purgerStop) {
                break;
            }
            lock.unlock();
            (void)purgeStep(); // the observer reports what happened
            lock.lock();
        }
    });
}

void SimStorage::stopPurger()
{
    {
        std::lock_guard lock(m_purgerMutex);
        m_purgerStop = true;
    }
    m_purgerWake.notify_all();
    if (m_purger.joinable()) {
        m_purger.join();
    }
}

std::vector<fs::path> SimStorage::purgeableFiles() const
{
    std::vector<fs::path> files;
    const fs::path containers = m_fsRoot / "private/var/mobile/Containers/Data/Application";
    std::error_code error;
    std::vector<fs::path> apps;
    for (fs::directory_iterator it(containers, error), end; !error && it != end; it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) {
            apps.push_back(it->path());
        }
    }
    std::sort(apps.begin(), apps.end());
    for (const fs::path& app : apps) {
        for (const char* area : { "Library/Caches", "tmp" }) {
            std::vector<fs::path> found;
            std::error_code walkError;
            for (fs::recursive_directory_iterator it(app / area, fs::directory_options::none, walkError), end;
                 !walkError && it != end; it.increment(walkError)) {
                if (it->is_regular_file(walkError) && !it->is_symlink(walkError)) {
                    found.push_back(it->path());
                }
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        }
    }
    return files;
}

std::uint64_t SimStorage::purgeableBytes() const
{
    std::uint64_t sum = m_pool.load();
    for (const fs::path& file : purgeableFiles()) {
        sum += allocationForPath(file);
    }
    return sum;
}

std::uint64_t SimStorage::purgeStep()
{
    const std::uint64_t free = freeBytes();
    if (free >= m_target || (!m_purging && free >= m_threshold)) {
        m_purging = false;
        return 0;
    }
    m_purging = true;
    std::uint64_t purged = 0;
    {
        std::lock_guard lock(m_mutationMutex);
        const std::uint64_t fromPool = std::min(m_pool.load(), m_step);
        if (fromPool > 0) {
            m_pool -= fromPool;
            purged += fromPool;
            save();
        }
        if (purged < m_step) {
            for (const fs::path& file : purgeableFiles()) {
                const std::uint64_t before = allocationForPath(file);
                std::error_code error;
                struct stat info
                {
                };
                const bool lastLink = ::lstat(file.c_str(), &info) == 0 && info.st_nlink <= 1;
                if (!fs::remove(file, error)) {
                    continue;
                }
                if (lastLink) {
                    recordChange(before, 0);
                    forgetFile(info.st_ino);
                    purged += before;
                }
                if (purged >= m_step) {
                    break;
                }
            }
        }
    }
    if (purged == 0) {
        // Nothing left to give: stop trying until pressure comes back after a change.
        m_purging = false;
        return 0;
    }
    std::function<void(std::uint64_t)> observer;
    {
        std::lock_guard lock(m_purgerMutex);
        observer = m_purgeObserver;
    }
    if (observer) {
        observer(purged);
    }
    return purged;
}
