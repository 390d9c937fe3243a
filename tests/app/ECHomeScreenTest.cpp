#include "app/ECAppDelegate.h"
#include "app/ECHeadingButton.h"
#include "app/ECHomeRow.h"
#include "app/ECMainWindow.h"
#include "app/ECUserDefaultsKeys.h"
#include "app/HoverButton.h"
#include "device/mobile_device.h"
#include "modules/ECMessagesModule.h"
#include "modules/ECModule.h"
#include "platform/QtRunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"
#include "views/ECModuleDialog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using ModuleButton = ECAppDelegate::ModuleButton;

namespace {

/// The link at the foot of the window with this text.
QPushButton* link(const ECMainWindow& window, const QString& text)
{
    for (QPushButton* button : window.findChildren<QPushButton*>(QStringLiteral("linkButton"))) {
        if (button->text() == text) {
            return button;
        }
    }
    qFatal("no link \"%s\"", qPrintable(text));
}

} // namespace

/// The home screen and module launching without a device: no usbmuxd is reachable, so the
/// window stays in its "no device" state throughout.
class ECHomeScreenTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void launchesWithNoDevice();
    void firstRunShowsTheWelcomeSheetOnce();
    void rowLayoutIsStableAndCaptionsAreCentred();
    void hoverHelpDescribesTheButtonUnderThePointer();
    void cachesButtonPicksTheToolBySystemVersion_data();
    void cachesButtonPicksTheToolBySystemVersion();
    void backupReminderComesOnceBeforePhotosOrMusic();
    void aToolWithoutAModuleOpensNothing();
    void helpPagesOpenOnTheProductSite();
    void aPageNoBrowserOpenedShowsItsAddress();
    void messagesWindowSaysWhereToFreeTheSpace();
    void privacyLinkSaysWhatIsKeptAndSent();
    void emailDefaultsNeverOverwriteStoredValues();

private:
    std::unique_ptr<ECAppDelegate> makeController(ECAppDelegate::Modules modules = {});

    std::unique_ptr<SimulatorFixture> m_sim;
    std::unique_ptr<QtRunLoop> m_mainLoop;
    std::unique_ptr<TemporaryDirectory> m_folder;
    std::unique_ptr<UserDefaults> m_defaults;
    QString m_settingsPath;
};

void ECHomeScreenTest::initTestCase()
{
    // A simulator with no phone attached: the device manager subscribes and hears nothing.
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> {});
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    m_mainLoop = std::make_unique<QtRunLoop>();
    RunLoop::setMain(m_mainLoop.get());
    // A saved address is sent again at launch: never to the internet from a test.
    qputenv("TORVANE_SIGNUP_URL", "http://127.0.0.1:9");
}

void ECHomeScreenTest::cleanupTestCase()
{
    m_sim.reset();
}

void ECHomeScreenTest::init()
{
    m_folder = std::make_unique<TemporaryDirectory>();
    m_settingsPath = QString::fromStdString((m_folder->path() / "Torvane.conf").string());
    m_defaults = std::make_unique<UserDefaults>(m_settingsPath);
    qputenv("TORVANE_EVENT_STORE", (m_folder->path() / "events.sqlite").string().c_str());
}

void ECHomeScreenTest::cleanup()
{
    m_defaults.reset();
    m_folder.reset();
}

std::unique_ptr<ECAppDelegate> ECHomeScreenTest::makeController(ECAppDelegate::Modules modules)
{
    auto controller = std::make_unique<ECAppDelegate>(MobileDevice::shared(), *m_defaults, modules);
    // Subscribed on the main loop, as in the application, even though nothing will attach.
    [&] { QVERIFY(controller->deviceAccess()->isSubscribed()); }();
    return controller;
}

