#pragma once

#include "base/RunLoop.h"
#include "modules/ECModuleEventSink.h"
#include "modules/ECModuleHost.h"
#include "modules/ECTableViewModule.h"

#include <QString>
#include <QVariantMap>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

/// Remembers every event a module files.
class RecordingEventSink : public ECModuleEventSink
{
public:
    struct Tracked
    {
        QString name;
        QVariantMap properties;
    };

    void logUsedModule(const QString& moduleName, std::int64_t clearedSpace) override
    {
        used.emplace_back(moduleName, clearedSpace);
    }
    void trackEvent(const QString& name, const QVariantMap& properties) override
    {
        tracked.push_back({ name, properties });
    }
    int count(const QString& name) const
    {
        int n = 0;
        for (const auto& event : tracked) {
            n += event.name == name ? 1 : 0;
        }
        return n;
    }

    std::vector<std::pair<QString, std::int64_t>> used;
    std::vector<Tracked> tracked;
};

/// A door queue code waits at until the test opens it; counts who arrived.
class Gate
{
public:
    void pass()
    {
        std::unique_lock lock(m_mutex);
        ++m_arrived;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_open; });
    }
    void open()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    int arrived() const
    {
        std::lock_guard lock(m_mutex);
        return m_arrived;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open { false };
    int m_arrived { 0 };
};

/// The device as the fake modules see it: free bytes that deletions raise, and a plug that can
/// be pulled. Thread-safe.
class FakeDevice
{
public:
    explicit FakeDevice(std::int64_t freeBytes)
        : m_free(freeBytes)
    {
    }
    std::optional<std::int64_t> readFreeBytes() const
    {
        if (!m_attached) {
            return std::nullopt;
        }
        ++reads;
        return m_free.load();
    }
    void free(std::int64_t bytes) { m_free += bytes; }
    void detach() { m_attached = false; }
    void attach() { m_attached = true; }
    bool attached() const { return m_attached; }

    mutable std::atomic<int> reads { 0 };

private:
    std::atomic<std::int64_t> m_free;
    std::atomic<bool> m_attached { true };
};

/// A table module over a list of items given by the test; deleting an item frees its size on the
/// fake device and removes its row, as the app module does.
class FakeTableModule : public ECTableViewModule
{
public:
    explicit FakeTableModule(FakeDevice& device)
        : m_device(device)
    {
        setTitleText(QStringLiteral("Remove Things"));
        connect(this, &ECTableViewModule::sortChanged, this, [this] { ++listingsFinished; });
    }
    ~FakeTableModule() override { stopAllWork(); }

    std::vector<ECModuleItem> items() override { return listing; }

    ECItemScanResult scanItem(const ECModuleItem& item) override
    {
        if (scanGate) {
            scanGate->pass();
        }
        ++scansRun;
        const auto found = scans.find(item.name);
        return found == scans.end() ? ECItemScanResult() : found->second;
    }

    ECItemDeletion deleteItem(const ECModuleItem& item) override
    {
        if (deleteGate) {
            deleteGate->pass();
        }
        if (!m_device.attached()) {
            std::lock_guard lock(m_mutex);
            failed.push_back(item.name);
            return ECItemDeletion::failed(QStringLiteral("the phone is gone"));
        }
        m_device.free(item.sizeOrZero());
        {
            std::lock_guard lock(m_mutex);
            deleted.push_back(item.name);
        }
        return ECItemDeletion::removed();
    }

    void showFinishedDialog() override
    {
        ECTableViewModule::showFinishedDialog();
        ++finishedDialogs;
    }

    std::vector<QString> deletedNames() const
    {
        std::lock_guard lock(m_mutex);
        return deleted;
    }
    std::vector<QString> failedNames() const
    {
        std::lock_guard lock(m_mutex);
        return failed;
    }

    std::vector<ECModuleItem> listing;
    std::map<QString, ECItemScanResult> scans;
    Gate* scanGate { nullptr };
    Gate* deleteGate { nullptr };
    std::atomic<int> scansRun { 0 };
    std::atomic<int> finishedDialogs { 0 };
    /// Listings whose end (the sort by rank) has been applied.
    int listingsFinished { 0 };

protected:
    std::optional<std::int64_t> readFreeBytes() override { return m_device.readFreeBytes(); }

private:
    FakeDevice& m_device;
    mutable std::mutex m_mutex;
    std::vector<QString> deleted;
    std::vector<QString> failed;
};

inline ECModuleItem makeItem(const QString& name, bool checked = false)
{
    ECModuleItem item;
    item.name = name;
    item.checked = checked;
    return item;
}

inline ECItemScanResult makeScan(std::int64_t size, const QString& rank)
{
    ECItemScanResult scan;
    scan.size = size;
    scan.rank = rank;
    return scan;
}
