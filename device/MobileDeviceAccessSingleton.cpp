#include "device/MobileDeviceAccess.h"

// Kept apart from MobileDeviceAccess.cpp so that code which never asks for the shared manager
// (unit tests over a scripted library) does not link the production library.
MobileDeviceAccess& MobileDeviceAccess::singleton()
{
    static MobileDeviceAccess manager(MobileDevice::shared());
    return manager;
}
