#include "views/music/ECMusicView.h"

#include "modules/music/ECMusicModule.h"
#include "views/ECTimeRangeSlider.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <memory>

class ECMusicViewTest : public QObject
{
    Q_OBJECT

private slots:
    void controlsFollowAndDriveTheModule();
};

void ECMusicViewTest::controlsFollowAndDriveTheModule()
{
    ECMusicModule module;
    auto view = std::make_unique<ECMusicView>(&module);
    auto* slider = view->findChild<ECTimeRangeSlider*>(QStringLiteral("rangeSlider"));
    auto* label = view->findChild<QLabel*>(QStringLiteral("rangeLabel"));
    auto* songs = view->findChild<QCheckBox*>(QStringLiteral("songsCheckbox"));
    auto* podcasts = view->findChild<QCheckBox*>(QStringLiteral("podcastsCheckbox"));
    auto* table = view->findChild<QTableView*>(QStringLiteral("tableView"));
    QVERIFY(slider && label && songs && podcasts && table);

    // As first shown: "6 Months", both boxes on, the table with its six columns.
    QCOMPARE(slider->value(), ECMusicModule::DEFAULT_RANGE_INDEX);
    QCOMPARE(label->text(), QStringLiteral("6 Months"));
    QVERIFY(songs->isChecked());
    QVERIFY(podcasts->isChecked());
    QCOMPARE(table->model()->columnCount(), 6);
    QCOMPARE(table->model()->headerData(5, Qt::Horizontal).toString(), QStringLiteral("Last Played"));
    QCOMPARE(view->findChild<QLabel*>(QStringLiteral("titleTextField"))->text(), QStringLiteral("Remove Music"));

    slider->setValue(1);
    QCOMPARE(module.rangeIndex(), 1);
    QCOMPARE(label->text(), QStringLiteral("1 Year"));
    podcasts->click();
    QVERIFY(!module.podcastsChecked());
    songs->click();
    QVERIFY(!module.songsChecked());

    // And the other way: the module's state shows in the controls.
    module.setRangeIndex(8);
    QCOMPARE(slider->value(), 8);
    QCOMPARE(label->text(), QStringLiteral("1 Day"));
    module.setSongsChecked(true);
    QVERIFY(songs->isChecked());
    QCOMPARE(view->findChild<QPushButton*>(QStringLiteral("deleteButton"))->text(), QStringLiteral("Delete Songs"));
}

QTEST_MAIN(ECMusicViewTest)
#include "ECMusicViewTest.moc"
