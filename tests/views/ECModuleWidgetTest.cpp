#include "modules/ECAgeRange.h"
#include "platform/QtRunLoop.h"
#include "tests/modules/ModuleTestSupport.h"
#include "views/ECCheckboxHeaderView.h"
#include "views/ECIconDelegate.h"
#include "views/ECModuleDialog.h"
#include "views/ECModuleView.h"
#include "views/ECStripedProgressBar.h"
#include "views/ECTimePopupButton.h"
#include "views/ECTimeRangeSlider.h"

#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>

#include <functional>
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
    void headerCheckboxShowsAllSomeNoneAndToggles();
    void iconsFitTheirCellAndNamesLineUp();

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
    QPointer<ECModuleDialog> dialog = new ECModuleDialog(&module, new ECModuleView(&module), &mainWindow);
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
    QPointer<ECModuleDialog> dialog = new ECModuleDialog(&module, new ECModuleView(&module), &mainWindow);
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
    QPointer<ECModuleDialog> dialog = new ECModuleDialog(&module, new ECModuleView(&module), &mainWindow);
    dialog->open();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));

    int answer = -2;
    // Long texts wrap inside the box instead of running past its edges.
    const QString advice = QStringLiteral(
        "The USB service for iPhones (usbmuxd) is not running: install it with \"sudo apt install usbmuxd\", then "
        "plug the phone in or start it with \"sudo systemctl start usbmuxd\".");
    const QString message = QStringLiteral("We just cleared 5 MB from your device, and here is a rather long "
                                           "sentence that says so at length!");
    dialog->presentAlert({ message, advice, { QStringLiteral("Great!") } }, [&](int button) { answer = button; });
    QMessageBox* box = nullptr;
    QTRY_VERIFY((box = dialog->findChild<QMessageBox*>()) != nullptr);
    QVERIFY(QTest::qWaitForWindowExposed(box));
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    QCOMPARE(box->text(), message);
    QVERIFY2(box->width() <= 640, qPrintable(QString::number(box->width())));
    for (const char* name : { "qt_msgbox_label", "qt_msgbox_informativelabel" }) {
        auto* text = child<QLabel>(box, name);
        QVERIFY(text->wordWrap());
        QVERIFY(box->rect().contains(QRect(text->mapTo(box, QPoint(0, 0)), text->size())));
        // Tall enough for every wrapped line at its width.
        QVERIFY(text->heightForWidth(text->width()) <= text->height());
    }
    QCOMPARE(answer, -2);
    QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
    QTRY_COMPARE(answer, 0);
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
}

namespace {

/// What is drawn at a point of the header's checkbox: the accent fill, white, or something else.
enum class Ink { Accent, White, Other };

Ink inkAt(const QImage& image, QPointF point)
{
    const QColor colour = image.pixelColor(point.toPoint());
    if (colour.blue() > 200 && colour.red() < 90) {
        return Ink::Accent;
    }
    if (colour.red() > 235 && colour.green() > 235 && colour.blue() > 235) {
        return Ink::White;
    }
    return Ink::Other;
}

} // namespace

