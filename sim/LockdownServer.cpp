#include "sim/LockdownServer.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "sim/ServiceCatalog.h"
#include "sim/SimDevice.h"
#include "sim/SimStream.h"
#include "sim/SimTls.h"
#include "sim/services/DeviceApps.h"

#include <QDateTime>
#include <QTimeZone>
#include <QUuid>

#include <charconv>
#include <cstdint>
#include <random>
#include <utility>

namespace {

bool sendMessage(SimStream& stream, const PlistDictionary& reply)
{
    const std::optional<std::string> body = PlistCodec::toXml(PlistValue(reply));
    if (!body) {
        return false;
    }
    std::string frame(4, '\0');
    const auto length = std::uint32_t(body->size());
    frame[0] = char((length >> 24) & 0xFF);
    frame[1] = char((length >> 16) & 0xFF);
    frame[2] = char((length >> 8) & 0xFF);
    frame[3] = char(length & 0xFF);
    frame += *body;
    return stream.writeAll(frame.data(), frame.size());
}

PlistData bytes(const std::string& text)
{
    return PlistData(text.begin(), text.end());
}

PlistData randomBytes(std::size_t count)
{
    std::random_device source;
    PlistData data(count);
    for (auto& byte : data) {
        byte = std::uint8_t(source());
    }
    return data;
}

std::string newUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

PlistDictionary diskUsage(SimDevice& device)
{
    SimStorage& storage = device.storage();
    const SimProfile& profile = device.profile();
    const std::uint64_t free = storage.freeBytes();
    const std::uint64_t system = profile.diskCapacity - profile.dataCapacity;
    PlistDictionary usage;
    usage["TotalDiskCapacity"] = PlistValue(profile.diskCapacity);
    usage["TotalSystemCapacity"] = PlistValue(system);
    // The system volume is nearly full on every phone; a realistic sliver is left.
    usage["TotalSystemAvailable"] = PlistValue(system / 40);
    usage["TotalDataCapacity"] = PlistValue(storage.totalBytes());
    usage["TotalDataAvailable"] = PlistValue(free + storage.reserveBytes());
    usage["AmountDataReserved"] = PlistValue(storage.reserveBytes());
    usage["AmountDataAvailable"] = PlistValue(free);
    usage["AmountRestoreAvailable"] = PlistValue(free + storage.reserveBytes());
    if (!profile.isApfsEra()) {
        // Phones of the HFS+ era also say what their apps and photos take, from the same model
        // that answers free space: the user apps' bundles and data, the camera roll (with its
        // thumbnails and database) and the photos a computer synced. Later phones leave them out.
        std::int64_t apps = 0;
        const std::shared_ptr<DeviceApps> installed = DeviceApps::of(device);
        for (const AppRecord& app : installed->registry().apps()) {
            if (app.applicationType == "User") {
                apps += installed->staticDiskUsage(app) + installed->dynamicDiskUsage(app);
            }
        }
        const auto media = [&](const char* folder) {
            return storage.allocationForTree(device.hostPath(std::string(SimDevice::MEDIA_PATH) + folder));
        };
        usage["MobileApplicationUsage"] = PlistValue(apps);
        usage["CameraUsage"] = PlistValue(media("/DCIM") + media("/PhotoData"));
        usage["PhotoUsage"] = PlistValue(media("/Photos"));
    }
    return usage;
}

/// The chip a product type carries, as ChipID reports it; the modern UDID form starts with it.
std::uint64_t chipId(const SimProfile& p)
{
    std::uint64_t chip = 0;
    if (p.udid.size() == 25 && p.udid[8] == '-'
        && std::from_chars(p.udid.data() + 4, p.udid.data() + 8, chip, 16).ptr == p.udid.data() + 8) {
        return chip;
    }
    return p.isApfsEra() ? 0x8015 : 0x8000;
}

/// The phone's clock and time zone: the simulator's own clock, in the zone the phone is set to.
void addClock(PlistDictionary& values)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QTimeZone zone("Europe/Berlin");
    const bool known = zone.isValid();
    values["TimeIntervalSince1970"] = PlistValue(double(now.toMSecsSinceEpoch()) / 1000.0);
    values["TimeZone"] = PlistValue(known ? "Europe/Berlin" : "GMT");
    values["TimeZoneOffsetFromUTC"] = PlistValue(double(known ? zone.offsetFromUtc(now) : 0));
    values["Uses24HourClock"] = PlistValue(true);
}

