// Listing a phone with 200 user apps in the app removal tool, on the simulator's "crowded"
// profile: the time until every row shows with its icon, and until every size is known, once with
// the lookup host unreachable and once with a local lookup server that knows every app.
// Targets: rows with icons and every size within 3 s, with the local server and offline. Figures
// only: nothing here passes or fails on speed.
//   build/bench/app-listing-bench

#include "base/RunLoop.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "modules/apps/ECAppModule.h"
#include "platform/ECAppSizeFetcher.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/SimulatorFixture.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

struct Figures
{
    double rowsWithIcons { -1 };
    double sizesKnown { -1 };
    int rows { 0 };
};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Figures listOnce(PlainRunLoop& loop, const std::shared_ptr<AMDevice>& device, const QUrl& lookup)
{
    QTemporaryDir cache;
    ECAppSizeFetcher fetcher(cache.path() + QStringLiteral("/AppSizes.plist"), lookup);
    ECAppModule module(nullptr, &fetcher);
    module.setDevice(device);
    Figures figures;
    bool listed = false;
    QObject::connect(&module, &ECTableViewModule::sortChanged, [&] { listed = true; });
    const auto start = Clock::now();
    module.loadConfigView();
    // Rows appear with their icons as the listing adds them; the listing ends with the sort.
    loop.runUntil([&] { return listed || module.itemList().rowCount() >= 200; }, std::chrono::seconds(120));
    loop.runUntil(
        [&] {
            for (const auto& item : module.itemList().items()) {
                if (item.icon.isNull()) {
                    return false;
                }
            }
            return module.itemList().rowCount() >= 200;
        },
        std::chrono::seconds(120));
    figures.rowsWithIcons = secondsSince(start);
    loop.runUntil(
        [&] {
            for (const auto& item : module.itemList().items()) {
                if (!item.size) {
                    return false;
                }
            }
            return listed && module.moduleStatus() == ECModuleStatus::Idle;
        },
        std::chrono::seconds(300));
    figures.sizesKnown = secondsSince(start);
    figures.rows = module.itemList().rowCount();
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    PlainRunLoop loop;
    RunLoop::setMain(&loop);
    SimulatorFixture sim({ "crowded" });
    if (!sim.start()) {
        std::fprintf(stderr, "torvane-simd did not start: %s\n", sim.lastError().c_str());
        return 1;
    }
    MobileDeviceAccessListener listener;
    MobileDeviceAccess manager(MobileDevice::shared());
    manager.setListener(&listener);
    if (!loop.runUntil([&] { return !manager.devices().empty(); }, std::chrono::seconds(30))) {
        std::fprintf(stderr, "the crowded phone did not attach\n");
        return 1;
    }
    const auto device = manager.devices().front();

    std::string closed;
    {
        LocalHttpServer gone([](const std::string&) { return LocalHttpServer::Reply {}; });
        closed = gone.baseUrl();
    }
    LocalHttpServer store([](const std::string& target) {
        return LocalHttpServer::Reply { true, 200, LocalHttpServer::lookupReply(target, [](const std::string&) {
                                           return std::optional<long long>(48'234'567);
                                       }) };
    });

    std::printf("%-28s %6s %16s %14s %9s\n", "lookup", "rows", "rows+icons (s)", "sizes (s)", "lookups");
    const struct
    {
        const char* name;
        std::string url;
    } runs[] = { { "host unreachable", closed }, { "local server", store.baseUrl() } };
    for (const auto& run : runs) {
        const int before = store.hits();
        const Figures figures = listOnce(loop, device, QUrl(QString::fromStdString(run.url)));
        std::printf("%-28s %6d %16.2f %14.2f %9d\n", run.name, figures.rows, figures.rowsWithIcons, figures.sizesKnown,
            store.hits() - before);
    }
    std::printf("targets: rows with icons and sizes <= 3 s\n");
    RunLoop::setMain(nullptr);
    return 0;
}
