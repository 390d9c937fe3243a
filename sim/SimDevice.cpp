#include "sim/SimDevice.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "sim/content/ContentGenerator.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <fstream>
#include <sstream>

#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/socket.h>

namespace fs = std::filesystem;

namespace {

// Folders a set-up phone always has (the rest appear when a feature is first used).
const char* const SKELETON[] = {
    "private/var/mobile/Media/DCIM",
    "private/var/mobile/Media/PhotoData",
    "private/var/mobile/Media/Photos",
    "private/var/mobile/Media/iTunes_Control/iTunes",
    "private/var/mobile/Media/iTunes_Control/Music",
    "private/var/mobile/Media/Downloads",
    "private/var/mobile/Media/Books",
    "private/var/mobile/Media/Purchases",
    "private/var/mobile/Media/Recordings",
    "private/var/mobile/Library/Logs/CrashReporter",
    "private/var/mobile/Containers/Data/Application",
};

bool createSkeleton(const fs::path& root, std::string* error)
{
    std::error_code code;
    for (const char* folder : SKELETON) {
        fs::create_directories(root / folder, code);
        if (code) {
            if (error) {
                *error = "cannot create " + (root / folder).string() + ": " + code.message();
            }
            return false;
        }
    }
    // As on the phone, /var is a link to /private/var.
    fs::create_directory_symlink("private/var", root / "var", code);
    return true;
}

std::string generateKeyPair(std::string& privatePem)
{
    EVP_PKEY* key = EVP_RSA_gen(2048);
    if (!key) {
        return {};
    }
    std::string publicPem;
    // "type-specific" gives the PKCS#1 form the host's pairing code insists on.
    OSSL_ENCODER_CTX* encoder
        = OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr);
    unsigned char* data = nullptr;
    size_t length = 0;
    if (encoder && OSSL_ENCODER_to_data(encoder, &data, &length) == 1) {
        publicPem.assign(reinterpret_cast<const char*>(data), length);
        OPENSSL_free(data);
    }
    OSSL_ENCODER_CTX_free(encoder);
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio && PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
        char* bytes = nullptr;
        const long size = BIO_get_mem_data(bio, &bytes);
        privatePem.assign(bytes, std::size_t(size));
    }
    BIO_free(bio);
    EVP_PKEY_free(key);
    return publicPem;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

SimDevice::SimDevice(const SimProfile& profile, fs::path stateFolder)
    : m_profile(profile)
    , m_stateFolder(std::move(stateFolder))
    , m_fsRoot(m_stateFolder / "fs")
    , m_birthTimes(m_stateFolder / "birthtimes.tsv")
    , m_deviceName(profile.deviceName)
{
}

SimDevice::~SimDevice()
{
    m_faults.releaseAll();
    if (m_storage) {
        m_storage->stopPurger();
    }
    flush();
}

std::shared_ptr<SimDevice> SimDevice::open(const SimProfile& profile, const fs::path& stateRoot, std::string* error)
{
    std::shared_ptr<SimDevice> device(new SimDevice(profile, stateRoot / "devices" / profile.udid));
    if (!device->loadState(error)) {
        return nullptr;
    }
    return device;
}

