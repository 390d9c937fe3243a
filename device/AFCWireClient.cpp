#include "device/AFCWireClient.h"

#include "base/Log.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace {

// Writes up to this size travel in the same send as their header; larger ones go out from the
// caller's buffer so a megabyte write is never copied.
constexpr std::size_t COALESCE_LIMIT = 64 * 1024;

std::string pathArgument(std::string_view path)
{
    std::string arguments;
    appendCString(arguments, path);
    return arguments;
}

// Numbers first, then paths: the order every AFC request with both takes.
std::string numbersAndPaths(
    std::initializer_list<std::uint64_t> numbers, std::initializer_list<std::string_view> paths = {})
{
    std::string packed;
    for (const std::uint64_t number : numbers) {
        appendUInt64LE(packed, number);
    }
    for (const std::string_view path : paths) {
        appendCString(packed, path);
    }
    return packed;
}

} // namespace

AFCWireClient::AFCWireClient(AMServiceConnection& service, std::chrono::milliseconds ioTimeout)
    : m_service(service)
    , m_ioTimeout(ioTimeout.count() > 0 ? ioTimeout : AMServiceConnection::WAIT_FOREVER)
    , m_inbox(std::make_unique_for_overwrite<std::uint8_t[]>(INBOX_SIZE))
{
}

MDStatus AFCWireClient::connectionFailure(MDStatus status, std::string text)
{
    if (!m_broken) {
        // Once per connection: every later request is refused the same way.
        logLine(LOG_DEVICE, "AFC connection failed: %s", text.c_str());
    }
    m_broken = true;
    m_lastError = std::move(text);
    return status;
}

MDStatus AFCWireClient::replyFailure(std::string text)
{
    // The reply was read whole, so the stream is still in step; only this request failed.
    m_lastError = std::move(text);
    return AFCStatus::NotEnoughData;
}

MDStatus AFCWireClient::deviceStatus(MDStatus status)
{
    if (status == AFCStatus::Success) {
        m_lastError.clear();
    } else {
        m_lastError
            = stringWithFormat("The device answered status %u (%s)", status, mobileDeviceStatusText(status).c_str());
    }
    return status;
}

MDStatus AFCWireClient::sendRequest(
    AFCOpcode operation, std::string_view arguments, const void* bulk, std::size_t bulkSize)
{
    if (m_broken) {
        m_lastError = "The connection is out of step after an earlier failure";
        return AFCStatus::ConnectionError;
    }
    ++m_packetNumber;
    ++m_requestCount;
    std::string& packet = m_packet;
    encodeAFCRequestInto(packet, m_packetNumber, operation, arguments, bulkSize);
    const bool coalesce = bulkSize > 0 && bulkSize <= COALESCE_LIMIT;
    if (coalesce) {
        packet.append(static_cast<const char*>(bulk), bulkSize);
    }
    auto sendAll = [this](const void* data, std::size_t size) {
        const AMIOResult result = m_service.send(data, size, m_ioTimeout);
        return result.ok() && result.bytes == size;
    };
    if (!sendAll(packet.data(), packet.size()) || (bulkSize > 0 && !coalesce && !sendAll(bulk, bulkSize))) {
        return connectionFailure(AFCStatus::ConnectionError, "Can't send request to the device");
    }
    return AFCStatus::Success;
}

MDStatus AFCWireClient::receiveExactly(void* data, std::size_t size)
{
    auto* bytes = static_cast<std::uint8_t*>(data);
    std::size_t received = std::min(size, m_inboxEnd - m_inboxBegin);
    if (received > 0) {
        std::memcpy(bytes, m_inbox.get() + m_inboxBegin, received);
        m_inboxBegin += received;
    }
    while (received < size) {
        // A large rest goes straight to the caller; a small one through the inbox, which takes
        // what has arrived of the reply, so a header and a short payload need one receive.
        const bool direct = size - received >= INBOX_SIZE;
        const AMIOResult result = direct ? m_service.receive(bytes + received, size - received, m_ioTimeout)
                                         : m_service.receive(m_inbox.get(), INBOX_SIZE, m_ioTimeout);
        if (result.ok() && !direct) {
            m_inboxBegin = std::min(result.bytes, size - received);
            m_inboxEnd = result.bytes;
            std::memcpy(bytes + received, m_inbox.get(), m_inboxBegin);
            received += m_inboxBegin;
            continue;
        }
        if (result.status == AMIOStatus::Closed || (result.ok() && result.bytes == 0)) {
            return connectionFailure(AFCStatus::ConnectionError,
                stringWithFormat("Reply was truncated, expected %zu more bytes", size - received));
        }
        if (result.status == AMIOStatus::TimedOut) {
            return connectionFailure(AFCStatus::OpTimeout, "The device did not answer in time");
        }
        if (!result.ok()) {
            return connectionFailure(AFCStatus::ConnectionError, "Can't receive reply from the device");
        }
        received += result.bytes;
    }
    return AFCStatus::Success;
}

