#include "ModuleTestSupport.h"
#include "modules/ECAgeRange.h"
#include "modules/ECModuleDialog.h"
#include "modules/ECModuleView.h"
#include "modules/ECStripedProgressBar.h"
#include "modules/ECTimePopupButton.h"
#include "modules/ECTimeRangeSlider.h"
#include "platform/QtRunLoop.h"

#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <memory>

class ECModuleWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sliderGivesTheNineRanges();
    void popupShowsExactlyTheNineLabels();
    void stripedBarPaintsItsFractionAndAnimatesOnlyWhenShown();
    void windowFollowsTheModuleAndForwardsClicks();
    void escapeWhileDeletingKeepsTheWindow();
    void alertsAreAnsweredThroughWindowModalBoxes();

private:
    std::unique_ptr<QtRunLoop> m_loop;
};

namespace {

constexpr std::int64_t GB = 1'000'000'000;

template <typename T> T* child(QWidget* parent, const char* name)
{
    auto* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (!found) {
        qFatal("no child %s", name);
    }
    return found;
}

void fill(FakeTableModule& module, int count, bool checked)
{
    module.listing.clear();
    for (int i = 1; i <= count; ++i) {
        const QString name = QStringLiteral("Item %1").arg(i);
        module.listing.push_back(makeItem(name, checked));
        module.scans[name] = makeScan(i * 1'000'000, QString(i, QLatin1Char('|')));
    }
}

}

void ECModuleWidgetTest::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    m_loop = std::make_unique<QtRunLoop>();
    RunLoop::setMain(m_loop.get());
}

void ECModuleWidgetTest::cleanupTestCase()
{
    RunLoop::setMain(nullptr);
    m_loop.reset();
}

void ECModuleWidgetTest::sliderGivesTheNineRanges()
{
    ECTimeRangeSlider slider;
    QCOMPARE(slider.minimum(), 0);
    QCOMPARE(slider.maximum(), 8);
    slider.setValue(0);
    QCOMPARE(slider.timeRange(), 63'072'000.0);
    QCOMPARE(slider.readableTimeRange(), QStringLiteral("2 Years"));
    slider.setValue(8);
    QCOMPARE(slider.timeRange(), 86'400.0);
    QCOMPARE(slider.readableTimeRange(), QStringLiteral("1 Day"));
    for (int index = 0; index < ECAgeRange::COUNT; ++index) {
        slider.setValue(index);
        QCOMPARE(slider.timeRange(), double(ECAgeRange::atIndex(index).seconds()));
        QCOMPARE(slider.readableTimeRange(), QString::fromLatin1(ECAgeRange::atIndex(index).label));
    }
    // The keyboard moves it one whole range at a time.
    slider.setValue(3);
    QTest::keyClick(&slider, Qt::Key_Right);
    QCOMPARE(slider.readableTimeRange(), QStringLiteral("1 Month"));
}

void ECModuleWidgetTest::popupShowsExactlyTheNineLabels()
{
    ECTimePopupButton popup;
    popup.addItems({ QStringLiteral("Item 1"), QStringLiteral("Item 2") });
    popup.awakeFromNib();
    QCOMPARE(popup.count(), 9);
    QStringList shown;
    for (int i = 0; i < popup.count(); ++i) {
        shown.append(popup.itemText(i));
    }
    QCOMPARE(shown, ECAgeRange::labels());
    popup.setCurrentIndex(6);
    QCOMPARE(popup.timeRange(), 604'800.0);
    popup.setCurrentIndex(-1);
    QCOMPARE(popup.timeRange(), 0.0);
}

void ECModuleWidgetTest::stripedBarPaintsItsFractionAndAnimatesOnlyWhenShown()
{
    QWidget window;
    auto* bar = new ECStripedProgressBar(&window);
    bar->setGeometry(0, 0, 200, 10);
    bar->setMaximum(4);
    bar->setValue(2);
    QCOMPARE(bar->fraction(), 0.5);
    bar->setValue(9);
    QCOMPARE(bar->fraction(), 1.0);
    bar->setMaximum(0);
    QCOMPARE(bar->fraction(), 0.0);
    bar->setMaximum(4);
    bar->setValue(1);

    // Filled up to a quarter in the accent colour, track colour beyond.
    const QImage image = bar->grab().toImage();
    const QColor accent = bar->palette().color(QPalette::Highlight);
    const QColor inFill = image.pixelColor(image.width() / 8, image.height() / 2);
    const QColor beyond = image.pixelColor(image.width() * 3 / 4, image.height() / 2);
    QVERIFY2(qAbs(inFill.hue() - accent.hue()) < 12, qPrintable(inFill.name()));
    QVERIFY(beyond.saturation() < 40);

    bar->setAnimating(true);
    QVERIFY(!bar->isTimerRunning());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(bar->isTimerRunning());
    bar->hide();
    QVERIFY(!bar->isTimerRunning());
    bar->show();
    bar->setAnimating(false);
    QVERIFY(!bar->isTimerRunning());
}

void ECModuleWidgetTest::windowFollowsTheModuleAndForwardsClicks()
{
    FakeDevice device(40 * GB);
    RecordingEventSink sink;
    FakeTableModule module(device);
    module.setEventSink(&sink);
    fill(module, 3, false);

    QWidget mainWindow;
    mainWindow.resize(760, 480);
    mainWindow.show();
    module.loadConfigView();
    QPointer<ECModuleDialog> dialog = new ECModuleDialog(&module, &mainWindow);
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QCOMPARE(module.host(), static_cast<ECModuleHost*>(dialog.data()));
    dialog->open();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));

    auto* title = child<QLabel>(dialog, "titleTextField");
    auto* label = child<QLabel>(dialog, "progressLabel");
    auto* table = child<QTableView>(dialog, "tableView");
    auto* bar = child<ECStripedProgressBar>(dialog, "progressBar");
    auto* deleteButton = child<QPushButton>(dialog, "deleteButton");
    auto* cancelButton = child<QPushButton>(dialog, "cancelButton");
    QCOMPARE(title->text(), QStringLiteral("Remove Things"));
    QTRY_COMPARE(label->text(), QStringLiteral("0 bytes selected"));
    QCOMPARE(table->model()->rowCount(), 3);
    QVERIFY(!bar->isVisible());
    QVERIFY(!deleteButton->isEnabled());
    QCOMPARE(deleteButton->text(), QStringLiteral("Remove selected"));
    // A failure the module reports shows beside the progress, until the next deletion starts.
    auto* problem = child<QLabel>(dialog, "statusMessageLabel");
    QVERIFY(!problem->isVisible());
    module.setStatusMessage(QStringLiteral("Could not remove Thing 1: refused"));
    QVERIFY(problem->isVisible());
    QCOMPARE(problem->text(), QStringLiteral("Could not remove Thing 1: refused"));

    // A click on the checkbox column's header checks every row.
    QHeaderView* header = table->horizontalHeader();
    const int checkColumn = module.itemList().columnOfKind(ECItemColumn::Kind::Checked);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
        QPoint(
            header->sectionViewportPosition(checkColumn) + header->sectionSize(checkColumn) / 2, header->height() / 2));
    QCOMPARE(module.checkedItems().size(), std::size_t(3));
    QCOMPARE(deleteButton->text(), QStringLiteral("Remove 3 selected"));
    QCOMPARE(label->text(), QStringLiteral("6.0 MB selected"));
    QVERIFY(deleteButton->isEnabled());

    QTest::mouseClick(deleteButton, Qt::LeftButton);
    QVERIFY(!problem->isVisible());
    QCOMPARE(label->text(), QStringLiteral("Clearing files..."));
    QVERIFY(bar->isVisible());
    QVERIFY(!bar->isIndeterminate());
    QCOMPARE(bar->maximum(), 3);
    QCOMPARE(cancelButton->text(), QStringLiteral("Cancel"));
    QTRY_COMPARE(label->text(), QStringLiteral("0 bytes selected"));
    QCOMPARE(bar->value(), 3);
    QCOMPARE(cancelButton->text(), QStringLiteral("Done"));
    QCOMPARE(table->model()->rowCount(), 0);
    QTRY_COMPARE(sink.used.size(), std::size_t(1));

    QTest::mouseClick(cancelButton, Qt::LeftButton);
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(sink.count(QStringLiteral("CancelledModule")), 0);
    QCOMPARE(module.host(), nullptr);
}

