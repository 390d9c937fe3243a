// The AFC operations of the production library, spoken by our own wire client over a started
// service connection (libimobiledevice 1.3.0 cannot run AFC on a socket opened for another
// service, and app containers arrive on a house_arrest socket).

#include "device/LibimobiledeviceMobileDevice.h"

#include "base/Log.h"
#include "device/AFCWireClient.h"

#include <chrono>
#include <vector>

namespace {

class WireAFCConnection final : public AFCConnection
{
public:
    WireAFCConnection(AMServiceConnection& service, std::uint32_t ioTimeoutSeconds)
        : client(service, std::chrono::seconds(ioTimeoutSeconds))
        , ioTimeout(ioTimeoutSeconds)
    {
    }

    /// Records the outcome of one wire call so AFCConnectionCopyLastErrorInfo can explain it.
    MDStatus note(MDStatus status)
    {
        if (status == AFCStatus::Success) {
            return status;
        }
        lastErrorInfo = client.lastError();
        if (client.isBroken() && !reportedBreak) {
            // Once per connection: every later call fails the same way.
            reportedBreak = true;
            logLine(LOG_DEVICE, "AFC connection failed: %s", client.lastError().c_str());
        }
        return status;
    }

    AFCWireClient client;
    std::uint32_t ioTimeout;
    std::optional<std::string> lastErrorInfo;
    bool reportedBreak { false };
};

class WireAFCKeyValues final : public AFCKeyValues
{
public:
    AFCWireClient::KeyValues pairs;
    std::size_t next { 0 };
};

class WireAFCDirectory final : public AFCDirectory
{
public:
    std::vector<std::string> names;
    std::size_t next { 0 };
};

class SetModTimeOperation final : public AFCOperation
{
public:
    SetModTimeOperation(std::string operationPath, std::uint64_t nanoseconds)
        : path(std::move(operationPath))
        , nanosecondsSince1970(nanoseconds)
    {
    }

    std::string path;
    std::uint64_t nanosecondsSince1970;
    /// The device's answer once processed; "in progress" until then.
    MDStatus result { AFCStatus::OpInProgress };
};

// Handles made by another implementation (a test double) are refused rather than misread.
WireAFCConnection* wire(AFCConnection& connection)
{
    return dynamic_cast<WireAFCConnection*>(&connection);
}

std::optional<std::uint64_t> wireOpenMode(AFCFileMode mode)
{
    // Callers say read, write or both; devices need "w" and "w+" to create and empty a file
    // ("r+", wire 2, keeps old bytes beyond what is written).
    switch (mode) {
    case AFCFileMode::Read:
        return AFCWireOpenMode::ReadOnly;
    case AFCFileMode::Write:
        return AFCWireOpenMode::WriteTruncate;
    case AFCFileMode::ReadWrite:
        return AFCWireOpenMode::ReadWriteTruncate;
    }
    return std::nullopt;
}

} // namespace

MDStatus LibimobiledeviceMobileDevice::AFCConnectionOpen(AMServiceConnection& service,
    std::uint32_t ioTimeout,
    std::unique_ptr<AFCConnection>* connection)
{
    if (!connection) {
        return AFCStatus::InvalidArg;
    }
    if (!service.isOpen()) {
        return AFCStatus::ConnectionError;
    }
    *connection = std::make_unique<WireAFCConnection>(service, ioTimeout);
    return AFCStatus::Success;
}

MDStatus LibimobiledeviceMobileDevice::AFCConnectionClose(std::unique_ptr<AFCConnection> connection)
{
    // AFC has no goodbye packet; the service connection stays with its owner.
    return connection && wire(*connection) ? AFCStatus::Success : AFCStatus::InvalidArg;
}

MDStatus LibimobiledeviceMobileDevice::AFCDeviceInfoOpen(AFCConnection& connection,
    std::unique_ptr<AFCKeyValues>* pairs)
{
    WireAFCConnection* afc = wire(connection);
    if (!afc || !pairs) {
        return AFCStatus::InvalidArg;
    }
    auto values = std::make_unique<WireAFCKeyValues>();
    const MDStatus status = afc->note(afc->client.getDeviceInfo(values->pairs));
    if (status == AFCStatus::Success) {
        *pairs = std::move(values);
    }
    return status;
}

MDStatus LibimobiledeviceMobileDevice::AFCFileInfoOpen(AFCConnection& connection,
    const std::string& path,
    std::unique_ptr<AFCKeyValues>* pairs)
{
    WireAFCConnection* afc = wire(connection);
    if (!afc || !pairs) {
        return AFCStatus::InvalidArg;
    }
    auto values = std::make_unique<WireAFCKeyValues>();
    const MDStatus status = afc->note(afc->client.getFileInfo(path, values->pairs));
    if (status == AFCStatus::Success) {
        *pairs = std::move(values);
    }
    return status;
}

