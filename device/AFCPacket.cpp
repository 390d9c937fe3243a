#include "device/AFCPacket.h"

#include "base/Log.h"

void writeUInt64LE(std::uint8_t* out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF);
    }
}

void appendUInt64LE(std::string& out, std::uint64_t value)
{
    std::uint8_t bytes[8];
    writeUInt64LE(bytes, value);
    out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::uint64_t readUInt64LE(const std::uint8_t* bytes)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void appendCString(std::string& out, std::string_view text)
{
    out.append(text);
    out.push_back('\0');
}

std::array<std::uint8_t, AFC_HEADER_SIZE> encodeAFCHeader(const AFCPacketHeader& header)
{
    std::array<std::uint8_t, AFC_HEADER_SIZE> bytes {};
    const std::uint64_t fields[]
        = { header.magic, header.entireLength, header.thisLength, header.packetNumber, header.operation };
    for (std::size_t field = 0; field < 5; ++field) {
        for (std::size_t i = 0; i < 8; ++i) {
            bytes[field * 8 + i] = static_cast<std::uint8_t>((fields[field] >> (8 * i)) & 0xFF);
        }
    }
    return bytes;
}

AFCPacketHeader decodeAFCHeader(const std::uint8_t* bytes)
{
    AFCPacketHeader header;
    header.magic = readUInt64LE(bytes);
    header.entireLength = readUInt64LE(bytes + 8);
    header.thisLength = readUInt64LE(bytes + 16);
    header.packetNumber = readUInt64LE(bytes + 24);
    header.operation = readUInt64LE(bytes + 32);
    return header;
}

std::string encodeAFCRequest(
    std::uint64_t packetNumber, AFCOpcode operation, std::string_view arguments, std::size_t bulkSize)
{
    std::string packet;
    packet.reserve(AFC_HEADER_SIZE + arguments.size());
    encodeAFCRequestInto(packet, packetNumber, operation, arguments, bulkSize);
    return packet;
}

void encodeAFCRequestInto(std::string& packet,
    std::uint64_t packetNumber,
    AFCOpcode operation,
    std::string_view arguments,
    std::size_t bulkSize)
{
    AFCPacketHeader header;
    header.thisLength = AFC_HEADER_SIZE + arguments.size();
    header.entireLength = header.thisLength + bulkSize;
    header.packetNumber = packetNumber;
    header.operation = static_cast<std::uint64_t>(operation);
    const auto headerBytes = encodeAFCHeader(header);
    packet.assign(reinterpret_cast<const char*>(headerBytes.data()), headerBytes.size());
    packet.append(arguments);
}

MDStatus checkAFCReplyHeader(const AFCPacketHeader& header, std::uint64_t expectedPacketNumber, std::string* why)
{
    auto refuse = [why](MDStatus status, std::string text) {
        if (why) {
            *why = std::move(text);
        }
        return status;
    };
    if (header.magic != AFC_MAGIC) {
        return refuse(AFCStatus::NotEnoughData, "Reply has no AFC magic");
    }
    if (header.thisLength < AFC_HEADER_SIZE || header.entireLength < header.thisLength) {
        return refuse(AFCStatus::NotEnoughData,
            stringWithFormat("Reply lengths are inconsistent (entire %llu, this %llu)",
                static_cast<unsigned long long>(header.entireLength),
                static_cast<unsigned long long>(header.thisLength)));
    }
    if (header.entireLength - AFC_HEADER_SIZE > AFC_MAX_PAYLOAD_SIZE) {
        return refuse(AFCStatus::NoMemory,
            stringWithFormat("Reply of %llu bytes exceeds the limit of %llu bytes",
                static_cast<unsigned long long>(header.entireLength - AFC_HEADER_SIZE),
                static_cast<unsigned long long>(AFC_MAX_PAYLOAD_SIZE)));
    }
    if (header.packetNumber != expectedPacketNumber) {
        return refuse(AFCStatus::NotEnoughData,
            stringWithFormat("Reply is numbered %llu, expected %llu",
                static_cast<unsigned long long>(header.packetNumber),
                static_cast<unsigned long long>(expectedPacketNumber)));
    }
    return AFCStatus::Success;
}

std::vector<std::string> splitAFCStrings(std::string_view payload)
{
    std::vector<std::string> strings;
    std::size_t start = 0;
    while (start < payload.size()) {
        const std::size_t end = payload.find('\0', start);
        if (end == std::string_view::npos) {
            strings.emplace_back(payload.substr(start));
            break;
        }
        strings.emplace_back(payload.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

std::vector<std::pair<std::string, std::string>> parseAFCKeyValues(std::string_view payload)
{
    std::vector<std::string> strings = splitAFCStrings(payload);
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(strings.size() / 2);
    for (std::size_t i = 0; i + 1 < strings.size(); i += 2) {
        pairs.emplace_back(std::move(strings[i]), std::move(strings[i + 1]));
    }
    return pairs;
}

std::vector<std::string> parseAFCDirectoryListing(std::string_view payload)
{
    std::vector<std::string> names = splitAFCStrings(payload);
    std::erase_if(names, [](const std::string& name) { return name.empty(); });
    return names;
}
