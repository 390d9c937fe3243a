#include "app/ECDeviceSelection.h"

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMDevice.h"
#include "modules/ECModule.h"

#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

/// The USB multiplexing socket, found the way the library finds it: USBMUXD_SOCKET_ADDRESS
/// "UNIX:<path>", else the system's socket. Empty for a network address, which has no folder to
/// watch.
QString usbServiceSocketPath()
{
    const QString address = qEnvironmentVariable("USBMUXD_SOCKET_ADDRESS");
    if (address.isEmpty()) {
        return QStringLiteral("/var/run/usbmuxd");
    }
    const QLatin1String unixPrefix("UNIX:");
    if (!address.startsWith(unixPrefix)) {
        return {};
    }
    return address.mid(unixPrefix.size());
}

QString usbServiceSocketFolder()
{
    const QString socket = usbServiceSocketPath();
    return socket.isEmpty() ? QString() : QFileInfo(socket).absolutePath();
}

/// A service binds its socket (which the folder watch sees) a moment before it listens on it, and
/// listening changes nothing in the folder: a socket that is there but refuses is asked again
/// after these delays, then left to the watch (it may be one a stopped service left behind).
constexpr int USB_SERVICE_STARTING_RETRIES_MS[] = { 100, 200, 400, 800, 1600, 3200 };

} // namespace

ECDeviceSelection::ECDeviceSelection(MobileDevice& library, const ECModules& modules, QObject* parent)
    : QObject(parent)
    , m_library(library)
    , m_modules(modules)
{
    m_deviceAccess = std::make_unique<MobileDeviceAccess>(m_library);
    m_deviceAccess->setConnectQueue(&m_connectQueue);
    m_deviceAccess->setListener(this);
    // Without the service no phone can ever be found, so the window says so instead of waiting
    // to be plugged in. The service creates its socket when it starts and removes it when it
    // stops, so while nothing is attached a change in the socket's folder asks again.
    if (const QString folder = usbServiceSocketFolder(); !folder.isEmpty() && !m_usbServiceWatcher.addPath(folder)) {
        logLine(LOG_APP, "Cannot watch %s for the USB service", qUtf8Printable(folder));
    }
    connect(&m_usbServiceWatcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (!m_usbServiceRunning || (listedDevices().empty() && m_connecting.empty())) {
            m_usbStartingRetries = 0;
            checkUsbService();
        }
    });
    m_usbStartingTimer.setSingleShot(true);
    connect(&m_usbStartingTimer, &QTimer::timeout, this, [this] {
        if (!m_usbServiceRunning) {
            checkUsbService();
        }
    });
    checkUsbService();
    // Told rather than asked: whoever waits for the exchanges to settle hears it once they have.
    QPointer<ECDeviceSelection> self(this);
    const auto settled = [self] {
        if (RunLoop* loop = RunLoop::main()) {
            loop->post([self] {
                if (self && self->pendingDeviceExchanges() == 0) {
                    emit self->deviceExchangesSettled();
                }
            });
        }
    };
    m_connectQueue.setIdleCallback(settled);
    m_deviceQueue.setIdleCallback(settled);
}

ECDeviceSelection::~ECDeviceSelection()
{
    if (m_deviceAccess) {
        m_deviceAccess->setListener(nullptr);
    }
    // Results still queued for the main thread are dropped with this object; exchanges under
    // way finish before the queue (destroyed first) lets go.
    cancelExchanges();
}

void ECDeviceSelection::cancelExchanges()
{
    m_deviceQueue.cancelAllOperations();
    m_connectQueue.cancelAllOperations();
    // After the cancellation: a waiter woken now sees it, and one that starts waiting later
    // sees it before it waits.
    std::lock_guard lock(m_lockWait->mutex);
    if (m_lockWait->device) {
        m_lockWait->device->deviceLock().wakeWaiters();
    }
}

