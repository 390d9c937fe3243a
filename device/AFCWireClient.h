#pragma once

#include "device/AFCPacket.h"
#include "device/mobile_device.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// An AFC client over one service connection: one request, then its one reply, at a time.
///
/// Every call returns an AFC status (AFCStatus): 0 on success, the device's status when it refused,
/// or a host-side status (30 and up) when the connection failed (ConnectionError), a reply declared more
/// than AFC_MAX_PAYLOAD_SIZE (NoMemory) or a reply was malformed (NotEnoughData); lastError() says
/// what happened. After a failure that leaves the byte stream out of step ("AFC connection failed:
/// %s" logged, once), the client refuses every later request with AFCStatus::ConnectionError.
///
/// AFCDirectoryAccess owns one over its service connection; nothing else stands between them.
///
/// Not thread-safe: one connection serves one thread at a time.
class AFCWireClient
{
public:
    /// What MobileDeviceAccess::clientVersion() reports.
    static constexpr const char* VERSION = "Torvane AFC client 1.0";

    /// `service` must outlive the client. `ioTimeout` bounds each send and receive; zero or
    /// negative waits as long as the device keeps the connection open.
    explicit AFCWireClient(
        AMServiceConnection& service, std::chrono::milliseconds ioTimeout = AMServiceConnection::WAIT_FOREVER);

    using KeyValues = std::vector<std::pair<std::string, std::string>>;

    [[nodiscard]] MDStatus readDirectory(std::string_view path, std::vector<std::string>& names);
    [[nodiscard]] MDStatus getFileInfo(std::string_view path, KeyValues& pairs);
    [[nodiscard]] MDStatus getDeviceInfo(KeyValues& pairs);
    [[nodiscard]] MDStatus makeDirectory(std::string_view path);
    [[nodiscard]] MDStatus removePath(std::string_view path);
    /// Removes `path` and everything under it in one request.
    [[nodiscard]] MDStatus removePathAndContents(std::string_view path);
    [[nodiscard]] MDStatus renamePath(std::string_view from, std::string_view to);
    /// `kind` 1 makes a hard link, 2 a symbolic link, at `link` pointing to `target`.
    [[nodiscard]] MDStatus makeLink(std::uint64_t kind, std::string_view target, std::string_view link);
    [[nodiscard]] MDStatus setFileModTime(std::string_view path, std::uint64_t nanosecondsSince1970);

    /// `wireMode` is the number the device understands (AFCWireOpenMode). A handle of 0 in the
    /// reply is refused: 0 means "no file".
    [[nodiscard]] MDStatus fileOpen(std::string_view path, std::uint64_t wireMode, std::uint64_t& handle);
    /// Reads up to `length` bytes into `buffer`; `bytesRead` is 0 at the end of the file.
    [[nodiscard]] MDStatus fileRead(std::uint64_t handle, void* buffer, std::uint32_t length, std::uint32_t& bytesRead);
    [[nodiscard]] MDStatus fileWrite(std::uint64_t handle, const void* data, std::uint32_t length);
    [[nodiscard]] MDStatus fileSeek(std::uint64_t handle, std::int64_t offset, std::uint64_t whence);
    [[nodiscard]] MDStatus fileTell(std::uint64_t handle, std::uint64_t& position);
    [[nodiscard]] MDStatus fileSetSize(std::uint64_t handle, std::uint64_t size);
    [[nodiscard]] MDStatus fileClose(std::uint64_t handle);
    /// flock() on the device's side: `operation` is LOCK_SH, LOCK_EX or LOCK_UN, with LOCK_NB for
    /// an answer (AFCStatus::OpWouldBlock) instead of a wait while another open file holds it.
    [[nodiscard]] MDStatus fileLock(std::uint64_t handle, std::uint64_t operation);
    /// fileLock() for a lock that waits on the device (no LOCK_NB), its reply bounded by `bound`
    /// when that is shorter than the connection's own time-out. Past it the answer is
    /// AFCStatus::OpTimeout and the connection is broken: a late reply would put it out of step.
    [[nodiscard]] MDStatus fileLockWaiting(
        std::uint64_t handle, std::uint64_t operation, std::chrono::milliseconds bound);

    /// What went wrong in the last failed request: the host-side reason, or the device's status
    /// in words. Empty after a success.
    const std::string& lastError() const { return m_lastError; }
    /// Requests sent on this connection so far (benchmarks count them).
    std::uint64_t requestCount() const { return m_requestCount; }
    /// True once the byte stream is out of step and the client refuses to go on.
    bool isBroken() const { return m_broken; }

private:
    enum class ReplyKind {
        Status, // nothing comes back but the status
        Data, // a DATA payload
        Handle, // a FILE_OPEN_RES or FILE_TELL_RES number
    };
    struct Reply
    {
        std::string data;
        std::uint64_t number = 0;
    };

    MDStatus transact(AFCOpcode operation,
        std::string_view arguments,
        const void* bulk,
        std::size_t bulkSize,
        ReplyKind kind,
        Reply& reply);
    /// A request answered by its status alone.
    MDStatus statusRequest(
        AFCOpcode operation, std::string_view arguments, const void* bulk = nullptr, std::size_t bulkSize = 0);
    MDStatus sendRequest(AFCOpcode operation, std::string_view arguments, const void* bulk, std::size_t bulkSize);
    /// Receives a header and checks it; on success `payloadSize` is what follows it.
    MDStatus receiveHeader(AFCPacketHeader& header, std::uint64_t& payloadSize);
    /// Receives exactly `size` bytes; a closed connection gives the truncation error.
    MDStatus receiveExactly(void* data, std::size_t size);
    MDStatus discard(std::uint64_t size);
    /// Interprets a non-DATA reply whose payload has been read.
    MDStatus finishReply(const AFCPacketHeader& header, std::string_view payload, ReplyKind kind, Reply& reply);
    MDStatus connectionFailure(MDStatus status, std::string text);
    MDStatus replyFailure(std::string text);
    MDStatus deviceStatus(MDStatus status);

    /// Bytes received ahead of what was asked: a small reply's header and payload come in one
    /// receive. Replies larger than this go straight into the caller's buffer.
    static constexpr std::size_t INBOX_SIZE = 20 * 1024;

    AMServiceConnection& m_service;
    std::chrono::milliseconds m_ioTimeout;
    // The request being sent; kept so that its buffer is reused rather than allocated per request.
    std::string m_packet;
    std::unique_ptr<std::uint8_t[]> m_inbox;
    std::size_t m_inboxBegin { 0 };
    std::size_t m_inboxEnd { 0 };
    std::uint64_t m_packetNumber { 0 };
    std::uint64_t m_requestCount { 0 };
    bool m_broken { false };
    std::string m_lastError;
};