/// What a phone answers GetValue without a domain. DevicePublicKey only when asked for it, since
/// serving it makes the device key.
PlistDictionary globalDomain(SimDevice& device, bool withPublicKey)
{
    const SimProfile& p = device.profile();
    const std::string& wifi = p.wifiAddress;
    const std::string macPrefix = wifi.substr(0, wifi.size() - 1);
    const bool phone = p.deviceClass == "iPhone";
    PlistDictionary values;
    values["ActivationState"] = PlistValue("Activated");
    values["ActivationStateAcknowledged"] = PlistValue(true);
    values["BluetoothAddress"] = PlistValue(macPrefix + "f");
    values["BoardId"] = PlistValue(std::uint64_t(p.isApfsEra() ? 12 : 6));
    values["BrickState"] = PlistValue(false);
    values["BuildVersion"] = PlistValue(p.buildVersion);
    values["CPUArchitecture"] = PlistValue(p.isApfsEra() ? "arm64e" : "arm64");
    values["ChipID"] = PlistValue(chipId(p));
    values["DeviceClass"] = PlistValue(p.deviceClass);
    values["DeviceColor"] = PlistValue("1");
    values["DeviceName"] = PlistValue(device.deviceName());
    if (withPublicKey) {
        values["DevicePublicKey"] = PlistValue(bytes(device.devicePublicKeyPem()));
    }
    values["EthernetAddress"] = PlistValue(macPrefix + "e");
    values["FirmwareVersion"] = PlistValue(p.isApfsEra() ? "iBoot-10151.120.3" : "iBoot-2817.60.2");
    values["HardwareModel"] = PlistValue(p.hardwareModel);
    values["HardwarePlatform"] = PlistValue(p.isApfsEra() ? "t8120" : "t7000");
    values["HostAttached"] = PlistValue(true);
    values["HumanReadableProductVersionString"] = PlistValue(p.productVersion);
    values["ModelNumber"] = PlistValue(p.isApfsEra() ? "MQ9T3" : "MG4F2");
    values["PartitionType"] = PlistValue("GUID_partition_scheme");
    values["PasswordProtected"] = PlistValue(device.trust().state() == SimTrust::State::PasscodeLocked);
    values["ProductName"] = PlistValue("iPhone OS");
    values["ProductType"] = PlistValue(p.productType);
    values["ProductVersion"] = PlistValue(p.productVersion);
    values["ProtocolVersion"] = PlistValue("2");
    values["RegionInfo"] = PlistValue("LL/A");
    values["SerialNumber"] = PlistValue(p.serialNumber);
    values["SupportedDeviceFamilies"] = PlistValue(PlistArray { PlistValue(1) });
    values["TelephonyCapability"] = PlistValue(phone);
    values["TrustedHostAttached"] = PlistValue(!device.trust().refusesEveryHost());
    values["UniqueChipID"]
        = PlistValue(static_cast<std::uint64_t>(std::hash<std::string> {}(p.udid) & 0xFFFFFFFFFFFFULL));
    values["UniqueDeviceID"] = PlistValue(p.udid);
    values["WiFiAddress"] = PlistValue(wifi);
    addClock(values);
    return values;
}

std::optional<PlistDictionary> domainValues(SimDevice& device, const std::string& domain)
{
    if (domain.empty()) {
        return globalDomain(device, true);
    }
    if (domain == "com.apple.disk_usage" || domain == "com.apple.disk_usage.factory") {
        return diskUsage(device);
    }
    if (domain == "com.apple.mobile.battery") {
        return PlistDictionary { { "BatteryCurrentCapacity", PlistValue(87) },
            { "BatteryIsCharging", PlistValue(false) } };
    }
    if (domain == "com.apple.international") {
        return PlistDictionary { { "Language", PlistValue("en") }, { "Locale", PlistValue("en_US") } };
    }
    return std::nullopt;
}

class LockdownSession
{
public:
    LockdownSession(SimDevice& device, SimStream& stream, const ServiceCatalog& catalog)
        : m_device(device)
        , m_stream(stream)
        , m_catalog(catalog)
    {
    }

