#include "sim/services/SyslogFormat.h"

namespace SyslogFormat {

std::string visEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
            continue;
        }
        const unsigned char low = byte & 0x7F;
        out += "\\M";
        if (low < 0x20) {
            out += '^';
            out += char(low + 0x40);
        } else if (low == 0x7F) {
            out += "^?";
        } else {
            out += '-';
            out += char(low);
        }
    }
    return out;
}

std::string record(std::time_t when, std::string_view deviceName, std::string_view text)
{
    std::tm tm {};
    localtime_r(&when, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%b %e %H:%M:%S", &tm);
    std::string line = std::string(date) + " " + visEscape(deviceName) + " " + visEscape(text) + "\n";
    line += '\0';
    return line;
}

} // namespace SyslogFormat
