#include "cli/TorvaneCli.h"

#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "base/RunLoop.h"
#include "cli/CliDevice.h"
#include "cli/CliJson.h"
#include "cli/CliText.h"
#include "cli/DeviceWatcher.h"
#include "cli/ServiceCommands.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCValues.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <ostream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct CommandShape
{
    std::size_t minimum;
    std::size_t maximum;
};

const std::map<std::string, CommandShape>& commandShapes()
{
    static const std::map<std::string, CommandShape> shapes {
        { "devices", { 0, 0 } },
        { "info", { 0, 1 } },
        { "df", { 0, 0 } },
        { "ls", { 0, 1 } },
        { "stat", { 1, 1 } },
        { "scan", { 1, 1 } },
        { "pull", { 1, 2 } },
        { "push", { 2, 2 } },
        { "rm", { 1, 64 } },
        { "mkdir", { 1, 64 } },
        { "mv", { 2, 2 } },
        { "apps", { 0, 0 } },
        { "uninstall", { 1, 1 } },
        { "icon", { 2, 2 } },
        { "screenshot", { 1, 1 } },
        { "syslog", { 0, 1 } },
        { "notify", { 2, 3 } },
    };
    return shapes;
}

/// "12.3 MB": SI units, as the application shows sizes.
std::string humanSize(std::int64_t bytes)
{
    const char* units[] = { "bytes", "kB", "MB", "GB", "TB", "PB" };
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (std::abs(value) >= 1000.0 && unit < 5) {
        value /= 1000.0;
        ++unit;
    }
    return unit == 0 ? stringWithFormat("%lld bytes", static_cast<long long>(bytes))
                     : stringWithFormat("%.1f %s", value, units[unit]);
}

std::int64_t numberFor(const PlistDictionary& dictionary, const char* key)
{
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? 0 : found->second.toInt64().value_or(0);
}

std::string textFor(const PlistDictionary& dictionary, const char* key)
{
    const auto found = dictionary.find(key);
    return found != dictionary.end() && found->second.isString() ? *found->second.asString() : std::string();
}

/// A value for people: scalars plainly (text escaped), containers as JSON.
std::string humanValue(const PlistValue& value)
{
    if (value.isString()) {
        return escapeCliText(*value.asString());
    }
    if (value.isDate()) {
        return isoDate(*value.toDate());
    }
    if (value.isArray() || value.isDictionary()) {
        return plistToJson(value);
    }
    return plistToJson(value, 0);
}

class Cli
{
public:
    Cli(const CliOptions& options, std::ostream& out, std::ostream& err)
        : m_options(options)
        , m_out(out)
        , m_err(err)
        , m_manager(MobileDevice::shared())
    {
    }

    ~Cli() { m_manager.setListener(nullptr); }

