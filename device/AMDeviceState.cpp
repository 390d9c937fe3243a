#include "device/AMDeviceState.h"

#include <array>

namespace {

struct StateEntry
{
    AMDeviceState state;
    AMDeviceStateText text;
};

constexpr std::array STATE_TABLE {
    StateEntry { AMDeviceState::Usable, { "usable", "Connected", "" } },
    StateEntry { AMDeviceState::PasscodeLocked,
        { "passcode-locked", "iPhone is locked",
            "Unlock your iPhone and tap Trust when it asks whether to trust this computer." } },
    StateEntry { AMDeviceState::TrustDialogPending,
        { "dialog-pending", "Waiting for Trust", "Tap Trust on your iPhone and enter its passcode, then try again." } },
    StateEntry { AMDeviceState::TrustDenied,
        { "denied", "Computer not trusted",
            "You chose Don't Trust: unplug the phone, plug it in again and tap Trust." } },
    StateEntry { AMDeviceState::PairingForgotten,
        { "pairing-forgotten", "Pairing expired",
            "This computer's pairing has expired: unplug the phone, plug it in again and tap Trust." } },
    StateEntry { AMDeviceState::SessionRefused,
        { "session-refused", "Computer not trusted",
            "Your iPhone refuses to talk to this computer: restart the iPhone, plug it in again and tap "
            "Trust." } },
    StateEntry { AMDeviceState::ServicesRefused,
        { "services-refused", "Files not available",
            "Your iPhone refuses to open its files to this computer: unlock it and try again, or restart "
            "it if that does not help." } },
    StateEntry { AMDeviceState::NetworkOnly,
        { "network-only", "Wireless connection detected",
            "Your phone must be connected via a USB cable for Torvane to free space." } },
    StateEntry { AMDeviceState::UsbServiceNotRunning,
        { "usb-service-not-running", "USB service not running",
            "The USB service for iPhones (usbmuxd) is not running: install it with \"sudo apt install "
            "usbmuxd\", then plug the phone in or start it with \"sudo systemctl start usbmuxd\"." } },
    StateEntry { AMDeviceState::Unreachable,
        { "unreachable", "Device not responding", "Unplug the phone, plug it in again and try again." } },
};

} // namespace

AMDeviceState deviceStateForSessionStatus(MDStatus status)
{
    switch (status) {
    case AMDStatus::Success:
        return AMDeviceState::Usable;
    case AMDStatus::PasswordProtectedError:
        return AMDeviceState::PasscodeLocked;
    case AMDStatus::PairingDialogPendingError:
        return AMDeviceState::TrustDialogPending;
    case AMDStatus::UserDeniedPairingError:
        return AMDeviceState::TrustDenied;
    case AMDStatus::InvalidHostIDError:
    case AMDStatus::MissingHostIDError:
    case AMDStatus::InvalidPairRecordError:
        return AMDeviceState::PairingForgotten;
    case AMDStatus::SessionRefusedError:
    case AMDStatus::PairingProhibitedError:
        return AMDeviceState::SessionRefused;
    case AMDStatus::MuxError:
        return AMDeviceState::UsbServiceNotRunning;
    default:
        return AMDeviceState::Unreachable;
    }
}

AMDeviceState deviceStateForServiceStatus(MDStatus status)
{
    switch (status) {
    case AMDStatus::Success:
        return AMDeviceState::Usable;
    case AMDStatus::PasswordProtectedError:
        return AMDeviceState::PasscodeLocked;
    case AMDStatus::InvalidServiceError:
    case AMDStatus::ServiceProhibitedError:
    case AMDStatus::ServiceLimitError:
    case AMDStatus::MissingServiceError:
    case AMDStatus::EscrowLockedError:
    case AMDStatus::DeviceProtectedError:
    case AMDStatus::SessionInactiveError:
    case AMDStatus::UndefinedError: // an error name the library does not know
        return AMDeviceState::ServicesRefused;
    default:
        return deviceStateForSessionStatus(status);
    }
}

const AMDeviceStateText& deviceStateText(AMDeviceState state)
{
    for (const StateEntry& entry : STATE_TABLE) {
        if (entry.state == state) {
            return entry.text;
        }
    }
    return STATE_TABLE.back().text;
}
