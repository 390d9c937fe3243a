#include "device/AFCDirectoryAccess.h"

#include "base/Log.h"
#include "device/AFCValues.h"
#include "device/AFCWireClient.h"
#include "device/AMDevice.h"

#include <algorithm>
#include <chrono>

AFCDirectoryAccess::AFCDirectoryAccess(std::unique_ptr<AMServiceConnection> connection)
    : AMService(std::move(connection))
{
}

AFCDirectoryAccess::~AFCDirectoryAccess()
{
    close();
}

bool AFCDirectoryAccess::openAFCConnection()
{
    // An I/O timeout of 0: wait as long as the device keeps the connection open.
    return openAFCConnection(0);
}

bool AFCDirectoryAccess::openAFCConnection(std::uint32_t ioTimeoutSeconds)
{
    AMServiceConnection& service = inputStreamFromSocket();
    if (!service.isOpen()) {
        logLine(LOG_DEVICE, "AFCConnectionOpen failed: %d", static_cast<int>(AFCStatus::ConnectionError));
        m_afc.reset();
        return false;
    }
    m_afc = std::make_shared<AFCWireClient>(service, std::chrono::seconds(ioTimeoutSeconds));
    return true;
}

void AFCDirectoryAccess::close()
{
    // AFC has no farewell packet; the service connection stays with AMService until it goes.
    m_afc.reset();
}

bool AFCDirectoryAccess::fail(std::string text)
{
    m_lastStatus = AFCStatus::Success;
    return AMErrorState::fail(std::move(text));
}

bool AFCDirectoryAccess::failFromFile(const AFCFileReference& file, const char* fallback)
{
    const MDStatus status = file.lastStatus();
    fail(file.lasterror().value_or(fallback));
    m_lastStatus = status;
    return false;
}

bool AFCDirectoryAccess::isConnectionFailure(MDStatus status)
{
    return status >= AFCStatus::ConnectionError || status == AFCStatus::OpTimeout;
}

bool AFCDirectoryAccess::checkConnection()
{
    if (!m_afc) {
        return fail("Connection is not open");
    }
    return true;
}

bool AFCDirectoryAccess::checkStatus(MDStatus status, const char* callName)
{
    if (status == AFCStatus::Success) {
        clearLastError();
        return true;
    }
    fail(stringWithFormat("%s failed: Return code = 0x%04X", callName, status));
    m_lastStatus = status;
    return false;
}

std::optional<std::string> AFCDirectoryAccess::connectionErrorDetail()
{
    if (!m_afc || m_afc->lastError().empty()) {
        return std::nullopt;
    }
    return m_afc->lastError();
}

// ---- Single operations ------------------------------------------------------------------------

namespace {

// By value so the keys move out (the check misreads the moves through the structured binding).
PlistDictionary pairsToDictionary(AFCWireClient::KeyValues pairs) // NOLINT(performance-unnecessary-value-param)
{
    PlistDictionary values;
    for (auto& [key, value] : pairs) {
        values.insert_or_assign(std::move(key), afcPairValue(value));
    }
    return values;
}

} // namespace

std::optional<PlistDictionary> AFCDirectoryAccess::deviceInfo()
{
    if (!checkConnection()) {
        return std::nullopt;
    }
    AFCWireClient::KeyValues pairs;
    if (!checkStatus(m_afc->getDeviceInfo(pairs), "AFCDeviceInfoOpen")) {
        return std::nullopt;
    }
    return pairsToDictionary(std::move(pairs));
}

std::optional<PlistDictionary> AFCDirectoryAccess::getFileInfo(const std::optional<std::string>& path)
{
    if (!path) {
        fail("Input path is nil");
        return std::nullopt;
    }
    if (!checkConnection()) {
        return std::nullopt;
    }
    AFCWireClient::KeyValues pairs;
    if (!checkStatus(m_afc->getFileInfo(*path, pairs), "AFCFileInfoOpen")) {
        return std::nullopt;
    }
    PlistDictionary values = pairsToDictionary(std::move(pairs));
    values["path"] = PlistValue(*path);
    for (const char* key : { "st_birthtime", "st_mtime" }) {
        auto found = values.find(key);
        if (found == values.end()) {
            continue;
        }
        if (const std::optional<std::int64_t> nanoseconds = found->second.toInt64();
            nanoseconds && found->second.isInteger()) {
            found->second = PlistValue(afcDateFromNanoseconds(*nanoseconds));
        }
    }
    return values;
}

bool AFCDirectoryAccess::fileExistsAtPath(const std::optional<std::string>& path)
{
    if (!path) {
        return fail("Input path is nil");
    }
    if (!checkConnection()) {
        return false;
    }
    AFCWireClient::KeyValues pairs;
    if (m_afc->getFileInfo(*path, pairs) != AFCStatus::Success) {
        return false; // the last error stays as it was: absence is an answer, not a failure
    }
    clearLastError();
    return true;
}