void ECDeviceSelection::applicationWillTerminate()
{
    m_usbServiceWatcher.disconnect(this);
    m_usbStartingTimer.stop();
    // A module's deletion may hold the device lock while it waits for this (the main) thread;
    // an exchange waiting for that lock gives up here rather than keeping us waiting for it.
    cancelExchanges();
    m_deviceQueue.waitUntilAllOperationsAreFinished();
    if (m_deviceAccess) {
        m_deviceAccess->applicationWillTerminate();
    }
}

std::vector<std::shared_ptr<AMDevice>> ECDeviceSelection::listedDevices() const
{
    return m_deviceAccess ? m_deviceAccess->devices() : std::vector<std::shared_ptr<AMDevice>>();
}

bool ECDeviceSelection::isListed(const std::shared_ptr<AMDevice>& device) const
{
    const auto listed = listedDevices();
    return std::find(listed.begin(), listed.end(), device) != listed.end();
}

void ECDeviceSelection::runDeviceExchange(std::function<void(const Operation&)> work, std::function<void()> apply)
{
    const std::uint64_t generation = m_generation;
    QPointer<ECDeviceSelection> self(this);
    m_deviceQueue.addOperation(
        [self, generation, work = std::move(work), apply = std::move(apply)](const Operation& operation) {
            if (operation.isCancelled()) {
                return;
            }
            work(operation);
            // Through the main loop rather than a queued call to `self`, which this thread must
            // not touch: the window may be deleting it right now.
            RunLoop::main()->post([self, generation, apply] {
                if (self && self->m_generation == generation) {
                    apply();
                }
            });
        });
}

void ECDeviceSelection::refreshUsableDevices(std::function<void()> then)
{
    auto reports = std::make_shared<std::vector<ECDeviceReport>>();
    runDeviceExchange([devices = listedDevices(), reports, wait = m_lockWait](
                          const Operation& operation) { *reports = connectedDevices(devices, operation, *wait); },
        [this, reports, then = std::move(then)] {
            // A device that left while it was being looked at is gone from the list by now.
            std::erase_if(*reports, [&](const ECDeviceReport& report) { return !isListed(report.device); });
            m_usableDevices = std::move(*reports);
            emit usableDevicesChanged();
            if (then) {
                then();
            }
        });
}

bool ECDeviceSelection::withDeviceLock(const std::shared_ptr<AMDevice>& device,
    const Operation& operation,
    LockWait& wait,
    const std::function<void()>& talk)
{
    // A module's deletion may hold the lock for long and wait for the main thread meanwhile, so
    // the wait (on this queue, never the main thread) ends early when the exchange is cancelled:
    // a new manager, or quitting.
    {
        std::lock_guard lock(wait.mutex);
        wait.device = device;
    }
    AMDeviceLock& deviceLock = device->deviceLock();
    const bool locked = deviceLock.lockUnless([&operation] { return operation.isCancelled(); });
    {
        std::lock_guard lock(wait.mutex);
        wait.device.reset();
    }
    if (!locked) {
        return false;
    }
    const std::lock_guard held(deviceLock, std::adopt_lock);
    talk();
    return true;
}

ECDeviceReport ECDeviceSelection::probeLocked(
    const std::shared_ptr<AMDevice>& device, bool forSelection, const Operation& operation, LockWait& wait)
{
    if (!device) {
        return ECDeviceProbe::probeDevice(device, forSelection);
    }
    ECDeviceReport report { device, {}, false, {}, {}, {}, {} };
    (void)withDeviceLock(device, operation, wait, [&] { report = ECDeviceProbe::probeDevice(device, forSelection); });
    return report;
}

std::vector<ECDeviceReport> ECDeviceSelection::connectedDevices(
    const std::vector<std::shared_ptr<AMDevice>>& devices, const Operation& operation, LockWait& wait)
{
    std::vector<ECDeviceReport> usable;
    for (const std::shared_ptr<AMDevice>& device : devices) {
        ECDeviceReport report = probeLocked(device, false, operation, wait);
        if (report.mediaOpened) {
            usable.push_back(std::move(report));
        }
    }
    return usable;
}

