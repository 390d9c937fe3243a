// The simulator's lockdown server (runLockdown) reading a host's requests: frames, property lists,
// pairing, sessions and service starts. Input: the host's bytes.
#include "fuzz/SimHarness.h"
#include "sim/LockdownServer.h"
#include "sim/ServiceCatalog.h"
#include "sim/SimStream.h"

#include <thread>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SimDevice& device = fuzzsim::device();
    static const ServiceCatalog catalog = [] {
        ServiceCatalog services;
        registerServices(services);
        return services;
    }();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::abort();
    }
    std::thread host(fuzzsim::converse, fds[0], std::string_view(reinterpret_cast<const char*>(data), size),
        std::chrono::seconds(20));
    {
        SimStream stream(fds[1], &device.faults(), SimStream::Kind::Lockdown);
        runLockdown(device, stream, catalog);
    }
    ::shutdown(fds[1], SHUT_RDWR);
    host.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return 0;
}
