#pragma once

// Shared by the property-list targets: whatever the encoders write of a decoded document must
// decode again, in both formats.
#include "base/PlistValue.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using PlistDecoder = std::optional<PlistValue> (*)(std::string_view, std::string*);

inline int decodeAndRoundTrip(PlistDecoder decode, const std::uint8_t* data, std::size_t size)
{
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<PlistValue> value = decode(document, &error);
    if (!value) {
        return 0;
    }
    if (const std::optional<std::string> xml = PlistCodec::toXml(*value)) {
        if (!PlistCodec::fromXml(*xml)) {
            std::abort(); // we wrote XML we cannot read
        }
    }
    if (const std::optional<std::string> binary = PlistCodec::toBinary(*value)) {
        if (!PlistCodec::fromBinary(*binary)) {
            std::abort();
        }
    }
    return 0;
}
