#pragma once

#include "app/ECDeviceProbe.h"
#include "app/ECModuleCatalog.h"
#include "base/OperationQueue.h"
#include "device/MobileDeviceAccess.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class MobileDevice;

/// Which attached devices can be used and which one is selected. Owns the device manager and
/// listens to it; the manager connects to and pairs with attached devices on a connect queue,
/// and this class looks at devices on a queue of its own, one exchange at a time; both hand what
/// they found back to the main thread (RunLoop::main(), which must be set), so the window never
/// waits for a phone. Everything else runs on the main thread.
class ECDeviceSelection : public QObject, public MobileDeviceAccessListener
{
    Q_OBJECT
public:
    /// Creates its device manager over `library` and registers as its listener. `modules` tidy
    /// up each attached device; the device's own lock, which they take as well, keeps them and
    /// this class from talking to one device at once.
    ECDeviceSelection(MobileDevice& library, const ECModules& modules, QObject* parent = nullptr);
    ~ECDeviceSelection() override;

    /// The longest one AFC request of the window's tools waits for a phone that stays attached
    /// but stops answering (torvane-cli's default --timeout): a tool's work, and a window that
    /// waits for it to stop, never hang on such a phone.
    static constexpr std::uint32_t AFC_REQUEST_TIMEOUT_SECONDS = 30;

    // Device manager listener.
    void deviceConnected(const std::shared_ptr<AMDevice>& device) override;
    void deviceDisconnected(const std::shared_ptr<AMDevice>& device) override;
    void deviceConnecting(const AMDeviceRef& device, const std::optional<std::string>& name) override;
    void deviceConnectAbandoned(const AMDeviceRef& device) override;

    /// Selects `device`: selectionCleared() at once for none, else selectionProbed() once it has
    /// been looked at, unless another selection came in between.
    void selectDevice(std::shared_ptr<AMDevice> device);
    /// Selects the device of `report`, a look just taken at a usable device: selectionProbed()
    /// at once with it, without asking the device again.
    void selectProbedDevice(const ECDeviceReport& report);
    /// Looks at the selected device again: selectionRefreshed(); nothing without a selection.
    void refreshSelected();
    /// Reads the music total of `device` (ECDeviceProbe::readMusicBytes()) on the device queue,
    /// after what is queued already, then `done` on the main thread with it; `done` is dropped
    /// when the device manager is replaced or this object goes first.
    void readMusic(std::shared_ptr<AMDevice> device, std::function<void(std::optional<std::int64_t>)> done);
    /// Looks at every listed device again: usableDevicesChanged(), then `then` (if any).
    void refreshUsableDevices(std::function<void()> then = {});
    /// Replaces the device manager, which announces every attached device afresh; what the old
    /// one was doing is dropped.
    void replaceDeviceAccess();
    /// The application is quitting: exchanges end and every listed device ends its session.
    void applicationWillTerminate();

    /// Whether `device` is still attached.
    bool isListed(const std::shared_ptr<AMDevice>& device) const;
    const std::shared_ptr<AMDevice>& selectedDevice() const { return m_selectedDevice; }
    /// The usable devices in list order, as last looked at.
    const std::vector<ECDeviceReport>& usableDevices() const { return m_usableDevices; }
    MobileDeviceAccess* deviceAccess() const { return m_deviceAccess.get(); }
    /// Device exchanges queued or running, connects included (tests wait for zero).
    std::size_t pendingDeviceExchanges() const
    {
        return m_deviceQueue.operationCount() + m_connectQueue.operationCount();
    }
    /// Whether a device is being connected to, and its name if it gave one.
    bool isConnecting() const { return !m_connecting.empty(); }
    std::optional<QString> connectingName() const;
    /// False once nothing was found serving the USB multiplexing socket; asked again whenever
    /// the socket's folder changes while no device is attached, and by replaceDeviceAccess().
    bool usbServiceRunning() const { return m_usbServiceRunning; }

signals:
    void selectionCleared();
    void selectionProbed(const ECDeviceReport& report);
    void selectionRefreshed(const ECDeviceReport& report);
    void usableDevicesChanged();
    /// Whether there is a choice to offer: two or more usable devices.
    void pickerNeededChanged(bool needed);
    /// The selected device went away (the selection is cleared already).
    void selectedDeviceDetached();
    /// A device began or ended being connected to (see isConnecting()).
    void connectingChanged();
    /// usbServiceRunning() changed.
    void usbServiceChanged(bool running);
    /// pendingDeviceExchanges() has dropped to zero.
    void deviceExchangesSettled();

private:
    /// The device lock the exchange under way is waiting for, so that cancelling can wake it.
    /// Shared with the exchanges, which may outlive this object by a moment.
    struct LockWait
    {
        std::mutex mutex;
        std::shared_ptr<AMDevice> device;
    };
    /// Runs `talk` holding `device`'s lock; false, without running it, when the exchange is
    /// cancelled while waiting for the lock.
    static bool withDeviceLock(const std::shared_ptr<AMDevice>& device,
        const Operation& operation,
        LockWait& wait,
        const std::function<void()>& talk);
    /// probeDevice() holding the device's lock; gives up (device not usable) when the exchange is
    /// cancelled while waiting for it.
    static ECDeviceReport probeLocked(
        const std::shared_ptr<AMDevice>& device, bool forSelection, const Operation& operation, LockWait& wait);
    /// The listed devices in list order, keeping those whose media area opens.
    static std::vector<ECDeviceReport> connectedDevices(
        const std::vector<std::shared_ptr<AMDevice>>& devices, const Operation& operation, LockWait& wait);
    /// Cancels every exchange and wakes the one waiting for a device lock.
    void cancelExchanges();

    /// Runs `work` on the device queue, then `apply` on the main thread, unless the device
    /// manager was replaced in between.
    void runDeviceExchange(std::function<void(const Operation&)> work, std::function<void()> apply);
    std::vector<std::shared_ptr<AMDevice>> listedDevices() const;
    /// The selected device is still attached (whether usable or not).
    bool selectionListed() const { return m_selectedDevice && isListed(m_selectedDevice); }
    /// Asks, off the main thread, whether the USB multiplexing service answers.
    void checkUsbService();

    MobileDevice& m_library;
    ECModules m_modules;
    std::unique_ptr<MobileDeviceAccess> m_deviceAccess;
    // Raised each time the manager is replaced; results of exchanges begun under an older one
    // are dropped.
    std::uint64_t m_generation { 0 };
    // Raised by every selection; a selection's exchange applies only if none came after it.
    std::uint64_t m_selectionSerial { 0 };
    std::shared_ptr<AMDevice> m_selectedDevice;
    std::vector<ECDeviceReport> m_usableDevices;
    std::shared_ptr<LockWait> m_lockWait { std::make_shared<LockWait>() };
    struct Connecting
    {
        AMDeviceRef device;
        std::optional<QString> name;
    };
    std::vector<Connecting> m_connecting;
    bool m_usbServiceRunning { true };
    bool m_usbCheckPending { false };
    // The folder changed again while a check was under way: that check may predate the change.
    bool m_usbRecheckWanted { false };
    QFileSystemWatcher m_usbServiceWatcher;
    // The socket is there but refuses (bound, not yet listening): asked again a few times.
    QTimer m_usbStartingTimer;
    std::size_t m_usbStartingRetries { 0 };

    // Connecting and pairing; what runs here touches no member, only the library.
    OperationQueue m_connectQueue { 2 };
    // Declared last so it is destroyed first: no exchange outlives the members above.
    OperationQueue m_deviceQueue { 1 };
};
