// The system-log stream from a phone, cut into lines (AMSyslogLineSplitter) across reads of any
// size. No line may be empty or longer than the splitter's bound, and nothing is held beyond it.
// Input: a piece-size byte, then the phone's bytes.
#include "device/AMSyslogRelay.h"
#include "fuzz/FuzzInput.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::size_t piece = input.byte() + 1;
    AMSyslogLineSplitter splitter;
    while (!input.rest().empty()) {
        const std::string_view chunk = input.take(piece);
        for (const std::string& line : splitter.feed(chunk.data(), chunk.size())) {
            if (line.empty() || line.size() > AMSyslogLineSplitter::MAX_LINE) {
                std::abort();
            }
        }
        if (splitter.pending().size() > AMSyslogLineSplitter::MAX_LINE) {
            std::abort();
        }
    }
    return 0;
}
