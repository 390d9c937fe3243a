// Binary property lists ("bplist00"), as the phone sends them.
#include "fuzz/PlistRoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return decodeAndRoundTrip(&PlistCodec::fromBinary, data, size);
}
