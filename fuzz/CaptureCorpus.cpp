// Writes the seed corpora of the fuzz targets from real conversations with the simulator's
// servers: our own clients (AFC, lockdown frames, installation proxy, springboard, notification
// proxy, syslog) talk to the simulator's handlers over socket pairs, and each side's bytes become
// seeds for the target that reads them. The media files come from the simulator's generators.
//   fuzz_capture_corpus OUTPUT_FOLDER      (scripts/fuzz --capture writes fuzz/corpus/)
#include "device/AFCPacket.h"
#include "device/AMInstallationProxy.h"
#include "device/AMServiceFrame.h"
#include "device/AMSocketConnection.h"
#include "fuzz/AFCOperations.h"
#include "fuzz/SimHarness.h"
#include "sim/AFCServer.h"
#include "sim/LockdownServer.h"
#include "sim/ServiceCatalog.h"
#include "sim/SimStream.h"
#include "sim/content/MediaFormats.h"

#include <functional>
#include <iostream>
#include <thread>

#include <sqlite3.h>

namespace {

namespace fs = std::filesystem;

fs::path g_output;
int g_written = 0;

void writeSeed(const std::string& target, const std::string& name, std::string_view bytes)
{
    const fs::path folder = g_output / target;
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
    ++g_written;
}

/// A socket connection that keeps a copy of everything sent and received.
class Recorder final : public AMServiceConnection
{
public:
    explicit Recorder(int fd)
        : m_socket(fd)
    {
    }
    AMIOResult send(const void* data, std::size_t length, std::chrono::milliseconds timeout) override
    {
        const AMIOResult result = m_socket.send(data, length, timeout);
        sent.append(static_cast<const char*>(data), result.bytes);
        return result;
    }
    AMIOResult receive(void* buffer, std::size_t length, std::chrono::milliseconds timeout) override
    {
        const AMIOResult result = m_socket.receive(buffer, length, timeout);
        received.append(static_cast<const char*>(buffer), result.ok() ? result.bytes : 0);
        return result;
    }
    void close() override { m_socket.close(); }
    bool isOpen() const override { return m_socket.isOpen(); }

    std::string sent;
    std::string received;

private:
    AMSocketConnection m_socket;
};

struct Conversation
{
    std::string sent;
    std::string received;
};

/// Runs `server` on one end of a socket pair and `client` on the other, recording the client side.
Conversation converse(const std::function<void(SimStream&)>& server,
    const std::function<void(Recorder&)>& client,
    SimStream::Kind kind = SimStream::Kind::Service)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::abort();
    }
    SimDevice& device = fuzzsim::device();
    std::thread serving([&] {
        SimStream stream(fds[1], &device.faults(), kind);
        server(stream);
        ::shutdown(fds[1], SHUT_RDWR);
    });
    auto recorder = std::make_unique<Recorder>(fds[0]);
    client(*recorder);
    recorder->close();
    serving.join();
    ::close(fds[1]);
    return { recorder->sent, recorder->received };
}

/// The bodies of the frames in a length-prefixed stream.
std::vector<std::string> frameBodies(const std::string& stream)
{
    AMServiceFrameAssembler frames;
    frames.append(stream.data(), stream.size());
    std::vector<std::string> bodies;
    std::string body;
    while (frames.next(body) == AMServiceFrameAssembler::Outcome::Frame) {
        bodies.push_back(body);
    }
    return bodies;
}

void plistSeeds(const std::string& prefix, const std::string& stream)
{
    int index = 0;
    for (const std::string& body : frameBodies(stream)) {
        const std::string name = prefix + "-" + std::to_string(index++);
        writeSeed("plist_xml", name + ".xml", body);
        if (const auto value = PlistCodec::fromAny(body)) {
            if (const auto binary = PlistCodec::toBinary(*value)) {
                writeSeed("plist_binary", name + ".bplist", *binary);
            }
        }
    }
}

std::string frame(const PlistValue& message)
{
    const std::string body = PlistCodec::toXml(message).value();
    return encodeServiceFrameHeader(static_cast<std::uint32_t>(body.size())) + body;
}

const ServiceCatalog& catalog()
{
    static const ServiceCatalog services = [] {
        ServiceCatalog out;
        registerServices(out);
        return out;
    }();
    return services;
}

std::function<void(SimStream&)> service(const std::string& name)
{
    return [name](SimStream& stream) {
        SimServiceContext context { fuzzsim::device(), stream, name, [] { return false; } };
        catalog().find(name)->handler(context);
    };
}

// ---- AFC ----------------------------------------------------------------------------------

