#include "cli/CliDevice.h"
#include "cli/CliJson.h"
#include "cli/CliText.h"
#include "cli/commands/BuiltInCommands.h"
#include "device/AMDevice.h"

#include <utility>

// `devices` and `info`: which phones are attached and what they say about themselves.

namespace {

/// Lists every device with whether it can be used now. Exits with the status of the first
/// device that cannot, after saying what to do about each one on stderr.
int listDevices(CliSession& session)
{
    std::ostream& out = session.out();
    PlistArray entries;
    std::vector<std::pair<std::string, AMDeviceState>> unusableDevices;
    for (const auto& device : session.manager().devices()) {
        const char* connection = device->interfaceType() == AMDeviceInterfaceType::Network ? "network" : "usb";
        const AMDeviceState state = device->checkUsable();
        const std::string udid = identityOf(*device, device->udid(), "UniqueDeviceID");
        PlistDictionary entry { { "udid", PlistValue(udid) },
            { "name", PlistValue(identityOf(*device, device->deviceName(), "DeviceName")) },
            { "connection", PlistValue(connection) }, { "state", PlistValue(deviceStateText(state).name) } };
        entries.emplace_back(std::move(entry));
        if (state != AMDeviceState::Usable) {
            unusableDevices.emplace_back(udid, state);
        }
    }
    if (session.options().json) {
        out << plistToJson(PlistValue(entries)) << '\n';
    } else if (entries.empty()) {
        out << "No devices attached.\n";
    }
    for (const PlistValue& entry : session.options().json ? PlistArray() : entries) {
        const std::string state = entry.stringForKey("state");
        out << escapeCliText(entry.stringForKey("udid")) << "  " << escapeCliText(entry.stringForKey("name")) << "  ("
            << entry.stringForKey("connection") << ")"
            << (state == deviceStateText(AMDeviceState::Usable).name ? "" : "  " + state) << '\n';
    }
    int status = CLI_OK;
    for (const auto& [udid, state] : unusableDevices) {
        const int own = session.unusable(escapeCliText(udid), state);
        status = status == CLI_OK ? own : status;
    }
    return status;
}

int info(CliSession& session)
{
    const CliOptions& options = session.options();
    AMDevice& device = session.device();
    const std::optional<std::string> key
        = options.arguments.empty() ? std::nullopt : std::optional<std::string>(options.arguments[0]);
    const std::optional<PlistValue> value = device.deviceValueForKey(key, options.domain);
    if (!value) {
        // No session (an untrusted computer, a locked phone, a phone out of the cable's reach):
        // say what to do about it.
        const AMDeviceState state = device.interfaceType() == AMDeviceInterfaceType::Network
            ? AMDeviceState::NetworkOnly
            : deviceStateForSessionStatus(device.lastStatus());
        if (state != AMDeviceState::Usable && state != AMDeviceState::Unreachable) {
            return session.unusable({}, state, device.lasterror());
        }
        std::string what = key ? "no value for " + escapeCliText(*key) : std::string("no values");
        if (options.domain) {
            what += " in the domain " + escapeCliText(*options.domain);
        }
        if (device.lasterror()) {
            what += ": " + deviceFailureWords(device.lasterror(), "");
        }
        return session.failure({}, what, device.lasterror());
    }
    std::ostream& out = session.out();
    if (options.json) {
        out << plistToJson(*value) << '\n';
    } else if (value->isDictionary()) {
        for (const auto& [name, item] : *value->asDictionary()) {
            out << escapeCliText(name) << ": " << humanValue(item) << '\n';
        }
    } else {
        out << humanValue(*value) << '\n';
    }
    return CLI_OK;
}

} // namespace

namespace CliBuiltIn {

CliCommand devicesCommand()
{
    return { .name = "devices",
        .minimum = 0,
        .maximum = 0,
        .usage = "  devices [--wait]              list attached devices (--wait: until one attaches)\n",
        .needs = CliCommandNeeds::DeviceList,
        .unbounded = false,
        .localArguments = {},
        .run = listDevices };
}

CliCommand infoCommand()
{
    return { .name = "info",
        .minimum = 0,
        .maximum = 1,
        .usage = "  info [KEY] [--domain D]       device values (all of a domain without KEY)\n",
        .needs = CliCommandNeeds::Device,
        .unbounded = false,
        .localArguments = {},
        .run = info };
}

} // namespace CliBuiltIn