bool SimDevice::loadState(std::string* error)
{
    std::error_code code;
    fs::create_directories(m_stateFolder, code);
    if (code) {
        if (error) {
            *error = "cannot create " + m_stateFolder.string() + ": " + code.message();
        }
        return false;
    }
    m_birthTimes.load();
    if (!fs::is_directory(m_fsRoot)) {
        // First start: build the file system aside and move it in place only when complete, so an
        // interrupted generation is redone instead of leaving a half-filled phone.
        const fs::path partial = m_stateFolder / "fs.partial";
        fs::remove_all(partial, code);
        if (!createSkeleton(partial, error)) {
            return false;
        }
        std::string reason;
        if (!populateDeviceContent(m_profile, partial, m_birthTimes, &reason)) {
            if (error) {
                *error = "cannot generate the content of " + m_profile.udid + ": " + reason;
            }
            fs::remove_all(partial, code);
            return false;
        }
        fs::rename(partial, m_fsRoot, code);
        if (code) {
            if (error) {
                *error = "cannot create " + m_fsRoot.string() + ": " + code.message();
            }
            return false;
        }
        m_birthTimes.save();
    }

    QFile file(QString::fromStdString((m_stateFolder / "device.json").string()));
    if (file.open(QIODevice::ReadOnly) && file.size() < 1024 * 1024) {
        const QJsonObject saved = QJsonDocument::fromJson(file.readAll()).object();
        const QString name = saved.value(QLatin1String("deviceName")).toString();
        if (!name.isEmpty()) {
            m_deviceName = name.toStdString();
        }
        for (const QJsonValue host : saved.value(QLatin1String("trustedHosts")).toArray()) {
            m_trustedHosts.insert(host.toString().toStdString());
        }
    }
    m_publicKeyPem = readFile(m_stateFolder / "device-public-key.pem");
    m_privateKeyPem = readFile(m_stateFolder / "device-private-key.pem");
    if (m_publicKeyPem.empty() != m_privateKeyPem.empty()) {
        m_publicKeyPem.clear(); // half a key pair: make a new one on first use
        m_privateKeyPem.clear();
    }
    const std::string pairings = readFile(m_stateFolder / "pairings.plist");
    if (const std::optional<PlistValue> saved = PlistCodec::fromAny(pairings); saved && saved->isDictionary()) {
        const auto pem = [](const PlistValue& record, const char* key) {
            const PlistValue* value = record.find(key);
            const PlistData* data = value ? value->asData() : nullptr;
            return data ? std::string(data->begin(), data->end()) : std::string();
        };
        for (const auto& [hostId, record] : *saved->asDictionary()) {
            m_pairings[hostId] = SimPairing { pem(record, "RootCertificate"), pem(record, "HostCertificate"),
                pem(record, "DeviceCertificate") };
        }
    }

    m_storage = std::make_unique<SimStorage>(m_profile, m_fsRoot, m_stateFolder / "storage.json");
    m_storage->load();
    m_storage->setPurgeObserver([this](std::uint64_t purged) {
        m_events.postSyslog("deleted", 112, "Notice", "Purged " + std::to_string(purged) + " bytes of purgeable data");
    });
    m_storage->startPurger();
    if (m_profile.trust) {
        setTrustState(*m_profile.trust);
    }
    return true;
}

void SimDevice::saveState() const
{
    QJsonObject object;
    QJsonArray hosts;
    {
        std::lock_guard lock(m_mutex);
        object.insert(QLatin1String("deviceName"), QString::fromStdString(m_deviceName));
        for (const std::string& host : m_trustedHosts) {
            hosts.append(QString::fromStdString(host));
        }
    }
    object.insert(QLatin1String("trustedHosts"), hosts);
    QSaveFile file(QString::fromStdString((m_stateFolder / "device.json").string()));
    if (!file.open(QIODevice::WriteOnly)) {
        logLine(LOG_SIM, "Cannot write the state of %s", m_profile.udid.c_str());
        return;
    }
    file.write(QJsonDocument(object).toJson());
    if (!file.commit()) {
        logLine(LOG_SIM, "Cannot write the state of %s", m_profile.udid.c_str());
    }
}

std::string SimDevice::deviceName() const
{
    std::lock_guard lock(m_mutex);
    return m_deviceName;
}

void SimDevice::setDeviceName(const std::string& name)
{
    {
        std::lock_guard lock(m_mutex);
        m_deviceName = name;
    }
    saveState();
}

fs::path SimDevice::hostPath(const std::string& devicePath) const
{
    fs::path relative = fs::path(devicePath).relative_path().lexically_normal();
    for (const auto& part : relative) {
        if (part == "..") {
            return m_fsRoot; // never outside the device
        }
    }
    return m_fsRoot / relative;
}

bool SimDevice::isAttached() const
{
    std::lock_guard lock(m_mutex);
    return m_attached;
}

void SimDevice::setAttached(bool attached)
{
    std::lock_guard lock(m_mutex);
    m_attached = attached;
}

std::uint16_t SimDevice::openServicePort(const std::string& serviceName, const std::string& tlsHostId)
{
    std::lock_guard lock(m_mutex);
    const std::uint16_t port = m_nextPort;
    m_nextPort = m_nextPort >= 65000 ? 49152 : std::uint16_t(m_nextPort + 1);
    m_servicePorts[port] = ServicePort { serviceName, tlsHostId };
    // Keep a bounded window of recent ports: a client that starts services in a loop cannot grow
    // the table without limit.
    while (m_servicePorts.size() > 512) {
        m_servicePorts.erase(m_servicePorts.upper_bound(port) != m_servicePorts.end() ? m_servicePorts.upper_bound(port)
                                                                                      : m_servicePorts.begin());
    }
    return port;
}

