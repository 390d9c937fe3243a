#include "device/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "device/AMStorageSpace.h"
#include "modules/fill_clearing/ECFillStore.h"

#include <algorithm>

namespace {

// Zeros: the phone allocates every block of a written file whatever it holds, and storage that
// keeps runs of zeros as holes on its own disk (the simulator) can do so.
const std::string& zeroChunk()
{
    static const std::string chunk(ECAFCFillStore::WRITE_CHUNK_SIZE, '\0');
    return chunk;
}

}

ECAFCFillStore::ECAFCFillStore(std::unique_ptr<AFCDirectoryAccess> connection)
    : m_connection(std::move(connection))
{
}

ECAFCFillStore::~ECAFCFillStore()
{
    if (m_connection) {
        m_connection->close();
    }
}

std::unique_ptr<ECAFCFillStore> ECAFCFillStore::open(AMDevice& device)
{
    std::unique_ptr<AFCMediaDirectory> media = device.newAFCMediaDirectory();
    if (!media) {
        return nullptr;
    }
    return std::make_unique<ECAFCFillStore>(std::move(media));
}

AMStorageSpace ECAFCFillStore::storageSpace()
{
    // Read afresh on the store's own connection: the fill loop watches free space fall.
    const std::optional<PlistDictionary> info = m_connection->deviceInfo();
    return info ? AMStorageSpace::fromDeviceInfo(*info) : AMStorageSpace {};
}

std::optional<std::uint64_t> ECAFCFillStore::freeBytes()
{
    const std::optional<std::int64_t> free = storageSpace().freeBytes;
    return free ? std::optional<std::uint64_t>(*free) : std::nullopt;
}

std::optional<std::uint64_t> ECAFCFillStore::totalBytes()
{
    const std::optional<std::int64_t> total = storageSpace().totalBytes;
    return total ? std::optional<std::uint64_t>(*total) : std::nullopt;
}

bool ECAFCFillStore::makeFolder(const std::string& path)
{
    return m_connection->mkdir(path);
}

std::optional<std::vector<std::string>> ECAFCFillStore::folderContents(const std::string& path)
{
    return m_connection->directoryContents(path);
}

bool ECAFCFillStore::createFakeFile(const std::string& path, std::uint64_t size)
{
    return m_connection->createFakeFileAtPath(path, size);
}

std::uint64_t ECAFCFillStore::writeFile(
    const std::string& path, std::uint64_t size, const std::function<bool(std::uint64_t written)>& chunkWritten)
{
    // Opening for writing empties an existing file: another filler of the same name must stay,
    // and a phone that cannot say whether there is one is not written to either.
    if (m_connection->existsAtPath(path).value_or(true)) {
        return 0;
    }
    std::unique_ptr<AFCFileReference> file = m_connection->openForWrite(path);
    if (!file) {
        return 0;
    }
    std::uint64_t written = 0;
    while (written < size) {
        const std::uint64_t count = std::min(size - written, WRITE_CHUNK_SIZE);
        if (!file->writeN(std::uint32_t(count), zeroChunk().data())) {
            break;
        }
        written += count;
        if (chunkWritten && !chunkWritten(written)) {
            break;
        }
    }
    (void)file->closeFile(); // what counts is what was written
    return written;
}

bool ECAFCFillStore::removeFile(const std::string& path)
{
    return m_connection->unlink(path);
}

std::optional<std::uint64_t> ECAFCFillStore::fileSize(const std::string& path)
{
    const std::optional<PlistDictionary> info = m_connection->getFileInfo(path);
    if (!info || !info->contains("st_size")) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> bytes = info->at("st_size").toInt64();
    return bytes && *bytes >= 0 ? std::optional<std::uint64_t>(std::uint64_t(*bytes)) : std::nullopt;
}
