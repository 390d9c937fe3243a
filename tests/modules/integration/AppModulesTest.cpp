#include "base/Log.h"
#include "base/PlistValue.h"
#include "base/RunLoop.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "modules/ECModuleEventSink.h"
#include "modules/apps/ECAppModule.h"
#include "modules/download_cache/ECCacheModule.h"
#include "platform/ECAppSizeFetcher.h"
#include "tests/support/InstalledApps.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QLocale>
#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

struct Sink : ECModuleEventSink
{
    void logUsedModule(const QString& name, std::int64_t space) override { used.emplace_back(name, space); }
    void trackEvent(const QString&, const QVariantMap&) override { }
    std::vector<std::pair<QString, std::int64_t>> used;
};

/// An app module that counts its finished runs.
template <typename Module> class CountingModule : public Module
{
public:
    using Module::Module;
    ~CountingModule() override { this->stopAllWork(); }

    void showFinishedDialog() override
    {
        Module::showFinishedDialog();
        ++finished;
    }

    int finished { 0 };
};

class AppModulesTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "modules_integration_tests";
            static char* argv[] = { name, nullptr };
            new QCoreApplication(argc, argv);
        }
    }

    void start(const char* profile, const std::function<void()>& beforeAttach = {})
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        RunLoop::setMain(&loop);
        sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { profile });
        ASSERT_TRUE(sim->start()) << sim->lastError();
        if (beforeAttach) {
            beforeAttach();
        }
        manager = std::make_unique<MobileDeviceAccess>(MobileDevice::shared());
        manager->setListener(&listener);
        ASSERT_TRUE(loop.runUntil([&] { return !manager->devices().empty(); }, std::chrono::seconds(20)));
        fetcher = std::make_unique<ECAppSizeFetcher>(
            cacheFolder.path() + QStringLiteral("/AppSizes.plist"), QUrl(QString::fromStdString(store.baseUrl())));
    }

    void TearDown() override
    {
        manager.reset();
        RunLoop::setMain(nullptr);
    }

    bool pumpUntil(const std::function<bool()>& condition, std::chrono::seconds timeout = std::chrono::seconds(60))
    {
        return loop.runUntil(condition, timeout);
    }

    void listAndWait(ECTableViewModule& module)
    {
        bool listed = false;
        const auto connection = QObject::connect(&module, &ECTableViewModule::sortChanged, [&] { listed = true; });
        module.loadConfigView();
        ASSERT_TRUE(pumpUntil([&] { return listed && module.moduleStatus() == ECModuleStatus::Idle; }));
        QObject::disconnect(connection);
    }

    template <typename Module> void deleteAndWait(CountingModule<Module>& module)
    {
        const int before = module.finished;
        module.deleteChecked();
        ASSERT_TRUE(pumpUntil([&] { return module.finished == before + 1; }));
        ASSERT_TRUE(pumpUntil([&] { return module.pendingMeasurements() == 0; }));
        loop.processPending();
    }

    static std::set<QString> shownAppIds(const ECTableViewModule& module)
    {
        std::set<QString> ids;
        for (const auto& item : module.itemList().items()) {
            ids.insert(item.values.value(ECAppModule::APP_ID).toString());
        }
        return ids;
    }

    std::uint64_t freeBytes(const char* udid) const { return sim->storage(udid).at("free"); }

    PlainRunLoop loop;
    QTemporaryDir cacheFolder;
    // The app store as far as these tests know it: one app has a download size, others are unknown.
    std::string knownApp;
    LocalHttpServer store { [this](const std::string& target) {
        if (target.rfind("/lookup", 0) == 0) {
            return LocalHttpServer::Reply { true, 200,
                LocalHttpServer::lookupReply(target, [this](const std::string& id) -> std::optional<long long> {
                    return id == knownApp ? std::optional<long long>(123'456'789) : std::nullopt;
                }) };
        }
        if (target.rfind("/art/", 0) == 0) {
            QImage picture(40, 40, QImage::Format_RGB32);
            picture.fill(Qt::darkCyan);
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            picture.save(&buffer, "PNG");
            return LocalHttpServer::Reply { true, 200, png.toStdString() };
        }
        return LocalHttpServer::Reply { true, 200, R"({"resultCount":0,"results":[]})" };
    } };
    std::unique_ptr<SimulatorFixture> sim;
    MobileDeviceAccessListener listener;
    std::unique_ptr<MobileDeviceAccess> manager;
    std::unique_ptr<ECAppSizeFetcher> fetcher;
    Sink sink;
};

