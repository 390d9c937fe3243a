#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>

/// What a module is doing; the progress label, bar and buttons follow from it.
enum class ECModuleStatus {
    Idle = 0,
    Scanning = 1,
    Deleting = 2,
};

/// Deleting wins over scanning; scanning means either queue still holds an operation.
ECModuleStatus moduleStatusFor(bool deleting, std::size_t workOperations, std::size_t sizeOperations);

/// A byte count in decimal units, as people read sizes: "12.3 MB", "0 bytes".
QString formattedByteCount(std::int64_t bytes);

/// The count in a default button title: empty for none, else a blank and the number.
QString countText(std::int64_t count);

/// A count and the word for what it counts, singular or plural: "1 Song", "3 Songs".
QString countedNoun(std::int64_t count, const QString& singular, const QString& plural);

/// Everything the module window shows below the table, decided without any widget.
struct ECProgressDisplay
{
    QString label;
    bool barVisible { false };
    bool barIndeterminate { false };
    bool barAnimating { false };
    bool deleteEnabled { false };
    QString deleteTitle;
    QString cancelTitle;

    bool operator==(const ECProgressDisplay&) const = default;
};

/// The display for a status, the selected bytes, the number of items a deletion would remove, and
/// the delete button's title (the module's title for that count).
ECProgressDisplay progressDisplayFor(
    ECModuleStatus status, std::int64_t bytesToDelete, std::int64_t itemCount, const QString& deleteTitle);

/// The space a finished deletion reports, or nothing to report. The module's own estimate wins;
/// the measured gain counts only when the estimate was zeroed (a deletion cancelled by closing).
/// A gain can only be measured when both readings of the free space succeeded: a failed reading
/// before the deletion must not turn the whole free space into "cleared".
std::optional<std::int64_t> clearedSpaceToReport(
    std::int64_t estimate, std::optional<std::int64_t> freeBytesBefore, std::optional<std::int64_t> freeBytesAfter);
