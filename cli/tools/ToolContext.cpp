#include "base/Log.h"
#include "base/RunLoop.h"
#include "cli/CliDevice.h"
#include "cli/CliText.h"
#include "cli/DeviceWatcher.h"
#include "cli/tools/ToolCommands.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "device/mobile_device.h"
#include "platform/QtRunLoop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdlib>

ToolContext::ToolContext(const CliOptions& options, std::ostream& out, std::ostream& err)
    : m_options(options)
    , m_out(out)
    , m_err(err)
{
}

ToolContext::~ToolContext()
{
    if (m_access) {
        m_access->setListener(nullptr);
    }
}

std::optional<std::string> ToolContext::toolOption(const std::string& name) const
{
    const auto found = m_options.toolOptions.find(name);
    return found == m_options.toolOptions.end() ? std::nullopt : std::optional<std::string>(found->second);
}

MobileDeviceAccess& ToolContext::deviceAccess()
{
    if (!m_access) {
        m_watcher = std::make_unique<DeviceWatcher>();
        m_access = std::make_unique<MobileDeviceAccess>(MobileDevice::shared());
    }
    if (!m_access->listener()) {
        m_access->setListener(m_watcher.get()); // subscribes
    }
    return *m_access;
}

std::shared_ptr<AMDevice> ToolContext::chooseDevice(bool usableOnly)
{
    m_status = CLI_FAILED;
    if (!m_access) {
        m_watcher = std::make_unique<DeviceWatcher>();
        m_access = std::make_unique<MobileDeviceAccess>(MobileDevice::shared());
    }
    // Asked before subscribing, as the built-in commands do: without the daemon no phone can ever
    // appear, so say so instead of "no device attached".
    if (!m_access->isSubscribed() && !m_access->usbServiceRunning()) {
        m_status = reportUnusable(m_options, m_err, {}, AMDeviceState::UsbServiceNotRunning);
        return nullptr;
    }
    MobileDeviceAccess& access = deviceAccess();
    // Naming the phone and asking whether it can be used are lockdown exchanges, which have no
    // bound of their own that --timeout sets.
    const std::unique_ptr<Watchdog> watchdog = Watchdog::forNoAnswer(m_options, m_out, m_err);
    if (access.isSubscribed()) {
        // Devices already attached arrive one record each, with no end marker: wait until the
        // records have been quiet for a moment, as the built-in commands do. The quiet time ends
        // without an event, so the wait is woken when it is due.
        const auto due = [this, &access] { return m_watcher->discoveryComplete(access.devices(), m_options.udid); };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!due() && std::chrono::steady_clock::now() < deadline) {
            (void)waitFor(due, DeviceWatcher::QUIET);
        }
    }
    std::shared_ptr<AMDevice> device = chooseCliDevice(m_options, m_err, access.devices());
    if (!device) {
        return nullptr;
    }
    if (const AMDeviceState state = usableOnly ? device->checkUsable() : AMDeviceState::Usable;
        state != AMDeviceState::Usable) {
        m_status = state == AMDeviceState::Unreachable
            ? reportCliFailure(m_options, m_err, {},
                "can't open the device's media area: "
                    + deviceFailureWords(device->lasterror(), "the service did not start"),
                device->lasterror())
            : reportUnusable(m_options, m_err, {}, state, device->lasterror());
        return nullptr;
    }
    device->setAFCIOTimeout(m_options.timeoutSeconds);
    m_device = device;
    return device;
}

bool ToolContext::deviceDetached() const
{
    return m_device && !m_device->device();
}

void ToolContext::wake()
{
    if (RunLoop* loop = RunLoop::main()) {
        loop->post([] {});
    }
}

bool ToolContext::waitFor(
    const std::function<bool()>& done, const std::function<std::uint64_t()>& progress, std::chrono::milliseconds limit)
{
    std::uint64_t seen = progress ? progress() : 0;
    QDeadlineTimer deadline(limit);
    // Wakes the loop when the bound is due, so the wait needs no timer of its own to look again.
    QTimer due;
    due.setSingleShot(true);
    due.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        if (deadline.hasExpired()) {
            const std::uint64_t now = progress ? progress() : seen;
            if (now == seen) {
                QCoreApplication::processEvents(); // what has arrived meanwhile still counts
                return done();
            }
            seen = now;
            deadline.setRemainingTime(limit);
        }
        if (!due.isActive()) {
            // Also after a timer that fired a moment early: never wait without a wake-up pending.
            due.start(std::max(std::chrono::milliseconds(1),
                std::chrono::ceil<std::chrono::milliseconds>(deadline.remainingTimeAsDuration())));
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool ToolContext::waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    return waitFor(done, {}, limit);
}

std::optional<std::chrono::milliseconds> ToolContext::stallBound() const
{
    if (m_options.timeoutSeconds == 0) {
        return std::nullopt;
    }
    // libimobiledevice waits up to 10 s for each lockdown reply, whatever --timeout says.
    constexpr auto LOCKDOWN_REPLY_BOUND = std::chrono::seconds(10);
    return std::chrono::seconds(m_options.timeoutSeconds) + LOCKDOWN_REPLY_BOUND;
}

int ToolContext::failure(const std::string& message)
{
    // Messages may carry names from the phone: shown as ls shows them. A JSON object under --json.
    return reportCliFailure(m_options, m_err, {}, m_options.json ? message : escapeCliText(message));
}

int ToolContext::deviceFailure(const std::string& message, const std::string& note)
{
    if (!m_device) {
        return failure(note.empty() ? message : message + "; " + note);
    }
    const std::string words = m_options.json ? message : escapeCliText(message);
    const std::string tail = note.empty() ? std::string() : "; " + (m_options.json ? note : escapeCliText(note));
    // Asking the phone why may meet the same silence that made the command fail.
    Watchdog watchdog(m_options.timeoutSeconds, [this, note] { noAnswer(note); });
    return reportDeviceFailure(
        m_options, m_err, *m_device,
        [this](std::chrono::milliseconds bound) { return waitFor([this] { return deviceDetached(); }, bound); }, words,
        tail);
}

void ToolContext::noAnswer(const std::string& note)
{
    (void)failure(noAnswerWords(m_options.timeoutSeconds) + (note.empty() ? std::string() : "; " + note));
    m_err.flush();
    m_out.flush();
    std::_Exit(CLI_FAILED);
}

int runToolCommand(
    const ToolCommand& command, const CliOptions& options, int argc, char** argv, std::ostream& out, std::ostream& err)
{
    setLogToStderr(options.verbose);
    QCoreApplication application(argc, argv);
    QtRunLoop mainLoop;
    RunLoop::setMain(&mainLoop);
    int status = CLI_FAILED;
    {
        ToolContext context(options, out, err);
        status = command.run(context);
    }
    RunLoop::setMain(nullptr);
    return status;
}
