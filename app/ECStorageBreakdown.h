#pragma once

#include "base/PlistValue.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

/// What the phone says its categories take, each missing when the phone does not say: apps and
/// photos from the lockdown "com.apple.disk_usage" values (older phones only), music from the
/// songs and podcasts in its media library.
struct ECCategoryUsage
{
    std::optional<std::int64_t> appBytes;
    std::optional<std::int64_t> photoBytes;
    std::optional<std::int64_t> musicBytes;

    /// Apps from "MobileApplicationUsage"; photos and videos from "CameraUsage" (the camera roll)
    /// plus "PhotoUsage" (photos synced from a computer), either alone when only one is there.
    static ECCategoryUsage fromDiskUsage(const PlistDictionary& diskUsage);

    bool operator==(const ECCategoryUsage&) const = default;
};

/// Where the space of the media area goes, from one reading: the categories the phone reported,
/// "other" for the rest of the used space, and free. The parts always add up to the area's
/// total: a category is never guessed, and reported figures that exceed the used space (read a
/// moment apart) are cut to it, in the order apps, photos, music.
class ECStorageBreakdown
{
public:
    enum Category { Apps, Photos, Music, Other, Free, CATEGORY_COUNT };

    /// Nothing without sensible free and total counts.
    static std::optional<ECStorageBreakdown> make(
        std::optional<std::int64_t> freeBytes, std::optional<std::int64_t> totalBytes, const ECCategoryUsage& usage);

    std::int64_t bytes(Category category) const { return m_bytes[std::size_t(category)]; }
    /// Other and free always are; apps, photos and music when the phone reported them.
    bool reported(Category category) const { return m_reported[std::size_t(category)]; }
    std::int64_t totalBytes() const { return m_total; }
    std::int64_t usedBytes() const { return m_total - bytes(Free); }

    /// "Apps", "Photos & Videos", "Music", "Other", "Free".
    static QString name(Category category);

private:
    std::array<std::int64_t, CATEGORY_COUNT> m_bytes {};
    std::array<bool, CATEGORY_COUNT> m_reported {};
    std::int64_t m_total { 0 };
};
