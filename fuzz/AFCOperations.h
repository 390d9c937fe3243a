#pragma once

// The AFC client calls the afc_reply target makes, shared with the corpus capture so that the
// captured replies answer exactly these requests in this order.

#include "device/AFCWireClient.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fuzzafc {

enum Operation : std::uint8_t {
    DeviceInfo,
    ReadRoot,
    FileInfo,
    Open,
    Write,
    Seek,
    Read,
    Tell,
    Close,
    MakeDirectory,
    Rename,
    Remove,
    Count,
};

struct State
{
    std::vector<std::string> names;
    AFCWireClient::KeyValues pairs;
    std::uint64_t handle = 0;
    std::uint64_t position = 0;
    std::vector<char> buffer = std::vector<char>(4096, 'x');
    std::uint32_t bytesRead = 0;
};

inline MDStatus run(AFCWireClient& client, std::uint8_t operation, State& state)
{
    switch (operation % Count) {
    case DeviceInfo:
        return client.getDeviceInfo(state.pairs);
    case ReadRoot:
        return client.readDirectory("/", state.names);
    case FileInfo:
        return client.getFileInfo("/fuzz-file", state.pairs);
    case Open:
        return client.fileOpen("/fuzz-file", AFCWireOpenMode::ReadWriteTruncate, state.handle);
    case Write:
        return client.fileWrite(state.handle, state.buffer.data(), 64);
    case Seek:
        return client.fileSeek(state.handle, 0, 0);
    case Read:
        return client.fileRead(
            state.handle, state.buffer.data(), static_cast<std::uint32_t>(state.buffer.size()), state.bytesRead);
    case Tell:
        return client.fileTell(state.handle, state.position);
    case Close:
        return client.fileClose(state.handle);
    case MakeDirectory:
        return client.makeDirectory("/fuzz-folder");
    case Rename:
        return client.renamePath("/fuzz-folder", "/fuzz-folder-2");
    default:
        return client.removePath("/fuzz-folder-2");
    }
}

} // namespace fuzzafc