MDStatus LibimobiledeviceMobileDevice::AFCKeyValueRead(AFCKeyValues& pairs,
    std::optional<std::string>* key,
    std::optional<std::string>* value)
{
    auto* values = dynamic_cast<WireAFCKeyValues*>(&pairs);
    if (!values || !key || !value) {
        return AFCStatus::InvalidArg;
    }
    if (values->next >= values->pairs.size()) {
        key->reset();
        value->reset();
        return AFCStatus::Success;
    }
    auto& [k, v] = values->pairs[values->next++];
    *key = std::move(k);
    *value = std::move(v);
    return AFCStatus::Success;
}

MDStatus LibimobiledeviceMobileDevice::AFCKeyValueClose(std::unique_ptr<AFCKeyValues> pairs)
{
    return pairs && dynamic_cast<WireAFCKeyValues*>(pairs.get()) ? AFCStatus::Success : AFCStatus::InvalidArg;
}

MDStatus LibimobiledeviceMobileDevice::AFCDirectoryOpen(AFCConnection& connection,
    const std::string& path,
    std::unique_ptr<AFCDirectory>* directory)
{
    WireAFCConnection* afc = wire(connection);
    if (!afc || !directory) {
        return AFCStatus::InvalidArg;
    }
    auto listing = std::make_unique<WireAFCDirectory>();
    const MDStatus status = afc->note(afc->client.readDirectory(path, listing->names));
    if (status == AFCStatus::Success) {
        *directory = std::move(listing);
    }
    return status;
}

MDStatus LibimobiledeviceMobileDevice::AFCDirectoryRead(AFCConnection& connection,
    AFCDirectory& directory,
    std::optional<std::string>* name)
{
    auto* listing = dynamic_cast<WireAFCDirectory*>(&directory);
    if (!wire(connection) || !listing || !name) {
        return AFCStatus::InvalidArg;
    }
    if (listing->next >= listing->names.size()) {
        name->reset();
        return AFCStatus::Success;
    }
    *name = std::move(listing->names[listing->next++]);
    return AFCStatus::Success;
}

MDStatus LibimobiledeviceMobileDevice::AFCDirectoryClose(AFCConnection& connection,
    std::unique_ptr<AFCDirectory> directory)
{
    return wire(connection) && directory && dynamic_cast<WireAFCDirectory*>(directory.get()) ? AFCStatus::Success
                                                                                          : AFCStatus::InvalidArg;
}

MDStatus LibimobiledeviceMobileDevice::AFCDirectoryCreate(AFCConnection& connection, const std::string& path)
{
    WireAFCConnection* afc = wire(connection);
    return afc ? afc->note(afc->client.makeDirectory(path)) : AFCStatus::InvalidArg;
}

MDStatus LibimobiledeviceMobileDevice::AFCRemovePath(AFCConnection& connection, const std::string& path)
{
    WireAFCConnection* afc = wire(connection);
    return afc ? afc->note(afc->client.removePath(path)) : AFCStatus::InvalidArg;
}

MDStatus LibimobiledeviceMobileDevice::AFCRenamePath(AFCConnection& connection,
    const std::string& oldPath,
    const std::string& newPath)
{
    WireAFCConnection* afc = wire(connection);
    return afc ? afc->note(afc->client.renamePath(oldPath, newPath)) : AFCStatus::InvalidArg;
}

MDStatus LibimobiledeviceMobileDevice::AFCLinkPath(AFCConnection& connection,
    AFCLinkType type,
    const std::string& target,
    const std::string& link)
{
    WireAFCConnection* afc = wire(connection);
    if (!afc || (type != AFCLinkType::Hard && type != AFCLinkType::Symbolic)) {
        return AFCStatus::InvalidArg;
    }
    return afc->note(afc->client.makeLink(static_cast<std::uint64_t>(type), target, link));
}

MDStatus LibimobiledeviceMobileDevice::AFCFileRefOpen(AFCConnection& connection,
    const std::string& path,
    AFCFileMode mode,
    AFCFileRef* file)
{
    WireAFCConnection* afc = wire(connection);
    const std::optional<std::uint64_t> wireMode = wireOpenMode(mode);
    if (!afc || !file || !wireMode) {
        return AFCStatus::InvalidArg;
    }
    std::uint64_t handle = 0;
    const MDStatus status = afc->note(afc->client.fileOpen(path, *wireMode, handle));
    if (status == AFCStatus::Success) {
        *file = handle;
    }
    return status;
}

