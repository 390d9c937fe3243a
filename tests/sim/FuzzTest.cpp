// Random, truncated and oversized frames on every port the simulator serves; afterwards it must
// still answer ordinary clients. Fixed seed and bounded iterations, so a failure reproduces.
#include "tests/sim/SimTestSupport.h"

#include <cstring>
#include <random>
#include <set>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbmuxd.h>

using namespace std::chrono_literals;

namespace {

const std::string DEMO = SimulatorFixture::DEMO_UDID;

class Fuzzer
{
public:
    explicit Fuzzer(std::uint32_t seed)
        : m_random(seed)
    {
    }

    std::uint32_t below(std::uint32_t bound)
    {
        return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(m_random);
    }

    std::string bytes(std::size_t count)
    {
        std::string out(count, '\0');
        for (char& byte : out) {
            byte = char(below(256));
        }
        return out;
    }

    static void le32(std::string& out, std::uint32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(char((value >> shift) & 0xFF));
        }
    }

    static void le64(std::string& out, std::uint64_t value)
    {
        for (int shift = 0; shift < 64; shift += 8) {
            out.push_back(char((value >> shift) & 0xFF));
        }
    }

    /// A length field: mostly plausible, sometimes absurd.
    std::uint64_t length(std::uint64_t plausible)
    {
        switch (below(5)) {
        case 0:
            return 0;
        case 1:
            return 0xFFFFFFFFULL;
        case 2:
            return std::uint64_t(below(0x7FFFFFFF)) << below(32);
        default:
            return below(std::uint32_t(plausible) + 1);
        }
    }

    /// Sends, optionally waits a little for an answer, then closes.
    static void sendAndClose(int fd, const std::string& data, bool awaitReply)
    {
        ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (awaitReply) {
            pollfd pfd { fd, POLLIN, 0 };
            if (::poll(&pfd, 1, 200) > 0) {
                char sink[4096];
                (void)::recv(fd, sink, sizeof sink, MSG_DONTWAIT); // any answer or none is fine
            }
        }
        ::close(fd);
    }

private:
    std::mt19937 m_random;
};

int connectUnix(const std::filesystem::path& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void expectHealthy(const SimulatorFixture& sim)
{
    const ProcessResult listed = runProcess({ "idevice_id", "-l" }, 20s);
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.out, DEMO + "\n");
    const ProcessResult version = runProcess({ "ideviceinfo", "-u", DEMO, "-k", "ProductVersion" }, 20s);
    EXPECT_EQ(version.out, "9.3.5\n") << version.err;
    EXPECT_EQ(sim.ctl({ "list" }).exitCode, 0);
}

} // namespace

TEST(Fuzz, UsbmuxSocketSurvivesRandomAndTruncatedFrames)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    Fuzzer fuzz(20240611);
    for (int i = 0; i < 400; ++i) {
        const int fd = connectUnix(sim.socketPath());
        ASSERT_GE(fd, 0) << "iteration " << i;
        std::string frame;
        const std::uint32_t kind = fuzz.below(4);
        if (kind == 0) {
            frame = fuzz.bytes(fuzz.below(64));
        } else {
            std::string payload = kind == 3
                ? "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>MessageType</key><string>"
                    + std::string(fuzz.below(2) ? "Connect" : "ReadPairRecord")
                    + "</string><key>DeviceID</key><integer>" + std::to_string(int(fuzz.below(5)) - 1)
                    + "</integer><key>PortNumber</key><integer>" + std::to_string(fuzz.below(70000))
                    + "</integer><key>PairRecordID</key><string>../../x</string></dict></plist>"
                : fuzz.bytes(fuzz.below(300));
            const std::uint64_t declared = kind == 1 ? fuzz.length(payload.size() + 16) : payload.size() + 16;
            Fuzzer::le32(frame, std::uint32_t(declared));
            Fuzzer::le32(frame, fuzz.below(3));
            Fuzzer::le32(frame, fuzz.below(2) ? 8 : fuzz.below(10));
            Fuzzer::le32(frame, fuzz.below(100));
            frame += payload.substr(
                0, fuzz.below(4) == 0 ? fuzz.below(std::uint32_t(payload.size()) + 1) : payload.size());
        }
        Fuzzer::sendAndClose(fd, frame, fuzz.below(4) == 0);
    }
    expectHealthy(sim);
}

