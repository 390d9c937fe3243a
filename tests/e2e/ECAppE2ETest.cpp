#include "app/ECAppDelegate.h"
#include "app/ECDevicePicker.h"
#include "app/ECFillBar.h"
#include "app/ECHeadingButton.h"
#include "app/ECHomeRow.h"
#include "app/ECMainWindow.h"
#include "app/ECUserDefaultsKeys.h"
#include "app/HoverButton.h"
#include "base/PlistValue.h"
#include "device/AMDevice.h"
#include "device/mobile_device.h"
#include "modules/ECModule.h"
#include "modules/apps/ECAppModule.h"
#include "modules/download_cache/ECCacheModule.h"
#include "modules/fill_clearing/ECForceCacheCleanModule.h"
#include "platform/QtRunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/support/AppTestHarness.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"
#include "views/fill_clearing/ECForceCacheCleanView.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

constexpr int DEVICE_TIMEOUT_MS = 20000;
const std::string DEMO = SimulatorFixture::DEMO_UDID;
const std::string MODERN = SimulatorFixture::MODERN_UDID;

} // namespace

/// The whole application window against torvane-simd: phones attach, detach and refuse to
/// cooperate through the simulator's control socket, and the window is checked as a user sees it.
class ECAppE2ETest : public AppTestHarness
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void attachingThePhoneShowsItsNameAndFillLevel();
    void aSecondPhoneOffersThePicker();
    void aModuleClosesForAnotherPhoneAndWaitsForItsOwn();
    void anUntrustedPhoneAsksToTryAgain();
    void aPhoneRefusingItsServicesIsExplained();
    void tempFilesOnAnOldPhoneOpensTheDownloadCacheTool();
    void attachingRemovesLeftFillersAndTempFilesOpensTheFillTool();

private:
    void launch(ECAppDelegate::Modules modules = {});
    bool attachAndWait(const std::string& profile, const QString& name);
    QString expectedStatus(const std::string& udid) const;
    HoverButton* button(ECHomeRow::Slot slot) const { return m_window->homeRow()->button(slot); }

    QPointer<ECModule> m_messages;
};

void ECAppE2ETest::initTestCase()
{
    useQtMainLoop();
}

void ECAppE2ETest::init()
{
    freshSettings();
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> {});
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
}

void ECAppE2ETest::cleanup()
{
    closeApp();
}

void ECAppE2ETest::launch(ECAppDelegate::Modules modules)
{
    // A real module behind the messages button, so a module window can be opened and closed.
    m_messages = new ECModule;
    modules.messagesController = m_messages;
    launchApp(modules);
}

bool ECAppE2ETest::attachAndWait(const std::string& profile, const QString& name)
{
    if (!m_sim->attach(profile)) {
        return false;
    }
    return QTest::qWaitFor(
        [&] {
            const auto& devices = m_controller->deviceAccess()->devices();
            return std::any_of(devices.begin(), devices.end(), [&](const auto& device) {
                return device->deviceName() == name.toStdString();
            }) && m_controller->pendingDeviceExchanges() == 0;
        },
        DEVICE_TIMEOUT_MS);
}

QString ECAppE2ETest::expectedStatus(const std::string& udid) const
{
    // The simulator's own figures, through the rule the window states: (1 − free ÷ total) × 100
    // with the ratio in single precision, rounded to a whole percent.
    const auto storage = m_sim->storage(udid);
    const float ratio = float(storage.at("free")) / float(storage.at("total"));
    return QString::asprintf("Your device is %.0f%% full!", (1.0 - double(ratio)) * 100.0);
}

void ECAppE2ETest::attachingThePhoneShowsItsNameAndFillLevel()
{
    launch();
    QVERIFY(m_sim->attach("demo"));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Demo iPhone Connected"), DEVICE_TIMEOUT_MS);
    QCOMPARE(m_window->subheading()->text(), expectedStatus(DEMO));
    QVERIFY(m_window->fillBar()->percentage().has_value());
    // Beside the bar, what the same reading says: used of total of the media area, in bytes the
    // phone reported, not the percentage times the capacity it was sold as.
    const auto storage = m_sim->storage(DEMO);
    const QLocale locale;
    QCOMPARE(m_window->fillBar()->caption(),
        QStringLiteral("%1 of %2 used")
            .arg(locale.formattedDataSize(
                     std::int64_t(storage.at("total") - storage.at("free")), 1, QLocale::DataSizeSIFormat),
                locale.formattedDataSize(std::int64_t(storage.at("total")), 1, QLocale::DataSizeSIFormat)));
    // The one tool with a module is enabled; the others wait for theirs.
    QVERIFY(button(ECHomeRow::Messages)->isEnabled());
    QVERIFY(m_window->homeRow()->label(ECHomeRow::Messages)->isEnabled());
    for (auto slot : { ECHomeRow::Apps, ECHomeRow::Caches, ECHomeRow::Photos, ECHomeRow::Music }) {
        QVERIFY(!button(slot)->isEnabled());
    }
    // One phone: no picker.
    QCOMPARE(m_window->headingButton()->arrowImageName(), QStringLiteral("transparent-arrow-replacement.png"));
    QCOMPARE(m_controller->selectedDeviceVersion(), 9.3f);
}

