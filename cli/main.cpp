#include "cli/TorvaneCli.h"

#include <iostream>
#include <string>
#include <variant>
#include <vector>

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = parseCliArguments(arguments);
    if (const auto* problem = std::get_if<std::string>(&parsed)) {
        std::cerr << "torvane-cli: " << *problem << "\n\n" << cliUsage();
        return CLI_USAGE;
    }
    const CliOptions& options = std::get<CliOptions>(parsed);
    if (options.help) {
        std::cout << cliUsage();
        return CLI_OK;
    }
    return runCli(options, std::cout, std::cerr);
}
