#include "sim/SimDaemon.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "sim/AFCServer.h"
#include "sim/LockdownServer.h"
#include "sim/SimDevice.h"
#include "sim/SimStream.h"

#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t USBMUX_HEADER_SIZE = 16;
// usbmuxd accepts client messages up to 64 KiB; a SavePairRecord is about 10 KB.
constexpr std::uint32_t USBMUX_MAX_MESSAGE = 64 * 1024;
constexpr std::uint32_t USBMUX_PLIST = 8;
constexpr std::uint16_t LOCKDOWN_PORT = 62078;
// Well past what a usbmuxd serves at once; idle ones are closed after CLIENT_IDLE_TIMEOUT.
constexpr int MAX_CLIENTS = 4096;
// Control connections are counted apart, so clients filling their limit never lock out `ctl`.
constexpr int MAX_CONTROLS = 64;
// A client that connected but sends no request within this long is dropped (listen and tunnel
// connections are past their request and stay as long as the client wants).
constexpr int CLIENT_IDLE_TIMEOUT_MS = 60 * 1000;

enum UsbmuxResult {
    ResultOk = 0,
    ResultBadCommand = 1,
    ResultBadDevice = 2,
    ResultConnectionRefused = 3,
    ResultInvalidArgument = 22,
};

bool readExact(int fd, void* buffer, std::size_t size)
{
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t got = ::recv(fd, bytes, size, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= std::size_t(got);
    }
    return true;
}

bool writeAll(int fd, const void* buffer, std::size_t size, int flags = 0)
{
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL | flags);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        if (flags & MSG_DONTWAIT && std::size_t(sent) != size) {
            return false; // a slow listener must not get half an event
        }
        bytes += sent;
        size -= std::size_t(sent);
    }
    return true;
}

std::uint32_t readLe32(const std::uint8_t* bytes)
{
    return std::uint32_t(bytes[0]) | (std::uint32_t(bytes[1]) << 8) | (std::uint32_t(bytes[2]) << 16)
        | (std::uint32_t(bytes[3]) << 24);
}

void writeLe32(std::string& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(char((value >> shift) & 0xFF));
    }
}

std::string usbmuxFrame(std::uint32_t tag, const std::string& payload)
{
    std::string frame;
    frame.reserve(USBMUX_HEADER_SIZE + payload.size());
    writeLe32(frame, std::uint32_t(USBMUX_HEADER_SIZE + payload.size()));
    writeLe32(frame, 1);
    writeLe32(frame, USBMUX_PLIST);
    writeLe32(frame, tag);
    frame += payload;
    return frame;
}

