#include "base/Log.h"
#include "device/AMService.h"
#include "device/AMServiceFrame.h"
#include "device/AMSocketConnection.h"
#include "tests/device/ScriptedMobileDevice.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct ScriptedService
{
    ScriptedService()
    {
        auto owned = std::make_unique<ScriptedServiceConnection>();
        connection = owned.get();
        service = std::make_unique<AMService>(std::move(owned));
    }
    ScriptedServiceConnection* connection;
    std::unique_ptr<AMService> service;
};

std::string frameHeader(std::uint32_t length)
{
    return encodeServiceFrameHeader(length);
}

std::string xmlOf(const PlistValue& value)
{
    return PlistCodec::toXml(value).value();
}

PlistDictionary largeDictionary(std::size_t bytes)
{
    return { { "Command", "Browse" }, { "Padding", std::string(bytes, 'x') } };
}

} // namespace

TEST(AMServiceFraming, RequestGoesOutAsBigEndianLengthAndBody)
{
    // Sizes that put non-zero bytes in the low three positions of the length field (the fourth is
    // covered with the header encoder below, without building a 16 MiB request).
    for (std::size_t padding : { std::size_t(0), std::size_t(300), std::size_t(70000) }) {
        SCOPED_TRACE(padding);
        ScriptedService scripted;
        const PlistValue request(largeDictionary(padding));
        ASSERT_TRUE(scripted.service->sendXMLRequest(request));
        const std::string& sent = scripted.connection->sent;
        ASSERT_GE(sent.size(), 4u);
        const std::size_t n = sent.size() - 4;
        EXPECT_EQ(std::uint8_t(sent[0]), (n >> 24) & 0xFF);
        EXPECT_EQ(std::uint8_t(sent[1]), (n >> 16) & 0xFF);
        EXPECT_EQ(std::uint8_t(sent[2]), (n >> 8) & 0xFF);
        EXPECT_EQ(std::uint8_t(sent[3]), n & 0xFF);
        EXPECT_EQ(sent.substr(4), xmlOf(request));
        EXPECT_FALSE(scripted.service->lasterror());
    }
}

TEST(AMServiceFraming, LengthFieldIsBigEndian)
{
    EXPECT_EQ(encodeServiceFrameHeader(0x01020304), std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(encodeServiceFrameHeader(0xFFFFFFFE), std::string("\xFF\xFF\xFF\xFE", 4));
    const std::uint8_t bytes[] = { 0x80, 0x00, 0x01, 0x7F };
    EXPECT_EQ(decodeServiceFrameLength(bytes), 0x8000017Fu);
}

TEST(AMServiceFraming, SendFailuresNameTheStep)
{
    struct Row
    {
        std::size_t limit;
        const char* error;
    };
    for (const Row& row : { Row { 0, "Can't send message size" }, Row { 3, "Can't send message size" },
             Row { 4, "Can't send message text" }, Row { 50, "Can't send message text" } }) {
        SCOPED_TRACE(row.limit);
        ScriptedService scripted;
        scripted.connection->sendLimit = row.limit;
        EXPECT_FALSE(scripted.service->sendXMLRequest(PlistValue(largeDictionary(100))));
        EXPECT_EQ(scripted.service->lasterror(), row.error);
    }
}

TEST(AMServiceFraming, RequestThatIsNoPropertyListIsRefused)
{
    ScriptedService scripted;
    EXPECT_FALSE(scripted.service->sendXMLRequest(PlistValue(PlistDictionary { { "Key", PlistValue() } })));
    EXPECT_EQ(scripted.service->lasterror(), "Can't convert request to XML");
    EXPECT_TRUE(scripted.connection->sent.empty());
}

TEST(AMServiceFraming, ReplySplitIntoPiecesIsJoined)
{
    ScriptedService scripted;
    const PlistValue reply(PlistDictionary { { "Status", "Complete" }, { "Name", "joined" } });
    const std::string body = xmlOf(reply);
    const std::string frame = frameHeader(std::uint32_t(body.size())) + body;
    // The length itself split, then the body in uneven pieces.
    scripted.connection->addChunk(frame.substr(0, 1));
    scripted.connection->addChunk(frame.substr(1, 2));
    scripted.connection->addChunk(frame.substr(3, 10));
    scripted.connection->addChunk(frame.substr(13, 1));
    scripted.connection->addChunk(frame.substr(14));
    scripted.service->setLastError("stale");
    const auto received = scripted.service->readXMLReply();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, reply);
    EXPECT_FALSE(scripted.service->lasterror());
}

TEST(AMServiceFraming, TwoFramesInOneReadAreReadOneAfterTheOther)
{
    ScriptedService scripted;
    const PlistValue first(PlistDictionary { { "Status", "BrowsingApplications" } });
    const PlistValue second(PlistArray { "DLMessageDeviceReady" });
    const std::string a = xmlOf(first);
    const std::string b = PlistCodec::toBinary(second).value(); // replies may come binary
    scripted.connection->addChunk(frameHeader(std::uint32_t(a.size())) + a + frameHeader(std::uint32_t(b.size())) + b);
    EXPECT_EQ(scripted.service->readXMLReply(), first);
    EXPECT_EQ(scripted.service->readXMLReply(), second);
}

