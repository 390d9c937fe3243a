#include "device/AFCDirectoryAccess.h"

#include "base/Log.h"
#include "device/AFCValues.h"
#include "device/AMDevice.h"

#include <algorithm>

AFCDirectoryAccess::AFCDirectoryAccess(std::unique_ptr<AMServiceConnection> connection, MobileDevice& library)
    : AMService(std::move(connection))
    , m_library(library)
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
    const MDStatus status = m_library.AFCConnectionOpen(inputStreamFromSocket(), ioTimeoutSeconds, &m_afc);
    if (status != AFCStatus::Success || !m_afc) {
        logLine(LOG_DEVICE, "AFCConnectionOpen failed: %d", static_cast<int>(status));
        m_afc.reset();
        return false;
    }
    m_alive = std::make_shared<int>(0);
    return true;
}

void AFCDirectoryAccess::close()
{
    if (!m_afc) {
        return;
    }
    m_alive.reset();
    const MDStatus status = m_library.AFCConnectionClose(std::move(m_afc));
    m_afc.reset();
    if (status != AFCStatus::Success) {
        logLine(LOG_DEVICE, "AFCConnectionClose failed: %d", static_cast<int>(status));
    }
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
    if (!m_afc) {
        return std::nullopt;
    }
    const std::optional<PlistDictionary> info = m_library.AFCConnectionCopyLastErrorInfo(*m_afc);
    if (!info) {
        return std::nullopt;
    }
    const auto description = info->find("NSLocalizedDescription");
    if (description == info->end() || !description->second.isString()) {
        return std::nullopt;
    }
    return *description->second.asString();
}

// ---- Single operations ------------------------------------------------------------------------

std::optional<PlistDictionary> AFCDirectoryAccess::readPairs(std::unique_ptr<AFCKeyValues> pairs)
{
    PlistDictionary values;
    for (;;) {
        std::optional<std::string> key;
        std::optional<std::string> value;
        if (m_library.AFCKeyValueRead(*pairs, &key, &value) != AFCStatus::Success || !key || !value) {
            break;
        }
        values.insert_or_assign(*key, afcPairValue(*value));
    }
    (void)m_library.AFCKeyValueClose(std::move(pairs)); // nothing more to learn from the listing
    return values;
}

