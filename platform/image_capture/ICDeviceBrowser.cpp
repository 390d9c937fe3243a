#include "platform/image_capture/ICDeviceBrowser.h"

#include "device/AMDevice.h"
#include "platform/image_capture/ICCameraDevice.h"

ICDeviceBrowser::ICDeviceBrowser(MobileDevice& library, QObject* parent)
    : QObject(parent)
    , m_library(library)
{
}

ICDeviceBrowser::~ICDeviceBrowser()
{
    m_manager.reset();
    m_devices.clear();
}

void ICDeviceBrowser::start()
{
    if (m_manager) {
        return;
    }
    m_manager = std::make_unique<MobileDeviceAccess>(m_library);
    // Subscribing makes the library report the phones already attached, one by one.
    m_manager->setListener(this);
}

void ICDeviceBrowser::stop()
{
    if (!m_manager) {
        return;
    }
    m_manager.reset();
    while (!m_devices.empty()) {
        removeCamera(m_devices.size() - 1, m_devices.size() > 1);
    }
}

void ICDeviceBrowser::deviceConnected(const std::shared_ptr<AMDevice>& device)
{
    if (!(m_mask & ICCameraDevice::TYPE_CAMERA) || !device->udid()) {
        return;
    }
    auto camera = std::make_shared<ICCameraDevice>(device);
    m_phones.push_back(device);
    m_devices.push_back(camera);
    emit didAddDevice(camera, false);
}

void ICDeviceBrowser::deviceDisconnected(const std::shared_ptr<AMDevice>& device)
{
    for (std::size_t i = 0; i < m_phones.size(); ++i) {
        if (m_phones[i] == device) {
            removeCamera(i, false);
            return;
        }
    }
}

void ICDeviceBrowser::removeCamera(std::size_t index, bool moreGoing)
{
    const std::shared_ptr<ICCameraDevice> camera = m_devices[index];
    m_devices.erase(m_devices.begin() + std::ptrdiff_t(index));
    m_phones.erase(m_phones.begin() + std::ptrdiff_t(index));
    camera->deviceWasRemoved();
    emit didRemoveDevice(camera, moreGoing);
}
