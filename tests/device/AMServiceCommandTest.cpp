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

const PlistValue REQUEST(PlistDictionary { { "Command", "Uninstall" } });

PlistValue status(const std::string& text)
{
    return PlistValue(PlistDictionary { { "Status", text } });
}

} // namespace

TEST(AMServiceWaitUntilDone, ProgressThenCompleteSucceeds)
{
    ScriptedClient<AMService> scripted;
    RecordingDelegate delegate;
    scripted.client->setDelegate(&delegate);
    scripted.wire->addReply(status("RemovingApplication"));
    scripted.wire->addReply(status("Complete"));
    scripted.client->setLastError("stale");
    EXPECT_TRUE(scripted.client->sendRequestAndWaitUntilDone(REQUEST));
    EXPECT_EQ(delegate.events,
        (std::vector<std::string> {
            "started Uninstall", "continues RemovingApplication", "continues Complete", "completed Uninstall" }));
    EXPECT_FALSE(scripted.client->lasterror());
    EXPECT_EQ(sentMessages(scripted.wire->sent), std::vector<PlistValue> { REQUEST });
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
        ScriptedClient<AMService> scripted;
        RecordingDelegate delegate;
        scripted.client->setDelegate(&delegate);
        for (const auto& reply : row.replies) {
            scripted.wire->addReply(reply);
        }
        EXPECT_FALSE(scripted.client->sendRequestAndWaitUntilDone(REQUEST));
        EXPECT_EQ(scripted.client->lasterror(), row.error);
        EXPECT_EQ(std::count_if(delegate.events.begin(), delegate.events.end(),
                      [](const std::string& e) { return e.starts_with("continues"); }),
            row.continues);
        EXPECT_EQ(delegate.events.back(), "completed Uninstall");
    }
}

TEST(AMServiceWaitUntilDone, FailedSendStillTellsTheDelegateOnce)
{
    ScriptedClient<AMService> scripted;
    RecordingDelegate delegate;
    scripted.client->setDelegate(&delegate);
    scripted.wire->sendLimit = 0;
    EXPECT_FALSE(scripted.client->sendRequestAndWaitUntilDone(REQUEST));
    EXPECT_EQ(delegate.events, (std::vector<std::string> { "started Uninstall", "completed Uninstall" }));
    EXPECT_EQ(scripted.client->lasterror(), "Can't send message size");
}

TEST(AMServiceSingleReply, NothingWhenTheSendFails)
{
    ScriptedClient<AMService> scripted;
    scripted.wire->addReply(status("Complete"));
    scripted.wire->sendLimit = 6;
    EXPECT_FALSE(scripted.client->sendRequestAndWaitForSingleReply(REQUEST));
    EXPECT_EQ(scripted.wire->receiveRequests.size(), 0u);
    scripted.wire->sendLimit = std::size_t(-1);
    EXPECT_EQ(scripted.client->sendRequestAndWaitForSingleReply(REQUEST), status("Complete"));
}

TEST(AMDLServiceHandshake, AnswersTheDevicesMajorVersion)
{
    for (std::int64_t major : { 300, 400 }) {
        SCOPED_TRACE(major);
        LogCapture log;
        ScriptedClient<AMDLService> scripted;
        scripted.wire->addReply(PlistValue(PlistArray { "DLMessageVersionExchange", major, 0 }));
        scripted.wire->addReply(PlistValue(PlistArray { "DLMessageDeviceReady" }));
        EXPECT_TRUE(scripted.client->versionHandshake());
        EXPECT_EQ(sentMessages(scripted.wire->sent),
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
        ScriptedClient<AMDLService> scripted;
        for (const auto& reply : row.replies) {
            scripted.wire->addReply(reply);
        }
        EXPECT_FALSE(scripted.client->versionHandshake());
        EXPECT_EQ(scripted.client->lasterror(), row.error);
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
        ScriptedClient<AMDLService> scripted;
        scripted.wire->addReply(row.reply);
        const auto payload = scripted.client->sendDLProcessMessage(request, "ScreenShotReply");
        EXPECT_EQ(payload.has_value(), !row.error.has_value());
        EXPECT_EQ(scripted.client->lasterror(), row.error);
        if (payload) {
            EXPECT_EQ(*payload, good);
        }
        EXPECT_EQ(sentMessages(scripted.wire->sent),
            std::vector<PlistValue> { PlistValue(PlistArray { "DLMessageProcessMessage", request }) });
    }
}