void ECAppE2ETest::aSecondPhoneOffersThePicker()
{
    launch();
    QVERIFY(attachAndWait("demo", QStringLiteral("Demo iPhone")));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Demo iPhone Connected"), DEVICE_TIMEOUT_MS);
    QVERIFY(attachAndWait("modern", QStringLiteral("Modern iPhone")));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->arrowImageName(), QStringLiteral("placeholder-down-arrow.png"), DEVICE_TIMEOUT_MS);
    // The second phone never takes the selection away from the first.
    QCOMPARE(m_window->headingButton()->text(), QStringLiteral("Demo iPhone Connected"));

    QTest::mouseClick(m_window->headingButton(), Qt::LeftButton);
    ECDevicePicker* picker = m_window->devicePicker();
    QTRY_VERIFY(picker->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(picker->rowCount(), 2, DEVICE_TIMEOUT_MS);
    // 60 points a row; at least the design's 200 points wide, wider where a name needs it, so
    // names are shown whole (they are compared whole below).
    QCOMPARE(picker->height(), 130);
    QVERIFY(picker->width() >= 200 && picker->width() <= ECDevicePicker::MAX_WIDTH);
    QCOMPARE(m_controller->popoverContentSize(), QSize(200, 130));
    const auto names = picker->findChildren<QLabel*>(QStringLiteral("deviceNameField"));
    const auto spaces = picker->findChildren<QLabel*>(QStringLiteral("spaceUsageField"));
    QCOMPARE(names.size(), 2);
    QCOMPARE(names.at(0)->text(), QStringLiteral("Demo iPhone"));
    QCOMPARE(names.at(1)->text(), QStringLiteral("Modern iPhone"));
    // 55.7 GB of user data sells as 64 GB, 127.9 GB as 128 GB.
    QVERIFY2(spaces.at(0)->text().startsWith(QStringLiteral("64 GB - ")), qPrintable(spaces.at(0)->text()));
    // One figure: the selected phone's row says what the heading and the bar say.
    const QString percent = QString::number(qRound(*m_window->fillBar()->percentage()));
    QCOMPARE(m_window->subheading()->text(), QStringLiteral("Your device is %1% full!").arg(percent));
    QCOMPARE(spaces.at(0)->text(), QStringLiteral("64 GB - %1% full").arg(percent));
    // The phone shown now is marked; the other is not.
    const auto marks = picker->findChildren<QLabel*>(QStringLiteral("currentDeviceMark"));
    QCOMPARE(marks.size(), 2);
    QVERIFY(!marks.at(0)->text().isEmpty());
    QVERIFY(marks.at(1)->text().isEmpty());
    QVERIFY2(spaces.at(1)->text().startsWith(QStringLiteral("128 GB - ")), qPrintable(spaces.at(1)->text()));
    QVERIFY(spaces.at(1)->text().endsWith(QStringLiteral("% full")));

    // Choosing the second row selects that phone and closes the picker.
    const auto rows = picker->findChildren<QAbstractButton*>(QStringLiteral("devicePickerRow"));
    QCOMPARE(rows.size(), 2);
    QTest::mouseClick(rows.at(1), Qt::LeftButton);
    QTRY_VERIFY(!picker->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Modern iPhone Connected"), DEVICE_TIMEOUT_MS);
    QCOMPARE(m_window->subheading()->text(), expectedStatus(MODERN));
    QCOMPARE(m_controller->selectedDeviceVersion(), 17.5f);
    // Pressing the heading again opens it again; pressing while open closes it.
    QTest::mouseClick(m_window->headingButton(), Qt::LeftButton);
    QTRY_VERIFY(picker->isVisible());
    m_window->showDevicePopover();
    QVERIFY(!picker->isVisible());
}

void ECAppE2ETest::aModuleClosesForAnotherPhoneAndWaitsForItsOwn()
{
    launch();
    QVERIFY(attachAndWait("demo", QStringLiteral("Demo iPhone")));
    QVERIFY(attachAndWait("modern", QStringLiteral("Modern iPhone")));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Demo iPhone Connected"), DEVICE_TIMEOUT_MS);
    QTRY_VERIFY(button(ECHomeRow::Messages)->isEnabled());
    QTest::mouseClick(button(ECHomeRow::Messages), Qt::LeftButton);
    QTRY_VERIFY(m_window->configWindow() && m_window->configWindow()->isVisible());
    QCOMPARE(m_messages->device(), m_controller->selectedDevice());

    QVERIFY(m_sim->detach(DEMO));
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->configWindow(), DEVICE_TIMEOUT_MS);
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Modern iPhone Connected"), DEVICE_TIMEOUT_MS);
    QCOMPARE(m_window->subheading()->text(), expectedStatus(MODERN));
    QTRY_COMPARE(m_window->headingButton()->arrowImageName(), QStringLiteral("transparent-arrow-replacement.png"));
    QVERIFY(button(ECHomeRow::Messages)->isEnabled());

    // The last phone leaving brings back the waiting state; the module open for it stays and says
    // so, and takes the phone back when it returns.
    QTest::mouseClick(button(ECHomeRow::Messages), Qt::LeftButton);
    QTRY_VERIFY(m_window->configWindow() && m_window->configWindow()->isVisible());
    QVERIFY(m_sim->detach(MODERN));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Connect your iOS Device"), DEVICE_TIMEOUT_MS);
    QCOMPARE(m_window->subheading()->text(), QStringLiteral("Don't worry, we won't do anything yet!"));
    QVERIFY(!button(ECHomeRow::Messages)->isEnabled());
    QVERIFY(m_window->configWindow() && m_window->configWindow()->isVisible());
    QVERIFY(m_messages->phoneGone());
    QCOMPARE(m_messages->statusMessage(), QStringLiteral("The phone was unplugged. Nothing was changed."));
    QVERIFY(m_sim->attach(MODERN));
    QTRY_VERIFY_WITH_TIMEOUT(!m_messages->phoneGone(), DEVICE_TIMEOUT_MS);
    QCOMPARE(m_messages->device(), m_controller->selectedDevice());
    QVERIFY(m_messages->statusMessage().isEmpty());
}

