#include "sim/LockdownServer.h"

#include "base/Log.h"
#include "base/PlistValue.h"
#include "sim/ServiceCatalog.h"
#include "sim/SimDevice.h"
#include "sim/SimStream.h"
#include "sim/SimTls.h"

#include <QUuid>

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
    return usage;
}

PlistDictionary globalDomain(SimDevice& device)
{
    const SimProfile& p = device.profile();
    PlistDictionary values;
    values["ActivationState"] = PlistValue("Activated");
    values["BluetoothAddress"] = PlistValue(p.wifiAddress.substr(0, p.wifiAddress.size() - 1) + "f");
    values["BuildVersion"] = PlistValue(p.buildVersion);
    values["CPUArchitecture"] = PlistValue(p.isApfsEra() ? "arm64e" : "arm64");
    values["DeviceClass"] = PlistValue(p.deviceClass);
    values["DeviceColor"] = PlistValue("1");
    values["DeviceName"] = PlistValue(device.deviceName());
    values["DevicePublicKey"] = PlistValue(bytes(device.devicePublicKeyPem()));
    values["HardwareModel"] = PlistValue(p.hardwareModel);
    values["PasswordProtected"] = PlistValue(false);
    values["ProductName"] = PlistValue("iPhone OS");
    values["ProductType"] = PlistValue(p.productType);
    values["ProductVersion"] = PlistValue(p.productVersion);
    values["SerialNumber"] = PlistValue(p.serialNumber);
    values["TimeZone"] = PlistValue("Europe/Berlin");
    values["UniqueChipID"]
        = PlistValue(static_cast<std::uint64_t>(std::hash<std::string> {}(p.udid) & 0xFFFFFFFFFFFFULL));
    values["UniqueDeviceID"] = PlistValue(p.udid);
    values["WiFiAddress"] = PlistValue(p.wifiAddress);
    return values;
}

std::optional<PlistDictionary> domainValues(SimDevice& device, const std::string& domain)
{
    if (domain.empty()) {
        return globalDomain(device);
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
        // Computing the whole global dictionary generates the device key; answer single keys
        // without doing that.
        if (domain.empty() && key && *key->asString() != "DevicePublicKey") {
            PlistDictionary values = globalDomainWithoutKey(*key->asString());
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

    PlistDictionary globalDomainWithoutKey(const std::string& key)
    {
        if (key == "DevicePublicKey") {
            return globalDomain(m_device);
        }
        const SimProfile& p = m_device.profile();
        PlistDictionary cheap {
            { "ActivationState", PlistValue("Activated") },
            { "BuildVersion", PlistValue(p.buildVersion) },
            { "DeviceClass", PlistValue(p.deviceClass) },
            { "DeviceName", PlistValue(m_device.deviceName()) },
            { "HardwareModel", PlistValue(p.hardwareModel) },
            { "ProductName", PlistValue("iPhone OS") },
            { "ProductType", PlistValue(p.productType) },
            { "ProductVersion", PlistValue(p.productVersion) },
            { "SerialNumber", PlistValue(p.serialNumber) },
            { "UniqueDeviceID", PlistValue(p.udid) },
            { "WiFiAddress", PlistValue(p.wifiAddress) },
        };
        if (cheap.count(key) != 0) {
            return cheap;
        }
        return globalDomain(m_device);
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