    int run()
    {
        if (m_options.wait) {
            waitForADevice(); // as long as it takes: that is what --wait asks for
        }
        if (!m_options.wait && !m_manager.usbServiceRunning()) {
            // Without the daemon no phone can ever appear: say so instead of "no devices".
            return unusable({}, AMDeviceState::UsbServiceNotRunning);
        }
        const std::unique_ptr<Watchdog> watchdog = Watchdog::forNoAnswer(m_options, m_out, m_err);
        discoverDevices();
        const std::string& command = m_options.command;
        if (command == "devices") {
            return listDevices();
        }
        std::shared_ptr<AMDevice> device = chooseCliDevice(m_options, m_err, m_manager.devices());
        if (!device) {
            return CLI_FAILED;
        }
        if (command == "info") {
            return info(*device);
        }
        if (isServiceCommand(command)) {
            // Streams run for as long as they are wanted, and an uninstall as long as the phone
            // reports progress (each reply has the bound); the rest answer within the bound.
            if (command == "syslog" || command == "notify" || command == "uninstall") {
                watchdog->disarm();
            }
            return runServiceCommand(*device, m_loop, m_options, m_out, m_err);
        }
        device->setAFCIOTimeout(m_options.timeoutSeconds);
        std::unique_ptr<AFCMediaDirectory> afc = device->newAFCMediaDirectory();
        watchdog->disarm(); // each request on the media area has its own bound from here on
        if (!afc) {
            // Ask again, so the reason is one a person can act on where there is one.
            if (const AMDeviceState state = device->checkUsable();
                state != AMDeviceState::Usable && state != AMDeviceState::Unreachable) {
                return unusable({}, state, device->lasterror());
            }
            return failure({},
                "can't open the device's media area: "
                    + deviceFailureWords(device->lasterror(), "the service did not start"),
                device->lasterror());
        }
        if (command == "df") {
            return df(*afc);
        }
        // Device paths come as printed: escapes stand for the bytes they show. Local paths are
        // the shell's business.
        m_paths = m_options.arguments;
        for (std::size_t i = 0; i < m_paths.size(); ++i) {
            const bool local = (command == "pull" && i == 1) || (command == "push" && i == 0);
            if (local) {
                continue;
            }
            const std::string& path = m_paths[i] = unescapeCliArgument(m_paths[i]);
            if (path.size() > MAX_DEVICE_PATH) {
                return failure(escapeCliText(path.substr(0, 40)) + "...",
                    stringWithFormat("the path is too long (%zu bytes; the device takes at most %zu)", path.size(),
                        MAX_DEVICE_PATH));
            }
        }
        if (command == "ls") {
            return ls(*afc, m_paths.empty() ? "/" : m_paths[0]);
        }
        if (command == "stat") {
            return stat(*afc, m_paths[0]);
        }
        if (command == "scan") {
            return scan(*afc, m_paths[0]);
        }
        if (command == "pull") {
            return pull(*afc);
        }
        if (command == "push") {
            return push(*afc);
        }
        if (command == "rm") {
            return remove(*afc);
        }
        if (command == "mkdir") {
            return makeDirectories(*afc);
        }
        if (command == "mv") {
            return move(*afc);
        }
        return failure({}, "unknown command");
    }

private:
    /// Longest device path accepted: what the device's file system takes. Longer ones are refused
    /// before any request (the device would create parts of them first).
    static constexpr std::size_t MAX_DEVICE_PATH = 1023;

    int failure(const std::string& subject, const std::string& words, const std::optional<std::string>& detail = {})
    {
        return reportCliFailure(m_options, m_err, subject, words, detail);
    }

    /// A device that cannot be used: the advice for `state` as the failure, and its own status.
    int unusable(const std::string& subject, AMDeviceState state, const std::optional<std::string>& detail = {})
    {
        return reportUnusable(m_options, m_err, subject, state, detail);
    }

    /// A failure of `afc`, in words, with the raw text (and what broke underneath) as detail.
    int afcFailure(AFCDirectoryAccess& afc, const std::string& subject, std::string words = {})
    {
        if (words.empty()) {
            words = afcFailureWords(afc.lastStatus(), afc.lasterror());
        }
        std::optional<std::string> detail = afc.lasterror();
        if (AFCDirectoryAccess::isConnectionFailure(afc.lastStatus())) {
            if (const std::optional<std::string> underneath = afc.connectionErrorDetail()) {
                detail = detail.value_or("") + "; " + *underneath;
            }
        }
        return failure(subject, words, detail);
    }

    static std::string shown(const std::string& path) { return escapeCliText(path); }

    void discoverDevices()
    {
        m_manager.setListener(&m_watcher);
        if (!m_manager.isSubscribed()) {
            return;
        }
        // Devices already attached arrive one record each, with no end marker: wait until the
        // records have been quiet for a moment, or until the device named by --udid is listed.
        // With --wait, first wait for one to attach.
        constexpr auto LONGEST = std::chrono::seconds(5);
        m_loop.runUntil([this] { return m_watcher.discoveryComplete(m_manager.devices(), m_options.udid); }, LONGEST);
    }

    void waitForADevice()
    {
        m_manager.setListener(&m_watcher);
        if (m_manager.isSubscribed()) {
            m_loop.runUntil([this] { return !m_manager.devices().empty(); }, std::chrono::hours(24 * 365));
        }
    }

