#pragma once

#include <ctime>
#include <string>
#include <string_view>

/// How syslog_relay writes its records.
namespace SyslogFormat {

/// BSD vis(3) escaping of bytes above 0x7F, as devices send non-ASCII text: "\M-x" for a byte
/// whose low seven bits are printable, "\M^X" for a control character. ASCII passes unchanged.
std::string visEscape(std::string_view text);

/// One record: "Mmm dd HH:MM:SS <device> <text>\n\0", day padded with a space, in local time.
std::string record(std::time_t when, std::string_view deviceName, std::string_view text);

} // namespace SyslogFormat
