#include "platform/event_store.h"

#include "base/Log.h"
#include "db/FMDatabase.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QString>
#include <QUuid>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <utility>

namespace {

// Events are background work: another Torvane process writing the same file may hold it a while.
constexpr double BUSY_RETRY_SECONDS = 10.0;

PlistDate now()
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return PlistDate { std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count() };
}

} // namespace

EventStore& EventStore::sharedStore()
{
    // Never destroyed: its queue thread must not race the destruction of statics at exit.
    static EventStore* const store = new EventStore(defaultPath());
    return *store;
}

std::string EventStore::defaultPath()
{
    if (const char* path = std::getenv("TORVANE_EVENT_STORE"); path && *path) {
        return path;
    }
    QString folder;
    if (QCoreApplication::applicationName().isEmpty()) {
        // Without an application name Qt would answer the shared data folder itself.
        const QString shared = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        folder = shared.isEmpty() ? shared : shared + QStringLiteral("/Torvane");
    } else {
        folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    }
    if (folder.isEmpty()) {
        // No data folder at all: a private temporary database keeps the application working.
        logLine(LOG_PLATFORM, "No application data folder: usage events are kept until exit only");
        return std::string();
    }
    return (std::filesystem::path(folder.toStdString()) / "events.sqlite").string();
}

EventStore::EventStore(std::string path, std::int64_t maxStoredEvents)
    : m_path(std::move(path))
    , m_maxStoredEvents(maxStoredEvents)
{
}

EventStore::~EventStore()
{
    waitUntilIdle();
}

void EventStore::logEvent(const std::string& name, const PlistDictionary& values)
{
    record(USAGE_EVENT_CLASS, name, values);
}

void EventStore::logUsedModule(const std::string& moduleName, std::int64_t clearedSpace)
{
    logEvent("UsedModule", { { "module", moduleName }, { "space", clearedSpace } });
}

void EventStore::trackEvent(const std::string& name, const PlistDictionary& properties)
{
    record(ANALYTICS_EVENT_CLASS, name, properties);
}

void EventStore::trackClearedSpace(const std::string& moduleName, std::int64_t amountCleared)
{
    trackEvent("ClearedSpace", { { "ModuleName", moduleName }, { "AmountCleared", amountCleared } });
}

void EventStore::trackCancelledModule(const std::string& moduleName)
{
    trackEvent("CancelledModule", { { "ModuleName", moduleName } });
}

void EventStore::record(std::string eventClass, std::string name, PlistDictionary values)
{
    m_queue.addOperation([this, eventClass = std::move(eventClass), name = std::move(name), values = std::move(values)](
                             const Operation&) mutable { store(eventClass, name, std::move(values)); });
}

void EventStore::waitUntilIdle()
{
    std::promise<void> done;
    // The completion runs once whether the operation ran or was cancelled, so this cannot hang.
    m_queue.addOperation([](const Operation&) {}, [&done] { done.set_value(); });
    done.get_future().wait();
}

bool EventStore::openIfNeeded()
{
    if (m_db && m_db->isOpen()) {
        return true;
    }
    if (!m_db) {
        m_db = FMDatabase::databaseWithPath(m_path);
        m_db->setMaxBusyRetryTimeInterval(BUSY_RETRY_SECONDS);
        m_db->setShouldCacheStatements(true);
    }
    const std::filesystem::path folder = std::filesystem::path(m_path).parent_path();
    if (!folder.empty()) {
        std::error_code ignored; // opening reports the failure that matters
        std::filesystem::create_directories(folder, ignored);
    }
    const bool ready = m_db->open()
        && m_db->executeUpdate("CREATE TABLE IF NOT EXISTS anonymous_user ("
                               "id INTEGER PRIMARY KEY CHECK (id = 1), uuid TEXT NOT NULL, created REAL NOT NULL)")
        && m_db->executeUpdate("CREATE TABLE IF NOT EXISTS event (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                               "class TEXT NOT NULL, name TEXT NOT NULL, user TEXT NOT NULL, created REAL NOT NULL, "
                               "fields TEXT NOT NULL)");
    if (!ready) {
        // Said once per failing stretch, not once per event.
        if (!m_openFailed) {
            logLine(LOG_PLATFORM, "Usage events are not kept: cannot use the database %s", m_path.c_str());
        }
        m_openFailed = true;
        m_db->close();
        return false;
    }
    m_openFailed = false;
    return true;
}

