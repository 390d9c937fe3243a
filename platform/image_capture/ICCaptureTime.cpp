#include "platform/image_capture/ICCaptureTime.h"

#include <QTimeZone>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace ICCaptureTime {

namespace {

    constexpr std::uint16_t TAG_EXIF_IFD = 0x8769;
    constexpr std::uint16_t TAG_DATE_TIME_ORIGINAL = 0x9003;
    constexpr std::uint16_t TAG_OFFSET_TIME_ORIGINAL = 0x9011;
    constexpr std::uint16_t TYPE_ASCII = 2;
    // Seconds from 1904-01-01 (the movie header's epoch) to 1970-01-01.
    constexpr std::int64_t MOVIE_EPOCH_OFFSET = 2'082'844'800;

    /// Reads within one span of bytes; every read is checked, and a failed one poisons the
    /// reader, so a parse can read on and check once.
    class Bytes
    {
    public:
        Bytes(std::string_view bytes, bool littleEndian = false)
            : m_bytes(bytes)
            , m_little(littleEndian)
        {
        }

        std::size_t size() const { return m_bytes.size(); }
        bool has(std::size_t at, std::size_t length) const
        {
            return at <= m_bytes.size() && length <= m_bytes.size() - at;
        }
        std::string_view slice(std::size_t at, std::size_t length) const
        {
            return has(at, length) ? m_bytes.substr(at, length) : std::string_view();
        }
        std::uint64_t uint(std::size_t at, std::size_t width) const
        {
            std::uint64_t value = 0;
            if (!has(at, width)) {
                return 0;
            }
            for (std::size_t i = 0; i < width; ++i) {
                const std::size_t index = m_little ? at + width - 1 - i : at + i;
                value = (value << 8) | std::uint8_t(m_bytes[index]);
            }
            return value;
        }
        std::uint16_t u16(std::size_t at) const { return std::uint16_t(uint(at, 2)); }
        std::uint32_t u32(std::size_t at) const { return std::uint32_t(uint(at, 4)); }
        std::uint64_t u64(std::size_t at) const { return uint(at, 8); }

    private:
        std::string_view m_bytes;
        bool m_little;
    };

    // ---- TIFF / EXIF ----

    struct IfdEntry
    {
        std::uint16_t type = 0;
        std::uint32_t count = 0;
        std::size_t valueAt = 0; // where the value's bytes start within the TIFF
    };

