#include "device/AFCWireClient.h"

#include "device/AFCPacket.h"
#include "tests/device/ScriptedMobileDevice.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int value : values) {
        out.push_back(static_cast<char>(value));
    }
    return out;
}

std::string replyPacket(
    std::uint64_t number, AFCOpcode operation, const std::string& payload, std::uint64_t thisLength = 0)
{
    AFCPacketHeader header;
    header.packetNumber = number;
    header.operation = static_cast<std::uint64_t>(operation);
    header.entireLength = AFC_HEADER_SIZE + payload.size();
    header.thisLength = thisLength ? thisLength : header.entireLength;
    const auto head = encodeAFCHeader(header);
    return std::string(reinterpret_cast<const char*>(head.data()), head.size()) + payload;
}

std::string u64(std::uint64_t value)
{
    std::string out;
    appendUInt64LE(out, value);
    return out;
}

std::string statusReply(std::uint64_t number, std::uint64_t status)
{
    return replyPacket(number, AFCOpcode::Status, u64(status));
}

/// Queues `data` to arrive in pieces of `size` bytes.
void replyInPieces(ScriptedServiceConnection& transport, const std::string& data, std::size_t size)
{
    for (std::size_t i = 0; i < data.size(); i += size) {
        transport.addChunk(data.substr(i, size));
    }
}

} // namespace

TEST(AFCPacket, EncodesTheFirstReadDirectoryRequestByteForByte)
{
    const std::string expected = bytes({ 0x43, 0x46, 0x41, 0x36, 0x4C, 0x50, 0x41, 0x41, 0x2A, 0, 0, 0, 0, 0, 0, 0,
        0x2A, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 0x2F, 0x00 });
    std::string path;
    appendCString(path, "/");
    EXPECT_EQ(encodeAFCRequest(1, AFCOpcode::ReadDirectory, path), expected);
}

TEST(AFCPacket, DecodesTheCapturedStatusReply)
{
    const std::string wire = bytes({ 0x43, 0x46, 0x41, 0x36, 0x4C, 0x50, 0x41, 0x41, 0x30, 0, 0, 0, 0, 0, 0, 0, 0x30, 0,
        0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 });
    const AFCPacketHeader header = decodeAFCHeader(reinterpret_cast<const std::uint8_t*>(wire.data()));
    EXPECT_EQ(header.magic, AFC_MAGIC);
    EXPECT_EQ(header.entireLength, 0x30u);
    EXPECT_EQ(header.thisLength, 0x30u);
    EXPECT_EQ(header.packetNumber, 5u);
    EXPECT_EQ(header.operation, static_cast<std::uint64_t>(AFCOpcode::Status));
    EXPECT_EQ(checkAFCReplyHeader(header, 5, nullptr), AFCStatus::Success);
    EXPECT_EQ(readUInt64LE(reinterpret_cast<const std::uint8_t*>(wire.data()) + 40), 0u);
}

TEST(AFCPacket, RefusesBadReplyHeaders)
{
    struct Row
    {
        const char* name;
        AFCPacketHeader header;
        MDStatus expected;
    };
    const auto make = [](std::uint64_t magic, std::uint64_t entire, std::uint64_t thisLength, std::uint64_t number) {
        return AFCPacketHeader { magic, entire, thisLength, number, 1 };
    };
    const Row rows[] = {
        { "sound", make(AFC_MAGIC, 48, 48, 3), AFCStatus::Success },
        { "data split at the header", make(AFC_MAGIC, 1040, 40, 3), AFCStatus::Success },
        { "wrong magic", make(0x4141504C36414600ULL, 48, 48, 3), AFCStatus::NotEnoughData },
        { "this_length below the header", make(AFC_MAGIC, 48, 39, 3), AFCStatus::NotEnoughData },
        { "entire_length below this_length", make(AFC_MAGIC, 48, 56, 3), AFCStatus::NotEnoughData },
        { "wrong packet number", make(AFC_MAGIC, 48, 48, 2), AFCStatus::NotEnoughData },
        { "payload at the limit", make(AFC_MAGIC, 40 + AFC_MAX_PAYLOAD_SIZE, 40, 3), AFCStatus::Success },
        { "payload one over the limit", make(AFC_MAGIC, 41 + AFC_MAX_PAYLOAD_SIZE, 40, 3), AFCStatus::NoMemory },
        { "near 4 GiB", make(AFC_MAGIC, 0xFFFFFFF0ULL, 40, 3), AFCStatus::NoMemory },
        { "near 2^64", make(AFC_MAGIC, ~0ULL, 40, 3), AFCStatus::NoMemory },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string why;
        EXPECT_EQ(checkAFCReplyHeader(row.header, 3, &why), row.expected);
        EXPECT_EQ(why.empty(), row.expected == AFCStatus::Success);
    }
}

