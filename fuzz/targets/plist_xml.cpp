// XML property lists, as the phone and the simulator's clients send them.
// Whatever the encoders write of a decoded document must decode again.
#include "base/PlistValue.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<PlistValue> value = PlistCodec::fromXml(document, &error);
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
