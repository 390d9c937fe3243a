#include "device/AMService.h"

#include "base/Log.h"
#include "device/AMDevice.h"
#include "device/AMServiceFrame.h"

#include <vector>

namespace {

/// The last-error form of an "Error" or "ErrorMessage" value: texts as they are, anything else
/// in a readable form.
std::string errorText(const PlistValue& value)
{
    if (const std::string* text = value.asString()) {
        return *text;
    }
    if (const auto number = value.toInt64()) {
        return std::to_string(*number);
    }
    if (const auto xml = PlistCodec::toXml(value)) {
        return *xml;
    }
    return "Unreadable error";
}

/// What a received value is called in "Expected '%@', got '%@'".
std::string describe(const PlistValue& value)
{
    if (const std::string* text = value.asString()) {
        return *text;
    }
    return errorText(value);
}

} // namespace

AMServiceDelegate::~AMServiceDelegate() = default;
void AMServiceDelegate::operationStarted(const PlistValue&)
{
}
void AMServiceDelegate::operationContinues(const PlistValue&)
{
}
void AMServiceDelegate::operationCompleted(const PlistValue&)
{
}

std::unique_ptr<AMService> AMService::serviceWithName(const std::string& serviceName, AMDevice& device)
{
    auto connection = device.startService(serviceName);
    if (!connection) {
        return nullptr;
    }
    return std::make_unique<AMService>(std::move(connection));
}

AMService::AMService(std::unique_ptr<AMServiceConnection> connection)
    : m_service(std::move(connection))
{
}

AMService::~AMService() = default;

bool AMService::sendXMLRequest(const PlistValue& request)
{
    const std::optional<std::string> body = PlistCodec::toXml(request);
    if (!body) {
        return fail("Can't convert request to XML");
    }
    if (body->size() > AM_MAX_FRAME_BODY_SIZE) {
        return fail("Can't send message size");
    }
    const std::string header = encodeServiceFrameHeader(static_cast<std::uint32_t>(body->size()));
    if (m_service->send(header.data(), header.size(), m_timeout).bytes != header.size()) {
        return fail("Can't send message size");
    }
    if (m_service->send(body->data(), body->size(), m_timeout).bytes != body->size()) {
        return fail("Can't send message text");
    }
    clearLastError();
    return true;
}

bool AMService::receiveExactly(char* buffer, std::size_t length, bool isBody)
{
    std::size_t received = 0;
    while (received < length) {
        const AMIOResult result = m_service->receive(buffer + received, length - received, m_timeout);
        if (result.ok()) {
            received += result.bytes;
            continue;
        }
        if (received > 0 || isBody) {
            // Part of a frame was consumed: the stream cannot be read in step any more.
            m_service->close();
        }
        if (result.status == AMIOStatus::TimedOut) {
            return fail("Timed out waiting for the reply");
        }
        if (!isBody) {
            return fail("Can't receive reply size");
        }
        if (result.status == AMIOStatus::Closed) {
            return fail(stringWithFormat("Reply was truncated, expected %d more bytes", int(length - received)));
        }
        return fail(stringWithFormat("Can't receive reply text, %d bytes missing", int(length - received)));
    }
    return true;
}

std::optional<PlistValue> AMService::readXMLReply()
{
    std::uint8_t header[AM_FRAME_HEADER_SIZE];
    if (!receiveExactly(reinterpret_cast<char*>(header), sizeof header, false)) {
        return std::nullopt;
    }
    const std::uint32_t length = decodeServiceFrameLength(header);
    if (length == 0) {
        return std::nullopt; // nothing to read; the previous last error stands
    }
    if (length > AM_MAX_FRAME_BODY_SIZE) {
        // The body is never read, so whatever follows is out of step: drop the connection.
        m_service->close();
        fail(stringWithFormat("Reply of %u bytes exceeds the limit of %u bytes", length, AM_MAX_FRAME_BODY_SIZE));
        return std::nullopt;
    }
    std::string body(length, '\0');
    if (!receiveExactly(body.data(), body.size(), true)) {
        return std::nullopt;
    }
    std::optional<PlistValue> reply = PlistCodec::fromAny(body);
    if (!reply) {
        fail("Can't parse reply as a property list");
        return std::nullopt;
    }
    clearLastError();
    return reply;
}

std::optional<PlistValue> AMService::sendRequestAndWaitForSingleReply(const PlistValue& request)
{
    if (!sendXMLRequest(request)) {
        return std::nullopt;
    }
    return readXMLReply();
}

