#include "cli/CliText.h"

#include "base/Log.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace {

/// The length of the valid UTF-8 sequence at the start of `text` (1 to 4), or 0 when it is not
/// one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t utf8SequenceLength(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t value = 0;
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    if (overlong || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
        return 0;
    }
    return length;
}

std::string hexEscape(unsigned char byte)
{
    return stringWithFormat("\\x%02X", static_cast<unsigned>(byte));
}

std::string lowerFirst(std::string text)
{
    if (!text.empty()) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text;
}

} // namespace

std::string escapeCliText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text.front());
        const std::size_t length = utf8SequenceLength(text);
        if (length == 0) {
            out += hexEscape(c);
            text.remove_prefix(1);
            continue;
        }
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) {
            // C1 controls (U+0080 to U+009F) steer terminals as much as ESC does.
            out += hexEscape(c) + hexEscape(static_cast<unsigned char>(text[1]));
            text.remove_prefix(2);
            continue;
        }
        if (length > 1) {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
            continue;
        }
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += hexEscape(c);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
        text.remove_prefix(1);
    }
    return out;
}

std::string unescapeCliArgument(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char next = text[i + 1];
        if (next == '\\' || next == 'n' || next == 't' || next == 'r') {
            out.push_back(next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : '\\');
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 2]))
            && std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out.push_back(static_cast<char>(std::strtoul(std::string(text.substr(i + 2, 2)).c_str(), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string afcFailureWords(MDStatus status, const std::optional<std::string>& lastError)
{
    const std::string text = lastError.value_or("");
    // Our own refusals, which carry no device status.
    if (text == "Won't overwrite existing file") {
        return "already exists (use -f to replace it)";
    }
    if (text.starts_with("Not enough free space") || text.starts_with("Won't remove")
        || text.starts_with("Can't open input file:") || text.starts_with("Can't open output file:")
        || text.starts_with("Can't read input file:")) {
        return lowerFirst(text);
    }
    switch (status) {
    case AFCStatus::ObjectNotFound:
        return "no such file or folder";
    case AFCStatus::ObjectIsDir:
        return "is a folder";
    case AFCStatus::PermDenied:
        return "permission denied";
    case AFCStatus::ObjectExists:
        return "already exists";
    case AFCStatus::NoSpaceLeft:
        return "not enough free space on the device";
    case AFCStatus::ObjectBusy:
        return "in use on the device";
    case AFCStatus::InvalidArg:
        return "the device refused the name (too long or not valid)";
    case AFCStatus::IoError:
        return "the device reported an input/output error";
    case AFCStatus::OpTimeout:
        return "the device did not answer in time";
    case AFCStatus::ConnectionError:
    case AFCStatus::NotEnoughData:
        return "the connection to the device was lost";
    case AFCStatus::NoMemory:
        return "the device sent a reply too large to accept";
    case AFCStatus::ReadError:
        return "not a folder";
    case AFCStatus::UnknownError:
        return "the device refused (unknown failure)";
    default:
        break;
    }
    if (status != AFCStatus::Success) {
        return lowerFirst(mobileDeviceStatusText(status));
    }
    if (text == "Connection is not open") {
        return "the connection to the device is closed";
    }
    return text.empty() ? std::string("unknown failure") : lowerFirst(text);
}

std::string deviceFailureWords(const std::optional<std::string>& lastError, std::string_view fallback)
{
    if (!lastError || lastError->empty()) {
        return std::string(fallback);
    }
    // "%s failed: %x": name the status instead of showing its number.
    const std::size_t marker = lastError->rfind(" failed: ");
    if (marker != std::string::npos) {
        const std::string number = lastError->substr(marker + 9);
        char* end = nullptr;
        const unsigned long status = std::strtoul(number.c_str(), &end, 16);
        if (!number.empty() && end && *end == '\0') {
            if (mobileDeviceStatusName(static_cast<MDStatus>(status))) {
                return lowerFirst(mobileDeviceStatusText(static_cast<MDStatus>(status)));
            }
        }
    }
    return lowerFirst(*lastError);
}
