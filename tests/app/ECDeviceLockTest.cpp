#include "app/ECDeviceSelection.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"
#include "device/mobile_device.h"
#include "modules/ECTableViewModule.h"
#include "platform/QtRunLoop.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QTest>

#include <filesystem>
#include <fstream>
#include <future>

namespace {

constexpr int TIMEOUT_MS = 20'000;

/// A real tool over one folder of the media area that, like the shipped ones, lists and scans
/// holding the device lock, and deletes inside the table module's deletion loop.
class FolderModule : public ECTableViewModule
{
public:
    explicit FolderModule(std::string folder)
        : m_folder(std::move(folder))
    {
    }
    ~FolderModule() override { stopAllWork(); }

    std::vector<ECModuleItem> items() override
    {
        std::vector<ECModuleItem> result;
        const auto current = device();
        const DeviceLockHold held = lockDevice(current);
        auto media = current && held ? current->newAFCMediaDirectory() : nullptr;
        if (!media) {
            return result;
        }
        for (const auto& name : media->directoryContents(m_folder).value_or(std::vector<std::string>())) {
            ECModuleItem item;
            item.name = QString::fromStdString(name);
            item.values.insert(QStringLiteral("path"), QString::fromStdString(m_folder + "/" + name));
            result.push_back(std::move(item));
        }
        return result;
    }

    ECItemScanResult scanItem(const ECModuleItem& item) override
    {
        ECItemScanResult result;
        const auto current = device();
        const DeviceLockHold held = lockDevice(current);
        auto media = current && held ? current->newAFCMediaDirectory() : nullptr;
        if (!media) {
            return result;
        }
        const PlistDictionary scan = AFCTreeOperations(*media).scanPath(pathOf(item));
        if (const auto size = scan.find("size"); size != scan.end()) {
            result.size = size->second.toInt64();
        }
        return result;
    }

    ECItemDeletion deleteItem(const ECModuleItem& item) override
    {
        const auto current = device();
        auto media = current ? current->newAFCMediaDirectory() : nullptr;
        if (media && media->unlink(pathOf(item))) {
            ++waitingForMain;
            removeItemWaiting(item.id); // holds the device lock until the main thread answers
            return ECItemDeletion::removed();
        }
        return ECItemDeletion::failed(QStringLiteral("the phone refused"));
    }

    void showFinishedDialog() override
    {
        ECTableViewModule::showFinishedDialog();
        ++finished;
    }

    std::atomic<int> waitingForMain { 0 };
    int finished { 0 };

private:
    static std::string pathOf(const ECModuleItem& item)
    {
        return item.values.value(QStringLiteral("path")).toString().toStdString();
    }

    std::string m_folder;
};

} // namespace

class ECDeviceLockTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void modulesAndControllerTakeTurnsOnOneLock();
    void quittingWakesAProbeBehindADeletionWaitingForTheMainThread();
    void aModuleWithTheObjectFromBeforeTryAgainAndTheControllerTakeTurns();

private:
    static void writeFile(const std::filesystem::path& path, std::size_t size)
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(size, 'x');
    }
    /// Waits until both modules listed and scanned everything.
    static bool listed(FolderModule& module, int rows)
    {
        if (module.moduleStatus() != ECModuleStatus::Idle || module.itemList().rowCount() != rows) {
            return false;
        }
        const auto items = module.itemList().items();
        return std::all_of(items.begin(), items.end(), [](const ECModuleItem& item) { return item.size.has_value(); });
    }

    std::unique_ptr<SimulatorFixture> m_sim;
    std::unique_ptr<QtRunLoop> m_mainLoop;
    std::unique_ptr<FolderModule> m_first;
    std::unique_ptr<FolderModule> m_second;
    std::unique_ptr<ECDeviceSelection> m_selection;
    std::shared_ptr<AMDevice> m_device;
};