void ECModuleWidgetTest::headerCheckboxShowsAllSomeNoneAndToggles()
{
    FakeDevice device(40 * GB);
    FakeTableModule module(device);
    fill(module, 3, false);
    QWidget mainWindow;
    mainWindow.show();
    module.loadConfigView();
    QPointer<ECModuleDialog> dialog = new ECModuleDialog(&module, new ECModuleView(&module), &mainWindow);
    dialog->open();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    auto* table = child<QTableView>(dialog, "tableView");
    QTRY_COMPARE(table->model()->rowCount(), 3);
    auto* header = qobject_cast<ECCheckboxHeaderView*>(table->horizontalHeader());
    QVERIFY(header);
    const int column = header->checkboxSection();
    const QRect section(header->sectionViewportPosition(column), 0, header->sectionSize(column), header->height());
    const QRectF box = ECCheckboxHeaderView::indicatorRect(section);
    const auto at
        = [&box](qreal x, qreal y) { return QPointF(box.left() + box.width() * x, box.top() + box.height() * y); };
    const auto clickHeader = [&] { QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, section.center()); };

    struct Step
    {
        const char* name;
        std::function<void()> act;
        Qt::CheckState state;
        Ink top; // the box's upper middle: filled unless empty
        QPointF markPoint;
        Ink mark; // the dash's middle for "some", the tick's long stroke for "all"
    };
    const Step steps[] = {
        { "none checked", [] {}, Qt::Unchecked, Ink::White, at(0.5, 0.5), Ink::White },
        { "a click checks all", clickHeader, Qt::Checked, Ink::Accent, at(0.595, 0.51), Ink::White },
        { "one unchecked leaves some",
            [&] { module.itemList().setItemChecked(module.checkedItems().front().id, false); }, Qt::PartiallyChecked,
            Ink::Accent, at(0.5, 0.5), Ink::White },
        { "a click clears them", clickHeader, Qt::Unchecked, Ink::White, at(0.5, 0.5), Ink::White },
    };
    for (const Step& step : steps) {
        step.act();
        QCOMPARE(header->checkState(), step.state);
        const QImage drawn = header->viewport()->grab().toImage();
        QVERIFY2(inkAt(drawn, at(0.5, 0.2)) == step.top, step.name);
        QVERIFY2(inkAt(drawn, step.markPoint) == step.mark, step.name);
        // The box has an edge even when empty: it is never invisible on a white header.
        QVERIFY2(inkAt(drawn, QPointF(box.left() + 0.1, box.center().y())) != Ink::White, step.name);
    }
    dialog->close();
}

void ECModuleWidgetTest::iconsFitTheirCellAndNamesLineUp()
{
    const auto solid = [](int width, int height) {
        QImage image(width, height, QImage::Format_ARGB32);
        image.fill(Qt::red);
        return image;
    };
    struct Case
    {
        const char* name;
        QImage image;
        qreal ratio;
        QRect opaque; // in device pixels; empty for none
    };
    const Case cases[] = {
        { "wide icon at 1x", solid(256, 128), 1.0, QRect(0, 6, 24, 12) },
        { "wide icon at 2x", solid(256, 128), 2.0, QRect(0, 12, 48, 24) },
        { "tall small icon at 2x", solid(10, 20), 2.0, QRect(12, 0, 24, 48) },
        { "square app icon at 1x", solid(1024, 1024), 1.0, QRect(0, 0, 24, 24) },
        { "no icon", QImage(), 2.0, QRect() },
    };
    for (const Case& test : cases) {
        const QPixmap pixmap = ECIconDelegate::iconPixmap(test.image, ECIconDelegate::ICON_POINTS, test.ratio);
        QCOMPARE(pixmap.devicePixelRatio(), test.ratio);
        QCOMPARE(pixmap.deviceIndependentSize().toSize(), QSize(24, 24));
        const QImage drawn = pixmap.toImage();
        QRect opaque;
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
                if (qAlpha(drawn.pixel(x, y)) > 128) {
                    opaque |= QRect(x, y, 1, 1);
                }
            }
        }
        QVERIFY2(opaque == test.opaque, test.name);
    }

    // In a table, a row without an icon keeps the icon's square, so its name lines up.
    QStandardItemModel model(2, 1);
    model.setData(model.index(0, 0), QStringLiteral("With icon"));
    model.setData(model.index(0, 0), solid(120, 32), Qt::DecorationRole);
    model.setData(model.index(1, 0), QStringLiteral("Without"));
    QTableView view;
    view.setModel(&model);
    struct Exposed : ECIconDelegate
    {
        using ECIconDelegate::ECIconDelegate;
        using ECIconDelegate::initStyleOption;
    };
    auto* delegate = new Exposed(&view);
    view.setItemDelegateForColumn(0, delegate);
    view.resize(300, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    int textLeft[2] = {};
    for (int row = 0; row < 2; ++row) {
        QStyleOptionViewItem option;
        option.initFrom(&view);
        option.widget = &view;
        option.rect = view.visualRect(model.index(row, 0));
        delegate->initStyleOption(&option, model.index(row, 0));
        QCOMPARE(option.decorationSize, QSize(24, 24));
        textLeft[row] = view.style()->subElementRect(QStyle::SE_ItemViewItemText, &option, &view).left();
    }
    QCOMPARE(textLeft[1], textLeft[0]);
}

QTEST_MAIN(ECModuleWidgetTest)
#include "ECModuleWidgetTest.moc"
