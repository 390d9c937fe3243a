#include "platform/image_capture/ICMovieHeader.h"

#include <limits>

namespace ICMovieHeader {

namespace {

    std::uint32_t be32(std::string_view bytes, std::size_t at)
    {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            value = (value << 8) | std::uint8_t(bytes[at + i]);
        }
        return value;
    }

    std::uint64_t be64(std::string_view bytes, std::size_t at)
    {
        return (std::uint64_t(be32(bytes, at)) << 32) | be32(bytes, at + 4);
    }

    struct BoxHeader
    {
        std::uint64_t size = 0; // whole box, header included
        std::uint32_t headerSize = 8;
        std::string type;
    };

    /// The header at the start of `bytes`; `available` is what is left of the enclosing space,
    /// which gives the size of a box whose size field is 0 ("to the end").
    std::optional<BoxHeader> parseHeader(std::string_view bytes, std::uint64_t available)
    {
        if (bytes.size() < 8) {
            return std::nullopt;
        }
        BoxHeader header;
        header.type = std::string(bytes.substr(4, 4));
        const std::uint32_t size32 = be32(bytes, 0);
        if (size32 == 1) {
            if (bytes.size() < 16) {
                return std::nullopt;
            }
            header.size = be64(bytes, 8);
            header.headerSize = 16;
        } else if (size32 == 0) {
            header.size = available;
        } else {
            header.size = size32;
        }
        if (header.size < header.headerSize || header.size > available) {
            return std::nullopt;
        }
        return header;
    }

} // namespace

std::optional<double> durationFromMovieHeaderPayload(std::string_view payload)
{
    if (payload.empty()) {
        return std::nullopt;
    }
    const int version = std::uint8_t(payload[0]);
    std::uint32_t timescale = 0;
    std::uint64_t duration = 0;
    if (version == 0) {
        if (payload.size() < 20) {
            return std::nullopt;
        }
        timescale = be32(payload, 12);
        const std::uint32_t duration32 = be32(payload, 16);
        if (duration32 == std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
        duration = duration32;
    } else if (version == 1) {
        if (payload.size() < 32) {
            return std::nullopt;
        }
        timescale = be32(payload, 20);
        duration = be64(payload, 24);
        if (duration == std::numeric_limits<std::uint64_t>::max()) {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    if (timescale == 0) {
        return std::nullopt;
    }
    return double(duration) / double(timescale);
}

std::optional<double> movieDurationSeconds(std::uint64_t fileSize, const RangeReader& read)
{
    std::uint64_t offset = 0;
    for (int box = 0; box < MAX_TOP_LEVEL_BOXES && offset + 8 <= fileSize; ++box) {
        const auto head = read(offset, 16);
        if (!head) {
            return std::nullopt;
        }
        const auto header = parseHeader(*head, fileSize - offset);
        if (!header) {
            return std::nullopt;
        }
        if (header->type != "moov") {
            offset += header->size;
            continue;
        }
        const std::uint64_t contentSize = header->size - header->headerSize;
        const auto content
            = read(offset + header->headerSize, std::uint32_t(std::min<std::uint64_t>(contentSize, MOOV_PREFIX_BYTES)));
        if (!content) {
            return std::nullopt;
        }
        // The children of "moov" within what was read; "mvhd" is small and comes early.
        std::size_t at = 0;
        while (at + 8 <= content->size()) {
            const auto child = parseHeader(std::string_view(*content).substr(at), contentSize - at);
            if (!child) {
                return std::nullopt;
            }
            if (child->type == "mvhd") {
                const std::size_t payloadStart = at + child->headerSize;
                const std::size_t payloadEnd = std::min<std::uint64_t>(at + child->size, content->size());
                if (payloadStart > payloadEnd) {
                    return std::nullopt;
                }
                return durationFromMovieHeaderPayload(
                    std::string_view(*content).substr(payloadStart, payloadEnd - payloadStart));
            }
            at += std::size_t(std::min<std::uint64_t>(child->size, content->size() - at + 1));
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace ICMovieHeader
