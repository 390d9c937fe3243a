#include "sim/services/PlistChannel.h"

#include "sim/SimStream.h"

PlistChannel::PlistChannel(SimStream& stream, Encoding initial)
    : m_stream(stream)
    , m_encoding(initial)
{
}

std::optional<PlistValue> PlistChannel::receive(std::string* error)
{
    auto fail = [error](const std::string& text) -> std::optional<PlistValue> {
        if (error) {
            *error = text;
        }
        return std::nullopt;
    };
    std::uint8_t header[4];
    if (!m_stream.readExact(header, sizeof header)) {
        return fail({});
    }
    const std::uint32_t length = (std::uint32_t(header[0]) << 24) | (std::uint32_t(header[1]) << 16)
        | (std::uint32_t(header[2]) << 8) | header[3];
    if (length == 0 || length > MAX_FRAME) {
        return fail("frame length " + std::to_string(length) + " out of range");
    }
    std::string body(length, '\0');
    if (!m_stream.readExact(body.data(), body.size())) {
        return fail("connection closed inside a frame");
    }
    std::string decodeError;
    auto value = PlistCodec::fromAny(body, &decodeError);
    if (!value) {
        return fail("bad plist: " + decodeError);
    }
    m_encoding = body.starts_with("bplist00") ? Encoding::Binary : Encoding::Xml;
    return value;
}

bool PlistChannel::send(const PlistValue& value)
{
    return send(value, m_encoding);
}

bool PlistChannel::send(const PlistValue& value, Encoding encoding)
{
    const auto body = encoding == Encoding::Binary ? PlistCodec::toBinary(value) : PlistCodec::toXml(value);
    if (!body || body->size() > MAX_FRAME) {
        return false;
    }
    std::string frame;
    frame.reserve(4 + body->size());
    const auto length = std::uint32_t(body->size());
    frame += char(length >> 24);
    frame += char((length >> 16) & 0xFF);
    frame += char((length >> 8) & 0xFF);
    frame += char(length & 0xFF);
    frame += *body;
    if (m_holding) {
        m_held += frame;
        return true;
    }
    return m_stream.writeAll(frame.data(), frame.size());
}

void PlistChannel::sendHalfOfHeld()
{
    m_holding = false;
    (void)m_stream.writeAll(m_held.data(), m_held.size() / 2);
    m_held.clear();
}

int PlistChannel::waitReadable(int timeoutMs) const
{
    return m_stream.waitReadable(timeoutMs);
}