std::optional<bool> AFCDirectoryAccess::existsAtPath(const std::optional<std::string>& path)
{
    const std::optional<std::string> previousError = lasterror();
    const MDStatus previousStatus = m_lastStatus;
    if (!getFileInfo(path)) {
        if (path && m_lastStatus == AFCStatus::ObjectNotFound) {
            // Absence is an answer, not a failure: the last error stays as it was.
            setLastError(previousError);
            m_lastStatus = previousStatus;
            return false;
        }
        return std::nullopt;
    }
    return true;
}

MDStatus AFCDirectoryAccess::readDirectory(const std::string& path, std::vector<std::string>& names)
{
    const MDStatus status = m_afc->readDirectory(path, names);
    std::erase_if(names, [](const std::string& name) { return name == "." || name == ".."; });
    return status;
}

std::optional<std::vector<std::string>> AFCDirectoryAccess::directoryContents(const std::optional<std::string>& path)
{
    if (!path) {
        fail("Input path is nil");
        return std::nullopt;
    }
    if (!checkConnection()) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    if (!checkStatus(readDirectory(*path, names), "AFCDirectoryOpen")) {
        return std::nullopt;
    }
    return names;
}

bool AFCDirectoryAccess::mkdir(const std::optional<std::string>& path)
{
    if (!path) {
        return fail("Input path is nil");
    }
    if (!checkConnection()) {
        return false;
    }
    return checkStatus(m_afc->makeDirectory(*path), "AFCDirectoryCreate");
}

bool AFCDirectoryAccess::unlink(const std::optional<std::string>& path)
{
    if (!path) {
        return fail("Input path is nil");
    }
    if (!checkConnection()) {
        return false;
    }
    return checkStatus(m_afc->removePath(*path), "AFCRemovePath");
}

bool AFCDirectoryAccess::unlinkTree(const std::optional<std::string>& path)
{
    if (!path || path->empty()) {
        return fail("Input path is nil");
    }
    if (afcIsRootPath(*path)) {
        return fail("Won't remove the top of the file area");
    }
    if (!checkConnection()) {
        return false;
    }
    return checkStatus(m_afc->removePathAndContents(*path), "AFCRemovePathAndContents");
}

bool AFCDirectoryAccess::rename(const std::optional<std::string>& oldPath, const std::optional<std::string>& newPath)
{
    if (!oldPath) {
        return fail("Old path is nil");
    }
    if (!newPath) {
        return fail("New path is nil");
    }
    if (!checkConnection()) {
        return false;
    }
    return checkStatus(m_afc->renamePath(*oldPath, *newPath), "AFCRenamePath");
}

bool AFCDirectoryAccess::link(const std::optional<std::string>& path, const std::optional<std::string>& target)
{
    return linkPath(AFCLinkType::Hard, path, target);
}

bool AFCDirectoryAccess::symlink(const std::optional<std::string>& path, const std::optional<std::string>& target)
{
    return linkPath(AFCLinkType::Symbolic, path, target);
}

bool AFCDirectoryAccess::linkPath(
    AFCLinkType type, const std::optional<std::string>& path, const std::optional<std::string>& target)
{
    if (!path) {
        return fail("Path is nil");
    }
    if (!target) {
        return fail("Target is nil");
    }
    if (!checkConnection()) {
        return false;
    }
    return checkStatus(m_afc->makeLink(static_cast<std::uint64_t>(type), *target, *path), "AFCLinkPath");
}

bool AFCDirectoryAccess::hardLinkRemoteFile(
    const std::optional<std::string>& target, const std::optional<std::string>& link)
{
    // A missing path must never reach the device, and a closed connection must not be touched.
    return linkPath(AFCLinkType::Hard, link, target);
}

bool AFCDirectoryAccess::setmodtime(const std::optional<std::string>& path, const std::optional<PlistDate>& date)
{
    if (!path) {
        return fail("Path is nil");
    }
    if (!date) {
        return fail("timestamp is nil");
    }
    if (!checkConnection()) {
        return false;
    }
    // Whole nanoseconds; the device cannot store a time before 1970.
    const std::int64_t microseconds = std::max<std::int64_t>(date->microsecondsSince1970, 0);
    const std::uint64_t nanoseconds = static_cast<std::uint64_t>(microseconds) * 1000;
    const MDStatus status = m_afc->setFileModTime(*path, nanoseconds);
    if (status == AFCStatus::Success || m_afc->isBroken()) {
        // A connection that broke is reported like every other call's failure.
        return checkStatus(status, "AFCConnectionProcessOperation");
    }
    // The device refused: its own words are the clearer reason.
    fail(m_afc->lastError().empty() ? stringWithFormat("Error %ld occurred, no message", static_cast<long>(status))
                                    : m_afc->lastError());
    m_lastStatus = status;
    return false;
}