void captureAfc()
{
    using namespace fuzzafc;
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> sessions {
        { "device-info", { DeviceInfo } },
        { "list-root", { ReadRoot, DeviceInfo } },
        { "write-read", { Open, Write, Seek, Read, Tell, Close, FileInfo } },
        { "folders", { MakeDirectory, Rename, Remove, Remove, FileInfo } },
    };
    for (const auto& [name, operations] : sessions) {
        const Conversation talk
            = converse([](SimStream& stream) { serveAfc(fuzzsim::device(), stream, SimDevice::MEDIA_PATH); },
                [&operations](Recorder& connection) {
                    AFCWireClient client(connection, std::chrono::seconds(10));
                    State state;
                    for (const std::uint8_t operation : operations) {
                        (void)run(client, operation, state);
                    }
                });
        writeSeed("sim_afc", name, talk.sent);
        std::string prefix(1, char(operations.size()));
        prefix.append(operations.begin(), operations.end());
        writeSeed("afc_reply", name, prefix + '\0' + talk.received);
        writeSeed("afc_reply", name + "-split", prefix + '\x07' + talk.received);

        // The payloads alone, for the parsers.
        std::string_view rest = talk.received;
        int index = 0;
        while (rest.size() >= AFC_HEADER_SIZE) {
            const AFCPacketHeader header = decodeAFCHeader(reinterpret_cast<const std::uint8_t*>(rest.data()));
            if (header.entireLength < AFC_HEADER_SIZE || header.entireLength > rest.size()) {
                break;
            }
            const std::string_view payload = rest.substr(AFC_HEADER_SIZE, header.entireLength - AFC_HEADER_SIZE);
            const std::string id = name + "-" + std::to_string(index++);
            if (header.operation == std::uint64_t(AFCOpcode::Data) && !payload.empty()) {
                writeSeed("afc_values", id + "-pairs", std::string(1, '\0') + std::string(payload));
                writeSeed("afc_values", id + "-listing", std::string(1, '\1') + std::string(payload));
            }
            writeSeed(
                "afc_values", id + "-header", std::string(1, '\3') + std::string(rest.substr(0, AFC_HEADER_SIZE)));
            rest.remove_prefix(header.entireLength);
        }
    }
}

// ---- Lockdown and usbmux --------------------------------------------------------------------

std::string lockdownRequests()
{
    auto request = [](std::string name, PlistDictionary extra = {}) {
        extra["Request"] = PlistValue(std::move(name));
        extra["Label"] = PlistValue("torvane");
        return frame(PlistValue(std::move(extra)));
    };
    return request("QueryType") + request("GetValue") + request("GetValue", { { "Key", PlistValue("ProductVersion") } })
        + request("GetValue", { { "Domain", PlistValue("com.apple.disk_usage") } })
        + request(
            "ValidatePair", { { "PairRecord", PlistValue(PlistDictionary { { "HostID", PlistValue("HOST") } }) } })
        + request("StartSession", { { "HostID", PlistValue("HOST") }, { "SystemBUID", PlistValue("BUID") } })
        + request("StartService", { { "Service", PlistValue("com.apple.afc") } })
        + request("StopSession", { { "SessionID", PlistValue("x") } }) + request("Goodbye");
}

void captureLockdown()
{
    const std::string requests = lockdownRequests();
    const Conversation talk = converse([](SimStream& stream) { runLockdown(fuzzsim::device(), stream, catalog()); },
        [&requests](Recorder& connection) {
            (void)connection.send(requests.data(), requests.size(), std::chrono::seconds(10));
            char buffer[4096];
            while (connection.receive(buffer, sizeof buffer, std::chrono::seconds(10)).ok()) { }
        },
        SimStream::Kind::Lockdown);
    writeSeed("sim_lockdown", "session", talk.sent);
    for (const std::string& body : frameBodies(talk.sent)) {
        writeSeed("sim_lockdown", "request-" + std::to_string(g_written), frame(PlistCodec::fromXml(body).value()));
    }
    writeSeed("service_frame", "lockdown-replies", std::string("\0\0", 2) + talk.received);
    writeSeed("service_frame", "lockdown-replies-split", std::string("\0\x05", 2) + talk.received);
    plistSeeds("lockdown-request", talk.sent);
    plistSeeds("lockdown-reply", talk.received);

    // usbmux: the plist messages a client sends, and a Connect followed by the lockdown session.
    auto usbmux = [](PlistDictionary message, std::uint32_t tag) {
        message["ClientVersionString"] = PlistValue("torvane");
        message["ProgName"] = PlistValue("torvane");
        message["kLibUSBMuxVersion"] = PlistValue(3);
        const std::string body = PlistCodec::toXml(PlistValue(std::move(message))).value();
        std::string out;
        for (const std::uint32_t word : { std::uint32_t(16 + body.size()), 1u, 8u, tag }) {
            for (int shift = 0; shift < 32; shift += 8) {
                out.push_back(char((word >> shift) & 0xFF));
            }
        }
        return out + body;
    };
    writeSeed("sim_usbmux", "list-devices", usbmux({ { "MessageType", PlistValue("ListDevices") } }, 1));
    writeSeed("sim_usbmux", "buid-and-record",
        usbmux({ { "MessageType", PlistValue("ReadBUID") } }, 1)
            + usbmux(
                { { "MessageType", PlistValue("ReadPairRecord") }, { "PairRecordID", PlistValue(fuzzsim::UDID) } }, 2)
            + usbmux({ { "MessageType", PlistValue("ListListeners") } }, 3));
    writeSeed("sim_usbmux", "listen", usbmux({ { "MessageType", PlistValue("Listen") } }, 1));
    const std::int64_t lockdownPort = (62078 >> 8) | ((62078 & 0xFF) << 8); // network order, as sent
    writeSeed("sim_usbmux", "connect-lockdown",
        usbmux({ { "MessageType", PlistValue("Connect") }, { "DeviceID", PlistValue(1) },
                   { "PortNumber", PlistValue(lockdownPort) } },
            1)
            + requests);
}

