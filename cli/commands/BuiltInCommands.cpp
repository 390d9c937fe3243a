#include "cli/commands/BuiltInCommands.h"

#include "base/Log.h"
#include "cli/CliDevice.h"
#include "cli/CliText.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AMDevice.h"

#include <algorithm>
#include <chrono>

// Each group of built-in commands lives in its own file beside this one; list each command here
// once, in the order the help text shows them.

namespace CliBuiltIn {

CliCommand devicesCommand();
CliCommand infoCommand();
CliCommand dfCommand();
CliCommand lsCommand();
CliCommand statCommand();
CliCommand scanCommand();
CliCommand pullCommand();
CliCommand pushCommand();
CliCommand rmCommand();
CliCommand mkdirCommand();
CliCommand mvCommand();
CliCommand appsCommand();
CliCommand uninstallCommand();
CliCommand iconCommand();
CliCommand screenshotCommand();
CliCommand syslogCommand();
CliCommand notifyCommand();

} // namespace CliBuiltIn

const std::vector<CliCommand>& builtInCommands()
{
    static const std::vector<CliCommand> commands {
        CliBuiltIn::devicesCommand(),
        CliBuiltIn::infoCommand(),
        CliBuiltIn::dfCommand(),
        CliBuiltIn::lsCommand(),
        CliBuiltIn::statCommand(),
        CliBuiltIn::scanCommand(),
        CliBuiltIn::pullCommand(),
        CliBuiltIn::pushCommand(),
        CliBuiltIn::rmCommand(),
        CliBuiltIn::mkdirCommand(),
        CliBuiltIn::mvCommand(),
        CliBuiltIn::appsCommand(),
        CliBuiltIn::uninstallCommand(),
        CliBuiltIn::iconCommand(),
        CliBuiltIn::screenshotCommand(),
        CliBuiltIn::syslogCommand(),
        CliBuiltIn::notifyCommand(),
    };
    return commands;
}

const CliCommand* builtInCommand(const std::string& name)
{
    const auto& commands = builtInCommands();
    const auto found = std::find_if(
        commands.begin(), commands.end(), [&name](const CliCommand& command) { return command.name == name; });
    return found == commands.end() ? nullptr : &*found;
}

namespace {

/// Longest device path accepted: what the device's file system takes. Longer ones are refused
/// before any request (the device would create parts of them first).
constexpr std::size_t MAX_DEVICE_PATH = 1023;

} // namespace

CliSession::CliSession(const CliOptions& options, std::ostream& out, std::ostream& err)
    : m_options(options)
    , m_out(out)
    , m_err(err)
    , m_manager(MobileDevice::shared())
{
}

CliSession::~CliSession()
{
    m_manager.setListener(nullptr);
}

AFCDirectoryAccess& CliSession::mediaArea()
{
    return *m_mediaArea;
}

int CliSession::failure(const std::string& subject, const std::string& words, const std::optional<std::string>& detail)
{
    return reportCliFailure(m_options, m_err, subject, words, detail);
}

int CliSession::unusable(const std::string& subject, AMDeviceState state, const std::optional<std::string>& detail)
{
    return reportUnusable(m_options, m_err, subject, state, detail);
}

int CliSession::run()
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
    const int status = runCommand(*watchdog);
    // Let the device go while the watchdog still guards its farewell.
    m_mediaArea.reset();
    m_device.reset();
    return status;
}

int CliSession::runCommand(Watchdog& watchdog)
{
    const CliCommand* command = builtInCommand(m_options.command);
    if (!command) {
        return failure({}, "unknown command");
    }
    if (command->needs == CliCommandNeeds::DeviceList) {
        return command->run(*this);
    }
    m_device = chooseCliDevice(m_options, m_err, m_manager.devices());
    if (!m_device) {
        return CLI_FAILED;
    }
    if (command->needs == CliCommandNeeds::Device) {
        // Streams run for as long as they are wanted, and an uninstall as long as the phone
        // reports progress (each reply has the bound); the rest answer within the bound.
        if (command->unbounded) {
            watchdog.disarm();
        }
        return command->run(*this);
    }
    m_device->setAFCIOTimeout(m_options.timeoutSeconds);
    m_mediaArea = m_device->newAFCMediaDirectory();
    watchdog.disarm(); // each request on the media area has its own bound from here on
    if (!m_mediaArea) {
        // Ask again, so the reason is one a person can act on where there is one.
        if (const AMDeviceState state = m_device->checkUsable();
            state != AMDeviceState::Usable && state != AMDeviceState::Unreachable) {
            return unusable({}, state, m_device->lasterror());
        }
        return failure({},
            "can't open the device's media area: "
                + deviceFailureWords(m_device->lasterror(), "the service did not start"),
            m_device->lasterror());
    }
    // Device paths come as printed: escapes stand for the bytes they show. Local paths are the
    // shell's business.
    m_paths = m_options.arguments;
    for (std::size_t i = 0; i < m_paths.size(); ++i) {
        if (std::find(command->localArguments.begin(), command->localArguments.end(), i)
            != command->localArguments.end()) {
            continue;
        }
        const std::string& path = m_paths[i] = unescapeCliArgument(m_paths[i]);
        if (path.size() > MAX_DEVICE_PATH) {
            return failure(escapeCliText(path.substr(0, 40)) + "...",
                stringWithFormat(
                    "the path is too long (%zu bytes; the device takes at most %zu)", path.size(), MAX_DEVICE_PATH));
        }
    }
    return command->run(*this);
}

void CliSession::discoverDevices()
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

void CliSession::waitForADevice()
{
    m_manager.setListener(&m_watcher);
    if (m_manager.isSubscribed()) {
        m_loop.runUntil([this] { return !m_manager.devices().empty(); }, std::chrono::hours(24 * 365));
    }
}
