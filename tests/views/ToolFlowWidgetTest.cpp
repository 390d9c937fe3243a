// Every cleaning tool through its window on the simulated phone: the question before a removal
// the user cannot undo (and only there), the finished line with the gain the phone shows, and an
// unplugging in the middle of a deletion. Photos and fill clearing run on a small phone so each
// row takes seconds.

#include "base/PlistValue.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "modules/apps/ECAppModule.h"
#include "modules/download_cache/ECCacheModule.h"
#include "modules/fill_clearing/ECForceCacheCleanModule.h"
#include "modules/music/ECMusicModule.h"
#include "modules/photos/ECPhotoModule.h"
#include "platform/QtRunLoop.h"
#include "platform/image_capture/ICCameraDevice.h"
#include "tests/support/InstalledApps.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"
#include "views/ECModuleView.h"
#include "views/ECStripedProgressBar.h"
#include "views/fill_clearing/ECForceCacheCleanView.h"
#include "views/music/ECMusicView.h"
#include "views/photos/ECPhotoView.h"

#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>

namespace fs = std::filesystem;

namespace {

constexpr const char* SMALL_UDID = "5ca1ab1e0000000000000000000000000000f111";

/// A 9.3.5 phone with a small camera roll and a 1 GiB data volume, so a photo backup copies a
/// few megabytes and a fill run makes a few hundred megabytes of fillers by their size.
QString smallProfile(const QString& folder)
{
    const QString path = folder + QStringLiteral("/small.json");
    std::ofstream out(path.toStdString(), std::ios::trunc);
    constexpr unsigned long long MIB = 1024 * 1024;
    out << R"({ "name": "Small iPhone", "udid": ")" << SMALL_UDID << R"(",
        "productType": "iPhone8,1", "productVersion": "9.3.5", "buildVersion": "13G36",
        "deviceClass": "iPhone", "serialNumber": "F17QD3M0GRY7", "hardwareModel": "N71mAP",
        "wifiAddress": "a4:d1:8c:3d:0a:1d", "productId": 4776, "jailbroken": false,
        "diskCapacity": )"
        << 1100 * MIB << R"(, "dataCapacity": )" << 1024 * MIB << R"(, "usedBytes": )" << 700 * MIB
        << R"(, "reserveBytes": )" << 50 * MIB << R"(, "blockSize": 4096, "purgeablePoolBytes": )" << 60 * MIB
        << R"(, "purgeThresholdBytes": 150000000, "purgeTargetBytes": 200000000, "purgeStepBytes": )" << 16 * MIB
        << R"(, "purgeIntervalMs": 50,
        "content": { "seed": 4711, "userApps": 0, "fileSharingApps": 0, "developerApps": 0, "photos": 36,
                     "videos": 10, "songs": 0, "podcasts": 0, "stalledDownloads": 0, "yearsOfHistory": 3,
                     "videoSeconds": [2, 5], "photoBytes": [150000, 400000] } })";
    return path;
}

/// The camera roll as the simulator keeps it: each file's device path and bytes.
std::map<QString, QByteArray> cameraRoll(const fs::path& media)
{
    std::map<QString, QByteArray> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(media / "DCIM", error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file()) {
            QFile file(QString::fromStdString(it->path().string()));
            const QString path = QStringLiteral("/") + QString::fromStdString(fs::relative(it->path(), media).string());
            files[path] = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }
    }
    return files;
}

/// What a tool's rows are on the phone: the bundle identifiers of apps, the names of the rest.
QString keyOf(const ECModuleItem& item)
{
    const QString app = item.values.value(ECAppModule::APP_ID).toString();
    const QString stream = item.values.value(ECCacheModule::STREAM_PATH).toString();
    const QString pid = item.values.value(QStringLiteral("pid")).toString();
    return !stream.isEmpty() ? stream : !app.isEmpty() ? app : pid;
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
    /// Waits until the tool shows what the phone holds: its table, its camera roll, or (fill
    /// clearing) its start.
    bool listed(ECModule& module);
    std::int64_t freeBytes(const std::string& udid) const { return std::int64_t(m_sim->storage(udid).at("free")); }

    std::unique_ptr<QtRunLoop> m_loop;
    std::unique_ptr<SimulatorFixture> m_sim;
    std::unique_ptr<MobileDeviceAccess> m_manager;
    MobileDeviceAccessListener m_listener;
    QTemporaryDir m_backups;
    QTemporaryDir m_profiles;
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
    const QString path = profile == QStringLiteral("small") ? smallProfile(m_profiles.path()) : profile;
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { path.toStdString() });
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
    waitFor([&] { return (found = m_manager->device(udid)) != nullptr; }, std::chrono::seconds(20));
    return found;
}

