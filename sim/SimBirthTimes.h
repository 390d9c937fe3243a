#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

/// Birth times the host file system cannot hold (Linux cannot set one), kept per device path
/// ("/private/var/mobile/Media/DCIM/100APPLE/IMG_0001.JPG") in a file of the device's state folder.
/// AFC reports them as `st_birthtime`; files without an entry report the host's own birth time.
/// Renames and removals through AFC move or drop the entries. Thread-safe.
class SimBirthTimes
{
public:
    explicit SimBirthTimes(std::filesystem::path file);

    void load();
    /// Writes the entries when they changed since the last save.
    void save();

    void set(const std::string& devicePath, std::int64_t nanosecondsSince1970);
    std::optional<std::int64_t> find(const std::string& devicePath) const;
    /// Drops the entry of `devicePath` and of everything below it.
    void removeTree(const std::string& devicePath);
    /// Moves the entry of `from` and of everything below it to `to`.
    void renameTree(const std::string& from, const std::string& to);
    std::size_t size() const;

private:
    std::filesystem::path m_file;
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, std::int64_t> m_entries;
    bool m_dirty { false };
};
