#include "device/AFCWireClient.h"

#include "base/Log.h"

#include <algorithm>
#include <cstring>

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

} // namespace

AFCWireClient::AFCWireClient(AFCTransport& transport)
    : m_transport(transport)
{
}

std::uint32_t AFCWireClient::connectionFailure(std::uint32_t status, std::string text)
{
    m_broken = true;
    m_lastError = std::move(text);
    return status;
}

std::uint32_t AFCWireClient::deviceStatus(std::uint32_t status)
{
    if (status == AFCStatus::Success) {
        m_lastError.clear();
    } else {
        m_lastError = stringWithFormat("The device answered status %u (%s)", status,
            std::string(afcStatusDescription(status)).c_str());
    }
    return status;
}

std::uint32_t AFCWireClient::sendRequest(AFCOperation operation, std::string_view arguments, const void* bulk,
                                         std::size_t bulkSize)
{
    if (m_broken) {
        m_lastError = "The connection is out of step after an earlier failure";
        return AFCStatus::ConnectionError;
    }
    ++m_packetNumber;
    ++m_requestCount;
    std::string packet = encodeAFCRequest(m_packetNumber, operation, arguments, bulkSize);
    const bool coalesce = bulkSize > 0 && bulkSize <= COALESCE_LIMIT;
    if (coalesce) {
        packet.append(static_cast<const char*>(bulk), bulkSize);
    }
    if (!m_transport.sendAll(packet.data(), packet.size())
        || (bulkSize > 0 && !coalesce && !m_transport.sendAll(bulk, bulkSize))) {
        return connectionFailure(AFCStatus::ConnectionError, "Can't send request to the device");
    }
    return AFCStatus::Success;
}

std::uint32_t AFCWireClient::receiveExactly(void* data, std::size_t size)
{
    auto* bytes = static_cast<std::uint8_t*>(data);
    std::size_t received = 0;
    while (received < size) {
        const std::ptrdiff_t count = m_transport.receiveSome(bytes + received, size - received);
        if (count == 0) {
            return connectionFailure(AFCStatus::ConnectionError,
                stringWithFormat("Reply was truncated, expected %zu more bytes", size - received));
        }
        if (count < 0) {
            return connectionFailure(AFCStatus::ConnectionError, "Can't receive reply from the device");
        }
        received += static_cast<std::size_t>(count);
    }
    return AFCStatus::Success;
}

std::uint32_t AFCWireClient::discard(std::uint64_t size)
{
    char sink[16 * 1024];
    while (size > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof sink));
        if (const std::uint32_t status = receiveExactly(sink, chunk); status != AFCStatus::Success) {
            return status;
        }
        size -= chunk;
    }
    return AFCStatus::Success;
}

std::uint32_t AFCWireClient::receiveHeader(AFCPacketHeader& header, std::uint64_t& payloadSize)
{
    std::uint8_t bytes[AFC_HEADER_SIZE];
    if (const std::uint32_t status = receiveExactly(bytes, sizeof bytes); status != AFCStatus::Success) {
        return status;
    }
    header = decodeAFCHeader(bytes);
    std::string why;
    if (const std::uint32_t status = checkAFCReplyHeader(header, m_packetNumber, &why);
        status != AFCStatus::Success) {
        // Whatever follows cannot be trusted or skipped safely: the stream is out of step.
        return connectionFailure(status, why);
    }
    payloadSize = header.entireLength - AFC_HEADER_SIZE;
    return AFCStatus::Success;
}

