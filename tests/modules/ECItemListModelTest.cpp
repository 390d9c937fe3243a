#include "modules/ECItemListModel.h"

#include "ModuleTestSupport.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

class ItemListModel : public testing::Test
{
protected:
    void SetUp() override
    {
        proxy.setItemModel(&model);
        // Fatal: any broken model contract aborts the test.
        sourceTester = std::make_unique<QAbstractItemModelTester>(&model);
        proxyTester = std::make_unique<QAbstractItemModelTester>(&proxy);
    }

    std::vector<QString> shownNames() const
    {
        std::vector<QString> names;
        for (const auto& item : proxy.shownItems()) {
            names.push_back(item.name);
        }
        return names;
    }

    std::uint64_t add(
        const QString& name, std::optional<QString> rank = std::nullopt, std::optional<std::int64_t> size = {})
    {
        ECModuleItem item = makeItem(name);
        item.rank = std::move(rank);
        item.size = size;
        return model.appendItem(item);
    }

    ECItemListModel model;
    ECItemListProxyModel proxy;
    std::unique_ptr<QAbstractItemModelTester> sourceTester;
    std::unique_ptr<QAbstractItemModelTester> proxyTester;
};

using Names = std::vector<QString>;

TEST_F(ItemListModel, SortsByRankMostBarsFirstAndUnrankedLast)
{
    add(QStringLiteral("none"));
    add(QStringLiteral("empty"), QString());
    add(QStringLiteral("three"), QStringLiteral("|||"));
    add(QStringLiteral("one"), QStringLiteral("|"));
    EXPECT_EQ(shownNames(), (Names { "none", "empty", "three", "one" }));

    proxy.setSortKey(QStringLiteral("rank"), Qt::DescendingOrder);
    EXPECT_EQ(shownNames(), (Names { "three", "one", "empty", "none" }));
}