MDStatus LibimobiledeviceMobileDevice::AFCFileRefRead(AFCConnection& connection,
    AFCFileRef file,
    void* buffer,
    std::uint32_t* length)
{
    WireAFCConnection* afc = wire(connection);
    if (!afc || !length || (!buffer && *length > 0)) {
        return AFCStatus::InvalidArg;
    }
    std::uint32_t got = 0;
    const MDStatus status = afc->note(afc->client.fileRead(file, buffer, *length, got));
    *length = got;
    return status;
}

MDStatus LibimobiledeviceMobileDevice::AFCFileRefWrite(AFCConnection& connection,
    AFCFileRef file,
    const void* data,
    std::uint32_t length)
{
    WireAFCConnection* afc = wire(connection);
    if (!afc || (!data && length > 0)) {
        return AFCStatus::InvalidArg;
    }
    return afc->note(afc->client.fileWrite(file, data, length));
}

MDStatus LibimobiledeviceMobileDevice::AFCFileRefSeek(AFCConnection& connection,
    AFCFileRef file,
    std::int64_t offset,
    AFCSeekOrigin origin)
{
    WireAFCConnection* afc = wire(connection);
    return afc ? afc->note(afc->client.fileSeek(file, offset, static_cast<std::uint64_t>(origin)))
               : AFCStatus::InvalidArg;
}

MDStatus LibimobiledeviceMobileDevice::AFCFileRefTell(AFCConnection& connection,
    AFCFileRef file,
    std::uint64_t* position)
{
    WireAFCConnection* afc = wire(connection);
    if (!afc || !position) {
        return AFCStatus::InvalidArg;
    }
    return afc->note(afc->client.fileTell(file, *position));
}

MDStatus LibimobiledeviceMobileDevice::AFCFileRefSetFileSize(AFCConnection& connection,
    AFCFileRef file,
    std::uint64_t size)
{
    WireAFCConnection* afc = wire(connection);
    return afc ? afc->note(afc->client.fileSetSize(file, size)) : AFCStatus::InvalidArg;
}

MDStatus LibimobiledeviceMobileDevice::AFCFileRefClose(AFCConnection& connection, AFCFileRef file)
{
    WireAFCConnection* afc = wire(connection);
    return afc ? afc->note(afc->client.fileClose(file)) : AFCStatus::InvalidArg;
}

std::unique_ptr<AFCOperation> LibimobiledeviceMobileDevice::AFCOperationCreateSetModTime(const std::string& path,
    std::uint64_t nanosecondsSince1970)
{
    return std::make_unique<SetModTimeOperation>(path, nanosecondsSince1970);
}

double LibimobiledeviceMobileDevice::AFCConnectionGetIOTimeout(AFCConnection& connection)
{
    WireAFCConnection* afc = wire(connection);
    return afc ? static_cast<double>(afc->ioTimeout) : 0.0;
}

MDStatus LibimobiledeviceMobileDevice::AFCConnectionProcessOperation(AFCConnection& connection,
    AFCOperation& operation,
    double /*timeout: the connection's own I/O timeout already bounds every exchange*/)
{
    WireAFCConnection* afc = wire(connection);
    auto* setModTime = dynamic_cast<SetModTimeOperation*>(&operation);
    if (!afc || !setModTime) {
        return AFCStatus::InvalidArg;
    }
    const MDStatus status
        = afc->note(afc->client.setFileModTime(setModTime->path, setModTime->nanosecondsSince1970));
    if (afc->client.isBroken()) {
        // The operation never got its answer: the run itself failed.
        return status;
    }
    setModTime->result = status;
    return AFCStatus::Success;
}

MDStatus LibimobiledeviceMobileDevice::AFCOperationGetResultStatus(AFCOperation& operation)
{
    auto* setModTime = dynamic_cast<SetModTimeOperation*>(&operation);
    return setModTime ? setModTime->result : AFCStatus::InvalidArg;
}

std::optional<PlistDictionary> LibimobiledeviceMobileDevice::AFCConnectionCopyLastErrorInfo(AFCConnection& connection)
{
    WireAFCConnection* afc = wire(connection);
    if (!afc || !afc->lastErrorInfo) {
        return std::nullopt;
    }
    return PlistDictionary { { "NSLocalizedDescription", PlistValue(*afc->lastErrorInfo) } };
}

std::string LibimobiledeviceMobileDevice::AFCGetClientVersionString()
{
    return "Torvane AFC client 1.0";
}
