#include "sim/services/ZipReader.h"

#include "sim/services/FileRelayArchive.h"

#include <array>

namespace {

std::uint32_t le(std::string_view bytes, std::size_t offset, int width)
{
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | std::uint8_t(bytes[offset + std::size_t(i)]);
    }
    return value;
}

/// A straightforward canonical-Huffman inflater after the structure of RFC 1951.
class Inflater
{
public:
    Inflater(std::string_view input, std::size_t maxOutput)
        : m_in(input)
        , m_max(maxOutput)
    {
    }

    std::optional<std::string> run()
    {
        int last = 0;
        do {
            last = bits(1);
            const int type = bits(2);
            bool ok = false;
            if (type == 0) {
                ok = stored();
            } else if (type == 1) {
                ok = fixed();
            } else if (type == 2) {
                ok = dynamic();
            }
            if (!ok || m_failed) {
                return std::nullopt;
            }
        } while (!last);
        return std::move(m_out);
    }

private:
    struct Huffman
    {
        std::array<std::int16_t, 16> count {};
        std::array<std::int16_t, 288> symbol {};
    };

    int bits(int need)
    {
        std::uint32_t value = m_bitBuffer;
        while (m_bitCount < need) {
            if (m_pos >= m_in.size()) {
                m_failed = true;
                return 0;
            }
            value |= std::uint32_t(std::uint8_t(m_in[m_pos++])) << m_bitCount;
            m_bitCount += 8;
        }
        m_bitBuffer = value >> need;
        m_bitCount -= need;
        return int(value & ((1u << need) - 1));
    }

    bool stored()
    {
        m_bitBuffer = 0;
        m_bitCount = 0;
        if (m_pos + 4 > m_in.size()) {
            return false;
        }
        const std::uint32_t length = le(m_in, m_pos, 2);
        const std::uint32_t complement = le(m_in, m_pos + 2, 2);
        m_pos += 4;
        if (length != (~complement & 0xFFFF) || m_pos + length > m_in.size() || m_out.size() + length > m_max) {
            return false;
        }
        m_out.append(m_in.substr(m_pos, length));
        m_pos += length;
        return true;
    }

    /// Builds the decoding tables; false when the lengths over-subscribe the code space.
    static bool construct(Huffman& h, const std::int16_t* lengths, int n)
    {
        h.count.fill(0);
        for (int symbol = 0; symbol < n; ++symbol) {
            h.count[std::size_t(lengths[symbol])]++;
        }
        if (h.count[0] == n) {
            return true; // no codes: decoding will fail if it is used
        }
        int left = 1;
        for (int length = 1; length < 16; ++length) {
            left <<= 1;
            left -= h.count[std::size_t(length)];
            if (left < 0) {
                return false;
            }
        }
        std::array<std::int16_t, 16> offsets {};
        for (int length = 1; length < 15; ++length) {
            offsets[std::size_t(length) + 1]
                = std::int16_t(offsets[std::size_t(length)] + h.count[std::size_t(length)]);
        }
        for (int symbol = 0; symbol < n; ++symbol) {
            if (lengths[symbol] != 0) {
                h.symbol[std::size_t(offsets[std::size_t(lengths[symbol])]++)] = std::int16_t(symbol);
            }
        }
        return true;
    }

    int decode(const Huffman& h)
    {
        int code = 0;
        int first = 0;
        int index = 0;
        for (int length = 1; length < 16; ++length) {
            code |= bits(1);
            if (m_failed) {
                return -1;
            }
            const int count = h.count[std::size_t(length)];
            if (code - count < first) {
                // Never negative: code - first < count here, and code >= first.
                return h.symbol[std::size_t(index + (code - first))]; // NOLINT(bugprone-misplaced-widening-cast)
            }
            index += count;
            first += count;
            first <<= 1;
            code <<= 1;
        }
        return -1;
    }