std::optional<SimDevice::ServicePort> SimDevice::serviceForPort(std::uint16_t port) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_servicePorts.find(port);
    if (it == m_servicePorts.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool SimDevice::isHostTrusted(const std::string& hostId) const
{
    std::lock_guard lock(m_mutex);
    return m_trustedHosts.count(hostId) != 0;
}

void SimDevice::trustHost(const std::string& hostId)
{
    {
        std::lock_guard lock(m_mutex);
        m_trustedHosts.insert(hostId);
    }
    saveState();
}

void SimDevice::untrustHost(const std::string& hostId)
{
    bool hadPairing = false;
    {
        std::lock_guard lock(m_mutex);
        m_trustedHosts.erase(hostId);
        hadPairing = m_pairings.erase(hostId) != 0;
    }
    saveState();
    if (hadPairing) {
        savePairings();
    }
}

void SimDevice::storePairing(const std::string& hostId, const SimPairing& pairing)
{
    {
        std::lock_guard lock(m_mutex);
        m_pairings[hostId] = pairing;
    }
    savePairings();
}

std::optional<SimPairing> SimDevice::pairing(const std::string& hostId) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_pairings.find(hostId);
    if (it == m_pairings.end()) {
        return std::nullopt;
    }
    return it->second;
}

void SimDevice::savePairings() const
{
    PlistDictionary records;
    {
        std::lock_guard lock(m_mutex);
        const auto data = [](const std::string& pem) { return PlistValue(PlistData(pem.begin(), pem.end())); };
        for (const auto& [hostId, pairing] : m_pairings) {
            records[hostId] = PlistValue(PlistDictionary { { "RootCertificate", data(pairing.rootCertificate) },
                { "HostCertificate", data(pairing.hostCertificate) },
                { "DeviceCertificate", data(pairing.deviceCertificate) } });
        }
    }
    const std::optional<std::string> xml = PlistCodec::toXml(PlistValue(records));
    QSaveFile file(QString::fromStdString((m_stateFolder / "pairings.plist").string()));
    if (!xml || !file.open(QIODevice::WriteOnly) || file.write(xml->data(), qint64(xml->size())) != qint64(xml->size())
        || !file.commit()) {
        logLine(LOG_SIM, "Cannot write the pairings of %s", m_profile.udid.c_str());
    }
}

SimTls::Context SimDevice::tlsContext(const std::string& hostId)
{
    const std::optional<SimPairing> paired = pairing(hostId);
    const std::string key = devicePrivateKeyPem();
    if (!paired || key.empty()) {
        logLine(LOG_SIM, "No pairing with %s on %s for TLS", hostId.c_str(), m_profile.udid.c_str());
        return {};
    }
    std::string error;
    SimTls::Context context = SimTls::serverContext(*paired, key, m_profile.usesTls10Only(), &error);
    if (!context) {
        logLine(LOG_SIM, "No TLS for %s: %s", m_profile.udid.c_str(), error.c_str());
    }
    return context;
}

bool SimDevice::ensureKeyPair()
{
    if (!m_publicKeyPem.empty()) {
        return true;
    }
    std::string privatePem;
    std::string publicPem = generateKeyPair(privatePem);
    if (publicPem.empty() || privatePem.empty()) {
        logLine(LOG_SIM, "Cannot generate the key pair of %s", m_profile.udid.c_str());
        return false;
    }
    std::ofstream(m_stateFolder / "device-private-key.pem", std::ios::binary | std::ios::trunc) << privatePem;
    std::ofstream(m_stateFolder / "device-public-key.pem", std::ios::binary | std::ios::trunc) << publicPem;
    m_publicKeyPem = publicPem;
    m_privateKeyPem = privatePem;
    return true;
}

void SimDevice::setTrustState(SimTrust::State state)
{
    m_trust.setState(state);
    if (state == SimTrust::State::Forgotten) {
        {
            std::lock_guard lock(m_mutex);
            m_trustedHosts.clear();
            m_pairings.clear();
        }
        saveState();
        savePairings();
    }
}

std::string SimDevice::devicePublicKeyPem()
{
    std::lock_guard lock(m_mutex);
    return ensureKeyPair() ? m_publicKeyPem : std::string();
}

std::string SimDevice::devicePrivateKeyPem()
{
    std::lock_guard lock(m_mutex);
    return ensureKeyPair() ? m_privateKeyPem : std::string();
}

void SimDevice::addConnection(int fd)
{
    std::lock_guard lock(m_mutex);
    m_connections.insert(fd);
}

void SimDevice::removeConnection(int fd)
{
    std::lock_guard lock(m_mutex);
    m_connections.erase(fd);
}

void SimDevice::closeConnections()
{
    std::lock_guard lock(m_mutex);
    for (const int fd : m_connections) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

void SimDevice::flush()
{
    m_birthTimes.save();
}