    /// Lists every device with whether it can be used now. Exits with the status of the first
    /// device that cannot, after saying what to do about each one on stderr.
    int listDevices()
    {
        PlistArray entries;
        std::vector<std::pair<std::string, AMDeviceState>> unusableDevices;
        for (const auto& device : m_manager.devices()) {
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
        if (m_options.json) {
            m_out << plistToJson(PlistValue(entries)) << '\n';
        } else if (entries.empty()) {
            m_out << "No devices attached.\n";
        }
        for (const PlistValue& entry : m_options.json ? PlistArray() : entries) {
            const std::string state = entry.stringForKey("state");
            m_out << escapeCliText(entry.stringForKey("udid")) << "  " << escapeCliText(entry.stringForKey("name"))
                  << "  (" << entry.stringForKey("connection") << ")"
                  << (state == deviceStateText(AMDeviceState::Usable).name ? "" : "  " + state) << '\n';
        }
        int status = CLI_OK;
        for (const auto& [udid, state] : unusableDevices) {
            const int own = unusable(escapeCliText(udid), state);
            status = status == CLI_OK ? own : status;
        }
        return status;
    }

    int info(AMDevice& device)
    {
        const std::optional<std::string> key
            = m_options.arguments.empty() ? std::nullopt : std::optional<std::string>(m_options.arguments[0]);
        const std::optional<PlistValue> value = device.deviceValueForKey(key, m_options.domain);
        if (!value) {
            // No session (an untrusted computer, a locked phone, a phone out of the cable's reach):
            // say what to do about it.
            const AMDeviceState state = device.interfaceType() == AMDeviceInterfaceType::Network
                ? AMDeviceState::NetworkOnly
                : deviceStateForSessionStatus(device.lastStatus());
            if (state != AMDeviceState::Usable && state != AMDeviceState::Unreachable) {
                return unusable({}, state, device.lasterror());
            }
            std::string what = key ? "no value for " + escapeCliText(*key) : std::string("no values");
            if (m_options.domain) {
                what += " in the domain " + escapeCliText(*m_options.domain);
            }
            if (device.lasterror()) {
                what += ": " + deviceFailureWords(device.lasterror(), "");
            }
            return failure({}, what, device.lasterror());
        }
        if (m_options.json) {
            m_out << plistToJson(*value) << '\n';
        } else if (value->isDictionary()) {
            for (const auto& [name, item] : *value->asDictionary()) {
                m_out << escapeCliText(name) << ": " << humanValue(item) << '\n';
            }
        } else {
            m_out << humanValue(*value) << '\n';
        }
        return CLI_OK;
    }

    int df(AFCDirectoryAccess& afc)
    {
        const std::optional<PlistDictionary> info = afc.deviceInfo();
        if (!info) {
            return afcFailure(afc, {});
        }
        const std::int64_t free = numberFor(*info, "FSFreeBytes");
        const std::int64_t total = numberFor(*info, "FSTotalBytes");
        if (m_options.json) {
            m_out << plistToJson(PlistValue(PlistDictionary { { "free", PlistValue(free) },
                { "total", PlistValue(total) }, { "blockSize", PlistValue(numberFor(*info, "FSBlockSize")) },
                { "model", PlistValue(textFor(*info, "Model")) } }))
                  << '\n';
            return CLI_OK;
        }
        m_out << "Free:  " << free << " bytes (" << humanSize(free) << ")\n";
        m_out << "Total: " << total << " bytes (" << humanSize(total) << ")\n";
        if (total > 0) {
            m_out << stringWithFormat("Used:  %.0f%%\n", 100.0 * double(total - free) / double(total));
        }
        return CLI_OK;
    }

    static PlistDictionary entryFor(const std::string& name, const PlistDictionary& info)
    {
        PlistDictionary entry { { "name", PlistValue(name) }, { "type", PlistValue(textFor(info, "st_ifmt")) },
            { "size", PlistValue(numberFor(info, "st_size")) } };
        if (const auto mtime = info.find("st_mtime"); mtime != info.end() && mtime->second.isDate()) {
            entry["mtime"] = mtime->second;
        }
        if (const auto target = info.find("LinkTarget"); target != info.end()) {
            entry["linkTarget"] = target->second;
        }
        return entry;
    }

    void printEntries(const PlistArray& entries)
    {
        if (m_options.json) {
            m_out << plistToJson(PlistValue(entries)) << '\n';
            return;
        }
        for (const PlistValue& entry : entries) {
            const std::string type = entry.stringForKey("type");
            const char kind = type == "S_IFDIR" ? 'd' : type == "S_IFLNK" ? 'l' : type == "S_IFREG" ? '-' : '?';
            const PlistValue* mtime = entry.find("mtime");
            m_out << kind << ' '
                  << stringWithFormat("%12lld", static_cast<long long>(entry.find("size")->toInt64().value_or(0)))
                  << ' ' << (mtime ? isoDate(*mtime->toDate()) : std::string(20, ' ')) << ' '
                  << escapeCliText(entry.stringForKey("name"));
            if (const PlistValue* target = entry.find("linkTarget"); target && target->isString()) {
                m_out << " -> " << escapeCliText(*target->asString());
            }
            m_out << '\n';
        }
    }

    int ls(AFCDirectoryAccess& afc, const std::string& path)
    {
        const std::optional<PlistDictionary> info = afc.getFileInfo(path);
        if (!info) {
            return afcFailure(afc, shown(path));
        }
        PlistArray entries;
        if (textFor(*info, "st_ifmt") != "S_IFDIR") {
            entries.emplace_back(entryFor(afcLastPathComponent(path), *info));
            printEntries(entries);
            return CLI_OK;
        }
        std::optional<std::vector<std::string>> names = afc.directoryContents(path);
        if (!names) {
            return afcFailure(afc, shown(path));
        }
        std::sort(names->begin(), names->end());
        for (const std::string& name : *names) {
            const std::optional<PlistDictionary> child = afc.getFileInfo(afcJoinPath(path, name));
            if (!child) {
                if (afc.lastStatus() == AFCStatus::ObjectNotFound) {
                    continue; // removed since the folder was read
                }
                // A listing with rows it could not read would show wrong sizes as if they were true.
                return afcFailure(afc, shown(afcJoinPath(path, name)));
            }
            entries.emplace_back(entryFor(name, *child));
        }
        printEntries(entries);
        return CLI_OK;
    }

    int stat(AFCDirectoryAccess& afc, const std::string& path)
    {
        const std::optional<PlistDictionary> info = afc.getFileInfo(path);
        if (!info) {
            return afcFailure(afc, shown(path));
        }
        if (m_options.json) {
            m_out << plistToJson(PlistValue(*info)) << '\n';
            return CLI_OK;
        }
        for (const auto& [key, value] : *info) {
            m_out << key << ": " << humanValue(value) << '\n';
        }
        return CLI_OK;
    }

    int scan(AFCDirectoryAccess& afc, const std::string& path)
    {
        if (!afc.getFileInfo(path)) {
            return afcFailure(afc, shown(path));
        }
        const PlistDictionary result = afc.scanPath(path);
        const std::int64_t size = numberFor(result, "size");
        if (AFCDirectoryAccess::isIncompleteScan(result)) {
            // A size that leaves out what could not be read must not pass for the size.
            return afcFailure(afc, shown(path),
                "could not read everything (" + afcFailureWords(afc.lastStatus(), afc.lasterror()) + "); "
                    + humanSize(size) + " counted before that");
        }
        const auto date = result.find("date");
        if (m_options.json) {
            PlistDictionary json { { "path", PlistValue(path) }, { "size", PlistValue(size) } };
            if (date != result.end()) {
                json["date"] = date->second;
            }
            m_out << plistToJson(PlistValue(json)) << '\n';
            return CLI_OK;
        }
        m_out << shown(path) << ": " << size << " bytes (" << humanSize(size) << ")";
        if (date != result.end() && date->second.isDate()) {
            m_out << ", latest " << isoDate(*date->second.toDate());
        } else {
            m_out << ", empty";
        }
        m_out << '\n';
        return CLI_OK;
    }

    int pull(AFCDirectoryAccess& afc)
    {
        const std::string& remote = m_paths[0];
        std::string local = m_paths.size() > 1 ? m_paths[1] : afcLastPathComponent(remote);
        struct stat localInfo;
        if (::stat(local.c_str(), &localInfo) == 0 && S_ISDIR(localInfo.st_mode)) {
            local = afcJoinPath(local, afcLastPathComponent(remote));
        }
        const std::string subject = shown(remote) + " " + shown(local);
        const std::optional<PlistDictionary> info = afc.getFileInfo(remote);
        if (!info) {
            return afcFailure(afc, subject);
        }
        if (textFor(*info, "st_ifmt") == "S_IFDIR") {
            return failure(subject, "is a folder (pull copies one file)");
        }
        if (!afc.copyRemoteFile(remote, local)) {
            if (afc.lasterror() == "Won't overwrite existing file") {
                return afcFailure(afc, subject, "already exists on this computer");
            }
            return afcFailure(afc, subject);
        }
        struct stat copied;
        const long long size = ::stat(local.c_str(), &copied) == 0 ? static_cast<long long>(copied.st_size) : 0;
        if (m_options.json) {
            m_out << plistToJson(PlistValue(PlistDictionary {
                { "source", PlistValue(remote) }, { "target", PlistValue(local) }, { "size", PlistValue(size) } }))
                  << '\n';
        } else {
            m_out << shown(remote) << " -> " << shown(local) << ": " << size << " bytes\n";
        }
        return CLI_OK;
    }

    int push(AFCDirectoryAccess& afc)
    {
        const std::string& local = m_paths[0];
        std::string remote = m_paths[1];
        const std::string subject = shown(local) + " " + shown(remote);
        struct stat localInfo;
        if (::stat(local.c_str(), &localInfo) != 0) {
            return failure(subject, std::string("can't read ") + shown(local) + ": " + std::strerror(errno));
        }
        if (!S_ISDIR(localInfo.st_mode) && !S_ISREG(localInfo.st_mode)) {
            return failure(subject, shown(local) + " is not a regular file or folder");
        }
        const std::optional<PlistDictionary> remoteInfo = afc.getFileInfo(remote);
        if (!remoteInfo && afc.lastStatus() != AFCStatus::ObjectNotFound) {
            return afcFailure(afc, subject); // absence must not be assumed from a failure
        }
        const bool remoteIsDirectory = remoteInfo && textFor(*remoteInfo, "st_ifmt") == "S_IFDIR";

        // Progress on a terminal only; scripts get the summary.
        NotificationCenter& center = NotificationCenter::defaultCenter();
        const bool showProgress = !m_options.json && ::isatty(STDERR_FILENO);
        NotificationCenter::ObserverToken token = 0;
        if (showProgress) {
            token = center.addObserver(
                AFC_FILE_COPY_PROGRESS, &afc, [this](const std::string&, const void*, const PlistDictionary& info) {
                    m_err << "\r" << numberFor(info, "Done") << " / " << numberFor(info, "Size") << " bytes"
                          << std::flush;
                });
        }
        bool copied = false;
        if (S_ISDIR(localInfo.st_mode)) {
            if (!remoteIsDirectory) {
                if (showProgress) {
                    center.removeObserver(token);
                }
                return failure(subject, shown(remote) + " is not a folder on the device");
            }
            copied = afc.copyLocalFileToRemoteDir(local, remote, m_options.overwrite);
            remote = afcJoinPath(remote, afcLastPathComponent(local));
        } else {
            if (remoteIsDirectory) {
                remote = afcJoinPath(remote, afcLastPathComponent(local));
            }
            copied = afc.copyLocalFileToRemoteFile(local, remote, m_options.overwrite);
        }
        if (showProgress) {
            center.removeObserver(token);
            m_err << '\n';
        }
        for (const std::string& skipped : afc.skippedLocalPaths()) {
            m_err << "torvane-cli: push: skipped " << shown(skipped) << ": not a regular file or folder\n";
        }
        if (!copied) {
            return afcFailure(afc, subject);
        }
        if (m_options.json) {
            PlistArray skipped;
            for (const std::string& path : afc.skippedLocalPaths()) {
                skipped.emplace_back(path);
            }
            m_out << plistToJson(PlistValue(PlistDictionary { { "source", PlistValue(local) },
                { "target", PlistValue(remote) }, { "skipped", PlistValue(std::move(skipped)) } }))
                  << '\n';
        } else {
            m_out << shown(local) << " -> " << shown(remote) << '\n';
        }
        return CLI_OK;
    }

    int remove(AFCDirectoryAccess& afc)
    {
        for (const std::string& path : m_paths) {
            if (afcIsRootPath(path) || path.empty()) {
                // "/", "//" and "/DCIM/.." all name the whole media area: every photo and song.
                return failure(shown(path), "won't remove the top of the media area");
            }
            const std::optional<PlistDictionary> info = afc.getFileInfo(path);
            if (!info) {
                return afcFailure(afc, shown(path));
            }
            const bool isDirectory = textFor(*info, "st_ifmt") == "S_IFDIR";
            if (m_options.recursive) {
                if (!afc.deleteTreeAtPath(path, true)) {
                    return afcFailure(afc, shown(path));
                }
                // Only the device's own word that the path is gone counts as done.
                const std::optional<bool> remains = afc.existsAtPath(path);
                if (!remains) {
                    return afcFailure(afc, shown(path));
                }
                if (*remains) {
                    return failure(shown(path), "still there after removing its contents");
                }
            } else if (!afc.unlink(path)) {
                if (isDirectory && afc.lastStatus() == AFCStatus::UnknownError) {
                    return afcFailure(
                        afc, shown(path), "the folder is not empty (use rm -r to remove it with its contents)");
                }
                return afcFailure(afc, shown(path));
            }
        }
        return CLI_OK;
    }

    int makeDirectories(AFCDirectoryAccess& afc)
    {
        for (const std::string& path : m_paths) {
            if (!afc.mkdir(path)) {
                return afcFailure(afc, shown(path));
            }
        }
        return CLI_OK;
    }

    int move(AFCDirectoryAccess& afc)
    {
        const std::string& from = m_paths[0];
        const std::string& to = m_paths[1];
        const std::string subject = shown(from) + " " + shown(to);
        if (!afc.getFileInfo(from)) {
            return afcFailure(afc, subject);
        }
        if (!m_options.overwrite) {
            // The device replaces an existing file without asking; a user must ask for that.
            const std::optional<bool> exists = afc.existsAtPath(to);
            if (!exists) {
                return afcFailure(afc, subject);
            }
            if (*exists) {
                return failure(subject, shown(to) + " already exists (use -f to replace it)");
            }
        }
        if (!afc.rename(from, to)) {
            return afcFailure(afc, subject);
        }
        return CLI_OK;
    }

    const CliOptions& m_options;
    std::vector<std::string> m_paths; // the arguments, device paths unescaped
    std::ostream& m_out;
    std::ostream& m_err;
    PlainRunLoop m_loop; // before the manager: the subscription lands on this thread's loop
    DeviceWatcher m_watcher;
    MobileDeviceAccess m_manager;
};

} // namespace

