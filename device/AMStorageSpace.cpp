#include "device/AMStorageSpace.h"

#include "device/AFCDirectoryAccess.h"
#include "device/AMDevice.h"

#include <charconv>
#include <string_view>

std::optional<std::int64_t> AMStorageSpace::byteCount(const PlistValue& value)
{
    if (const std::string* text = value.asString()) {
        std::string_view digits(*text);
        const auto first = digits.find_first_not_of(" \t");
        if (first == std::string_view::npos) {
            return std::nullopt;
        }
        digits = digits.substr(first, digits.find_last_not_of(" \t") - first + 1);
        // Only digits: from_chars alone would take a sign.
        if (digits.find_first_not_of("0123456789") != std::string_view::npos) {
            return std::nullopt;
        }
        std::int64_t count = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
        if (error != std::errc() || end != digits.data() + digits.size()) {
            return std::nullopt;
        }
        return count;
    }
    if (value.type() != PlistValue::Type::Integer) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> count = value.toInt64();
    if (!count || *count < 0) {
        return std::nullopt;
    }
    return count;
}

AMStorageSpace AMStorageSpace::fromDeviceInfo(const PlistDictionary& info)
{
    const auto figure = [&info](const char* key) -> std::optional<std::int64_t> {
        const auto found = info.find(key);
        return found == info.end() ? std::nullopt : byteCount(found->second);
    };
    return AMStorageSpace { figure("FSFreeBytes"), figure("FSTotalBytes") };
}

std::optional<AMStorageSpace> AMStorageSpace::read(AMDevice& device)
{
    const std::unique_ptr<AFCMediaDirectory> media = device.newAFCMediaDirectory();
    if (!media) {
        return std::nullopt;
    }
    const std::optional<PlistDictionary> info = media->deviceInfo();
    media->close();
    return info ? fromDeviceInfo(*info) : AMStorageSpace {};
}
