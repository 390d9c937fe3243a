#pragma once

#include "platform/image_capture/ICSha256.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

/// Where a received file ended up.
struct ICPlacedFile
{
    std::string path; // inside the folder, under its final name
    std::string sha256; // lower-case hex
    std::uint64_t size { 0 };
    /// An identical file (same size and SHA-256) already had one of the candidate names, so
    /// nothing new was written: a backup that was interrupted after its copy is not duplicated.
    bool alreadyPresent { false };
};

/// Receives one file into a folder so that a finished file can be trusted: it is written under a
/// hidden temporary name and hashed while it arrives, flushed to the disk, read back from the
/// disk and compared (size and SHA-256) with what arrived, then given its final name without
/// ever replacing a file ("IMG_0001 (1).JPG" when "IMG_0001.JPG" is taken), and the folder is
/// flushed so the name survives a power cut. Anything short of that leaves no file behind.
///
/// Only names made by ICFileNames::sanitizedFileName() are accepted, and every file is created
/// relative to the folder, so nothing is ever written outside it. One thread at a time.
class ICVerifiedFileWriter
{
public:
    ICVerifiedFileWriter() = default;
    /// Removes the temporary file unless finish() placed it.
    ~ICVerifiedFileWriter();
    ICVerifiedFileWriter(const ICVerifiedFileWriter&) = delete;
    ICVerifiedFileWriter& operator=(const ICVerifiedFileWriter&) = delete;

    /// Creates the temporary file in `folder` (which must exist). False with error() set.
    [[nodiscard]] bool begin(const std::string& folder);
    /// Writes and hashes the next bytes. False with error() set (a full disk among others).
    [[nodiscard]] bool append(std::string_view bytes);
    /// Flushes, verifies and names the file `name` (a single, already sanitised component),
    /// expecting `expectedSize` bytes in all. Nothing with error() set when any step failed.
    [[nodiscard]] std::optional<ICPlacedFile> finish(const std::string& name, std::uint64_t expectedSize);
    /// Removes the temporary file.
    void abandon();

    /// Hands `use` every byte written so far, as the temporary file holds them (mapped from the
    /// disk cache, not copied), for readers that need the whole file. False when the file cannot
    /// be mapped; `use` is not called then.
    bool readWritten(const std::function<void(std::string_view bytes)>& use) const;
    /// The modification time finish() gives the file before it flushes it, in milliseconds since
    /// 1970 (UTC); nothing (the default) leaves the time of writing. A file found already present
    /// under the name keeps its own.
    void setModificationTime(std::optional<std::int64_t> msecsSinceEpoch) { m_modificationTime = msecsSinceEpoch; }

    std::uint64_t bytesWritten() const { return m_written; }
    const std::string& error() const { return m_error; }

    /// The SHA-256 (hex) and size of a file, read from the disk; nothing when it cannot be read.
    /// `dropCache` first asks the kernel to forget its cached pages, so the bytes come from the disk.
    static std::optional<std::pair<std::string, std::uint64_t>> hashFile(
        int directory, const std::string& name, bool dropCache);

    /// Prefix of the temporary files; a crash may leave one behind, never under a final name.
    static constexpr const char* TEMPORARY_PREFIX = ".torvane-partial-";
    /// Removes the temporary files of writers that are gone (a killed run's) from `folder`; a
    /// file a live writer, in this process or another, is still working on stays.
    static void removeAbandonedFiles(const std::string& folder);

    /// Called by finish() with the temporary file's path between its flush and its re-read, so
    /// a test can change the copy on the disk there. Null (the default) for none. Any thread.
    using RereadHook = std::function<void(const std::string& path)>;
    static void setBeforeRereadHook(RereadHook hook);
    static constexpr int MAX_NUMBERED_NAMES = 10'000;

private:
    bool failWith(const std::string& what, int error);
    bool placeUnderFreeName(const std::string& name, ICPlacedFile& placed);

    int m_directory { -1 };
    int m_file { -1 };
    std::string m_folder;
    std::string m_temporaryName;
    std::uint64_t m_written { 0 };
    std::optional<std::int64_t> m_modificationTime;
    ICSha256 m_hash;
    std::string m_error;
};
