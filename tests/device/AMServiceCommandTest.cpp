#include "base/Log.h"
#include "device/AMService.h"
#include "tests/device/ScriptedMobileDevice.h"

#include <gtest/gtest.h>

namespace {

class RecordingDelegate : public AMServiceDelegate
{
public:
    void operationStarted(const PlistValue& request) override
    {
        events.push_back("started " + request.stringForKey("Command"));
    }
    void operationContinues(const PlistValue& reply) override
    {
        events.push_back("continues " + reply.stringForKey("Status"));
    }
    void operationCompleted(const PlistValue& request) override
    {
        events.push_back("completed " + request.stringForKey("Command"));
    }
    std::vector<std::string> events;
};

template <typename Service> struct Scripted
{
    Scripted()
    {
        auto owned = std::make_unique<ScriptedServiceConnection>();
        connection = owned.get();
        service = std::make_unique<Service>(std::move(owned));
    }
    ScriptedServiceConnection* connection;
    std::unique_ptr<Service> service;

    /// The frames the service sent, decoded.
    std::vector<PlistValue> sentMessages() const
    {
        std::vector<PlistValue> messages;
        std::string rest = connection->sent;
        while (rest.size() >= 4) {
            const std::uint32_t length = (std::uint32_t(std::uint8_t(rest[0])) << 24)
                | (std::uint32_t(std::uint8_t(rest[1])) << 16) | (std::uint32_t(std::uint8_t(rest[2])) << 8)
                | std::uint32_t(std::uint8_t(rest[3]));
            messages.push_back(PlistCodec::fromAny(rest.substr(4, length)).value());
            rest.erase(0, 4 + length);
        }
        return messages;
    }
};

const PlistValue REQUEST(PlistDictionary { { "Command", "Uninstall" } });

PlistValue status(const std::string& text)
{
    return PlistValue(PlistDictionary { { "Status", text } });
}

} // namespace

TEST(AMServiceWaitUntilDone, ProgressThenCompleteSucceeds)
{
    Scripted<AMService> scripted;
    RecordingDelegate delegate;
    scripted.service->setDelegate(&delegate);
    scripted.connection->addReply(status("RemovingApplication"));
    scripted.connection->addReply(status("Complete"));
    scripted.service->setLastError("stale");
    EXPECT_TRUE(scripted.service->sendRequestAndWaitUntilDone(REQUEST));
    EXPECT_EQ(delegate.events,
        (std::vector<std::string> {
            "started Uninstall", "continues RemovingApplication", "continues Complete", "completed Uninstall" }));
    EXPECT_FALSE(scripted.service->lasterror());
    EXPECT_EQ(scripted.sentMessages(), std::vector<PlistValue> { REQUEST });
}