// ---- Property-list services -------------------------------------------------------------------

void captureInstallationProxy()
{
    const std::vector<std::pair<std::string, std::function<void(AMInstallationProxy&)>>> calls {
        { "browse", [](AMInstallationProxy& proxy) { (void)proxy.browse(); } },
        { "lookup",
            [](AMInstallationProxy& proxy) { (void)proxy.lookupType(std::string("User"), "CFBundleIdentifier"); } },
        { "archive", [](AMInstallationProxy& proxy) { (void)proxy.archive("com.example.app", true, true, false); } },
        { "archive-info", [](AMInstallationProxy& proxy) { (void)proxy.archivedAppInfo(); } },
        { "archive-ids", [](AMInstallationProxy& proxy) { (void)proxy.archivedAppBundleIds(); } },
    };
    char mode = 0;
    for (const auto& [name, call] : calls) {
        const std::function<void(AMInstallationProxy&)>& run = call;
        const Conversation talk
            = converse(service("com.apple.mobile.installation_proxy"), [&run](Recorder& connection) {
                  // The proxy owns its connection; this one only forwards to the recorder.
                  struct Forward final : AMServiceConnection
                  {
                      explicit Forward(AMServiceConnection& to)
                          : target(to)
                      {
                      }
                      AMIOResult send(const void* d, std::size_t n, std::chrono::milliseconds t) override
                      {
                          return target.send(d, n, t);
                      }
                      AMIOResult receive(void* b, std::size_t n, std::chrono::milliseconds t) override
                      {
                          return target.receive(b, n, t);
                      }
                      void close() override { target.close(); }
                      bool isOpen() const override { return target.isOpen(); }
                      AMServiceConnection& target;
                  };
                  AMInstallationProxy proxy(std::make_unique<Forward>(connection));
                  proxy.setTimeout(std::chrono::seconds(10));
                  run(proxy);
              });
        writeSeed("installation_proxy", name, std::string(1, mode++) + '\0' + talk.received);
        plistSeeds("installation-proxy-" + name, talk.received);
        plistSeeds("installation-proxy-request-" + name, talk.sent);
    }
}

void captureSpringboard()
{
    const Conversation talk = converse(service("com.apple.springboardservices"), [](Recorder& connection) {
        const std::string requests = frame(PlistValue(PlistDictionary { { "command", PlistValue("getIconPNGData") },
                                         { "bundleId", PlistValue("com.example.app") } }))
            + frame(PlistValue(
                PlistDictionary { { "command", PlistValue("getIconState") }, { "formatVersion", PlistValue("2") } }));
        (void)connection.send(requests.data(), requests.size(), std::chrono::seconds(10));
        char buffer[4096];
        while (frameBodies(connection.received).size() < 2
            && connection.receive(buffer, sizeof buffer, std::chrono::seconds(10)).ok()) { }
    });
    writeSeed("installation_proxy", "springboard", std::string("\5\0", 2) + talk.received);
}