std::string cliUsage()
{
    return "Usage: torvane-cli [-u|--udid UDID] [--json] [--verbose] [--timeout SECONDS] COMMAND [ARGUMENTS]\n"
           "       torvane-cli --help | --version\n"
           "\n"
           "Commands:\n"
           "  devices [--wait]              list attached devices (--wait: until one attaches)\n"
           "  info [KEY] [--domain D]       device values (all of a domain without KEY)\n"
           "  df                            free and total bytes of the media area\n"
           "  ls [PATH]                     list a folder of the media area\n"
           "  stat PATH                     file information\n"
           "  scan PATH                     size and latest date of a file or tree\n"
           "  pull REMOTE [LOCAL]           copy a device file to this computer\n"
           "  push [-f] LOCAL REMOTE        copy a file or folder to the device (-f: replace)\n"
           "  rm [-r] PATH...               remove files or empty folders (-r: whole trees)\n"
           "  mkdir PATH...                 create folders (and missing parents)\n"
           "  mv [-f] OLD NEW               rename or move (-f: replace an existing NEW)\n"
           "  apps                          installed user apps: id, version, name (tab-separated)\n"
           "  uninstall BUNDLE_ID           remove an app\n"
           "  icon BUNDLE_ID FILE           save an app's home-screen icon (PNG)\n"
           "  screenshot FILE               save the screen as the device sends it (PNG or TIFF)\n"
           "  syslog [COUNT]                print system-log lines (stop after COUNT)\n"
           "  notify post NAME              post a notification on the device\n"
           "  notify observe NAME [COUNT]   print NAME each time the device posts it\n"
           "\n"
           "Devices are found through usbmuxd, or the daemon named by USBMUXD_SOCKET_ADDRESS; with\n"
           "several attached, choose one with --udid (-u). Device requests give up after --timeout\n"
           "seconds without an answer (default 30; 0 waits for ever). Names are printed with control\n"
           "characters and bytes that are not UTF-8 escaped (\\n, \\\\, \\xHH); device paths given as\n"
           "arguments may use the same escapes. Failures are one line on stderr (a JSON object with\n"
           "--json); --verbose adds the device's raw error. `devices` marks a device that cannot be\n"
           "used with its state and says on stderr what to do about it.\n"
           "Exit status: 0 success, 1 failure, 2 bad command line; a device that cannot be used:\n"
           "  3 the USB service (usbmuxd) is not running    4 the phone is locked with a passcode\n"
           "  5 the Trust question waits for an answer      6 Don't Trust was chosen\n"
           "  7 the phone forgot this computer's pairing    8 the phone refuses a session\n"
           "  9 the phone refuses to start its services     10 reached only over Wi-Fi\n";
}

