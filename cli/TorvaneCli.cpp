#include "cli/TorvaneCli.h"

#include "base/Log.h"
#include "cli/CliJson.h"
#include "cli/CliText.h"
#include "cli/commands/BuiltInCommands.h"

#include <algorithm>
#include <charconv>
#include <ostream>

std::string cliUsage()
{
    std::string usage
        = "Usage: torvane-cli [-u|--udid UDID] [--json] [--verbose] [--timeout SECONDS] COMMAND [ARGUMENTS]\n"
          "       torvane-cli --help | --version\n"
          "\n"
          "Commands:\n";
    for (const CliCommand& command : builtInCommands()) {
        usage += command.usage;
    }
    return usage
        + "\n"
          "Devices are found through usbmuxd, or the daemon named by USBMUXD_SOCKET_ADDRESS; with\n"
          "several attached, choose one with --udid (-u). Device requests give up after --timeout\n"
          "seconds without an answer (default 30; 0 waits for ever). Names are printed with control\n"
          "characters and bytes that are not UTF-8 escaped (\\n, \\\\, \\xHH); device paths given as\n"
          "arguments may use the same escapes. Failures are one line on stderr (a JSON object with\n"
          "--json); --verbose adds the device's raw error. `devices` marks a device that cannot be\n"
          "used with its state and says on stderr what to do about it.\n"
          "Exit status: 0 success, 1 failure, 2 bad command line; a device that cannot be used:\n"
          "  3 the USB service (usbmuxd) is not running    4 the phone is locked with a passcode\n"
          "  5 the Trust question waits for an answer      6 Don't Trust was chosen\n"
          "  7 the phone forgot this computer's pairing    8 the phone refuses a session\n"
          "  9 the phone refuses to start its services     10 reached only over Wi-Fi\n";
}

std::string cliVersion()
{
    return std::string("torvane-cli ") + TORVANE_VERSION;
}

int reportCliFailure(const CliOptions& options,
    std::ostream& err,
    const std::string& subject,
    const std::string& words,
    const std::optional<std::string>& detail)
{
    if (options.json) {
        PlistDictionary error { { "message", PlistValue(words) } };
        if (!options.command.empty()) {
            error["command"] = PlistValue(options.command);
        }
        if (!subject.empty()) {
            error["subject"] = PlistValue(subject);
        }
        if (options.verbose && detail) {
            error["detail"] = PlistValue(*detail);
        }
        err << plistToJson(PlistValue(PlistDictionary { { "error", PlistValue(std::move(error)) } }), 0) << '\n';
        return CLI_FAILED;
    }
    err << "torvane-cli: " << options.command << (options.command.empty() || subject.empty() ? "" : " ") << subject
        << (options.command.empty() && subject.empty() ? "" : ": ") << words;
    if (options.verbose && detail && !detail->empty()) {
        err << " (" << escapeCliText(*detail) << ')';
    }
    err << '\n';
    return CLI_FAILED;
}