void ECHomeScreenTest::launchesWithNoDevice()
{
    auto controller = makeController({ .messagesController = new ECModule });
    ECMainWindow window(*controller);
    window.show();
    controller->applicationDidFinishLaunching();

    QCOMPARE(window.headingButton()->text(), QStringLiteral("Connect your iOS Device"));
    QCOMPARE(window.subheading()->text(), QStringLiteral("Don't worry, we won't do anything yet!"));
    QCOMPARE(window.headingButton()->arrowImageName(), QStringLiteral("transparent-arrow-replacement.png"));
    for (int slot = 0; slot < ECHomeRow::SLOT_COUNT; ++slot) {
        // Greyed, not hidden: even a tool whose module exists waits for a device.
        QVERIFY(!window.homeRow()->button(ECHomeRow::Slot(slot))->isEnabled());
        QVERIFY(!window.homeRow()->label(ECHomeRow::Slot(slot))->isEnabled());
        QVERIFY(window.homeRow()->button(ECHomeRow::Slot(slot))->isVisible());
    }
    // Pressing the heading offers no picker without two devices.
    QTest::mouseClick(window.headingButton(), Qt::LeftButton);
    QVERIFY(!window.devicePicker()->isVisible());
    QVERIFY(!controller->selectedDevice());
}

void ECHomeScreenTest::firstRunShowsTheWelcomeSheetOnce()
{
    {
        auto controller = makeController();
        ECMainWindow window(*controller);
        window.show();
        QSignalSpy billboard(controller.get(), &ECAppDelegate::billboardRequested);
        controller->applicationDidFinishLaunching();
        QCOMPARE(billboard.count(), 1);
        QVERIFY(window.billboard() && window.billboard()->isVisible());
        QVERIFY(window.billboard()->isModal());
        controller->closeBillboard();
        QTRY_VERIFY(!window.billboard());
    }
    // Written at once: a store reading the same file sees it.
    QVERIFY(UserDefaults(m_settingsPath).boolForKey(ECUserDefaultsKeys::HAS_RUN_APP_ONCE));
    auto controller = makeController();
    QSignalSpy billboard(controller.get(), &ECAppDelegate::billboardRequested);
    controller->applicationDidFinishLaunching();
    QCOMPARE(billboard.count(), 0);
}

void ECHomeScreenTest::rowLayoutIsStableAndCaptionsAreCentred()
{
    ECHomeRow row;
    row.setupButtonFrames();
    row.showClearCaches();
    std::vector<QRect> first;
    first.reserve(ECHomeRow::SLOT_COUNT);
    for (int slot = 0; slot < ECHomeRow::SLOT_COUNT; ++slot) {
        first.push_back(row.button(ECHomeRow::Slot(slot))->geometry());
    }
    row.setupButtonFrames(); // recorded once: a second call changes nothing
    row.showClearCaches();
    for (int slot = 0; slot < ECHomeRow::SLOT_COUNT; ++slot) {
        QCOMPARE(row.button(ECHomeRow::Slot(slot))->geometry(), first[std::size_t(slot)]);
    }
    // Left to right: apps, photos, caches, music, messages, evenly spaced and inside the row.
    const int order[]
        = { ECHomeRow::Apps, ECHomeRow::Photos, ECHomeRow::Caches, ECHomeRow::Music, ECHomeRow::Messages };
    for (int i = 0; i < 5; ++i) {
        const QRect frame = first[std::size_t(order[i])];
        QVERIFY(frame.left() >= 0 && frame.right() < ECHomeRow::WIDTH);
        if (i > 0) {
            QCOMPARE(frame.center().x() - first[std::size_t(order[i - 1])].center().x(), 150);
        }
        const QLabel* caption = row.label(ECHomeRow::Slot(order[i]));
        QVERIFY(qAbs(caption->geometry().center().x() - frame.center().x()) <= 1);
        QVERIFY(caption->y() > frame.bottom());
    }
    QVERIFY(!row.button(ECHomeRow::Caches)->isHidden());
    // Centring on a missing reference counts it as an empty frame at the origin.
    QLabel loose;
    loose.setGeometry(100, 7, 40, 10);
    ECHomeRow::alignViewCenterX(&loose, nullptr);
    QCOMPARE(loose.geometry(), QRect(-20, 7, 40, 10));
}

