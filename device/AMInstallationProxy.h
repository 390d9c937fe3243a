#pragma once

#include "device/AMApplication.h"
#include "device/AMService.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// Client of "com.apple.mobile.installation_proxy": lists, installs, uninstalls and archives apps.
/// Every command blocks until the device has answered; failures answer false or nothing with the
/// device's "Error" value or the framing failure in lasterror(). The delegate (AMService) hears
/// operationStarted / operationContinues / operationCompleted for each command.
class AMInstallationProxy : public AMService
{
public:
    static constexpr const char* SERVICE_NAME = "com.apple.mobile.installation_proxy";
    using Filter = std::function<bool(const AMApplication&)>;

    /// Starts the service on `device` (connected and in session); null when it does not start.
    static std::unique_ptr<AMInstallationProxy> initWithAMDevice(AMDevice& device);
    explicit AMInstallationProxy(std::unique_ptr<AMServiceConnection> connection);

    /// Every app of any type.
    [[nodiscard]] std::optional<std::vector<AMApplication>> browse() { return browseFiltered(nullptr); }
    /// The apps `filter` accepts (all without one). Nothing when the request cannot be sent, no
    /// reply arrives, a reply carries "Error", or the connection ends before the browse is done.
    [[nodiscard]] std::optional<std::vector<AMApplication>> browseFiltered(const Filter& filter);
    /// Bundle identifier -> record for apps of `type` ("Any" when absent).
    [[nodiscard]] std::optional<std::map<std::string, AMApplication>> lookupType(
        const std::optional<std::string>& type, const std::string& attribute);
    /// Archives the documents (`container`), the app (`payload`) or both; with neither nothing is
    /// sent and the answer is false. `uninstall` removes the app afterwards.
    [[nodiscard]] bool archive(const std::string& bundleId, bool container, bool payload, bool uninstall);
    [[nodiscard]] bool restore(const std::string& bundleId);
    [[nodiscard]] bool removeArchive(const std::string& bundleId);
    /// `packagePath` is a path on the device.
    [[nodiscard]] bool install(const std::string& packagePath);
    [[nodiscard]] bool uninstall(const std::string& bundleId);
    [[nodiscard]] bool upgrade(const std::string& bundleId, const std::string& packagePath);
    /// The reply's "LookupResult" of "LookupArchives", or nothing.
    [[nodiscard]] std::optional<PlistDictionary> archivedAppInfo();
    [[nodiscard]] std::optional<std::vector<std::string>> archivedAppBundleIds();
};

/// Client of "com.apple.springboardservices": home-screen icons and layout.
class AMSpringboardServices : public AMService
{
public:
    static constexpr const char* SERVICE_NAME = "com.apple.springboardservices";

    static std::unique_ptr<AMSpringboardServices> initWithAMDevice(AMDevice& device);
    explicit AMSpringboardServices(std::unique_ptr<AMServiceConnection> connection);

    /// The home-screen layout as the device sent it, or nothing.
    [[nodiscard]] std::optional<PlistValue> getIconState();
    /// The reply as it came; its "pngData" holds the icon's PNG bytes.
    [[nodiscard]] std::optional<PlistValue> getIconPNGData(const std::string& bundleId);
    /// The icon's PNG bytes: nothing without a reply, without "pngData", or when the bytes are no
    /// PNG image (the caller shows its own placeholder). Decoding is left to the layers above.
    [[nodiscard]] std::optional<PlistData> getIcon(const std::string& bundleId);
};

/// Width and height from a PNG's IHDR, or nothing when `bytes` do not start with the PNG
/// signature and a well-formed IHDR chunk with non-zero dimensions.
std::optional<std::pair<std::uint32_t, std::uint32_t>> pngDimensions(const PlistData& bytes);
