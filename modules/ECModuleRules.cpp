#include "modules/ECModuleRules.h"

#include <QLocale>

ECModuleStatus moduleStatusFor(bool deleting, std::size_t workOperations, std::size_t sizeOperations)
{
    if (deleting) {
        return ECModuleStatus::Deleting;
    }
    if (workOperations > 0 || sizeOperations > 0) {
        return ECModuleStatus::Scanning;
    }
    return ECModuleStatus::Idle;
}

QString formattedByteCount(std::int64_t bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QString countText(std::int64_t count)
{
    if (count == 0) {
        return {};
    }
    return QStringLiteral(" %1").arg(count);
}

QString countedNoun(std::int64_t count, const QString& singular, const QString& plural)
{
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? singular : plural);
}

ECProgressDisplay progressDisplayFor(
    ECModuleStatus status, std::int64_t bytesToDelete, std::int64_t itemCount, const QString& deleteTitle)
{
    ECProgressDisplay display;
    display.deleteTitle = deleteTitle;
    switch (status) {
    case ECModuleStatus::Deleting:
        display.label = QStringLiteral("Clearing files...");
        display.barVisible = true;
        display.barIndeterminate = false;
        display.barAnimating = true;
        display.deleteEnabled = false;
        display.cancelTitle = QStringLiteral("Cancel");
        break;
    case ECModuleStatus::Scanning:
        display.label = QStringLiteral("Scanning files...");
        display.barVisible = true;
        display.barIndeterminate = true;
        display.barAnimating = true;
        display.deleteEnabled = itemCount > 0;
        display.cancelTitle = QStringLiteral("Done");
        break;
    case ECModuleStatus::Idle:
        display.label = QStringLiteral("%1 selected").arg(formattedByteCount(bytesToDelete));
        display.deleteEnabled = itemCount > 0;
        display.cancelTitle = QStringLiteral("Done");
        break;
    }
    return display;
}

std::optional<std::int64_t> clearedSpaceToReport(
    std::int64_t estimate, std::optional<std::int64_t> freeBytesBefore, std::optional<std::int64_t> freeBytesAfter)
{
    const std::int64_t measured = (freeBytesBefore && freeBytesAfter) ? *freeBytesAfter - *freeBytesBefore : 0;
    if (measured <= 0 && estimate <= 0) {
        return std::nullopt;
    }
    return estimate != 0 ? estimate : measured;
}