TEST_F(AppModulesTest, DemoPhoneListsSizesFromUsageFiguresAndRemovesTwoApps)
{
    start("demo");
    const std::map<std::string, InstalledApp> before = installedApps();
    ASSERT_GE(before.size(), 10u);
    knownApp = before.begin()->first;
    CountingModule<ECAppModule> module(nullptr, fetcher.get());
    module.setDevice(manager->devices().front());
    module.setEventSink(&sink);
    listAndWait(module);

    // Every user app, each with an icon, a believable size and a rank.
    std::set<QString> expected;
    for (const auto& [id, usage] : before) {
        expected.insert(QString::fromStdString(id));
    }
    EXPECT_EQ(shownAppIds(module), expected);
    const int dateColumn = module.itemList().columnOfKind(ECItemColumn::Kind::Date);
    int refused = 0;
    for (int row = 0; row < module.itemList().rowCount(); ++row) {
        const ECModuleItem& item = module.itemList().itemAt(row);
        const std::string id = item.values.value(ECAppModule::APP_ID).toString().toStdString();
        SCOPED_TRACE(id);
        EXPECT_FALSE(item.icon.isNull());
        ASSERT_TRUE(item.size.has_value());
        EXPECT_GT(*item.size, 0);
        ASSERT_TRUE(item.rank.has_value());
        EXPECT_FALSE(item.rank->isEmpty());
        if (!item.date) {
            // A container the phone would not open: the phone's own figures, and no made-up date.
            ++refused;
            const InstalledApp& usage = before.at(id);
            const std::int64_t package = id == knownApp ? 123'456'789 : usage.staticBytes;
            EXPECT_EQ(*item.size, usage.dynamicBytes + package);
            EXPECT_EQ(module.itemList().data(module.itemList().index(row, dateColumn)).toString(), QStringLiteral("—"));
        }
    }
    // 9.3.5 closes the containers of store apps; development installs still open.
    EXPECT_GT(refused, int(before.size()) / 2);
    EXPECT_LT(refused, int(before.size()));
    // Most bars first.
    const auto shown = module.itemListController().shownItems();
    for (std::size_t i = 1; i < shown.size(); ++i) {
        EXPECT_GE(shown[i - 1].rank->size(), shown[i].rank->size());
    }

    // Check two refused apps other than the one the store knows, and remove them.
    std::vector<ECModuleItem> doomed;
    for (const auto& item : module.itemList().items()) {
        if (!item.date && item.values.value(ECAppModule::APP_ID).toString().toStdString() != knownApp
            && doomed.size() < 2) {
            doomed.push_back(item);
            ASSERT_TRUE(module.itemList().setItemChecked(item.id, true));
        }
    }
    ASSERT_EQ(doomed.size(), 2u);
    EXPECT_EQ(module.progressDisplay().deleteTitle, QStringLiteral("Remove 2 Apps"));
    const std::uint64_t freeBefore = freeBytes(SimulatorFixture::DEMO_UDID);
    deleteAndWait(module);

    const std::map<std::string, InstalledApp> after = installedApps();
    EXPECT_EQ(after.size(), before.size() - 2);
    std::int64_t estimate = 0;
    for (const auto& item : doomed) {
        EXPECT_EQ(after.count(item.values.value(ECAppModule::APP_ID).toString().toStdString()), 0u);
        EXPECT_FALSE(module.itemList().itemWithId(item.id).has_value());
        estimate += *item.size;
    }
    ASSERT_EQ(sink.used.size(), 1u);
    EXPECT_EQ(sink.used[0], (std::pair<QString, std::int64_t>(QStringLiteral("UninstallApps"), estimate)));
    // The phone's free space grew by what the module said it would.
    EXPECT_EQ(std::int64_t(freeBytes(SimulatorFixture::DEMO_UDID) - freeBefore), estimate);
    ASSERT_TRUE(pumpUntil([&] { return !module.statusMessage().isEmpty(); }));
    EXPECT_EQ(module.statusMessage(),
        QStringLiteral("Removed 2 apps: %1 freed on the phone.").arg(formattedByteCount(estimate)));
}

