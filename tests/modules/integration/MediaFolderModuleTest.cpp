#include "base/RunLoop.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "modules/ECModuleEventSink.h"
#include "modules/ECTableViewModule.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QLocale>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>

namespace {

constexpr const char* FOLDER = "/ModuleTest";

/// A minimal real tool: lists the files of one folder of the media area over AFC, sizes them,
/// and deletes them, the way the cleaning tools use the table module.
class MediaFolderModule : public ECTableViewModule
{
public:
    ~MediaFolderModule() override { stopAllWork(); }

    std::vector<ECModuleItem> items() override
    {
        std::vector<ECModuleItem> result;
        const auto current = device();
        auto media = current ? current->newAFCMediaDirectory() : nullptr;
        if (!media) {
            return result;
        }
        const auto names = media->directoryContents(std::string(FOLDER));
        for (const auto& name : names.value_or(std::vector<std::string>())) {
            ECModuleItem item;
            item.name = QString::fromStdString(name);
            item.values.insert(QStringLiteral("path"), QString::fromStdString(std::string(FOLDER) + "/" + name));
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
        if (const auto size = scan.find("size"); size != scan.end() && size->second.toInt64()) {
            result.size = *size->second.toInt64();
            // One bar per started megabyte, so the biggest file ranks first.
            result.rank = QString(int(std::min<std::int64_t>(18, *result.size / 1'000'000 + 1)), QLatin1Char('|'));
        }
        if (const auto date = scan.find("date"); date != scan.end() && date->second.toDate()) {
            result.date = QDateTime::fromMSecsSinceEpoch(date->second.toDate()->microsecondsSince1970 / 1000, Qt::UTC);
        }
        return result;
    }

    ECItemDeletion deleteItem(const ECModuleItem& item) override
    {
        const auto current = device();
        auto media = current ? current->newAFCMediaDirectory() : nullptr;
        if (media && media->unlink(pathOf(item))) {
            return ECItemDeletion::removed();
        }
        ++failures;
        return ECItemDeletion::failed(QStringLiteral("the phone refused"));
    }

    void showFinishedDialog() override
    {
        ECTableViewModule::showFinishedDialog();
        ++finished;
    }

    std::atomic<int> failures { 0 };
    int finished { 0 };

private:
    static std::string pathOf(const ECModuleItem& item)
    {
        return item.values.value(QStringLiteral("path")).toString().toStdString();
    }
};

struct Sink : ECModuleEventSink
{
    void logUsedModule(const QString& name, std::int64_t space) override { used.emplace_back(name, space); }
    void trackEvent(const QString& name, const QVariantMap&) override { tracked.push_back(name); }
    std::vector<std::pair<QString, std::int64_t>> used;
    std::vector<QString> tracked;
};

class MediaFolderModuleTest : public testing::Test
{
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        RunLoop::setMain(&loop);
        const auto folder = sim.mediaRoot(SimulatorFixture::DEMO_UDID) / "ModuleTest";
        std::filesystem::create_directories(folder);
        writeFile(folder / "big.mov", 3'000'000);
        writeFile(folder / "middle.jpg", 1'500'000);
        writeFile(folder / u8"Fotó 日本.txt", 4'000);
        ASSERT_TRUE(sim.start()) << sim.lastError();
        manager = std::make_unique<MobileDeviceAccess>(MobileDevice::shared());
        manager->setListener(&listener);
        ASSERT_TRUE(manager->isSubscribed());
        ASSERT_TRUE(loop.runUntil([&] { return !manager->devices().empty(); }, std::chrono::seconds(20)));
        module.setDevice(manager->devices().front());
        module.setEventSink(&sink);
    }
    void TearDown() override
    {
        module.setDevice(nullptr);
        manager.reset();
        RunLoop::setMain(nullptr);
    }

    static void writeFile(const std::filesystem::path& path, std::size_t size)
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(size, 'x');
    }

    bool pumpUntil(const std::function<bool()>& condition)
    {
        return loop.runUntil(condition, std::chrono::seconds(20));
    }

    void listAndWait()
    {
        bool listed = false;
        QObject::connect(&module, &ECTableViewModule::sortChanged, [&] { listed = true; });
        module.loadConfigView();
        ASSERT_TRUE(pumpUntil([&] { return listed && module.moduleStatus() == ECModuleStatus::Idle; }));
    }

    std::vector<QString> shownNames() const
    {
        std::vector<QString> names;
        for (const auto& item : module.itemListController().shownItems()) {
            names.push_back(item.name);
        }
        return names;
    }

    PlainRunLoop loop;
    SimulatorFixture sim { { "demo" } };
    MobileDeviceAccessListener listener;
    std::unique_ptr<MobileDeviceAccess> manager;
    Sink sink;
    MediaFolderModule module;
};

TEST_F(MediaFolderModuleTest, ListsScansAndDeletesOnTheSimulatedPhone)
{
    listAndWait();
    EXPECT_EQ(shownNames(), (std::vector<QString> { "big.mov", "middle.jpg", QStringLiteral(u"Fotó 日本.txt") }));
    for (const auto& item : module.itemList().items()) {
        ASSERT_TRUE(item.size.has_value()) << item.name.toStdString();
        ASSERT_TRUE(item.date.has_value());
    }
    EXPECT_EQ(module.itemListController().shownItemAt(0).size, 3'000'000);

    // Check the big one and the non-ASCII one from the table.
    module.checkSelected({ 0, 2 });
    EXPECT_EQ(module.progressDisplay().deleteTitle, QStringLiteral("Remove 2 selected"));
    EXPECT_EQ(module.progressDisplay().label, QStringLiteral("3.0 MB selected"));

    module.deleteChecked();
    ASSERT_TRUE(pumpUntil([&] { return module.finished == 1; }));
    ASSERT_TRUE(pumpUntil([&] { return module.pendingMeasurements() == 0; }));
    loop.processPending();

    EXPECT_EQ(shownNames(), (std::vector<QString> { "middle.jpg" }));
    const auto folder = sim.mediaRoot(SimulatorFixture::DEMO_UDID) / "ModuleTest";
    EXPECT_FALSE(std::filesystem::exists(folder / "big.mov"));
    EXPECT_FALSE(std::filesystem::exists(folder / u8"Fotó 日本.txt"));
    EXPECT_TRUE(std::filesystem::exists(folder / "middle.jpg"));
    // The free space was read from the phone's media area before the deletion.
    EXPECT_GT(module.freeBytesBeforeDeleting(), 0);
    ASSERT_EQ(sink.used.size(), 1u);
    EXPECT_EQ(sink.used[0].second, 3'004'000);
    EXPECT_EQ(module.progressDisplay().cancelTitle, QStringLiteral("Done"));
}

}