bool AMService::sendRequestAndWaitUntilDone(const PlistValue& request)
{
    if (m_delegate) {
        m_delegate->operationStarted(request);
    }
    bool done = false;
    if (sendXMLRequest(request)) {
        for (;;) {
            const std::optional<PlistValue> reply = readXMLReply();
            if (!reply) {
                break;
            }
            if (m_delegate) {
                m_delegate->operationContinues(*reply);
            }
            if (const PlistValue* error = reply->find("Error")) {
                setLastError(errorText(*error));
                break;
            }
            if (reply->stringForKey("Status") == "Complete") {
                done = true;
                break;
            }
        }
    }
    if (m_delegate) {
        m_delegate->operationCompleted(request);
    }
    return done;
}

// ---- Device link --------------------------------------------------------------------------

std::unique_ptr<AMDLService> AMDLService::serviceWithName(const std::string& serviceName, AMDevice& device)
{
    auto connection = device.startService(serviceName);
    if (!connection) {
        return nullptr;
    }
    auto service = std::make_unique<AMDLService>(std::move(connection));
    if (!service->versionHandshake()) {
        logLine(LOG_DEVICE, "failed to handshake: %s", service->lasterror().value_or("(null)").c_str());
        return nullptr;
    }
    return service;
}

AMDLService::AMDLService(std::unique_ptr<AMServiceConnection> connection)
    : AMService(std::move(connection))
{
}

bool AMDLService::versionHandshake()
{
    const std::optional<PlistArray> exchange = waitForDLResponse("DLMessageVersionExchange");
    if (!exchange) {
        return false;
    }
    const std::optional<std::int64_t> major = exchange->size() >= 3 ? (*exchange)[1].toInt64() : std::nullopt;
    const std::optional<std::int64_t> minor = exchange->size() >= 3 ? (*exchange)[2].toInt64() : std::nullopt;
    if (!major || !minor) {
        return fail("Version exchange without major and minor version");
    }
    logLine(LOG_DEVICE, "Device requesting DeviceLinkProtocol %ld,%ld", long(*major), long(*minor));
    if (!sendXMLRequest(PlistArray { "DLMessageVersionExchange", "DLVersionsOk", *major })) {
        return false;
    }
    return waitForDLResponse("DLMessageDeviceReady").has_value();
}

std::optional<PlistArray> AMDLService::waitForDLResponse(const std::string& expected)
{
    std::optional<PlistValue> reply = readXMLReply();
    if (!reply) {
        return std::nullopt;
    }
    PlistArray* message = reply->asArray();
    if (!message) {
        fail("Reply is not a device-link message");
        return std::nullopt;
    }
    if (message->empty()) {
        fail("Response truncated");
        return std::nullopt;
    }
    const std::string* name = (*message)[0].asString();
    if (name && *name == expected) {
        return std::move(*message);
    }
    if (name && *name == "DLMessageDisconnect") {
        fail(message->size() >= 2 ? errorText((*message)[1]) : std::string("Device disconnected"));
        return std::nullopt;
    }
    fail(stringWithFormat("Expected '%s', got '%s'", expected.c_str(), describe((*message)[0]).c_str()));
    return std::nullopt;
}

std::optional<PlistDictionary> AMDLService::sendDLProcessMessage(
    const PlistDictionary& payload, const std::string& expectedType)
{
    if (!sendXMLRequest(PlistArray { "DLMessageProcessMessage", payload })) {
        return std::nullopt;
    }
    std::optional<PlistArray> reply = waitForDLResponse("DLMessageProcessMessage");
    if (!reply) {
        return std::nullopt;
    }
    if (reply->size() < 2) {
        fail("Reply is too short");
        return std::nullopt;
    }
    PlistDictionary* body = (*reply)[1].asDictionary();
    if (!body) {
        fail("Reply payload is not a dictionary");
        return std::nullopt;
    }
    if (const auto error = body->find("ErrorMessage"); error != body->end()) {
        fail(errorText(error->second));
        return std::nullopt;
    }
    const auto type = body->find("MessageType");
    const std::string received = type != body->end() ? describe(type->second) : std::string();
    if (received != expectedType) {
        fail(stringWithFormat("Expected '%s', got '%s'", expectedType.c_str(), received.c_str()));
        return std::nullopt;
    }
    return std::move(*body);
}
