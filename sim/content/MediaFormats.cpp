#include "sim/content/MediaFormats.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace MediaFormats {

namespace {

    void putBe16(std::string& out, std::uint32_t value)
    {
        out += char((value >> 8) & 0xFF);
        out += char(value & 0xFF);
    }

    void putBe32(std::string& out, std::uint32_t value)
    {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out += char((value >> shift) & 0xFF);
        }
    }

    void putBe64(std::string& out, std::uint64_t value)
    {
        putBe32(out, std::uint32_t(value >> 32));
        putBe32(out, std::uint32_t(value));
    }

    std::uint32_t readBe32(std::string_view bytes, std::size_t offset)
    {
        return (std::uint32_t(std::uint8_t(bytes[offset])) << 24)
            | (std::uint32_t(std::uint8_t(bytes[offset + 1])) << 16)
            | (std::uint32_t(std::uint8_t(bytes[offset + 2])) << 8) | std::uint32_t(std::uint8_t(bytes[offset + 3]));
    }

    std::uint64_t readBe64(std::string_view bytes, std::size_t offset)
    {
        return (std::uint64_t(readBe32(bytes, offset)) << 32) | readBe32(bytes, offset + 4);
    }

    std::string box(std::string_view type, std::string_view payload)
    {
        std::string out;
        putBe32(out, std::uint32_t(8 + payload.size()));
        out += type;
        out += payload;
        return out;
    }

    std::string fullBoxHeader(int version, std::uint32_t flags)
    {
        std::string out;
        putBe32(out, (std::uint32_t(version) << 24) | (flags & 0xFFFFFF));
        return out;
    }

    void putMatrix(std::string& out)
    {
        const std::uint32_t matrix[9] = { 0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000 };
        for (std::uint32_t value : matrix) {
            putBe32(out, value);
        }
    }

    std::string movieHeader(const MovieLayout& movie)
    {
        const std::uint64_t qtTime = std::uint64_t(movie.creationTime + QUICKTIME_EPOCH_OFFSET);
        std::string p = fullBoxHeader(movie.headerVersion, 0);
        if (movie.headerVersion == 1) {
            putBe64(p, qtTime);
            putBe64(p, qtTime);
            putBe32(p, movie.timescale);
            putBe64(p, movie.duration);
        } else {
            putBe32(p, std::uint32_t(qtTime));
            putBe32(p, std::uint32_t(qtTime));
            putBe32(p, movie.timescale);
            putBe32(p, std::uint32_t(movie.duration));
        }
        putBe32(p, 0x00010000); // rate 1.0
        putBe16(p, 0x0100); // volume 1.0
        p.append(10, '\0');
        putMatrix(p);
        p.append(24, '\0');
        putBe32(p, 2); // next track id
        return box("mvhd", p);
    }

    std::string track(const MovieLayout& movie)
    {
        const std::uint32_t qtTime = std::uint32_t(movie.creationTime + QUICKTIME_EPOCH_OFFSET);
        // Track durations are in the movie's timescale; kept 32-bit like the v0 boxes of a camera.
        const std::uint32_t duration = std::uint32_t(std::min<std::uint64_t>(movie.duration, 0xFFFFFFFEu));

        std::string tkhd = fullBoxHeader(0, 3); // enabled, in movie
        putBe32(tkhd, qtTime);
        putBe32(tkhd, qtTime);
        putBe32(tkhd, 1); // track id
        putBe32(tkhd, 0);
        putBe32(tkhd, duration);
        tkhd.append(8, '\0');
        putBe16(tkhd, 0); // layer
        putBe16(tkhd, 0); // alternate group
        putBe16(tkhd, movie.audioOnly ? 0x0100 : 0);
        putBe16(tkhd, 0);
        putMatrix(tkhd);
        putBe32(tkhd, movie.audioOnly ? 0 : std::uint32_t(movie.width) << 16);
        putBe32(tkhd, movie.audioOnly ? 0 : std::uint32_t(movie.height) << 16);

        std::string mdhd = fullBoxHeader(0, 0);
        putBe32(mdhd, qtTime);
        putBe32(mdhd, qtTime);
        putBe32(mdhd, movie.timescale);
        putBe32(mdhd, duration);
        putBe16(mdhd, 0x55C4); // language "und"
        putBe16(mdhd, 0);

        std::string hdlr = fullBoxHeader(0, 0);
        hdlr += std::string_view("mhlr", 4);
        hdlr += movie.audioOnly ? "soun" : "vide";
        hdlr.append(12, '\0');
        hdlr += movie.audioOnly ? "Core Media Audio" : "Core Media Video";
        hdlr += '\0';

        std::string mediaHeader;
        if (movie.audioOnly) {
            std::string smhd = fullBoxHeader(0, 0);
            smhd.append(4, '\0');
            mediaHeader = box("smhd", smhd);
        } else {
            std::string vmhd = fullBoxHeader(0, 1);
            vmhd.append(8, '\0');
            mediaHeader = box("vmhd", vmhd);
        }
        std::string url = fullBoxHeader(0, 1); // media is in this file
        std::string dref = fullBoxHeader(0, 0);
        putBe32(dref, 1);
        dref += box("url ", url);
        const std::string dinf = box("dinf", box("dref", dref));

        auto emptyTable = [](std::string_view type) {
            std::string payload = fullBoxHeader(0, 0);
            putBe32(payload, 0);
            return box(type, payload);
        };
        std::string stsz = fullBoxHeader(0, 0);
        putBe32(stsz, 0);
        putBe32(stsz, 0);
        const std::string stbl = box("stbl",
            emptyTable("stsd") + emptyTable("stts") + emptyTable("stsc") + box("stsz", stsz) + emptyTable("stco"));

        const std::string minf = box("minf", mediaHeader + dinf + stbl);
        const std::string mdia = box("mdia", box("mdhd", mdhd) + box("hdlr", hdlr) + minf);
        return box("trak", box("tkhd", tkhd) + mdia);
    }

    std::string creationDateMetadata(std::string_view text)
    {
        std::string hdlr = fullBoxHeader(0, 0);
        hdlr.append(4, '\0');
        hdlr += "mdta";
        hdlr.append(12, '\0');
        hdlr += '\0';

        const std::string_view key = "com.apple.quicktime.creationdate";
        std::string keys = fullBoxHeader(0, 0);
        putBe32(keys, 1);
        putBe32(keys, std::uint32_t(8 + key.size()));
        keys += "mdta";
        keys += key;

        std::string data;
        putBe32(data, 1); // UTF-8
        putBe32(data, 0); // default locale
        data += text;
        std::string item;
        putBe32(item, std::uint32_t(8 + 8 + data.size()));
        putBe32(item, 1); // key index 1
        item += box("data", data);
        return box("meta", box("hdlr", hdlr) + box("keys", keys) + box("ilst", item));
    }

    std::optional<std::pair<std::size_t, std::size_t>> findBox(
        std::string_view bytes, std::size_t begin, std::size_t end, std::string_view wanted)
    {
        std::size_t offset = begin;
        while (offset + 8 <= end) {
            std::uint64_t size = readBe32(bytes, offset);
            std::size_t headerSize = 8;
            if (size == 1) {
                if (offset + 16 > end) {
                    return std::nullopt;
                }
                size = readBe64(bytes, offset + 8);
                headerSize = 16;
            } else if (size == 0) {
                size = end - offset;
            }
            if (size < headerSize || size > end - offset) {
                return std::nullopt;
            }
            if (bytes.substr(offset + 4, 4) == wanted) {
                return std::make_pair(offset + headerSize, offset + std::size_t(size));
            }
            offset += std::size_t(size);
        }
        return std::nullopt;
    }

} // namespace

