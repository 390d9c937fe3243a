#include "modules/fill_clearing/ECFillRules.h"

#include <QLocale>
#include <QTimeZone>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace ECFillRules;

TEST(ECFillRules, FillerSizeFollowsTheFreeSpaceTableAtItsBoundaries)
{
    const struct
    {
        std::uint64_t free;
        std::uint64_t size;
    } rows[] = {
        { 64'000'000'000, 50 * MIB },
        { 100 * MIB + 1, 50 * MIB },
        { 100 * MIB, 10 * MIB },
        { 10 * MIB + 1, 10 * MIB },
        { 10 * MIB, MIB },
        { MIB + 1, MIB },
        { MIB, 10 * KIB },
        { 30 * KIB + 1, 10 * KIB },
        { 30 * KIB, KIB },
        { 1, KIB },
        { 0, KIB },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.free);
        EXPECT_EQ(getApproriateBlobSizeForFreeSpace(row.free), row.size);
    }
}

TEST(ECFillRules, ProgressCountsEachFillAndStaysInRange)
{
    // 2 GiB free: the whole run fills 2 GiB + 3 × 100 MiB.
    const std::uint64_t initial = 2048 * MIB;
    EXPECT_FLOAT_EQ(fillProgress(initial, initial, 0), 0.0f);
    EXPECT_NEAR(fillProgress(initial, 0, 0), 2048.0 / 2348.0 * 100.0, 0.01);
    EXPECT_NEAR(fillProgress(initial, 0, 2), 2248.0 / 2348.0 * 100.0, 0.01);
    // Purging left more free space than at the start: never below 0.
    EXPECT_FLOAT_EQ(fillProgress(initial, initial + 500 * MIB, 0), 0.0f);
    // A phone with nothing free has nothing to fill.
    EXPECT_FLOAT_EQ(fillProgress(0, 0, 2), 0.0f);
    // A small phone: the refill share is the whole starting space, and the end is 100.
    EXPECT_FLOAT_EQ(fillProgress(50 * MIB, 0, 3), 100.0f);
}

TEST(ECFillRules, FillerPathsCarryTheDateInUtcAndTheNumber)
{
    const QDateTime when(QDate(2015, 3, 12), QTime(11, 11, 12), QTimeZone(3600));
    EXPECT_EQ(fillerPath(when, 0), "Torvane/2015-03-12 10:11:12 +0000-0");
    EXPECT_EQ(fillerPath(when, 999), "Torvane/2015-03-12 10:11:12 +0000-999");
}

TEST(ECFillRules, GainIsReportedOnlyWhenBothReadingsSucceededAndNeverAsALoss)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const QString settings = QStringLiteral("We just finished clearing caches! To see how much space is free, open "
                                            "Settings › General › iPhone Storage");
    // The page the phone's own system version has.
    EXPECT_EQ(storageSettingsPath(8.4f), QStringLiteral("Settings › General › Usage"));
    EXPECT_EQ(storageSettingsPath(9.3f), QStringLiteral("Settings › General › Storage & iCloud Usage"));
    EXPECT_EQ(storageSettingsPath(17.5f), QStringLiteral("Settings › General › iPhone Storage"));
    const struct
    {
        std::optional<std::uint64_t> before;
        std::optional<std::uint64_t> after;
        ECGain kind;
        std::uint64_t bytes;
        QString message;
    } rows[] = {
        { 1'000'000'000, 1'250'500'000, ECGain::Some, 250'500'000,
            QStringLiteral("We just cleared 250.5 MB from your device!") },
        { 1'000'000'000, 1'000'000'000, ECGain::None, 0, settings },
        // A failed reading before the run is not "everything was cleared".
        { std::nullopt, 1'000'000'000, ECGain::Unknown, 0, settings },
        { 1'000'000'000, std::nullopt, ECGain::Unknown, 0, settings },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message.toStdString());
        const ECGainReport gain = gainBetween(row.before, row.after);
        EXPECT_EQ(gain.kind, row.kind);
        EXPECT_EQ(gain.bytes, row.bytes);
        EXPECT_EQ(finishedMessage(gain), row.message);
    }
    // Less free space at the end: the loss is not shown as cleared.
    const ECGainReport loss = gainBetween(1'000'000'000, 900'000'000);
    EXPECT_EQ(loss.kind, ECGain::Less);
    EXPECT_EQ(loss.bytes, 0u);
    EXPECT_FALSE(finishedMessage(loss).contains(QStringLiteral("100 MB")));
    EXPECT_TRUE(finishedMessage(loss).startsWith(QStringLiteral("We just finished clearing caches, but")));

    // The phone went: the words every tool uses, and where the run left its fillers.
    EXPECT_EQ(phoneGoneMessage(true, false, 1, 10'000'000),
        QStringLiteral("The phone was unplugged: it keeps 1 temporary file Torvane made (10.0 MB) until it is "
                       "plugged in again."));
    EXPECT_EQ(phoneGoneMessage(false, false, 0, 0),
        QStringLiteral("The phone stopped answering: every temporary file Torvane made was removed."));
}

TEST(ECFillRules, SendInfoMailEncodesEveryField)
{
    const QUrl url = sendInfoUrl(QStringLiteral("help+fill@torvane.org"), 1'048'577, 3, 1'048'576);
    EXPECT_EQ(url.scheme(), QStringLiteral("mailto"));
    EXPECT_EQ(url.toEncoded(),
        QByteArray("mailto:help+fill@torvane.org?Subject=Raded%20Irezedo%20Report&body=Free%3A%201048577%20%20%20%20%20"
                   "FileCount%3A%203%20%20%20%20%20Tried%3A%201048576"));
    // A mail program reads the fields back exactly.
    const QUrlQuery query(url);
    EXPECT_EQ(
        query.queryItemValue(QStringLiteral("Subject"), QUrl::FullyDecoded), QStringLiteral("Raded Irezedo Report"));
    EXPECT_EQ(query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded),
        QStringLiteral("Free: 1048577     FileCount: 3     Tried: 1048576"));
}