    /// The entry for `tag` in the directory at `ifdOffset`, its value located (inline or at its
    /// offset) and checked to lie within the TIFF. `present` says whether the directory has the
    /// tag at all, whether or not its value could be reached.
    std::optional<IfdEntry> findEntry(
        const Bytes& tiff, std::size_t ifdOffset, std::uint16_t tag, bool* present = nullptr)
    {
        if (!tiff.has(ifdOffset, 2)) {
            return std::nullopt;
        }
        const std::size_t count = tiff.u16(ifdOffset);
        // The entries must all be there before any is read.
        if (count > MAX_STEPS || !tiff.has(ifdOffset + 2, count * 12)) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = ifdOffset + 2 + i * 12;
            if (tiff.u16(at) != tag) {
                continue;
            }
            if (present) {
                *present = true;
            }
            IfdEntry entry;
            entry.type = tiff.u16(at + 2);
            entry.count = tiff.u32(at + 4);
            entry.valueAt = entry.count <= 4 ? at + 8 : tiff.u32(at + 8);
            if (!tiff.has(entry.valueAt, entry.count)) {
                return std::nullopt;
            }
            return entry;
        }
        return std::nullopt;
    }

    /// "YYYY:MM:DD HH:MM:SS", digits where digits belong; a real date and time, not the
    /// all-blank or all-zero "unknown".
    std::optional<QDateTime> parseExifDate(std::string_view text, const std::optional<int>& offsetSeconds)
    {
        constexpr std::string_view SHAPE = "dddd:dd:dd dd:dd:dd";
        if (text.size() < SHAPE.size()) {
            return std::nullopt;
        }
        std::array<int, 6> fields {};
        int field = 0;
        int value = 0;
        for (std::size_t i = 0; i < SHAPE.size(); ++i) {
            if (SHAPE[i] == 'd') {
                if (text[i] < '0' || text[i] > '9') {
                    return std::nullopt;
                }
                value = value * 10 + (text[i] - '0');
            } else {
                fields[std::size_t(field++)] = value;
                value = 0;
            }
        }
        fields[5] = value;
        const QDate date(fields[0], fields[1], fields[2]);
        const QTime time(fields[3], fields[4], fields[5]);
        if (!date.isValid() || !time.isValid() || fields[0] < 1900) {
            return std::nullopt;
        }
        if (offsetSeconds) {
            return QDateTime(date, time, QTimeZone(*offsetSeconds));
        }
        return QDateTime(date, time);
    }

    /// "+HH:MM" or "-HH:MM" as seconds ahead of UTC.
    std::optional<int> parseOffset(std::string_view text)
    {
        if (text.size() < 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') {
            return std::nullopt;
        }
        for (const std::size_t i : { 1, 2, 4, 5 }) {
            if (text[i] < '0' || text[i] > '9') {
                return std::nullopt;
            }
        }
        const int hours = (text[1] - '0') * 10 + (text[2] - '0');
        const int minutes = (text[4] - '0') * 10 + (text[5] - '0');
        if (hours > 14 || minutes > 59) {
            return std::nullopt;
        }
        const int seconds = hours * 3600 + minutes * 60;
        return text[0] == '-' ? -seconds : seconds;
    }

    // ---- JPEG ----

    std::optional<QDateTime> fromJpeg(std::string_view file)
    {
        const Bytes bytes(file);
        std::size_t at = 2; // after SOI
        for (int step = 0; step < MAX_STEPS && bytes.has(at, 4); ++step) {
            if (std::uint8_t(file[at]) != 0xFF) {
                return std::nullopt;
            }
            const std::uint8_t marker = std::uint8_t(file[at + 1]);
            if (marker == 0xFF) {
                ++at; // fill byte
                continue;
            }
            if (marker == 0xDA || marker == 0xD9) {
                return std::nullopt; // image data or the end: no EXIF before it
            }
            if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
                at += 2; // markers without a length
                continue;
            }
            const std::size_t length = bytes.u16(at + 2);
            if (length < 2) {
                return std::nullopt;
            }
            // A segment cut short by the end of the bytes is read as far as it goes: the date is
            // found if it lies within, and nothing is read past the end.
            const std::string_view segment = file.substr(at + 4, std::min(length - 2, file.size() - (at + 4)));
            if (marker == 0xE1 && segment.substr(0, 6) == std::string_view("Exif\0\0", 6)) {
                if (auto time = captureTimeFromTiff(segment.substr(6))) {
                    return time;
                }
            }
            at += 2 + length;
        }
        return std::nullopt;
    }

    // ---- ISO base media (HEIC, QuickTime, MP4) ----

    struct Box
    {
        std::string_view type;
        std::size_t start = 0; // of the whole box within the span
        std::size_t contentAt = 0;
        std::size_t end = 0; // within the span, or beyond it when the box runs past the bytes at hand
    };

    /// The box at `at` of `span`, whose enclosing space ends at `limit` (may be past the span's
    /// end when only the file's start is at hand).
    std::optional<Box> boxAt(const Bytes& span, std::string_view raw, std::size_t at, std::uint64_t limit)
    {
        if (!span.has(at, 8)) {
            return std::nullopt;
        }
        Box box;
        box.start = at;
        box.type = raw.substr(at + 4, 4);
        std::uint64_t size = span.u32(at);
        std::size_t header = 8;
        if (size == 1) {
            if (!span.has(at, 16)) {
                return std::nullopt;
            }
            size = span.u64(at + 8);
            header = 16;
        } else if (size == 0) {
            size = limit - at;
        }
        if (size < header || size > limit - at) {
            return std::nullopt;
        }
        box.contentAt = at + header;
        box.end = std::size_t(at + size);
        return box;
    }

    /// The first child of type `type` within [from, to) of `span`.
    std::optional<Box> findBox(
        const Bytes& span, std::string_view raw, std::size_t from, std::size_t to, std::string_view type)
    {
        std::size_t at = from;
        for (int step = 0; step < MAX_STEPS && at < to; ++step) {
            const auto box = boxAt(span, raw, at, to);
            if (!box) {
                return std::nullopt;
            }
            if (box->type == type) {
                return box;
            }
            at = box->end;
        }
        return std::nullopt;
    }

    std::optional<QDateTime> fromMovie(std::string_view file)
    {
        const Bytes bytes(file);
        const auto moov = findBox(bytes, file, 0, SIZE_MAX, "moov");
        if (!moov) {
            return std::nullopt;
        }
        const std::size_t moovEnd = std::min(moov->end, file.size());
        const auto mvhd = findBox(bytes, file, moov->contentAt, moovEnd, "mvhd");
        if (!mvhd) {
            return std::nullopt;
        }
        const std::size_t payload = mvhd->contentAt;
        if (!bytes.has(payload, 1) || mvhd->end > file.size()) {
            return std::nullopt;
        }
        const int version = std::uint8_t(file[payload]);
        std::uint64_t created = 0;
        if (version == 0 && payload + 8 <= mvhd->end) {
            created = bytes.u32(payload + 4);
        } else if (version == 1 && payload + 12 <= mvhd->end) {
            created = bytes.u64(payload + 4);
        } else {
            return std::nullopt;
        }
        // Zero is "not set"; times past the year 9999 are damage, not dates.
        constexpr std::uint64_t LATEST = 253'402'300'799ULL + MOVIE_EPOCH_OFFSET;
        if (created == 0 || created > LATEST) {
            return std::nullopt;
        }
        return QDateTime::fromSecsSinceEpoch(std::int64_t(created) - MOVIE_EPOCH_OFFSET, Qt::UTC);
    }

    /// Reads a big-endian number of `width` bytes (0, 4 or 8) at `at`, moving `at` past it.
    std::optional<std::uint64_t> takeSized(const Bytes& bytes, std::size_t& at, std::size_t width, std::size_t end)
    {
        if (width != 0 && width != 4 && width != 8) {
            return std::nullopt;
        }
        if (at + width > end || !bytes.has(at, width)) {
            return std::nullopt;
        }
        const std::uint64_t value = width == 0 ? 0 : bytes.uint(at, width);
        at += width;
        return value;
    }

    /// The item id of the "Exif" item listed in "iinf".
    std::optional<std::uint32_t> exifItemId(const Bytes& bytes, std::string_view file, const Box& iinf)
    {
        std::size_t at = iinf.contentAt;
        if (!bytes.has(at, 4)) {
            return std::nullopt;
        }
        const int version = std::uint8_t(file[at]);
        at += 4 + (version == 0 ? 2 : 4); // version and flags, entry count
        for (int step = 0; step < MAX_STEPS && at < iinf.end; ++step) {
            const auto infe = boxAt(bytes, file, at, iinf.end);
            if (!infe || infe->type != "infe") {
                return std::nullopt;
            }
            std::size_t field = infe->contentAt;
            if (!bytes.has(field, 4)) {
                return std::nullopt;
            }
            const int infeVersion = std::uint8_t(file[field]);
            field += 4;
            if (infeVersion >= 2) {
                const std::size_t idWidth = infeVersion == 2 ? 2 : 4;
                const std::uint32_t id = std::uint32_t(bytes.uint(field, idWidth));
                const std::size_t typeAt = field + idWidth + 2; // id, protection index
                if (typeAt + 4 <= infe->end && bytes.slice(typeAt, 4) == "Exif") {
                    return id;
                }
            }
            at = infe->end;
        }
        return std::nullopt;
    }

    /// Where item `id`'s data lies in the file, from "iloc": offset and length of its first
    /// extent (construction method 0, file offsets).
    std::optional<std::pair<std::uint64_t, std::uint64_t>> itemLocation(
        const Bytes& bytes, std::string_view file, const Box& iloc, std::uint32_t id)
    {
        std::size_t at = iloc.contentAt;
        if (!bytes.has(at, 6)) {
            return std::nullopt;
        }
        const int version = std::uint8_t(file[at]);
        if (version > 2) {
            return std::nullopt;
        }
        at += 4;
        const std::uint8_t sizes = std::uint8_t(file[at]); // has(at, 6) above covers both
        const std::uint8_t sizes2 = std::uint8_t(file[at + 1]);
        const std::size_t offsetSize = sizes >> 4;
        const std::size_t lengthSize = sizes & 0xF;
        const std::size_t baseOffsetSize = sizes2 >> 4;
        const std::size_t indexSize = version == 0 ? 0 : (sizes2 & 0xF);
        at += 2;
        std::uint64_t items = 0;
        if (version < 2) {
            if (at + 2 > iloc.end || !bytes.has(at, 2)) {
                return std::nullopt;
            }
            items = bytes.u16(at);
            at += 2;
        } else {
            const auto wide = takeSized(bytes, at, 4, iloc.end);
            if (!wide) {
                return std::nullopt;
            }
            items = *wide;
        }
        for (std::uint64_t item = 0; item < items && item < std::uint64_t(MAX_STEPS); ++item) {
            std::uint32_t itemId = 0;
            if (version < 2) {
                if (at + 2 > iloc.end || !bytes.has(at, 2)) {
                    return std::nullopt;
                }
                itemId = bytes.u16(at);
                at += 2;
            } else {
                const auto wide = takeSized(bytes, at, 4, iloc.end);
                if (!wide) {
                    return std::nullopt;
                }
                itemId = std::uint32_t(*wide);
            }
            std::uint16_t method = 0;
            if (version >= 1) {
                if (at + 2 > iloc.end || !bytes.has(at, 2)) {
                    return std::nullopt;
                }
                method = bytes.u16(at) & 0xF;
                at += 2;
            }
            at += 2; // data reference index
            const auto base = takeSized(bytes, at, baseOffsetSize, iloc.end);
            if (!base || at + 2 > iloc.end || !bytes.has(at, 2)) {
                return std::nullopt;
            }
            const std::uint16_t extents = bytes.u16(at);
            at += 2;
            std::optional<std::pair<std::uint64_t, std::uint64_t>> first;
            for (std::uint16_t extent = 0; extent < extents && extent < MAX_STEPS; ++extent) {
                if (indexSize != 0 && !takeSized(bytes, at, indexSize, iloc.end)) {
                    return std::nullopt;
                }
                const auto offset = takeSized(bytes, at, offsetSize, iloc.end);
                const auto length = takeSized(bytes, at, lengthSize, iloc.end);
                if (!offset || !length) {
                    return std::nullopt;
                }
                if (!first) {
                    first = { *base + *offset, *length };
                }
            }
            if (itemId == id) {
                if (method != 0 || !first) {
                    return std::nullopt;
                }
                return first;
            }
        }
        return std::nullopt;
    }

    std::optional<QDateTime> fromHeif(std::string_view file)
    {
        const Bytes bytes(file);
        const auto meta = findBox(bytes, file, 0, SIZE_MAX, "meta");
        if (!meta || meta->end > file.size()) {
            return std::nullopt;
        }
        const std::size_t children = meta->contentAt + 4; // a full box: version and flags first
        const auto iinf = findBox(bytes, file, children, meta->end, "iinf");
        const auto iloc = findBox(bytes, file, children, meta->end, "iloc");
        if (!iinf || !iloc) {
            return std::nullopt;
        }
        const auto id = exifItemId(bytes, file, *iinf);
        if (!id) {
            return std::nullopt;
        }
        const auto location = itemLocation(bytes, file, *iloc, *id);
        if (!location || location->first >= file.size()) {
            return std::nullopt;
        }
        const std::string_view item = file.substr(std::size_t(location->first),
            std::size_t(std::min<std::uint64_t>(location->second, file.size() - location->first)));
        // The item starts with the offset of the TIFF header past its own four bytes (the space
        // taken by "Exif\0\0").
        const Bytes itemBytes(item);
        if (!itemBytes.has(0, 4)) {
            return std::nullopt;
        }
        const std::uint32_t tiffOffset = itemBytes.u32(0);
        if (!itemBytes.has(4, tiffOffset)) {
            return std::nullopt;
        }
        return captureTimeFromTiff(item.substr(4 + tiffOffset));
    }

} // namespace