TEST(AFCPacket, ParsesKeyValuePayloads)
{
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    static const char wire[] = "st_size\0"
                               "64\0"
                               "st_blocks\0"
                               "0\0"
                               "st_nlink\0"
                               "2\0"
                               "st_ifmt\0"
                               "S_IFDIR\0"
                               "st_mtime\0"
                               "1494244521000000000";
    const std::string captured(wire, sizeof wire); // the final NUL is the array's own
    EXPECT_EQ(parseAFCKeyValues(captured),
        (Pairs { { "st_size", "64" }, { "st_blocks", "0" }, { "st_nlink", "2" }, { "st_ifmt", "S_IFDIR" },
            { "st_mtime", "1494244521000000000" } }));
    EXPECT_EQ(parseAFCKeyValues(std::string("a\0"
                                            "1\0"
                                            "dangling\0",
                  13)),
        (Pairs { { "a", "1" } }));
    EXPECT_EQ(parseAFCKeyValues(std::string("a\0"
                                            "no terminator",
                  15)),
        (Pairs { { "a", "no terminator" } }));
    EXPECT_EQ(parseAFCKeyValues(std::string("empty\0"
                                            "\0",
                  7)),
        (Pairs { { "empty", "" } }));
    EXPECT_TRUE(parseAFCKeyValues({}).empty());
}

TEST(AFCPacket, ParsesDirectoryListingsDroppingEmptyNames)
{
    using Names = std::vector<std::string>;
    EXPECT_EQ(parseAFCDirectoryListing(std::string(".\0"
                                                   "..\0"
                                                   ".hidden\0"
                                                   "DCIM\0",
                  18)),
        (Names { ".", "..", ".hidden", "DCIM" }));
    EXPECT_EQ(parseAFCDirectoryListing(std::string("a\0\0b\0", 5)), (Names { "a", "b" }));
    EXPECT_EQ(parseAFCDirectoryListing(std::string("caf\xC3\xA9\0", 6)), (Names { "caf\xC3\xA9" }));
}

TEST(AFCWireClient, SendsWriteHeaderArgumentsAndBulkAsCaptured)
{
    ScriptedServiceConnection transport;
    AFCWireClient client(transport);
    // Six requests first so the write is request 7, as in the captured example.
    for (int i = 1; i <= 6; ++i) {
        transport.addChunk(statusReply(static_cast<std::uint64_t>(i), 0));
        ASSERT_EQ(client.makeDirectory("/x"), AFCStatus::Success);
    }
    transport.sent.clear();
    transport.addChunk(statusReply(7, 0));
    ASSERT_EQ(client.fileWrite(2, "abc", 3), AFCStatus::Success);
    const std::string expected
        = bytes({ 0x43, 0x46, 0x41, 0x36, 0x4C, 0x50, 0x41, 0x41, 0x33, 0, 0, 0, 0, 0, 0, 0, 0x30, 0, 0, 0, 0, 0, 0, 0,
              0x07, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0 })
        + "abc";
    EXPECT_EQ(transport.sent, expected);
    EXPECT_EQ(client.requestCount(), 7u);
}

TEST(AFCWireClient, SendsLargeWritesWithoutCopyingAndInOrder)
{
    ScriptedServiceConnection transport;
    AFCWireClient client(transport);
    const std::string block(1024 * 1024, 'z');
    transport.addChunk(statusReply(1, 0));
    ASSERT_EQ(client.fileWrite(9, block.data(), static_cast<std::uint32_t>(block.size())), AFCStatus::Success);
    ASSERT_EQ(transport.sent.size(), 48 + block.size());
    const AFCPacketHeader header = decodeAFCHeader(reinterpret_cast<const std::uint8_t*>(transport.sent.data()));
    EXPECT_EQ(header.entireLength, 48 + block.size());
    EXPECT_EQ(header.thisLength, 48u);
    EXPECT_EQ(transport.sent.substr(48), block);
}

TEST(AFCWireClient, JoinsAReplySplitAcrossReads)
{
    ScriptedServiceConnection transport;
    AFCWireClient client(transport);
    const std::string listing(".\0"
                              "..\0"
                              "DCIM\0"
                              "Downloads\0",
        20);
    // A data reply as devices send it: this_length 40, the names as bulk; one byte per read.
    replyInPieces(transport, replyPacket(1, AFCOpcode::Data, listing, 40), 1);
    std::vector<std::string> names;
    ASSERT_EQ(client.readDirectory("/", names), AFCStatus::Success);
    EXPECT_EQ(names, (std::vector<std::string> { ".", "..", "DCIM", "Downloads" }));
    EXPECT_GE(int(transport.receiveRequests.size()), 60);
    EXPECT_TRUE(client.lastError().empty());
}

