// XML property lists, as the phone and the simulator's clients send them.
#include "fuzz/PlistRoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return decodeAndRoundTrip(&PlistCodec::fromXml, data, size);
}