TEST_F(AppModulesTest, AnUninstallThePhoneRefusesStaysListedWithItsReason)
{
    start("demo");
    CountingModule<ECAppModule> module(nullptr, fetcher.get());
    module.setDevice(manager->devices().front());
    listAndWait(module);
    const ECModuleItem chosen = module.itemList().itemAt(0);
    const QString id = chosen.values.value(ECAppModule::APP_ID).toString();
    ASSERT_TRUE(module.itemList().setItemChecked(chosen.id, true));
    ASSERT_TRUE(sim->fault(SimulatorFixture::DEMO_UDID, { "installer-error", "Uninstall", "APIInternalError" }));

    LogCapture log;
    deleteAndWait(module);
    EXPECT_TRUE(log.contains("UNINSTALL FAILED for " + id.toStdString()));
    const auto stillListed = module.itemList().itemWithId(chosen.id);
    ASSERT_TRUE(stillListed.has_value());
    // Kept for the user to choose again, with the phone's reason on its row.
    EXPECT_FALSE(stillListed->checked);
    EXPECT_TRUE(
        stillListed->values.value(ECTableViewModule::FAILURE).toString().contains(QStringLiteral("APIInternalError")));
    EXPECT_TRUE(module.statusMessage().contains(QStringLiteral("APIInternalError")))
        << module.statusMessage().toStdString();
    EXPECT_TRUE(module.statusMessage().contains(chosen.name));
    EXPECT_EQ(installedApps().count(id.toStdString()), 1u);

    // Once the phone lets go, the same button removes it, and the line says so.
    ASSERT_TRUE(sim->clearFaults(SimulatorFixture::DEMO_UDID));
    ASSERT_TRUE(module.itemList().setItemChecked(chosen.id, true));
    deleteAndWait(module);
    EXPECT_FALSE(module.itemList().itemWithId(chosen.id).has_value());
    EXPECT_TRUE(module.statusMessage().startsWith(QStringLiteral("Removed 1 app:")))
        << module.statusMessage().toStdString();
    EXPECT_EQ(installedApps().count(id.toStdString()), 0u);
}