int bindUnixSocket(const fs::path& path, std::string* error)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.string().size() >= sizeof(address.sun_path)) {
        if (error) {
            *error = "socket path too long: " + path.string();
        }
        return -1;
    }
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    // A socket left by a killed daemon is replaced; a live daemon on it is not disturbed.
    struct stat info
    {
    };
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            if (error) {
                *error = path.string() + " exists and is not a socket";
            }
            return -1;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0) {
            ::close(probe);
        }
        if (live) {
            if (error) {
                *error = "another daemon is listening on " + path.string();
            }
            return -1;
        }
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 128) != 0) {
        if (error) {
            *error = "cannot listen on " + path.string() + ": " + std::strerror(errno);
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

bool isSafeRecordId(const std::string& id)
{
    return !id.empty() && id.size() <= 64 && id.find_first_not_of("0123456789abcdefABCDEF-") == std::string::npos;
}

} // namespace

SimDaemon::SimDaemon()
{
    registerServices(m_catalog);
}

SimDaemon::~SimDaemon()
{
    if (m_stateLockFd >= 0) {
        ::close(m_stateLockFd);
    }
    for (int& fd : m_wakePipe) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

fs::path SimDaemon::controlSocketPath(const fs::path& socketPath)
{
    return socketPath.string() + ".ctl";
}

bool SimDaemon::start(const Options& options, std::string* error)
{
    m_options = options;
    std::error_code code;
    fs::create_directories(m_options.stateDir / "pair-records", code);
    if (code) {
        if (error) {
            *error = "cannot create the state folder " + m_options.stateDir.string() + ": " + code.message();
        }
        return false;
    }
    // Two daemons on one state folder would overwrite each other's phones and pair records.
    m_stateLockFd = ::open((m_options.stateDir / "daemon.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_stateLockFd < 0 || ::flock(m_stateLockFd, LOCK_EX | LOCK_NB) != 0) {
        if (error) {
            *error = "the state folder " + m_options.stateDir.string() + " is in use by another torvane-simd";
        }
        return false;
    }
    // Every client is a descriptor; the usual soft limit of 1024 would cap them first.
    rlimit files {};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &files);
    }
    const fs::path buidFile = m_options.stateDir / "SystemBUID";
    std::ifstream(buidFile) >> m_systemBuid;
    if (m_systemBuid.size() != 36) {
        m_systemBuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
        std::ofstream(buidFile, std::ios::trunc) << m_systemBuid << '\n';
    }
    // The same phone twice is a mistake on the command line, not a request for one phone.
    std::set<std::string> udids;
    for (const std::string& name : m_options.profiles) {
        const std::optional<SimProfile> profile = SimProfile::load(name, error);
        if (!profile) {
            return false;
        }
        if (!udids.insert(profile->udid).second) {
            if (error) {
                *error = "the profile " + name + " is given twice (both are the phone " + profile->udid + ")";
            }
            return false;
        }
    }
    for (const std::string& name : m_options.profiles) {
        std::shared_ptr<SimDevice> device = loadDevice(name, error);
        if (!device) {
            return false;
        }
        attach(device);
    }
    if (::pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error) {
            *error = "pipe failed";
        }
        return false;
    }
    m_listenFd = bindUnixSocket(m_options.socketPath, error);
    if (m_listenFd < 0) {
        return false;
    }
    m_controlFd = bindUnixSocket(controlSocketPath(m_options.socketPath), error);
    if (m_controlFd < 0) {
        ::close(m_listenFd);
        ::unlink(m_options.socketPath.c_str());
        m_listenFd = -1;
        return false;
    }
    return true;
}

std::shared_ptr<SimDevice> SimDaemon::loadDevice(const std::string& profileName, std::string* error)
{
    const std::optional<SimProfile> profile = SimProfile::load(profileName, error);
    if (!profile) {
        return nullptr;
    }
    if (std::shared_ptr<SimDevice> known = deviceByUdid(profile->udid)) {
        return known;
    }
    std::shared_ptr<SimDevice> device = SimDevice::open(*profile, m_options.stateDir, error);
    if (!device) {
        return nullptr;
    }
    std::lock_guard lock(m_mutex);
    device->setDeviceId(m_nextDeviceId++);
    m_devices.push_back(device);
    logLine(LOG_SIM, "Loaded %s (%s, %s) as device %d", device->udid().c_str(), profile->productType.c_str(),
        profile->productVersion.c_str(), device->deviceId());
    return device;
}

void SimDaemon::requestStop()
{
    m_stopping = true;
    if (m_wakePipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(m_wakePipe[1], &byte, 1);
    }
}

void SimDaemon::run()
{
    while (!m_stopping) {
        pollfd fds[3] = { { m_listenFd, POLLIN, 0 }, { m_controlFd, POLLIN, 0 }, { m_wakePipe[0], POLLIN, 0 } };
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN)) {
                continue;
            }
            const int client = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            spawn(client, i == 0 ? &SimDaemon::serveClient : &SimDaemon::serveControl);
        }
    }

    ::close(m_listenFd);
    ::close(m_controlFd);
    ::unlink(m_options.socketPath.c_str());
    ::unlink(controlSocketPath(m_options.socketPath).c_str());
    std::vector<std::shared_ptr<SimDevice>> devices;
    {
        std::unique_lock lock(m_mutex);
        devices = m_devices;
        for (const int fd : m_clients) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    for (const auto& device : devices) {
        device->faults().releaseAll();
    }
    {
        std::unique_lock lock(m_mutex);
        m_threadsDone.wait_for(lock, std::chrono::seconds(5), [this] { return m_activeThreads == 0; });
    }
    for (const auto& device : devices) {
        device->storage().stopPurger();
        device->flush();
    }
    logLine(LOG_SIM, "Stopped");
}