TEST(AFCWireClient, ReportsATruncatedReplyAndRefusesToGoOn)
{
    ScriptedServiceConnection transport;
    AFCWireClient client(transport);
    const std::string full = replyPacket(1, AFCOpcode::Data, std::string(100, 'x'), 40);
    replyInPieces(transport, full.substr(0, full.size() - 10), 7);
    char buffer[100];
    std::uint32_t got = 123;
    EXPECT_EQ(client.fileRead(1, buffer, sizeof buffer, got), AFCStatus::ConnectionError);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(client.lastError(), "Reply was truncated, expected 10 more bytes");
    EXPECT_TRUE(client.isBroken());

    const std::size_t sentBefore = transport.sent.size();
    EXPECT_EQ(client.makeDirectory("/a"), AFCStatus::ConnectionError);
    EXPECT_EQ(transport.sent.size(), sentBefore);
}

TEST(AFCWireClient, ReportsAConnectionClosedInsideTheHeader)
{
    ScriptedServiceConnection transport;
    AFCWireClient client(transport);
    transport.addChunk(statusReply(1, 0).substr(0, 25));
    EXPECT_EQ(client.removePath("/a"), AFCStatus::ConnectionError);
    EXPECT_EQ(client.lastError(), "Reply was truncated, expected 15 more bytes");
}

TEST(AFCWireClient, RefusesAnOversizedReplyWithoutReadingIt)
{
    ScriptedServiceConnection transport;
    AFCWireClient client(transport);
    AFCPacketHeader header;
    header.packetNumber = 1;
    header.operation = static_cast<std::uint64_t>(AFCOpcode::Data);
    header.entireLength = 0xFFFFFFF0ULL;
    header.thisLength = 40;
    const auto head = encodeAFCHeader(header);
    const std::size_t following = 256 * 1024;
    transport.addChunk(
        std::string(reinterpret_cast<const char*>(head.data()), head.size()) + std::string(following, 'x'));
    AFCWireClient::KeyValues pairs;
    EXPECT_EQ(client.getDeviceInfo(pairs), AFCStatus::NoMemory);
    EXPECT_EQ(client.lastError(), "Reply of 4294967240 bytes exceeds the limit of 67108864 bytes");
    EXPECT_TRUE(client.isBroken());
    // Nothing beyond the client's small fixed read-ahead was taken from the connection.
    ASSERT_EQ(transport.chunks.size(), 1u);
    EXPECT_GE(transport.chunks.front().size(), following - 20 * 1024);
}