TEST(Fuzz, LockdownAndAfcPortsSurviveRandomAndTruncatedFrames)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    usbmuxd_device_info_t device {};
    ASSERT_EQ(usbmuxd_get_device_by_udid(DEMO.c_str(), &device), 1);
    Fuzzer fuzz(777);
    const auto outsideMedia = [&sim] {
        std::set<std::string> paths;
        const std::filesystem::path media = sim.mediaRoot(DEMO);
        std::error_code error;
        for (std::filesystem::recursive_directory_iterator it(sim.deviceRoot(DEMO), error), end; !error && it != end;
             it.increment(error)) {
            if (it->path() == media) {
                it.disable_recursion_pending();
                continue;
            }
            paths.insert(it->path().string());
        }
        return paths;
    };
    const std::set<std::string> before = outsideMedia();

    for (int i = 0; i < 120; ++i) {
        const int fd = usbmuxd_connect(device.handle, 62078);
        ASSERT_GE(fd, 0) << "iteration " << i;
        std::string frame;
        const std::string body = fuzz.below(2)
            ? "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Request</key><string>"
                + std::string(fuzz.below(2) ? "GetValue" : "StartService") + "</string><key>Key</key>"
                + (fuzz.below(2) ? "<integer>1</integer>" : "<string>x</string>") + "</dict></plist>"
            : fuzz.bytes(fuzz.below(200));
        const std::uint64_t declared = fuzz.below(3) == 0 ? fuzz.length(body.size()) : body.size();
        for (int shift = 24; shift >= 0; shift -= 8) {
            frame.push_back(char((declared >> shift) & 0xFF));
        }
        frame += body.substr(0, fuzz.below(4) == 0 ? fuzz.below(std::uint32_t(body.size()) + 1) : body.size());
        Fuzzer::sendAndClose(fd, frame, fuzz.below(3) == 0);
    }

    std::uint16_t port = 0;
    {
        LibClient client(DEMO);
        ASSERT_EQ(client.status(), LOCKDOWN_E_SUCCESS);
        lockdownd_service_descriptor_t service = nullptr;
        ASSERT_EQ(lockdownd_start_service(client.lockdown(), "com.apple.afc", &service), LOCKDOWN_E_SUCCESS);
        port = service->port;
        lockdownd_service_descriptor_free(service);
    }
    for (int i = 0; i < 200; ++i) {
        const int fd = usbmuxd_connect(device.handle, port);
        ASSERT_GE(fd, 0) << "iteration " << i;
        std::string packet;
        const int packets = 1 + int(fuzz.below(3));
        for (int p = 0; p < packets; ++p) {
            const std::string payload = fuzz.below(2) ? "../" + fuzz.bytes(fuzz.below(40)) + std::string(1, '\0')
                                                      : fuzz.bytes(fuzz.below(64));
            packet += fuzz.below(8) == 0 ? fuzz.bytes(8) : std::string("CFA6LPAA");
            const std::uint64_t entire = fuzz.below(4) == 0 ? fuzz.length(payload.size() + 40) : payload.size() + 40;
            Fuzzer::le64(packet, entire);
            Fuzzer::le64(packet, fuzz.below(3) == 0 ? fuzz.length(entire) : 40 + fuzz.below(16));
            Fuzzer::le64(packet, i);
            Fuzzer::le64(packet, fuzz.below(0x30));
            packet += payload;
        }
        packet.resize(fuzz.below(5) == 0 ? fuzz.below(std::uint32_t(packet.size()) + 1) : packet.size());
        Fuzzer::sendAndClose(fd, packet, fuzz.below(3) == 0);
    }
    expectHealthy(sim);
    // The fuzzed AFC connections may have created or removed files, but only inside the media area.
    EXPECT_EQ(outsideMedia(), before);
}
