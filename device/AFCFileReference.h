#pragma once

#include "device/AMErrorState.h"
#include "device/mobile_device.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class AFCWireClient;

/// An open file's handle, as the device numbered it; 0 is no file.
using AFCFileRef = std::uint64_t;

/// Open modes as callers name them; AFCDirectoryAccess maps them onto the wire (read → 1 "r",
/// write → 3 "w": creates and empties, both → 4 "w+").
enum class AFCFileMode : std::uint32_t {
    Read = 1,
    Write = 2,
    ReadWrite = 3,
};

enum class AFCLinkType : std::uint32_t {
    Hard = 1,
    Symbolic = 2,
};

enum class AFCSeekOrigin : std::uint32_t {
    Start = 0,
    Current = 1,
    End = 2,
};

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

    /// Wraps an open file. `path` is not kept. `connection` expires when the connection closes.
    /// Made by AFCDirectoryAccess; nothing else needs to call it.
    AFCFileReference(const std::string& path, AFCFileRef reference, std::weak_ptr<AFCWireClient> connection);
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
    /// Takes the device's exclusive lock on the file without waiting: held by this open file until
    /// it is closed or its connection goes, and refused to every other open file meanwhile. False
    /// when another holds it, with lastStatus() AFCStatus::OpWouldBlock.
    [[nodiscard]] bool lockExclusive();
    /// The same, waiting while another open file holds the lock, at most `bound`: false with
    /// lastStatus() AFCStatus::OpTimeout when it is still held then (the device may also end the
    /// wait so). After a time-out the connection is of no further use.
    [[nodiscard]] bool lockExclusiveWaiting(std::chrono::milliseconds bound);

    /// The library status of the last failure on this file (0 before any, and for "File is not
    /// open").
    MDStatus lastStatus() const { return m_lastStatus; }

private:
    /// The connection while the file is open; null (with "File is not open") otherwise.
    std::shared_ptr<AFCWireClient> checkOpen();
    bool checkStatus(MDStatus status, const char* callName);

    AFCFileRef m_ref { 0 };
    std::weak_ptr<AFCWireClient> m_afc;
    MDStatus m_lastStatus { AFCStatus::Success };
};
