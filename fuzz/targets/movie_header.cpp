// The movie-header reader (ICMovieHeader) over a video file from a phone's camera roll: the walk
// over top-level boxes must stay within its read budget, ask only for small reads, and never
// trust a box length.
// Input: a size-claim byte, then the file's bytes.
#include "fuzz/FuzzInput.h"
#include "platform/image_capture/ICMovieHeader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t claim = input.byte();
    const std::string_view file = input.rest();
    // The size the phone reported may disagree with the bytes it then serves.
    std::uint64_t fileSize = file.size();
    if (claim & 1) {
        fileSize += std::uint64_t(claim) << 24;
    } else if (claim & 2) {
        fileSize = ~std::uint64_t(0) - claim;
    }
    int reads = 0;
    const ICMovieHeader::RangeReader read
        = [&](std::uint64_t offset, std::uint32_t length) -> std::optional<std::string> {
        ++reads;
        if (length > 1024 * 1024 || reads > 4 * ICMovieHeader::MAX_TOP_LEVEL_BOXES) {
            std::abort(); // an unbounded read or walk, driven by the file's own lengths
        }
        if (offset >= file.size()) {
            return std::string();
        }
        return std::string(file.substr(offset, length));
    };
    (void)ICMovieHeader::movieDurationSeconds(fileSize, read);
    (void)ICMovieHeader::durationFromMovieHeaderPayload(file);
    return 0;
}
