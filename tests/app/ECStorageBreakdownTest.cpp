#include "app/ECAppDelegate.h"
#include "app/ECFillBar.h"
#include "app/ECHeadingButton.h"
#include "app/ECMainWindow.h"
#include "app/ECUserDefaultsKeys.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "device/mobile_device.h"
#include "modules/ECModule.h"
#include "platform/QtRunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/support/AppTestHarness.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int DEVICE_TIMEOUT_MS = 30000;
using Category = ECStorageBreakdown::Category;

/// A tool whose deletion removes one file from the phone's media area through the module
/// framework: under the device lock, then the measured report.
class FileRemovalModule : public ECModule
{
public:
    std::string path;
    bool removed { false };

    ~FileRemovalModule() override { stopAllWork(); }

    std::int64_t itemsToRemoveCount() const override { return 1; }

    void performDeletion() override
    {
        startDeleting();
        addWorkOperation([this](const Operation&) {
            if (const DeviceLockHold held = lockDeviceForDeletion()) {
                const std::unique_ptr<AFCMediaDirectory> media = device()->newAFCMediaDirectory();
                removed = media && media->unlink(path);
            }
            postToMain([this] { showFinishedDialog(); });
        });
    }
};

} // namespace

/// The home screen's storage breakdown against torvane-simd: what the phone reports, adding up
/// to its media area, and read again when a tool has removed something.
class ECStorageBreakdownTest : public AppTestHarness
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void theCategoriesAddUpToTheArea_data();
    void theCategoriesAddUpToTheArea();
    void aDeletionRefreshesTheHomeScreen();

private:
    /// Starts the simulator with `profile` (without its music library when `withoutLibrary`) and
    /// the application, and waits for the first breakdown.
    void launch(const std::string& profile, ECModule* module, bool withoutLibrary = false);
    /// Waits until every device exchange, the music read included, has run and been applied.
    void waitForExchanges();

    /// Every breakdown the window was told about, in order.
    std::vector<std::optional<ECStorageBreakdown>> m_shown;
};

void ECStorageBreakdownTest::initTestCase()
{
    useQtMainLoop();
    qputenv("TORVANE_SIGNUP_URL", "http://127.0.0.1:9");
}

void ECStorageBreakdownTest::cleanup()
{
    closeApp();
    m_shown.clear();
}

void ECStorageBreakdownTest::launch(const std::string& profile, ECModule* module, bool withoutLibrary)
{
    freshSettings();
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { profile });
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    if (withoutLibrary) {
        // A phone whose music library was never made.
        const std::string udid = profile == "demo" ? SimulatorFixture::DEMO_UDID : SimulatorFixture::MODERN_UDID;
        std::filesystem::remove_all(m_sim->mediaRoot(udid) / "iTunes_Control" / "iTunes");
    }
    launchApp(ECAppDelegate::Modules { .messagesController = module }, [this](ECAppDelegate& controller) {
        connect(&controller, &ECAppDelegate::windowTextChanged, this,
            [this] { m_shown.push_back(m_controller->storageBreakdown()); });
    });
    QTRY_VERIFY_WITH_TIMEOUT(m_window->fillBar()->breakdown().has_value(), DEVICE_TIMEOUT_MS);
}

void ECStorageBreakdownTest::waitForExchanges()
{
    // An exchange posts its result before it leaves the queue, and applying a result may queue
    // the next exchange: settled when the queue is empty both before and after the posted
    // results have been delivered.
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->pendingDeviceExchanges() == 0
            && (QCoreApplication::processEvents(), m_controller->pendingDeviceExchanges() == 0),
        DEVICE_TIMEOUT_MS);
}

void ECStorageBreakdownTest::theCategoriesAddUpToTheArea_data()
{
    QTest::addColumn<QString>("profile");
    QTest::addColumn<QString>("udid");
    QTest::addColumn<bool>("withoutLibrary");
    // An HFS+-era phone reports apps and photos, and has a media library.
    QTest::newRow("demo") << "demo" << SimulatorFixture::DEMO_UDID << false;
    // A later phone reports neither; without a media library it reports no category at all.
    QTest::newRow("modern without library") << "modern" << SimulatorFixture::MODERN_UDID << true;
}

