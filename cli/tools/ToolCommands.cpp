#include "cli/tools/ToolCommands.h"

#include <algorithm>

// Each cleaning tool's command lives in its own file beside this one; list it here once.

ToolCommand appsCommand();
ToolCommand checkCommand();
ToolCommand clearTempCommand();
ToolCommand musicCommand();
ToolCommand photosCommand();

const std::vector<ToolCommand>& toolCommands()
{
    static const std::vector<ToolCommand> commands { appsCommand(), checkCommand(), clearTempCommand(), musicCommand(),
        photosCommand() };
    return commands;
}

std::vector<ToolCommandShape> toolCommandShapes()
{
    std::vector<ToolCommandShape> shapes;
    for (const ToolCommand& command : toolCommands()) {
        shapes.push_back(command.shape);
    }
    return shapes;
}

const ToolCommand* toolCommandFor(const CliOptions& options)
{
    const auto& commands = toolCommands();
    const auto found = std::find_if(commands.begin(), commands.end(), [&options](const ToolCommand& command) {
        return command.shape.name == options.command && (!command.handles || command.handles(options));
    });
    return found == commands.end() ? nullptr : &*found;
}
