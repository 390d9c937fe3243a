#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "device/AFCPacket.h"

/// The byte stream an AFC client talks over: the socket of a started service.
class AFCTransport
{
public:
    virtual ~AFCTransport() = default;
    /// Sends all `size` bytes; false when the connection failed.
    virtual bool sendAll(const void* data, std::size_t size) = 0;
    /// Receives between 1 and `size` bytes and returns how many; 0 when the peer closed the
    /// connection, -1 on an error.
    virtual std::ptrdiff_t receiveSome(void* data, std::size_t size) = 0;
};

/// An AFC client over one service connection: one request, then its one reply, at a time.
///
/// Every call returns an AFC status (AFCStatus): 0 on success, the device's status when it refused,
/// or a host-side status (30 and up) when the connection failed or the reply was malformed; for
/// host-side statuses lastError() says what happened. After a host-side failure the byte stream
/// is out of step, so the client refuses every later request with AFCStatus::ConnectionError.
///
/// Not thread-safe: one connection serves one thread at a time.
class AFCWireClient
{
public:
    /// `transport` must outlive the client.
    explicit AFCWireClient(AFCTransport& transport);

    using KeyValues = std::vector<std::pair<std::string, std::string>>;

    [[nodiscard]] std::uint32_t readDirectory(std::string_view path, std::vector<std::string>& names);
    [[nodiscard]] std::uint32_t getFileInfo(std::string_view path, KeyValues& pairs);
    [[nodiscard]] std::uint32_t getDeviceInfo(KeyValues& pairs);
    [[nodiscard]] std::uint32_t makeDirectory(std::string_view path);
    [[nodiscard]] std::uint32_t removePath(std::string_view path);
    [[nodiscard]] std::uint32_t renamePath(std::string_view from, std::string_view to);
    /// `kind` 1 makes a hard link, 2 a symbolic link, at `link` pointing to `target`.
    [[nodiscard]] std::uint32_t makeLink(std::uint64_t kind, std::string_view target, std::string_view link);
    [[nodiscard]] std::uint32_t setFileModTime(std::string_view path, std::uint64_t nanosecondsSince1970);

    /// `wireMode` is the number the device understands (AFCWireOpenMode). A handle of 0 in the
    /// reply is refused: 0 means "no file".
    [[nodiscard]] std::uint32_t fileOpen(std::string_view path, std::uint64_t wireMode, std::uint64_t& handle);
    /// Reads up to `length` bytes into `buffer`; `bytesRead` is 0 at the end of the file.
    [[nodiscard]] std::uint32_t fileRead(std::uint64_t handle, void* buffer, std::uint32_t length,
                                         std::uint32_t& bytesRead);
    [[nodiscard]] std::uint32_t fileWrite(std::uint64_t handle, const void* data, std::uint32_t length);
    [[nodiscard]] std::uint32_t fileSeek(std::uint64_t handle, std::int64_t offset, std::uint64_t whence);
    [[nodiscard]] std::uint32_t fileTell(std::uint64_t handle, std::uint64_t& position);
    [[nodiscard]] std::uint32_t fileSetSize(std::uint64_t handle, std::uint64_t size);
    [[nodiscard]] std::uint32_t fileClose(std::uint64_t handle);

    /// What went wrong in the last failed request: the host-side reason, or the device's status
    /// in words. Empty after a success.
    const std::string& lastError() const { return m_lastError; }
    /// Requests sent on this connection so far (benchmarks count them).
    std::uint64_t requestCount() const { return m_requestCount; }
    /// True once the byte stream is out of step and the client refuses to go on.
    bool isBroken() const { return m_broken; }

private:
    enum class ReplyKind
    {
        Status, // nothing comes back but the status
        Data, // a DATA payload
        Handle, // a FILE_OPEN_RES or FILE_TELL_RES number
    };
    struct Reply
    {
        std::string data;
        std::uint64_t number = 0;
    };

    std::uint32_t transact(AFCOperation operation, std::string_view arguments, const void* bulk,
                           std::size_t bulkSize, ReplyKind kind, Reply& reply);
    std::uint32_t sendRequest(AFCOperation operation, std::string_view arguments, const void* bulk,
                              std::size_t bulkSize);
    /// Receives a header and checks it; on success `payloadSize` is what follows it.
    std::uint32_t receiveHeader(AFCPacketHeader& header, std::uint64_t& payloadSize);
    /// Receives exactly `size` bytes; a closed connection gives the truncation error.
    std::uint32_t receiveExactly(void* data, std::size_t size);
    std::uint32_t discard(std::uint64_t size);
    /// Interprets a non-DATA reply whose payload has been read.
    std::uint32_t finishReply(const AFCPacketHeader& header, std::string_view payload, ReplyKind kind, Reply& reply);
    std::uint32_t connectionFailure(std::uint32_t status, std::string text);
    std::uint32_t deviceStatus(std::uint32_t status);

    AFCTransport& m_transport;
    std::uint64_t m_packetNumber { 0 };
    std::uint64_t m_requestCount { 0 };
    bool m_broken { false };
    std::string m_lastError;
};
