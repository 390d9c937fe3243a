#include "cli/CliJson.h"

#include "base/Log.h"
#include "cli/CliText.h"

#include <cmath>
#include <ctime>

namespace {

/// Length of the valid UTF-8 sequence starting at `text[i]`, or 0 when it is not valid.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

std::string base64(const PlistData& data)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const std::uint32_t chunk = (std::uint32_t(data[i]) << 16)
            | (i + 1 < data.size() ? std::uint32_t(data[i + 1]) << 8 : 0)
            | (i + 2 < data.size() ? std::uint32_t(data[i + 2]) : 0);
        out.push_back(alphabet[(chunk >> 18) & 63]);
        out.push_back(alphabet[(chunk >> 12) & 63]);
        out.push_back(i + 1 < data.size() ? alphabet[(chunk >> 6) & 63] : '=');
        out.push_back(i + 2 < data.size() ? alphabet[chunk & 63] : '=');
    }
    return out;
}

void write(std::string& out, const PlistValue& value, int indent, int depth)
{
    const auto newline = [&](int level) {
        if (indent > 0) {
            out.push_back('\n');
            out.append(static_cast<std::size_t>(indent) * static_cast<std::size_t>(level), ' ');
        }
    };
    switch (value.type()) {
    case PlistValue::Type::Null:
        out += "null";
        break;
    case PlistValue::Type::Boolean:
        out += *value.toBool() ? "true" : "false";
        break;
    case PlistValue::Type::Integer:
        if (value.isUnsignedInteger()) {
            out += std::to_string(*value.toUInt64());
        } else {
            out += std::to_string(*value.toInt64());
        }
        break;
    case PlistValue::Type::Real: {
        const double number = *value.toDouble();
        out += std::isfinite(number) ? stringWithFormat("%.17g", number) : std::string("null");
        break;
    }
    case PlistValue::Type::String:
        out += jsonString(*value.asString());
        break;
    case PlistValue::Type::Data:
        out += jsonString(base64(*value.asData()));
        break;
    case PlistValue::Type::Date:
        out += jsonString(isoDate(*value.toDate()));
        break;
    case PlistValue::Type::Uid:
        out += std::to_string(value.toUid()->value);
        break;
    case PlistValue::Type::Array: {
        const PlistArray& array = *value.asArray();
        out.push_back('[');
        for (std::size_t i = 0; i < array.size(); ++i) {
            if (i > 0) {
                out.push_back(',');
            }
            newline(depth + 1);
            write(out, array[i], indent, depth + 1);
        }
        if (!array.empty()) {
            newline(depth);
        }
        out.push_back(']');
        break;
    }
    case PlistValue::Type::Dictionary: {
        const PlistDictionary& dictionary = *value.asDictionary();
        out.push_back('{');
        bool first = true;
        for (const auto& [key, item] : dictionary) {
            if (!first) {
                out.push_back(',');
            }
            first = false;
            newline(depth + 1);
            out += jsonString(key);
            out += indent > 0 ? ": " : ":";
            write(out, item, indent, depth + 1);
        }
        if (!dictionary.empty()) {
            newline(depth);
        }
        out.push_back('}');
        break;
    }
    }
}

} // namespace

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += stringWithFormat("\\u%04x", c);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
        ++i;
    }
    out.push_back('"');
    return out;
}

std::string plistToJson(const PlistValue& value, int indent)
{
    std::string out;
    write(out, value, indent, 0);
    return out;
}

std::string isoDate(const PlistDate& date)
{
    std::int64_t seconds = date.microsecondsSince1970 / 1'000'000;
    if (date.microsecondsSince1970 < 0 && date.microsecondsSince1970 % 1'000'000 != 0) {
        --seconds; // floor, so fractions before 1970 round down like those after
    }
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts {};
    if (!gmtime_r(&time, &parts)) {
        return "invalid date";
    }
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return buffer;
}

std::string humanValue(const PlistValue& value)
{
    if (value.isString()) {
        return escapeCliText(*value.asString());
    }
    if (value.isDate()) {
        return isoDate(*value.toDate());
    }
    if (value.isArray() || value.isDictionary()) {
        return plistToJson(value);
    }
    return plistToJson(value, 0);
}
