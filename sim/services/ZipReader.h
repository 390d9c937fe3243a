#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// Reads the app packages (.ipa) a host uploads: a zip archive held in memory, entries stored or
/// deflated, no zip64. Hostile input gives an error, never a crash or unbounded output.
class ZipReader
{
public:
    struct Entry
    {
        std::string name;
        std::uint16_t method = 0; // 0 stored, 8 deflated
        std::uint32_t crc = 0;
        std::uint64_t compressedSize = 0;
        std::uint64_t size = 0;
        std::uint64_t localHeaderOffset = 0;
        std::uint32_t unixMode = 0; // from the external attributes; 0 when not made on Unix
        bool isDirectory() const { return !name.empty() && name.back() == '/'; }
    };

    explicit ZipReader(std::string_view archive);

    /// Reads the central directory. False with error() set when it is missing or damaged.
    bool open();
    const std::vector<Entry>& entries() const { return m_entries; }
    /// The entry's bytes, checked against its size and CRC; nothing when damaged or larger than
    /// `maxSize`.
    std::optional<std::string> read(const Entry& entry, std::uint64_t maxSize);
    const std::string& error() const { return m_error; }

    /// Raw deflate (RFC 1951) decoding; nothing on damaged input or output beyond `maxOutput`.
    static std::optional<std::string> inflate(std::string_view data, std::size_t maxOutput);

private:
    bool fail(std::string text);

    std::string_view m_archive;
    std::vector<Entry> m_entries;
    std::string m_error;
};