void ECModuleWidgetTest::escapeWhileDeletingKeepsTheWindow()
{
    FakeDevice device(40 * GB);
    FakeTableModule module(device);
    Gate deletions;
    module.deleteGate = &deletions;
    fill(module, 2, true);
    QWidget mainWindow;
    mainWindow.show();
    module.loadConfigView();
    QPointer<ECModuleDialog> dialog = new ECModuleDialog(&module, &mainWindow);
    dialog->open();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    auto* label = child<QLabel>(dialog, "progressLabel");
    auto* cancelButton = child<QPushButton>(dialog, "cancelButton");
    QTRY_COMPARE(label->text(), QStringLiteral("3.0 MB selected"));

    module.deleteChecked();
    QTRY_COMPARE(deletions.arrived(), 1);
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isNull());
    QVERIFY(dialog->isVisible());
    QCOMPARE(cancelButton->text(), QStringLiteral("Done"));
    // The window keeps answering while the device is busy.
    QTest::mouseClick(cancelButton, Qt::LeftButton, {}, QPoint(), -1);
    deletions.open();
    QTRY_VERIFY(dialog.isNull());
    QTRY_COMPARE(module.moduleStatus(), ECModuleStatus::Idle);
    QCOMPARE(module.deletedNames().size(), std::size_t(1));
}

void ECModuleWidgetTest::alertsAreAnsweredThroughWindowModalBoxes()
{
    FakeDevice device(GB);
    FakeTableModule module(device);
    QWidget mainWindow;
    mainWindow.show();
    QPointer<ECModuleDialog> dialog = new ECModuleDialog(&module, &mainWindow);
    dialog->open();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));

    int answer = -2;
    dialog->presentAlert(
        { QStringLiteral("We just cleared 5 MB from your device!"), QString(), { QStringLiteral("Great!") } },
        [&](int button) { answer = button; });
    QMessageBox* box = nullptr;
    QTRY_VERIFY((box = dialog->findChild<QMessageBox*>()) != nullptr);
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    QCOMPARE(box->text(), QStringLiteral("We just cleared 5 MB from your device!"));
    QCOMPARE(answer, -2);
    QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
    QTRY_COMPARE(answer, 0);
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
}

QTEST_MAIN(ECModuleWidgetTest)
#include "ECModuleWidgetTest.moc"
