#pragma once

#include <QString>
#include <QVariantMap>

#include <cstdint>

/// Where a module files what the user did with it: the usage event logger and the analytics
/// tracker. The application hands every module one; modules never know who listens, so their
/// logic is tested with a recording sink. Called on the main thread only.
class ECModuleEventSink
{
public:
    virtual ~ECModuleEventSink() = default;

    /// A deletion finished having cleared space ("UsedModule" with the module name and bytes).
    virtual void logUsedModule(const QString& moduleName, std::int64_t clearedSpace) = 0;
    /// An analytics event ("ClearedSpace", "CancelledModule") with its properties.
    virtual void trackEvent(const QString& name, const QVariantMap& properties) = 0;
};