MDStatus AFCWireClient::discard(std::uint64_t size)
{
    char sink[16 * 1024];
    while (size > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof sink));
        if (const MDStatus status = receiveExactly(sink, chunk); status != AFCStatus::Success) {
            return status;
        }
        size -= chunk;
    }
    return AFCStatus::Success;
}

MDStatus AFCWireClient::receiveHeader(AFCPacketHeader& header, std::uint64_t& payloadSize)
{
    std::uint8_t bytes[AFC_HEADER_SIZE];
    if (const MDStatus status = receiveExactly(bytes, sizeof bytes); status != AFCStatus::Success) {
        return status;
    }
    header = decodeAFCHeader(bytes);
    std::string why;
    if (const MDStatus status = checkAFCReplyHeader(header, m_packetNumber, &why); status != AFCStatus::Success) {
        // Whatever follows cannot be trusted or skipped safely: the stream is out of step.
        return connectionFailure(status, why);
    }
    payloadSize = header.entireLength - AFC_HEADER_SIZE;
    return AFCStatus::Success;
}

MDStatus AFCWireClient::finishReply(
    const AFCPacketHeader& header, std::string_view payload, ReplyKind kind, Reply& reply)
{
    const auto operation = static_cast<AFCOpcode>(header.operation);
    switch (operation) {
    case AFCOpcode::Status: {
        if (payload.size() < 8) {
            return connectionFailure(AFCStatus::NotEnoughData, "Status reply carries no status");
        }
        const std::uint64_t status = readUInt64LE(reinterpret_cast<const std::uint8_t*>(payload.data()));
        if (status > 0xFFFFFFFFULL) {
            return connectionFailure(AFCStatus::NotEnoughData, "Status reply carries an impossible status");
        }
        if (status == AFCStatus::Success && kind == ReplyKind::Handle) {
            return replyFailure("Reply carries no handle or position");
        }
        return deviceStatus(static_cast<MDStatus>(status));
    }
    case AFCOpcode::Data:
        if (kind != ReplyKind::Data) {
            break;
        }
        reply.data.assign(payload);
        return deviceStatus(AFCStatus::Success);
    case AFCOpcode::FileOpenResult:
    case AFCOpcode::FileTellResult:
        if (kind != ReplyKind::Handle) {
            break;
        }
        if (payload.size() < 8) {
            return connectionFailure(AFCStatus::NotEnoughData, "Reply carries no handle or position");
        }
        reply.number = readUInt64LE(reinterpret_cast<const std::uint8_t*>(payload.data()));
        return deviceStatus(AFCStatus::Success);
    default:
        break;
    }
    return replyFailure(
        stringWithFormat("Unexpected reply of kind 0x%llx", static_cast<unsigned long long>(header.operation)));
}

MDStatus AFCWireClient::transact(AFCOpcode operation,
    std::string_view arguments,
    const void* bulk,
    std::size_t bulkSize,
    ReplyKind kind,
    Reply& reply)
{
    if (const MDStatus status = sendRequest(operation, arguments, bulk, bulkSize); status != AFCStatus::Success) {
        return status;
    }
    AFCPacketHeader header;
    std::uint64_t payloadSize = 0;
    if (const MDStatus status = receiveHeader(header, payloadSize); status != AFCStatus::Success) {
        return status;
    }
    // payloadSize is bounded by AFC_MAX_PAYLOAD_SIZE, checked with the header.
    std::string payload(static_cast<std::size_t>(payloadSize), '\0');
    if (const MDStatus status = receiveExactly(payload.data(), payload.size()); status != AFCStatus::Success) {
        return status;
    }
    return finishReply(header, payload, kind, reply);
}

MDStatus AFCWireClient::statusRequest(
    AFCOpcode operation, std::string_view arguments, const void* bulk, std::size_t bulkSize)
{
    Reply reply;
    return transact(operation, arguments, bulk, bulkSize, ReplyKind::Status, reply);
}

MDStatus AFCWireClient::readDirectory(std::string_view path, std::vector<std::string>& names)
{
    Reply reply;
    const MDStatus status = transact(AFCOpcode::ReadDirectory, pathArgument(path), nullptr, 0, ReplyKind::Data, reply);
    if (status == AFCStatus::Success) {
        names = parseAFCDirectoryListing(reply.data);
    }
    return status;
}

MDStatus AFCWireClient::getFileInfo(std::string_view path, KeyValues& pairs)
{
    Reply reply;
    const MDStatus status = transact(AFCOpcode::GetFileInfo, pathArgument(path), nullptr, 0, ReplyKind::Data, reply);
    if (status == AFCStatus::Success) {
        pairs = parseAFCKeyValues(reply.data);
    }
    return status;
}

MDStatus AFCWireClient::getDeviceInfo(KeyValues& pairs)
{
    Reply reply;
    const MDStatus status = transact(AFCOpcode::GetDeviceInfo, {}, nullptr, 0, ReplyKind::Data, reply);
    if (status == AFCStatus::Success) {
        pairs = parseAFCKeyValues(reply.data);
    }
    return status;
}

MDStatus AFCWireClient::makeDirectory(std::string_view path)
{
    return statusRequest(AFCOpcode::MakeDirectory, pathArgument(path));
}

