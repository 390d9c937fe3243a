#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

/// What the command line asked for.
struct CliOptions
{
    std::string command;
    std::vector<std::string> arguments;
    std::optional<std::string> udid;
    std::optional<std::string> domain;
    bool json = false;
    bool wait = false;
    bool recursive = false;
    bool overwrite = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
    /// Longest wait for one device request, in seconds; 0 waits as long as the device stays.
    std::uint32_t timeoutSeconds = 30;
    /// Options of a cleaning-tool command as given: name ("--older-than") to value ("" for a flag).
    std::map<std::string, std::string> toolOptions;
};

/// An option a cleaning-tool command accepts beside the common ones.
struct ToolOptionShape
{
    std::string name; ///< with its dashes: "--older-than"
    bool takesValue = false;
};

/// What the parser needs to know of a command that lives outside this library (the cleaning
/// tools, which need Qt): its name, how many arguments it takes and its own options. A tool
/// command may share its name with a built-in command; it then takes over only when the caller
/// decides so (for example `apps --sizes`).
struct ToolCommandShape
{
    std::string name;
    std::size_t minimum = 0;
    std::size_t maximum = 0;
    std::vector<ToolOptionShape> options;
};

/// Exit statuses.
inline constexpr int CLI_OK = 0;
inline constexpr int CLI_FAILED = 1; ///< the device or a file refused, or no device
inline constexpr int CLI_USAGE = 2; ///< the command line itself is wrong
// A device that cannot be used, by reason (AMDeviceState):
inline constexpr int CLI_NO_USB_SERVICE = 3; ///< usbmuxd is not installed or not running
inline constexpr int CLI_PASSCODE_LOCKED = 4; ///< the phone must be unlocked to trust this computer
inline constexpr int CLI_TRUST_PENDING = 5; ///< the Trust question waits for an answer
inline constexpr int CLI_TRUST_DENIED = 6; ///< the user tapped Don't Trust
inline constexpr int CLI_PAIRING_EXPIRED = 7; ///< the phone forgot this computer's pairing
inline constexpr int CLI_SESSION_REFUSED = 8; ///< the phone refuses sessions even after pairing
inline constexpr int CLI_SERVICES_REFUSED = 9; ///< the phone refuses to start its services
inline constexpr int CLI_NETWORK_ONLY = 10; ///< reached only over Wi-Fi; the cable is needed

/// Parses the arguments after the program name. Options may come anywhere; "--" ends them.
/// `tools` adds the cleaning-tool commands and their options. Answers the options, or a message
/// saying what is wrong with the command line.
std::variant<CliOptions, std::string> parseCliArguments(
    const std::vector<std::string>& arguments, const std::vector<ToolCommandShape>& tools = {});

/// The help text.
std::string cliUsage();

/// "torvane-cli VERSION", the project's version.
std::string cliVersion();

/// Writes one failure to `err` and answers CLI_FAILED: "torvane-cli: COMMAND SUBJECT: WORDS",
/// with the raw `detail` in parentheses only under --verbose; under --json the same as one JSON
/// object, {"error": {"command", "subject", "message", "detail"}}. `subject` may be empty.
int reportCliFailure(const CliOptions& options,
    std::ostream& err,
    const std::string& subject,
    const std::string& words,
    const std::optional<std::string>& detail = std::nullopt);

/// Runs the command: finds the devices (through usbmuxd, or the daemon named by
/// USBMUXD_SOCKET_ADDRESS), does the work, writes results to `out` and messages to `err`.
/// Answers the exit status. Must run on a thread without a run loop of its own.
int runCli(const CliOptions& options, std::ostream& out, std::ostream& err);
