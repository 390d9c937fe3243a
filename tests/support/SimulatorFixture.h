#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class TemporaryDirectory;

/// The outcome of a child process run by runProcess().
struct ProcessResult
{
    int exitCode { -1 }; // -1 when it did not exit normally (signal, timeout, exec failure)
    bool timedOut { false };
    std::string out;
    std::string err;
};

/// Runs `argv` (argv[0] looked up in PATH), collecting its output, and kills it after `timeout`.
/// The child inherits the environment, so USBMUXD_SOCKET_ADDRESS set by a fixture applies.
ProcessResult runProcess(
    const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(30));

/// torvane-cli with `arguments`, as a user runs it (see runProcess()).
ProcessResult runCli(std::vector<std::string> arguments, std::chrono::milliseconds timeout = std::chrono::seconds(90));

/// A child whose combined output is read as it comes, for commands that run until something
/// happens to the phone. The destructor kills it if it still runs.
class RunningProcess
{
public:
    explicit RunningProcess(const std::vector<std::string>& argv);
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    /// Reads output until `condition` holds or `bound` passes.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds bound);
    bool waitForOutput(const std::string& text, std::chrono::milliseconds bound);
    /// Reads to the end and answers the exit status; -1 when it did not end within `bound` (it is
    /// killed then) or ended by a signal.
    int wait(std::chrono::milliseconds bound);
    /// SIGKILL; true when that is what ended it.
    bool kill();

    std::string output;

private:
    bool readSome(std::chrono::steady_clock::time_point deadline);

    int m_pid { -1 };
    int m_fd { -1 };
};

/// A small phone's profile (400 MB of data, iOS 10) with no content but the `counts` given, e.g.
/// { { "photos", 40 } }; `extra` is more top-level members, e.g. R"("Trust": "denied",)".
std::string smallPhoneProfile(const std::string& name,
    const std::string& udid,
    const std::map<std::string, int>& counts = {},
    const std::string& extra = {});

/// A running torvane-simd on a temporary socket and state folder, for integration tests.
///
///     SimulatorFixture sim({ "demo" });
///     ASSERT_TRUE(sim.start()) << sim.lastError();
///     // libimobiledevice, the Debian tools and the device layer now see the demo phone.
///
/// start() sets USBMUXD_SOCKET_ADDRESS=UNIX:<socket> for this process (and so for its children);
/// libusbmuxd reads it on every connection. The destructor stops the daemon and removes the
/// folder. Not thread-safe; use it from the test's thread.
///
/// The built-in phones' content is generated once per daemon build and kept under
/// $TORVANE_BUILD_DIR/sim-templates (or the temporary folder); each fixture starts from a copy.
class SimulatorFixture
{
public:
    /// UDIDs of the built-in profiles.
    static constexpr const char* DEMO_UDID = "d3a095e7941cf9e40e6980d14a16bf023ccd4c91";
    static constexpr const char* MODERN_UDID = "00008120-001A2B3C4D5E6F7A";
    static constexpr const char* LEGACY_UDID = "1e9ac46ed39d182e3adafa9045ad6787d4bbc321";

    /// `profiles`: built-in names ("demo", "modern", "legacy") or paths of JSON profile files.
    explicit SimulatorFixture(std::vector<std::string> profiles = { "demo" });
    ~SimulatorFixture();
    SimulatorFixture(const SimulatorFixture&) = delete;
    SimulatorFixture& operator=(const SimulatorFixture&) = delete;

    /// Starts the daemon and waits (bounded) until it accepts connections. False with
    /// lastError() set when it could not start.
    bool start();
    /// SIGTERM, then waits for a clean exit (SIGKILL after a bound). True when it exited cleanly
    /// and removed its socket.
    bool stop();
    /// stop() then start() on the same state folder: what survives a restart is tested this way.
    bool restart();
    bool isRunning() const { return m_pid > 0; }

    const std::filesystem::path& socketPath() const { return m_socket; }
    const std::filesystem::path& statePath() const { return m_state; }
    /// The value for USBMUXD_SOCKET_ADDRESS.
    std::string socketAddress() const { return "UNIX:" + m_socket.string(); }
    /// The host folder standing for the device's "/" and for its AFC media area. Seed files there
    /// before a device is used, or while the daemon runs (the storage model counts them after a
    /// restart).
    std::filesystem::path deviceRoot(const std::string& udid) const;
    std::filesystem::path mediaRoot(const std::string& udid) const;
    std::filesystem::path crashReporterRoot(const std::string& udid) const;

    /// `torvane-simd ctl --socket <socket> args...`.
    ProcessResult ctl(const std::vector<std::string>& args) const;
    bool attach(const std::string& udidOrProfile) const;
    bool detach(const std::string& udid) const;
    /// E.g. fault(udid, {"afc-status", "9", "10"}), fault(udid, {"close-after", "4096"}),
    /// fault(udid, {"stall"}), fault(udid, {"refuse-session"}), fault(udid, {"refuse-services"}),
    /// fault(udid, {"network-only"}).
    bool fault(const std::string& udid, const std::vector<std::string>& args) const;
    bool clearFaults(const std::string& udid) const;
    /// UDIDs currently attached.
    std::vector<std::string> attachedDevices() const;
    /// The storage model's figures: "total", "free", "allocated", "reserve", "files", "purgeable".
    std::map<std::string, std::uint64_t> storage(const std::string& udid) const;

    const std::string& lastError() const { return m_lastError; }
    /// Where the binary is (the build's, unless TORVANE_SIMD is set).
    static std::string simdPath();
    /// torvane-cli in the build folder (TORVANE_BUILD_DIR), for tests that run it as a black box.
    static std::string cliPath();

private:
    bool seedFromTemplates();

    std::vector<std::string> m_profiles;
    bool m_useTemplates { true };
    std::unique_ptr<TemporaryDirectory> m_folder;
    std::filesystem::path m_socket;
    std::filesystem::path m_state;
    std::filesystem::path m_log;
    int m_pid { -1 };
    std::string m_lastError;
};