void SimDaemon::spawn(int fd, void (SimDaemon::*serve)(int))
{
    const bool control = serve == &SimDaemon::serveControl;
    {
        std::lock_guard lock(m_mutex);
        const int active = control ? m_activeControls : m_activeThreads - m_activeControls;
        if (active >= (control ? MAX_CONTROLS : MAX_CLIENTS) || m_stopping) {
            ::close(fd);
            return;
        }
        ++m_activeThreads;
        m_activeControls += control ? 1 : 0;
        m_clients.insert(fd);
    }
    std::thread([this, fd, serve, control] {
        (this->*serve)(fd);
        std::lock_guard lock(m_mutex);
        m_clients.erase(fd);
        m_listeners.erase(fd);
        ::close(fd);
        --m_activeThreads;
        m_activeControls -= control ? 1 : 0;
        m_threadsDone.notify_all();
    }).detach();
}

bool SimDaemon::sendPlist(int fd, std::uint32_t tag, const PlistValue& message)
{
    const std::optional<std::string> xml = PlistCodec::toXml(message);
    if (!xml) {
        return false;
    }
    const std::string frame = usbmuxFrame(tag, *xml);
    return writeAll(fd, frame.data(), frame.size());
}

bool SimDaemon::sendResult(int fd, std::uint32_t tag, int number)
{
    return sendPlist(
        fd, tag, PlistDictionary { { "MessageType", PlistValue("Result") }, { "Number", PlistValue(number) } });
}

PlistValue SimDaemon::attachedEvent(const SimDevice& device) const
{
    const bool network = device.faults().snapshot().networkOnly;
    PlistDictionary properties {
        { "DeviceID", PlistValue(device.deviceId()) },
        { "SerialNumber", PlistValue(device.udid()) },
        { "ProductID", PlistValue(device.profile().productId) },
        { "LocationID", PlistValue(0) },
    };
    if (network) {
        properties["ConnectionType"] = PlistValue("Network");
        // A raw sockaddr_in: length, family (AF_INET as on the daemon's side), port, 192.168.1.x.
        PlistData address(16, 0);
        address[0] = 16;
        address[1] = 2;
        address[4] = 192;
        address[5] = 168;
        address[6] = 1;
        address[7] = std::uint8_t(10 + device.deviceId() % 200);
        properties["NetworkAddress"] = PlistValue(address);
        properties["EscapedFullServiceName"]
            = PlistValue(device.profile().wifiAddress + "@fe80::._apple-mobdev2._tcp.local.");
    } else {
        properties["ConnectionType"] = PlistValue("USB");
        properties["ConnectionSpeed"] = PlistValue(480000000);
    }
    return PlistDictionary {
        { "MessageType", PlistValue("Attached") },
        { "DeviceID", PlistValue(device.deviceId()) },
        { "Properties", PlistValue(properties) },
    };
}

void SimDaemon::broadcast(const PlistValue& event)
{
    const std::optional<std::string> xml = PlistCodec::toXml(event);
    if (!xml) {
        return;
    }
    const std::string frame = usbmuxFrame(0, *xml);
    std::lock_guard lock(m_mutex);
    for (auto it = m_listeners.begin(); it != m_listeners.end();) {
        if (!writeAll(*it, frame.data(), frame.size(), MSG_DONTWAIT)) {
            // The listener is gone or stuck; its thread sees the shutdown and cleans up.
            ::shutdown(*it, SHUT_RDWR);
            it = m_listeners.erase(it);
        } else {
            ++it;
        }
    }
}

bool SimDaemon::attach(const std::shared_ptr<SimDevice>& device)
{
    if (device->isAttached()) {
        return false;
    }
    device->setAttached(true);
    broadcast(attachedEvent(*device));
    logLine(LOG_SIM, "Attached %s", device->udid().c_str());
    return true;
}

bool SimDaemon::detach(const std::shared_ptr<SimDevice>& device)
{
    if (!device->isAttached()) {
        return false;
    }
    device->setAttached(false);
    broadcast(
        PlistDictionary { { "MessageType", PlistValue("Detached") }, { "DeviceID", PlistValue(device->deviceId()) } });
    device->closeConnections();
    logLine(LOG_SIM, "Detached %s", device->udid().c_str());
    return true;
}

