#pragma once

#include "base/PlistValue.h"
#include "device/AMErrorState.h"
#include "device/mobile_device.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

class AMDevice;

/// Receives the progress of sendRequestAndWaitUntilDone(), on the thread that called it.
/// Each callback is optional: the defaults do nothing.
class AMServiceDelegate
{
public:
    virtual ~AMServiceDelegate();
    /// Before the request is sent.
    virtual void operationStarted(const PlistValue& request);
    /// For each reply as it arrives, the last one included.
    virtual void operationContinues(const PlistValue& reply);
    /// Once at the end, whether the command completed or failed.
    virtual void operationCompleted(const PlistValue& request);
};

/// A connection to one service started on a device, exchanging property lists framed by a 4-byte
/// big-endian length. Owns its connection, which keeps working after the device's session ended.
/// Failures answer false or nothing and leave the reason in lasterror(). Not thread-safe: one
/// thread at a time, and a request and its replies must not interleave with another request.
class AMService : public AMErrorState
{
public:
    /// Starts `serviceName` on `device` (inside the connection and session the caller opened) and
    /// wraps the connection. Null when the start failed (the device has logged why).
    static std::unique_ptr<AMService> serviceWithName(const std::string& serviceName, AMDevice& device);

    /// Wraps an already started service connection (never null).
    explicit AMService(std::unique_ptr<AMServiceConnection> connection);
    virtual ~AMService();
    AMService(const AMService&) = delete;
    AMService& operator=(const AMService&) = delete;

    /// Writes `request` as one XML frame. False with "Can't convert request to XML", "Can't send
    /// message size" or "Can't send message text"; true clears the last error.
    [[nodiscard]] bool sendXMLRequest(const PlistValue& request);
    /// Reads one frame (XML or binary body). Nothing on failure with the reason as last error,
    /// among them "Can't receive reply size" and "Reply was truncated, expected %d more bytes"; a
    /// body longer than AM_MAX_FRAME_BODY_SIZE is refused unread and the connection closed. A
    /// zero length gives nothing and keeps the last error as it was. Success clears it.
    [[nodiscard]] std::optional<PlistValue> readXMLReply();
    /// sendXMLRequest() then readXMLReply(); nothing when either fails.
    [[nodiscard]] std::optional<PlistValue> sendRequestAndWaitForSingleReply(const PlistValue& request);
    /// Sends `request` and reads replies until one has "Status" = "Complete" (true) or one has
    /// "Error" (false, its value as last error) or a read fails (false). Tells the delegate.
    [[nodiscard]] bool sendRequestAndWaitUntilDone(const PlistValue& request);

    /// The raw byte stream, for a caller that reads unframed data after a reply. Stays owned by
    /// this object.
    AMServiceConnection& inputStreamFromSocket() { return *m_service; }

    /// Not owned; null for none.
    AMServiceDelegate* delegate() const { return m_delegate; }
    void setDelegate(AMServiceDelegate* delegate) { m_delegate = delegate; }

    /// How long a single send or receive may wait; AMServiceConnection::WAIT_FOREVER (the default)
    /// waits as long as the device keeps the connection open.
    std::chrono::milliseconds timeout() const { return m_timeout; }
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

private:
    /// Receives exactly `length` bytes into `buffer`; on failure sets the last error and answers
    /// false. `isBody` picks the texts: the length field or the body.
    bool receiveExactly(char* buffer, std::size_t length, bool isBody);

    std::unique_ptr<AMServiceConnection> m_service;
    AMServiceDelegate* m_delegate { nullptr };
    std::chrono::milliseconds m_timeout { AMServiceConnection::WAIT_FOREVER };
};

/// A service that speaks the device-link protocol over the same frames: a version handshake when
/// the connection opens, then arrays whose element 0 names the message.
class AMDLService : public AMService
{
public:
    /// Starts `serviceName` and performs the handshake; null (with "failed to handshake: %@"
    /// logged) when it fails, or when the start failed.
    static std::unique_ptr<AMDLService> serviceWithName(const std::string& serviceName, AMDevice& device);

    /// Wraps a started connection; call versionHandshake() before anything else.
    explicit AMDLService(std::unique_ptr<AMServiceConnection> connection);

    /// Answers the device's version exchange with its own major version and waits until the
    /// device is ready. False with the reason as last error.
    [[nodiscard]] bool versionHandshake();
    /// The next device-link message if its element 0 is `expected`; otherwise nothing, with
    /// "Expected '%@', got '%@'", "Response truncated" or the device's disconnect reason.
    [[nodiscard]] std::optional<PlistArray> waitForDLResponse(const std::string& expected);
    /// Sends ["DLMessageProcessMessage", payload] and answers the reply's payload if its
    /// "MessageType" is `expectedType`; nothing otherwise, with the reason as last error.
    [[nodiscard]] std::optional<PlistDictionary> sendDLProcessMessage(
        const PlistDictionary& payload, const std::string& expectedType);
};