std::optional<PlistDictionary> AFCDirectoryAccess::deviceInfo()
{
    if (!checkConnection()) {
        return std::nullopt;
    }
    std::unique_ptr<AFCKeyValues> pairs;
    if (!checkStatus(m_library.AFCDeviceInfoOpen(*m_afc, &pairs), "AFCDeviceInfoOpen") || !pairs) {
        return std::nullopt;
    }
    std::optional<PlistDictionary> values = readPairs(std::move(pairs));
    clearLastError();
    return values;
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
    std::unique_ptr<AFCKeyValues> pairs;
    if (!checkStatus(m_library.AFCFileInfoOpen(*m_afc, *path, &pairs), "AFCFileInfoOpen") || !pairs) {
        return std::nullopt;
    }
    std::optional<PlistDictionary> values = readPairs(std::move(pairs));
    (*values)["path"] = PlistValue(*path);
    clearLastError();
    for (const char* key : { "st_birthtime", "st_mtime" }) {
        auto found = values->find(key);
        if (found == values->end()) {
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
    std::unique_ptr<AFCKeyValues> pairs;
    if (m_library.AFCFileInfoOpen(*m_afc, *path, &pairs) != AFCStatus::Success) {
        return false; // the last error stays as it was: absence is an answer, not a failure
    }
    if (pairs) {
        (void)m_library.AFCKeyValueClose(std::move(pairs));
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

std::optional<std::vector<std::string>> AFCDirectoryAccess::directoryContents(const std::optional<std::string>& path)
{
    if (!path) {
        fail("Input path is nil");
        return std::nullopt;
    }
    if (!checkConnection()) {
        return std::nullopt;
    }
    std::unique_ptr<AFCDirectory> directory;
    if (!checkStatus(m_library.AFCDirectoryOpen(*m_afc, *path, &directory), "AFCDirectoryOpen") || !directory) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        std::optional<std::string> name;
        if (m_library.AFCDirectoryRead(*m_afc, *directory, &name) != AFCStatus::Success || !name) {
            break;
        }
        if (*name != "." && *name != "..") {
            names.push_back(std::move(*name));
        }
    }
    (void)m_library.AFCDirectoryClose(*m_afc, std::move(directory)); // the listing is complete
    clearLastError();
    return names;
}

std::optional<std::vector<std::string>> AFCDirectoryAccess::recursiveDirectoryContents(
    const std::optional<std::string>& path)
{
    if (!path) {
        fail("Input path is nil");
        return std::nullopt;
    }
    if (!checkConnection()) {
        return std::nullopt;
    }
    std::vector<std::string> found;
    // Depth first with an explicit list rather than recursion, so a deep tree cannot exhaust
    // the stack; the result is sorted at the end, so the visiting order does not show.
    std::vector<std::string> pending { *path };
    while (!pending.empty()) {
        const std::string current = std::move(pending.back());
        pending.pop_back();
        std::unique_ptr<AFCDirectory> directory;
        const MDStatus status = m_library.AFCDirectoryOpen(*m_afc, current, &directory);
        if (status == AFCStatus::ReadError) {
            found.push_back(current); // not a directory
            continue;
        }
        if (!checkStatus(status, "AFCDirectoryOpen") || !directory) {
            return std::nullopt;
        }
        found.push_back(current + "/");
        std::vector<std::string> children;
        for (;;) {
            std::optional<std::string> name;
            if (m_library.AFCDirectoryRead(*m_afc, *directory, &name) != AFCStatus::Success || !name) {
                break;
            }
            if (*name != "." && *name != "..") {
                children.push_back(current + "/" + *name);
            }
        }
        (void)m_library.AFCDirectoryClose(*m_afc, std::move(directory)); // the listing is complete
        pending.insert(
            pending.end(), std::make_move_iterator(children.rbegin()), std::make_move_iterator(children.rend()));
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool AFCDirectoryAccess::mkdir(const std::optional<std::string>& path)
{
    if (!path) {
        return fail("Input path is nil");
    }
    if (!checkConnection()) {
        return false;
    }
    return checkStatus(m_library.AFCDirectoryCreate(*m_afc, *path), "AFCDirectoryCreate");
}

bool AFCDirectoryAccess::unlink(const std::optional<std::string>& path)
{
    if (!path) {
        return fail("Input path is nil");
    }
    if (!checkConnection()) {
        return false;
    }
    return checkStatus(m_library.AFCRemovePath(*m_afc, *path), "AFCRemovePath");
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
    return checkStatus(m_library.AFCRenamePath(*m_afc, *oldPath, *newPath), "AFCRenamePath");
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
    return checkStatus(m_library.AFCLinkPath(*m_afc, type, *target, *path), "AFCLinkPath");
}

bool AFCDirectoryAccess::hardLinkRemoteFile(
    const std::optional<std::string>& target, const std::optional<std::string>& link)
{
    // A missing path must never reach the device, and a closed connection must not be touched.
    if (!link) {
        return fail("Path is nil");
    }
    if (!target) {
        return fail("Target is nil");
    }
    if (!checkConnection()) {
        return false;
    }
    return checkStatus(m_library.AFCLinkPath(*m_afc, AFCLinkType::Hard, *target, *link), "AFCLinkPath");
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
    std::unique_ptr<AFCOperation> operation = m_library.AFCOperationCreateSetModTime(*path, nanoseconds);
    if (!operation) {
        return fail("AFCOperationCreateSetModTime() failed");
    }
    return processOp(std::move(operation), "setmodtime:to:");
}

bool AFCDirectoryAccess::processOp(std::unique_ptr<AFCOperation> operation, const char* /*label*/)
{
    if (!operation) {
        return fail("AFCOperationCreateSetModTime() failed");
    }
    if (!checkConnection()) {
        return false;
    }
    const double timeout = m_library.AFCConnectionGetIOTimeout(*m_afc);
    if (!checkStatus(
            m_library.AFCConnectionProcessOperation(*m_afc, *operation, timeout), "AFCConnectionProcessOperation")) {
        return false;
    }
    const MDStatus result = m_library.AFCOperationGetResultStatus(*operation);
    if (result == AFCStatus::Success) {
        clearLastError();
        return true;
    }
    const std::optional<PlistDictionary> info = m_library.AFCConnectionCopyLastErrorInfo(*m_afc);
    if (!info) {
        return fail(stringWithFormat("Error %ld occurred, no error info", static_cast<long>(result)));
    }
    const auto description = info->find("NSLocalizedDescription");
    if (description == info->end()) {
        return fail(stringWithFormat("Error %ld occurred, no message", static_cast<long>(result)));
    }
    setLastError(description->second.isString()
            ? *description->second.asString()
            : stringWithFormat("Error %ld occurred, no message", static_cast<long>(result)));
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
    AFCFileRef reference = 0;
    if (!checkStatus(m_library.AFCFileRefOpen(*m_afc, *path, mode, &reference), "AFCFileRefOpen")) {
        return nullptr;
    }
    return std::make_unique<AFCFileReference>(*path, reference, *m_afc, std::weak_ptr<void>(m_alive), m_library);
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
    auto directory = std::make_unique<Directory>(std::move(connection), device.library());
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
    auto directory = std::make_unique<AFCApplicationDirectory>(std::move(connection), device.library());
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