void ECAppE2ETest::anUntrustedPhoneAsksToTryAgain()
{
    launch();
    QVERIFY(attachAndWait("demo", QStringLiteral("Demo iPhone")));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Demo iPhone Connected"), DEVICE_TIMEOUT_MS);
    // The second phone arrives while it refuses sessions (the Trust question is unanswered): its
    // name cannot be read and it is not offered.
    QVERIFY(m_sim->attach("modern"));
    QVERIFY(m_sim->detach(MODERN));
    QTRY_VERIFY_WITH_TIMEOUT(
        m_controller->deviceAccess()->devices().size() == 1 && m_controller->pendingDeviceExchanges() == 0,
        DEVICE_TIMEOUT_MS);
    QVERIFY(m_sim->fault(MODERN, { "refuse-session" }));
    QVERIFY(m_sim->attach(MODERN));
    QTRY_VERIFY_WITH_TIMEOUT(
        m_controller->deviceAccess()->devices().size() == 2 && m_controller->pendingDeviceExchanges() == 0,
        DEVICE_TIMEOUT_MS);
    QVERIFY(!m_controller->deviceAccess()->devices().back()->deviceName());
    QCOMPARE(m_window->headingButton()->arrowImageName(), QStringLiteral("transparent-arrow-replacement.png"));

    // The user taps Trust; then the first phone leaves and the untrusted one is picked up.
    QVERIFY(m_sim->clearFaults(MODERN));
    QSignalSpy alerts(m_controller.get(), &ECAppDelegate::connectionAlertRequested);
    QVERIFY(m_sim->detach(DEMO));
    QTRY_VERIFY_WITH_TIMEOUT(
        m_window->connectionAlert() && m_window->connectionAlert()->isVisible(), DEVICE_TIMEOUT_MS);
    QCOMPARE(alerts.count(), 1);
    QMessageBox* alert = m_window->connectionAlert();
    QCOMPARE(alert->text(), QStringLiteral("Computer not trusted"));
    QCOMPARE(alert->informativeText(),
        QStringLiteral("Unlock your device, tap Trust and make sure this computer is authorized to access your "
                       "device. Then try again."));
    QCOMPARE(alert->buttons().size(), 1);
    QCOMPARE(alert->buttons().at(0)->text(), QStringLiteral("Try Again"));
    QVERIFY(alert->isModal());
    for (int slot = 0; slot < ECHomeRow::SLOT_COUNT; ++slot) {
        QVERIFY(!button(ECHomeRow::Slot(slot))->isEnabled());
    }

    // "Try Again" starts discovery afresh: the phone is announced again, now with its name.
    const MobileDeviceAccess* before = m_controller->deviceAccess();
    const std::shared_ptr<AMDevice> untrusted = m_controller->selectedDevice();
    QTest::mouseClick(alert->buttons().at(0), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Modern iPhone Connected"), DEVICE_TIMEOUT_MS);
    QVERIFY(m_controller->deviceAccess() != before);
    QVERIFY(m_controller->selectedDevice() != untrusted);
    QVERIFY(!m_controller->connectionAlertShowing());
    QCOMPARE(m_window->subheading()->text(), expectedStatus(MODERN));
    QVERIFY(button(ECHomeRow::Messages)->isEnabled());
    QCOMPARE(alerts.count(), 1);
}

void ECAppE2ETest::aPhoneRefusingItsServicesIsExplained()
{
    launch();
    QVERIFY(attachAndWait("demo", QStringLiteral("Demo iPhone")));
    QVERIFY(attachAndWait("modern", QStringLiteral("Modern iPhone")));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->arrowImageName(), QStringLiteral("placeholder-down-arrow.png"), DEVICE_TIMEOUT_MS);
    QTRY_COMPARE(m_window->headingButton()->text(), QStringLiteral("Demo iPhone Connected"));

    // The modern phone stops starting services: its media area cannot be opened any more.
    QVERIFY(m_sim->fault(MODERN, { "refuse-services" }));
    QSignalSpy alerts(m_controller.get(), &ECAppDelegate::connectionAlertRequested);
    m_controller->tableViewSelectionIndexesForProposedSelection({ 1 });
    QTRY_VERIFY_WITH_TIMEOUT(
        m_window->connectionAlert() && m_window->connectionAlert()->isVisible(), DEVICE_TIMEOUT_MS);
    // It says why: the media area's service was refused, which no cable mends.
    const AMDeviceStateText& refused = deviceStateText(AMDeviceState::ServicesRefused);
    QCOMPARE(m_window->connectionAlert()->text(), QString::fromUtf8(refused.title));
    QCOMPARE(m_window->connectionAlert()->informativeText(), QString::fromUtf8(refused.advice));
    // The heading keeps its text until the next refresh.
    QCOMPARE(m_window->headingButton()->text(), QStringLiteral("Demo iPhone Connected"));
    QVERIFY(!button(ECHomeRow::Messages)->isEnabled());

    // A second unusable selection while the alert is up shows nothing new.
    m_controller->tableViewSelectionIndexesForProposedSelection({ 1 });
    QTRY_COMPARE_WITH_TIMEOUT(m_controller->pendingDeviceExchanges(), std::size_t(0), DEVICE_TIMEOUT_MS);
    QCoreApplication::processEvents();
    QCOMPARE(alerts.count(), 1);

    // With the cable "back", Try Again announces both phones again.
    QVERIFY(m_sim->clearFaults(MODERN));
    QTest::mouseClick(m_window->connectionAlert()->buttons().at(0), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->deviceAccess()->devices().size() == 2
            && m_controller->pendingDeviceExchanges() == 0
            && m_window->headingButton()->arrowImageName() == QStringLiteral("placeholder-down-arrow.png"),
        DEVICE_TIMEOUT_MS);
    QTRY_VERIFY(m_window->headingButton()->text().endsWith(QStringLiteral(" Connected")));
    QVERIFY(button(ECHomeRow::Messages)->isEnabled());
    QCOMPARE(alerts.count(), 1);
}

