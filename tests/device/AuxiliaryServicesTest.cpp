#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMAuxiliaryServices.h"
#include "device/AMNotificationProxy.h"
#include "device/AMServiceFrame.h"
#include "device/AMSyslogRelay.h"
#include "tests/device/ScriptedMobileDevice.h"

#include <sstream>

#include <gtest/gtest.h>

namespace {

std::string frameOf(const PlistValue& value)
{
    const std::string body = PlistCodec::toXml(value).value();
    return encodeServiceFrameHeader(std::uint32_t(body.size())) + body;
}

int countOccurrences(const std::string& haystack, const std::string& needle)
{
    int count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

/// Captured lines without the listener thread's own, which may land at any moment.
std::vector<std::string> proxyLines(const LogCapture& log)
{
    std::vector<std::string> lines = log.lines();
    std::erase(lines, std::string("Notification proxy connection ended"));
    return lines;
}

/// The main loop for the duration of a test.
struct MainLoop
{
    MainLoop() { RunLoop::setMain(&loop); }
    ~MainLoop() { RunLoop::setMain(nullptr); }
    PlainRunLoop loop;
};

} // namespace

TEST(AMSyslogLineSplitter, CutsLinesAtNulAndKeepsTheRest)
{
    AMSyslogLineSplitter splitter;
    using namespace std::string_literals;
    const std::string first = "\n\nkernel[0] <Notice>: first\0second line, first ha"s;
    EXPECT_EQ(splitter.feed(first.data(), first.size()), std::vector<std::string> { "kernel[0] <Notice>: first" });
    EXPECT_EQ(splitter.pending(), "second line, first ha");
    const std::string second = "lf\nwith a newline inside\0\n\0third\0"s;
    EXPECT_EQ(splitter.feed(second.data(), second.size()),
        (std::vector<std::string> { "second line, first half\nwith a newline inside", "third" }));
    EXPECT_TRUE(splitter.pending().empty());
}

TEST(AMSyslogLineSplitter, EveryByteSplitGivesTheSameLines)
{
    const std::string stream = std::string("\nalpha\0\n\nbeta gamma\0\0delta\0\0", 28);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        AMSyslogLineSplitter splitter;
        std::vector<std::string> lines = splitter.feed(stream.data(), cut);
        for (std::string& line : splitter.feed(stream.data() + cut, stream.size() - cut)) {
            lines.push_back(std::move(line));
        }
        EXPECT_EQ(lines, (std::vector<std::string> { "alpha", "beta gamma", "delta" }));
    }
}

TEST(AMSyslogLineSplitter, AnEndlessLineIsBounded)
{
    AMSyslogLineSplitter splitter;
    const std::string flood(AMSyslogLineSplitter::MAX_LINE + 10, 'x');
    const auto lines = splitter.feed(flood.data(), flood.size());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), AMSyslogLineSplitter::MAX_LINE);
    EXPECT_EQ(splitter.pending().size(), 10u);
}

TEST(AMSyslogRelay, DeliversLinesSplitAcrossReadsOnTheMainLoop)
{
    MainLoop main;
    auto connection = std::make_unique<ScriptedServiceConnection>();
    connection->addChunk(std::string("\n\nfirst line\0second ", 20));
    connection->addChunk(std::string("half\0", 5));
    std::vector<std::string> lines;
    std::vector<bool> onMain;
    AMSyslogRelay relay(std::move(connection), [&](const std::string& line) {
        lines.push_back(line);
        onMain.push_back(main.loop.isLoopThread());
    });
    ASSERT_TRUE(main.loop.runUntil([&] { return lines.size() == 2 && !relay.isReading(); }, std::chrono::seconds(10)));
    EXPECT_EQ(lines, (std::vector<std::string> { "first line", "second half" }));
    EXPECT_EQ(onMain, (std::vector<bool> { true, true }));
}