void ECHomeScreenTest::hoverHelpDescribesTheButtonUnderThePointer()
{
    auto controller = makeController();
    ECMainWindow window(*controller);
    struct Row
    {
        ModuleButton button;
        const char* text;
    };
    const Row rows[] = {
        { ModuleButton::Apps, "Pick big apps to quickly delete them from your device" },
        { ModuleButton::Caches, "Clear temporary files stored by apps" },
        { ModuleButton::Photos, "Pick photos & videos to back up to your computer" },
        { ModuleButton::Music, "Removes old songs from your Music app" },
    };
    for (const Row& row : rows) {
        controller->mouseEnteredButton(row.button);
        QCOMPARE(window.moduleDescription()->text(), QString::fromUtf8(row.text));
    }
    // Entering the messages button leaves the line as it was; leaving any button clears it.
    controller->mouseEnteredButton(ModuleButton::Messages);
    QCOMPARE(window.moduleDescription()->text(), QStringLiteral("Removes old songs from your Music app"));
    controller->mouseExitedButton(ModuleButton::Messages);
    QCOMPARE(window.moduleDescription()->text(), QString());
    // Through the buttons themselves, as the pointer reports them.
    window.mouseEnteredButton(window.homeRow()->button(ECHomeRow::Apps));
    QCOMPARE(window.moduleDescription()->text(), QString::fromUtf8(rows[0].text));
    window.mouseExitedButton(window.homeRow()->button(ECHomeRow::Apps));
    QCOMPARE(window.moduleDescription()->text(), QString());
}

void ECHomeScreenTest::cachesButtonPicksTheToolBySystemVersion_data()
{
    QTest::addColumn<float>("version");
    QTest::addColumn<bool>("fillClearing");
    QTest::newRow("8.2") << 8.2f << false;
    QTest::newRow("8.2.9 read as 8.2") << 8.2f << false;
    QTest::newRow("8.3") << 8.3f << true;
    QTest::newRow("9.3") << 9.3f << true;
    QTest::newRow("unknown") << 0.0f << false;
}

void ECHomeScreenTest::cachesButtonPicksTheToolBySystemVersion()
{
    QFETCH(float, version);
    QFETCH(bool, fillClearing);
    auto* filling = new ECModule;
    auto* downloads = new ECModule;
    auto controller = makeController({ .cachesController = filling, .oldIOSCachesController = downloads });
    QSignalSpy shown(controller.get(), &ECAppDelegate::moduleWindowRequested);
    controller->setSelectedDeviceVersion(version);
    controller->startModule(ModuleButton::Caches);
    QCOMPARE(shown.count(), 1);
    ECModule* expected = fillClearing ? filling : downloads;
    QCOMPARE(shown.at(0).at(0).value<ECModule*>(), expected);
    QCOMPARE(controller->controller(), expected);
}

void ECHomeScreenTest::backupReminderComesOnceBeforePhotosOrMusic()
{
    auto* photos = new ECModule;
    auto* music = new ECModule;
    auto controller = makeController({ .musicController = music, .photosController = photos });
    ECMainWindow window(*controller);
    window.show();
    QSignalSpy reminder(controller.get(), &ECAppDelegate::backupReminderRequested);
    QSignalSpy shown(controller.get(), &ECAppDelegate::moduleWindowRequested);

    controller->startModule(ModuleButton::Photos);
    QCOMPARE(reminder.count(), 1);
    QCOMPARE(shown.count(), 0);
    QVERIFY(UserDefaults(m_settingsPath).boolForKey(ECUserDefaultsKeys::DID_SHOW_BACKUP_REMINDER));
    QVERIFY(window.backupReminder() && window.backupReminder()->isVisible());
    // Dismissing the reminder opens the module window for the module that was pressed.
    window.backupReminder()->accept();
    QCOMPARE(shown.count(), 1);
    QCOMPARE(shown.at(0).at(0).value<ECModule*>(), photos);
    QTRY_VERIFY(window.configWindow() && window.configWindow()->isVisible());
    QVERIFY(window.configWindow()->isModal());
    photos->close();
    QTRY_VERIFY(!window.configWindow());

    controller->startModule(ModuleButton::Music);
    QCOMPARE(reminder.count(), 1);
    QCOMPARE(shown.count(), 2);
    QCOMPARE(shown.at(1).at(0).value<ECModule*>(), music);
    // The controller keeps the last module started after its window has closed.
    music->close();
    QTRY_VERIFY(!window.configWindow());
    QCOMPARE(controller->controller(), music);
}

