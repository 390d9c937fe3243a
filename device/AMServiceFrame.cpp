#include "device/AMServiceFrame.h"

std::string encodeServiceFrameHeader(std::uint32_t length)
{
    std::string header(AM_FRAME_HEADER_SIZE, '\0');
    header[0] = static_cast<char>((length >> 24) & 0xFF);
    header[1] = static_cast<char>((length >> 16) & 0xFF);
    header[2] = static_cast<char>((length >> 8) & 0xFF);
    header[3] = static_cast<char>(length & 0xFF);
    return header;
}

std::uint32_t decodeServiceFrameLength(const std::uint8_t* bytes)
{
    return (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8)
        | std::uint32_t(bytes[3]);
}

AMServiceFrameAssembler::Outcome AMServiceFrameAssembler::next(std::string& body)
{
    if (m_buffer.size() < AM_FRAME_HEADER_SIZE) {
        return Outcome::NeedMore;
    }
    const std::uint32_t length = decodeServiceFrameLength(reinterpret_cast<const std::uint8_t*>(m_buffer.data()));
    if (length > AM_MAX_FRAME_BODY_SIZE) {
        return Outcome::Oversized;
    }
    if (m_buffer.size() < AM_FRAME_HEADER_SIZE + length) {
        return Outcome::NeedMore;
    }
    body = m_buffer.substr(AM_FRAME_HEADER_SIZE, length);
    m_buffer.erase(0, AM_FRAME_HEADER_SIZE + length);
    return Outcome::Frame;
}
