// The Clear Temporary Files window on the demo phone, offscreen: the window keeps answering while
// the phone is filled, the progress bar moves, and a stop press returns at once.
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "modules/fill_clearing/ECFillRules.h"
#include "modules/fill_clearing/ECForceCacheCleanModule.h"
#include "platform/QtRunLoop.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"
#include "views/ECModuleDialog.h"
#include "views/ECStripedProgressBar.h"
#include "views/fill_clearing/ECForceCacheCleanView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

/// Fires every 10 ms and keeps the worst lateness of the main thread's event loop.
class Watchdog : public QObject
{
public:
    Watchdog()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(INTERVAL_MS);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 late = m_clock.restart() - INTERVAL_MS;
            m_worst = std::max(m_worst, late);
        });
    }
    void start()
    {
        m_worst = 0;
        m_clock.start();
        m_timer.start();
    }
    qint64 worstLatenessMs() const { return m_worst; }

private:
    static constexpr int INTERVAL_MS = 10;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_worst { 0 };
};

QMessageBox* shownMessageBox()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

}

class FillClearingWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void windowAnswersThroughoutARunAndShowsTheGain();
    void stopReturnsAtOnceAndLeavesNothing();

private:
    fs::path fillFolder() const { return m_sim->mediaRoot(SimulatorFixture::DEMO_UDID) / "Torvane"; }

    std::unique_ptr<SimulatorFixture> m_sim;
    std::unique_ptr<QtRunLoop> m_mainLoop;
    MobileDeviceAccessListener m_listener;
    std::unique_ptr<MobileDeviceAccess> m_access;
    std::shared_ptr<AMDevice> m_device;
    ECForceCacheCleanModule* m_module { nullptr };
    ECModuleDialog* m_window { nullptr };
    ECForceCacheCleanView* m_view { nullptr };
};

void FillClearingWidgetTest::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { "demo" });
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    m_mainLoop = std::make_unique<QtRunLoop>();
    RunLoop::setMain(m_mainLoop.get());
    m_access = std::make_unique<MobileDeviceAccess>(MobileDevice::shared());
    m_access->setListener(&m_listener);
    QTRY_VERIFY_WITH_TIMEOUT(!m_access->devices().empty(), 20000);
    m_device = m_access->devices().front();
}

void FillClearingWidgetTest::cleanupTestCase()
{
    m_device.reset();
    m_access.reset();
    RunLoop::setMain(nullptr);
    m_mainLoop.reset();
    m_sim.reset();
}

void FillClearingWidgetTest::init()
{
    m_module = new ECForceCacheCleanModule;
    m_module->setDevice(m_device);
    m_module->loadConfigView();
    m_window = new ECModuleDialog(m_module, new ECForceCacheCleanView(m_module), nullptr);
    m_view = m_window->findChild<ECForceCacheCleanView*>();
    QVERIFY(m_view);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QTRY_COMPARE_WITH_TIMEOUT(m_module->pendingWork(), std::size_t(0), 60000);
    QCOMPARE(m_view->startCleaningButton()->text(), QStringLiteral("Clear Temp Files"));
    QCOMPARE(m_view->cancelButton()->text(), QStringLiteral("Cancel"));
    QVERIFY(m_view->cancelButton()->isEnabled());
}

void FillClearingWidgetTest::cleanup()
{
    if (QMessageBox* box = shownMessageBox()) {
        box->close();
    }
    delete m_window;
    delete m_module;
    m_window = nullptr;
    m_module = nullptr;
}

void FillClearingWidgetTest::windowAnswersThroughoutARunAndShowsTheGain()
{
    int highestProgress = 0;
    connect(m_module, &ECModule::progressValueChanged, this,
        [&] { highestProgress = std::max(highestProgress, m_view->progressBar()->value()); });
    const std::uint64_t purgeableBefore = m_sim->storage(SimulatorFixture::DEMO_UDID).at("purgeable");
    Watchdog watchdog;
    watchdog.start();
    QTest::mouseClick(m_view->startCleaningButton(), Qt::LeftButton);
    QCOMPARE(m_view->startCleaningButton()->text(), QStringLiteral("Stop the Process"));
    QVERIFY(!m_view->cancelButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(m_module->lastOutcome().has_value(), 240000);
    QTRY_VERIFY_WITH_TIMEOUT(shownMessageBox() != nullptr, 5000);
    const qint64 worst = watchdog.worstLatenessMs();
    qInfo("worst lateness of the event loop during the run: %lld ms", static_cast<long long>(worst));
    QVERIFY2(worst < 100, qPrintable(QStringLiteral("the event loop was %1 ms late").arg(worst)));

    QCOMPARE(m_module->lastOutcome()->ending, ECFillEnding::Finished);
    QVERIFY2(highestProgress > 50, qPrintable(QString::number(highestProgress)));
    QCOMPARE(m_view->progressBar()->value(), 0);
    // Exactly what the phone purged: its own accounting, not the run's estimate.
    const std::uint64_t purged = purgeableBefore - m_sim->storage(SimulatorFixture::DEMO_UDID).at("purgeable");
    QVERIFY(purged > 0);
    QCOMPARE(m_module->lastOutcome()->gain().bytes, purged);
    QMessageBox* box = shownMessageBox();
    QCOMPARE(box->text(),
        QStringLiteral("We just cleared %1 from your device!").arg(ECFillRules::convertBytesToString(purged)));
    QCOMPARE(fillerCount(fillFolder()), std::size_t(0));
    QCOMPARE(m_view->startCleaningButton()->text(), QStringLiteral("Clear Temp Files"));
    // "Great!" closes the module window.
    QPushButton* great = qobject_cast<QPushButton*>(box->buttons().value(0));
    QVERIFY(great);
    QCOMPARE(great->text(), QStringLiteral("Great!"));
    QPointer<ECModuleDialog> window(m_window);
    great->click();
    QTRY_VERIFY(!window || !window->isVisible());
    m_window = window.data();
}

void FillClearingWidgetTest::stopReturnsAtOnceAndLeavesNothing()
{
    QTest::mouseClick(m_view->startCleaningButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(fillerCount(fillFolder()) >= 10, 60000);
    QElapsedTimer press;
    press.start();
    QTest::mouseClick(m_view->startCleaningButton(), Qt::LeftButton);
    const qint64 took = press.elapsed();
    QVERIFY2(took < 100, qPrintable(QStringLiteral("the stop press took %1 ms").arg(took)));
    QCOMPARE(m_view->startCleaningButton()->text(), QStringLiteral("Stopping..."));
    QVERIFY(!m_view->startCleaningButton()->isEnabled());
    QVERIFY(!m_view->cancelButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(m_module->lastOutcome().has_value(), 60000);
    QCOMPARE(m_module->lastOutcome()->ending, ECFillEnding::Stopped);
    QCOMPARE(fillerCount(fillFolder()), std::size_t(0));
    QCOMPARE(m_view->startCleaningButton()->text(), QStringLiteral("Clear Temp Files"));
    QVERIFY(m_view->startCleaningButton()->isEnabled());
    QCOMPARE(m_view->progressBar()->value(), 0);
    QTest::qWait(50);
    QVERIFY(shownMessageBox() == nullptr);
}

QTEST_MAIN(FillClearingWidgetTest)
#include "FillClearingWidgetTest.moc"