void ECStorageBreakdownTest::theCategoriesAddUpToTheArea()
{
    QFETCH(QString, profile);
    QFETCH(QString, udid);
    QFETCH(bool, withoutLibrary);
    launch(profile.toStdString(), new ECModule, withoutLibrary);
    // The first screen does not wait for the copy of the media library: music is "other" until
    // its total is in, and the parts add up either way.
    const auto firstShown
        = std::find_if(m_shown.begin(), m_shown.end(), [](const auto& shown) { return shown.has_value(); });
    QVERIFY(firstShown != m_shown.end());
    const ECStorageBreakdown first = **firstShown;
    QVERIFY(!first.reported(ECStorageBreakdown::Music));
    if (withoutLibrary) {
        waitForExchanges();
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(
            m_window->fillBar()->breakdown()->reported(ECStorageBreakdown::Music), DEVICE_TIMEOUT_MS);
    }
    const ECStorageBreakdown breakdown = *m_window->fillBar()->breakdown();
    // The music segment comes out of "other" of the same reading: nothing else moves.
    QCOMPARE(breakdown.bytes(ECStorageBreakdown::Other) + breakdown.bytes(ECStorageBreakdown::Music),
        first.bytes(ECStorageBreakdown::Other));
    for (const Category category : { ECStorageBreakdown::Apps, ECStorageBreakdown::Photos, ECStorageBreakdown::Free }) {
        QCOMPARE(breakdown.bytes(category), first.bytes(category));
    }
    const auto model = m_sim->storage(udid.toStdString());

    // The parts make up the media area the phone reported, free space as the phone counts it.
    std::int64_t sum = 0;
    for (int category = 0; category < ECStorageBreakdown::CATEGORY_COUNT; ++category) {
        QVERIFY(breakdown.bytes(Category(category)) >= 0);
        sum += breakdown.bytes(Category(category));
    }
    // So does every breakdown shown on the way.
    QVERIFY(!m_shown.empty());
    for (const std::optional<ECStorageBreakdown>& shown : m_shown) {
        if (shown) {
            std::int64_t shownSum = 0;
            for (int category = 0; category < ECStorageBreakdown::CATEGORY_COUNT; ++category) {
                shownSum += shown->bytes(Category(category));
            }
            QCOMPARE(shownSum, shown->totalBytes());
        }
    }
    QCOMPARE(breakdown.totalBytes(), std::int64_t(model.at("total")));
    QCOMPARE(sum, breakdown.totalBytes());
    QCOMPARE(breakdown.bytes(ECStorageBreakdown::Free), std::int64_t(model.at("free")));
    // The heading, the bar and the breakdown are one reading.
    QCOMPARE(qRound(*m_window->fillBar()->percentage()),
        qRound(100.0 * double(breakdown.usedBytes()) / double(breakdown.totalBytes())));
    const QStringList legend = m_window->fillBar()->legend();
    QVERIFY(legend.last().startsWith(QStringLiteral("Free ")));
    for (const Category category :
        { ECStorageBreakdown::Apps, ECStorageBreakdown::Photos, ECStorageBreakdown::Music }) {
        QCOMPARE(breakdown.reported(category), !withoutLibrary);
        QCOMPARE(breakdown.bytes(category) > 0, !withoutLibrary);
    }
    if (withoutLibrary) {
        // Nothing reported: all used space is "other", never a guess, and the tooltip says why.
        QCOMPARE(breakdown.bytes(ECStorageBreakdown::Other), breakdown.usedBytes());
        QCOMPARE(legend.size(), 2);
        QVERIFY(m_window->fillBar()->toolTip().contains(QStringLiteral("Apps, Photos & Videos, Music")));
    } else {
        QCOMPARE(legend.size(), 5);
        QVERIFY(m_window->fillBar()->toolTip().isEmpty());
    }
}

void ECStorageBreakdownTest::aDeletionRefreshesTheHomeScreen()
{
    auto* tool = new FileRemovalModule;
    launch("demo", tool);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->fillBar()->breakdown()->reported(ECStorageBreakdown::Music), DEVICE_TIMEOUT_MS);
    const ECStorageBreakdown before = *m_window->fillBar()->breakdown();

    // The camera roll's biggest file: its blocks come off used space and off photos.
    const std::filesystem::path media = m_sim->mediaRoot(SimulatorFixture::DEMO_UDID);
    std::filesystem::path biggest;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(media / "DCIM")) {
        if (entry.is_regular_file() && (biggest.empty() || entry.file_size() > std::filesystem::file_size(biggest))) {
            biggest = entry.path();
        }
    }
    QVERIFY(!biggest.empty());
    const auto freed = std::int64_t((std::filesystem::file_size(biggest) + 4095) / 4096 * 4096);
    QVERIFY(freed > 1'000'000);
    tool->path = "/" + biggest.lexically_relative(media).generic_string();
    tool->setDevice(m_controller->selectedDevice());

    QSignalSpy changed(tool, &ECModule::deviceSpaceChanged);
    tool->deleteButtonClicked();
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, DEVICE_TIMEOUT_MS);
    QVERIFY(tool->removed);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->fillBar()->breakdown()->usedBytes() != before.usedBytes(), DEVICE_TIMEOUT_MS);
    // The refresh reads the music total again too; its segment comes back with the same figure.
    QTRY_VERIFY_WITH_TIMEOUT(m_window->fillBar()->breakdown()->reported(ECStorageBreakdown::Music), DEVICE_TIMEOUT_MS);
    const ECStorageBreakdown after = *m_window->fillBar()->breakdown();
    QCOMPARE(after.bytes(ECStorageBreakdown::Music), before.bytes(ECStorageBreakdown::Music));
    QCOMPARE(after.usedBytes(), before.usedBytes() - freed);
    QCOMPARE(after.bytes(ECStorageBreakdown::Photos), before.bytes(ECStorageBreakdown::Photos) - freed);
    QCOMPARE(
        after.bytes(ECStorageBreakdown::Free), std::int64_t(m_sim->storage(SimulatorFixture::DEMO_UDID).at("free")));

    // Closing after the deletion says so once more; closing again without one does not.
    tool->close();
    QCOMPARE(changed.count(), 2);
    tool->close();
    QCOMPARE(changed.count(), 2);
}

QTEST_MAIN(ECStorageBreakdownTest)
#include "ECStorageBreakdownTest.moc"