    void run()
    {
        for (;;) {
            std::uint8_t header[4];
            if (!m_stream.readExact(header, sizeof header)) {
                return;
            }
            const std::uint32_t length = (std::uint32_t(header[0]) << 24) | (std::uint32_t(header[1]) << 16)
                | (std::uint32_t(header[2]) << 8) | std::uint32_t(header[3]);
            if (length == 0 || length > LOCKDOWN_MAX_MESSAGE) {
                logLine(LOG_SIM, "Lockdown message of %u bytes refused; closing", length);
                return;
            }
            std::string body(length, '\0');
            if (!m_stream.readExact(body.data(), body.size())) {
                return;
            }
            const std::optional<PlistValue> message = PlistCodec::fromAny(body);
            if (!message || !message->isDictionary()) {
                logLine(LOG_SIM, "Lockdown message is not a plist dictionary; closing");
                return;
            }
            bool keepOpen = true;
            const PlistDictionary reply = handle(*message, keepOpen);
            if (!sendMessage(m_stream, reply) || !keepOpen) {
                return;
            }
            // The StartSession reply goes out in plain text, the StopSession reply still inside TLS.
            if (const SimTls::Context tls = std::exchange(m_startTls, nullptr); tls && !m_stream.startTls(tls.get())) {
                return;
            }
            if (std::exchange(m_endTls, false)) {
                m_stream.endTls();
                if (m_stream.isClosed()) {
                    return;
                }
            }
        }
    }

private:
    PlistDictionary handle(const PlistValue& message, bool& keepOpen)
    {
        const std::string request = message.stringForKey("Request");
        PlistDictionary reply { { "Request", PlistValue(request) } };
        const auto fail = [&](const char* error) {
            reply["Error"] = PlistValue(error);
            return reply;
        };
        if (request.empty()) {
            reply.erase("Request");
            return fail("MissingRequest");
        }
        if (request == "QueryType") {
            reply["Type"] = PlistValue("com.apple.mobile.lockdown");
            return reply;
        }
        if (request == "GetValue") {
            return getValue(message, reply);
        }
        if (request == "SetValue") {
            return setValue(message, reply);
        }
        if (request == "RemoveValue") {
            return fail("RemoveProhibited");
        }
        if (request == "StartSession") {
            const std::string hostId = message.stringForKey("HostID");
            if (hostId.empty()) {
                return fail("InvalidHostID");
            }
            if (m_device.faults().snapshot().refuseSession || m_device.trust().refusesEveryHost()
                || !m_device.isHostTrusted(hostId)) {
                return fail("InvalidHostID");
            }
            if (m_stream.isTls()) {
                return fail("SessionActive");
            }
            // A host trusted before pairings were kept has no certificates: its sessions stay plain.
            const bool ssl = m_device.profile().sessionSsl && m_device.pairing(hostId);
            if (ssl) {
                m_startTls = m_device.tlsContext(hostId);
                if (!m_startTls) {
                    return fail("InvalidPairRecord");
                }
            }
            m_sessionId = newUuid();
            m_sessionHost = hostId;
            reply["SessionID"] = PlistValue(m_sessionId);
            reply["EnableSessionSSL"] = PlistValue(ssl);
            return reply;
        }
        if (request == "StopSession") {
            const std::string sessionId = message.stringForKey("SessionID");
            if (sessionId.empty()) {
                return fail("MissingSessionID");
            }
            if (m_sessionId.empty()) {
                return fail("SessionInactive");
            }
            if (sessionId != m_sessionId) {
                return fail("InvalidSessionID");
            }
            m_sessionId.clear();
            m_sessionHost.clear();
            m_endTls = m_stream.isTls();
            return reply;
        }
        if (request == "StartService") {
            return startService(message, reply);
        }
        if (request == "Pair" || request == "ValidatePair" || request == "Unpair") {
            return pairing(request, message, reply);
        }
        if (request == "Goodbye") {
            keepOpen = false;
            return reply;
        }
        return fail("InvalidRequest");
    }

    PlistDictionary getValue(const PlistValue& message, PlistDictionary& reply)
    {
        const std::string domain = message.stringForKey("Domain");
        const PlistValue* key = message.find("Key");
        if (!domain.empty()) {
            reply["Domain"] = PlistValue(domain);
        }
        if (key && key->isString()) {
            reply["Key"] = *key;
        }
        if (key && !key->isString()) {
            reply["Error"] = PlistValue("MissingKey");
            return reply;
        }
        // Serving DevicePublicKey generates the device key; answer other single keys without it.
        if (domain.empty() && key && *key->asString() != "DevicePublicKey") {
            const PlistDictionary values = globalDomain(m_device, false);
            const auto it = values.find(*key->asString());
            if (it == values.end()) {
                reply["Error"] = PlistValue("MissingValue");
                return reply;
            }
            reply["Value"] = it->second;
            return reply;
        }
        const std::optional<PlistDictionary> values = domainValues(m_device, domain);
        if (!values) {
            reply["Error"] = PlistValue("MissingValue");
            return reply;
        }
        if (!key) {
            reply["Value"] = PlistValue(*values);
            return reply;
        }
        const auto it = values->find(*key->asString());
        if (it == values->end() || (it->second.isData() && it->second.asData()->empty())) {
            reply["Error"] = PlistValue("MissingValue");
            return reply;
        }
        reply["Value"] = it->second;
        return reply;
    }

