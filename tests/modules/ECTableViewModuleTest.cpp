#include "modules/ECTableViewModule.h"

#include "ModuleFixture.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

namespace {

constexpr std::int64_t GB = 1'000'000'000;

class TableModule : public MainLoopTest
{
protected:
    TableModule()
    {
        module->setEventSink(&sink);
        tester = std::make_unique<QAbstractItemModelTester>(&module->itemListController());
    }
    ~TableModule() override
    {
        tester.reset();
        module.reset();
    }

    /// Lists `count` items "Item 1"... with the given sizes and ranks and waits until all are scanned.
    void list(const std::vector<std::pair<std::int64_t, QString>>& scans, std::vector<bool> checked = {})
    {
        module->listing.clear();
        for (std::size_t i = 0; i < scans.size(); ++i) {
            const QString name = QStringLiteral("Item %1").arg(i + 1);
            module->listing.push_back(makeItem(name, i < checked.size() && checked[i]));
            module->scans[name] = makeScan(scans[i].first, scans[i].second);
        }
        const int finished = module->listingsFinished;
        module->loadConfigView();
        ASSERT_TRUE(pumpUntil([&] { return idle() && module->listingsFinished == finished + 1; }));
        ASSERT_EQ(module->itemList().rowCount(), int(scans.size()));
    }
    bool idle() const
    {
        return module->moduleStatus() == ECModuleStatus::Idle
            && module->progressDisplay().label.endsWith(QStringLiteral("selected"));
    }
    std::vector<QString> shownNames() const
    {
        std::vector<QString> names;
        for (const auto& item : module->itemListController().shownItems()) {
            names.push_back(item.name);
        }
        return names;
    }
    int checkColumn() const { return module->itemList().columnOfKind(ECItemColumn::Kind::Checked); }
    int checkedCount() const
    {
        int n = 0;
        for (const auto& item : module->itemList().items()) {
            n += item.checked ? 1 : 0;
        }
        return n;
    }

    FakeDevice device { 40 * GB };
    RecordingEventSink sink;
    std::unique_ptr<FakeTableModule> module { std::make_unique<FakeTableModule>(device) };
    std::unique_ptr<QAbstractItemModelTester> tester;
};

using Names = std::vector<QString>;

TEST_F(TableModule, ListsRowsAtOnceAndMergesScansOneByOne)
{
    Gate scans;
    module->scanGate = &scans;
    for (int i = 1; i <= 3; ++i) {
        const QString name = QStringLiteral("Item %1").arg(i);
        module->listing.push_back(makeItem(name));
        module->scans[name] = makeScan(i * 1'000'000, QString(i, QLatin1Char('|')));
    }
    module->loadConfigView();
    // Rows appear with their names while the first scan is still held.
    ASSERT_TRUE(pumpUntil([&] { return module->itemList().rowCount() == 3 && scans.arrived() == 1; }));
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("Scanning files..."));
    EXPECT_FALSE(module->itemList().itemAt(0).size.has_value());
    EXPECT_EQ(shownNames(), (Names { "Item 1", "Item 2", "Item 3" }));

    // Ticking a box while scanning updates the title and selection size at once.
    ASSERT_TRUE(module->itemList().setItemChecked(module->itemList().itemAt(2).id, true));
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Remove 1 selected"));
    EXPECT_TRUE(module->progressDisplay().deleteEnabled);
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("Scanning files..."));

    scans.open();
    ASSERT_TRUE(pumpUntil([&] { return idle() && module->listingsFinished == 1; }));
    EXPECT_EQ(module->scansRun.load(), 3);
    // Sorted by rank, most bars first, once the listing has ended.
    EXPECT_EQ(shownNames(), (Names { "Item 3", "Item 2", "Item 1" }));
    EXPECT_EQ(module->selectionSize(), 3'000'000);
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("3.0 MB selected"));
}

TEST_F(TableModule, EmptyListingShowsZeroBytesAndDisablesDelete)
{
    list({});
    EXPECT_EQ(module->itemList().rowCount(), 0);
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("0 bytes selected"));
    EXPECT_FALSE(module->progressDisplay().deleteEnabled);
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Remove selected"));
}

