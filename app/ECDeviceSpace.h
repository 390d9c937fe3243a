#pragma once

#include <QString>

#include <cstdint>
#include <optional>

/// The figures the window shows about a device's storage, as pure functions of the byte counts
/// the device reports, so they can be checked without a device.
namespace ECDeviceSpace {

/// The capacity in GB as the device was sold: the smallest of 16, 32, 64, 128 and 256 that is
/// larger than the total in GiB; from 256 GiB up, the whole number of GiB.
std::int32_t convertTotalSpaceToDeviceSize(std::int64_t totalBytes);

/// How full the device is, in percent: (1 − free ÷ total) × 100, the ratio taken in single
/// precision as the device figures always have been. Nothing when either count is missing or
/// the counts make no sense (total not positive, free negative or above total).
std::optional<double> fillPercentage(std::optional<std::int64_t> freeBytes, std::optional<std::int64_t> totalBytes);

/// "Your device is %.0f%% full!", or "" without a percentage.
QString statusText(std::optional<double> percentage);

/// "%d GB - %.0f%% full" for a row of the device picker, or "" without the counts.
QString pickerSpaceText(std::optional<std::int64_t> freeBytes, std::optional<std::int64_t> totalBytes);

/// "39.0 GB of 55.7 GB used" beside the fill bar: what the media area's free and total bytes say,
/// the same reading the "…% full" figure comes from. "" without the counts.
QString fillCaption(std::optional<std::int64_t> freeBytes, std::optional<std::int64_t> totalBytes);

/// The leading decimal number of a system version text, as single precision: "8.4.1" gives 8.4,
/// "10" gives 10, text without a leading number gives 0.
float leadingVersionNumber(const QString& versionText);

} // namespace ECDeviceSpace