    PlistDictionary setValue(const PlistValue& message, PlistDictionary& reply)
    {
        const std::string domain = message.stringForKey("Domain");
        const PlistValue* key = message.find("Key");
        const PlistValue* value = message.find("Value");
        if (!domain.empty()) {
            reply["Domain"] = PlistValue(domain);
        }
        if (key && key->isString()) {
            reply["Key"] = *key;
        }
        if (!key || !key->isString()) {
            reply["Error"] = PlistValue("MissingKey");
            return reply;
        }
        if (!value) {
            reply["Error"] = PlistValue("MissingValue");
            return reply;
        }
        if (!domain.empty() || *key->asString() != "DeviceName") {
            reply["Error"] = PlistValue("SetProhibited");
            return reply;
        }
        if (!value->isString() || value->asString()->empty() || value->asString()->size() > 255) {
            reply["Error"] = PlistValue("InvalidValue");
            return reply;
        }
        m_device.setDeviceName(*value->asString());
        m_device.events().postNotification("com.apple.mobile.lockdown.device_name_changed");
        return reply;
    }

    PlistDictionary startService(const PlistValue& message, PlistDictionary& reply)
    {
        const PlistValue* service = message.find("Service");
        if (!service || !service->isString() || service->asString()->empty()) {
            reply["Error"] = PlistValue("MissingService");
            return reply;
        }
        reply["Service"] = *service;
        if (m_sessionId.empty()) {
            reply["Error"] = PlistValue("SessionInactive");
            return reply;
        }
        const SimFaults::Snapshot faults = m_device.faults().snapshot();
        if (faults.refuseServices) {
            reply["Error"] = PlistValue(faults.refuseServicesError);
            return reply;
        }
        const ServiceCatalog::Entry* entry = m_catalog.find(*service->asString());
        if (!entry || (entry->isAvailable && !entry->isAvailable(m_device))) {
            reply["Error"] = PlistValue("InvalidService");
            return reply;
        }
        const bool ssl = m_device.profile().usesServiceSsl(entry->name) && m_device.pairing(m_sessionHost);
        reply["Port"] = PlistValue(int(m_device.openServicePort(entry->name, ssl ? m_sessionHost : std::string())));
        reply["EnableServiceSSL"] = PlistValue(ssl);
        return reply;
    }

    PlistDictionary pairing(const std::string& request, const PlistValue& message, PlistDictionary& reply)
    {
        const PlistValue* record = message.find("PairRecord");
        if (!record || !record->isDictionary()) {
            reply["Error"] = PlistValue("MissingPairRecord");
            return reply;
        }
        const std::string hostId = record->stringForKey("HostID");
        if (hostId.empty()) {
            reply["Error"] = PlistValue("InvalidHostID");
            return reply;
        }
        if (request == "Pair") {
            // The phone answers for its trust prompt before it looks at the certificates.
            if (const std::optional<std::string> refusal = m_device.trust().pairRefusal()) {
                reply["Error"] = PlistValue(*refusal);
                return reply;
            }
            const auto pem = [&](const char* key) {
                const PlistValue* value = record->find(key);
                const PlistData* data = value ? value->asData() : nullptr;
                return data ? std::string(data->begin(), data->end()) : std::string();
            };
            const SimPairing pairing { pem("RootCertificate"), pem("HostCertificate"), pem("DeviceCertificate") };
            const std::string problem = SimTls::checkPairing(pairing, m_device.devicePrivateKeyPem());
            if (!problem.empty()) {
                logLine(LOG_SIM, "Pair from %s refused: %s", hostId.c_str(), problem.c_str());
                reply["Error"] = PlistValue("InvalidPairRecord");
                return reply;
            }
            m_device.storePairing(hostId, pairing);
            m_device.trustHost(hostId);
            m_device.trust().paired();
            reply["EscrowBag"] = PlistValue(randomBytes(64));
            return reply;
        }
        if (request == "ValidatePair") {
            if (m_device.trust().refusesEveryHost() || !m_device.isHostTrusted(hostId)) {
                reply["Error"] = PlistValue("InvalidHostID");
            }
            return reply;
        }
        if (!m_device.isHostTrusted(hostId)) {
            reply["Error"] = PlistValue("InvalidHostID");
            return reply;
        }
        m_device.untrustHost(hostId);
        return reply;
    }

    SimDevice& m_device;
    SimStream& m_stream;
    const ServiceCatalog& m_catalog;
    std::string m_sessionId;
    std::string m_sessionHost;
    SimTls::Context m_startTls; // set by StartSession: TLS begins once its reply is out
    bool m_endTls { false }; // set by StopSession: plain text again once its reply is out
};

} // namespace

void runLockdown(SimDevice& device, SimStream& stream, const ServiceCatalog& catalog)
{
    LockdownSession(device, stream, catalog).run();
}
