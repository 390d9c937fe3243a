#pragma once

#include "base/PlistValue.h"

#include <cstdint>
#include <optional>
#include <string>

class SimStream;

/// Property-list frames on a service connection: a 32-bit big-endian length, then one plist.
/// Replies go out in the encoding of the last request (XML unless the host spoke binary).
class PlistChannel
{
public:
    enum class Encoding {
        Xml,
        Binary,
    };
    /// Frames longer than this are refused without allocating for them.
    static constexpr std::uint32_t MAX_FRAME = 16 * 1024 * 1024;

    explicit PlistChannel(SimStream& stream, Encoding initial = Encoding::Xml);

    /// The next plist; nothing at end of stream or on a bad frame (then `error` says why; empty
    /// when the host simply closed).
    std::optional<PlistValue> receive(std::string* error = nullptr);
    bool send(const PlistValue& value);
    bool send(const PlistValue& value, Encoding encoding);
    /// Keeps what is sent from now on instead of writing it, for `sendHalfOfHeld`.
    void hold() { m_holding = true; }
    /// Writes the first half of the held bytes (an answer broken off mid-frame) and stops holding.
    void sendHalfOfHeld();
    /// 1 a frame (or the end) can be read, 0 timed out, -1 error.
    int waitReadable(int timeoutMs) const;

    Encoding encoding() const { return m_encoding; }
    SimStream& stream() { return m_stream; }

private:
    SimStream& m_stream;
    Encoding m_encoding;
    bool m_holding { false };
    std::string m_held;
};