struct NotificationProxyRules : ::testing::Test
{
    NotificationProxyRules()
    {
        auto connection = std::make_unique<ScriptedServiceConnection>();
        wire = connection.get();
        proxy = std::make_unique<AMNotificationProxy>(std::move(connection), library);
    }
    ~NotificationProxyRules() override { proxy.reset(); }

    MainLoop main;
    ScriptedMobileDevice library;
    ScriptedServiceConnection* wire;
    std::unique_ptr<AMNotificationProxy> proxy;
};

TEST_F(NotificationProxyRules, OneEntryPerObserverAndNameAndTheDeviceAskedOnce)
{
    std::vector<std::string> heardA;
    std::vector<std::string> heardB;
    AMNotificationObserver a("Watcher");
    a.respondTo("changed:", [&](const std::string& name) { heardA.push_back(name); });
    a.respondTo("other:", [&](const std::string& name) { heardA.push_back("other " + name); });
    AMNotificationObserver b;
    b.respondTo("changed:", [&](const std::string& name) { heardB.push_back(name); });

    proxy->addObserver(&a, "changed:", "com.apple.x");
    proxy->addObserver(&a, "other:", "com.apple.x"); // already listed: the first selector stays
    proxy->addObserver(&b, "changed:", "com.apple.x");
    EXPECT_EQ(proxy->observerCount("com.apple.x"), 2u);
    EXPECT_EQ(countOccurrences(wire->sent, "ObserveNotification"), 1);

    proxy->deliverNotification("com.apple.x");
    proxy->deliverNotification("com.apple.unobserved");
    EXPECT_EQ(heardA, std::vector<std::string> { "com.apple.x" });
    EXPECT_EQ(heardB, std::vector<std::string> { "com.apple.x" });

    proxy->removeObserver(&a);
    proxy->deliverNotification("com.apple.x");
    EXPECT_EQ(heardA.size(), 1u);
    EXPECT_EQ(heardB.size(), 2u);
    proxy->addObserver(&a, "changed:", "com.apple.x"); // the name's list exists: the device is not asked again
    EXPECT_EQ(countOccurrences(wire->sent, "ObserveNotification"), 1);
}

TEST_F(NotificationProxyRules, AnObserverRemovedDuringDeliveryIsNotCalled)
{
    auto second = std::make_unique<AMNotificationObserver>();
    int secondCalls = 0;
    second->respondTo("changed:", [&](const std::string&) { ++secondCalls; });
    AMNotificationObserver first;
    first.respondTo("changed:", [&](const std::string&) {
        proxy->removeObserver(second.get());
        second.reset();
    });
    proxy->addObserver(&first, "changed:", "com.apple.x");
    proxy->addObserver(second.get(), "changed:", "com.apple.x");
    proxy->deliverNotification("com.apple.x");
    EXPECT_EQ(secondCalls, 0);
    EXPECT_EQ(proxy->observerCount("com.apple.x"), 1u);
}

TEST_F(NotificationProxyRules, WrongSelectorShapesAreRefused)
{
    AMNotificationObserver observer("Watcher");
    observer.respondTo("changed:with:", [](const std::string&) {});
    observer.respondTo("changed", [](const std::string&) {});
    for (const std::string selector : { "changed:with:", "changed" }) {
        SCOPED_TRACE(selector);
        LogCapture log;
        proxy->addObserver(&observer, selector, "com.apple.x");
        EXPECT_EQ(proxyLines(log),
            (std::vector<std::string> {
                "Watcher." + selector + " defined incorrectly for AMNotificationCenter.addObserver:selector:name:",
                "It should be:", "-(void)" + selector + ": (id)notificationname;" }));
    }
    LogCapture log;
    proxy->addObserver(&observer, "missing:", "com.apple.x");
    const std::vector<std::string> lines = proxyLines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" does not respond to missing:"), std::string::npos);
    EXPECT_EQ(proxy->observerCount("com.apple.x"), 0u);
    EXPECT_EQ(countOccurrences(wire->sent, "ObserveNotification"), 0);
}