std::uint32_t AFCWireClient::finishReply(const AFCPacketHeader& header, std::string_view payload, ReplyKind kind,
                                         Reply& reply)
{
    const auto operation = static_cast<AFCOperation>(header.operation);
    switch (operation) {
    case AFCOperation::Status: {
        if (payload.size() < 8) {
            return connectionFailure(AFCStatus::BadReply, "Status reply carries no status");
        }
        const std::uint64_t status = readUInt64LE(reinterpret_cast<const std::uint8_t*>(payload.data()));
        if (status > 0xFFFFFFFFULL) {
            return connectionFailure(AFCStatus::BadReply, "Status reply carries an impossible status");
        }
        if (status == AFCStatus::Success && kind == ReplyKind::Handle) {
            m_lastError = "Reply carries no handle or position";
            return AFCStatus::BadReply;
        }
        return deviceStatus(static_cast<std::uint32_t>(status));
    }
    case AFCOperation::Data:
        if (kind != ReplyKind::Data) {
            break;
        }
        reply.data.assign(payload);
        return deviceStatus(AFCStatus::Success);
    case AFCOperation::FileOpenResult:
    case AFCOperation::FileTellResult:
        if (kind != ReplyKind::Handle) {
            break;
        }
        if (payload.size() < 8) {
            return connectionFailure(AFCStatus::BadReply, "Reply carries no handle or position");
        }
        reply.number = readUInt64LE(reinterpret_cast<const std::uint8_t*>(payload.data()));
        return deviceStatus(AFCStatus::Success);
    default:
        break;
    }
    // The reply was read whole, so the stream is still in step; only this request failed.
    m_lastError = stringWithFormat("Unexpected reply of kind 0x%llx",
        static_cast<unsigned long long>(header.operation));
    return AFCStatus::BadReply;
}

std::uint32_t AFCWireClient::transact(AFCOperation operation, std::string_view arguments, const void* bulk,
                                      std::size_t bulkSize, ReplyKind kind, Reply& reply)
{
    if (const std::uint32_t status = sendRequest(operation, arguments, bulk, bulkSize); status != AFCStatus::Success) {
        return status;
    }
    AFCPacketHeader header;
    std::uint64_t payloadSize = 0;
    if (const std::uint32_t status = receiveHeader(header, payloadSize); status != AFCStatus::Success) {
        return status;
    }
    // payloadSize is bounded by AFC_MAX_PAYLOAD_SIZE, checked with the header.
    std::string payload(static_cast<std::size_t>(payloadSize), '\0');
    if (const std::uint32_t status = receiveExactly(payload.data(), payload.size()); status != AFCStatus::Success) {
        return status;
    }
    return finishReply(header, payload, kind, reply);
}

std::uint32_t AFCWireClient::readDirectory(std::string_view path, std::vector<std::string>& names)
{
    Reply reply;
    const std::uint32_t status = transact(AFCOperation::ReadDirectory, pathArgument(path), nullptr, 0,
        ReplyKind::Data, reply);
    if (status == AFCStatus::Success) {
        names = parseAFCDirectoryListing(reply.data);
    }
    return status;
}

std::uint32_t AFCWireClient::getFileInfo(std::string_view path, KeyValues& pairs)
{
    Reply reply;
    const std::uint32_t status = transact(AFCOperation::GetFileInfo, pathArgument(path), nullptr, 0,
        ReplyKind::Data, reply);
    if (status == AFCStatus::Success) {
        pairs = parseAFCKeyValues(reply.data);
    }
    return status;
}

std::uint32_t AFCWireClient::getDeviceInfo(KeyValues& pairs)
{
    Reply reply;
    const std::uint32_t status = transact(AFCOperation::GetDeviceInfo, {}, nullptr, 0, ReplyKind::Data, reply);
    if (status == AFCStatus::Success) {
        pairs = parseAFCKeyValues(reply.data);
    }
    return status;
}

std::uint32_t AFCWireClient::makeDirectory(std::string_view path)
{
    Reply reply;
    return transact(AFCOperation::MakeDirectory, pathArgument(path), nullptr, 0, ReplyKind::Status, reply);
}

std::uint32_t AFCWireClient::removePath(std::string_view path)
{
    Reply reply;
    return transact(AFCOperation::RemovePath, pathArgument(path), nullptr, 0, ReplyKind::Status, reply);
}

std::uint32_t AFCWireClient::renamePath(std::string_view from, std::string_view to)
{
    std::string arguments;
    appendCString(arguments, from);
    appendCString(arguments, to);
    Reply reply;
    return transact(AFCOperation::RenamePath, arguments, nullptr, 0, ReplyKind::Status, reply);
}

std::uint32_t AFCWireClient::makeLink(std::uint64_t kind, std::string_view target, std::string_view link)
{
    std::string arguments;
    appendUInt64LE(arguments, kind);
    appendCString(arguments, target);
    appendCString(arguments, link);
    Reply reply;
    return transact(AFCOperation::MakeLink, arguments, nullptr, 0, ReplyKind::Status, reply);
}