MovieBytes movie(const MovieLayout& movie)
{
    MovieBytes result;
    std::string ftyp;
    ftyp += movie.majorBrand;
    putBe32(ftyp, movie.majorBrand == "qt  " ? 0x20050300 : 0);
    ftyp += movie.majorBrand;
    if (movie.majorBrand != "qt  ") {
        ftyp += "isom";
    }
    result.head = box("ftyp", ftyp);
    if (movie.majorBrand == "qt  ") {
        result.head += box("wide", {});
    }
    const std::uint64_t mdatSize = 8 + std::uint64_t(movie.mediaBytes);
    if (mdatSize > 0xFFFFFFFFu) {
        putBe32(result.head, 1);
        result.head += "mdat";
        putBe64(result.head, mdatSize + 8);
    } else {
        putBe32(result.head, std::uint32_t(mdatSize));
        result.head += "mdat";
    }

    std::string moov = movieHeader(movie) + track(movie);
    if (!movie.creationDateText.empty()) {
        moov += creationDateMetadata(movie.creationDateText);
    }
    result.tail = box("moov", moov);
    result.totalSize = std::int64_t(result.head.size()) + movie.mediaBytes + std::int64_t(result.tail.size());
    return result;
}

std::optional<double> movieDurationSeconds(std::string_view file)
{
    const auto moov = findBox(file, 0, file.size(), "moov");
    if (!moov) {
        return std::nullopt;
    }
    const auto mvhd = findBox(file, moov->first, moov->second, "mvhd");
    if (!mvhd || mvhd->second - mvhd->first < 4) {
        return std::nullopt;
    }
    const std::size_t p = mvhd->first;
    const int version = std::uint8_t(file[p]);
    std::uint32_t timescale = 0;
    std::uint64_t duration = 0;
    if (version == 1) {
        if (mvhd->second - p < 32) {
            return std::nullopt;
        }
        timescale = readBe32(file, p + 20);
        duration = readBe64(file, p + 24);
        if (duration == ~std::uint64_t(0)) {
            return std::nullopt;
        }
    } else {
        if (mvhd->second - p < 20) {
            return std::nullopt;
        }
        timescale = readBe32(file, p + 12);
        duration = readBe32(file, p + 16);
        if (duration == 0xFFFFFFFFu) {
            return std::nullopt;
        }
    }
    if (timescale == 0) {
        return std::nullopt;
    }
    return double(duration) / double(timescale);
}