void ECHomeScreenTest::aToolWithoutAModuleOpensNothing()
{
    auto controller = makeController();
    QSignalSpy shown(controller.get(), &ECAppDelegate::moduleWindowRequested);
    QSignalSpy reminder(controller.get(), &ECAppDelegate::backupReminderRequested);
    for (ModuleButton button : { ModuleButton::Apps, ModuleButton::Caches, ModuleButton::Photos, ModuleButton::Music,
             ModuleButton::Messages }) {
        controller->startModule(button);
    }
    QCOMPARE(shown.count(), 0);
    QCOMPARE(reminder.count(), 0);
    QVERIFY(!m_defaults->boolForKey(ECUserDefaultsKeys::DID_SHOW_BACKUP_REMINDER));
    QCOMPARE(controller->controller(), nullptr);
}

void ECHomeScreenTest::helpPagesOpenOnTheProductSite()
{
    auto controller = makeController();
    QList<QUrl> opened;
    controller->setPageOpener([&](const QUrl& url) {
        opened.append(url);
        return true;
    });
    controller->setSiteBaseUrl(QUrl(QStringLiteral("https://help.example.org/")));
    controller->showHelp();
    controller->backupLearnMore();
    controller->openHowItWorksPage();
    QCOMPARE(opened,
        (QList<QUrl> { QUrl(QStringLiteral("https://help.example.org/faq")),
            QUrl(QStringLiteral("https://help.example.org/faq#backup")),
            QUrl(QStringLiteral("https://help.example.org/howitworks")) }));
    // The built-in site is reached over https.
    auto fresh = makeController();
    QCOMPARE(fresh->pageUrl(QStringLiteral("/faq")).scheme(), QStringLiteral("https"));
}

void ECHomeScreenTest::aPageNoBrowserOpenedShowsItsAddress()
{
    auto controller = makeController();
    ECMainWindow window(*controller);
    window.show();
    controller->setSiteBaseUrl(QUrl(QStringLiteral("https://help.example.org")));
    controller->setPageOpener([](const QUrl&) { return false; });
    QTest::mouseClick(link(window, QStringLiteral("Help")), Qt::LeftButton);
    QTRY_VERIFY(window.pageAddressAlert() && window.pageAddressAlert()->isVisible());
    QVERIFY(window.pageAddressAlert()->isModal());
    auto* field = window.pageAddressAlert()->findChild<QLineEdit*>(QStringLiteral("pageAddressField"));
    QVERIFY(field);
    QCOMPARE(field->text(), QStringLiteral("https://help.example.org/faq"));
    QVERIFY(field->isReadOnly());
    QGuiApplication::clipboard()->clear();
    auto* copy = window.pageAddressAlert()->findChild<QPushButton*>(QStringLiteral("secondaryButton"));
    QVERIFY(copy);
    QCOMPARE(copy->text(), QStringLiteral("Copy Address"));
    QTest::mouseClick(copy, Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("https://help.example.org/faq"));
    QVERIFY(window.pageAddressAlert()->isVisible());

    // An opener that works shows nothing.
    window.pageAddressAlert()->close();
    QTRY_VERIFY(!window.pageAddressAlert());
    controller->setPageOpener([](const QUrl&) { return true; });
    controller->openHowItWorksPage();
    QVERIFY(!window.pageAddressAlert());
}

