// The AFC payload parsers on their own: the NUL-separated strings of a DATA reply, file and device
// information pairs and their values, directory listings, a reply header checked against its
// request, and the path rules applied to names a phone sends.
// Input: a selector byte, then the payload.
#include "device/AFCPacket.h"
#include "device/AFCValues.h"
#include "fuzz/FuzzInput.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t selector = input.byte();
    const std::string_view payload = input.rest();
    switch (selector % 4) {
    case 0:
        for (const auto& [key, value] : parseAFCKeyValues(payload)) {
            if (const std::optional<std::int64_t> number = afcPairValue(value).toInt64()) {
                (void)afcDateFromNanoseconds(*number);
            }
        }
        break;
    case 1:
        for (const std::string& name : parseAFCDirectoryListing(payload)) {
            if (name.empty()) {
                std::abort(); // an empty name would make a tree walk loop
            }
            const std::string path = afcJoinPath("/DCIM", name);
            (void)afcLastPathComponent(path);
            (void)afcIsRootPath(path);
            const std::optional<std::string> normal = afcNormalizePath(path);
            if (!normal || normal->empty() || normal->front() != '/') {
                std::abort();
            }
        }
        break;
    case 2:
        (void)splitAFCStrings(payload);
        (void)afcNormalizePath(payload);
        break;
    default:
        if (payload.size() >= AFC_HEADER_SIZE) {
            const AFCPacketHeader header = decodeAFCHeader(reinterpret_cast<const std::uint8_t*>(payload.data()));
            std::string why;
            (void)checkAFCReplyHeader(header, header.packetNumber, &why);
        }
        break;
    }
    return 0;
}
