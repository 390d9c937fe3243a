#include "device/AFCFileReference.h"

#include "base/Log.h"

#include <algorithm>

AFCFileReference::AFCFileReference(const std::string& /*path: not kept*/,
    AFCFileRef reference,
    AFCConnection& connection,
    std::weak_ptr<void> connectionAlive,
    MobileDevice& library)
    : m_ref(reference)
    , m_afc(&connection)
    , m_connectionAlive(std::move(connectionAlive))
    , m_library(library)
{
}

AFCFileReference::~AFCFileReference()
{
    (void)closeFile(); // a file already closed only notes "File is not open" on itself
}

bool AFCFileReference::isOpen() const
{
    return m_ref != 0 && !m_connectionAlive.expired();
}

bool AFCFileReference::checkOpen()
{
    if (m_ref != 0 && m_connectionAlive.expired()) {
        // The device dropped the file together with its connection.
        m_ref = 0;
    }
    if (m_ref == 0) {
        m_lastStatus = AFCStatus::Success;
        return fail("File is not open");
    }
    return true;
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
    if (!checkOpen()) {
        return false;
    }
    if (!checkStatus(m_library.AFCFileRefClose(*m_afc, m_ref), "AFCFileRefClose")) {
        return false;
    }
    m_ref = 0;
    return true;
}

bool AFCFileReference::seek(std::int64_t offset, AFCSeekOrigin origin)
{
    if (!checkOpen()) {
        return false;
    }
    return checkStatus(m_library.AFCFileRefSeek(*m_afc, m_ref, offset, origin), "AFCFileRefSeek");
}

bool AFCFileReference::tell(std::uint64_t& position)
{
    if (!checkOpen()) {
        return false;
    }
    return checkStatus(m_library.AFCFileRefTell(*m_afc, m_ref, &position), "AFCFileRefTell");
}

std::uint32_t AFCFileReference::readN(std::uint32_t count, void* buffer)
{
    if (!checkOpen()) {
        return 0;
    }
    std::uint32_t length = count;
    if (!checkStatus(m_library.AFCFileRefRead(*m_afc, m_ref, buffer, &length), "AFCFileRefRead")) {
        return 0;
    }
    return length;
}

bool AFCFileReference::writeN(std::uint32_t count, const void* bytes)
{
    if (!checkOpen()) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    return checkStatus(m_library.AFCFileRefWrite(*m_afc, m_ref, bytes, count), "AFCFileRefWrite");
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
    if (!checkOpen()) {
        return false;
    }
    return checkStatus(m_library.AFCFileRefSetFileSize(*m_afc, m_ref, size), "AFCFileRefSetFileSize");
}
