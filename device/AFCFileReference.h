#pragma once

#include "device/AMErrorState.h"
#include "device/mobile_device.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

/// One open file on an AFC connection (AFCDirectoryAccess::openForRead() and friends).
///
/// Closes itself when destroyed. It does not keep its connection open: once the connection is
/// closed, every operation fails with "File is not open" instead of touching a gone connection.
/// Failures answer false or 0 and leave "%s failed: %d" (call name, status) or "File is not open"
/// in lasterror(). One thread at a time, the same one that uses the connection.
class AFCFileReference : public AMErrorState
{
public:
    /// The largest single write request; larger buffers go out in pieces of this size.
    static constexpr std::size_t MAX_WRITE_SIZE = 64 * 1024 * 1024;

    /// Wraps an open file. `path` is not kept. `connectionAlive` expires when the connection
    /// closes. Made by AFCDirectoryAccess; nothing else needs to call it.
    AFCFileReference(const std::string& path,
        AFCFileRef reference,
        AFCConnection& connection,
        std::weak_ptr<void> connectionAlive,
        MobileDevice& library);
    ~AFCFileReference();
    AFCFileReference(const AFCFileReference&) = delete;
    AFCFileReference& operator=(const AFCFileReference&) = delete;

    /// True until closeFile() succeeds or the connection goes away.
    bool isOpen() const;

    /// Closes the file; the reference becomes 0 on success.
    [[nodiscard]] bool closeFile();
    /// Moves the file position; `origin` is passed to the device unchanged.
    [[nodiscard]] bool seek(std::int64_t offset, AFCSeekOrigin origin);
    /// Stores the file position in `position`.
    [[nodiscard]] bool tell(std::uint64_t& position);
    /// Reads up to `count` bytes into `buffer`; answers how many, 0 at the end of the file or on
    /// failure (lasterror() tells them apart: it is set only on failure).
    [[nodiscard]] std::uint32_t readN(std::uint32_t count, void* buffer);
    /// Writes `count` bytes in one request. A count of 0 answers true without a device call.
    [[nodiscard]] bool writeN(std::uint32_t count, const void* bytes);
    /// Writes all of `data`, in one request when it fits MAX_WRITE_SIZE.
    [[nodiscard]] bool writeNSData(std::string_view data);
    /// Sets the file's size without writing data.
    [[nodiscard]] bool setFileSize(std::uint64_t size);

    /// The library status of the last failure on this file (0 before any, and for "File is not
    /// open").
    MDStatus lastStatus() const { return m_lastStatus; }

private:
    bool checkOpen();
    bool checkStatus(MDStatus status, const char* callName);

    AFCFileRef m_ref { 0 };
    AFCConnection* m_afc { nullptr };
    std::weak_ptr<void> m_connectionAlive;
    MobileDevice& m_library;
    MDStatus m_lastStatus { AFCStatus::Success };
};