std::shared_ptr<SimDevice> SimDaemon::deviceById(std::int64_t id) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& device : m_devices) {
        if (device->deviceId() == id) {
            return device;
        }
    }
    return nullptr;
}

std::shared_ptr<SimDevice> SimDaemon::deviceByUdid(const std::string& udid) const
{
    std::lock_guard lock(m_mutex);
    for (const auto& device : m_devices) {
        if (device->udid() == udid) {
            return device;
        }
    }
    return nullptr;
}

fs::path SimDaemon::pairRecordPath(const std::string& recordId) const
{
    return m_options.stateDir / "pair-records" / (recordId + ".plist");
}

void SimDaemon::serveClient(int fd)
{
    for (;;) {
        // Waiting for a request: a client that never sends one is let go after a while.
        pollfd waiting { fd, POLLIN, 0 };
        int ready = 0;
        do {
            ready = ::poll(&waiting, 1, CLIENT_IDLE_TIMEOUT_MS);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) {
            return;
        }
        std::uint8_t header[USBMUX_HEADER_SIZE];
        if (!readExact(fd, header, sizeof header)) {
            return;
        }
        const std::uint32_t length = readLe32(header);
        const std::uint32_t version = readLe32(header + 4);
        const std::uint32_t type = readLe32(header + 8);
        const std::uint32_t tag = readLe32(header + 12);
        if (length < USBMUX_HEADER_SIZE || length > USBMUX_MAX_MESSAGE) {
            logLine(LOG_SIM, "usbmux message of %u bytes refused; closing", length);
            return;
        }
        std::string payload(length - USBMUX_HEADER_SIZE, '\0');
        if (!readExact(fd, payload.data(), payload.size())) {
            return;
        }
        // Only the plist protocol is spoken. Result 6 would push the client into its broken
        // binary fallback, so anything else is a bad command.
        if (version != 1 || type != USBMUX_PLIST) {
            if (!sendResult(fd, tag, ResultBadCommand)) {
                return;
            }
            continue;
        }
        const std::optional<PlistValue> request = PlistCodec::fromXml(payload);
        if (!request || !request->isDictionary()) {
            if (!sendResult(fd, tag, ResultBadCommand)) {
                return;
            }
            continue;
        }
        const std::string messageType = request->stringForKey("MessageType");
        if (messageType == "Listen") {
            serveListener(fd, tag);
            return;
        }
        if (messageType == "Connect") {
            tunnel(fd, tag, *request);
            return;
        }
        bool sent = false;
        if (messageType == "ListDevices") {
            PlistArray list;
            {
                std::vector<std::shared_ptr<SimDevice>> devices;
                {
                    std::lock_guard lock(m_mutex);
                    devices = m_devices;
                }
                for (const auto& device : devices) {
                    if (device->isAttached()) {
                        list.push_back(attachedEvent(*device));
                    }
                }
            }
            sent = sendPlist(fd, tag, PlistDictionary { { "DeviceList", PlistValue(list) } });
        } else if (messageType == "ReadBUID") {
            sent = sendPlist(fd, tag, PlistDictionary { { "BUID", PlistValue(m_systemBuid) } });
        } else if (messageType == "ReadPairRecord") {
            const std::string id = request->stringForKey("PairRecordID");
            std::string record;
            if (isSafeRecordId(id)) {
                std::lock_guard lock(m_pairRecordMutex);
                std::ifstream in(pairRecordPath(id), std::ios::binary);
                std::ostringstream bytes;
                bytes << in.rdbuf();
                record = bytes.str();
            }
            // Never Result 0 without data: the 1.3.0 client dereferences the missing record.
            sent = record.empty()
                ? sendResult(fd, tag, isSafeRecordId(id) ? ResultBadDevice : ResultInvalidArgument)
                : sendPlist(fd, tag,
                    PlistDictionary { { "PairRecordData", PlistValue(PlistData(record.begin(), record.end())) } });
        } else if (messageType == "SavePairRecord") {
            const std::string id = request->stringForKey("PairRecordID");
            const PlistValue* data = request->find("PairRecordData");
            if (!isSafeRecordId(id) || !data || !data->isData() || data->asData()->empty()) {
                sent = sendResult(fd, tag, ResultInvalidArgument);
            } else {
                bool written = false;
                {
                    std::lock_guard lock(m_pairRecordMutex);
                    const fs::path target = pairRecordPath(id);
                    const fs::path temporary = target.string() + ".new";
                    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
                    out.write(
                        reinterpret_cast<const char*>(data->asData()->data()), std::streamsize(data->asData()->size()));
                    out.close();
                    std::error_code code;
                    if (out) {
                        fs::rename(temporary, target, code);
                        written = !code;
                    }
                }
                sent = sendResult(fd, tag, written ? ResultOk : ResultInvalidArgument);
                const PlistValue* deviceId = request->find("DeviceID");
                if (written && deviceId && deviceId->toInt64()) {
                    const std::shared_ptr<SimDevice> device = deviceById(*deviceId->toInt64());
                    if (device && device->udid() == id && device->isAttached()) {
                        broadcast(PlistDictionary {
                            { "MessageType", PlistValue("Paired") }, { "DeviceID", PlistValue(device->deviceId()) } });
                    }
                }
            }
        } else if (messageType == "DeletePairRecord") {
            const std::string id = request->stringForKey("PairRecordID");
            bool removed = false;
            if (isSafeRecordId(id)) {
                std::lock_guard lock(m_pairRecordMutex);
                std::error_code code;
                removed = fs::remove(pairRecordPath(id), code);
            }
            sent = sendResult(
                fd, tag, removed ? ResultOk : (isSafeRecordId(id) ? ResultBadDevice : ResultInvalidArgument));
        } else {
            sent = sendResult(fd, tag, ResultBadCommand);
        }
        if (!sent) {
            return;
        }
    }
}