std::variant<CliOptions, std::string> parseCliArguments(
    const std::vector<std::string>& arguments, const std::vector<ToolCommandShape>& tools)
{
    const auto findToolOption = [&tools](const std::string& argument) -> const ToolOptionShape* {
        for (const ToolCommandShape& tool : tools) {
            for (const ToolOptionShape& option : tool.options) {
                if (argument == option.name || (option.takesValue && argument.starts_with(option.name + "="))) {
                    return &option;
                }
            }
        }
        return nullptr;
    };
    CliOptions options;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto takeValue = [&](const std::string& name) -> std::optional<std::string> {
            const std::string prefix = name + "=";
            if (argument.starts_with(prefix)) {
                return argument.substr(prefix.size());
            }
            if (i + 1 < arguments.size()) {
                return arguments[++i];
            }
            return std::nullopt;
        };
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            positional.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--wait") {
            options.wait = true;
        } else if (argument == "-r" || argument == "-R" || argument == "--recursive") {
            options.recursive = true;
        } else if (argument == "-f" || argument == "--overwrite") {
            options.overwrite = true;
        } else if (argument == "-v" || argument == "--verbose") {
            options.verbose = true;
        } else if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--timeout" || argument.starts_with("--timeout=")) {
            const std::optional<std::string> value = takeValue("--timeout");
            std::uint32_t seconds = 0;
            const auto parsed = value ? std::from_chars(value->data(), value->data() + value->size(), seconds)
                                      : std::from_chars_result { nullptr, std::errc::invalid_argument };
            if (!value || parsed.ec != std::errc() || parsed.ptr != value->data() + value->size()
                || seconds > 24 * 3600) {
                return std::string("--timeout needs a number of seconds (0 to 86400)");
            }
            options.timeoutSeconds = seconds;
        } else if (argument == "-u" || argument == "--udid" || argument.starts_with("--udid=")) {
            options.udid = takeValue("--udid");
            if (!options.udid || options.udid->empty()) {
                return std::string("--udid needs a UDID");
            }
        } else if (argument == "--domain" || argument.starts_with("--domain=")) {
            options.domain = takeValue("--domain");
            if (!options.domain || options.domain->empty()) {
                return std::string("--domain needs a domain name");
            }
        } else if (const ToolOptionShape* toolOption = findToolOption(argument)) {
            std::string value;
            if (toolOption->takesValue) {
                const std::optional<std::string> given = takeValue(toolOption->name);
                if (!given || given->empty()) {
                    return toolOption->name + " needs a value";
                }
                value = *given;
            }
            options.toolOptions[toolOption->name] = value;
        } else {
            return "unknown option " + argument;
        }
    }
    if (options.help || options.version) {
        return options;
    }
    if (positional.empty()) {
        return std::string("no command given");
    }
    options.command = positional.front();
    options.arguments.assign(positional.begin() + 1, positional.end());
    const auto tool = std::find_if(tools.begin(), tools.end(),
        [&options](const ToolCommandShape& shape) { return shape.name == options.command; });
    for (const auto& given : options.toolOptions) {
        // A named reference, not a structured binding: clang (and so clang-tidy) cannot capture those.
        const std::string& name = given.first;
        const bool belongs = tool != tools.end()
            && std::any_of(tool->options.begin(), tool->options.end(),
                [&name](const ToolOptionShape& option) { return option.name == name; });
        if (!belongs) {
            std::string owners;
            for (const ToolCommandShape& shape : tools) {
                for (const ToolOptionShape& option : shape.options) {
                    if (option.name == name) {
                        owners += (owners.empty() ? "" : ", ") + shape.name;
                    }
                }
            }
            return name + " goes with " + owners;
        }
    }
    const CliCommand* builtIn = builtInCommand(options.command);
    std::size_t minimum = 0;
    std::size_t maximum = 0;
    if (tool != tools.end()) {
        minimum = tool->minimum;
        maximum = tool->maximum;
    } else if (builtIn) {
        minimum = builtIn->minimum;
        maximum = builtIn->maximum;
    } else {
        return "unknown command " + options.command;
    }
    if (options.arguments.size() < minimum || options.arguments.size() > maximum) {
        return options.command + ": wrong number of arguments";
    }
    if (options.wait && options.command != "devices") {
        return std::string("--wait goes with devices");
    }
    if (options.recursive && options.command != "rm") {
        return std::string("-r goes with rm");
    }
    if (options.overwrite && options.command != "push" && options.command != "mv") {
        return std::string("-f goes with push and mv");
    }
    if (options.domain && options.command != "info") {
        return std::string("--domain goes with info");
    }
    return options;
}

int runCli(const CliOptions& options, std::ostream& out, std::ostream& err)
{
    setLogToStderr(options.verbose);
    CliSession session(options, out, err);
    return session.run();
}