bool ToolFlowWidgetTest::listed(ECModule& module)
{
    if (auto* photos = qobject_cast<ECPhotoModule*>(&module)) {
        // The camera roll read, with the videos' lengths the age choice needs.
        return waitFor(
            [&] {
                return photos->interfaceEnabled() && photos->cameraDevice() && photos->cameraDevice()->durationsRead()
                    && photos->statusText() != ECPhotoModule::WAITING_TEXT;
            },
            std::chrono::seconds(120));
    }
    if (auto* fill = qobject_cast<ECForceCacheCleanModule*>(&module)) {
        // Fillers an earlier run left are cleared first.
        return waitFor([&] { return fill->pendingWork() == 0; }, std::chrono::seconds(120));
    }
    auto* table = qobject_cast<ECTableViewModule*>(&module);
    // The listing is under way at once; wait for both queues to drain.
    return table
        && waitFor([&] { return table->moduleStatus() == ECModuleStatus::Idle && table->itemList().rowCount() > 0; },
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
                           << "songs" << false; // the three chosen are songs
    // Only verified copies are removed, so nothing is asked.
    QTest::newRow("photos") << "small"
                            << "photos"
                            << ""
                            << "files" << false;
    QTest::newRow("photos, unplugged") << "small"
                                       << "photos"
                                       << ""
                                       << "files" << true;
    // Fillers and the caches the phone drops itself: nothing is asked, nothing is counted. Its
    // whole run is FillClearingWidgetTest's, on the demo phone: on this small one a busy machine
    // lets the fill reach the phone's floor before it purges, and the run ends as refused.
    QTest::newRow("fill clearing, unplugged") << "small"
                                              << "fill"
                                              << ""
                                              << "" << true;
}

void ToolFlowWidgetTest::everyToolFollowsTheSameFlow()
{
    QFETCH(QString, profile);
    QFETCH(QString, tool);
    QFETCH(QString, question);
    QFETCH(QString, noun);
    QFETCH(bool, unplug);
    const std::string udid = profile == QStringLiteral("legacy") ? SimulatorFixture::LEGACY_UDID
        : profile == QStringLiteral("small")                     ? std::string(SMALL_UDID)
                                                                 : SimulatorFixture::DEMO_UDID;
    const auto device = waitForDevice(udid);
    QVERIFY(device);
    const fs::path media = m_sim->mediaRoot(udid);

    std::unique_ptr<ECModule> module;
    // At most one of these is set: the tool's own hooks.
    ECTableViewModule* table = nullptr;
    ECPhotoModule* photos = nullptr;
    ECForceCacheCleanModule* fill = nullptr;
    // Each photo run backs up into a folder of its own.
    QTemporaryDir photoBackups;
    if (tool == QStringLiteral("apps")) {
        module = std::make_unique<ECAppModule>();
    } else if (tool == QStringLiteral("caches")) {
        module = std::make_unique<ECCacheModule>();
    } else if (tool == QStringLiteral("music")) {
        auto music = std::make_unique<ECMusicModule>();
        music->setTrackDeleterSetup([this](TrackDeleter& deleter) { deleter.setBackupRoot(m_backups.path()); });
        // Songs and podcasts of every age.
        music->setRangeIndex(8);
        module = std::move(music);
    } else if (tool == QStringLiteral("photos")) {
        auto camera = std::make_unique<ECPhotoModule>();
        camera->addDestination(photoBackups.path());
        camera->setTimeRangeIndex(0); // "2 Years": some of the roll, not all
        photos = camera.get();
        module = std::move(camera);
    } else {
        auto filler = std::make_unique<ECForceCacheCleanModule>();
        fill = filler.get();
        module = std::move(filler);
    }
    table = qobject_cast<ECTableViewModule*>(module.get());
    RecordingHost host;
    module->setHost(&host);
    module->setDevice(device);
    std::unique_ptr<QWidget> view;
    if (auto* music = qobject_cast<ECMusicModule*>(module.get())) {
        view = std::make_unique<ECMusicView>(music);
    } else if (photos) {
        view = std::make_unique<ECPhotoView>(photos);
    } else if (fill) {
        view = std::make_unique<ECForceCacheCleanView>(fill);
    } else {
        view = std::make_unique<ECModuleView>(module.get());
    }
    view->show();
    auto* deleteButton
        = view->findChild<QPushButton*>(fill ? QStringLiteral("startCleaningButton") : QStringLiteral("deleteButton"));
    QVERIFY(deleteButton);
    module->loadConfigView();
    QVERIFY(listed(*module));

    // What the deletion removes: three rows of a table, or the photos older than the age chosen.
    // Fill clearing removes nothing the user picks.
    std::vector<ECModuleItem> chosen;
    const std::map<QString, QByteArray> rollBefore = cameraRoll(media);
    std::map<QString, QByteArray> chosenPhotos;
    std::int64_t count = 0;
    if (table) {
        std::vector<std::uint64_t> all;
        for (const ECModuleItem& item : table->itemListController().shownItems()) {
            all.push_back(item.id);
            if (chosen.size() < 3 && item.sizeOrZero() > 0) {
                chosen.push_back(item);
            }
        }
        QCOMPARE(int(chosen.size()), 3);
        table->itemList().setItemsChecked(all, false);
        for (const ECModuleItem& item : chosen) {
            table->itemList().setItemsChecked({ item.id }, true);
        }
        count = 3;
    } else if (photos) {
        for (const ICCameraFile& file : photos->itemsToRemove()) {
            const QString path = QString::fromStdString(file.devicePath);
            QVERIFY2(rollBefore.count(path), qPrintable(path));
            chosenPhotos[path] = rollBefore.at(path);
        }
        count = std::int64_t(chosenPhotos.size());
        std::int64_t chosenBytes = 0;
        for (const auto& entry : chosenPhotos) {
            chosenBytes += entry.second.size();
        }
        // The line under the choices counts what the simulator holds.
        QCOMPARE(photos->statusText(), QStringLiteral("%1 files, %2").arg(count).arg(formattedByteCount(chosenBytes)));
        QVERIFY2(count >= 3 && std::size_t(count) < rollBefore.size(), qPrintable(QString::number(count)));
        QCOMPARE(module->itemsToRemoveCount(), count);
    }
    QTRY_VERIFY(deleteButton->isEnabled());
    const std::set<QString> keysBefore = table ? keysOf(*table) : std::set<QString>();

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
        QVERIFY(table);
        QCOMPARE(keysOf(*table), keysBefore);
        host.button = 0;
    }

    bool finished = false;
    connect(module.get(), &ECModule::deletionFinished, this, [&] { finished = true; });
    if (fill) {
        // A fill run reports through its own dialog and ends with runEnded().
        connect(fill, &ECForceCacheCleanModule::runEnded, this, [&] { finished = true; });
    }
    if (unplug) {
        // Each answer late, so the phone goes while the deletion is under way.
        QVERIFY(m_sim->fault(udid, { "stall", "250" }));
    }
    const std::int64_t freeBefore = freeBytes(udid);
    QTest::mouseClick(deleteButton, Qt::LeftButton);
    // Asked again, every time, and only by the tools that remove what cannot be had back.
    QCOMPARE(int(host.alerts.size()), question.isEmpty() ? 0 : 2);

    if (!unplug) {
        QVERIFY(waitFor([&] { return finished; }, std::chrono::seconds(240)));
        const std::int64_t gain = freeBytes(udid) - freeBefore;
        QVERIFY(gain > 0);
        const QString line = module->statusMessage();
        QCOMPARE(view->findChild<QWidget*>(QStringLiteral("statusMessageLabel"))->property("text").toString(), line);
        QCOMPARE(module->lastMeasuredGain(), std::optional<std::int64_t>(gain));
        QVERIFY2(
            line.startsWith(
                QStringLiteral("Removed %1 %2: %3 freed on the phone.").arg(count).arg(noun, formattedByteCount(gain))),
            qPrintable(line));
        if (table) {
            // What went left the list, and nothing is chosen on its own afterwards.
            QVERIFY(listed(*module));
            for (const ECModuleItem& item : chosen) {
                QVERIFY2(!keysOf(*table).count(keyOf(item)), qPrintable(item.name));
            }
        } else {
            // Each chosen photo left the phone with a copy byte for byte; the younger ones stay.
            const auto rollAfter = cameraRoll(media);
            for (const auto& [path, bytes] : chosenPhotos) {
                QVERIFY2(!rollAfter.count(path), qPrintable(path));
                QFile copy(photoBackups.path() + QStringLiteral("/Torvane Backup/") + QFileInfo(path).fileName());
                QVERIFY2(copy.open(QIODevice::ReadOnly) && copy.readAll() == bytes, qPrintable(path));
            }
            QCOMPARE(rollAfter.size() + chosenPhotos.size(), rollBefore.size());
        }
        QCOMPARE(module->itemsToRemoveCount(), std::int64_t(0));
        QVERIFY(!deleteButton->isEnabled());
        return;
    }

    // After the first item (fill clearing: its first fillers).
    QVERIFY(waitFor(
        [&] {
            return photos ? photos->nFilesToDelete() < std::size_t(count)
                : fill    ? fillerCount(media / "Torvane") >= 2
                          : module->progressValue() >= 1;
        },
        std::chrono::seconds(120)));
    QVERIFY(m_sim->detach(udid));
    QVERIFY(waitFor([&] { return m_manager->devices().empty(); }, std::chrono::seconds(20)));
    // What the application does when the module's phone goes.
    module->phoneDetached();
    QVERIFY(waitFor([&] { return finished; }, std::chrono::seconds(120)));
    if (fill) {
        // Said as every tool says it, in the status line alone: the fillers stay on the phone until
        // it is back, when they go.
        QVERIFY(fill->lastOutcome());
        QCOMPARE(fill->lastOutcome()->ending, ECFillEnding::Disconnected);
        QCOMPARE(module->statusMessage(),
            QStringLiteral("The phone was unplugged: clearing stopped before it finished, and it keeps the temporary "
                           "files Torvane made until it is plugged in again."));
        QVERIFY(host.alerts.empty());
        QCOMPARE(view->findChild<QWidget*>(QStringLiteral("statusMessageLabel"))->property("text").toString(),
            module->statusMessage());
        QVERIFY(!deleteButton->isEnabled());
        QVERIFY(fillerCount(media / "Torvane") > 0);
        QVERIFY(m_sim->attach(udid));
        const auto returned = waitForDevice(udid);
        QVERIFY(returned);
        QVERIFY(m_sim->clearFaults(udid));
        // What the application does when a phone is attached, and when it is the module's own.
        fill->deviceAttached(returned);
        module->phoneReattached(returned);
        QVERIFY(listed(*module));
        QCOMPARE(fillerCount(media / "Torvane"), std::size_t(0));
        QVERIFY(module->statusMessage().isEmpty());
        QTRY_VERIFY(deleteButton->isEnabled());
        return;
    }
    const QString line = module->statusMessage();
    QVERIFY2(line.startsWith(QStringLiteral("The phone was unplugged: ")), qPrintable(line));
    QVERIFY2(line.endsWith(QStringLiteral(" Nothing else was changed.")), qPrintable(line));
    QVERIFY(!deleteButton->isEnabled());
    const int removed = line.section(QLatin1Char(' '), 4, 4).toInt();
    QVERIFY2(line.contains(QStringLiteral("%1 of %2 %3 removed.").arg(removed).arg(count).arg(noun)), qPrintable(line));
    QVERIFY(removed >= 1);

    // Plugged in again: a fresh listing over new connections shows what the phone holds.
    const auto oldInstaller = table ? table->installer() : nullptr;
    QVERIFY(m_sim->attach(udid));
    const auto returned = waitForDevice(udid);
    QVERIFY(returned);
    QVERIFY(m_sim->clearFaults(udid));
    module->phoneReattached(returned);
    QVERIFY(listed(*module));
    QVERIFY(module->statusMessage().isEmpty());
    int gone = 0;
    if (table) {
        QVERIFY(table->installer() != oldInstaller);
        const auto apps = installedApps();
        for (const ECModuleItem& item : chosen) {
            const auto found = std::find_if(table->itemList().items().begin(), table->itemList().items().end(),
                [&](const ECModuleItem& row) { return keyOf(row) == keyOf(item); });
            const bool shown = found != table->itemList().items().end();
            bool stillThere = shown;
            if (tool == QStringLiteral("apps")) {
                // Listed exactly when the phone still has it.
                stillThere = apps.count(keyOf(item).toStdString()) > 0;
                QCOMPARE(shown, stillThere);
            } else {
                // Cleared caches list again, empty.
                QVERIFY(shown);
                stillThere = found->sizeOrZero() > 0;
            }
            gone += stillThere ? 0 : 1;
        }
    } else {
        QCOMPARE(photos->cameraDevice()->device(), returned);
        std::set<QString> selection;
        for (const ICCameraFile& file : photos->itemsToRemove()) {
            selection.insert(QString::fromStdString(file.devicePath));
        }
        // Chosen again exactly when the phone still has it; what went has its copy.
        const auto rollAfter = cameraRoll(media);
        for (const auto& [path, bytes] : chosenPhotos) {
            const bool stillThere = rollAfter.count(path) > 0;
            QCOMPARE(selection.count(path) > 0, stillThere);
            if (!stillThere) {
                QFile copy(photoBackups.path() + QStringLiteral("/Torvane Backup/") + QFileInfo(path).fileName());
                QVERIFY2(copy.open(QIODevice::ReadOnly) && copy.readAll() == bytes, qPrintable(path));
            }
            gone += stillThere ? 0 : 1;
        }
    }
    // The line counted what the phone confirmed; those under way as the cable came out (one per
    // download running side by side) may have gone too, and the line said how many.
    const QRegularExpressionMatch undecided
        = QRegularExpression(QStringLiteral("Whether (\\d+) more went")).match(line);
    const int mayHaveGone = undecided.hasMatch() ? undecided.captured(1).toInt() : 0;
    QVERIFY2(gone >= removed && gone <= removed + mayHaveGone,
        qPrintable(QStringLiteral("%1 gone; %2").arg(gone).arg(line)));
}

QTEST_MAIN(ToolFlowWidgetTest)
#include "ToolFlowWidgetTest.moc"