TEST(AMServiceFraming, AReplyThatCannotBeReadSaysWhy)
{
    enum class Then {
        Nothing, // the error is all
        ConsumedAndOpen, // read whole, then refused: the stream is still in step
        OnlyTheLengthAndClosed, // refused before the body: out of step, so the connection is dropped
    };
    struct Row
    {
        std::string name;
        std::vector<std::string> chunks;
        std::string error;
        Then then { Then::Nothing };
        bool timesOut { false };
    };
    const std::string notPlist = "this is not a property list";
    std::vector<Row> rows {
        { "no length", {}, "Can't receive reply size" },
        { "3 bytes of the length", { std::string(3, '\0') }, "Can't receive reply size" },
        { "closed before the body", { frameHeader(100) }, "Reply was truncated, expected 100 more bytes" },
        { "closed 10 bytes short", { frameHeader(100), std::string(90, 'x') },
            "Reply was truncated, expected 10 more bytes" },
        { "closed 1 byte short", { frameHeader(100), std::string(99, 'x') },
            "Reply was truncated, expected 1 more bytes" },
        { "no property list", { frameHeader(std::uint32_t(notPlist.size())) + notPlist },
            "Can't parse reply as a property list", Then::ConsumedAndOpen },
        // Exactly the limit is received whole; a binary header with a broken trailer is refused by
        // the parser without a long scan.
        { "a body of the limit",
            { frameHeader(AM_MAX_FRAME_BODY_SIZE), "bplist00" + std::string(AM_MAX_FRAME_BODY_SIZE - 8, 'x') },
            "Can't parse reply as a property list", Then::ConsumedAndOpen },
        { "timed out", {}, "Timed out waiting for the reply", Then::Nothing, true },
    };
    for (std::uint32_t length : { AM_MAX_FRAME_BODY_SIZE + 1, 0xFFFFFFF0u, 0xFFFFFFFFu }) {
        rows.push_back({ "length " + std::to_string(length), { frameHeader(length), std::string(64, 'x') },
            stringWithFormat("Reply of %u bytes exceeds the limit of %u bytes", length, AM_MAX_FRAME_BODY_SIZE),
            Then::OnlyTheLengthAndClosed });
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedService scripted;
        for (const std::string& chunk : row.chunks) {
            scripted.connection->addChunk(chunk);
        }
        if (row.timesOut) {
            scripted.connection->whenEmpty = AMIOStatus::TimedOut;
            scripted.service->setTimeout(std::chrono::milliseconds(10));
        }
        EXPECT_FALSE(scripted.service->readXMLReply());
        EXPECT_EQ(scripted.service->lasterror(), row.error);
        if (row.then == Then::ConsumedAndOpen) {
            EXPECT_TRUE(scripted.connection->chunks.empty());
            EXPECT_TRUE(scripted.connection->isOpen());
        } else if (row.then == Then::OnlyTheLengthAndClosed) {
            EXPECT_EQ(scripted.connection->receiveRequests, std::vector<std::size_t> { 4 });
            EXPECT_FALSE(scripted.connection->isOpen());
        }
    }
}

TEST(AMServiceFraming, ZeroLengthKeepsTheLastError)
{
    ScriptedService scripted;
    scripted.service->setLastError("earlier failure");
    scripted.connection->addChunk(frameHeader(0));
    scripted.connection->addReply(PlistValue(PlistDictionary { { "Status", "Complete" } }));
    EXPECT_FALSE(scripted.service->readXMLReply());
    EXPECT_EQ(scripted.service->lasterror(), "earlier failure");
    // The stream stays in step: the next frame reads normally.
    EXPECT_TRUE(scripted.service->readXMLReply());
}

TEST(AMServiceFraming, WorksOverARealSocket)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    AMService service(std::make_unique<AMSocketConnection>(fds[0]));
    AMSocketConnection peer(fds[1]);
    const PlistValue request(PlistDictionary { { "Command", "Ping" } });
    ASSERT_TRUE(service.sendXMLRequest(request));
    char header[4];
    ASSERT_EQ(peer.receive(header, 4, std::chrono::seconds(5)).bytes, 4u);
    const std::uint32_t length = decodeServiceFrameLength(reinterpret_cast<std::uint8_t*>(header));
    std::string body(length, '\0');
    std::size_t got = 0;
    while (got < length) {
        const AMIOResult result = peer.receive(body.data() + got, length - got, std::chrono::seconds(5));
        ASSERT_TRUE(result.ok());
        got += result.bytes;
    }
    EXPECT_EQ(PlistCodec::fromAny(body), request);
    // A peer that sends half a body and closes: the read ends at once with the count.
    const std::string reply = frameHeader(40) + std::string(30, 'z');
    ASSERT_TRUE(peer.send(reply.data(), reply.size(), std::chrono::seconds(5)).ok());
    peer.close();
    EXPECT_FALSE(service.readXMLReply());
    EXPECT_EQ(service.lasterror(), "Reply was truncated, expected 10 more bytes");
}
