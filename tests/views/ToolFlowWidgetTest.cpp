// Every cleaning tool through its window on the simulated phone: the question before a removal
// the user cannot undo (and only there), the finished line with the gain the phone shows, and an
// unplugging in the middle of a deletion.

#include "base/PlistValue.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "modules/ECModuleHost.h"
#include "modules/apps/ECAppModule.h"
#include "modules/download_cache/ECCacheModule.h"
#include "modules/music/ECMusicModule.h"
#include "platform/QtRunLoop.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"
#include "views/ECModuleView.h"
#include "views/music/ECMusicView.h"

#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <set>

namespace {

/// Answers every alert with the button the test chose, and remembers what was asked.
class AnsweringHost : public ECModuleHost
{
public:
    void presentAlert(const ECModuleAlert& alert, std::function<void(int)> answer) override
    {
        alerts.push_back(alert);
        answer(button);
    }
    void chooseFolder(const QString&, const QString&, std::function<void(std::optional<QString>)> answer) override
    {
        answer(std::nullopt);
    }
    void openUrl(const QUrl&) override { }

    std::vector<ECModuleAlert> alerts;
    int button { 0 };
};

/// What a tool's rows are on the phone: the bundle identifiers of apps, the names of the rest.
QString keyOf(const ECModuleItem& item)
{
    const QString app = item.values.value(ECAppModule::APP_ID).toString();
    const QString stream = item.values.value(ECCacheModule::STREAM_PATH).toString();
    const QString pid = item.values.value(QStringLiteral("pid")).toString();
    return !stream.isEmpty() ? stream : !app.isEmpty() ? app : pid;
}

std::set<QString> installedAppIds()
{
    std::set<QString> ids;
    const ProcessResult listed = runProcess({ "ideviceinstaller", "-l", "-o", "xml" });
    const auto document = PlistCodec::fromXml(listed.out);
    if (listed.exitCode == 0 && document && document->asArray()) {
        for (const PlistValue& app : *document->asArray()) {
            ids.insert(QString::fromStdString(app.stringForKey("CFBundleIdentifier")));
        }
    }
    return ids;
}

std::set<QString> keysOf(const ECTableViewModule& module)
{
    std::set<QString> keys;
    for (const ECModuleItem& item : module.itemList().items()) {
        keys.insert(keyOf(item));
    }
    return keys;
}

} // namespace

class ToolFlowWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void everyToolFollowsTheSameFlow_data();
    void everyToolFollowsTheSameFlow();

private:
    std::shared_ptr<AMDevice> waitForDevice(const std::string& udid);
    static bool waitFor(const std::function<bool()>& condition, std::chrono::seconds bound)
    {
        return QTest::qWaitFor(condition, int(std::chrono::milliseconds(bound).count()));
    }
    bool listed(ECTableViewModule& module);
    std::int64_t freeBytes(const std::string& udid) const { return std::int64_t(m_sim->storage(udid).at("free")); }

    std::unique_ptr<QtRunLoop> m_loop;
    std::unique_ptr<SimulatorFixture> m_sim;
    std::unique_ptr<MobileDeviceAccess> m_manager;
    MobileDeviceAccessListener m_listener;
    QTemporaryDir m_backups;
};

void ToolFlowWidgetTest::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    m_loop = std::make_unique<QtRunLoop>();
    RunLoop::setMain(m_loop.get());
}

void ToolFlowWidgetTest::cleanupTestCase()
{
    RunLoop::setMain(nullptr);
    m_loop.reset();
}

void ToolFlowWidgetTest::init()
{
    QFETCH(QString, profile);
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { profile.toStdString() });
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    m_manager = std::make_unique<MobileDeviceAccess>(MobileDevice::shared());
    m_manager->setListener(&m_listener);
}

void ToolFlowWidgetTest::cleanup()
{
    m_manager.reset();
    m_sim.reset();
}

