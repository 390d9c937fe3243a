// Installation-proxy replies from a phone (AMInstallationProxy): browse pages, lookups, archive
// progress and archive listings, and the app records made from them; and springboard's icon
// replies with the PNG header check.
// Input: a mode byte, a piece-size byte, then the phone's bytes.
#include "device/AMInstallationProxy.h"
#include "fuzz/FuzzInput.h"

#include <algorithm>
#include <memory>

namespace {

void inspect(const AMApplication& app)
{
    (void)app.description();
    (void)app.appdir();
    (void)app.valueForKey("StaticDiskUsage");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t mode = input.byte();
    const std::size_t piece = input.byte();
    auto connection = std::make_unique<FuzzConnection>(input.rest(), piece);
    if (mode % 6 == 5) {
        AMSpringboardServices springboard(std::move(connection));
        if (const std::optional<PlistData> png = springboard.getIcon("com.example.app")) {
            (void)pngDimensions(*png);
        }
        (void)springboard.getIconState();
        return 0;
    }
    AMInstallationProxy proxy(std::move(connection));
    switch (mode % 6) {
    case 0:
        if (auto apps = proxy.browse()) {
            std::sort(apps->begin(), apps->end());
            std::for_each(apps->begin(), apps->end(), inspect);
        }
        break;
    case 1:
        if (auto apps = proxy.lookupType(std::string("User"), "CFBundleIdentifier")) {
            for (const auto& [id, app] : *apps) {
                inspect(app);
            }
        }
        break;
    case 2:
        (void)proxy.archive("com.example.app", true, true, false);
        break;
    case 3:
        (void)proxy.archivedAppInfo();
        break;
    default:
        (void)proxy.archivedAppBundleIds();
        break;
    }
    return 0;
}