void ECAppE2ETest::tempFilesOnAnOldPhoneOpensTheDownloadCacheTool()
{
    auto* apps = new ECAppModule;
    auto* caches = new ECCacheModule;
    launch({ .appsController = apps, .oldIOSCachesController = caches });
    QVERIFY(attachAndWait("legacy", QStringLiteral("Legacy iPhone")));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Legacy iPhone Connected"), DEVICE_TIMEOUT_MS);
    // 8.2: no clearing by filling, so Temp Files is the download-cache tool.
    QTRY_VERIFY(button(ECHomeRow::Caches)->isEnabled());
    QVERIFY(button(ECHomeRow::Apps)->isEnabled());
    // The generated downloads name their pictures on the store's web site; no test goes there.
    const auto downloadsFolder = m_sim->mediaRoot(SimulatorFixture::LEGACY_UDID) / "Downloads";
    for (const auto& entry : std::filesystem::directory_iterator(downloadsFolder)) {
        const auto metadataPath = entry.path() / "iTunesMetadata.plist";
        std::ifstream in(metadataPath, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto metadata = PlistCodec::fromAny(text);
        if (metadata && metadata->asDictionary() && metadata->asDictionary()->count("artwork-urls")) {
            (*metadata->asDictionary())["artwork-urls"] = PlistValue(
                PlistArray { PlistValue(PlistDictionary { { "url", PlistValue("http://127.0.0.1:9/a.png") } }) });
            std::ofstream(metadataPath, std::ios::binary | std::ios::trunc) << *PlistCodec::toXml(*metadata);
        }
    }
    QTest::mouseClick(button(ECHomeRow::Caches), Qt::LeftButton);
    QTRY_VERIFY(m_window->configWindow() && m_window->configWindow()->isVisible());
    QCOMPARE(m_controller->controller(), caches);
    QCOMPARE(caches->device(), m_controller->selectedDevice());
    // Its apps and stalled downloads, every one checked, and the button offering to clear them.
    QTRY_VERIFY_WITH_TIMEOUT(
        caches->moduleStatus() == ECModuleStatus::Idle && caches->itemList().rowCount() > 3, DEVICE_TIMEOUT_MS * 3);
    int downloads = 0;
    for (const auto& item : caches->itemList().items()) {
        QVERIFY(item.checked);
        downloads += item.values.contains(ECCacheModule::STREAM_PATH) ? 1 : 0;
    }
    QCOMPARE(downloads, 3);
    QCOMPARE(caches->progressDisplay().deleteTitle,
        QStringLiteral("Clear %1 Temp Files").arg(caches->itemList().rowCount()));
    caches->close();
    QTRY_VERIFY(!m_window->configWindow());
}

void ECAppE2ETest::attachingRemovesLeftFillersAndTempFilesOpensTheFillTool()
{
    // Fillers of a run that was killed: on the phone while Torvane was not looking.
    QVERIFY(m_sim->attach("demo"));
    const std::filesystem::path folder = m_sim->mediaRoot(DEMO) / "Torvane";
    std::filesystem::create_directories(folder);
    for (int i = 0; i < 3; ++i) {
        std::ofstream(folder / ("2015-03-12 10:11:12 +0000-" + std::to_string(i))) << "filler";
    }
    QVERIFY(m_sim->detach(DEMO));
    const auto fillersLeft = [&] {
        return std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
    };
    QCOMPARE(fillersLeft(), 3);

    auto* fillClearing = new ECForceCacheCleanModule;
    launchApp(ECAppDelegate::Modules { .cachesController = fillClearing });
    QVERIFY(m_sim->attach(DEMO));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Demo iPhone Connected"), DEVICE_TIMEOUT_MS);
    QCOMPARE(fillersLeft(), 0);
    QCOMPARE(m_window->subheading()->text(), expectedStatus(DEMO));

    // 9.3.5 is past 8.3: the Temp Files button opens the fill tool on this phone.
    QVERIFY(button(ECHomeRow::Caches)->isEnabled());
    QTest::mouseClick(button(ECHomeRow::Caches), Qt::LeftButton);
    QCOMPARE(m_controller->controller(), fillClearing);
    QCOMPARE(fillClearing->device(), m_controller->selectedDevice());
    QTRY_VERIFY_WITH_TIMEOUT(m_window->findChild<ECForceCacheCleanView*>() != nullptr, 5000);
    auto* view = m_window->findChild<ECForceCacheCleanView*>();
    QCOMPARE(view->startCleaningButton()->text(), QStringLiteral("Clear Temp Files"));
    QCOMPARE(fillClearing->titleText(), QStringLiteral("Clear Temporary Files"));
}

QTEST_MAIN(ECAppE2ETest)
#include "ECAppE2ETest.moc"