std::optional<std::string> EventStore::userId(bool create)
{
    const auto read = [this]() -> std::optional<std::string> {
        auto rs = m_db->executeQuery("SELECT uuid FROM anonymous_user WHERE id = 1");
        if (rs && rs->next()) {
            return rs->stringForColumn("uuid");
        }
        return std::nullopt;
    };
    std::optional<std::string> existing = read();
    if (existing || !create) {
        return existing;
    }
    const std::string uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    // OR IGNORE: another process may have created the user meanwhile; its id then wins for both.
    if (!m_db->executeUpdate(
            "INSERT OR IGNORE INTO anonymous_user (id, uuid, created) VALUES (1, ?, ?)", uuid, now())) {
        return std::nullopt;
    }
    return read();
}

void EventStore::store(const std::string& eventClass, const std::string& name, PlistDictionary values)
{
    if (!openIfNeeded()) {
        return;
    }
    const std::optional<std::string> user = userId(true);
    if (!user) {
        logLine(LOG_PLATFORM, "Usage event %s dropped: no anonymous user", name.c_str());
        return;
    }
    std::erase_if(values, [](const auto& entry) { return entry.second.isNull(); });
    values["event"] = name;
    values["User"] = *user;
    const std::optional<std::string> fields = PlistCodec::toXml(PlistValue(std::move(values)));
    if (!fields) {
        logLine(LOG_PLATFORM, "Usage event %s dropped: its values cannot be stored", name.c_str());
        return;
    }
    if (!m_db->executeUpdate("INSERT INTO event (class, name, user, created, fields) VALUES (?, ?, ?, ?, ?)",
            eventClass, name, *user, now(), *fields)) {
        logLine(LOG_PLATFORM, "Usage event %s dropped: it could not be written", name.c_str());
        return;
    }
    if (!m_db->executeUpdate("DELETE FROM event WHERE id <= (SELECT max(id) FROM event) - ?", m_maxStoredEvents)) {
        logLine(LOG_PLATFORM, "Old usage events could not be trimmed");
    }
}

std::vector<EventStore::StoredEvent> EventStore::storedEvents()
{
    std::vector<StoredEvent> events;
    std::promise<void> done;
    m_queue.addOperation(
        [this, &events](const Operation&) {
            if (!openIfNeeded()) {
                return;
            }
            auto rs = m_db->executeQuery("SELECT id, class, name, user, created, fields FROM event ORDER BY id");
            while (rs && rs->next()) {
                StoredEvent event;
                event.id = rs->longLongIntForColumn("id");
                event.eventClass = rs->stringForColumn("class").value_or("");
                event.name = rs->stringForColumn("name").value_or("");
                event.user = rs->stringForColumn("user").value_or("");
                event.date = PlistDate::fromSecondsSince1970(rs->doubleForColumn("created"));
                const std::optional<PlistValue> fields
                    = PlistCodec::fromXml(rs->stringForColumn("fields").value_or(""));
                if (fields && fields->isDictionary()) {
                    event.fields = *fields->asDictionary();
                }
                events.push_back(std::move(event));
            }
        },
        [&done] { done.set_value(); });
    done.get_future().wait();
    return events;
}

std::optional<std::string> EventStore::anonymousUserId()
{
    std::optional<std::string> id;
    std::promise<void> done;
    m_queue.addOperation(
        [this, &id](const Operation&) {
            if (openIfNeeded()) {
                id = userId(false);
            }
        },
        [&done] { done.set_value(); });
    done.get_future().wait();
    return id;
}
