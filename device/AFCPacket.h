#pragma once

#include "device/mobile_device.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The AFC packet format, as pure functions over bytes. Every AFC request and reply is a 40-byte
// little-endian header followed by an argument block and, for writes and data replies, bulk bytes:
//
//   magic "CFA6LPAA" | entire_length | this_length | packet_num | operation | arguments | bulk
//
// entire_length counts the whole packet, this_length the header and the argument block.

/// Size of the fixed packet header.
inline constexpr std::size_t AFC_HEADER_SIZE = 40;

/// "CFA6LPAA" read as a little-endian 64-bit number.
inline constexpr std::uint64_t AFC_MAGIC = 0x4141504C36414643ULL;

/// The largest reply payload (everything after the header) we accept. A device never sends more
/// than a read asked for; a declared length above this is a broken or hostile peer, and is refused
/// before anything is allocated.
inline constexpr std::uint64_t AFC_MAX_PAYLOAD_SIZE = 64ULL * 1024 * 1024;

/// Operation codes used by the client, and the reply kinds.
enum class AFCOpcode : std::uint64_t {
    Status = 0x01,
    Data = 0x02,
    ReadDirectory = 0x03,
    Truncate = 0x07,
    RemovePath = 0x08,
    MakeDirectory = 0x09,
    GetFileInfo = 0x0A,
    GetDeviceInfo = 0x0B,
    FileOpen = 0x0D,
    FileOpenResult = 0x0E,
    FileRead = 0x0F,
    FileWrite = 0x10,
    FileSeek = 0x11,
    FileTell = 0x12,
    FileTellResult = 0x13,
    FileClose = 0x14,
    FileSetSize = 0x15,
    RenamePath = 0x18,
    FileLock = 0x1B,
    MakeLink = 0x1C,
    SetFileModTime = 0x1E,
    RemovePathAndContents = 0x22,
};

/// The open modes as the device understands them (the number sent with FILE_OPEN).
namespace AFCWireOpenMode {
inline constexpr std::uint64_t ReadOnly = 1; // "r"
inline constexpr std::uint64_t ReadWriteKeep = 2; // "r+", creates, keeps contents
inline constexpr std::uint64_t WriteTruncate = 3; // "w", creates, empties
inline constexpr std::uint64_t ReadWriteTruncate = 4; // "w+", creates, empties
} // namespace AFCWireOpenMode

struct AFCPacketHeader
{
    std::uint64_t magic = AFC_MAGIC;
    std::uint64_t entireLength = AFC_HEADER_SIZE;
    std::uint64_t thisLength = AFC_HEADER_SIZE;
    std::uint64_t packetNumber = 0;
    std::uint64_t operation = 0;
};

/// The 40 header bytes for `header`.
std::array<std::uint8_t, AFC_HEADER_SIZE> encodeAFCHeader(const AFCPacketHeader& header);

/// Reads a header from exactly AFC_HEADER_SIZE bytes.
AFCPacketHeader decodeAFCHeader(const std::uint8_t* bytes);

/// The header and argument block of a request; `bulkSize` bytes of bulk data follow on the wire
/// (sent separately, so a large write is never copied).
std::string encodeAFCRequest(
    std::uint64_t packetNumber, AFCOpcode operation, std::string_view arguments, std::size_t bulkSize = 0);
/// The same written over `packet`, whose buffer is reused: a client sending many requests
/// allocates none per request.
void encodeAFCRequestInto(std::string& packet,
    std::uint64_t packetNumber,
    AFCOpcode operation,
    std::string_view arguments,
    std::size_t bulkSize = 0);

/// Checks a reply header against the request it answers. Returns AFCStatus::Success, or the
/// reason to refuse it: NotEnoughData for a wrong magic, packet number or inconsistent lengths,
/// NoMemory for a payload above AFC_MAX_PAYLOAD_SIZE. `why` receives a sentence.
MDStatus checkAFCReplyHeader(const AFCPacketHeader& header, std::uint64_t expectedPacketNumber, std::string* why);

/// Little-endian helpers for argument blocks.
void appendUInt64LE(std::string& out, std::uint64_t value);
/// Writes `value` to the 8 bytes at `out`.
void writeUInt64LE(std::uint8_t* out, std::uint64_t value);
std::uint64_t readUInt64LE(const std::uint8_t* bytes);
/// Appends `text` and its terminating NUL.
void appendCString(std::string& out, std::string_view text);

/// Splits a DATA payload into its NUL-terminated strings. A last string without its NUL is kept.
std::vector<std::string> splitAFCStrings(std::string_view payload);

/// The key/value pairs of a file-information or device-information payload, in wire order.
/// A trailing key without a value is dropped.
std::vector<std::pair<std::string, std::string>> parseAFCKeyValues(std::string_view payload);

/// The names of a directory listing, in wire order, "." and ".." included as the device sends
/// them. Empty names are dropped: joined to a path they would name the directory itself and make
/// a tree walk loop.
std::vector<std::string> parseAFCDirectoryListing(std::string_view payload);
