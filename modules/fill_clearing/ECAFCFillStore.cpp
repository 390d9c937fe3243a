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

std::pair<std::string, std::string> folderAndName(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return { std::string(), path };
    }
    return { path.substr(0, slash), path.substr(slash + 1) };
}

}

ECAFCFillStore::ECAFCFillStore(std::unique_ptr<AFCDirectoryAccess> connection)
    : m_connection(std::move(connection))
{
}

ECAFCFillStore::~ECAFCFillStore()
{
    m_refusedFile.reset(); // closed while the connection is still there
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
    const AMStorageSpace space = info ? AMStorageSpace::fromDeviceInfo(*info) : AMStorageSpace {};
    if (space.totalBytes) {
        m_totalBytes = space.totalBytes;
    }
    return space;
}

std::optional<std::uint64_t> ECAFCFillStore::freeBytes()
{
    const std::optional<std::int64_t> free = storageSpace().freeBytes;
    return free ? std::optional<std::uint64_t>(*free) : std::nullopt;
}

std::optional<std::uint64_t> ECAFCFillStore::totalBytes()
{
    // The volume's size does not change while connected: any reading on this connection tells it.
    const std::optional<std::int64_t> total = m_totalBytes ? m_totalBytes : storageSpace().totalBytes;
    return total ? std::optional<std::uint64_t>(*total) : std::nullopt;
}

std::set<std::string>* ECAFCFillStore::knownNames(const std::string& path)
{
    const auto folder = m_folderNames.find(folderAndName(path).first);
    return folder == m_folderNames.end() ? nullptr : &folder->second;
}

std::optional<bool> ECAFCFillStore::exists(const std::string& path)
{
    const auto [folder, name] = folderAndName(path);
    if (!knownNames(path)) {
        if (!folderContents(folder.empty() ? "/" : folder)) {
            // Not listable: ask about the one path (a lost connection answers nothing).
            return m_connection->existsAtPath(path);
        }
    }
    return knownNames(path)->count(name) != 0;
}

void ECAFCFillStore::closeRefusedFile()
{
    if (m_refusedFile) {
        (void)m_refusedFile->closeFile(); // an empty file: nothing written can be lost
        m_refusedFile.reset();
    }
}

bool ECAFCFillStore::makeFolder(const std::string& path)
{
    closeRefusedFile();
    const bool made = m_connection->mkdir(path);
    if (made) {
        m_folderNames[path].clear(); // new, so empty
    }
    return made;
}

std::optional<std::vector<std::string>> ECAFCFillStore::folderContents(const std::string& path)
{
    closeRefusedFile();
    std::optional<std::vector<std::string>> names = m_connection->directoryContents(path);
    if (names) {
        m_folderNames[path == "/" ? std::string() : path] = std::set<std::string>(names->begin(), names->end());
    } else {
        m_folderNames.erase(path);
    }
    return names;
}

bool ECAFCFillStore::createFakeFile(const std::string& path, std::uint64_t size)
{
    if (m_refusedFile) {
        // The file whose size the phone refused last is given this size instead of a new file:
        // while the phone is full, each refusal costs one request rather than four.
        if (!m_refusedFile->setFileSize(size)) {
            return false;
        }
        closeRefusedFile(); // its result is that of setting the size
        return true;
    }
    // Opening for writing empties an existing file: a filler of the same name must stay, and a
    // phone that cannot say whether there is one is not written to either.
    if (exists(path).value_or(true)) {
        return false;
    }
    std::unique_ptr<AFCFileReference> file = m_connection->openForWrite(path);
    if (!file) {
        return false;
    }
    // From here the file is there, empty until its size is set.
    if (std::set<std::string>* names = knownNames(path)) {
        names->insert(folderAndName(path).second);
    }
    if (!file->setFileSize(size)) {
        m_refusedFile = std::move(file); // kept open for the next size; it goes with its folder
        return false;
    }
    (void)file->closeFile(); // the result is that of setting the size
    return true;
}

std::optional<bool> ECAFCFillStore::emptyFolder(const std::string& path)
{
    // One request for the folder and all in it, then the folder again (its absence would do as
    // well: the next run makes it).
    closeRefusedFile();
    if (!m_connection->unlinkTree(path)) {
        m_folderNames.erase(path); // a refusal part way leaves it unknown
        return false;
    }
    m_folderNames.erase(path);
    (void)makeFolder(path);
    return true;
}

std::uint64_t ECAFCFillStore::writeFile(
    const std::string& path, std::uint64_t size, const std::function<bool(std::uint64_t written)>& chunkWritten)
{
    // Opening for writing empties an existing file: another filler of the same name must stay,
    // and a phone that cannot say whether there is one is not written to either.
    closeRefusedFile();
    if (exists(path).value_or(true)) {
        return 0;
    }
    std::unique_ptr<AFCFileReference> file = m_connection->openForWrite(path);
    if (!file) {
        return 0;
    }
    if (std::set<std::string>* names = knownNames(path)) {
        names->insert(folderAndName(path).second);
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
    closeRefusedFile();
    const bool removed = m_connection->unlink(path);
    if (removed) {
        if (std::set<std::string>* names = knownNames(path)) {
            names->erase(folderAndName(path).second);
        }
    }
    return removed;
}

std::optional<std::uint64_t> ECAFCFillStore::fileSize(const std::string& path)
{
    closeRefusedFile();
    const std::optional<PlistDictionary> info = m_connection->getFileInfo(path);
    if (!info || !info->contains("st_size")) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> bytes = info->at("st_size").toInt64();
    return bytes && *bytes >= 0 ? std::optional<std::uint64_t>(std::uint64_t(*bytes)) : std::nullopt;
}