MDStatus AFCWireClient::removePath(std::string_view path)
{
    return statusRequest(AFCOpcode::RemovePath, pathArgument(path));
}

MDStatus AFCWireClient::removePathAndContents(std::string_view path)
{
    return statusRequest(AFCOpcode::RemovePathAndContents, pathArgument(path));
}

MDStatus AFCWireClient::renamePath(std::string_view from, std::string_view to)
{
    return statusRequest(AFCOpcode::RenamePath, numbersAndPaths({}, { from, to }));
}

MDStatus AFCWireClient::makeLink(std::uint64_t kind, std::string_view target, std::string_view link)
{
    return statusRequest(AFCOpcode::MakeLink, numbersAndPaths({ kind }, { target, link }));
}

MDStatus AFCWireClient::setFileModTime(std::string_view path, std::uint64_t nanosecondsSince1970)
{
    return statusRequest(AFCOpcode::SetFileModTime, numbersAndPaths({ nanosecondsSince1970 }, { path }));
}

MDStatus AFCWireClient::fileOpen(std::string_view path, std::uint64_t wireMode, std::uint64_t& handle)
{
    Reply reply;
    const MDStatus status
        = transact(AFCOpcode::FileOpen, numbersAndPaths({ wireMode }, { path }), nullptr, 0, ReplyKind::Handle, reply);
    if (status != AFCStatus::Success) {
        return status;
    }
    if (reply.number == 0) {
        return replyFailure("The device opened the file with handle 0");
    }
    handle = reply.number;
    return status;
}

MDStatus AFCWireClient::fileRead(std::uint64_t handle, void* buffer, std::uint32_t length, std::uint32_t& bytesRead)
{
    bytesRead = 0;
    std::uint8_t arguments[16];
    writeUInt64LE(arguments, handle);
    writeUInt64LE(arguments + 8, length);
    if (const MDStatus status = sendRequest(AFCOpcode::FileRead,
            std::string_view(reinterpret_cast<const char*>(arguments), sizeof arguments), nullptr, 0);
        status != AFCStatus::Success) {
        return status;
    }
    AFCPacketHeader header;
    std::uint64_t payloadSize = 0;
    if (const MDStatus status = receiveHeader(header, payloadSize); status != AFCStatus::Success) {
        return status;
    }
    if (header.operation != static_cast<std::uint64_t>(AFCOpcode::Data)) {
        std::string payload(static_cast<std::size_t>(payloadSize), '\0');
        if (const MDStatus status = receiveExactly(payload.data(), payload.size()); status != AFCStatus::Success) {
            return status;
        }
        Reply reply;
        return finishReply(header, payload, ReplyKind::Data, reply);
    }
    // Data goes straight into the caller's buffer; anything beyond what was asked is dropped.
    const std::uint32_t wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(payloadSize, length));
    if (const MDStatus status = receiveExactly(buffer, wanted); status != AFCStatus::Success) {
        return status;
    }
    if (const MDStatus status = discard(payloadSize - wanted); status != AFCStatus::Success) {
        return status;
    }
    bytesRead = wanted;
    return deviceStatus(AFCStatus::Success);
}

MDStatus AFCWireClient::fileWrite(std::uint64_t handle, const void* data, std::uint32_t length)
{
    return statusRequest(AFCOpcode::FileWrite, numbersAndPaths({ handle }), data, length);
}

MDStatus AFCWireClient::fileSeek(std::uint64_t handle, std::int64_t offset, std::uint64_t whence)
{
    return statusRequest(AFCOpcode::FileSeek, numbersAndPaths({ handle, whence, static_cast<std::uint64_t>(offset) }));
}

MDStatus AFCWireClient::fileTell(std::uint64_t handle, std::uint64_t& position)
{
    Reply reply;
    const MDStatus status
        = transact(AFCOpcode::FileTell, numbersAndPaths({ handle }), nullptr, 0, ReplyKind::Handle, reply);
    if (status == AFCStatus::Success) {
        position = reply.number;
    }
    return status;
}

MDStatus AFCWireClient::fileSetSize(std::uint64_t handle, std::uint64_t size)
{
    return statusRequest(AFCOpcode::FileSetSize, numbersAndPaths({ handle, size }));
}

MDStatus AFCWireClient::fileLock(std::uint64_t handle, std::uint64_t operation)
{
    return statusRequest(AFCOpcode::FileLock, numbersAndPaths({ handle, operation }));
}

MDStatus AFCWireClient::fileLockWaiting(std::uint64_t handle, std::uint64_t operation, std::chrono::milliseconds bound)
{
    const std::chrono::milliseconds saved = m_ioTimeout;
    if (bound.count() > 0 && (saved == AMServiceConnection::WAIT_FOREVER || bound < saved)) {
        m_ioTimeout = bound;
    }
    const MDStatus status = fileLock(handle, operation);
    m_ioTimeout = saved;
    return status;
}

MDStatus AFCWireClient::fileClose(std::uint64_t handle)
{
    return statusRequest(AFCOpcode::FileClose, numbersAndPaths({ handle }));
}
