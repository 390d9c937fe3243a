#include "modules/fill_clearing/ECFillRules.h"

#include "modules/ECModuleRules.h"

#include <QLocale>
#include <QTimeZone>
#include <QUrlQuery>

#include <algorithm>

namespace ECFillRules {

std::uint64_t getApproriateBlobSizeForFreeSpace(std::uint64_t freeBytes)
{
    if (freeBytes > 100 * MIB) {
        return 50 * MIB;
    }
    if (freeBytes > 10 * MIB) {
        return 10 * MIB;
    }
    if (freeBytes > MIB) {
        return MIB;
    }
    if (freeBytes > 30 * KIB) {
        return 10 * KIB;
    }
    return KIB;
}

float fillProgress(std::uint64_t initialFree, std::uint64_t freeNow, int refillPasses)
{
    const auto share = float(std::min(initialFree, REFILL_PROGRESS_SHARE));
    const float whole = float(initialFree) + float(FILLS) * share;
    if (whole <= 0.0f) {
        return 0.0f;
    }
    // Purging can leave more free space than at the start; the bar only has to stay in range.
    const float filled = (float(initialFree) - float(freeNow)) + float(refillPasses) * share;
    return std::clamp(filled / whole * 100.0f, 0.0f, 100.0f);
}

std::string fillerPath(const QDateTime& now, int number)
{
    const QString date = now.toTimeZone(QTimeZone::utc()).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000"));
    return std::string(FILL_FOLDER) + "/" + date.toStdString() + "-" + std::to_string(number);
}

QString convertBytesToString(std::uint64_t bytes)
{
    return QLocale().formattedDataSize(
        qint64(std::min<std::uint64_t>(bytes, std::uint64_t(INT64_MAX))), 1, QLocale::DataSizeSIFormat);
}

ECGainReport gainBetween(std::optional<std::uint64_t> initialFree, std::optional<std::uint64_t> finalFree)
{
    if (!initialFree || !finalFree) {
        return { ECGain::Unknown, 0 };
    }
    if (*finalFree > *initialFree) {
        return { ECGain::Some, *finalFree - *initialFree };
    }
    return { *finalFree == *initialFree ? ECGain::None : ECGain::Less, 0 };
}

QString storageSettingsPath(float systemVersion)
{
    // The page was "Usage" up to iOS 8, "Storage & iCloud Usage" in iOS 9 and 10, and is
    // "iPhone Storage" since iOS 11.
    if (systemVersion > 0.0f && systemVersion < 9.0f) {
        return QStringLiteral("Settings › General › Usage");
    }
    if (systemVersion > 0.0f && systemVersion < 11.0f) {
        return QStringLiteral("Settings › General › Storage & iCloud Usage");
    }
    return QStringLiteral("Settings › General › iPhone Storage");
}

QString finishedMessage(const ECGainReport& gain, float systemVersion)
{
    switch (gain.kind) {
    case ECGain::Some:
        return QStringLiteral("We just cleared %1 from your device!").arg(convertBytesToString(gain.bytes));
    case ECGain::Less:
        return QStringLiteral("We just finished clearing caches, but your device has no more free space than "
                              "before. To see how much space is free, open %1")
            .arg(storageSettingsPath(systemVersion));
    case ECGain::None:
    case ECGain::Unknown:
        break;
    }
    return QStringLiteral("We just finished clearing caches! To see how much space is free, open %1")
        .arg(storageSettingsPath(systemVersion));
}

QString failureMessage()
{
    return QStringLiteral("There was an issue clearing caches... please try again. You can click the 'Send Info' "
                          "button to email us info about the problem, so we can make this feature better!");
}

QString sendInfoBody(std::uint64_t freeBytes, int filesWritten, std::uint64_t attemptedWriteSize)
{
    return QStringLiteral("Free: %1     FileCount: %2     Tried: %3")
        .arg(QString::number(freeBytes), QString::number(filesWritten), QString::number(attemptedWriteSize));
}

QUrl sendInfoUrl(const QString& address, std::uint64_t freeBytes, int filesWritten, std::uint64_t attemptedWriteSize)
{
    QUrl url;
    url.setScheme(QStringLiteral("mailto"));
    url.setPath(address);
    // Encoded by hand rather than left to QUrlQuery, which keeps ":", "&" and "=" in values as
    // they are; a mail program would then split or misread the fields.
    const auto field = [](const QString& key, const QString& value) {
        return key + QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(value));
    };
    url.setQuery(field(QStringLiteral("Subject"), QStringLiteral("Raded Irezedo Report")) + QLatin1Char('&')
            + field(QStringLiteral("body"), sendInfoBody(freeBytes, filesWritten, attemptedWriteSize)),
        QUrl::StrictMode);
    return url;
}

QString phoneGoneMessage(bool unplugged, bool interrupted, int fillersLeft, std::uint64_t bytesLeft)
{
    QString line
        = unplugged ? QStringLiteral("The phone was unplugged: ") : QStringLiteral("The phone stopped answering: ");
    if (interrupted) {
        return line
            + QStringLiteral("clearing stopped before it finished, and it keeps the temporary files Torvane made "
                             "until it is plugged in again.");
    }
    if (fillersLeft > 0) {
        return line
            + QStringLiteral("it keeps %1 Torvane made (%2) until it is plugged in again.")
                  .arg(countedNoun(fillersLeft, QStringLiteral("temporary file"), QStringLiteral("temporary files")),
                      convertBytesToString(bytesLeft));
    }
    return line + QStringLiteral("every temporary file Torvane made was removed.");
}

QString fillersLeftMessage(int count, std::uint64_t bytes)
{
    return QStringLiteral("The device would not let Torvane remove %1 of its temporary files, which still take %2 of "
                          "its space. Click Clear Temp Files to try again; they are also removed the next time the "
                          "device is connected.")
        .arg(count)
        .arg(convertBytesToString(bytes));
}

QString noProgressMessage()
{
    return QStringLiteral("This device did not let Torvane fill its free space, so its caches could not be cleared. "
                          "Every temporary file Torvane made was removed.");
}

} // namespace ECFillRules
