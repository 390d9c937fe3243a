// The service frame reader (AMService): length-prefixed property lists from a phone, read one at
// a time, through the reply loop of a command and through the device-link handshake and messages.
// Input: a mode byte, a piece-size byte, then the bytes the phone sends.
#include "device/AMService.h"
#include "fuzz/FuzzInput.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t mode = input.byte();
    const std::size_t piece = input.byte();
    auto connection = std::make_unique<FuzzConnection>(input.rest(), piece);
    FuzzConnection& stream = *connection;
    switch (mode % 3) {
    case 0: {
        AMService service(std::move(connection));
        for (int i = 0; i < 256 && !stream.exhausted(); ++i) {
            (void)service.readXMLReply();
        }
        break;
    }
    case 1: {
        AMService service(std::move(connection));
        const PlistValue request(PlistDictionary { { "Command", PlistValue("Browse") } });
        while (!stream.exhausted() && service.sendRequestAndWaitUntilDone(request)) { }
        break;
    }
    default: {
        AMDLService service(std::move(connection));
        if (!service.versionHandshake()) {
            break;
        }
        const PlistDictionary payload { { "MessageType", PlistValue("Ping") } };
        for (int i = 0; i < 64 && !stream.exhausted(); ++i) {
            if (i % 2 == 0) {
                (void)service.sendDLProcessMessage(payload, "Ping");
            } else {
                (void)service.waitForDLResponse("DLMessageProcessMessage");
            }
        }
        break;
    }
    }
    return 0;
}