std::string cliVersion()
{
    return std::string("torvane-cli ") + TORVANE_VERSION;
}

int reportCliFailure(const CliOptions& options,
    std::ostream& err,
    const std::string& subject,
    const std::string& words,
    const std::optional<std::string>& detail)
{
    if (options.json) {
        PlistDictionary error { { "message", PlistValue(words) } };
        if (!options.command.empty()) {
            error["command"] = PlistValue(options.command);
        }
        if (!subject.empty()) {
            error["subject"] = PlistValue(subject);
        }
        if (options.verbose && detail) {
            error["detail"] = PlistValue(*detail);
        }
        err << plistToJson(PlistValue(PlistDictionary { { "error", PlistValue(std::move(error)) } }), 0) << '\n';
        return CLI_FAILED;
    }
    err << "torvane-cli: " << options.command << (options.command.empty() || subject.empty() ? "" : " ") << subject
        << (options.command.empty() && subject.empty() ? "" : ": ") << words;
    if (options.verbose && detail && !detail->empty()) {
        err << " (" << escapeCliText(*detail) << ')';
    }
    err << '\n';
    return CLI_FAILED;
}

std::variant<CliOptions, std::string> parseCliArguments(
    const std::vector<std::string>& arguments, const std::vector<ToolCommandShape>& tools)
{
    const auto findToolOption = [&tools](const std::string& argument) -> const ToolOptionShape* {
        for (const ToolCommandShape& tool : tools) {
            for (const ToolOptionShape& option : tool.options) {
                if (argument == option.name || (option.takesValue && argument.starts_with(option.name + "="))) {
                    return &option;
                }
            }
        }
        return nullptr;
    };
    CliOptions options;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto takeValue = [&](const std::string& name) -> std::optional<std::string> {
            const std::string prefix = name + "=";
            if (argument.starts_with(prefix)) {
                return argument.substr(prefix.size());
            }
            if (i + 1 < arguments.size()) {
                return arguments[++i];
            }
            return std::nullopt;
        };
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            positional.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--wait") {
            options.wait = true;
        } else if (argument == "-r" || argument == "-R" || argument == "--recursive") {
            options.recursive = true;
        } else if (argument == "-f" || argument == "--overwrite") {
            options.overwrite = true;
        } else if (argument == "-v" || argument == "--verbose") {
            options.verbose = true;
        } else if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--timeout" || argument.starts_with("--timeout=")) {
            const std::optional<std::string> value = takeValue("--timeout");
            std::uint32_t seconds = 0;
            const auto parsed = value ? std::from_chars(value->data(), value->data() + value->size(), seconds)
                                      : std::from_chars_result { nullptr, std::errc::invalid_argument };
            if (!value || parsed.ec != std::errc() || parsed.ptr != value->data() + value->size()
                || seconds > 24 * 3600) {
                return std::string("--timeout needs a number of seconds (0 to 86400)");
            }
            options.timeoutSeconds = seconds;
        } else if (argument == "-u" || argument == "--udid" || argument.starts_with("--udid=")) {
            options.udid = takeValue("--udid");
            if (!options.udid || options.udid->empty()) {
                return std::string("--udid needs a UDID");
            }
        } else if (argument == "--domain" || argument.starts_with("--domain=")) {
            options.domain = takeValue("--domain");
            if (!options.domain || options.domain->empty()) {
                return std::string("--domain needs a domain name");
            }
        } else if (const ToolOptionShape* toolOption = findToolOption(argument)) {
            std::string value;
            if (toolOption->takesValue) {
                const std::optional<std::string> given = takeValue(toolOption->name);
                if (!given || given->empty()) {
                    return toolOption->name + " needs a value";
                }
                value = *given;
            }
            options.toolOptions[toolOption->name] = value;
        } else {
            return "unknown option " + argument;
        }
    }
    if (options.help || options.version) {
        return options;
    }
    if (positional.empty()) {
        return std::string("no command given");
    }
    options.command = positional.front();
    options.arguments.assign(positional.begin() + 1, positional.end());
    const auto tool = std::find_if(tools.begin(), tools.end(),
        [&options](const ToolCommandShape& shape) { return shape.name == options.command; });
    for (const auto& given : options.toolOptions) {
        // A named reference, not a structured binding: clang (and so clang-tidy) cannot capture those.
        const std::string& name = given.first;
        const bool belongs = tool != tools.end()
            && std::any_of(tool->options.begin(), tool->options.end(),
                [&name](const ToolOptionShape& option) { return option.name == name; });
        if (!belongs) {
            std::string owners;
            for (const ToolCommandShape& shape : tools) {
                for (const ToolOptionShape& option : shape.options) {
                    if (option.name == name) {
                        owners += (owners.empty() ? "" : ", ") + shape.name;
                    }
                }
            }
            return name + " goes with " + owners;
        }
    }
    const auto builtIn = commandShapes().find(options.command);
    CommandShape shape { 0, 0 };
    if (tool != tools.end()) {
        shape = { tool->minimum, tool->maximum };
    } else if (builtIn != commandShapes().end()) {
        shape = builtIn->second;
    } else {
        return "unknown command " + options.command;
    }
    if (options.arguments.size() < shape.minimum || options.arguments.size() > shape.maximum) {
        return options.command + ": wrong number of arguments";
    }
    if (options.wait && options.command != "devices") {
        return std::string("--wait goes with devices");
    }
    if (options.recursive && options.command != "rm") {
        return std::string("-r goes with rm");
    }
    if (options.overwrite && options.command != "push" && options.command != "mv") {
        return std::string("-f goes with push and mv");
    }
    if (options.domain && options.command != "info") {
        return std::string("--domain goes with info");
    }
    return options;
}

int runCli(const CliOptions& options, std::ostream& out, std::ostream& err)
{
    setLogToStderr(options.verbose);
    Cli cli(options, out, err);
    return cli.run();
}
