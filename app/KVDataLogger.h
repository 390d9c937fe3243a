#pragma once

#include "modules/ECModuleEventSink.h"

#include <QString>
#include <QVariantMap>

#include <cstdint>

class EventStore;

/// Records anonymous usage events ("testEvent" at launch, "UsedModule" when a module cleared
/// space) and the modules' analytics events ("ClearedSpace", "CancelledModule") in the local
/// event store. Fire and forget: every call returns at once, and a store that cannot be written
/// changes nothing in the application. Any thread.
class KVDataLogger : public ECModuleEventSink
{
public:
    /// The logger of the running application, over EventStore::sharedStore(); created on first
    /// call (thread-safe).
    static KVDataLogger& sharedLogger();

    explicit KVDataLogger(EventStore& store);

    /// One event named `event` with the values of `dictionary`; "event" and "User" are set by
    /// the store after them.
    void logEvent(const QString& event, const QVariantMap& dictionary);
    /// "UsedModule" with {"module": name, "space": bytes}.
    void logUsedModule(const QString& moduleName, std::int64_t clearedSpace) override;
    /// An analytics event with its properties.
    void trackEvent(const QString& name, const QVariantMap& properties) override;

private:
    EventStore& m_store;
};
