#include "modules/ECModuleItem.h"

#include <QStringView>

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

// Names compare with runs of digits as numbers ("Item 9" before "Item 10") and letters without
// regard to case. QCollator's numeric mode is not available in the C locale, which is what a
// desktop session without a configured language runs under, so this is done by hand.
int compareNaturally(const QString& a, const QString& b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const qsizetype startA = i;
            const qsizetype startB = j;
            while (i < a.size() && a[i].isDigit()) {
                ++i;
            }
            while (j < b.size() && b[j].isDigit()) {
                ++j;
            }
            QStringView digitsA = QStringView(a).mid(startA, i - startA);
            QStringView digitsB = QStringView(b).mid(startB, j - startB);
            // Leading zeros do not change a number; then the longer run is the larger number.
            while (digitsA.size() > 1 && digitsA.front() == u'0') {
                digitsA = digitsA.mid(1);
            }
            while (digitsB.size() > 1 && digitsB.front() == u'0') {
                digitsB = digitsB.mid(1);
            }
            if (digitsA.size() != digitsB.size()) {
                return digitsA.size() < digitsB.size() ? -1 : 1;
            }
            const int order = digitsA.compare(digitsB);
            if (order != 0) {
                return order < 0 ? -1 : 1;
            }
            continue;
        }
        const int order = QString::compare(QString(a[i]), QString(b[j]), Qt::CaseInsensitive);
        if (order != 0) {
            return order < 0 ? -1 : 1;
        }
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) {
        return i < a.size() ? 1 : -1;
    }
    return QString::compare(a, b) < 0 ? -1 : (a == b ? 0 : 1);
}

template <typename T> int threeWay(const T& a, const T& b)
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
        return compareNaturally(left.toString(), right.toString());
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