std::uint32_t AFCWireClient::setFileModTime(std::string_view path, std::uint64_t nanosecondsSince1970)
{
    std::string arguments;
    appendUInt64LE(arguments, nanosecondsSince1970);
    appendCString(arguments, path);
    Reply reply;
    return transact(AFCOperation::SetFileModTime, arguments, nullptr, 0, ReplyKind::Status, reply);
}

std::uint32_t AFCWireClient::fileOpen(std::string_view path, std::uint64_t wireMode, std::uint64_t& handle)
{
    std::string arguments;
    appendUInt64LE(arguments, wireMode);
    appendCString(arguments, path);
    Reply reply;
    const std::uint32_t status = transact(AFCOperation::FileOpen, arguments, nullptr, 0, ReplyKind::Handle, reply);
    if (status != AFCStatus::Success) {
        return status;
    }
    if (reply.number == 0) {
        m_lastError = "The device opened the file with handle 0";
        return AFCStatus::BadReply;
    }
    handle = reply.number;
    return status;
}

std::uint32_t AFCWireClient::fileRead(std::uint64_t handle, void* buffer, std::uint32_t length,
                                      std::uint32_t& bytesRead)
{
    bytesRead = 0;
    std::string arguments;
    appendUInt64LE(arguments, handle);
    appendUInt64LE(arguments, length);
    if (const std::uint32_t status = sendRequest(AFCOperation::FileRead, arguments, nullptr, 0);
        status != AFCStatus::Success) {
        return status;
    }
    AFCPacketHeader header;
    std::uint64_t payloadSize = 0;
    if (const std::uint32_t status = receiveHeader(header, payloadSize); status != AFCStatus::Success) {
        return status;
    }
    if (header.operation != static_cast<std::uint64_t>(AFCOperation::Data)) {
        std::string payload(static_cast<std::size_t>(payloadSize), '\0');
        if (const std::uint32_t status = receiveExactly(payload.data(), payload.size());
            status != AFCStatus::Success) {
            return status;
        }
        Reply reply;
        return finishReply(header, payload, ReplyKind::Data, reply);
    }
    // Data goes straight into the caller's buffer; anything beyond what was asked is dropped.
    const std::uint32_t wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(payloadSize, length));
    if (const std::uint32_t status = receiveExactly(buffer, wanted); status != AFCStatus::Success) {
        return status;
    }
    if (const std::uint32_t status = discard(payloadSize - wanted); status != AFCStatus::Success) {
        return status;
    }
    bytesRead = wanted;
    return deviceStatus(AFCStatus::Success);
}

std::uint32_t AFCWireClient::fileWrite(std::uint64_t handle, const void* data, std::uint32_t length)
{
    std::string arguments;
    appendUInt64LE(arguments, handle);
    Reply reply;
    return transact(AFCOperation::FileWrite, arguments, data, length, ReplyKind::Status, reply);
}

std::uint32_t AFCWireClient::fileSeek(std::uint64_t handle, std::int64_t offset, std::uint64_t whence)
{
    std::string arguments;
    appendUInt64LE(arguments, handle);
    appendUInt64LE(arguments, whence);
    appendUInt64LE(arguments, static_cast<std::uint64_t>(offset));
    Reply reply;
    return transact(AFCOperation::FileSeek, arguments, nullptr, 0, ReplyKind::Status, reply);
}

std::uint32_t AFCWireClient::fileTell(std::uint64_t handle, std::uint64_t& position)
{
    std::string arguments;
    appendUInt64LE(arguments, handle);
    Reply reply;
    const std::uint32_t status = transact(AFCOperation::FileTell, arguments, nullptr, 0, ReplyKind::Handle, reply);
    if (status == AFCStatus::Success) {
        position = reply.number;
    }
    return status;
}

std::uint32_t AFCWireClient::fileSetSize(std::uint64_t handle, std::uint64_t size)
{
    std::string arguments;
    appendUInt64LE(arguments, handle);
    appendUInt64LE(arguments, size);
    Reply reply;
    return transact(AFCOperation::FileSetSize, arguments, nullptr, 0, ReplyKind::Status, reply);
}

std::uint32_t AFCWireClient::fileClose(std::uint64_t handle)
{
    std::string arguments;
    appendUInt64LE(arguments, handle);
    Reply reply;
    return transact(AFCOperation::FileClose, arguments, nullptr, 0, ReplyKind::Status, reply);
}