void ECHomeScreenTest::messagesWindowSaysWhereToFreeTheSpace()
{
    auto controller = makeController({ .messagesController = new ECMessagesModule });
    ECMainWindow window(*controller);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    controller->startModule(ModuleButton::Messages);
    QTRY_VERIFY(window.configWindow() && window.configWindow()->isVisible());
    ECModuleDialog* moduleWindow = window.configWindow();
    // The module window's own size, not shrunk to its few controls.
    QVERIFY2(moduleWindow->width() >= 660 && moduleWindow->height() >= 460,
        qPrintable(QStringLiteral("%1 x %2").arg(moduleWindow->width()).arg(moduleWindow->height())));
    // Below the heading, which keeps showing the device the tool works on.
    const int headingBottom = window.headingButton()->mapToGlobal(QPoint(0, window.headingButton()->height())).y();
    QVERIFY2(moduleWindow->geometry().top() >= headingBottom,
        qPrintable(
            QStringLiteral("window at %1, heading ends at %2").arg(moduleWindow->geometry().top()).arg(headingBottom)));
    auto* title = moduleWindow->findChild<QLabel*>(QStringLiteral("titleTextField"));
    auto* hint = moduleWindow->findChild<QLabel*>(QStringLiteral("hintTextField"));
    QVERIFY(title && hint);
    QCOMPARE(title->text(), QStringLiteral("Messages"));
    QVERIFY(hint->isVisible());
    for (const char* step : { "Settings › Messages › Keep Messages", "Settings › General › iPhone Storage › Messages",
             "review large attachments" }) {
        QVERIFY2(hint->text().contains(QString::fromUtf8(step)), step);
    }
    // A tool that removes nothing shows no selection size and no delete button.
    QVERIFY(!moduleWindow->findChild<QLabel*>(QStringLiteral("progressLabel"))->isVisible());
    QVERIFY(!moduleWindow->findChild<QPushButton*>(QStringLiteral("deleteButton"))->isVisible());
    // The hints name only the Settings paths the phone's own system version has.
    struct Version
    {
        float version;
        bool keepMessages;
        bool storagePage;
    };
    for (const Version& phone : { Version { 7.1f, false, false }, Version { 8.2f, true, false },
             Version { 10.3f, true, false }, Version { 11.0f, true, true }, Version { 17.5f, true, true } }) {
        const QString text = ECMessagesModule::hintFor(phone.version);
        QCOMPARE(text.contains(QStringLiteral("Keep Messages")), phone.keepMessages);
        QCOMPARE(text.contains(QStringLiteral("iPhone Storage")), phone.storagePage);
    }
    controller->closeCurrentModule();
    QTRY_VERIFY(!window.configWindow());
}

void ECHomeScreenTest::privacyLinkSaysWhatIsKeptAndSent()
{
    // The application's own preferences file, here in the test's folder (first use in this process).
    const QString settings = QString::fromStdString((m_folder->path() / "Standard.conf").string());
    qputenv("TORVANE_SETTINGS_FILE", settings.toLocal8Bit());
    auto controller = makeController();
    ECMainWindow window(*controller);
    window.show();
    QTest::mouseClick(link(window, QStringLiteral("Privacy")), Qt::LeftButton);
    QTRY_VERIFY(window.privacyStatement() && window.privacyStatement()->isVisible());
    const QString text = window.privacyStatement()->informativeText();
    // The files this run really uses, and the only two things that leave the computer.
    QVERIFY2(text.contains(settings), qPrintable(text));
    QVERIFY2(text.contains(QString::fromStdString(m_folder->path().string())), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("never sent")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("your e-mail address")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("each app's identifier")), qPrintable(text));
    window.privacyStatement()->close();
}

void ECHomeScreenTest::emailDefaultsNeverOverwriteStoredValues()
{
    m_defaults->setBool(ECUserDefaultsKeys::USER_DID_SET_EMAIL, true);
    m_defaults->setString(ECUserDefaultsKeys::USERS_EMAIL, QStringLiteral("jane@example.org"));
    m_defaults->setBool(ECUserDefaultsKeys::HAS_RUN_APP_ONCE, true);
    auto controller = makeController();
    controller->applicationDidFinishLaunching();
    QVERIFY(m_defaults->boolForKey(ECUserDefaultsKeys::USER_DID_SET_EMAIL));
    QCOMPARE(m_defaults->stringForKey(ECUserDefaultsKeys::USERS_EMAIL), QStringLiteral("jane@example.org"));
    QCOMPARE(m_defaults->integerForKey(ECUserDefaultsKeys::DID_SHOW_EMAIL_SHEET), 1);
    QCOMPARE(m_defaults->integerForKey(ECUserDefaultsKeys::CAN_CONTACT_USER), 0);
    QVERIFY(!m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
}

QTEST_MAIN(ECHomeScreenTest)
#include "ECHomeScreenTest.moc"
