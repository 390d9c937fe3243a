#include "modules/music/ECMusicModule.h"

#include "modules/ECClock.h"

#include <QTimeZone>

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

namespace {

/// Sets the process's time zone for one test and puts the old one back.
class TimeZone
{
public:
    explicit TimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone()
    {
        if (m_old) {
            setenv("TZ", m_old->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> m_old;
};

ECModuleItem song(const QString& name, int type, std::optional<QDateTime> played, std::optional<std::int64_t> size = {})
{
    ECModuleItem item;
    item.name = name;
    item.checked = true;
    item.size = size;
    item.values.insert(QStringLiteral("type"), type);
    if (played) {
        item.values.insert(QStringLiteral("played"), *played);
    }
    return item;
}

QStringList shownNames(const ECMusicModule& module)
{
    QStringList names;
    for (const auto& item : module.itemListController().shownItems()) {
        names.append(item.name);
    }
    names.sort();
    return names;
}

} // namespace

TEST(ECMusicModule, DatesASongByItsFirstNonZeroDateFromLocalMidnight2001)
{
    struct Zone
    {
        const char* zone;
        qint64 reference; // 1 January 2001 00:00 there, in seconds since 1970
    };
    for (const Zone& zone : { Zone { "UTC", 978307200 }, Zone { "Pacific/Auckland", 978307200 - 13 * 3600 },
             Zone { "America/Los_Angeles", 978307200 + 8 * 3600 } }) {
        SCOPED_TRACE(zone.zone);
        const TimeZone scoped(zone.zone);
        EXPECT_EQ(ECMusicModule::referenceDate().toSecsSinceEpoch(), zone.reference);

        struct Row
        {
            std::int64_t played, modified, created;
            std::optional<std::int64_t> expected;
        };
        for (const Row& row : { Row { 0, 0, 0, std::nullopt }, Row { 0, 500, 90, 500 }, Row { 7, 500, 90, 7 },
                 Row { 0, 0, 90, 90 }, Row { -30, 500, 0, -30 } }) {
            SCOPED_TRACE(row.played);
            const auto date = ECMusicModule::playedDate(row.played, row.modified, row.created);
            ASSERT_EQ(date.has_value(), row.expected.has_value());
            if (date) {
                EXPECT_EQ(date->toSecsSinceEpoch(), zone.reference + *row.expected);
            }
        }
    }
}

TEST(ECMusicModule, FiltersByLastPlayAndKind)
{
    const QDateTime now(QDate(2024, 6, 15), QTime(12, 0), Qt::UTC);
    ECFixedClock clock(now);
    ECMusicModule module;
    module.setClock(&clock);
    module.setRangeIndex(6); // "1 Week"
    const QDateTime cutOff = now.addDays(-7);
    module.itemList().appendItem(song(QStringLiteral("at the cut-off"), 1, cutOff));
    module.itemList().appendItem(song(QStringLiteral("a second later"), 1, cutOff.addSecs(1)));
    module.itemList().appendItem(song(QStringLiteral("never played"), 1, std::nullopt));
    module.itemList().appendItem(song(QStringLiteral("old podcast"), 4, cutOff.addYears(-2)));
    module.itemList().appendItem(song(QStringLiteral("undated podcast"), 4, std::nullopt));
    module.itemList().appendItem(song(QStringLiteral("other kind"), 2, cutOff.addDays(-1)));

    struct Row
    {
        bool songs, podcasts;
        QStringList shown;
    };
    const Row rows[] = {
        { true, true, { "at the cut-off", "never played", "old podcast", "other kind", "undated podcast" } },
        { false, true, { "old podcast", "other kind", "undated podcast" } },
        { true, false, { "at the cut-off", "never played", "other kind" } },
        { false, false, { "other kind" } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shown.join(QStringLiteral(", ")).toStdString());
        module.setSongsChecked(row.songs);
        module.setPodcastsChecked(row.podcasts);
        EXPECT_EQ(shownNames(module), row.shown);
    }
    EXPECT_EQ(module.rangeLabelText(), QStringLiteral("1 Week"));

    // Only the kinds a phone stores are listed, so with both boxes off nothing real is shown.
    module.itemList().removeAllItems();
    module.itemList().appendItem(song(QStringLiteral("song"), 1, std::nullopt));
    module.itemList().appendItem(song(QStringLiteral("podcast"), 4, std::nullopt));
    EXPECT_TRUE(shownNames(module).isEmpty());
    EXPECT_TRUE(module.itemsToRemove().empty());

    // A wider range takes in what was too recent; the label follows the slider.
    module.setSongsChecked(true);
    module.itemList().appendItem(song(QStringLiteral("yesterday"), 1, now.addDays(-1)));
    EXPECT_FALSE(shownNames(module).contains(QStringLiteral("yesterday")));
    module.setRangeIndex(8);
    EXPECT_EQ(module.rangeLabelText(), QStringLiteral("1 Day"));
    EXPECT_TRUE(shownNames(module).contains(QStringLiteral("yesterday")));
}

TEST(ECMusicModule, CountsTheShownCheckedSongsOnTheButton)
{
    ECMusicModule module;
    EXPECT_EQ(module.progressDisplay().deleteTitle, QStringLiteral("Delete Songs"));
    EXPECT_FALSE(module.progressDisplay().deleteEnabled);
    const auto first = module.itemList().appendItem(song(QStringLiteral("a"), 1, std::nullopt, 5'000'000'000));
    module.updateProgressLabel();
    EXPECT_EQ(module.progressDisplay().deleteTitle, QStringLiteral("Delete 1 Song"));
    module.itemList().appendItem(song(QStringLiteral("no size"), 1, std::nullopt));
    module.itemList().appendItem(song(QStringLiteral("podcast"), 4, std::nullopt, 7));
    module.updateProgressLabel();
    // The button names what it deletes: a podcast is not a song.
    EXPECT_EQ(module.progressDisplay().deleteTitle, QStringLiteral("Delete 2 Songs and 1 Podcast"));
    EXPECT_EQ(module.selectionSize(), 5'000'000'007);
    module.setPodcastsChecked(false);
    EXPECT_EQ(module.selectionSize(), 5'000'000'000);
    EXPECT_EQ(module.progressDisplay().deleteTitle, QStringLiteral("Delete 2 Songs"));
    ASSERT_TRUE(module.itemList().setItemChecked(first, false));
    EXPECT_EQ(module.selectionSize(), 0);
    EXPECT_EQ(module.progressDisplay().deleteTitle, QStringLiteral("Delete 1 Song"));
}

TEST(ECMusicModule, HandsTheDeleterThePersistentIdOrTheDescription)
{
    ECModuleItem item = song(QStringLiteral("Ünïcode Song"), 1, std::nullopt, 1234);
    item.values.insert(QStringLiteral("artist"), QStringLiteral("Mara Lune"));
    MediaLibraryTrack track = ECMusicModule::trackFor(item);
    EXPECT_FALSE(track.pid);
    EXPECT_EQ(track.title, "Ünïcode Song");
    EXPECT_EQ(track.artist, "Mara Lune");
    EXPECT_EQ(track.size, 1234);
    item.values.insert(QStringLiteral("pid"), qlonglong(-8'070'450'532'247'928'832));
    EXPECT_EQ(ECMusicModule::trackFor(item).pid, -8'070'450'532'247'928'832);
}