TEST(AFCWireClient, MapsReplyKindsToStatuses)
{
    struct Row
    {
        const char* name;
        std::string reply;
        MDStatus expected;
        bool broken;
    };
    const Row rows[] = {
        { "success", statusReply(1, 0), AFCStatus::Success, false },
        { "not found", statusReply(1, 8), AFCStatus::ObjectNotFound, false },
        { "no space", statusReply(1, 18), AFCStatus::NoSpaceLeft, false },
        { "status without its number", replyPacket(1, AFCOpcode::Status, ""), AFCStatus::NotEnoughData, true },
        { "status beyond 32 bits", statusReply(1, 0x100000000ULL), AFCStatus::NotEnoughData, true },
        { "unknown reply kind", replyPacket(1, static_cast<AFCOpcode>(0x42), u64(0)), AFCStatus::NotEnoughData, false },
        { "wrong number", statusReply(2, 0), AFCStatus::NotEnoughData, true },
        { "nothing at all", "", AFCStatus::ConnectionError, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServiceConnection transport;
        AFCWireClient client(transport);
        transport.addChunk(row.reply);
        EXPECT_EQ(client.removePath("/x"), row.expected);
        EXPECT_EQ(client.isBroken(), row.broken);
        EXPECT_EQ(client.lastError().empty(), row.expected == AFCStatus::Success);
    }
}

TEST(AFCWireClient, OpensReadsAndTellsThroughTheirResultReplies)
{
    ScriptedServiceConnection transport;
    AFCWireClient client(transport);
    transport.addChunk(replyPacket(1, AFCOpcode::FileOpenResult, u64(5)));
    transport.addChunk(replyPacket(2, AFCOpcode::Data, "hello world", 40));
    transport.addChunk(replyPacket(3, AFCOpcode::Data, "", 40));
    transport.addChunk(replyPacket(4, AFCOpcode::FileTellResult, u64(11)));
    transport.addChunk(replyPacket(5, AFCOpcode::FileOpenResult, u64(0)));

    std::uint64_t handle = 0;
    ASSERT_EQ(client.fileOpen("/f", AFCWireOpenMode::ReadOnly, handle), AFCStatus::Success);
    EXPECT_EQ(handle, 5u);
    char buffer[5];
    std::uint32_t got = 0;
    // The device sent more than was asked: the rest is dropped and the stream stays in step.
    ASSERT_EQ(client.fileRead(handle, buffer, sizeof buffer, got), AFCStatus::Success);
    EXPECT_EQ(std::string(buffer, got), "hello");
    ASSERT_EQ(client.fileRead(handle, buffer, sizeof buffer, got), AFCStatus::Success);
    EXPECT_EQ(got, 0u);
    std::uint64_t position = 0;
    ASSERT_EQ(client.fileTell(handle, position), AFCStatus::Success);
    EXPECT_EQ(position, 11u);

    std::uint64_t zeroHandle = 77;
    EXPECT_EQ(client.fileOpen("/g", AFCWireOpenMode::WriteTruncate, zeroHandle), AFCStatus::NotEnoughData);
    EXPECT_EQ(zeroHandle, 77u);
    EXPECT_FALSE(client.isBroken());

    // The open request carries the wire mode before the path.
    const std::string lastOpen = transport.sent.substr(transport.sent.size() - 51);
    EXPECT_EQ(
        readUInt64LE(reinterpret_cast<const std::uint8_t*>(lastOpen.data()) + 40), AFCWireOpenMode::WriteTruncate);
    EXPECT_EQ(lastOpen.substr(48), std::string("/g\0", 3));
}

TEST(AFCWireClient, ReportsADeviceStatusFromAFileRead)
{
    ScriptedServiceConnection transport;
    AFCWireClient client(transport);
    transport.addChunk(statusReply(1, 7));
    char buffer[8];
    std::uint32_t got = 9;
    EXPECT_EQ(client.fileRead(3, buffer, sizeof buffer, got), AFCStatus::InvalidArg);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(client.lastError(), "The device answered status 7 (Invalid argument)");
    EXPECT_FALSE(client.isBroken());
}

TEST(AFCWireClient, ReportsAFailedSend)
{
    ScriptedServiceConnection transport;
    transport.sendLimit = 0;
    AFCWireClient client(transport);
    EXPECT_EQ(client.makeDirectory("/a"), AFCStatus::ConnectionError);
    EXPECT_EQ(client.lastError(), "Can't send request to the device");
    EXPECT_EQ(int(transport.receiveRequests.size()), 0);
}

TEST(AFCWireClient, EncodesArgumentsOfPathOperations)
{
    ScriptedServiceConnection transport;
    AFCWireClient client(transport);
    transport.addChunk(statusReply(1, 0));
    transport.addChunk(statusReply(2, 0));
    transport.addChunk(statusReply(3, 0));
    transport.addChunk(statusReply(4, 0));
    ASSERT_EQ(client.renamePath("/a", "/b"), AFCStatus::Success);
    ASSERT_EQ(client.makeLink(2, "target", "/l"), AFCStatus::Success);
    ASSERT_EQ(client.setFileModTime("/a", 1494244521000000000ULL), AFCStatus::Success);
    ASSERT_EQ(client.fileSeek(4, -5, 2), AFCStatus::Success);

    const std::string& sent = transport.sent;
    EXPECT_EQ(sent.substr(40, 6), std::string("/a\0/b\0", 6));
    const std::size_t link = 46;
    EXPECT_EQ(readUInt64LE(reinterpret_cast<const std::uint8_t*>(sent.data()) + link + 32), 0x1Cu);
    EXPECT_EQ(sent.substr(link + 40, 8), u64(2));
    EXPECT_EQ(sent.substr(link + 48, 10), std::string("target\0/l\0", 10));
    const std::size_t modTime = link + 58;
    EXPECT_EQ(sent.substr(modTime + 40, 8), u64(1494244521000000000ULL));
    EXPECT_EQ(sent.substr(modTime + 48, 3), std::string("/a\0", 3));
    const std::size_t seek = modTime + 51;
    EXPECT_EQ(sent.substr(seek + 40, 24), u64(4) + u64(2) + u64(static_cast<std::uint64_t>(-5)));
}