std::optional<QString> ECDeviceSelection::connectingName() const
{
    for (const Connecting& connecting : m_connecting) {
        if (connecting.name) {
            return connecting.name;
        }
    }
    return std::nullopt;
}

void ECDeviceSelection::deviceConnecting(const AMDeviceRef& device, const std::optional<std::string>& name)
{
    auto found = std::find_if(
        m_connecting.begin(), m_connecting.end(), [&](const Connecting& entry) { return entry.device == device; });
    const std::optional<QString> text = name ? std::optional<QString>(QString::fromStdString(*name)) : std::nullopt;
    if (found == m_connecting.end()) {
        m_connecting.push_back({ device, text });
    } else {
        found->name = text;
    }
    emit connectingChanged();
}

void ECDeviceSelection::deviceConnectAbandoned(const AMDeviceRef& device)
{
    std::erase_if(m_connecting, [&](const Connecting& entry) { return entry.device == device; });
    emit connectingChanged();
}

void ECDeviceSelection::deviceConnected(const std::shared_ptr<AMDevice>& device)
{
    if (device) {
        device->setAFCIOTimeout(AFC_REQUEST_TIMEOUT_SECONDS);
    }
    // Still shown as connecting until it is selected or not, so the heading goes straight on.
    const AMDeviceRef reference = device ? device->device() : AMDeviceRef();
    const bool wasConnecting
        = std::erase_if(m_connecting, [&](const Connecting& entry) { return reference && entry.device == reference; });
    // Modules tidy up what an interrupted run left on the phone before anyone looks at it, so
    // the figures shown are those without it.
    runDeviceExchange(
        [modules = m_modules.all(), device](const Operation& operation) {
            for (ECModule* module : modules) {
                if (!operation.isCancelled()) {
                    module->deviceAttached(device);
                }
            }
        },
        [] {});
    refreshUsableDevices([this, device, wasConnecting] {
        const auto found = std::find_if(m_usableDevices.begin(), m_usableDevices.end(),
            [&](const ECDeviceReport& report) { return report.device == device; });
        const bool usable = found != m_usableDevices.end();
        // A second usable device never takes the selection away from the first. One that cannot
        // be used is selected when nothing else is, so the alert says why and what to do.
        if (usable && m_usableDevices.size() == 1) {
            // The look that found it usable has all the window shows: no second look.
            selectProbedDevice(*found);
        } else if (!usable && m_usableDevices.empty() && !selectionListed() && isListed(device)) {
            selectDevice(device);
        }
        emit pickerNeededChanged(m_usableDevices.size() >= 2);
        if (wasConnecting) {
            emit connectingChanged();
        }
    });
}

void ECDeviceSelection::deviceDisconnected(const std::shared_ptr<AMDevice>& device)
{
    // The departing device has forgotten its reference and can no longer be used: it leaves the
    // picker at once, and the others are looked at again.
    std::erase_if(m_usableDevices, [&](const ECDeviceReport& report) { return report.device == device; });
    emit usableDevicesChanged();
    const bool wasSelected = device && device == m_selectedDevice;
    if (wasSelected) {
        selectDevice(nullptr);
        emit selectedDeviceDetached();
    }
    refreshUsableDevices([this, wasSelected] {
        if (wasSelected && !m_selectedDevice) {
            if (!m_usableDevices.empty()) {
                selectProbedDevice(m_usableDevices.front());
            } else if (const auto listed = listedDevices(); !listed.empty()) {
                selectDevice(listed.front()); // to say why it cannot be used
            }
        }
        emit pickerNeededChanged(m_usableDevices.size() >= 2);
    });
}

void ECDeviceSelection::selectDevice(std::shared_ptr<AMDevice> device)
{
    m_selectedDevice = std::move(device);
    const std::uint64_t serial = ++m_selectionSerial;
    if (!m_selectedDevice) {
        emit selectionCleared();
        return;
    }
    auto report = std::make_shared<ECDeviceReport>();
    runDeviceExchange([device = m_selectedDevice, report, wait = m_lockWait](
                          const Operation& operation) { *report = probeLocked(device, true, operation, *wait); },
        [this, serial, report] {
            if (serial == m_selectionSerial) {
                emit selectionProbed(*report);
            }
        });
}

