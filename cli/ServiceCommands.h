#pragma once

#include "cli/TorvaneCli.h"

#include <iosfwd>
#include <string>

class AMDevice;
class PlainRunLoop;

/// True for the commands served by the device's app, icon, log, notification and screenshot
/// services rather than its media area.
bool isServiceCommand(const std::string& command);

/// Runs one of those commands on `device`. `loop` is the calling thread's run loop; it serves
/// as the main loop while log lines and notifications arrive. Answers the exit status.
int runServiceCommand(
    AMDevice& device, PlainRunLoop& loop, const CliOptions& options, std::ostream& out, std::ostream& err);
