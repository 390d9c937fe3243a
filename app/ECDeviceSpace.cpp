#include "app/ECDeviceSpace.h"

#include <QLocale>
#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace ECDeviceSpace {

std::int32_t convertTotalSpaceToDeviceSize(std::int64_t totalBytes)
{
    constexpr std::int64_t GIB = std::int64_t(1) << 30;
    if (totalBytes < (std::int64_t(1) << 34)) {
        return 16;
    }
    if (totalBytes < (std::int64_t(1) << 35)) {
        return 32;
    }
    if (totalBytes < (std::int64_t(1) << 36)) {
        return 64;
    }
    if (totalBytes < (std::int64_t(1) << 37)) {
        return 128;
    }
    if (totalBytes < (std::int64_t(1) << 38)) {
        return 256;
    }
    // Through single precision, as the size has always been shown; clamped because a device that
    // reports an absurd total must not make the conversion overflow.
    // Whole gibibytes first, as the size has always been shown.
    const float gibibytes = float(totalBytes / GIB); // NOLINT(bugprone-integer-division)
    if (gibibytes >= float(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return std::int32_t(gibibytes);
}

std::optional<double> fillPercentage(std::optional<std::int64_t> freeBytes, std::optional<std::int64_t> totalBytes)
{
    if (!freeBytes || !totalBytes || *totalBytes <= 0 || *freeBytes < 0 || *freeBytes > *totalBytes) {
        return std::nullopt;
    }
    const float ratio = float(*freeBytes) / float(*totalBytes);
    return (1.0 - double(ratio)) * 100.0;
}

QString statusText(std::optional<double> percentage)
{
    if (!percentage) {
        return QString();
    }
    return QString::asprintf("Your device is %.0f%% full!", *percentage);
}

QString pickerSpaceText(std::optional<std::int64_t> freeBytes, std::optional<std::int64_t> totalBytes)
{
    const std::optional<double> percentage = fillPercentage(freeBytes, totalBytes);
    if (!percentage) {
        return QString();
    }
    return QString::asprintf("%d GB - %.0f%% full", convertTotalSpaceToDeviceSize(*totalBytes), *percentage);
}

QString fillCaption(std::optional<std::int64_t> freeBytes, std::optional<std::int64_t> totalBytes)
{
    if (!fillPercentage(freeBytes, totalBytes)) {
        return QString();
    }
    // What the phone read: the used and total bytes of the media area the percentage comes from.
    const QLocale locale;
    return QStringLiteral("%1 of %2 used")
        .arg(locale.formattedDataSize(*totalBytes - *freeBytes, 1, QLocale::DataSizeSIFormat),
            locale.formattedDataSize(*totalBytes, 1, QLocale::DataSizeSIFormat));
}

float leadingVersionNumber(const QString& versionText)
{
    static const QRegularExpression leadingNumber(QStringLiteral("^\\s*([+-]?(?:\\d+(?:\\.\\d*)?|\\.\\d+))"));
    const QRegularExpressionMatch match = leadingNumber.match(versionText);
    if (!match.hasMatch()) {
        return 0.0f;
    }
    bool ok = false;
    const float number = match.captured(1).toFloat(&ok);
    return ok && std::isfinite(number) ? number : 0.0f;
}

} // namespace ECDeviceSpace
