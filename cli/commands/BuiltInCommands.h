#pragma once

#include "base/RunLoop.h"
#include "cli/DeviceWatcher.h"
#include "cli/TorvaneCli.h"
#include "device/AMDeviceState.h"
#include "device/MobileDeviceAccess.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

class AFCDirectoryAccess;
class AFCMediaDirectory;
class AMDevice;
class Watchdog;

/// What a built-in command gets to work with: the command line, the output streams, the device
/// manager on this thread's run loop and, as the command's row asks, the chosen device and its
/// media area.
class CliSession
{
public:
    CliSession(const CliOptions& options, std::ostream& out, std::ostream& err);
    ~CliSession();
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    const CliOptions& options() const { return m_options; }
    std::ostream& out() { return m_out; }
    std::ostream& err() { return m_err; }
    PlainRunLoop& loop() { return m_loop; }
    MobileDeviceAccess& manager() { return m_manager; }
    /// The chosen device; set for commands that need one.
    AMDevice& device() { return *m_device; }
    /// The device's media area; set for commands that work on it.
    AFCDirectoryAccess& mediaArea();
    /// The arguments, device paths unescaped; set for commands that work on the media area.
    const std::vector<std::string>& paths() const { return m_paths; }

    /// Reports a failure (reportCliFailure) and answers CLI_FAILED.
    int failure(const std::string& subject, const std::string& words, const std::optional<std::string>& detail = {});
    /// A device that cannot be used: the advice for `state` as the failure, and its own status.
    int unusable(const std::string& subject, AMDeviceState state, const std::optional<std::string>& detail = {});

    /// Finds the devices, prepares what the command needs and runs it; answers the exit status.
    int run();

private:
    int runCommand(Watchdog& watchdog);
    void discoverDevices();
    void waitForADevice();

    const CliOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    PlainRunLoop m_loop; // before the manager: the subscription lands on this thread's loop
    DeviceWatcher m_watcher;
    MobileDeviceAccess m_manager;
    std::shared_ptr<AMDevice> m_device;
    std::unique_ptr<AFCMediaDirectory> m_mediaArea;
    std::vector<std::string> m_paths;
};

/// What a built-in command works on, and so what runCli() prepares before it runs.
enum class CliCommandNeeds {
    DeviceList, ///< the attached devices only
    Device, ///< the chosen device
    MediaArea, ///< the chosen device's media area, and the device paths among the arguments
};

/// A built-in torvane-cli command.
struct CliCommand
{
    std::string name;
    std::size_t minimum = 0; ///< fewest arguments
    std::size_t maximum = 0; ///< most arguments
    /// Lines for the help text, each "  name ARGS   what it does\n".
    std::string usage;
    CliCommandNeeds needs = CliCommandNeeds::Device;
    /// Runs for as long as it is wanted (or as long as the phone reports progress): the bound on
    /// finding the phone and starting a service ends before it runs.
    bool unbounded = false;
    /// Arguments that name files on this computer, not on the device (left as given).
    std::vector<std::size_t> localArguments;
    /// Runs the command; answers the exit status.
    std::function<int(CliSession&)> run;
};

/// Every built-in command, in the order the help text lists them.
const std::vector<CliCommand>& builtInCommands();

/// The built-in command called `name`, or null.
const CliCommand* builtInCommand(const std::string& name);
