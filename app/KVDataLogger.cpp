#include "app/KVDataLogger.h"

#include "platform/event_store.h"

#include <QDateTime>

namespace {

// Event values are texts, numbers, booleans and dates; anything else is written as its text, so
// an unexpected value never loses the event.
PlistValue plistValue(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return PlistValue(value.toBool());
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return PlistValue(static_cast<long long>(value.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return PlistValue(static_cast<unsigned long long>(value.toULongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return PlistValue(value.toDouble());
    case QMetaType::QDateTime:
        return PlistValue(PlistDate::fromSecondsSince1970(double(value.toDateTime().toMSecsSinceEpoch()) / 1000.0));
    case QMetaType::QVariantMap: {
        PlistDictionary dictionary;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            dictionary.emplace(it.key().toStdString(), plistValue(it.value()));
        }
        return PlistValue(std::move(dictionary));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        PlistArray array;
        for (const QVariant& element : value.toList()) {
            array.push_back(plistValue(element));
        }
        return PlistValue(std::move(array));
    }
    default:
        if (!value.isValid() || value.isNull()) {
            return PlistValue();
        }
        return PlistValue(value.toString().toStdString());
    }
}

PlistDictionary plistDictionary(const QVariantMap& map)
{
    PlistDictionary dictionary;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        dictionary.emplace(it.key().toStdString(), plistValue(it.value()));
    }
    return dictionary;
}

} // namespace

KVDataLogger& KVDataLogger::sharedLogger()
{
    static KVDataLogger s_logger(EventStore::sharedStore());
    return s_logger;
}

KVDataLogger::KVDataLogger(EventStore& store)
    : m_store(store)
{
}

void KVDataLogger::logEvent(const QString& event, const QVariantMap& dictionary)
{
    m_store.logEvent(event.toStdString(), plistDictionary(dictionary));
}

void KVDataLogger::logUsedModule(const QString& moduleName, std::int64_t clearedSpace)
{
    m_store.logUsedModule(moduleName.toStdString(), clearedSpace);
}

void KVDataLogger::trackEvent(const QString& name, const QVariantMap& properties)
{
    m_store.trackEvent(name.toStdString(), plistDictionary(properties));
}
