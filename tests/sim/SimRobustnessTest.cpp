// The daemon under abuse: special files in the phone's folders, crowds of idle clients, a state
// folder claimed twice, and its own command line.
#include "tests/sim/SimTestSupport.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string DEMO = SimulatorFixture::DEMO_UDID;

int connectTo(const fs::path& socketPath)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(SimRobustness, SpecialFilesAreRefusedWithoutStoppingThePhone)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    const fs::path media = sim.mediaRoot(DEMO);
    ASSERT_EQ(::mkfifo((media / "pipe").c_str(), 0600), 0);

    // Run on a thread of its own: on a daemon that blocks in open() this would never return.
    auto opened = std::make_shared<std::promise<afc_error_t>>();
    std::future<afc_error_t> result = opened->get_future();
    std::thread([opened] {
        LibClient client(DEMO);
        afc_client_t afc = client.startAfc();
        if (!afc) {
            opened->set_value(AFC_E_UNKNOWN_ERROR);
            return;
        }
        std::uint64_t handle = 0;
        const afc_error_t status = afc_file_open(afc, "/pipe", AFC_FOPEN_RDONLY, &handle);
        if (status == AFC_E_SUCCESS) {
            afc_file_close(afc, handle);
        }
        opened->set_value(status);
    }).detach();
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready) << "the daemon blocked opening a FIFO";
    EXPECT_EQ(result.get(), AFC_E_PERM_DENIED);

    // Later requests to the same phone are answered.
    LibClient client(DEMO);
    afc_client_t afc = client.startAfc();
    ASSERT_NE(afc, nullptr);
    afc_error_t error = AFC_E_UNKNOWN_ERROR;
    const std::vector<std::string> names = afcList(afc, "/", &error);
    EXPECT_EQ(error, AFC_E_SUCCESS);
    EXPECT_NE(std::find(names.begin(), names.end(), "pipe"), names.end());
    EXPECT_EQ(afc_truncate(afc, "/pipe", 10), AFC_E_PERM_DENIED);
}

TEST(SimRobustness, IdleClientsNeitherLockOutNewOnesNorTheControlSocket)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    std::vector<int> idle;
    for (int i = 0; i < 600; ++i) {
        const int fd = connectTo(sim.socketPath());
        ASSERT_GE(fd, 0) << i;
        idle.push_back(fd);
    }
    const ProcessResult list = sim.ctl({ "list" });
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find(DEMO), std::string::npos) << list.out;
    const ProcessResult ids = runProcess({ "idevice_id", "-l" }, 20s);
    EXPECT_EQ(ids.exitCode, 0) << ids.err;
    EXPECT_EQ(ids.out, DEMO + "\n");
    for (const int fd : idle) {
        ::close(fd);
    }
}

TEST(SimRobustness, RefusesASharedStateFolderARepeatedProfileAndAnswersHelp)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    TemporaryDirectory other;
    const std::string socket = (other.path() / "second.sock").string();

    const ProcessResult shared = runProcess({ SimulatorFixture::simdPath(), "--socket", socket, "--state",
                                                sim.statePath().string(), "--profile", "modern" },
        30s);
    EXPECT_EQ(shared.exitCode, 1);
    // (Qt may note its runtime folder on stderr first.)
    EXPECT_TRUE(shared.err.ends_with(
        "torvane-simd: the state folder " + sim.statePath().string() + " is in use by another torvane-simd\n"))
        << shared.err;
    EXPECT_EQ(sim.attachedDevices(), std::vector<std::string> { DEMO });

    const ProcessResult twice
        = runProcess({ SimulatorFixture::simdPath(), "--socket", socket, "--state", (other.path() / "state").string(),
                         "--profile", "demo", "--profile", "demo" },
            30s);
    EXPECT_EQ(twice.exitCode, 1);
    EXPECT_TRUE(
        twice.err.ends_with("torvane-simd: the profile demo is given twice (both are the phone " + DEMO + ")\n"))
        << twice.err;
    EXPECT_FALSE(fs::exists(socket));

    const ProcessResult help = runProcess({ SimulatorFixture::simdPath(), "--help" }, 30s);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: torvane-simd")) << help.out;
    EXPECT_TRUE(help.err.empty()) << help.err;
    // Fault kinds are arguments of `fault`, not commands of their own.
    const ProcessResult ctlHelp = runProcess({ SimulatorFixture::simdPath(), "ctl", "--help" }, 30s);
    EXPECT_EQ(ctlHelp.exitCode, 0) << ctlHelp.err;
    EXPECT_NE(ctlHelp.out.find("\n  fault UDID KIND [ARGS]"), std::string::npos) << ctlHelp.out;
    EXPECT_EQ(ctlHelp.out.find("\n  stall"), std::string::npos) << ctlHelp.out;
}
