// Service streams over TLS lose nothing when a read times out while a record is still arriving.

#include "device/AMNotificationProxy.h"
#include "device/AMSyslogRelay.h"
#include "tests/device/integration/AttachedDevice.h"
#include "tests/support/TestSupport.h"

#include <fstream>

namespace {

constexpr const char* UDID = "00008120-00000000000000A1";
constexpr int POSTS = 1000;

/// A 17.5 phone that serves the notification proxy and the system log over TLS.
std::string tlsServicesProfile()
{
    static TemporaryDirectory folder;
    const std::filesystem::path path = folder.path() / "tls-services.json";
    std::ofstream(path, std::ios::trunc) << R"({ "name": "TLS Phone", "udid": ")" << UDID
                                         << R"(", "productType": "iPhone15,2",
  "productVersion": "17.5", "buildVersion": "21F79", "diskCapacity": 268435456,
  "dataCapacity": 201326592, "usedBytes": 33554432, "reserveBytes": 4194304,
  "sslServices": ["com.apple.mobile.notification_proxy", "com.apple.syslog_relay"],
  "content": { "userApps": 0, "systemApps": 0, "fileSharingApps": 0, "developerApps": 0,
    "appsWithoutDisplayName": 0, "appsWithEmptyDisplayName": 0, "photos": 0, "videos": 0,
    "songs": 0, "podcasts": 0, "stalledDownloads": 0 } })";
    return path.string();
}

class TlsServiceStreams : public AttachedDeviceTest
{
protected:
    TlsServiceStreams()
        : AttachedDeviceTest({ tlsServicesProfile() })
    {
    }
};

} // namespace

TEST_F(TlsServiceStreams, EveryRelayAndLogLineArrivesWhenReadsTimeOutMidRecord)
{
    const auto device = waitForDevice(UDID);
    ASSERT_TRUE(device);
    auto listening = device->newAMNotificationProxy();
    auto posting = device->newAMNotificationProxy();
    ASSERT_TRUE(listening && posting);
    int ready = 0;
    int heard = 0;
    AMNotificationObserver observer;
    observer.respondTo("ready:", [&](const std::string&) { ++ready; });
    observer.respondTo("heard:", [&](const std::string&) { ++heard; });
    listening->addObserver(&observer, "ready:", "org.torvane.test.ready");
    listening->addObserver(&observer, "heard:", "org.torvane.test.post");
    int logged = 0;
    int readyLogged = 0;
    int malformed = 0; // a record's terminator or framing left in a line
    auto relay = device->newAMSyslogRelay([&](const std::string& line) {
        malformed += line.empty() || line.find('\0') != std::string::npos || line.front() == '\n' ? 1 : 0;
        logged += line.find("Posting org.torvane.test.post") != std::string::npos ? 1 : 0;
        readyLogged += line.find("Posting org.torvane.test.ready") != std::string::npos ? 1 : 0;
    });
    ASSERT_TRUE(relay);
    // Both streams are set up on the phone once a post comes back on each; the phone may take
    // the first post before the log stream listens, so post again until both answered.
    bool settled = false;
    for (int attempt = 0; attempt < 20 && !settled; ++attempt) {
        posting->postNotification("org.torvane.test.ready");
        settled = loop.runUntil([&] { return ready > 0 && readyLogged > 0; }, std::chrono::seconds(1));
    }
    ASSERT_TRUE(settled);

    // Every 40th record the phone writes goes out in two halves 300 ms apart: longer than the
    // listeners' 200 ms reads, so their time-outs fire with half a record taken.
    ASSERT_TRUE(sim.fault(UDID, { "split-writes", "300", "40" }));
    for (int i = 0; i < POSTS; ++i) {
        posting->postNotification("org.torvane.test.post");
    }
    EXPECT_TRUE(loop.runUntil([&] { return heard >= POSTS && logged >= POSTS; }, std::chrono::seconds(120)))
        << heard << " relays and " << logged << " log lines of " << POSTS;
    EXPECT_EQ(heard, POSTS);
    EXPECT_EQ(logged, POSTS);
    EXPECT_EQ(malformed, 0);
    EXPECT_TRUE(relay->isReading());
}