void SimDaemon::serveListener(int fd, std::uint32_t tag)
{
    {
        // Result first, then one Attached per device, then live events: the client drops any event
        // that arrives before the Result.
        std::lock_guard lock(m_mutex);
        const std::optional<std::string> result = PlistCodec::toXml(
            PlistDictionary { { "MessageType", PlistValue("Result") }, { "Number", PlistValue(0) } });
        std::string frames = usbmuxFrame(tag, result.value_or(std::string()));
        for (const auto& device : m_devices) {
            if (device->isAttached()) {
                frames += usbmuxFrame(0, PlistCodec::toXml(attachedEvent(*device)).value_or(std::string()));
            }
        }
        if (!writeAll(fd, frames.data(), frames.size())) {
            return;
        }
        m_listeners.insert(fd);
    }
    // The client never speaks again on a listen socket; wait for it to go away.
    char sink[512];
    for (;;) {
        const ssize_t got = ::recv(fd, sink, sizeof sink, 0);
        if (got > 0 || (got < 0 && errno == EINTR)) {
            continue;
        }
        return;
    }
}

void SimDaemon::tunnel(int fd, std::uint32_t tag, const PlistValue& request)
{
    const PlistValue* deviceIdValue = request.find("DeviceID");
    const PlistValue* portValue = request.find("PortNumber");
    const std::shared_ptr<SimDevice> device
        = deviceIdValue && deviceIdValue->toInt64() ? deviceById(*deviceIdValue->toInt64()) : nullptr;
    if (!device || !device->isAttached()) {
        sendResult(fd, tag, ResultBadDevice);
        return;
    }
    const std::optional<std::uint64_t> rawPort = portValue ? portValue->toUInt64() : std::nullopt;
    if (!rawPort || *rawPort > 0xFFFF) {
        sendResult(fd, tag, ResultConnectionRefused);
        return;
    }
    // The client stores htons(port) as a plain integer.
    const auto port = std::uint16_t(((*rawPort & 0xFF) << 8) | ((*rawPort >> 8) & 0xFF));
    std::optional<SimDevice::ServicePort> service;
    if (port != LOCKDOWN_PORT) {
        service = device->serviceForPort(port);
        if (!service) {
            sendResult(fd, tag, ResultConnectionRefused);
            return;
        }
    }
    device->addConnection(fd);
    if (!device->isAttached()) { // detached while we looked: the cable is gone
        device->removeConnection(fd);
        sendResult(fd, tag, ResultBadDevice);
        return;
    }
    if (sendResult(fd, tag, ResultOk)) {
        if (!service) {
            SimStream stream(fd, &device->faults(), SimStream::Kind::Lockdown);
            runLockdown(*device, stream, m_catalog);
        } else if (const ServiceCatalog::Entry* entry = m_catalog.find(service->serviceName)) {
            SimStream stream(fd, &device->faults(), SimStream::Kind::Service);
            // A service started with EnableServiceSSL begins with the host's TLS handshake.
            const SimTls::Context tls = service->tlsHostId.empty() ? nullptr : device->tlsContext(service->tlsHostId);
            if (service->tlsHostId.empty() || (tls && stream.startTls(tls.get()))) {
                SimServiceContext context { *device, stream, service->serviceName,
                    [this, device] { return m_stopping.load() || !device->isAttached(); } };
                entry->handler(context);
            }
        }
    }
    device->removeConnection(fd);
}