std::unique_ptr<AFCFileReference> AFCDirectoryAccess::openFile(const std::optional<std::string>& path, AFCFileMode mode)
{
    if (!path) {
        fail("Input path is nil");
        return nullptr;
    }
    if (!checkConnection()) {
        return nullptr;
    }
    // Callers say read, write or both; devices need "w" and "w+" to create and empty a file
    // ("r+", wire 2, keeps old bytes beyond what is written).
    std::uint64_t wireMode = AFCWireOpenMode::ReadOnly;
    switch (mode) {
    case AFCFileMode::Read:
        wireMode = AFCWireOpenMode::ReadOnly;
        break;
    case AFCFileMode::Write:
        wireMode = AFCWireOpenMode::WriteTruncate;
        break;
    case AFCFileMode::ReadWrite:
        wireMode = AFCWireOpenMode::ReadWriteTruncate;
        break;
    }
    AFCFileRef reference = 0;
    if (!checkStatus(m_afc->fileOpen(*path, wireMode, reference), "AFCFileRefOpen")) {
        return nullptr;
    }
    return std::make_unique<AFCFileReference>(*path, reference, std::weak_ptr<AFCWireClient>(m_afc));
}

std::unique_ptr<AFCFileReference> AFCDirectoryAccess::openForRead(const std::optional<std::string>& path)
{
    return openFile(path, AFCFileMode::Read);
}

std::unique_ptr<AFCFileReference> AFCDirectoryAccess::openForWrite(const std::optional<std::string>& path)
{
    return openFile(path, AFCFileMode::Write);
}

std::unique_ptr<AFCFileReference> AFCDirectoryAccess::openForReadWrite(const std::optional<std::string>& path)
{
    return openFile(path, AFCFileMode::ReadWrite);
}

// ---- Connection kinds -------------------------------------------------------------------------

namespace {

template <typename Directory> std::unique_ptr<Directory> openDirectory(AMDevice& device, const char* serviceName)
{
    std::unique_ptr<AMServiceConnection> connection = device.startService(serviceName);
    if (!connection) {
        return nullptr; // the device has logged why
    }
    auto directory = std::make_unique<Directory>(std::move(connection));
    if (!directory->openAFCConnection(device.afcIOTimeout())) {
        return nullptr;
    }
    return directory;
}

} // namespace

std::unique_ptr<AFCMediaDirectory> AFCMediaDirectory::create(AMDevice& device)
{
    return openDirectory<AFCMediaDirectory>(device, "com.apple.afc");
}

std::unique_ptr<AFCRootDirectory> AFCRootDirectory::create(AMDevice& device)
{
    return openDirectory<AFCRootDirectory>(device, "com.apple.afc2");
}

std::unique_ptr<AFCCrashLogDirectory> AFCCrashLogDirectory::create(AMDevice& device)
{
    return openDirectory<AFCCrashLogDirectory>(device, "com.apple.crashreportcopymobile");
}

std::unique_ptr<AFCApplicationDirectory> AFCApplicationDirectory::create(
    AMDevice& device, const std::string& bundleIdentifier)
{
    std::unique_ptr<AMServiceConnection> connection = device.startService("com.apple.mobile.house_arrest");
    if (!connection) {
        return nullptr;
    }
    auto directory = std::make_unique<AFCApplicationDirectory>(std::move(connection));
    if (const std::uint32_t seconds = device.afcIOTimeout(); seconds > 0) {
        directory->setTimeout(std::chrono::seconds(seconds)); // the container request, too
    }
    const std::optional<PlistValue> reply = directory->sendRequestAndWaitForSingleReply(PlistValue(PlistDictionary {
        { "Command", PlistValue("VendContainer") },
        { "Identifier", PlistValue(bundleIdentifier) },
    }));
    if (!reply) {
        logLine(LOG_DEVICE, "%s", directory->lasterror().value_or("").c_str());
        return nullptr;
    }
    if (const PlistValue* error = reply->find("Error")) {
        const std::string text = error->isString() ? *error->asString() : std::string("(not text)");
        logLine(LOG_DEVICE, "House Arrest failed, %s", text.c_str());
        return nullptr;
    }
    if (!directory->openAFCConnection(device.afcIOTimeout())) {
        return nullptr;
    }
    return directory;
}

// ---- Device factories -------------------------------------------------------------------------

std::unique_ptr<AFCMediaDirectory> AMDevice::newAFCMediaDirectory()
{
    return newServiceClient<AFCMediaDirectory>([this] { return AFCMediaDirectory::create(*this); });
}

std::unique_ptr<AFCCrashLogDirectory> AMDevice::newAFCCrashLogDirectory()
{
    return newServiceClient<AFCCrashLogDirectory>([this] { return AFCCrashLogDirectory::create(*this); });
}

std::unique_ptr<AFCRootDirectory> AMDevice::newAFCRootDirectory()
{
    return newServiceClient<AFCRootDirectory>([this] { return AFCRootDirectory::create(*this); });
}

std::unique_ptr<AFCApplicationDirectory> AMDevice::newAFCApplicationDirectory(const std::string& bundleIdentifier)
{
    return newServiceClient<AFCApplicationDirectory>(
        [this, &bundleIdentifier] { return AFCApplicationDirectory::create(*this, bundleIdentifier); });
}