std::string jpegWithExif(std::string_view jpeg, std::string_view dateTimeOriginal, std::string_view model)
{
    if (jpeg.size() < 4 || std::uint8_t(jpeg[0]) != 0xFF || std::uint8_t(jpeg[1]) != 0xD8) {
        return std::string(jpeg);
    }
    // TIFF structure, offsets from the "MM" byte.
    const std::string make = "Apple";
    std::string date(dateTimeOriginal.substr(0, 19));
    date.resize(19, ' ');
    std::string modelText(model);

    const std::uint32_t ifd0Offset = 8;
    const std::uint32_t ifd0Entries = 3;
    const std::uint32_t ifd0Size = 2 + ifd0Entries * 12 + 4;
    const std::uint32_t makeOffset = ifd0Offset + ifd0Size;
    const std::uint32_t modelOffset = makeOffset + std::uint32_t(make.size() + 1);
    std::uint32_t exifIfdOffset = modelOffset + std::uint32_t(modelText.size() + 1);
    exifIfdOffset += exifIfdOffset % 2;
    const std::uint32_t exifEntries = 2;
    const std::uint32_t dateOffset = exifIfdOffset + 2 + exifEntries * 12 + 4;

    std::string tiff = "MM";
    putBe16(tiff, 42);
    putBe32(tiff, ifd0Offset);
    auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
        putBe16(tiff, tag);
        putBe16(tiff, type);
        putBe32(tiff, count);
        putBe32(tiff, value);
    };
    putBe16(tiff, std::uint16_t(ifd0Entries));
    entry(0x010F, 2, std::uint32_t(make.size() + 1), makeOffset);
    entry(0x0110, 2, std::uint32_t(modelText.size() + 1), modelOffset);
    entry(0x8769, 4, 1, exifIfdOffset);
    putBe32(tiff, 0);
    tiff += make;
    tiff += '\0';
    tiff += modelText;
    tiff += '\0';
    tiff.resize(exifIfdOffset, '\0');
    putBe16(tiff, std::uint16_t(exifEntries));
    entry(0x9003, 2, 20, dateOffset);
    entry(0x9004, 2, 20, dateOffset);
    putBe32(tiff, 0);
    tiff += date;
    tiff += '\0';

    std::string segment = "Exif";
    segment.append(2, '\0');
    segment += tiff;
    std::string app1 = "\xFF\xE1";
    putBe16(app1, std::uint32_t(segment.size() + 2));
    app1 += segment;

    // After SOI and a JFIF APP0 when there is one.
    std::size_t insertAt = 2;
    if (jpeg.size() > 6 && std::uint8_t(jpeg[2]) == 0xFF && std::uint8_t(jpeg[3]) == 0xE0) {
        insertAt = 4 + ((std::size_t(std::uint8_t(jpeg[4])) << 8) | std::uint8_t(jpeg[5]));
        if (insertAt > jpeg.size()) {
            insertAt = 2;
        }
    }
    std::string result(jpeg.substr(0, insertAt));
    result += app1;
    result += jpeg.substr(insertAt);
    return result;
}

