#include "tests/support/MediaSamples.h"

namespace MediaSamples {

namespace {

    void put(std::string& out, std::uint64_t value, int bytes, bool little = false)
    {
        for (int i = 0; i < bytes; ++i) {
            const int shift = little ? 8 * i : 8 * (bytes - 1 - i);
            out += char((value >> shift) & 0xFF);
        }
    }

    std::string box(const std::string& type, const std::string& payload)
    {
        std::string out;
        put(out, 8 + payload.size(), 4);
        return out + type + payload;
    }

    std::string fullBox(const std::string& type, int version, const std::string& payload)
    {
        return box(type, std::string(1, char(version)) + std::string(3, '\0') + payload);
    }

    std::string jpegSegment(int marker, const std::string& payload)
    {
        std::string out { char(0xFF), char(marker) };
        put(out, payload.size() + 2, 2);
        return out + payload;
    }

} // namespace

std::string tiff(bool little, const std::string& date, const std::optional<std::string>& offset)
{
    std::string out = little ? std::string("II*\0", 4) : std::string("MM\0*", 4);
    put(out, 8, 4, little); // IFD0 right after the header
    const std::uint32_t exifIfd = 8 + 2 + 12 + 4;
    put(out, 1, 2, little);
    put(out, 0x8769, 2, little);
    put(out, 4, 2, little); // LONG
    put(out, 1, 4, little);
    put(out, exifIfd, 4, little);
    put(out, 0, 4, little);
    const int entries = offset ? 2 : 1;
    const std::uint32_t data = exifIfd + 2 + 12 * entries + 4;
    put(out, entries, 2, little);
    put(out, 0x9003, 2, little);
    put(out, 2, 2, little); // ASCII
    put(out, date.size() + 1, 4, little);
    put(out, data, 4, little);
    if (offset) {
        put(out, 0x9011, 2, little);
        put(out, 2, 2, little);
        put(out, offset->size() + 1, 4, little);
        put(out, data + date.size() + 1, 4, little);
    }
    put(out, 0, 4, little);
    out += date + '\0';
    if (offset) {
        out += *offset + '\0';
    }
    return out;
}

std::string jpeg(const std::optional<std::string>& tiffBlock)
{
    std::string out { char(0xFF), char(0xD8) };
    out += jpegSegment(0xE0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
    if (tiffBlock) {
        out += jpegSegment(0xE1, std::string("Exif\0\0", 6) + *tiffBlock);
    }
    out += jpegSegment(0xDB, std::string(65, '\x10'));
    out += jpegSegment(0xDA, std::string(10, '\0'));
    out += std::string(200, '\x55') + std::string { char(0xFF), char(0xD9) };
    return out;
}

std::string heic(const std::string& tiffBlock, int ilocVersion, std::size_t imageBytes)
{
    const std::string image(imageBytes, '\x42');
    const std::string exifItem = [&] {
        std::string item;
        put(item, 6, 4);
        return item + std::string("Exif\0\0", 6) + tiffBlock;
    }();
    const auto infe = [](int id, const std::string& type) {
        std::string payload;
        put(payload, id, 2);
        put(payload, 0, 2);
        return fullBox("infe", 2, payload + type + std::string(1, '\0'));
    };
    const auto build = [&](std::uint32_t mdatContent) {
        std::string iinf;
        put(iinf, 2, 2);
        iinf += infe(1, "hvc1") + infe(2, "Exif");
        std::string iloc;
        iloc += char(0x44); // offset and length: 4 bytes each
        iloc += char(0x00); // no base offset, no index
        put(iloc, 2, 2);
        const std::uint32_t places[2][2] = { { mdatContent, std::uint32_t(image.size()) },
            { mdatContent + std::uint32_t(image.size()), std::uint32_t(exifItem.size()) } };
        for (int item = 0; item < 2; ++item) {
            put(iloc, item + 1, 2);
            if (ilocVersion == 1) {
                put(iloc, 0, 2); // construction method 0: file offsets
            }
            put(iloc, 0, 2); // data reference
            put(iloc, 1, 2); // one extent
            put(iloc, places[item][0], 4);
            put(iloc, places[item][1], 4);
        }
        const std::string hdlr = fullBox("hdlr", 0, std::string(4, '\0') + "pict" + std::string(13, '\0'));
        const std::string ftyp = box("ftyp", std::string("heic") + std::string(4, '\0') + "mif1heic");
        const std::string meta
            = fullBox("meta", 0, hdlr + fullBox("iinf", 0, iinf) + fullBox("iloc", ilocVersion, iloc));
        return ftyp + meta;
    };
    const std::string head = build(0);
    return build(std::uint32_t(head.size() + 8)) + box("mdat", image + exifItem);
}

std::string movie(int version, std::uint64_t created, const std::string& brand, std::size_t mediaBytes)
{
    std::string payload;
    put(payload, created, version == 1 ? 8 : 4);
    put(payload, created, version == 1 ? 8 : 4); // modification time
    put(payload, 600, 4);
    put(payload, 6000, version == 1 ? 8 : 4);
    payload += std::string(80, '\0');
    return box("ftyp", brand + std::string(4, '\0') + brand) + box("mdat", std::string(mediaBytes, '\x17'))
        + box("moov", fullBox("mvhd", version, payload) + box("trak", std::string(40, '\0')));
}

} // namespace MediaSamples
