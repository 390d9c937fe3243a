#pragma once

#include "device/mobile_device.h"

#include <optional>
#include <string>
#include <string_view>

/// A device name or path for a terminal: control characters, backslashes and bytes that are not
/// valid UTF-8 become escapes ("\n", "\t", "\\", "\x1B", "\xFF"), so a name shows on one row,
/// cannot restyle the terminal, and can be typed back as an argument (unescapeCliArgument()).
std::string escapeCliText(std::string_view text);

/// Undoes escapeCliText() on a device path given on the command line: "\\", "\n", "\t", "\r"
/// and "\xHH" (two hexadecimal digits). Any other backslash stays as it is.
std::string unescapeCliArgument(std::string_view text);

/// What a failed AFC operation means, in words ("no such file or folder"), from its status and
/// its last-error text. Our own texts ("Won't overwrite existing file") are reworded too.
std::string afcFailureWords(MDStatus status, const std::optional<std::string>& lastError);

/// What a failed device or service operation means, in words, from a last-error text such as
/// "AMDeviceSecureStartService failed: e8000013" (the status named) or one already in words.
std::string deviceFailureWords(const std::optional<std::string>& lastError, std::string_view fallback);
