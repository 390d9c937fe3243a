#pragma once

#include "device/MobileDeviceAccess.h"

#include <QObject>

#include <memory>
#include <vector>

class ICCameraDevice;
class MobileDevice;

/// Finds cameras: every phone the device manager reports becomes a camera (ICCameraDevice)
/// whose serial number is the phone's unique device identifier.
///
/// The browser keeps a device manager of its own while it is started, so it hears every attach
/// and detach without taking the application's listener. Main thread only; the signals come on it.
class ICDeviceBrowser : public QObject, private MobileDeviceAccessListener
{
    Q_OBJECT

public:
    /// `library` must outlive the browser.
    explicit ICDeviceBrowser(MobileDevice& library, QObject* parent = nullptr);
    ~ICDeviceBrowser() override;

    unsigned browsedDeviceTypeMask() const { return m_mask; }
    void setBrowsedDeviceTypeMask(unsigned mask) { m_mask = mask; }

    /// Starts reporting cameras; starting a started browser is harmless.
    void start();
    /// Stops, and reports every camera as removed.
    void stop();
    bool isBrowsing() const { return m_manager != nullptr; }

    const std::vector<std::shared_ptr<ICCameraDevice>>& devices() const { return m_devices; }

signals:
    void didAddDevice(const std::shared_ptr<ICCameraDevice>& device, bool moreComing);
    void didRemoveDevice(const std::shared_ptr<ICCameraDevice>& device, bool moreGoing);

private:
    void deviceConnected(const std::shared_ptr<AMDevice>& device) override;
    void deviceDisconnected(const std::shared_ptr<AMDevice>& device) override;
    void removeCamera(std::size_t index, bool moreGoing);

    MobileDevice& m_library;
    unsigned m_mask { 0 };
    std::unique_ptr<MobileDeviceAccess> m_manager;
    std::vector<std::shared_ptr<AMDevice>> m_phones; // parallel to m_devices
    std::vector<std::shared_ptr<ICCameraDevice>> m_devices;
};