void SimDaemon::serveControl(int fd)
{
    std::string request;
    char buffer[4096];
    for (;;) {
        // `ctl` sends its words at once; a control client that goes quiet must not hold its slot.
        pollfd waiting { fd, POLLIN, 0 };
        const int ready = ::poll(&waiting, 1, CLIENT_IDLE_TIMEOUT_MS);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return;
        }
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        request.append(buffer, std::size_t(got));
        if (request.size() > 64 * 1024) {
            return;
        }
    }
    std::vector<std::string> words;
    std::istringstream lines(request);
    for (std::string line; std::getline(lines, line);) {
        words.push_back(line);
    }
    bool ok = false;
    const std::string text = control(words, ok);
    const std::string reply = (ok ? "OK\n" : "ERROR ") + text + (text.empty() || text.back() == '\n' ? "" : "\n");
    writeAll(fd, reply.data(), reply.size());
}

std::string SimDaemon::control(const std::vector<std::string>& words, bool& ok)
{
    ok = false;
    if (words.empty()) {
        return "no command";
    }
    const std::string& command = words[0];
    const auto deviceArgument = [&](std::string& error) -> std::shared_ptr<SimDevice> {
        if (words.size() < 2) {
            error = command + " needs a UDID";
            return nullptr;
        }
        std::shared_ptr<SimDevice> device = deviceByUdid(words[1]);
        if (!device) {
            error = "no device " + words[1];
        }
        return device;
    };
    std::string error;
    if (command == "list") {
        std::vector<std::shared_ptr<SimDevice>> devices;
        {
            std::lock_guard lock(m_mutex);
            devices = m_devices;
        }
        std::string out;
        for (const auto& device : devices) {
            out += device->udid() + "\t" + (device->isAttached() ? "attached" : "detached") + "\t"
                + std::to_string(device->deviceId()) + "\t" + device->profile().profileName + "\t"
                + device->deviceName();
            if (const SimTrust::State trust = device->trust().state(); trust != SimTrust::State::Trusted) {
                out += std::string("\ttrust ") + SimTrust::name(trust);
            }
            for (const std::string& fault : device->faults().describe()) {
                out += "\t" + fault;
            }
            if (const int waiting = afcLockWaiters(*device); waiting > 0) {
                out += "\tafc-lock-waits " + std::to_string(waiting);
            }
            out += "\n";
        }
        ok = true;
        return out;
    }
    if (command == "attach") {
        if (words.size() < 2) {
            return "attach needs a UDID, a profile name or a profile file";
        }
        std::shared_ptr<SimDevice> device = deviceByUdid(words[1]);
        if (!device) {
            device = loadDevice(words[1], &error);
            if (!device) {
                return error;
            }
        }
        if (!attach(device)) {
            return device->udid() + " is already attached";
        }
        ok = true;
        return device->udid();
    }
    std::shared_ptr<SimDevice> device = deviceArgument(error);
    if (!device) {
        return error;
    }
    if (command == "detach") {
        if (!detach(device)) {
            return device->udid() + " is not attached";
        }
        ok = true;
        return device->udid();
    }
    if (command == "storage") {
        SimStorage& storage = device->storage();
        ok = true;
        return "total " + std::to_string(storage.totalBytes()) + "\nfree " + std::to_string(storage.freeBytes())
            + "\nallocated " + std::to_string(storage.allocatedBytes()) + "\nreserve "
            + std::to_string(storage.reserveBytes()) + "\nfiles " + std::to_string(storage.fileBytes()) + "\npurgeable "
            + std::to_string(storage.purgeableBytes()) + "\n";
    }
    if (command == "trust") {
        const std::optional<SimTrust::State> state
            = words.size() > 2 ? SimTrust::parse(words[2]) : std::optional<SimTrust::State>();
        if (!state) {
            return "trust needs a UDID and trusted | passcode-locked | dialog-pending | denied | forgotten";
        }
        device->setTrustState(*state);
        ok = true;
        return {};
    }
    if (command == "clear-faults") {
        const bool wasNetwork = device->faults().snapshot().networkOnly;
        device->faults().clear();
        if (wasNetwork && device->isAttached()) {
            detach(device);
            attach(device);
        }
        ok = true;
        return {};
    }
    if (command != "fault") {
        return "unknown command " + command;
    }
    if (words.size() < 3) {
        return "fault needs a UDID and a kind";
    }
    const std::string& kind = words[2];
    const auto number = [&](std::size_t index, std::uint64_t& out) {
        if (words.size() <= index || words[index].empty()
            || words[index].find_first_not_of("0123456789") != std::string::npos || words[index].size() > 18) {
            return false;
        }
        out = std::stoull(words[index]);
        return true;
    };
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    if (kind == "close-after" && number(3, first)) {
        device->faults().setCloseAfterBytes(first);
    } else if (kind == "afc-status" && number(3, first) && number(4, second)) {
        device->faults().setAfcStatus(first, second);
    } else if (kind == "afc-cut-reply" && number(3, first)) {
        device->faults().setAfcCutReply(first);
    } else if (kind == "stall") {
        if (words.size() > 3 && !number(3, first)) {
            return "stall takes an optional number of milliseconds";
        }
        device->faults().setStall(int(std::min<std::uint64_t>(first, 3600000)));
    } else if (kind == "afc-lock-wait" && number(3, first)) {
        device->faults().setAfcLockWait(int(std::min<std::uint64_t>(first, AFC_LOCK_WAIT_MS)));
    } else if (kind == "refuse-session") {
        device->faults().setRefuseSession(true);
    } else if (kind == "refuse-services") {
        device->faults().setRefuseServices(true, words.size() > 3 ? words[3] : std::string());
    } else if (kind == "network-only") {
        device->faults().setNetworkOnly(true);
        if (device->isAttached()) {
            detach(device);
            attach(device);
        }
    } else if (kind == "split-writes" && number(3, first) && (words.size() <= 4 || number(4, second))) {
        // Pauses are capped so that a mistyped figure cannot hang a connection for long.
        device->faults().setSplitWrites(
            int(std::min<std::uint64_t>(first, 10000)), int(std::clamp<std::uint64_t>(second, 1, 1000000)));
    } else if (kind == "link-rate" && words.size() == 4 && number(3, first)) {
        // In MB/s (10^6 bytes), as link speeds are given; capped at 100 GB/s, far above any cable.
        device->faults().setLinkRate(std::min<std::uint64_t>(first, 100000) * 1'000'000ULL);
    } else if (kind == "installer-error" && words.size() > 4 && !words[3].empty() && !words[4].empty()) {
        device->faults().setInstallerError(words[3], words[4]);
    } else if (kind == "installer-cut-reply" && words.size() > 3 && !words[3].empty()
        && (words.size() == 4 || (words.size() == 5 && (words[4] == "after" || words[4] == "before")))) {
        device->faults().setInstallerCutReply(words[3], words.size() == 4 || words[4] == "after");
    } else {
        return "unknown fault; use close-after BYTES | afc-status OPERATION STATUS | afc-cut-reply OPERATION | "
               "stall [MS] | afc-lock-wait MS | refuse-session | refuse-services [ERROR] | network-only | split-writes "
               "MS [EVERY] | link-rate MB_PER_S | "
               "installer-error COMMAND ERROR | installer-cut-reply COMMAND [after|before]";
    }
    ok = true;
    return {};
}