void ECDeviceSelection::selectProbedDevice(const ECDeviceReport& report)
{
    if (!report.usable()) {
        selectDevice(report.device); // the selection's own look says why it cannot be used
        return;
    }
    m_selectedDevice = report.device;
    ++m_selectionSerial;
    emit selectionProbed(report);
}

void ECDeviceSelection::refreshSelected()
{
    if (!m_selectedDevice) {
        return;
    }
    const std::uint64_t serial = m_selectionSerial;
    auto report = std::make_shared<ECDeviceReport>();
    runDeviceExchange([device = m_selectedDevice, report, wait = m_lockWait](
                          const Operation& operation) { *report = probeLocked(device, true, operation, *wait); },
        [this, serial, report] {
            if (serial == m_selectionSerial) {
                emit selectionRefreshed(*report);
            }
        });
}

void ECDeviceSelection::readMusic(
    std::shared_ptr<AMDevice> device, std::function<void(std::optional<std::int64_t>)> done)
{
    if (!device) {
        return;
    }
    auto bytes = std::make_shared<std::optional<std::int64_t>>();
    runDeviceExchange(
        [device, bytes, wait = m_lockWait](const Operation& operation) {
            (void)withDeviceLock(device, operation, *wait, [&] { *bytes = ECDeviceProbe::readMusicBytes(device); });
        },
        [bytes, done = std::move(done)] { done(*bytes); });
}

void ECDeviceSelection::replaceDeviceAccess()
{
    ++m_generation;
    cancelExchanges();
    if (m_deviceAccess) {
        m_deviceAccess->applicationWillTerminate();
        m_deviceAccess->setListener(nullptr);
    }
    m_usableDevices.clear();
    emit usableDevicesChanged();
    emit pickerNeededChanged(false);
    // The new subscription reports every device still attached as attached again, each with a
    // new device object. It is made before the old manager goes, so the library's own listener
    // keeps running in between.
    auto replacement = std::make_unique<MobileDeviceAccess>(m_library);
    replacement->setConnectQueue(&m_connectQueue);
    replacement->setListener(this);
    std::swap(m_deviceAccess, replacement);
    m_connecting.clear();
    emit connectingChanged();
    checkUsbService();
}

void ECDeviceSelection::checkUsbService()
{
    if (m_usbCheckPending) {
        m_usbRecheckWanted = true;
        return;
    }
    m_usbCheckPending = true;
    QPointer<ECDeviceSelection> self(this);
    // Asking connects to a socket: cheap, but not for the main thread should the service hang.
    m_connectQueue.addOperation([self, &library = m_library](const Operation&) {
        const bool running = library.AMDeviceMuxStatus() == AMDStatus::Success;
        RunLoop::main()->post([self, running] {
            if (!self) {
                return;
            }
            self->m_usbCheckPending = false;
            if (std::exchange(self->m_usbRecheckWanted, false)) {
                self->checkUsbService();
            }
            if (running && self->m_deviceAccess && !self->m_deviceAccess->isSubscribed()) {
                self->m_deviceAccess->setListener(self.data()); // subscribing failed before
            }
            if (running) {
                self->m_usbStartingRetries = 0;
            } else if (self->m_usbStartingRetries < std::size(USB_SERVICE_STARTING_RETRIES_MS)
                && QFileInfo::exists(usbServiceSocketPath()) && !self->m_usbStartingTimer.isActive()) {
                self->m_usbStartingTimer.start(USB_SERVICE_STARTING_RETRIES_MS[self->m_usbStartingRetries++]);
            }
            if (running != self->m_usbServiceRunning) {
                self->m_usbServiceRunning = running;
                emit self->usbServiceChanged(running);
            }
        });
    });
}
