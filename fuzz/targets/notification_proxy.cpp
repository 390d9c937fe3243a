// What the notification proxy's listener reads from a phone: frames that arrive split or joined
// in any way, each one a relayed notification, the farewell or something unexpected.
// Input: a piece-size byte, then the phone's bytes.
#include "device/AMNotificationProxyMessage.h"
#include "device/AMServiceFrame.h"
#include "fuzz/FuzzInput.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::size_t piece = input.byte() + 1;
    AMServiceFrameAssembler frames;
    while (!input.rest().empty()) {
        const std::string_view chunk = input.take(piece);
        frames.append(chunk.data(), chunk.size());
        std::string body;
        AMServiceFrameAssembler::Outcome outcome;
        while ((outcome = frames.next(body)) == AMServiceFrameAssembler::Outcome::Frame) {
            const AMNotificationProxyMessage message = readNotificationProxyMessage(body);
            if (message.kind == AMNotificationProxyMessage::Kind::Relay && message.name.empty()) {
                std::abort(); // an empty name reads as the end of the relay
            }
            if (message.kind != AMNotificationProxyMessage::Kind::Relay) {
                return 0; // the listener stops here
            }
        }
        if (outcome == AMServiceFrameAssembler::Outcome::Oversized) {
            return 0;
        }
    }
    return 0;
}
