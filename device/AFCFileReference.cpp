#include "device/AFCFileReference.h"

#include "base/Log.h"
#include "device/AFCWireClient.h"

#include <algorithm>

AFCFileReference::AFCFileReference(
    const std::string& /*path: not kept*/, AFCFileRef reference, std::weak_ptr<AFCWireClient> connection)
    : m_ref(reference)
    , m_afc(std::move(connection))
{
}

AFCFileReference::~AFCFileReference()
{
    (void)closeFile(); // a file already closed only notes "File is not open" on itself
}

bool AFCFileReference::isOpen() const
{
    return m_ref != 0 && !m_afc.expired();
}

std::shared_ptr<AFCWireClient> AFCFileReference::checkOpen()
{
    std::shared_ptr<AFCWireClient> afc = m_afc.lock();
    if (m_ref != 0 && !afc) {
        // The device dropped the file together with its connection.
        m_ref = 0;
    }
    if (m_ref == 0) {
        m_lastStatus = AFCStatus::Success;
        fail("File is not open");
        return nullptr;
    }
    return afc;
}

bool AFCFileReference::checkStatus(MDStatus status, const char* callName)
{
    if (status == AFCStatus::Success) {
        clearLastError();
        return true;
    }
    m_lastStatus = status;
    return fail(stringWithFormat("%s failed: %d", callName, static_cast<int>(status)));
}

bool AFCFileReference::closeFile()
{
    const std::shared_ptr<AFCWireClient> afc = checkOpen();
    if (!afc) {
        return false;
    }
    if (!checkStatus(afc->fileClose(m_ref), "AFCFileRefClose")) {
        return false;
    }
    m_ref = 0;
    return true;
}

bool AFCFileReference::seek(std::int64_t offset, AFCSeekOrigin origin)
{
    const std::shared_ptr<AFCWireClient> afc = checkOpen();
    if (!afc) {
        return false;
    }
    return checkStatus(afc->fileSeek(m_ref, offset, static_cast<std::uint64_t>(origin)), "AFCFileRefSeek");
}

bool AFCFileReference::tell(std::uint64_t& position)
{
    const std::shared_ptr<AFCWireClient> afc = checkOpen();
    if (!afc) {
        return false;
    }
    return checkStatus(afc->fileTell(m_ref, position), "AFCFileRefTell");
}

std::uint32_t AFCFileReference::readN(std::uint32_t count, void* buffer)
{
    const std::shared_ptr<AFCWireClient> afc = checkOpen();
    if (!afc) {
        return 0;
    }
    if (!buffer && count > 0) {
        checkStatus(AFCStatus::InvalidArg, "AFCFileRefRead");
        return 0;
    }
    std::uint32_t length = 0;
    if (!checkStatus(afc->fileRead(m_ref, buffer, count, length), "AFCFileRefRead")) {
        return 0;
    }
    return length;
}

bool AFCFileReference::writeN(std::uint32_t count, const void* bytes)
{
    const std::shared_ptr<AFCWireClient> afc = checkOpen();
    if (!afc) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    if (!bytes) {
        return checkStatus(AFCStatus::InvalidArg, "AFCFileRefWrite");
    }
    return checkStatus(afc->fileWrite(m_ref, bytes, count), "AFCFileRefWrite");
}

bool AFCFileReference::writeNSData(std::string_view data)
{
    if (data.empty()) {
        return writeN(0, data.data());
    }
    while (!data.empty()) {
        // Never truncate a length to 32 bits: a buffer above the limit goes out in pieces.
        const std::size_t piece = std::min(data.size(), MAX_WRITE_SIZE);
        if (!writeN(static_cast<std::uint32_t>(piece), data.data())) {
            return false;
        }
        data.remove_prefix(piece);
    }
    return true;
}

bool AFCFileReference::setFileSize(std::uint64_t size)
{
    const std::shared_ptr<AFCWireClient> afc = checkOpen();
    if (!afc) {
        return false;
    }
    return checkStatus(afc->fileSetSize(m_ref, size), "AFCFileRefSetFileSize");
}

bool AFCFileReference::lockExclusiveWaiting(std::chrono::milliseconds bound)
{
    const std::shared_ptr<AFCWireClient> afc = checkOpen();
    if (!afc) {
        return false;
    }
    constexpr std::uint64_t LOCK_EXCLUSIVE = 2; // flock()'s LOCK_EX: the device waits for us
    return checkStatus(afc->fileLockWaiting(m_ref, LOCK_EXCLUSIVE, bound), "AFCFileRefLock");
}

bool AFCFileReference::lockExclusive()
{
    const std::shared_ptr<AFCWireClient> afc = checkOpen();
    if (!afc) {
        return false;
    }
    // flock()'s numbers, which the device takes as they are: LOCK_EX | LOCK_NB.
    constexpr std::uint64_t LOCK_EXCLUSIVE_NOW = 2 | 4;
    return checkStatus(afc->fileLock(m_ref, LOCK_EXCLUSIVE_NOW), "AFCFileRefLock");
}
