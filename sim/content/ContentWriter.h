#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

/// A birth time the host file system cannot hold (Linux has no settable birth time): the
/// simulator keeps it in its own metadata and AFC reports it as `st_birthtime`.
struct ContentBirthTime
{
    std::string devicePath;
    std::int64_t seconds = 0;
};

/// Writes generated files below the folder that stands for the device's "/". Paths given to it
/// are device paths ("/private/var/mobile/Media/DCIM/100APPLE/IMG_0001.JPG"). Files can be
/// written sparse: the given bytes at their offsets, the rest a hole up to the logical size.
class ContentWriter
{
public:
    ContentWriter(std::filesystem::path deviceRoot, bool sparse);

    std::filesystem::path hostPath(std::string_view devicePath) const;

    bool makeDirectory(std::string_view devicePath);
    /// Writes `bytes` as the whole file.
    bool writeFile(std::string_view devicePath, std::string_view bytes);
    /// Writes `head` at 0 and `tail` so that it ends at `logicalSize`; zeros (or a hole) between.
    bool writeSized(
        std::string_view devicePath, std::string_view head, std::int64_t logicalSize, std::string_view tail = {});
    /// Sets the modification time and records the birth time.
    bool setTimes(std::string_view devicePath, std::int64_t modified, std::int64_t birth);

    const std::vector<ContentBirthTime>& birthTimes() const { return m_birthTimes; }
    /// Bytes of logical file size written so far.
    std::int64_t bytesWritten() const { return m_bytesWritten; }
    const std::string& error() const { return m_error; }

private:
    bool fail(const std::string& text);

    std::filesystem::path m_root;
    bool m_sparse = true;
    std::vector<ContentBirthTime> m_birthTimes;
    std::int64_t m_bytesWritten = 0;
    std::string m_error;
};