TEST_F(TableModule, UnscannedItemsSortLastAndCountNothing)
{
    module->listing = { makeItem(QStringLiteral("empty scan"), true), makeItem(QStringLiteral("big"), true) };
    module->scans[QStringLiteral("big")] = makeScan(5'000'000'000, QStringLiteral("||||"));
    module->loadConfigView();
    ASSERT_TRUE(pumpUntil([&] { return idle() && module->listingsFinished == 1; }));
    EXPECT_EQ(shownNames(), (Names { "big", "empty scan" }));
    EXPECT_EQ(module->selectionSize(), 5'000'000'000);
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("5.0 GB selected"));
}

TEST_F(TableModule, HeaderClickUnchecksAllWhenAnyIsCheckedElseChecksAll)
{
    std::vector<std::pair<std::int64_t, QString>> ten(10, { 1'000, QStringLiteral("|") });
    list(ten, { false, false, false, true });
    QSignalSpy displayChanged(module.get(), &ECModule::progressDisplayChanged);
    EXPECT_EQ(module->headerCheckState(), Qt::PartiallyChecked);

    module->tableViewDidClickTableColumn(checkColumn());
    EXPECT_EQ(checkedCount(), 0);
    EXPECT_EQ(module->headerCheckState(), Qt::Unchecked);
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Remove selected"));

    module->tableViewDidClickTableColumn(checkColumn());
    EXPECT_EQ(checkedCount(), 10);
    EXPECT_EQ(module->headerCheckState(), Qt::Checked);
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Remove 10 selected"));
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("10.0 kB selected"));
    EXPECT_GE(displayChanged.count(), 2);

    // Other columns: nothing.
    module->tableViewDidClickTableColumn(checkColumn() + 1);
    EXPECT_EQ(checkedCount(), 10);
    EXPECT_FALSE(module->tableViewShouldSelectTableColumn(checkColumn()));
}

TEST_F(TableModule, FilterLimitsHeaderClickCheckedItemsAndSelectionSize)
{
    list({ { 100, "|" }, { 200, "|" }, { 400, "|" }, { 800, "|" }, { 1'600, "|" }, { 3'200, "|" } },
        { true, false, true, false, true, true });
    // Shown: items of 400 bytes or more (Item 3...6). Checked and shown: 3, 5, 6.
    module->itemListController().setFilterPredicate([](const ECModuleItem& item) { return item.sizeOrZero() >= 400; });
    module->updateProgressLabel();
    EXPECT_EQ(module->checkedItems().size(), 3u);
    EXPECT_EQ(module->selectionSize(), 400 + 1'600 + 3'200);
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Remove 3 selected"));

    // Shown items are partly checked: the click unchecks the shown ones only.
    module->tableViewDidClickTableColumn(checkColumn());
    EXPECT_TRUE(module->checkedItems().empty());
    EXPECT_EQ(module->selectionSize(), 0);
    EXPECT_EQ(checkedCount(), 1); // Item 1, hidden, stays checked
    module->tableViewDidClickTableColumn(checkColumn());
    EXPECT_EQ(module->checkedItems().size(), 4u);
    EXPECT_EQ(checkedCount(), 5);
    EXPECT_FALSE(module->itemList().itemAt(1).checked); // Item 2, hidden, stays unchecked
}

TEST_F(TableModule, CheckAndUncheckSelectedRows)
{
    list({ { 1, "|||" }, { 2, "||" }, { 3, "|" } });
    module->checkSelected({ 0, 2, 7 });
    EXPECT_EQ(module->checkedItems().size(), 2u);
    EXPECT_EQ(module->checkedItems()[0].name, QStringLiteral("Item 1"));
    EXPECT_EQ(module->checkedItems()[1].name, QStringLiteral("Item 3"));
    module->uncheckSelected({ 0 });
    EXPECT_EQ(module->checkedItems().size(), 1u);
}

TEST_F(TableModule, DeletesCheckedItemsWithDeterminateProgress)
{
    list({ { 1'000'000, "|||" }, { 2'000'000, "||" }, { 3'000'000, "|" }, { 4'000'000, "" } },
        { true, true, true, false });
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Remove 3 selected"));
    std::vector<std::pair<int, int>> progress;
    QObject::connect(module.get(), &ECModule::progressValueChanged,
        [&] { progress.emplace_back(module->progressValue(), module->progressMaximum()); });

    module->deleteChecked();
    EXPECT_TRUE(module->deleting());
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("Clearing files..."));
    EXPECT_FALSE(module->progressDisplay().barIndeterminate);
    EXPECT_EQ(module->progressDisplay().cancelTitle, QStringLiteral("Cancel"));
    ASSERT_TRUE(pumpUntil([&] { return module->finishedDialogs == 1; }));
    settleReports(*module);

    EXPECT_EQ(module->deletedNames(), (Names { "Item 1", "Item 2", "Item 3" }));
    EXPECT_EQ(shownNames(), (Names { "Item 4" }));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(3, 3));
    std::vector<int> values;
    for (const auto& step : progress) {
        if (values.empty() || values.back() != step.first) {
            values.push_back(step.first);
        }
    }
    EXPECT_EQ(values, (std::vector<int> { 0, 1, 2, 3 }));
    EXPECT_EQ(module->progressDisplay().cancelTitle, QStringLiteral("Done"));
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("0 bytes selected"));
    ASSERT_EQ(sink.used.size(), 1u);
    EXPECT_EQ(sink.used[0], std::make_pair(QStringLiteral("NoModuleName"), std::int64_t(6'000'000)));
}

TEST_F(TableModule, ClosingMidDeleteSkipsTheRestAndReportsTheMeasuredGain)
{
    Gate deletions;
    module->deleteGate = &deletions;
    list({ { 1'000'000, "|||" }, { 2'000'000, "||" }, { 3'000'000, "|" } }, { true, true, true });
    QSignalSpy closeRequested(module.get(), &ECModule::windowCloseRequested);

    module->deleteChecked();
    ASSERT_TRUE(pumpUntil([&] { return deletions.arrived() == 1; }));
    module->close();
    EXPECT_EQ(module->progressDisplay().cancelTitle, QStringLiteral("Done"));
    EXPECT_EQ(closeRequested.count(), 0);
    deletions.open();
    ASSERT_TRUE(pumpUntil([&] { return module->finishedDialogs == 1; }));
    settleReports(*module);

    // The item under way was deleted; the others were skipped and stay listed.
    EXPECT_EQ(module->deletedNames(), (Names { "Item 1" }));
    EXPECT_EQ(shownNames(), (Names { "Item 2", "Item 3" }));
    ASSERT_EQ(sink.used.size(), 1u);
    EXPECT_EQ(sink.used[0].second, 1'000'000);
    EXPECT_EQ(sink.count(QStringLiteral("CancelledModule")), 0);

    module->close();
    EXPECT_EQ(closeRequested.count(), 1);
}

TEST_F(TableModule, ShowingAgainListsAfresh)
{
    list({ { 10, "|" }, { 20, "||" } }, { true, true });
    module->close();
    list({ { 10, "|" }, { 20, "||" } });
    EXPECT_EQ(module->itemList().rowCount(), 2);
    EXPECT_TRUE(module->checkedItems().empty());
}

}