void captureNotificationProxy()
{
    const Conversation talk = converse(service("com.apple.mobile.notification_proxy"), [](Recorder& connection) {
        auto command = [](const char* name, const char* value) {
            PlistDictionary message { { "Command", PlistValue(name) } };
            if (value) {
                message["Name"] = PlistValue(value);
            }
            return frame(PlistValue(std::move(message)));
        };
        const std::string first = command("ObserveNotification", "com.apple.itunes-client.syncCancelRequest")
            + command("PostNotification", "com.apple.itunes-client.syncCancelRequest");
        (void)connection.send(first.data(), first.size(), std::chrono::seconds(10));
        char buffer[4096];
        while (frameBodies(connection.received).empty()
            && connection.receive(buffer, sizeof buffer, std::chrono::seconds(10)).ok()) { }
        const std::string last = command("Shutdown", nullptr);
        (void)connection.send(last.data(), last.size(), std::chrono::seconds(10));
        while (connection.receive(buffer, sizeof buffer, std::chrono::seconds(10)).ok()) { }
    });
    writeSeed("notification_proxy", "relay-and-farewell", std::string(1, '\xff') + talk.received);
    writeSeed("notification_proxy", "relay-and-farewell-split", std::string(1, '\x02') + talk.received);
    plistSeeds("notification", talk.received);
}

void captureSyslog()
{
    const Conversation talk = converse(service("com.apple.syslog_relay"), [](Recorder& connection) {
        fuzzsim::device().events().postSyslog("kernel", 0, "Notice", "fuzz capture: a line\nwith a newline inside");
        char buffer[4096];
        while (connection.received.size() < 600
            && connection.receive(buffer, sizeof buffer, std::chrono::seconds(10)).ok()) { }
    });
    writeSeed("syslog_relay", "lines", std::string(1, '\xff') + talk.received);
    writeSeed("syslog_relay", "lines-split", std::string(1, '\x04') + talk.received);
}

// ---- Files from a phone ---------------------------------------------------------------------------

void captureMovies()
{
    struct Kind
    {
        const char* name;
        std::string_view brand;
        int version;
        bool audio;
    };
    for (const Kind& kind : { Kind { "video.mov", "qt  ", 0, false }, Kind { "video-v1.mp4", "mp42", 1, false },
             Kind { "song.m4a", "M4A ", 0, true } }) {
        MediaFormats::MovieLayout layout;
        layout.majorBrand = kind.brand;
        layout.headerVersion = kind.version;
        layout.duration = 600 * 12;
        layout.creationTime = 1'500'000'000;
        layout.creationDateText = "2017-07-14T02:40:00+0000";
        layout.audioOnly = kind.audio;
        layout.mediaBytes = 64;
        const MediaFormats::MovieBytes movie = MediaFormats::movie(layout);
        writeSeed("movie_header", kind.name, std::string(1, '\0') + movie.head + std::string(64, '\0') + movie.tail);
    }
}

void captureMediaLibrary()
{
    const fs::path state = fuzzsim::scratchFolder() / "music-state";
    std::string error;
    const auto profile = SimProfile::load(
        fuzzsim::writeProfile("{ \"userApps\": 0, \"systemApps\": 0, \"fileSharingApps\": 0, \"developerApps\": 0, "
                              "\"appsWithoutDisplayName\": 0, \"appsWithEmptyDisplayName\": 0, \"photos\": 0, "
                              "\"videos\": 0, \"songs\": 3, \"podcasts\": 1, \"stalledDownloads\": 0 }")
            .string(),
        &error);
    const auto phone = profile ? SimDevice::open(*profile, state, &error) : nullptr;
    if (!phone) {
        std::cerr << "capture: no music phone: " << error << "\n";
        std::exit(1);
    }
    const fs::path library = phone->hostPath("/private/var/mobile/Media/iTunes_Control/iTunes/MediaLibrary.sqlitedb");
    sqlite3* db = nullptr;
    // Fold the log into the file, and keep the file small: the fuzzer mutates every byte of it.
    if (sqlite3_open(library.c_str(), &db) != SQLITE_OK
        || sqlite3_exec(
               db, "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE; VACUUM;", nullptr, nullptr, nullptr)
            != SQLITE_OK) {
        std::cerr << "capture: cannot read the library: " << sqlite3_errmsg(db) << "\n";
        std::exit(1);
    }
    sqlite3_close(db);
    std::ifstream in(library, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    writeSeed("media_library", "MediaLibrary.sqlitedb", bytes);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: fuzz_capture_corpus OUTPUT_FOLDER\n";
        return 2;
    }
    g_output = argv[1];
    // A few apps, so that browse pages and lookups carry real records.
    fuzzsim::deviceContent() = "{ \"userApps\": 2, \"systemApps\": 1, \"fileSharingApps\": 1, \"developerApps\": 0, "
                               "\"appsWithoutDisplayName\": 0, \"appsWithEmptyDisplayName\": 0, \"photos\": 0, "
                               "\"videos\": 0, \"songs\": 0, \"podcasts\": 0, \"stalledDownloads\": 0 }";
    captureAfc();
    captureLockdown();
    captureInstallationProxy();
    captureSpringboard();
    captureNotificationProxy();
    captureSyslog();
    captureMovies();
    captureMediaLibrary();
    std::cout << "capture: " << g_written << " seeds in " << g_output.string() << "\n";
    return 0;
}