    bool codes(const Huffman& lengthCode, const Huffman& distanceCode)
    {
        static constexpr std::int16_t LENGTH_BASE[29] = { 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35,
            43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258 };
        static constexpr std::int16_t LENGTH_EXTRA[29]
            = { 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0 };
        static constexpr std::int16_t DISTANCE_BASE[30] = { 1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193,
            257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577 };
        static constexpr std::int16_t DISTANCE_EXTRA[30]
            = { 0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13 };
        while (true) {
            int symbol = decode(lengthCode);
            if (symbol < 0) {
                return false;
            }
            if (symbol < 256) {
                if (m_out.size() >= m_max) {
                    return false;
                }
                m_out += char(symbol);
                continue;
            }
            if (symbol == 256) {
                return true;
            }
            symbol -= 257;
            if (symbol >= 29) {
                return false;
            }
            const std::size_t length = std::size_t(LENGTH_BASE[symbol]) + std::size_t(bits(LENGTH_EXTRA[symbol]));
            symbol = decode(distanceCode);
            if (symbol < 0 || symbol >= 30) {
                return false;
            }
            const std::size_t distance = std::size_t(DISTANCE_BASE[symbol]) + std::size_t(bits(DISTANCE_EXTRA[symbol]));
            if (m_failed || distance > m_out.size() || m_out.size() + length > m_max) {
                return false;
            }
            const std::size_t from = m_out.size() - distance;
            for (std::size_t i = 0; i < length; ++i) {
                m_out += m_out[from + i]; // overlapping copies repeat the pattern
            }
        }
    }

    bool fixed()
    {
        static const auto tables = [] {
            std::pair<Huffman, Huffman> t;
            std::int16_t lengths[288];
            for (int i = 0; i < 288; ++i) {
                lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
            }
            construct(t.first, lengths, 288);
            for (int i = 0; i < 30; ++i) {
                lengths[i] = 5;
            }
            construct(t.second, lengths, 30);
            return t;
        }();
        return codes(tables.first, tables.second);
    }

    bool dynamic()
    {
        static constexpr int ORDER[19] = { 16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15 };
        const int lengthCount = bits(5) + 257;
        const int distanceCount = bits(5) + 1;
        const int codeCount = bits(4) + 4;
        if (m_failed || lengthCount > 286 || distanceCount > 30) {
            return false;
        }
        std::int16_t lengths[320] = {};
        for (int i = 0; i < codeCount; ++i) {
            lengths[ORDER[i]] = std::int16_t(bits(3));
        }
        Huffman lengthCode;
        Huffman distanceCode;
        if (!construct(lengthCode, lengths, 19)) {
            return false;
        }
        int index = 0;
        while (index < lengthCount + distanceCount) {
            int symbol = decode(lengthCode);
            if (symbol < 0) {
                return false;
            }
            if (symbol < 16) {
                lengths[index++] = std::int16_t(symbol);
                continue;
            }
            std::int16_t repeated = 0;
            int times = 0;
            if (symbol == 16) {
                if (index == 0) {
                    return false;
                }
                repeated = lengths[index - 1];
                times = 3 + bits(2);
            } else if (symbol == 17) {
                times = 3 + bits(3);
            } else {
                times = 11 + bits(7);
            }
            if (index + times > lengthCount + distanceCount) {
                return false;
            }
            while (times-- > 0) {
                lengths[index++] = repeated;
            }
        }
        if (m_failed || lengths[256] == 0) {
            return false;
        }
        return construct(lengthCode, lengths, lengthCount)
            && construct(distanceCode, lengths + lengthCount, distanceCount) && codes(lengthCode, distanceCode);
    }

    std::string_view m_in;
    std::size_t m_max;
    std::size_t m_pos = 0;
    std::uint32_t m_bitBuffer = 0;
    int m_bitCount = 0;
    bool m_failed = false;
    std::string m_out;
};

} // namespace

ZipReader::ZipReader(std::string_view archive)
    : m_archive(archive)
{
}

bool ZipReader::fail(std::string text)
{
    m_error = std::move(text);
    return false;
}