std::shared_ptr<AMDevice> ToolFlowWidgetTest::waitForDevice(const std::string& udid)
{
    std::shared_ptr<AMDevice> found;
    waitFor(
        [&] {
            for (const auto& device : m_manager->devices()) {
                if (device->udid() == udid) {
                    found = device;
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(20));
    return found;
}

bool ToolFlowWidgetTest::listed(ECTableViewModule& module)
{
    // The listing is under way at once; wait for both queues to drain.
    return waitFor([&] { return module.moduleStatus() == ECModuleStatus::Idle && module.itemList().rowCount() > 0; },
        std::chrono::seconds(120));
}

void ToolFlowWidgetTest::everyToolFollowsTheSameFlow_data()
{
    QTest::addColumn<QString>("profile");
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("question"); // empty: the tool asks nothing
    QTest::addColumn<QString>("noun"); // how the finished line counts what went
    QTest::addColumn<bool>("unplug"); // the phone goes after the first item

    QTest::newRow("apps") << "demo"
                          << "apps"
                          << "Remove 3 apps and their documents and data?"
                          << "apps" << false;
    QTest::newRow("apps, unplugged") << "demo"
                                     << "apps"
                                     << "Remove 3 apps and their documents and data?"
                                     << "apps" << true;
    QTest::newRow("temp files") << "legacy"
                                << "caches"
                                << ""
                                << "temp files" << false;
    QTest::newRow("temp files, unplugged") << "legacy"
                                           << "caches"
                                           << ""
                                           << "temp files" << true;
    QTest::newRow("music") << "demo"
                           << "music"
                           << "Delete 3 * from the phone?"
                           << "songs and podcasts" << false;
}

void ToolFlowWidgetTest::everyToolFollowsTheSameFlow()
{
    QFETCH(QString, profile);
    QFETCH(QString, tool);
    QFETCH(QString, question);
    QFETCH(QString, noun);
    QFETCH(bool, unplug);
    const std::string udid
        = profile == QStringLiteral("legacy") ? SimulatorFixture::LEGACY_UDID : SimulatorFixture::DEMO_UDID;
    const auto device = waitForDevice(udid);
    QVERIFY(device);

    std::unique_ptr<ECTableViewModule> module;
    if (tool == QStringLiteral("apps")) {
        module = std::make_unique<ECAppModule>();
    } else if (tool == QStringLiteral("caches")) {
        module = std::make_unique<ECCacheModule>();
    } else {
        auto music = std::make_unique<ECMusicModule>();
        music->setTrackDeleterSetup([this](TrackDeleter& deleter) { deleter.setBackupRoot(m_backups.path()); });
        // Songs and podcasts of every age.
        music->setRangeIndex(8);
        module = std::move(music);
    }
    AnsweringHost host;
    module->setHost(&host);
    module->setDevice(device);
    std::unique_ptr<QWidget> view;
    if (auto* music = qobject_cast<ECMusicModule*>(module.get())) {
        view = std::make_unique<ECMusicView>(music);
    } else {
        view = std::make_unique<ECModuleView>(module.get());
    }
    view->show();
    auto* deleteButton = view->findChild<QPushButton*>(QStringLiteral("deleteButton"));
    QVERIFY(deleteButton);
    module->loadConfigView();
    QVERIFY(listed(*module));

    // Three rows chosen, the rest not.
    std::vector<std::uint64_t> all;
    std::vector<ECModuleItem> chosen;
    for (const ECModuleItem& item : module->itemListController().shownItems()) {
        all.push_back(item.id);
        if (chosen.size() < 3 && item.sizeOrZero() > 0) {
            chosen.push_back(item);
        }
    }
    QCOMPARE(int(chosen.size()), 3);
    module->itemList().setItemsChecked(all, false);
    for (const ECModuleItem& item : chosen) {
        module->itemList().setItemsChecked({ item.id }, true);
    }
    QTRY_VERIFY(deleteButton->isEnabled());
    const std::set<QString> keysBefore = keysOf(*module);

    if (!question.isEmpty()) {
        // Declined: asked, and nothing changes.
        host.button = 1;
        const std::int64_t untouched = freeBytes(udid);
        QTest::mouseClick(deleteButton, Qt::LeftButton);
        QCOMPARE(int(host.alerts.size()), 1);
        QVERIFY2(QRegularExpression(QRegularExpression::wildcardToRegularExpression(question))
                     .match(host.alerts.back().message)
                     .hasMatch(),
            qPrintable(host.alerts.back().message));
        QVERIFY(!module->deleting());
        QCOMPARE(freeBytes(udid), untouched);
        QCOMPARE(keysOf(*module), keysBefore);
        host.button = 0;
    }

    bool finished = false;
    connect(module.get(), &ECModule::deletionFinished, this, [&] { finished = true; });
    if (unplug) {
        // Each answer late, so the phone goes while the deletion is under way.
        QVERIFY(m_sim->fault(udid, { "stall", "250" }));
    }
    const std::int64_t freeBefore = freeBytes(udid);
    QTest::mouseClick(deleteButton, Qt::LeftButton);
    // Asked again, every time, and only by the tools that remove what cannot be had back.
    QCOMPARE(int(host.alerts.size()), question.isEmpty() ? 0 : 2);

    if (!unplug) {
        QVERIFY(waitFor([&] { return finished; }, std::chrono::seconds(120)));
        const std::int64_t gain = freeBytes(udid) - freeBefore;
        QVERIFY(gain > 0);
        QCOMPARE(module->lastMeasuredGain(), std::optional<std::int64_t>(gain));
        const QString line = module->statusMessage();
        QVERIFY2(
            line.startsWith(QStringLiteral("Removed 3 %1: %2 freed on the phone.").arg(noun, formattedByteCount(gain))),
            qPrintable(line));
        QCOMPARE(view->findChild<QWidget*>(QStringLiteral("statusMessageLabel"))->property("text").toString(), line);
        // What went left the list, and nothing is chosen on its own afterwards.
        QVERIFY(listed(*module));
        for (const ECModuleItem& item : chosen) {
            QVERIFY2(!keysOf(*module).count(keyOf(item)), qPrintable(item.name));
        }
        QCOMPARE(module->itemsToRemoveCount(), std::int64_t(0));
        QVERIFY(!deleteButton->isEnabled());
        return;
    }

    QVERIFY(waitFor([&] { return module->progressValue() >= 1; }, std::chrono::seconds(120)));
    QVERIFY(m_sim->detach(udid));
    QVERIFY(waitFor([&] { return m_manager->devices().empty(); }, std::chrono::seconds(20)));
    // What the application does when the module's phone goes.
    module->phoneDetached();
    QVERIFY(waitFor([&] { return finished; }, std::chrono::seconds(120)));
    const QString line = module->statusMessage();
    QVERIFY2(line.startsWith(QStringLiteral("The phone was unplugged: ")), qPrintable(line));
    QVERIFY2(line.endsWith(QStringLiteral(" Nothing else was changed.")), qPrintable(line));
    QVERIFY(!deleteButton->isEnabled());
    const int removed = line.section(QLatin1Char(' '), 4, 4).toInt();
    QVERIFY2(line.contains(QStringLiteral("%1 of 3 %2 removed.").arg(removed).arg(noun)), qPrintable(line));
    QVERIFY(removed >= 1);

    // Plugged in again: a fresh listing over new connections shows what the phone holds.
    const auto oldInstaller = module->installer();
    QVERIFY(m_sim->attach(udid));
    const auto returned = waitForDevice(udid);
    QVERIFY(returned);
    QVERIFY(m_sim->clearFaults(udid));
    module->phoneReattached(returned);
    QVERIFY(listed(*module));
    QVERIFY(module->installer() != oldInstaller);
    QVERIFY(module->statusMessage().isEmpty());
    int gone = 0;
    const std::set<QString> apps = installedAppIds();
    for (const ECModuleItem& item : chosen) {
        const auto found = std::find_if(module->itemList().items().begin(), module->itemList().items().end(),
            [&](const ECModuleItem& row) { return keyOf(row) == keyOf(item); });
        const bool shown = found != module->itemList().items().end();
        bool stillThere = shown;
        if (tool == QStringLiteral("apps")) {
            // Listed exactly when the phone still has it.
            stillThere = apps.count(keyOf(item)) > 0;
            QCOMPARE(shown, stillThere);
        } else {
            // Cleared caches list again, empty.
            QVERIFY(shown);
            stillThere = found->sizeOrZero() > 0;
        }
        gone += stillThere ? 0 : 1;
    }
    // The line counted what the phone confirmed; one more may have gone as the cable came out,
    // and the line said so.
    QVERIFY2(gone == removed || (gone == removed + 1 && line.contains(QStringLiteral("Whether 1 more went"))),
        qPrintable(QStringLiteral("%1 gone; %2").arg(gone).arg(line)));
}

QTEST_MAIN(ToolFlowWidgetTest)
#include "ToolFlowWidgetTest.moc"
