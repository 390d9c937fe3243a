#include "device/AFCValues.h"

#include <charconv>
#include <vector>

PlistValue afcPairValue(const std::string& text)
{
    if (text.empty()) {
        return PlistValue(std::int64_t { 0 });
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return PlistValue(text);
        }
    }
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size()) {
        return PlistValue(text);
    }
    return PlistValue(number);
}

PlistDate afcDateFromNanoseconds(std::int64_t nanoseconds)
{
    // Integer division truncates toward zero, which is what the device's whole-second dates need.
    const std::int64_t seconds = nanoseconds / 1'000'000'000;
    return PlistDate { seconds * 1'000'000 };
}

std::string afcJoinPath(std::string_view directory, std::string_view name)
{
    while (name.starts_with('/')) {
        name.remove_prefix(1);
    }
    if (directory.empty()) {
        return std::string(name);
    }
    while (directory.size() > 1 && directory.ends_with('/')) {
        directory.remove_suffix(1);
    }
    std::string joined(directory);
    if (!joined.ends_with('/')) {
        joined.push_back('/');
    }
    joined.append(name);
    return joined;
}

std::string afcLastPathComponent(std::string_view path)
{
    while (path.size() > 1 && path.ends_with('/')) {
        path.remove_suffix(1);
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1) {
        return std::string(path);
    }
    return std::string(path.substr(slash + 1));
}

std::optional<std::string> afcNormalizePath(std::string_view path)
{
    if (path.empty()) {
        return std::nullopt;
    }
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string normal;
    for (const std::string_view part : parts) {
        normal.push_back('/');
        normal.append(part);
    }
    return normal.empty() ? std::string("/") : normal;
}

bool afcIsRootPath(std::string_view path)
{
    return afcNormalizePath(path) == "/";
}
