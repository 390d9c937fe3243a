#include "tests/support/SimulatorFixture.h"

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

/// Waits for `pid` up to `timeout`; the exit status, or nothing when it still runs.
std::optional<int> waitForExit(int pid, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const int done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return status;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

bool canConnect(const fs::path& socket)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    ProcessResult result;
    if (argv.empty()) {
        return result;
    }
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        return result;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
        }
        std::vector<char*> args;
        args.reserve(argv.size());
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid < 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = { { outPipe[0], POLLIN, 0 }, { errPipe[0], POLLIN, 0 } };
    int open = 2;
    while (open > 0) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        if (::poll(fds, 2, int(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(buffer, std::size_t(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    if (result.timedOut) {
        ::kill(pid, SIGKILL);
    }
    const std::optional<int> status = waitForExit(pid, result.timedOut ? 5000ms : timeout);
    if (!status) {
        ::kill(pid, SIGKILL);
        (void)waitForExit(pid, 5000ms); // reap; it cannot survive SIGKILL
        result.timedOut = true;
    } else if (WIFEXITED(*status) && !result.timedOut) {
        result.exitCode = WEXITSTATUS(*status);
    }
    return result;
}

ProcessResult runCli(std::vector<std::string> arguments, std::chrono::milliseconds timeout)
{
    arguments.insert(arguments.begin(), SimulatorFixture::cliPath());
    return runProcess(arguments, timeout);
}

RunningProcess::RunningProcess(const std::vector<std::string>& argv)
{
    int fds[2];
    if (argv.empty() || ::pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    m_fd = fds[0];
}

RunningProcess::~RunningProcess()
{
    kill();
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool RunningProcess::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        if (!readSome(std::min(deadline, now + 10ms))) {
            std::this_thread::sleep_for(2ms); // the output ended; the condition may still come
        }
    }
    return true;
}

bool RunningProcess::waitForOutput(const std::string& text, std::chrono::milliseconds bound)
{
    return waitFor([&] { return output.find(text) != std::string::npos; }, bound);
}

int RunningProcess::wait(std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (readSome(deadline)) { }
    if (m_pid <= 0) {
        return -1;
    }
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const std::optional<int> status = waitForExit(m_pid, std::max(left, 0ms));
    if (!status) {
        kill();
        return -1;
    }
    m_pid = -1;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

bool RunningProcess::kill()
{
    if (m_pid <= 0) {
        return false;
    }
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

bool RunningProcess::readSome(std::chrono::steady_clock::time_point deadline)
{
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (m_fd < 0 || left.count() <= 0) {
        return false;
    }
    pollfd ready { m_fd, POLLIN, 0 };
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
        return false;
    }
    char buffer[4096];
    const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
    if (count <= 0) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    output.append(buffer, static_cast<std::size_t>(count));
    return true;
}

std::string smallPhoneProfile(const std::string& name,
    const std::string& udid,
    const std::map<std::string, int>& counts,
    const std::string& extra)
{
    std::string content = R"("seed": 1)";
    for (const char* key : { "userApps", "systemApps", "fileSharingApps", "developerApps", "appsWithoutDisplayName",
             "appsWithEmptyDisplayName", "photos", "videos", "songs", "podcasts", "stalledDownloads" }) {
        const auto given = counts.find(key);
        content += std::string(", \"") + key + "\": " + std::to_string(given == counts.end() ? 0 : given->second);
    }
    return R"({ "name": ")" + name + R"(", "udid": ")" + udid + R"(", "productType": "iPhone9,3",
        "productVersion": "10.3.3", )"
        + extra + R"( "diskCapacity": 32000000000, "dataCapacity": 400000000, "usedBytes": 150000000,
        "reserveBytes": 8388608, "blockSize": 4096, "purgeablePoolBytes": 0, "content": { )"
        + content + " } }";
}

SimulatorFixture::SimulatorFixture(std::vector<std::string> profiles)
    : m_profiles(std::move(profiles))
    , m_folder(std::make_unique<TemporaryDirectory>())
    , m_socket(m_folder->path() / "usbmuxd")
    , m_state(m_folder->path() / "state")
    , m_log(m_folder->path() / "simd.log")
{
    // A connection to a phone the test unplugs must fail its write, as it does in the
    // application (which ignores SIGPIPE); Qt Test's crash handler would take the signal for a
    // crash. Set here, after that handler, for every test that talks to a simulated phone.
    std::signal(SIGPIPE, SIG_IGN);
}

SimulatorFixture::~SimulatorFixture()
{
    stop();
}

std::string SimulatorFixture::cliPath()
{
    const char* build = std::getenv("TORVANE_BUILD_DIR");
    return std::string(build ? build : ".") + "/cli/torvane-cli";
}

std::string SimulatorFixture::simdPath()
{
    if (const char* path = std::getenv("TORVANE_SIMD")) {
        return path;
    }
#ifdef TORVANE_SIMD_PATH
    return TORVANE_SIMD_PATH;
#else
    const char* build = std::getenv("TORVANE_BUILD_DIR");
    return std::string(build ? build : ".") + "/sim/torvane-simd";
#endif
}

namespace {

bool isBuiltInProfile(const std::string& profile)
{
    return profile == "demo" || profile == "modern" || profile == "legacy";
}

/// Where generated built-in phones are kept between test processes: the build folder when known.
fs::path templateFolder()
{
    struct stat binary
    {
    };
    const std::string simd = SimulatorFixture::simdPath();
    if (::stat(simd.c_str(), &binary) != 0) {
        return {};
    }
    const char* build = std::getenv("TORVANE_BUILD_DIR");
    const fs::path base = build ? fs::path(build) / "sim-templates"
                                : fs::temp_directory_path() / ("torvane-sim-templates-" + std::to_string(::getuid()));
    // A rebuilt daemon may generate different content: key the templates by the binary.
    return base / (std::to_string(binary.st_mtim.tv_sec) + "-" + std::to_string(binary.st_size));
}

bool copyTree(const fs::path& from, const fs::path& to)
{
    fs::create_directories(to.parent_path());
    // cp keeps the generated files sparse, so a copied 64 GB phone costs little disk and time.
    const ProcessResult copied = runProcess({ "cp", "-a", "--sparse=always", from.string(), to.string() }, 120s);
    return copied.exitCode == 0;
}

} // namespace

bool SimulatorFixture::seedFromTemplates()
{
    const fs::path templates = templateFolder();
    if (templates.empty()) {
        return false;
    }
    for (const std::string& profile : m_profiles) {
        if (!isBuiltInProfile(profile)) {
            continue;
        }
        const fs::path ready = templates / profile;
        if (!fs::is_directory(ready / "devices")) {
            // Generate once: a daemon with only this phone, stopped at once; then publish the result
            // atomically so parallel test processes never see half a phone.
            SimulatorFixture generator({ profile });
            generator.m_useTemplates = false;
            if (!generator.start() || !generator.stop()) {
                return false;
            }
            const fs::path staging = templates / (profile + ".tmp-" + std::to_string(::getpid()));
            std::error_code error;
            fs::remove_all(staging, error);
            if (!copyTree(generator.statePath() / "devices", staging / "devices")) {
                return false;
            }
            fs::rename(staging, ready, error);
            if (error) {
                fs::remove_all(staging, error); // another process won the race; use its copy
            }
        }
        std::error_code error;
        for (const auto& device : fs::directory_iterator(ready / "devices", error)) {
            const fs::path target = m_state / "devices" / device.path().filename();
            if (!fs::exists(target) && !copyTree(device.path(), target)) {
                return false;
            }
        }
    }
    return true;
}

bool SimulatorFixture::start()
{
    if (m_pid > 0) {
        return true;
    }
    if (m_useTemplates && !fs::exists(m_state)) {
        // Generating the built-in phones' content takes seconds each; copy a generated one instead.
        // Any failure here just means the daemon generates the content itself.
        if (!seedFromTemplates()) {
            std::error_code error;
            fs::remove_all(m_state, error);
        }
    }
    std::vector<std::string> args { simdPath(), "--socket", m_socket.string(), "--state", m_state.string() };
    for (const std::string& profile : m_profiles) {
        args.emplace_back("--profile");
        args.push_back(profile);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int log = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        std::vector<char*> argv;
        argv.reserve(args.size());
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        m_lastError = "fork failed";
        return false;
    }
    m_pid = pid;
    // Generating content for a new phone takes a moment on a busy machine.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!canConnect(m_socket)) {
        if (const std::optional<int> status = waitForExit(m_pid, 0ms)) {
            m_pid = -1;
            std::ifstream log(m_log);
            std::ostringstream text;
            text << log.rdbuf();
            m_lastError = "torvane-simd exited at start: " + text.str();
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_lastError = "torvane-simd did not answer within 60 s";
            stop();
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    ::setenv("USBMUXD_SOCKET_ADDRESS", socketAddress().c_str(), 1);
    return true;
}

bool SimulatorFixture::stop()
{
    if (m_pid <= 0) {
        return true;
    }
    ::kill(m_pid, SIGTERM);
    std::optional<int> status = waitForExit(m_pid, 15s);
    bool clean = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    if (!status) {
        ::kill(m_pid, SIGKILL);
        (void)waitForExit(m_pid, 5s); // reap; it cannot survive SIGKILL
        m_lastError = "torvane-simd did not stop on SIGTERM";
    }
    m_pid = -1;
    if (fs::exists(m_socket)) {
        clean = false;
        m_lastError = "torvane-simd left its socket behind";
    }
    return clean;
}

bool SimulatorFixture::restart()
{
    const bool stopped = stop();
    return start() && stopped;
}

fs::path SimulatorFixture::deviceRoot(const std::string& udid) const
{
    return m_state / "devices" / udid / "fs";
}

fs::path SimulatorFixture::mediaRoot(const std::string& udid) const
{
    return deviceRoot(udid) / "private/var/mobile/Media";
}

fs::path SimulatorFixture::crashReporterRoot(const std::string& udid) const
{
    return deviceRoot(udid) / "private/var/mobile/Library/Logs/CrashReporter";
}

ProcessResult SimulatorFixture::ctl(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv { simdPath(), "ctl", "--socket", m_socket.string() };
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, 90s); // an attach may generate a phone's content first
}

bool SimulatorFixture::attach(const std::string& udidOrProfile) const
{
    return ctl({ "attach", udidOrProfile }).exitCode == 0;
}

bool SimulatorFixture::detach(const std::string& udid) const
{
    return ctl({ "detach", udid }).exitCode == 0;
}

bool SimulatorFixture::fault(const std::string& udid, const std::vector<std::string>& args) const
{
    std::vector<std::string> all { "fault", udid };
    all.insert(all.end(), args.begin(), args.end());
    return ctl(all).exitCode == 0;
}

bool SimulatorFixture::clearFaults(const std::string& udid) const
{
    return ctl({ "clear-faults", udid }).exitCode == 0;
}

std::vector<std::string> SimulatorFixture::attachedDevices() const
{
    std::vector<std::string> udids;
    std::istringstream lines(ctl({ "list" }).out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string udid;
        std::string state;
        if (std::getline(fields, udid, '\t') && std::getline(fields, state, '\t') && state == "attached") {
            udids.push_back(udid);
        }
    }
    return udids;
}

std::map<std::string, std::uint64_t> SimulatorFixture::storage(const std::string& udid) const
{
    std::map<std::string, std::uint64_t> figures;
    std::istringstream lines(ctl({ "storage", udid }).out);
    std::string key;
    std::uint64_t value = 0;
    while (lines >> key >> value) {
        figures[key] = value;
    }
    return figures;
}
