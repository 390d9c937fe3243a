#include "cli/TorvaneCli.h"
#include "cli/tools/ToolCommands.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

namespace {

int run(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = parseCliArguments(arguments, toolCommandShapes());
    std::string usage = cliUsage();
    if (!toolCommands().empty()) {
        std::string toolUsage = "\nCleaning tools:\n";
        for (const ToolCommand& command : toolCommands()) {
            toolUsage += command.usage;
        }
        // Before the closing paragraph, which says how devices are found and what exit statuses mean.
        const std::size_t closing = usage.find("\nDevices are found");
        usage.insert(closing == std::string::npos ? usage.size() : closing, toolUsage);
    }
    if (const auto* problem = std::get_if<std::string>(&parsed)) {
        CliOptions asked;
        asked.json = std::find(arguments.begin(), arguments.end(), "--json") != arguments.end();
        (void)reportCliFailure(asked, std::cerr, {}, *problem + " (see torvane-cli --help)");
        return CLI_USAGE;
    }
    const CliOptions& options = std::get<CliOptions>(parsed);
    if (options.help) {
        std::cout << usage;
        return CLI_OK;
    }
    if (options.version) {
        std::cout << cliVersion() << '\n';
        return CLI_OK;
    }
    if (const ToolCommand* tool = toolCommandFor(options)) {
        return runToolCommand(*tool, options, argc, argv, std::cout, std::cerr);
    }
    return runCli(options, std::cout, std::cerr);
}

} // namespace

int main(int argc, char** argv)
{
    // Say what went wrong rather than end with an abort and a core: an exception here is a
    // mistake of ours (or memory running out), never a result to report as success.
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "torvane-cli: internal error: " << error.what() << '\n';
    }
    return 1;
}