TEST_F(ItemListModel, MergedScanResortsAndRefilters)
{
    const auto late = add(QStringLiteral("late"));
    add(QStringLiteral("two"), QStringLiteral("||"));
    proxy.setSortKey(QStringLiteral("rank"), Qt::DescendingOrder);
    EXPECT_EQ(shownNames(), (Names { "two", "late" }));

    ASSERT_TRUE(model.mergeIntoItem(late, makeScan(5'000'000'000, QStringLiteral("||||||"))));
    EXPECT_EQ(shownNames(), (Names { "late", "two" }));
    EXPECT_EQ(model.itemWithId(late)->size, 5'000'000'000);

    proxy.setFilterPredicate([](const ECModuleItem& item) { return item.sizeOrZero() < 1'000'000; });
    EXPECT_EQ(shownNames(), (Names { "two" }));
    ECItemScanResult grown;
    grown.size = 2'000'000;
    model.mergeIntoItem(model.items()[1].id, grown);
    EXPECT_TRUE(shownNames().empty());
}

TEST_F(ItemListModel, ScanValuesWinAndAbsentEntriesStay)
{
    ECModuleItem item = makeItem(QStringLiteral("app"));
    item.values.insert(QStringLiteral("appid"), QStringLiteral("com.example.app"));
    item.values.insert(QStringLiteral("played"), 1);
    const auto id = model.appendItem(item);

    ECItemScanResult scan;
    scan.date = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
    scan.values.insert(QStringLiteral("played"), 2);
    model.mergeIntoItem(id, scan);
    const ECModuleItem merged = *model.itemWithId(id);
    EXPECT_EQ(merged.values.value(QStringLiteral("played")).toInt(), 2);
    EXPECT_EQ(merged.values.value(QStringLiteral("appid")).toString(), QStringLiteral("com.example.app"));
    EXPECT_EQ(merged.date, scan.date);
    EXPECT_FALSE(merged.size.has_value());
}

TEST_F(ItemListModel, CheckboxEditsNotifyOncePerBatch)
{
    const auto a = add(QStringLiteral("a"));
    const auto b = add(QStringLiteral("b"));
    QSignalSpy checkedChanged(&model, &ECItemListModel::checkedChanged);

    const int checkColumn = model.columnOfKind(ECItemColumn::Kind::Checked);
    ASSERT_GE(checkColumn, 0);
    EXPECT_TRUE(model.flags(model.index(0, checkColumn)).testFlag(Qt::ItemIsUserCheckable));
    EXPECT_FALSE(model.setData(model.index(0, checkColumn + 1), Qt::Checked, Qt::CheckStateRole));
    EXPECT_TRUE(model.setData(model.index(0, checkColumn), Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(checkedChanged.count(), 1);
    EXPECT_EQ(model.data(model.index(0, checkColumn), Qt::CheckStateRole).toInt(), Qt::Checked);

    model.setItemsChecked({ a, b }, true);
    EXPECT_EQ(checkedChanged.count(), 2);
    // Nothing changes, nothing is announced.
    model.setItemsChecked({ a, b }, true);
    EXPECT_EQ(checkedChanged.count(), 2);
}

TEST_F(ItemListModel, UpdatesForRemovedItemsFindNothing)
{
    const auto first = add(QStringLiteral("first"));
    const auto second = add(QStringLiteral("second"));
    EXPECT_TRUE(model.removeItem(first));
    EXPECT_EQ(model.rowOfItem(second), 0);
    EXPECT_FALSE(model.removeItem(first));
    EXPECT_FALSE(model.mergeIntoItem(first, makeScan(1, QStringLiteral("|"))));

    model.removeAllItems();
    const auto third = add(QStringLiteral("third"));
    // Ids are not reused after a refill, so a late update of an earlier listing cannot land here.
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
    EXPECT_FALSE(model.setItemChecked(second, true));
}

TEST_F(ItemListModel, DisplaysSizesDatesAndRankBars)
{
    ECModuleItem item = makeItem(QStringLiteral("Büro-App 日本"));
    item.size = 12'300'000;
    item.rank = QString(20, QLatin1Char('|'));
    model.appendItem(item);
    model.appendItem(makeItem(QStringLiteral("unscanned")));
    const auto column = [&](ECItemColumn::Kind kind) { return model.columnOfKind(kind); };
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    EXPECT_EQ(model.data(model.index(0, column(ECItemColumn::Kind::Name))).toString(), QStringLiteral("Büro-App 日本"));
    EXPECT_EQ(model.data(model.index(0, column(ECItemColumn::Kind::Size))).toString(), QStringLiteral("12.3 MB"));
    EXPECT_EQ(model.data(model.index(1, column(ECItemColumn::Kind::Size))).toString(), QString());
    EXPECT_EQ(model.data(model.index(1, column(ECItemColumn::Kind::Date))).toString(), QStringLiteral("Never"));
    // Bars are capped at the full bar.
    EXPECT_EQ(model.data(model.index(0, column(ECItemColumn::Kind::Rank)), ECItemListModel::RankBarsRole).toInt(), 18);
    EXPECT_EQ(model.data(model.index(1, column(ECItemColumn::Kind::Rank)), ECItemListModel::RankBarsRole).toInt(), -1);
}

TEST(ItemOrder, ComparesByKeyWithAbsentValuesLowest)
{
    ECModuleItem big = makeItem(QStringLiteral("b"));
    big.size = 5'000'000'000;
    ECModuleItem small = makeItem(QStringLiteral("a"));
    small.size = 4'999'999'999;
    ECModuleItem unsized = makeItem(QStringLiteral("c"));
    EXPECT_GT(compareItemsByKey(big, small, QStringLiteral("size")), 0);
    EXPECT_LT(compareItemsByKey(unsized, small, QStringLiteral("size")), 0);
    EXPECT_EQ(compareItemsByKey(unsized, unsized, QStringLiteral("size")), 0);

    ECModuleItem older = makeItem(QStringLiteral("old"));
    older.values.insert(QStringLiteral("played"), QDateTime::fromSecsSinceEpoch(1'000, Qt::UTC));
    ECModuleItem newer = makeItem(QStringLiteral("new"));
    newer.values.insert(QStringLiteral("played"), QDateTime::fromSecsSinceEpoch(2'000, Qt::UTC));
    EXPECT_LT(compareItemsByKey(older, newer, QStringLiteral("played")), 0);
    EXPECT_GT(compareItemsByKey(older, unsized, QStringLiteral("played")), 0);

    // Names compare naturally, whatever the process locale: digit runs as numbers, letters
    // without regard to case.
    const struct
    {
        const char* left;
        const char* right;
        int expected;
    } names[] = {
        { "Item 9", "Item 10", -1 },
        { "Item 10", "Item 9", 1 },
        { "IMG_0099", "IMG_100", -1 },
        { "apple", "Banana", -1 },
        { "Zoo", "apple", 1 },
        { "Track 2", "Track 2 (Live)", -1 },
        { "Same", "Same", 0 },
        { "\u00c9t\u00e9 2", "\u00c9t\u00e9 12", -1 },
        { "99999999999999999999", "100000000000000000000", -1 },
    };
    for (const auto& row : names) {
        SCOPED_TRACE(std::string(row.left) + " vs " + row.right);
        const int order = compareItemsByKey(
            makeItem(QString::fromUtf8(row.left)), makeItem(QString::fromUtf8(row.right)), QStringLiteral("name"));
        EXPECT_EQ((order > 0) - (order < 0), row.expected);
    }
}

}
