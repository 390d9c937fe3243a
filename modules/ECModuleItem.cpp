#include "modules/ECModuleItem.h"

#include <QCollator>

QVariant ECModuleItem::value(const QString& key) const
{
    if (key == QLatin1String("name")) {
        return name;
    }
    if (key == QLatin1String("checked")) {
        return checked ? 1 : 0;
    }
    if (key == QLatin1String("size")) {
        return size ? QVariant::fromValue<qint64>(*size) : QVariant();
    }
    if (key == QLatin1String("date")) {
        return date ? QVariant(*date) : QVariant();
    }
    if (key == QLatin1String("rank")) {
        return rank ? QVariant(*rank) : QVariant();
    }
    if (key == QLatin1String("icon")) {
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    return values.value(key);
}

void ECItemScanResult::mergeInto(ECModuleItem& item) const
{
    if (size) {
        item.size = size;
    }
    if (date) {
        item.date = date;
    }
    if (rank) {
        item.rank = rank;
    }
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        item.values.insert(it.key(), it.value());
    }
}

namespace {

template<typename T>
int threeWay(const T& a, const T& b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

bool isInteger(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

}

int compareItemsByKey(const ECModuleItem& a, const ECModuleItem& b, const QString& key)
{
    const QVariant left = a.value(key);
    const QVariant right = b.value(key);
    if (!left.isValid() || !right.isValid()) {
        return threeWay(left.isValid(), right.isValid());
    }
    if (key == QLatin1String("rank")) {
        // A rank is a run of one character: more bars, higher rank.
        const int order = threeWay(left.toString().size(), right.toString().size());
        return order != 0 ? order : threeWay(left.toString(), right.toString());
    }
    if (isInteger(left) && isInteger(right)) {
        return threeWay(left.toLongLong(), right.toLongLong());
    }
    if (left.typeId() == QMetaType::QDateTime && right.typeId() == QMetaType::QDateTime) {
        return threeWay(left.toDateTime(), right.toDateTime());
    }
    if (left.typeId() == QMetaType::QString && right.typeId() == QMetaType::QString) {
        static thread_local QCollator collator = [] {
            QCollator c;
            c.setNumericMode(true);
            return c;
        }();
        const int order = collator.compare(left.toString(), right.toString());
        return threeWay(order, 0);
    }
    bool leftIsNumber = false;
    bool rightIsNumber = false;
    const double l = left.toDouble(&leftIsNumber);
    const double r = right.toDouble(&rightIsNumber);
    if (leftIsNumber && rightIsNumber) {
        return threeWay(l, r);
    }
    return threeWay(left.toString(), right.toString());
}