std::optional<QDateTime> captureTimeFromTiff(std::string_view tiff)
{
    if (tiff.size() < 8) {
        return std::nullopt;
    }
    bool little = false;
    if (tiff.substr(0, 4) == std::string_view("II*\0", 4)) {
        little = true;
    } else if (tiff.substr(0, 4) != std::string_view("MM\0*", 4)) {
        return std::nullopt;
    }
    const Bytes bytes(tiff, little);
    const auto exifPointer = findEntry(bytes, bytes.u32(4), TAG_EXIF_IFD);
    if (!exifPointer || exifPointer->count != 1 || !bytes.has(exifPointer->valueAt, 4)) {
        return std::nullopt;
    }
    const std::size_t exifIfd = bytes.u32(exifPointer->valueAt);
    const auto original = findEntry(bytes, exifIfd, TAG_DATE_TIME_ORIGINAL);
    if (!original || original->type != TYPE_ASCII) {
        return std::nullopt;
    }
    std::optional<int> offset;
    bool offsetListed = false;
    if (const auto offsetEntry = findEntry(bytes, exifIfd, TAG_OFFSET_TIME_ORIGINAL, &offsetListed);
        offsetEntry && offsetEntry->type == TYPE_ASCII) {
        offset = parseOffset(bytes.slice(offsetEntry->valueAt, offsetEntry->count));
    } else if (offsetListed) {
        // The offset is listed but cut off: read without it, the time would be hours off.
        return std::nullopt;
    }
    return parseExifDate(bytes.slice(original->valueAt, original->count), offset);
}

