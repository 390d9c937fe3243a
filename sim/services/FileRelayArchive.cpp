#include "sim/services/FileRelayArchive.h"

#include <QByteArray>

#include <array>
#include <cstdio>
#include <fstream>
#include <set>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

FileRelayArchive::FileRelayArchive(fs::path fsRoot)
    : m_root(std::move(fsRoot))
{
}

void FileRelayArchive::addEntry(
    const std::string& name, std::uint32_t mode, std::int64_t mtime, const std::string& data)
{
    if (m_overflow || m_cpio.size() + data.size() + name.size() + 512 > MAX_ARCHIVE) {
        m_overflow = true;
        return;
    }
    char header[111];
    std::snprintf(header, sizeof header, "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", m_inode++, mode,
        0u, 0u, 1u, std::uint32_t(mtime), std::uint32_t(data.size()), 0u, 0u, 0u, 0u, std::uint32_t(name.size() + 1),
        0u);
    m_cpio.append(header, 110);
    m_cpio += name;
    m_cpio += '\0';
    m_cpio.resize((m_cpio.size() + 3) & ~std::size_t(3), '\0');
    m_cpio += data;
    m_cpio.resize((m_cpio.size() + 3) & ~std::size_t(3), '\0');
}

void FileRelayArchive::addTree(const std::string& devicePath)
{
    const fs::path host = m_root / fs::path(devicePath).relative_path();
    std::vector<fs::path> queue { host };
    while (!queue.empty() && !m_overflow) {
        const fs::path path = queue.back();
        queue.pop_back();
        struct stat info
        {
        };
        if (::lstat(path.c_str(), &info) != 0) {
            continue;
        }
        const std::string name = "./" + fs::path(path.lexically_relative(m_root)).generic_string();
        if (S_ISDIR(info.st_mode)) {
            addEntry(name, info.st_mode, info.st_mtime, {});
            std::error_code ec;
            std::set<fs::path> children;
            for (const auto& entry : fs::directory_iterator(path, ec)) {
                children.insert(entry.path());
            }
            queue.insert(queue.end(), children.rbegin(), children.rend());
        } else if (S_ISLNK(info.st_mode)) {
            std::string target(std::size_t(info.st_size) + 1, '\0');
            const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
            target.resize(length > 0 ? std::size_t(length) : 0);
            addEntry(name, info.st_mode, info.st_mtime, target);
        } else if (S_ISREG(info.st_mode)) {
            if (std::uint64_t(info.st_size) > MAX_ARCHIVE) {
                m_overflow = true;
                return;
            }
            std::ifstream in(path, std::ios::binary);
            std::string data(std::size_t(info.st_size), '\0');
            in.read(data.data(), std::streamsize(data.size()));
            data.resize(std::size_t(in.gcount()));
            addEntry(name, info.st_mode, info.st_mtime, data);
            ++m_files;
        }
    }
}

std::optional<std::string> FileRelayArchive::finishGzip()
{
    addEntry("TRAILER!!!", 0, 0, {});
    if (m_overflow) {
        return std::nullopt;
    }
    return gzip(m_cpio);
}

std::uint32_t FileRelayArchive::crc32(const std::string& data)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t {};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char byte : data) {
        crc = table[(crc ^ std::uint8_t(byte)) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

std::optional<std::string> FileRelayArchive::gzip(const std::string& data)
{
    // qCompress gives a 4-byte length, a zlib header (2 bytes), raw deflate data and an Adler-32
    // trailer (4 bytes); gzip wants the same deflate data between its own header and trailer.
    const QByteArray zlib = qCompress(reinterpret_cast<const uchar*>(data.data()), qsizetype(data.size()), 9);
    if (zlib.size() < 4 + 2 + 4) {
        return std::nullopt;
    }
    std::string out("\x1F\x8B\x08\x00\x00\x00\x00\x00\x02\x03", 10); // deflate, no name, best, Unix
    out.append(zlib.constData() + 6, std::size_t(zlib.size() - 6 - 4));
    const std::uint32_t crc = crc32(data);
    const auto size = std::uint32_t(data.size());
    for (int shift = 0; shift < 32; shift += 8) {
        out += char((crc >> shift) & 0xFF);
    }
    for (int shift = 0; shift < 32; shift += 8) {
        out += char((size >> shift) & 0xFF);
    }
    return out;
}
