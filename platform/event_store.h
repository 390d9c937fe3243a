#pragma once

#include "base/OperationQueue.h"
#include "base/PlistValue.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class FMDatabase;

/// Anonymous usage events, kept in a local SQLite database. Each event is stored as one record:
/// the caller's values, then "event" (the event's name) and "User" (the anonymous user id),
/// which replace values under those keys. The user id is a random UUID created with the first
/// event and kept in the same database. Nothing is sent anywhere.
///
/// Two kinds of record share the store: usage events ("KVEvent": "testEvent", "UsedModule") and
/// analytics events ("AnalyticsEvent": "ClearedSpace", "CancelledModule").
///
/// Recording never blocks the caller and never fails the application: records are written one
/// after another on a background queue of the store's own; a database that cannot be opened or
/// written costs the event and a log line under "torvane.platform", nothing more. Every
/// operation may be called from any thread.
class EventStore
{
public:
    static constexpr const char* USAGE_EVENT_CLASS = "KVEvent";
    static constexpr const char* ANALYTICS_EVENT_CLASS = "AnalyticsEvent";
    /// The oldest records beyond this many are deleted, so the file cannot grow without bound.
    static constexpr std::int64_t DEFAULT_MAX_STORED_EVENTS = 10000;

    /// One stored record, as read back.
    struct StoredEvent
    {
        std::int64_t id = 0;
        std::string eventClass;
        std::string name;
        std::string user;
        PlistDate date;
        PlistDictionary fields; // every field, "event" and "User" included
    };

    /// The store of the running application, at defaultPath(); created on the first call
    /// (thread-safe) and kept for the whole process. Call waitUntilIdle() before quitting so
    /// that queued events are written.
    static EventStore& sharedStore();
    /// The environment variable TORVANE_EVENT_STORE when set (tests, demo runs), else
    /// "events.sqlite" in the application data folder (QStandardPaths::AppDataLocation; "Torvane" in
    /// the shared data folder when no application name is set).
    static std::string defaultPath();

    /// A store in the SQLite file at `path` (its folder is created when missing), opened on first
    /// use by the background queue, keeping at most `maxStoredEvents` records.
    explicit EventStore(std::string path, std::int64_t maxStoredEvents = DEFAULT_MAX_STORED_EVENTS);
    /// Writes every event recorded so far, then closes the database.
    ~EventStore();
    EventStore(const EventStore&) = delete;
    EventStore& operator=(const EventStore&) = delete;

    /// Queues a usage event ("KVEvent") named `name` with `values`; returns at once. Null values
    /// are left out.
    void logEvent(const std::string& name, const PlistDictionary& values);
    /// logEvent("UsedModule", {"module": moduleName, "space": clearedSpace}).
    void logUsedModule(const std::string& moduleName, std::int64_t clearedSpace);

    /// Queues an analytics event ("AnalyticsEvent") named `name` with `properties`; returns at once.
    void trackEvent(const std::string& name, const PlistDictionary& properties);
    /// trackEvent("ClearedSpace", {"ModuleName": moduleName, "AmountCleared": amountCleared}).
    void trackClearedSpace(const std::string& moduleName, std::int64_t amountCleared);
    /// trackEvent("CancelledModule", {"ModuleName": moduleName}).
    void trackCancelledModule(const std::string& moduleName);

    /// Blocks until every event queued before the call is written or dropped. Never call it
    /// from a callback of the store.
    void waitUntilIdle();

    /// The stored records, oldest first; empty when the database cannot be read. Waits for the
    /// events queued before it.
    std::vector<StoredEvent> storedEvents();
    /// The anonymous user id, or nothing before the first event was stored.
    std::optional<std::string> anonymousUserId();

    const std::string& path() const { return m_path; }

private:
    void record(std::string eventClass, std::string name, PlistDictionary values);
    // The helpers below run on the queue only.
    bool openIfNeeded();
    std::optional<std::string> userId(bool create);
    void store(const std::string& eventClass, const std::string& name, PlistDictionary values);

    const std::string m_path;
    const std::int64_t m_maxStoredEvents;
    std::unique_ptr<FMDatabase> m_db;
    bool m_openFailed { false };
    // Last, so that it is destroyed first: no operation can outlive the database it uses.
    OperationQueue m_queue { 1 };
};
