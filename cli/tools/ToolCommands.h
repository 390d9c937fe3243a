#pragma once

#include "cli/TorvaneCli.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

class AMDevice;
class DeviceWatcher;
class MobileDeviceAccess;

/// What a cleaning-tool command gets to work with: the parsed command line, the output streams,
/// and the attached phone chosen the way every torvane-cli command chooses it.
///
/// Tool commands run on the main thread of a QCoreApplication whose run loop is registered as
/// the main RunLoop, so the modules' queues can hand results back exactly as in the window.
class ToolContext
{
public:
    ToolContext(const CliOptions& options, std::ostream& out, std::ostream& err);
    ~ToolContext();
    ToolContext(const ToolContext&) = delete;
    ToolContext& operator=(const ToolContext&) = delete;

    const CliOptions& options() const { return m_options; }
    std::ostream& out() { return m_out; }
    std::ostream& err() { return m_err; }

    /// The value of one of the command's own options, or nothing when it was not given.
    std::optional<std::string> toolOption(const std::string& name) const;
    bool hasToolOption(const std::string& name) const { return toolOption(name).has_value(); }

    /// Finds the attached devices (waiting until their records have been quiet for a moment) and
    /// answers the one named by --udid, or the only one, once it is known to be usable; its AFC
    /// requests then give up after --timeout. Null after printing why not, with the exit status
    /// in status(): the built-in commands' words and statuses for a missing usbmuxd, no device
    /// and each reason a phone cannot be used. With `usableOnly` false the phone is answered
    /// without that question, for a command that reports the phone's state itself.
    std::shared_ptr<AMDevice> chooseDevice(bool usableOnly = true);
    /// The exit status of the last failure chooseDevice() reported.
    int status() const { return m_status; }
    /// The device manager behind chooseDevice(); it stays subscribed, so devices() follows
    /// attach and detach while the command runs.
    MobileDeviceAccess& deviceAccess();
    /// True once the chosen device has been detached (as far as the events served so far tell).
    bool deviceDetached() const;

    /// Serves Qt events until `done` holds. Gives up and answers false once `limit` passes in
    /// which `progress()` did not change (a count of work done that only grows); each change
    /// starts the bound afresh. Events wake the wait, and so does wake(); there is no polling.
    bool waitFor(const std::function<bool()>& done,
        const std::function<std::uint64_t()>& progress,
        std::chrono::milliseconds limit);
    /// waitFor() with a fixed bound.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);
    /// Makes a waitFor() look at its condition again. Any thread.
    static void wake();

    /// The longest a step made of phone requests may go without any progress: --timeout for the
    /// request itself and the phone's own bound on a lockdown reply. Nothing with --timeout 0.
    std::optional<std::chrono::milliseconds> stallBound() const;

    /// Prints "torvane-cli: COMMAND: MESSAGE" on the error stream (a JSON object under --json);
    /// answers CLI_FAILED.
    int failure(const std::string& message);
    /// After a failure that involved the phone: says why the phone cannot be used, or that it was
    /// detached or stopped answering, with the built-in commands' words and statuses; otherwise
    /// reports `message`. Answers the exit status.
    /// `note` (if any) follows whichever words are printed, after "; ".
    int deviceFailure(const std::string& message, const std::string& note = {});
    /// Reports that the phone stopped answering (and `note`, if any) and ends the process: work
    /// blocked on the phone on other threads cannot be waited for.
    [[noreturn]] void noAnswer(const std::string& note = {});

private:
    const CliOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    std::unique_ptr<DeviceWatcher> m_watcher;
    std::unique_ptr<MobileDeviceAccess> m_access;
    std::shared_ptr<AMDevice> m_device;
    int m_status { CLI_FAILED };
};

/// A torvane-cli command that drives a cleaning tool.
struct ToolCommand
{
    ToolCommandShape shape;
    /// Lines for the help text, each "  name ARGS   what it does\n".
    std::string usage;
    /// Whether this command takes the command line over; empty means always. A tool command that
    /// shares a built-in command's name decides here (for example only with one of its options).
    std::function<bool(const CliOptions&)> handles;
    /// Runs the command; answers the exit status (CLI_OK, CLI_FAILED, CLI_USAGE).
    std::function<int(ToolContext&)> run;
};

/// Every cleaning-tool command, in the order the help text lists them.
const std::vector<ToolCommand>& toolCommands();

/// The shapes of toolCommands(), for parseCliArguments().
std::vector<ToolCommandShape> toolCommandShapes();

/// The tool command that takes `options` over, or null for a built-in command.
const ToolCommand* toolCommandFor(const CliOptions& options);

/// Runs `command` inside a QCoreApplication made from argc/argv. Answers the exit status.
int runToolCommand(
    const ToolCommand& command, const CliOptions& options, int argc, char** argv, std::ostream& out, std::ostream& err);