TEST(AMNotificationProxy, RelaysReachObserversOnTheMainLoop)
{
    MainLoop main;
    ScriptedMobileDevice library;
    auto connection = std::make_unique<ScriptedServiceConnection>();
    connection->addChunk(frameOf(PlistDictionary { { "Command", "RelayNotification" }, { "Name", "com.apple.y" } }));
    std::vector<std::string> heard;
    AMNotificationObserver observer;
    observer.respondTo("seen:", [&](const std::string& name) {
        EXPECT_TRUE(main.loop.isLoopThread());
        heard.push_back(name);
    });
    AMNotificationProxy proxy(std::move(connection), library);
    proxy.addObserver(&observer, "seen:", "com.apple.y");
    ASSERT_TRUE(main.loop.runUntil([&] { return !heard.empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(heard, std::vector<std::string> { "com.apple.y" });
}

TEST(AMFileRelay, CopiesTheRawStreamOnceOnly)
{
    auto connection = std::make_unique<ScriptedServiceConnection>();
    ScriptedServiceConnection* wire = connection.get();
    wire->addReply(PlistDictionary { { "Status", "Acknowledged" } });
    wire->addChunk(std::string("\x1f\x8b\x08\0raw", 7));
    wire->addChunk("more bytes");
    AMFileRelay relay(std::move(connection));
    std::ostringstream out;
    ASSERT_TRUE(relay.getFileSets({ "WiFi", "Network" }, out));
    EXPECT_EQ(out.str(), std::string("\x1f\x8b\x08\0rawmore bytes", 17));
    EXPECT_FALSE(relay.lasterror().has_value());
    EXPECT_NE(wire->sent.find("<string>Network</string>"), std::string::npos);

    const std::size_t sentBefore = wire->sent.size();
    std::ostringstream again;
    EXPECT_FALSE(relay.getFileSet("WiFi", again));
    EXPECT_EQ(relay.lasterror(), "AlreadyUsed");
    EXPECT_EQ(wire->sent.size(), sentBefore);
}

TEST(AMFileRelay, DeviceErrorsAndBrokenOutput)
{
    {
        auto connection = std::make_unique<ScriptedServiceConnection>();
        connection->addReply(PlistDictionary { { "Error", "InvalidSource" } });
        AMFileRelay relay(std::move(connection));
        std::ostringstream out;
        EXPECT_FALSE(relay.getFileSet("Nope", out));
        EXPECT_EQ(relay.lasterror(), "InvalidSource");
    }
    {
        auto connection = std::make_unique<ScriptedServiceConnection>();
        connection->addReply(PlistDictionary { { "Status", "Acknowledged" } });
        connection->addChunk("data");
        AMFileRelay relay(std::move(connection));
        std::ostringstream out;
        out.setstate(std::ios::badbit);
        EXPECT_FALSE(relay.getFileSet("WiFi", out));
        EXPECT_EQ(relay.lasterror(), "File truncated on write, nr=4 nw=0");
    }
}

TEST(AMScreenshotService, BadImageDataIsRefused)
{
    const std::vector<std::pair<const char*, PlistValue>> cases {
        { "png", PlistValue(PlistData { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0 }) },
        { "tiff", PlistValue(PlistData { 'M', 'M', 0, 42, 0, 0 }) },
        { "text", PlistValue(PlistData { 'h', 'e', 'l', 'l', 'o' }) },
        { "string", PlistValue("not data") },
    };
    for (const auto& [label, data] : cases) {
        SCOPED_TRACE(label);
        auto connection = std::make_unique<ScriptedServiceConnection>();
        connection->addReply(PlistArray { "DLMessageProcessMessage",
            PlistDictionary { { "MessageType", "ScreenShotReply" }, { "ScreenShotData", data } } });
        AMScreenshotService service(std::move(connection));
        const auto image = service.getScreenshot();
        const bool valid = std::string(label) == "png" || std::string(label) == "tiff";
        EXPECT_EQ(image.has_value(), valid);
        if (!valid) {
            EXPECT_EQ(service.lasterror(), "Bad image data in ScreenShotData");
        }
    }
}