TEST_F(AppModulesTest, AnUninstallWhoseAnswerIsCutOffIsReportedAsThePhoneLeftIt)
{
    start("demo");
    CountingModule<ECAppModule> module(nullptr, fetcher.get());
    module.setDevice(manager->devices().front());
    // The window opens its installation service as it lists, so each of its removals starts from
    // a fresh listing, as a user's would after an earlier connection broke.
    const auto removeInWindow = [&](const std::string& id) {
        listAndWait(module);
        const auto items = module.itemList().items();
        const auto chosen = std::find_if(items.begin(), items.end(), [&](const ECModuleItem& item) {
            return item.values.value(ECAppModule::APP_ID).toString().toStdString() == id;
        });
        if (chosen == items.end()) {
            return testing::AssertionFailure() << id << " is not listed";
        }
        if (!module.itemList().setItemChecked(chosen->id, true)) {
            return testing::AssertionFailure() << id << " cannot be checked";
        }
        deleteAndWait(module);
        const bool listed = module.itemList().itemWithId(chosen->id).has_value();
        // The finished line names only what failed.
        const bool said = module.statusMessage().contains(chosen->name);
        return listed == said ? testing::AssertionSuccess() << (listed ? "kept" : "removed")
                              : testing::AssertionFailure()
                << "listed " << listed << " but status message \"" << module.statusMessage().toStdString() << '"';
    };
    const auto removeWithCli = [](const std::string& id) {
        const ProcessResult run
            = runProcess({ SimulatorFixture::cliPath(), "uninstall", id }, std::chrono::seconds(60));
        const bool refused = run.err.find("can't uninstall " + id) != std::string::npos;
        if (run.exitCode == 0 && run.out == "Uninstalled " + id + "\n" && !refused) {
            return testing::AssertionSuccess() << "removed";
        }
        if (run.exitCode != 0 && run.out.empty() && refused) {
            return testing::AssertionSuccess() << "kept";
        }
        return testing::AssertionFailure() << "exit " << run.exitCode << ": " << run.out << run.err;
    };

    struct Case
    {
        bool window; // the Apps window, or torvane-cli uninstall
        const char* cut; // the phone removes the app before its answer breaks off, or never does
        bool removed;
    };
    const Case cases[] = {
        { false, "after", true },
        { false, "before", false },
        { true, "after", true },
        { true, "before", false },
    };
    std::vector<std::string> ids;
    for (const auto& [id, usage] : installedApps()) {
        ids.push_back(id);
    }
    ASSERT_GE(ids.size(), std::size(cases));
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        const Case& test = cases[index];
        const std::string& id = ids[index];
        SCOPED_TRACE(std::string(test.window ? "window, " : "torvane-cli, ") + test.cut + ", " + id);
        ASSERT_TRUE(sim->fault(SimulatorFixture::DEMO_UDID, { "installer-cut-reply", "Uninstall", test.cut }));
        const testing::AssertionResult outcome = test.window ? removeInWindow(id) : removeWithCli(id);
        ASSERT_TRUE(outcome);
        EXPECT_STREQ(outcome.message(), test.removed ? "removed" : "kept");
        EXPECT_EQ(installedApps().count(id), test.removed ? 0u : 1u);
    }

    // Each cut took one request only: the apps the phone kept go at the next asking, unhindered.
    EXPECT_STREQ(removeWithCli(ids[1]).message(), "removed");
    EXPECT_STREQ(removeInWindow(ids[3]).message(), "removed");
    const std::map<std::string, InstalledApp> left = installedApps();
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        EXPECT_EQ(left.count(ids[index]), 0u) << ids[index];
    }
}

