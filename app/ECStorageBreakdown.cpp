#include "app/ECStorageBreakdown.h"

#include "device/AMStorageSpace.h"

#include <algorithm>

ECCategoryUsage ECCategoryUsage::fromDiskUsage(const PlistDictionary& diskUsage)
{
    const auto figure = [&diskUsage](const char* key) -> std::optional<std::int64_t> {
        const auto found = diskUsage.find(key);
        return found == diskUsage.end() ? std::nullopt : AMStorageSpace::byteCount(found->second);
    };
    ECCategoryUsage usage;
    usage.appBytes = figure("MobileApplicationUsage");
    const auto camera = figure("CameraUsage");
    const auto synced = figure("PhotoUsage");
    if (camera || synced) {
        // Each at most the size of a volume, so the sum cannot overflow.
        usage.photoBytes = camera.value_or(0) + synced.value_or(0);
    }
    return usage;
}

std::optional<ECStorageBreakdown> ECStorageBreakdown::make(
    std::optional<std::int64_t> freeBytes, std::optional<std::int64_t> totalBytes, const ECCategoryUsage& usage)
{
    if (!freeBytes || !totalBytes || *totalBytes <= 0 || *freeBytes < 0 || *freeBytes > *totalBytes) {
        return std::nullopt;
    }
    ECStorageBreakdown breakdown;
    breakdown.m_total = *totalBytes;
    std::int64_t unassigned = *totalBytes - *freeBytes;
    const std::pair<Category, std::optional<std::int64_t>> reported[]
        = { { Apps, usage.appBytes }, { Photos, usage.photoBytes }, { Music, usage.musicBytes } };
    for (const auto& [category, figure] : reported) {
        if (figure) {
            const std::int64_t bytes = std::clamp<std::int64_t>(*figure, 0, unassigned);
            breakdown.m_bytes[category] = bytes;
            breakdown.m_reported[category] = true;
            unassigned -= bytes;
        }
    }
    breakdown.m_bytes[Other] = unassigned;
    breakdown.m_bytes[Free] = *freeBytes;
    breakdown.m_reported[Other] = breakdown.m_reported[Free] = true;
    return breakdown;
}

QString ECStorageBreakdown::name(Category category)
{
    switch (category) {
    case Apps:
        return QStringLiteral("Apps");
    case Photos:
        return QStringLiteral("Photos & Videos");
    case Music:
        return QStringLiteral("Music");
    case Other:
        return QStringLiteral("Other");
    case Free:
    case CATEGORY_COUNT:
        break;
    }
    return QStringLiteral("Free");
}