TEST(AMServiceWaitUntilDone, FailuresEndTheLoop)
{
    struct Row
    {
        const char* name;
        std::vector<PlistValue> replies;
        std::optional<std::string> error;
        int continues;
    };
    const std::vector<Row> rows {
        { "error with complete",
            { PlistValue(PlistDictionary { { "Error", "APIInternalError" }, { "Status", "Complete" } }) },
            "APIInternalError", 1 },
        { "error after progress",
            { status("Busy"), PlistValue(PlistDictionary { { "Error", "DeviceOSVersionTooLow" } }) },
            "DeviceOSVersionTooLow", 2 },
        { "connection closed", { status("Busy") }, "Can't receive reply size", 1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scripted<AMService> scripted;
        RecordingDelegate delegate;
        scripted.service->setDelegate(&delegate);
        for (const auto& reply : row.replies) {
            scripted.connection->addReply(reply);
        }
        EXPECT_FALSE(scripted.service->sendRequestAndWaitUntilDone(REQUEST));
        EXPECT_EQ(scripted.service->lasterror(), row.error);
        EXPECT_EQ(std::count_if(delegate.events.begin(), delegate.events.end(),
                      [](const std::string& e) { return e.starts_with("continues"); }),
            row.continues);
        EXPECT_EQ(delegate.events.back(), "completed Uninstall");
    }
}

TEST(AMServiceWaitUntilDone, FailedSendStillTellsTheDelegateOnce)
{
    Scripted<AMService> scripted;
    RecordingDelegate delegate;
    scripted.service->setDelegate(&delegate);
    scripted.connection->sendLimit = 0;
    EXPECT_FALSE(scripted.service->sendRequestAndWaitUntilDone(REQUEST));
    EXPECT_EQ(delegate.events, (std::vector<std::string> { "started Uninstall", "completed Uninstall" }));
    EXPECT_EQ(scripted.service->lasterror(), "Can't send message size");
}

TEST(AMServiceSingleReply, NothingWhenTheSendFails)
{
    Scripted<AMService> scripted;
    scripted.connection->addReply(status("Complete"));
    scripted.connection->sendLimit = 6;
    EXPECT_FALSE(scripted.service->sendRequestAndWaitForSingleReply(REQUEST));
    EXPECT_EQ(scripted.connection->receiveRequests.size(), 0u);
    scripted.connection->sendLimit = std::size_t(-1);
    EXPECT_EQ(scripted.service->sendRequestAndWaitForSingleReply(REQUEST), status("Complete"));
}

TEST(AMDLServiceHandshake, AnswersTheDevicesMajorVersion)
{
    for (std::int64_t major : { 300, 400 }) {
        SCOPED_TRACE(major);
        LogCapture log;
        Scripted<AMDLService> scripted;
        scripted.connection->addReply(PlistValue(PlistArray { "DLMessageVersionExchange", major, 0 }));
        scripted.connection->addReply(PlistValue(PlistArray { "DLMessageDeviceReady" }));
        EXPECT_TRUE(scripted.service->versionHandshake());
        EXPECT_EQ(scripted.sentMessages(),
            std::vector<PlistValue> { PlistValue(PlistArray { "DLMessageVersionExchange", "DLVersionsOk", major }) });
        EXPECT_TRUE(log.contains(stringWithFormat("Device requesting DeviceLinkProtocol %ld,0", long(major))));
    }
}

TEST(AMDLServiceHandshake, FailsOnUnexpectedMessages)
{
    struct Row
    {
        const char* name;
        std::vector<PlistValue> replies;
        std::string error;
    };
    const std::vector<Row> rows {
        { "disconnect", { PlistValue(PlistArray { "DLMessageDisconnect", "Device is locked" }) }, "Device is locked" },
        { "empty array", { PlistValue(PlistArray {}) }, "Response truncated" },
        { "other message", { PlistValue(PlistArray { "DLMessagePing", "x" }) },
            "Expected 'DLMessageVersionExchange', got 'DLMessagePing'" },
        { "no array", { PlistValue(PlistDictionary { { "Status", "x" } }) }, "Reply is not a device-link message" },
        { "versions missing", { PlistValue(PlistArray { "DLMessageVersionExchange", 300 }) },
            "Version exchange without major and minor version" },
        { "never ready",
            { PlistValue(PlistArray { "DLMessageVersionExchange", 300, 0 }),
                PlistValue(PlistArray { "DLMessageDisconnect", "bye" }) },
            "bye" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scripted<AMDLService> scripted;
        for (const auto& reply : row.replies) {
            scripted.connection->addReply(reply);
        }
        EXPECT_FALSE(scripted.service->versionHandshake());
        EXPECT_EQ(scripted.service->lasterror(), row.error);
    }
}

TEST(AMDLServiceProcessMessage, ReplyPayloadOrReason)
{
    const PlistDictionary request { { "MessageType", "ScreenShotRequest" } };
    struct Row
    {
        const char* name;
        PlistValue reply;
        std::optional<std::string> error;
    };
    const PlistDictionary good { { "MessageType", "ScreenShotReply" }, { "ScreenShotData", PlistData { 1, 2, 3 } } };
    const std::vector<Row> rows {
        { "good", PlistValue(PlistArray { "DLMessageProcessMessage", good }), std::nullopt },
        { "too short", PlistValue(PlistArray { "DLMessageProcessMessage" }), "Reply is too short" },
        { "error message",
            PlistValue(PlistArray { "DLMessageProcessMessage", PlistDictionary { { "ErrorMessage", "No display" } } }),
            "No display" },
        { "other type",
            PlistValue(PlistArray { "DLMessageProcessMessage", PlistDictionary { { "MessageType", "Other" } } }),
            "Expected 'ScreenShotReply', got 'Other'" },
        { "disconnect", PlistValue(PlistArray { "DLMessageDisconnect", "Going away" }), "Going away" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scripted<AMDLService> scripted;
        scripted.connection->addReply(row.reply);
        const auto payload = scripted.service->sendDLProcessMessage(request, "ScreenShotReply");
        EXPECT_EQ(payload.has_value(), !row.error.has_value());
        EXPECT_EQ(scripted.service->lasterror(), row.error);
        if (payload) {
            EXPECT_EQ(*payload, good);
        }
        EXPECT_EQ(scripted.sentMessages(),
            std::vector<PlistValue> { PlistValue(PlistArray { "DLMessageProcessMessage", request }) });
    }
}