TEST_F(AppModulesTest, LegacyPhoneClearsAppCachesAndStalledDownloads)
{
    start("legacy", [&] {
        // The generated downloads point their pictures at the store's web site; point them here.
        const fs::path folder = sim->mediaRoot(SimulatorFixture::LEGACY_UDID) / "Downloads";
        int index = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const fs::path metadataPath = entry.path() / "iTunesMetadata.plist";
            if (!fs::exists(metadataPath)) {
                continue;
            }
            std::ifstream in(metadataPath, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            auto metadata = PlistCodec::fromAny(text);
            ASSERT_TRUE(metadata && metadata->asDictionary());
            PlistDictionary& dict = *metadata->asDictionary();
            if (dict.count("artwork-urls")) {
                const std::string url = store.baseUrl() + "art/" + std::to_string(index++) + ".png";
                dict["artwork-urls"]
                    = PlistValue(PlistArray { PlistValue(PlistDictionary { { "url", PlistValue(url) } }) });
            }
            std::ofstream(metadataPath, std::ios::binary | std::ios::trunc) << *PlistCodec::toXml(*metadata);
        }
    });
    const std::map<std::string, InstalledApp> apps = installedApps();
    CountingModule<ECCacheModule> module;
    module.setDevice(manager->devices().front());
    module.setEventSink(&sink);
    listAndWait(module);

    const fs::path root = sim->deviceRoot(SimulatorFixture::LEGACY_UDID);
    std::vector<ECModuleItem> downloadItems;
    std::size_t appItems = 0;
    for (const auto& item : module.itemList().items()) {
        EXPECT_TRUE(item.checked) << item.name.toStdString();
        if (item.values.contains(ECCacheModule::STREAM_PATH)) {
            downloadItems.push_back(item);
        } else {
            ++appItems;
        }
    }
    EXPECT_EQ(appItems, apps.size());
    ASSERT_EQ(downloadItems.size(), 3u);
    int withPicture = 0;
    for (const auto& item : downloadItems) {
        SCOPED_TRACE(item.name.toStdString());
        withPicture += item.icon.isNull() ? 0 : 1;
        // The data without the metadata file, which clearing keeps.
        const fs::path folder = sim->mediaRoot(SimulatorFixture::LEGACY_UDID)
            / item.values.value(ECCacheModule::STREAM_PATH).toString().toStdString().substr(1);
        std::int64_t data = 0;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            if (entry.is_regular_file() && entry.path().filename() != "iTunesMetadata.plist") {
                data += std::int64_t(entry.file_size());
            }
        }
        EXPECT_EQ(item.size, data);
        EXPECT_GT(data, 0);
    }
    EXPECT_EQ(withPicture, 2);
    EXPECT_EQ(
        module.progressDisplay().deleteTitle, QStringLiteral("Clear %1 Temp Files").arg(module.itemList().rowCount()));

    deleteAndWait(module);
    ASSERT_EQ(sink.used.size(), 1u);
    EXPECT_EQ(sink.used[0].first, QStringLiteral("AppCaches"));
    // The apps stay; their cache folders are empty but present.
    EXPECT_EQ(installedApps().size(), apps.size());
    for (const auto& [id, usage] : apps) {
        SCOPED_TRACE(id);
        for (const char* path : { "Library/Caches", "tmp" }) {
            const fs::path folder = root / usage.container.substr(1) / path;
            EXPECT_TRUE(fs::is_directory(folder)) << folder;
            EXPECT_TRUE(fs::is_empty(folder)) << folder;
        }
    }
    // Each download keeps its metadata file and its folders, nothing else.
    for (const auto& item : downloadItems) {
        const fs::path folder = sim->mediaRoot(SimulatorFixture::LEGACY_UDID)
            / item.values.value(ECCacheModule::STREAM_PATH).toString().toStdString().substr(1);
        for (const auto& entry : fs::directory_iterator(folder)) {
            EXPECT_TRUE(entry.is_directory() || entry.path().filename() == "iTunesMetadata.plist") << entry.path();
        }
    }
    // Everything cleared left the list.
    EXPECT_EQ(module.itemList().rowCount(), 0);
}

TEST_F(AppModulesTest, ClearingThatCannotReachThePhoneClaimsNothing)
{
    start("legacy");
    CountingModule<ECCacheModule> module;
    module.setDevice(manager->devices().front());
    listAndWait(module);
    std::map<std::uint64_t, std::optional<std::int64_t>> sizes;
    for (const auto& item : module.itemList().items()) {
        sizes[item.id] = item.size;
    }
    ASSERT_GT(sizes.size(), 3u);
    // The phone stops starting services: no container and no media area opens.
    ASSERT_TRUE(sim->fault(SimulatorFixture::LEGACY_UDID, { "refuse-services" }));
    deleteAndWait(module);
    // Nothing was cleared, so no row says it was.
    for (const auto& item : module.itemList().items()) {
        SCOPED_TRACE(item.name.toStdString());
        EXPECT_EQ(item.size, sizes.at(item.id));
    }
}

}
