#include "device/AMAuxiliaryServices.h"

#include "base/Log.h"
#include "device/AMDevice.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

constexpr std::size_t RAW_CHUNK = 64 * 1024;

std::string xmlText(const std::optional<PlistValue>& value)
{
    if (!value) {
        return "(null)";
    }
    return PlistCodec::toXml(*value).value_or("(unprintable)");
}

} // namespace

// ---- File relay ----------------------------------------------------------------------------

std::unique_ptr<AMFileRelay> AMFileRelay::initWithAMDevice(AMDevice& device)
{
    auto connection = device.startService(SERVICE_NAME);
    return connection ? std::make_unique<AMFileRelay>(std::move(connection)) : nullptr;
}

AMFileRelay::AMFileRelay(std::unique_ptr<AMServiceConnection> connection)
    : AMService(std::move(connection))
{
}

bool AMFileRelay::getFileSets(const std::vector<std::string>& names, std::ostream& into)
{
    if (m_used) {
        return fail("AlreadyUsed");
    }
    m_used = true;
    PlistArray sources;
    for (const std::string& name : names) {
        sources.emplace_back(name);
    }
    const std::optional<PlistValue> reply
        = sendRequestAndWaitForSingleReply(PlistDictionary { { "Sources", sources } });
    if (!reply) {
        return false;
    }
    if (const PlistValue* error = reply->find("Error")) {
        const std::string* text = error->asString();
        return fail(text ? *text : PlistCodec::toXml(*error).value_or("Error"));
    }
    return copyRawData(into);
}

bool AMFileRelay::copyRawData(std::ostream& into)
{
    AMServiceConnection& stream = inputStreamFromSocket();
    std::vector<char> buffer(RAW_CHUNK);
    for (;;) {
        const AMIOResult result = stream.receive(buffer.data(), buffer.size(), timeout());
        if (result.status == AMIOStatus::Closed) {
            clearLastError();
            stream.close();
            into.flush();
            return bool(into);
        }
        if (!result.ok()) {
            stream.close();
            return fail(result.status == AMIOStatus::TimedOut ? "Timed out reading the file data"
                                                              : "Reading the file data failed");
        }
        into.write(buffer.data(), std::streamsize(result.bytes));
        if (!into) {
            stream.close();
            return fail(stringWithFormat("File truncated on write, nr=%ld nw=%ld", long(result.bytes), 0L));
        }
    }
}

std::unique_ptr<AMFileRelay> AMDevice::newAMFileRelay()
{
    return newServiceClient<AMFileRelay>([this] { return AMFileRelay::initWithAMDevice(*this); });
}

// ---- Mobile sync ---------------------------------------------------------------------------

std::unique_ptr<AMMobileSync> AMMobileSync::initWithAMDevice(AMDevice& device)
{
    auto connection = device.startService(SERVICE_NAME);
    if (!connection) {
        return nullptr;
    }
    auto client = std::make_unique<AMMobileSync>(std::move(connection));
    client->versionExchange();
    return client;
}

AMMobileSync::AMMobileSync(std::unique_ptr<AMServiceConnection> connection)
    : AMService(std::move(connection))
{
}

void AMMobileSync::versionExchange()
{
    logLine(LOG_DEVICE, "waiting for the version exchange");
    logLine(LOG_DEVICE, "%s", xmlText(readXMLReply()).c_str());
    logLine(LOG_DEVICE, "sending OK");
    if (sendXMLRequest(PlistArray { "DLMessageVersionExchange", "DLVersionsOk", 100, 100 })) {
        logLine(LOG_DEVICE, "%s", xmlText(readXMLReply()).c_str());
    } else {
        logLine(LOG_DEVICE, "%s", xmlText(std::nullopt).c_str());
    }
}

AMMobileSync::~AMMobileSync()
{
    // A short bound: the device may already be gone, and nothing waits for an answer.
    setTimeout(std::chrono::seconds(2));
    (void)sendXMLRequest(PlistArray { "DLMessageDisconnect", "So long and thanks for all the fish" });
}

PlistValue* AMMobileSync::getContactData()
{
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // Sent as the sync message itself, an array: wrapped in a dictionary keyed by
    // "DLMessageProcessMessage" the device cannot read it and closes the connection unanswered.
    const PlistValue request = PlistArray { "SDMessageGetAllRecordsFromDevice", "com.apple.Contacts", "---",
        PlistDate::fromSecondsSince1970(now), 106, "___EmptyParameterString___" };
    logLine(LOG_DEVICE, "sending %s", xmlText(request).c_str());
    if (sendXMLRequest(request)) {
        logLine(LOG_DEVICE, "waiting reply");
        logLine(LOG_DEVICE, "%s", xmlText(readXMLReply()).c_str());
    }
    return nullptr;
}

std::unique_ptr<AMMobileSync> AMDevice::newAMMobileSync()
{
    return newServiceClient<AMMobileSync>([this] { return AMMobileSync::initWithAMDevice(*this); });
}

// ---- Screenshots ---------------------------------------------------------------------------

std::string imageKindOf(const PlistData& bytes)
{
    const auto startsWith = [&](std::initializer_list<std::uint8_t> prefix) {
        return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
    };
    if (startsWith({ 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n' })) {
        return "png";
    }
    if (startsWith({ 'I', 'I', 42, 0 }) || startsWith({ 'M', 'M', 0, 42 })) {
        return "tiff";
    }
    if (startsWith({ 0xFF, 0xD8, 0xFF })) {
        return "jpeg";
    }
    return {};
}

std::unique_ptr<AMScreenshotService> AMScreenshotService::initWithAMDevice(AMDevice& device)
{
    auto connection = device.startService(SERVICE_NAME);
    if (!connection) {
        return nullptr;
    }
    auto client = std::make_unique<AMScreenshotService>(std::move(connection));
    if (!client->versionHandshake()) {
        logLine(LOG_DEVICE, "failed to handshake: %s", client->lasterror().value_or("(null)").c_str());
        return nullptr;
    }
    return client;
}

AMScreenshotService::AMScreenshotService(std::unique_ptr<AMServiceConnection> connection)
    : AMDLService(std::move(connection))
{
}

std::optional<PlistData> AMScreenshotService::getScreenshot()
{
    std::optional<PlistDictionary> reply
        = sendDLProcessMessage(PlistDictionary { { "MessageType", "ScreenShotRequest" } }, "ScreenShotReply");
    if (!reply) {
        return std::nullopt;
    }
    const auto data = reply->find("ScreenShotData");
    if (data == reply->end() || !data->second.asData() || imageKindOf(*data->second.asData()).empty()) {
        fail("Bad image data in ScreenShotData");
        return std::nullopt;
    }
    return *data->second.asData();
}

bool AMScreenshotService::getScreenshotToFile(const std::string& path)
{
    const std::optional<PlistData> image = getScreenshot();
    if (!image) {
        return false;
    }
    const std::filesystem::path target(path);
    std::filesystem::path temporary = target;
    temporary += ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image->data()), std::streamsize(image->size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return fail("Can't write " + path);
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        return fail("Can't write " + path);
    }
    return true;
}

std::unique_ptr<AMScreenshotService> AMDevice::newAMScreenshotService()
{
    return newServiceClient<AMScreenshotService>([this] { return AMScreenshotService::initWithAMDevice(*this); });
}
