#pragma once

#include "device/AMService.h"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

/// Client of "com.apple.mobile.file_relay": fetches diagnostic file sets as one raw stream (a
/// gzip-compressed cpio archive). One request per connection.
class AMFileRelay : public AMService
{
public:
    static constexpr const char* SERVICE_NAME = "com.apple.mobile.file_relay";

    static std::unique_ptr<AMFileRelay> initWithAMDevice(AMDevice& device);
    explicit AMFileRelay(std::unique_ptr<AMServiceConnection> connection);

    /// Asks for the file sets `names` and copies the device's raw answer into `into` until the
    /// device ends the stream. False with "AlreadyUsed" on a second call (nothing sent), the
    /// device's "Error" value, a read failure, or "File truncated on write, nr=%ld nw=%ld".
    [[nodiscard]] bool getFileSets(const std::vector<std::string>& names, std::ostream& into);
    [[nodiscard]] bool getFileSet(const std::string& name, std::ostream& into) { return getFileSets({ name }, into); }

private:
    bool copyRawData(std::ostream& into);

    bool m_used { false };
};

/// Client of "com.apple.mobilesync": opens the sync exchange and asks for the contact records,
/// logging what the device answers.
class AMMobileSync : public AMService
{
public:
    static constexpr const char* SERVICE_NAME = "com.apple.mobilesync";

    /// Starts the service and runs the version exchange (logged; the client is kept whatever the
    /// device answers); null only when the service does not start.
    static std::unique_ptr<AMMobileSync> initWithAMDevice(AMDevice& device);
    explicit AMMobileSync(std::unique_ptr<AMServiceConnection> connection);
    /// Sends the disconnect message without waiting.
    ~AMMobileSync() override;

    /// Runs the version exchange; called by initWithAMDevice().
    void versionExchange();
    /// Asks for all contact records and logs the reply; always answers nothing.
    PlistValue* getContactData();
};

/// Client of "com.apple.mobile.screenshotr" (device link).
class AMScreenshotService : public AMDLService
{
public:
    static constexpr const char* SERVICE_NAME = "com.apple.mobile.screenshotr";

    /// Starts the service and performs the device-link handshake; null when either fails.
    static std::unique_ptr<AMScreenshotService> initWithAMDevice(AMDevice& device);
    explicit AMScreenshotService(std::unique_ptr<AMServiceConnection> connection);

    /// The screen as image file bytes (PNG or TIFF, as the device sends them), or nothing with
    /// "Bad image data in ScreenShotData" when the bytes are no image. Decoding is left to the
    /// layers above.
    [[nodiscard]] std::optional<PlistData> getScreenshot();
    /// Takes a screenshot and writes its bytes to `path` (through a temporary file and a rename,
    /// so a reader never sees half a file). False when no screenshot was taken or it could not
    /// be written.
    [[nodiscard]] bool getScreenshotToFile(const std::string& path);
};

/// "png", "tiff", "jpeg" by the file signature; empty when `bytes` are none of these.
std::string imageKindOf(const PlistData& bytes);
