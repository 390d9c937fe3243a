// The simulator's AFC server (serveAfc) reading a client's requests: headers, argument blocks and
// bulk data in any order, on the media area of a small phone. Input: the client's bytes.
#include "fuzz/SimHarness.h"
#include "sim/AFCServer.h"
#include "sim/SimStream.h"

#include <thread>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SimDevice& device = fuzzsim::device();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::abort();
    }
    std::thread host(fuzzsim::converse, fds[0], std::string_view(reinterpret_cast<const char*>(data), size),
        std::chrono::seconds(20));
    {
        SimStream stream(fds[1], &device.faults(), SimStream::Kind::Service);
        serveAfc(device, stream, SimDevice::MEDIA_PATH);
    }
    ::shutdown(fds[1], SHUT_RDWR);
    host.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return 0;
}