std::string mp3Head(std::string_view title, std::string_view artist, std::string_view album)
{
    std::string frames;
    auto frame = [&](std::string_view id, std::string_view text) {
        frames += id;
        putBe32(frames, std::uint32_t(text.size() + 1));
        putBe16(frames, 0);
        frames += '\0'; // ISO-8859-1
        frames += text;
    };
    frame("TIT2", title);
    frame("TPE1", artist);
    frame("TALB", album);
    std::string tag = "ID3";
    tag += '\x03';
    tag += '\0';
    tag += '\0';
    const std::uint32_t size = std::uint32_t(frames.size());
    tag += char((size >> 21) & 0x7F);
    tag += char((size >> 14) & 0x7F);
    tag += char((size >> 7) & 0x7F);
    tag += char(size & 0x7F);
    tag += frames;
    // MPEG-1 layer III, 128 kbit/s, 44.1 kHz, no padding: a 417-byte frame.
    std::string frameBytes = "\xFF\xFB\x90\x64";
    frameBytes.resize(417, '\0');
    return tag + frameBytes;
}

std::string tiffRgb(int width, int height, std::string_view rgb)
{
    const std::uint32_t pixelBytes = std::uint32_t(width) * std::uint32_t(height) * 3;
    const std::uint16_t entries = 10;
    const std::uint32_t ifdOffset = 8;
    const std::uint32_t bitsOffset = ifdOffset + 2 + entries * 12 + 4;
    const std::uint32_t dataOffset = bitsOffset + 6;

    std::string out = "MM";
    putBe16(out, 42);
    putBe32(out, ifdOffset);
    putBe16(out, entries);
    auto shortEntry = [&](std::uint16_t tag, std::uint16_t value) {
        putBe16(out, tag);
        putBe16(out, 3);
        putBe32(out, 1);
        putBe16(out, value);
        putBe16(out, 0);
    };
    auto longEntry = [&](std::uint16_t tag, std::uint32_t value) {
        putBe16(out, tag);
        putBe16(out, 4);
        putBe32(out, 1);
        putBe32(out, value);
    };
    longEntry(256, std::uint32_t(width));
    longEntry(257, std::uint32_t(height));
    putBe16(out, 258);
    putBe16(out, 3);
    putBe32(out, 3);
    putBe32(out, bitsOffset);
    shortEntry(259, 1); // no compression
    shortEntry(262, 2); // RGB
    longEntry(273, dataOffset);
    shortEntry(277, 3);
    longEntry(278, std::uint32_t(height));
    longEntry(279, pixelBytes);
    shortEntry(284, 1);
    putBe32(out, 0);
    putBe16(out, 8);
    putBe16(out, 8);
    putBe16(out, 8);
    out += rgb.substr(0, pixelBytes);
    out.resize(dataOffset + pixelBytes, '\0');
    return out;
}

std::string exifDate(std::int64_t seconds, int offsetSeconds)
{
    const std::time_t shifted = std::time_t(seconds + offsetSeconds);
    std::tm tm {};
    gmtime_r(&shifted, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
        tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::string isoDateWithOffset(std::int64_t seconds, int offsetSeconds)
{
    const std::time_t shifted = std::time_t(seconds + offsetSeconds);
    std::tm tm {};
    gmtime_r(&shifted, &tm);
    const int offsetMinutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
    char text[112];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
        tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, offsetSeconds < 0 ? '-' : '+', offsetMinutes / 60,
        offsetMinutes % 60);
    return text;
}

} // namespace MediaFormats
