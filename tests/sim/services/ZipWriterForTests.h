#pragma once

#include "sim/services/FileRelayArchive.h"

#include <QByteArray>

#include <string>
#include <vector>

/// Raw deflate data from Qt's zlib (the zlib wrapper stripped), independent of the reader's code.
inline std::string rawDeflate(const std::string& data, int level)
{
    const QByteArray zlib = qCompress(reinterpret_cast<const uchar*>(data.data()), qsizetype(data.size()), level);
    // qCompress output: a 4-byte length, the 2-byte zlib header, the deflate data, a 4-byte checksum.
    constexpr qsizetype prefix = 6;
    constexpr qsizetype suffix = 4;
    if (zlib.size() < prefix + suffix) {
        return {};
    }
    return zlib.mid(prefix, zlib.size() - prefix - suffix).toStdString();
}

struct ZipItem
{
    std::string name;
    std::string data;
    bool deflate = false;
};

/// A minimal but complete zip archive (local headers, central directory, end record).
inline std::string zipArchive(const std::vector<ZipItem>& items)
{
    auto put = [](std::string& out, std::uint32_t value, int width) {
        for (int i = 0; i < width; ++i) {
            out += char((value >> (8 * i)) & 0xFF);
        }
    };
    std::string out;
    std::string directory;
    for (const ZipItem& item : items) {
        const std::string body = item.deflate ? rawDeflate(item.data, 6) : item.data;
        const std::uint32_t crc = FileRelayArchive::crc32(item.data);
        const auto offset = std::uint32_t(out.size());
        put(out, 0x04034B50, 4);
        put(out, 20, 2);
        put(out, 0, 2);
        put(out, item.deflate ? 8 : 0, 2);
        put(out, 0, 4); // time, date
        put(out, crc, 4);
        put(out, std::uint32_t(body.size()), 4);
        put(out, std::uint32_t(item.data.size()), 4);
        put(out, std::uint32_t(item.name.size()), 2);
        put(out, 0, 2);
        out += item.name + body;
        put(directory, 0x02014B50, 4);
        put(directory, 0x0314, 2); // made on Unix
        put(directory, 20, 2);
        put(directory, 0, 2);
        put(directory, item.deflate ? 8 : 0, 2);
        put(directory, 0, 4);
        put(directory, crc, 4);
        put(directory, std::uint32_t(body.size()), 4);
        put(directory, std::uint32_t(item.data.size()), 4);
        put(directory, std::uint32_t(item.name.size()), 2);
        put(directory, 0, 2);
        put(directory, 0, 2);
        put(directory, 0, 2);
        put(directory, 0, 2);
        put(directory, (item.name.ends_with("/") ? 040755u : 0100644u) << 16, 4);
        put(directory, offset, 4);
        directory += item.name;
    }
    const auto directoryOffset = std::uint32_t(out.size());
    out += directory;
    put(out, 0x06054B50, 4);
    put(out, 0, 4);
    put(out, std::uint32_t(items.size()), 2);
    put(out, std::uint32_t(items.size()), 2);
    put(out, std::uint32_t(directory.size()), 4);
    put(out, directoryOffset, 4);
    put(out, 0, 2);
    return out;
}
