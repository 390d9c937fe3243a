// AFC replies from a phone, read by our own AFC client (AFCWireClient): headers, statuses, data
// payloads, directory listings, file and device information, handles and file reads.
// Input: a count byte, that many operation bytes (fuzz/AFCOperations.h), a piece-size byte, then
// the phone's bytes.
#include "fuzz/AFCOperations.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    std::vector<std::uint8_t> operations(input.byte() % 33);
    for (std::uint8_t& operation : operations) {
        operation = input.byte();
    }
    const std::size_t piece = input.byte();
    FuzzConnection connection(input.rest(), piece);
    AFCWireClient client(connection);
    fuzzafc::State state;
    for (const std::uint8_t operation : operations) {
        (void)fuzzafc::run(client, operation, state);
    }
    return 0;
}
