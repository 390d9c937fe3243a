// The simulator's usbmux socket (SimDaemon) reading a client: message headers, plist requests,
// listens and tunnels into the phone's lockdown port. The daemon runs in this process, as it
// runs for every client. Input: the client's bytes.
#include "fuzz/SimHarness.h"
#include "sim/SimDaemon.h"

#include <thread>

#include <sys/un.h>

namespace {

struct Daemon
{
    SimDaemon daemon;
    std::thread runner;
    std::filesystem::path socket;
};

Daemon& daemon()
{
    static Daemon* running = [] {
        auto* out = new Daemon;
        out->socket = fuzzsim::scratchFolder() / "usbmuxd";
        SimDaemon::Options options;
        options.socketPath = out->socket;
        options.stateDir = fuzzsim::scratchFolder() / "daemon";
        options.profiles = { fuzzsim::writeProfile(fuzzsim::EMPTY_CONTENT).string() };
        std::string error;
        if (!out->daemon.start(options, &error)) {
            std::fprintf(stderr, "fuzz: the simulator did not start: %s\n", error.c_str());
            std::abort();
        }
        out->runner = std::thread([out] { out->daemon.run(); });
        // Stopped before the scratch folder goes (exit handlers run last registered first).
        std::atexit([] {
            running->daemon.requestStop();
            running->runner.join();
        });
        return out;
    }();
    return *running;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Daemon& server = daemon();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string path = server.socket.string();
    if (fd < 0 || path.size() >= sizeof address.sun_path) {
        std::abort();
    }
    path.copy(address.sun_path, path.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("fuzz: connect");
        std::abort();
    }
    fuzzsim::converse(fd, std::string_view(reinterpret_cast<const char*>(data), size));
    ::close(fd);
    return 0;
}
