#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The frame every property-list service speaks: a 4-byte big-endian body length, then the body.

/// The largest frame body accepted from a device. The length field allows 4 GiB; no reply the
/// device layer asks for comes near this, so a larger length is a broken or hostile peer and is
/// refused before anything is allocated.
inline constexpr std::uint32_t AM_MAX_FRAME_BODY_SIZE = 64 * 1024 * 1024;

/// Size of the length field.
inline constexpr std::size_t AM_FRAME_HEADER_SIZE = 4;

/// The 4 length bytes for a body of `length` bytes.
std::string encodeServiceFrameHeader(std::uint32_t length);

/// The length field read from exactly AM_FRAME_HEADER_SIZE bytes.
std::uint32_t decodeServiceFrameLength(const std::uint8_t* bytes);

/// Collects frames from a byte stream that may split or join them, for a reader that cannot
/// block on one frame at a time (the notification listener).
class AMServiceFrameAssembler
{
public:
    enum class Outcome {
        Frame,
        NeedMore,
        /// The next frame declares more than AM_MAX_FRAME_BODY_SIZE; nothing was kept for it.
        Oversized,
    };

    void append(const char* bytes, std::size_t count) { m_buffer.append(bytes, count); }
    /// The next whole frame's body, if one has arrived.
    Outcome next(std::string& body);

private:
    std::string m_buffer;
};
