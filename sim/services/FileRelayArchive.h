#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

/// A cpio archive in the portable "newc" format (magic 070701) of device files, gzip-compressed,
/// as file_relay sends it. Entry names are device paths without the leading slash, prefixed "./".
class FileRelayArchive
{
public:
    /// Archives larger than this are refused rather than held in memory.
    static constexpr std::size_t MAX_ARCHIVE = 256 * 1024 * 1024;

    explicit FileRelayArchive(std::filesystem::path fsRoot);

    /// Adds the file or folder at `devicePath` and everything below it; missing paths add nothing.
    /// Symbolic links are stored as links, never followed.
    void addTree(const std::string& devicePath);
    std::size_t fileCount() const { return m_files; }

    /// The trailer, then gzip. Nothing when the archive grew past MAX_ARCHIVE.
    std::optional<std::string> finishGzip();

    /// The gzip container around raw deflate data (exposed for tests).
    static std::optional<std::string> gzip(const std::string& data);
    static std::uint32_t crc32(const std::string& data);

private:
    void addEntry(const std::string& name, std::uint32_t mode, std::int64_t mtime, const std::string& data);

    std::filesystem::path m_root;
    std::string m_cpio;
    std::size_t m_files = 0;
    std::uint32_t m_inode = 1;
    bool m_overflow = false;
};
