#pragma once

#include "sim/SimBirthTimes.h"
#include "sim/SimEventBus.h"
#include "sim/SimFaults.h"
#include "sim/SimProfile.h"
#include "sim/SimStorage.h"
#include "sim/SimTls.h"
#include "sim/SimTrust.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

/// One simulated phone: its profile, its persistent state (under <state>/devices/<UDID>/: "fs" is
/// the device's "/", "device.json" its name and trusted hosts), storage model, event bus and
/// injected faults. Lives as long as the daemon; attaching and detaching only flip a flag.
/// Thread-safe.
class SimDevice
{
public:
    /// Opens the device's state, creating and populating it the first time. Null with `error` set
    /// when the state cannot be created or the content cannot be generated.
    static std::shared_ptr<SimDevice> open(
        const SimProfile& profile, const std::filesystem::path& stateRoot, std::string* error);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    const SimProfile& profile() const { return m_profile; }
    const std::string& udid() const { return m_profile.udid; }

    std::string deviceName() const;
    /// Persists at once.
    void setDeviceName(const std::string& name);

    const std::filesystem::path& stateFolder() const { return m_stateFolder; }
    /// The host folder that stands for the device's "/".
    const std::filesystem::path& fsRoot() const { return m_fsRoot; }
    /// Device paths of the service areas.
    static constexpr const char* MEDIA_PATH = "/private/var/mobile/Media";
    static constexpr const char* CRASH_REPORTER_PATH = "/private/var/mobile/Library/Logs/CrashReporter";
    /// `devicePath` ("/private/var/...") on the host.
    std::filesystem::path hostPath(const std::string& devicePath) const;

    SimStorage& storage() { return *m_storage; }
    SimEventBus& events() { return m_events; }
    SimFaults& faults() { return m_faults; }
    const SimFaults& faults() const { return m_faults; }
    SimBirthTimes& birthTimes() { return m_birthTimes; }

    /// usbmux handle (≥ 1), fixed for the daemon's lifetime.
    int deviceId() const { return m_deviceId; }
    void setDeviceId(int id) { m_deviceId = id; }
    bool isAttached() const;
    void setAttached(bool attached);

    /// A fresh port for a started service, reachable by a later usbmux Connect (also after the
    /// lockdown connection closed). Old ports are forgotten once many newer ones exist.
    /// `tlsHostId`: the paired host whose certificates the service's TLS uses; empty for plain text.
    std::uint16_t openServicePort(const std::string& serviceName, const std::string& tlsHostId = {});
    struct ServicePort
    {
        std::string serviceName;
        std::string tlsHostId;
    };
    std::optional<ServicePort> serviceForPort(std::uint16_t port) const;

    /// Host IDs of computers that paired (persisted).
    bool isHostTrusted(const std::string& hostId) const;
    void trustHost(const std::string& hostId);
    /// Also forgets the host's pairing.
    void untrustHost(const std::string& hostId);
    /// The certificates a host paired with (persisted in "pairings.plist"); none for hosts trusted
    /// by a state written before pairings were kept.
    void storePairing(const std::string& hostId, const SimPairing& pairing);
    std::optional<SimPairing> pairing(const std::string& hostId) const;
    /// A TLS server context for a session or service with a paired host; null (and logged) when
    /// the host has no pairing or the context cannot be made.
    SimTls::Context tlsContext(const std::string& hostId);

    /// Whether the phone trusts computers now (sim/SimTrust.h).
    SimTrust& trust() { return m_trust; }
    /// Sets the trust state; "forgotten" also drops every paired computer, as a phone does when
    /// its pairings are reset.
    void setTrustState(SimTrust::State state);

    /// The device's RSA public key as PKCS#1 PEM ("-----BEGIN RSA PUBLIC KEY-----"), generated
    /// and stored on first use; empty if generation failed.
    std::string devicePublicKeyPem();
    /// The private half (PKCS#8 PEM), generated with the public one.
    std::string devicePrivateKeyPem();

    /// Tunnelled connections to this device, shut down on detach like a pulled cable.
    void addConnection(int fd);
    void removeConnection(int fd);
    void closeConnections();

    /// Writes pending metadata (birth times).
    void flush();

private:
    SimDevice(const SimProfile& profile, std::filesystem::path stateFolder);
    bool loadState(std::string* error);
    void saveState() const;
    void savePairings() const;
    bool ensureKeyPair(); // with m_mutex held

    SimProfile m_profile;
    std::filesystem::path m_stateFolder;
    std::filesystem::path m_fsRoot;
    std::unique_ptr<SimStorage> m_storage;
    SimEventBus m_events;
    SimFaults m_faults;
    SimTrust m_trust;
    SimBirthTimes m_birthTimes;
    int m_deviceId { 0 };

    mutable std::mutex m_mutex;
    bool m_attached { false };
    std::string m_deviceName;
    std::set<std::string> m_trustedHosts;
    std::map<std::uint16_t, ServicePort> m_servicePorts;
    std::uint16_t m_nextPort { 49152 };
    std::set<int> m_connections;
    std::string m_publicKeyPem;
    std::string m_privateKeyPem;
    std::map<std::string, SimPairing> m_pairings;
};
