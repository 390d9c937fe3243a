#include "modules/apps/ECAppModule.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "modules/download_cache/ECCacheModule.h"

#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

TEST(ECAppModuleRank, BarsFollowSizeAndAge)
{
    const QDateTime now(QDate(2026, 6, 15), QTime(12, 0), QTimeZone::utc());
    constexpr std::int64_t MB = 1'000'000;
    struct Row
    {
        const char* what;
        std::int64_t size;
        std::optional<QDateTime> date;
        int bars;
    };
    const std::vector<Row> rows {
        { "nothing to free", 0, now, 0 },
        { "nothing, however old", 0, now.addYears(-3), 0 },
        // A negative score still gets a fifteenth of the bar.
        { "10 MB today", 10 * MB, now, 2 },
        { "100 MB today", 100 * MB, now, 1 },
        { "100 MB, 6 days", 100 * MB, now.addDays(-6), 8 },
        { "100 MB, 30 days", 100 * MB, now.addDays(-30), 11 },
        { "100 MB, 30 days ahead", 100 * MB, now.addDays(30), 11 },
        { "100 MB, no date counts as today", 100 * MB, std::nullopt, 1 },
        { "100 MB, invalid date counts as today", 100 * MB, QDateTime(), 1 },
        { "400 MB today", 400 * MB, now, 18 },
        { "400 MB, 5 years", 400 * MB, now.addYears(-5), 18 },
        { "1 byte, 2 years", 1, now.addDays(-730), 18 },
        { "1 byte, 100 days", 1, now.addDays(-100), 10 },
        { "6 GB today", 6'000 * MB, now, 18 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const QString rank = ECAppModule::rankStringFor(row.size, row.date, now);
        EXPECT_EQ(rank, QString(row.bars, QLatin1Char('|')));
    }
    // Days are whole: 6 days and 23 hours count as 6, still within the first week.
    EXPECT_EQ(ECAppModule::rankStringFor(100 * MB, now.addSecs(-(7 * 86400 - 3600)), now),
        ECAppModule::rankStringFor(100 * MB, now.addDays(-6), now));
}

TEST(ECAppModuleContainers, OpenedBelow83AndFromThenOnOnlyForDevelopmentInstalls)
{
    const PlistValue store(PlistDictionary { { "application-identifier", PlistValue("ABCDE12345.com.x") } });
    const PlistValue development(PlistDictionary { { "get-task-allow", PlistValue(true) } });
    const PlistValue notDevelopment(PlistDictionary { { "get-task-allow", PlistValue(false) } });
    struct Row
    {
        std::optional<std::string> version;
        const PlistValue* entitlements;
        bool opens;
    };
    const std::vector<Row> rows {
        { std::nullopt, &store, true }, // unknown version: try, as before
        { std::string("garbled"), &store, true },
        { std::string("7.1.2"), &store, true },
        { std::string("8.2"), &store, true },
        { std::string("8.3"), &store, false },
        { std::string("8.3"), nullptr, false },
        { std::string("9.3.5"), &store, false },
        { std::string("9.3.5"), &notDevelopment, false },
        { std::string("9.3.5"), &development, true },
        { std::string("17.5"), &development, true },
        { std::string("10"), &store, false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.version.value_or("(none)"));
        EXPECT_EQ(ECAppModule::containerOpens(row.version, row.entitlements), row.opens);
    }
}

TEST(ECAppModuleTexts, ButtonTitlesAndNames)
{
    ECAppModule apps;
    ECCacheModule caches;
    struct Row
    {
        const ECModule* module;
        std::int64_t count;
        QString title;
    };
    const std::vector<Row> rows {
        { &apps, 0, QStringLiteral("Remove Apps") },
        { &apps, 1, QStringLiteral("Remove 1 App") },
        { &apps, 3, QStringLiteral("Remove 3 Apps") },
        { &caches, 0, QStringLiteral("Clear Temp Files") },
        { &caches, 1, QStringLiteral("Clear 1 Temp File") },
        { &caches, 4, QStringLiteral("Clear 4 Temp Files") },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title.toStdString());
        EXPECT_EQ(row.module->buttonTitle(row.count), row.title);
    }
    EXPECT_EQ(apps.moduleName(), QStringLiteral("UninstallApps"));
    EXPECT_EQ(caches.moduleName(), QStringLiteral("AppCaches"));
    EXPECT_EQ(apps.titleText(), QStringLiteral("Remove Apps"));
    EXPECT_EQ(caches.titleText(), QStringLiteral("Clear Temporary Files"));
    EXPECT_TRUE(caches.hintText().endsWith(QStringLiteral("(This tool only runs on iOS 8.2 or earlier)")));
    EXPECT_FALSE(apps.defaultChecked());
    EXPECT_TRUE(caches.defaultChecked());
    EXPECT_EQ(
        ECCacheModule::searchPaths(), (QStringList { QStringLiteral("/Library/Caches"), QStringLiteral("/tmp") }));
    EXPECT_EQ(ECAppModule::appsIcon256().size(), QSize(256, 256));
    EXPECT_EQ(apps.progressDisplay().deleteTitle, QStringLiteral("Remove Apps"));
}

TEST(ECCacheModuleArtwork, PictureAddressFromEitherShape)
{
    struct Row
    {
        const char* what;
        PlistDictionary metadata;
        std::optional<QString> url;
        bool logged;
    };
    const auto withUrl = [](const char* url) { return PlistValue(PlistDictionary { { "url", PlistValue(url) } }); };
    const std::vector<Row> rows {
        { "dictionary",
            { { "artwork-urls", PlistValue(PlistDictionary { { "default", withUrl("http://a/1.jpg") } }) } },
            QStringLiteral("http://a/1.jpg"), false },
        { "array",
            { { "artwork-urls", PlistValue(PlistArray { withUrl("http://a/2.jpg"), withUrl("http://a/3.jpg") }) } },
            QStringLiteral("http://a/2.jpg"), false },
        { "absent", { { "metadata", PlistValue(PlistDictionary {}) } }, std::nullopt, false },
        { "empty array", { { "artwork-urls", PlistValue(PlistArray {}) } }, std::nullopt, true },
        { "dictionary without default", { { "artwork-urls", PlistValue(PlistDictionary {}) } }, std::nullopt, true },
        { "a number", { { "artwork-urls", PlistValue(std::int64_t(7)) } }, std::nullopt, true },
        { "entry without url", { { "artwork-urls", PlistValue(PlistArray { PlistValue(PlistDictionary {}) }) } },
            std::nullopt, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LogCapture log;
        const std::optional<QUrl> url = ECCacheModule::artworkUrl(row.metadata);
        EXPECT_EQ(url.has_value(), row.url.has_value());
        if (url && row.url) {
            EXPECT_EQ(url->toString(), *row.url);
        }
        bool logged = false;
        for (const auto& line : log.lines()) {
            logged = logged || line.rfind("Unable to find artwork url in object: ", 0) == 0;
        }
        EXPECT_EQ(logged, row.logged);
    }
}

}