std::optional<Reading> read(std::string_view bytes)
{
    const auto found = [](std::optional<QDateTime> time, Origin origin) -> std::optional<Reading> {
        if (!time) {
            return std::nullopt;
        }
        return Reading { *time, origin };
    };
    if (bytes.size() >= 3 && std::uint8_t(bytes[0]) == 0xFF && std::uint8_t(bytes[1]) == 0xD8
        && std::uint8_t(bytes[2]) == 0xFF) {
        return found(fromJpeg(bytes), Origin::Exif);
    }
    if (bytes.size() >= 12 && bytes.substr(4, 4) == "ftyp") {
        // The brand says whether the file is an image (HEIF: "heic", "mif1", ...) or a movie.
        const std::string_view brand = bytes.substr(8, 4);
        for (const std::string_view image : { "heic", "heix", "hevc", "heim", "heis", "mif1", "msf1", "avif" }) {
            if (brand == image) {
                return found(fromHeif(bytes), Origin::Exif);
            }
        }
        return found(fromMovie(bytes), Origin::MovieHeader);
    }
    if (bytes.size() >= 8
        && (bytes.substr(4, 4) == "moov" || bytes.substr(4, 4) == "wide" || bytes.substr(4, 4) == "mdat"
            || bytes.substr(4, 4) == "free")) {
        return found(fromMovie(bytes), Origin::MovieHeader); // old QuickTime files start without "ftyp"
    }
    return std::nullopt;
}

std::optional<QDateTime> captureTime(std::string_view bytes)
{
    if (auto reading = read(bytes)) {
        return reading->time;
    }
    return std::nullopt;
}

} // namespace ICCaptureTime
