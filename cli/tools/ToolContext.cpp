#include "base/Log.h"
#include "base/RunLoop.h"
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
        m_access->setListener(m_watcher.get());
    }
    return *m_access;
}

std::shared_ptr<AMDevice> ToolContext::chooseDevice()
{
    MobileDeviceAccess& access = deviceAccess();
    if (access.isSubscribed()) {
        // Devices already attached arrive one record each, with no end marker: wait until the
        // records have been quiet for a moment, as the built-in commands do.
        runUntil(
            [&] { return m_watcher->discoveryComplete(access.devices(), m_options.udid); }, std::chrono::seconds(5));
    }
    const auto& devices = access.devices();
    if (m_options.udid) {
        for (const auto& device : devices) {
            if (device->udid() == *m_options.udid) {
                return device;
            }
        }
        failure("no attached device has the UDID " + *m_options.udid);
        return nullptr;
    }
    if (devices.empty()) {
        failure("no device attached");
        return nullptr;
    }
    if (devices.size() > 1) {
        std::string list;
        for (const auto& device : devices) {
            list += (list.empty() ? "" : ", ") + device->udid().value_or("?");
        }
        failure("more than one device attached (" + list + "); choose one with --udid");
        return nullptr;
    }
    return devices.front();
}

bool ToolContext::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    if (done()) {
        return true;
    }
    const QDeadlineTimer deadline(limit);
    bool held = false;
    QEventLoop loop;
    // The condition may depend on other threads, which post no event when it changes: look
    // again every few milliseconds while serving events.
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        held = done();
        if (held || deadline.hasExpired()) {
            loop.quit();
        }
    });
    poll.start();
    loop.exec();
    return held;
}

int ToolContext::failure(const std::string& message)
{
    return reportCliFailure(m_options, m_err, {}, message); // a JSON object under --json, as for every command
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