void ECDeviceLockTest::initTestCase()
{
    m_sim = std::make_unique<SimulatorFixture>();
    for (const char* folder : { "LockFirst", "LockSecond" }) {
        const auto path = m_sim->mediaRoot(SimulatorFixture::DEMO_UDID) / folder;
        std::filesystem::create_directories(path);
        writeFile(path / "a.bin", 100'000);
        writeFile(path / "b.bin", 200'000);
        writeFile(path / "c.bin", 300'000);
    }
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    m_mainLoop = std::make_unique<QtRunLoop>();
    RunLoop::setMain(m_mainLoop.get());
}

void ECDeviceLockTest::cleanupTestCase()
{
    RunLoop::setMain(nullptr);
    m_mainLoop.reset();
    m_sim.reset();
}

void ECDeviceLockTest::init()
{
    m_first = std::make_unique<FolderModule>("/LockFirst");
    m_second = std::make_unique<FolderModule>("/LockSecond");
    ECModules modules;
    modules.appsController = m_first.get();
    modules.cachesController = m_second.get();
    m_selection = std::make_unique<ECDeviceSelection>(MobileDevice::shared(), modules);
    // The controller finds the phone, looks at it and selects it.
    QTRY_VERIFY_WITH_TIMEOUT(m_selection->selectedDevice() && m_selection->pendingDeviceExchanges() == 0, TIMEOUT_MS);
    m_device = m_selection->selectedDevice();
    m_first->setDevice(m_device);
    m_second->setDevice(m_device);
}

void ECDeviceLockTest::cleanup()
{
    m_first.reset();
    m_second.reset();
    m_selection.reset();
    m_device.reset();
}

void ECDeviceLockTest::modulesAndControllerTakeTurnsOnOneLock()
{
    AMDeviceLock& lock = m_device->deviceLock();
    const AMDeviceLock::Statistics before = lock.statistics();
    std::optional<ECDeviceReport> refreshed;
    connect(m_selection.get(), &ECDeviceSelection::selectionRefreshed, this,
        [&](const ECDeviceReport& report) { refreshed = report; });

    // The test talks to the phone first, holding the lock with a connection open: anyone who
    // talked now without the lock would be a second connection.
    lock.lock();
    QVERIFY(m_device->deviceConnect());
    m_first->loadConfigView();
    m_second->loadConfigView();
    m_selection->refreshSelected();
    // Both modules and the controller line up behind us, while the main thread goes on serving
    // the modules' listings (QTRY runs its events).
    QTRY_VERIFY_WITH_TIMEOUT(lock.statistics().waiting == 3, TIMEOUT_MS);
    QCOMPARE(m_device->maxConcurrentConnections(), 1);
    QVERIFY(m_device->deviceDisconnect());
    lock.unlock();

    QTRY_VERIFY_WITH_TIMEOUT(listed(*m_first, 3) && listed(*m_second, 3) && refreshed, TIMEOUT_MS);
    QVERIFY(refreshed->usable());
    for (FolderModule* module : { m_first.get(), m_second.get() }) {
        std::int64_t total = 0;
        for (const auto& item : module->itemList().items()) {
            total += item.size.value_or(0);
        }
        QCOMPARE(total, 600'000);
    }
    // Every exchange happened alone, and all of them went through this one lock: each module's
    // set-up, listing and three scans, the controller's look and the test's own turn.
    QCOMPARE(m_device->maxConcurrentConnections(), 1);
    const AMDeviceLock::Statistics after = lock.statistics();
    QVERIFY(after.acquisitions - before.acquisitions >= 2 * (1 + 1 + 3) + 1 + 1);
    QVERIFY(after.contended - before.contended >= 3);
    QCOMPARE(after.waiting, std::size_t(0));
}

void ECDeviceLockTest::quittingWakesAProbeBehindADeletionWaitingForTheMainThread()
{
    m_first->loadConfigView();
    QTRY_VERIFY_WITH_TIMEOUT(listed(*m_first, 3), TIMEOUT_MS);
    m_first->checkSelected({ 0 });
    m_first->deleteChecked();
    // The deletion loop removed the file and now holds the device lock while it waits for this
    // thread, which does not serve it yet.
    QVERIFY(waitUntil([&] { return m_first->waitingForMain.load() == 1; }, std::chrono::milliseconds(TIMEOUT_MS)));
    AMDeviceLock& lock = m_device->deviceLock();
    m_selection->refreshSelected();
    QVERIFY(lock.waitForWaiters(1, std::chrono::milliseconds(TIMEOUT_MS)));

    // Quitting waits for the controller's exchanges; the one behind the lock must give up.
    // Called elsewhere so that a hang fails the test instead of blocking it for good.
    auto quit = std::async(std::launch::async, [&] { m_selection->applicationWillTerminate(); });
    const bool returned = quit.wait_for(std::chrono::milliseconds(TIMEOUT_MS)) == std::future_status::ready;
    // Serving the deletion now ends the wait either way.
    QTRY_VERIFY_WITH_TIMEOUT(m_first->finished == 1 && m_first->pendingMeasurements() == 0, TIMEOUT_MS);
    quit.wait();
    QVERIFY2(returned, "quitting waited for a deletion that waited for the main thread");
    QCOMPARE(m_selection->pendingDeviceExchanges(), std::size_t(0));
    QCOMPARE(m_first->itemList().rowCount(), 2);
    QCOMPARE(lock.statistics().waiting, std::size_t(0));
}

void ECDeviceLockTest::aModuleWithTheObjectFromBeforeTryAgainAndTheControllerTakeTurns()
{
    // The module (its folder untouched by the other cases) keeps the object it was given; "Try Again" makes the
    // controller a new manager, whose object for the same phone shares the library's one lockdown connection with it.
    const std::shared_ptr<AMDevice> old = m_device;
    AMDeviceLock& lock = old->deviceLock();

    // The module's object mid-exchange: neither the new manager nor the module may talk now.
    lock.lock();
    QVERIFY(old->deviceConnect());
    m_selection->replaceDeviceAccess();
    m_second->loadConfigView();
    QTRY_VERIFY_WITH_TIMEOUT(lock.statistics().waiting >= 2, TIMEOUT_MS);
    // Our connection is still ours: nobody closed it behind our back.
    const auto name = old->deviceValueForKey("DeviceName");
    QVERIFY(name && name->isString());
    QVERIFY(old->deviceDisconnect());
    lock.unlock();

    QTRY_VERIFY_WITH_TIMEOUT(listed(*m_second, 3), TIMEOUT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(m_selection->selectedDevice() && m_selection->selectedDevice() != old
            && m_selection->pendingDeviceExchanges() == 0,
        TIMEOUT_MS);
    const std::shared_ptr<AMDevice> fresh = m_selection->selectedDevice();
    QCOMPARE(&fresh->deviceLock(), &lock);

    // And the other way round: the controller's new object holds it, the module waits.
    fresh->deviceLock().lock();
    QVERIFY(fresh->deviceConnect());
    m_second->loadConfigView();
    m_selection->refreshSelected();
    QTRY_VERIFY_WITH_TIMEOUT(lock.statistics().waiting >= 2, TIMEOUT_MS);
    QVERIFY(fresh->deviceValueForKey("DeviceName"));
    QVERIFY(fresh->deviceDisconnect());
    fresh->deviceLock().unlock();
    QTRY_VERIFY_WITH_TIMEOUT(listed(*m_second, 3) && m_selection->pendingDeviceExchanges() == 0, TIMEOUT_MS);
    QCOMPARE(old->maxConcurrentConnections(), 1);
    QCOMPARE(fresh->maxConcurrentConnections(), 1);
    QCOMPARE(lock.statistics().waiting, std::size_t(0));
}

QTEST_MAIN(ECDeviceLockTest)
#include "ECDeviceLockTest.moc"