bool ZipReader::open()
{
    m_entries.clear();
    if (m_archive.size() < 22) {
        return fail("too short for a zip archive");
    }
    // The end record sits within the last 64 KiB + 22 bytes (its comment may fill the rest).
    std::size_t end = std::string_view::npos;
    const std::size_t lowest = m_archive.size() > 65557 ? m_archive.size() - 65557 : 0;
    for (std::size_t at = m_archive.size() - 22 + 1; at-- > lowest;) {
        if (le(m_archive, at, 4) == 0x06054B50) {
            end = at;
            break;
        }
    }
    if (end == std::string_view::npos) {
        return fail("no end of central directory");
    }
    const std::uint32_t count = le(m_archive, end + 10, 2);
    const std::uint32_t directorySize = le(m_archive, end + 12, 4);
    std::size_t offset = le(m_archive, end + 16, 4);
    if (std::uint64_t(offset) + directorySize > end) {
        return fail("central directory out of bounds");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (offset + 46 > end || le(m_archive, offset, 4) != 0x02014B50) {
            return fail("damaged central directory");
        }
        Entry entry;
        entry.method = std::uint16_t(le(m_archive, offset + 10, 2));
        entry.crc = le(m_archive, offset + 16, 4);
        entry.compressedSize = le(m_archive, offset + 20, 4);
        entry.size = le(m_archive, offset + 24, 4);
        const std::uint32_t nameLength = le(m_archive, offset + 28, 2);
        const std::uint32_t extraLength = le(m_archive, offset + 30, 2);
        const std::uint32_t commentLength = le(m_archive, offset + 32, 2);
        const std::uint32_t madeBy = le(m_archive, offset + 4, 2) >> 8;
        entry.unixMode = madeBy == 3 ? le(m_archive, offset + 38, 4) >> 16 : 0;
        entry.localHeaderOffset = le(m_archive, offset + 42, 4);
        if (entry.compressedSize == 0xFFFFFFFFu || entry.size == 0xFFFFFFFFu
            || entry.localHeaderOffset == 0xFFFFFFFFu) {
            return fail("zip64 archives are not supported");
        }
        if (offset + 46 + nameLength > end) {
            return fail("damaged central directory");
        }
        entry.name = std::string(m_archive.substr(offset + 46, nameLength));
        offset += 46 + nameLength + extraLength + commentLength;
        m_entries.push_back(std::move(entry));
    }
    return true;
}

std::optional<std::string> ZipReader::read(const Entry& entry, std::uint64_t maxSize)
{
    if (entry.size > maxSize) {
        fail(entry.name + ": too large");
        return std::nullopt;
    }
    const std::uint64_t header = entry.localHeaderOffset;
    if (header + 30 > m_archive.size() || le(m_archive, std::size_t(header), 4) != 0x04034B50) {
        fail(entry.name + ": damaged local header");
        return std::nullopt;
    }
    const std::uint64_t data
        = header + 30 + le(m_archive, std::size_t(header) + 26, 2) + le(m_archive, std::size_t(header) + 28, 2);
    if (data + entry.compressedSize > m_archive.size()) {
        fail(entry.name + ": data out of bounds");
        return std::nullopt;
    }
    const std::string_view raw = m_archive.substr(std::size_t(data), std::size_t(entry.compressedSize));
    std::optional<std::string> bytes;
    if (entry.method == 0) {
        bytes = std::string(raw);
    } else if (entry.method == 8) {
        bytes = inflate(raw, std::size_t(entry.size));
    } else {
        fail(entry.name + ": unsupported compression method " + std::to_string(entry.method));
        return std::nullopt;
    }
    if (!bytes || bytes->size() != entry.size || FileRelayArchive::crc32(*bytes) != entry.crc) {
        fail(entry.name + ": damaged data");
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::string> ZipReader::inflate(std::string_view data, std::size_t maxOutput)
{
    return Inflater(data, maxOutput).run();
}
