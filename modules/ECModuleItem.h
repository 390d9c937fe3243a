#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <cstdint>
#include <optional>

/// One thing a table module found on the device: an app, a stalled download, a song. Queue code
/// works on copies; the list model on the main thread holds the items and finds them by `id`.
struct ECModuleItem
{
    /// Given by the list model when the item is added; never reused within a run.
    std::uint64_t id { 0 };
    QString name;
    /// May be null. A QImage, not a pixmap, so listing code on a queue may make it.
    QImage icon;
    bool checked { false };
    /// Bytes that deleting the item frees; absent until scanned.
    std::optional<std::int64_t> size;
    /// Latest modification date found by the scan.
    std::optional<QDateTime> date;
    /// A run of 0 to 18 "|", more bars for a better candidate; absent until scanned.
    std::optional<QString> rank;
    /// Tool-specific keys: "appid", "streampath", "artist", "played", "type", ...
    QVariantMap values;

    std::int64_t sizeOrZero() const { return size.value_or(0); }

    /// The value under a key, common keys included ("name", "checked", "size", "date", "rank");
    /// an invalid QVariant when absent.
    QVariant value(const QString& key) const;
};

/// The entries a scan found, copied into the item; an entry present in both takes the scan's value.
struct ECItemScanResult
{
    std::optional<std::int64_t> size;
    std::optional<QDateTime> date;
    std::optional<QString> rank;
    QVariantMap values;

    bool isEmpty() const { return !size && !date && !rank && values.isEmpty(); }
    void mergeInto(ECModuleItem& item) const;
};

/// Orders two items by a key for sorting: -1, 0 or 1. An item without the key sorts below every
/// item that has it; numbers and dates compare by value, texts by the locale's collation.
int compareItemsByKey(const ECModuleItem& a, const ECModuleItem& b, const QString& key);
