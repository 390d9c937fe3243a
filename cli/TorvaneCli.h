#pragma once

#include <iosfwd>
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
};

/// Exit statuses.
inline constexpr int CLI_OK = 0;
inline constexpr int CLI_FAILED = 1; ///< the device or a file refused, or no device
inline constexpr int CLI_USAGE = 2; ///< the command line itself is wrong

/// Parses the arguments after the program name. Options may come anywhere; "--" ends them.
/// Answers the options, or a message saying what is wrong with the command line.
std::variant<CliOptions, std::string> parseCliArguments(const std::vector<std::string>& arguments);

/// The help text.
std::string cliUsage();

/// Runs the command: finds the devices (through usbmuxd, or the daemon named by
/// USBMUXD_SOCKET_ADDRESS), does the work, writes results to `out` and messages to `err`.
/// Answers the exit status. Must run on a thread without a run loop of its own.
int runCli(const CliOptions& options, std::ostream& out, std::ostream& err);
