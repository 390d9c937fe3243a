#include "device/mobile_device.h"

#include "base/Log.h"

#include <array>

namespace {

struct StatusEntry
{
    MDStatus status;
    const char* name;
    const char* text;
};

constexpr std::array STATUS_TABLE {
    StatusEntry { AMDStatus::Success, "Success", "Success" },
    StatusEntry { AMDStatus::UndefinedError, "AMDStatus::UndefinedError", "Undefined error" },
    StatusEntry { AMDStatus::BadHeaderError, "AMDStatus::BadHeaderError", "Bad header" },
    StatusEntry { AMDStatus::NoResourcesError, "AMDStatus::NoResourcesError", "No resources" },
    StatusEntry { AMDStatus::ReadError, "AMDStatus::ReadError", "Read error" },
    StatusEntry { AMDStatus::WriteError, "AMDStatus::WriteError", "Write error" },
    StatusEntry { AMDStatus::UnknownPacketError, "AMDStatus::UnknownPacketError", "Unknown packet" },
    StatusEntry { AMDStatus::InvalidArgumentError, "AMDStatus::InvalidArgumentError", "Invalid argument" },
    StatusEntry { AMDStatus::NotFoundError, "AMDStatus::NotFoundError", "Not found" },
    StatusEntry { AMDStatus::NotConnectedError, "AMDStatus::NotConnectedError", "Not connected" },
    StatusEntry { AMDStatus::TimeOutError, "AMDStatus::TimeOutError", "Timed out" },
    StatusEntry { AMDStatus::EOFError, "AMDStatus::EOFError", "Connection closed" },
    StatusEntry { AMDStatus::UnsupportedError, "AMDStatus::UnsupportedError", "Unsupported" },
    StatusEntry { AMDStatus::BusyError, "AMDStatus::BusyError", "Busy" },
    StatusEntry { AMDStatus::CryptoError, "AMDStatus::CryptoError", "Secure connection failed" },
    StatusEntry { AMDStatus::InvalidResponseError, "AMDStatus::InvalidResponseError", "Invalid response" },
    StatusEntry { AMDStatus::MissingKeyError, "AMDStatus::MissingKeyError", "Missing key" },
    StatusEntry { AMDStatus::MissingValueError, "AMDStatus::MissingValueError", "Missing value" },
    StatusEntry { AMDStatus::GetProhibitedError, "AMDStatus::GetProhibitedError", "Get prohibited" },
    StatusEntry { AMDStatus::SetProhibitedError, "AMDStatus::SetProhibitedError", "Set prohibited" },
    StatusEntry { AMDStatus::RemoveProhibitedError, "AMDStatus::RemoveProhibitedError", "Remove prohibited" },
    StatusEntry { AMDStatus::ImmutableValueError, "AMDStatus::ImmutableValueError", "Immutable value" },
    StatusEntry { AMDStatus::PasswordProtectedError, "AMDStatus::PasswordProtectedError",
        "The device is locked with a passcode" },
    StatusEntry { AMDStatus::MissingHostIDError, "AMDStatus::MissingHostIDError", "Missing host ID" },
    StatusEntry { AMDStatus::InvalidHostIDError, "AMDStatus::InvalidHostIDError",
        "Invalid host ID (the device does not trust this computer)" },
    StatusEntry { AMDStatus::SessionActiveError, "AMDStatus::SessionActiveError", "Session active" },
    StatusEntry { AMDStatus::SessionInactiveError, "AMDStatus::SessionInactiveError", "Session inactive" },
    StatusEntry { AMDStatus::MissingSessionIDError, "AMDStatus::MissingSessionIDError", "Missing session ID" },
    StatusEntry { AMDStatus::InvalidSessionIDError, "AMDStatus::InvalidSessionIDError", "Invalid session ID" },
    StatusEntry { AMDStatus::MissingServiceError, "AMDStatus::MissingServiceError", "Missing service" },
    StatusEntry { AMDStatus::InvalidServiceError, "AMDStatus::InvalidServiceError", "Invalid service" },
    StatusEntry { AMDStatus::ServiceLimitError, "AMDStatus::ServiceLimitError", "Service limit reached" },
    StatusEntry { AMDStatus::ServiceProhibitedError, "AMDStatus::ServiceProhibitedError", "Service prohibited" },
    StatusEntry { AMDStatus::MissingPairRecordError, "AMDStatus::MissingPairRecordError", "Missing pair record" },
    StatusEntry { AMDStatus::InvalidActivationRecordError, "AMDStatus::InvalidActivationRecordError",
        "Invalid activation record" },
    StatusEntry { AMDStatus::MissingActivationRecordError, "AMDStatus::MissingActivationRecordError",
        "Missing activation record" },
    StatusEntry { AMDStatus::InvalidPairRecordError, "AMDStatus::InvalidPairRecordError", "Invalid pair record" },
    StatusEntry { AMDStatus::SavePairRecordError, "AMDStatus::SavePairRecordError", "Saving the pair record failed" },
    StatusEntry { AMDStatus::PairingFailedError, "AMDStatus::PairingFailedError", "Pairing failed" },
    StatusEntry { AMDStatus::UserDeniedPairingError, "AMDStatus::UserDeniedPairingError", "The user denied pairing" },
    StatusEntry { AMDStatus::PairingDialogPendingError, "AMDStatus::PairingDialogPendingError",
        "The device is waiting for its user to trust this computer" },
    StatusEntry { AMDStatus::PairingProhibitedError, "AMDStatus::PairingProhibitedError",
        "Pairing prohibited over this connection" },
    StatusEntry { AMDStatus::EscrowLockedError, "AMDStatus::EscrowLockedError", "Escrow locked" },
    StatusEntry { AMDStatus::DeviceProtectedError, "AMDStatus::DeviceProtectedError",
        "The device is protected by a management profile" },
    StatusEntry { AMDStatus::MuxError, "AMDStatus::MuxError", "usbmuxd cannot be reached" },
    StatusEntry { AMDStatus::MuxConnectError, "AMDStatus::MuxConnectError", "Cannot connect to the device" },
    StatusEntry { AMDStatus::DeviceDetachedError, "AMDStatus::DeviceDetachedError", "The device is not attached" },
    StatusEntry { AMDStatus::NoConnectionError, "AMDStatus::NoConnectionError", "Not connected to the device" },
    StatusEntry {
        AMDStatus::ServiceConnectError, "AMDStatus::ServiceConnectError", "Cannot connect to the started service" },
    StatusEntry { AMDStatus::NoRunLoopError, "AMDStatus::NoRunLoopError", "No run loop on the calling thread" },
    StatusEntry { AMDStatus::InvalidSubscriptionError, "AMDStatus::InvalidSubscriptionError", "Unknown subscription" },
    StatusEntry { AMDStatus::SessionRefusedError, "AMDStatus::SessionRefusedError", "The device refused a session" },
    StatusEntry { AFCStatus::UnknownError, "AFCStatus::UnknownError", "Unknown error" },
    StatusEntry { AFCStatus::OpHeaderInvalid, "AFCStatus::OpHeaderInvalid", "Operation header invalid" },
    StatusEntry { AFCStatus::NoResources, "AFCStatus::NoResources", "No resources" },
    StatusEntry { AFCStatus::ReadError, "AFCStatus::ReadError", "Read error" },
    StatusEntry { AFCStatus::WriteError, "AFCStatus::WriteError", "Write error" },
    StatusEntry { AFCStatus::UnknownPacketType, "AFCStatus::UnknownPacketType", "Unknown packet type" },
    StatusEntry { AFCStatus::InvalidArg, "AFCStatus::InvalidArg", "Invalid argument" },
    StatusEntry { AFCStatus::ObjectNotFound, "AFCStatus::ObjectNotFound", "Not found" },
    StatusEntry { AFCStatus::ObjectIsDir, "AFCStatus::ObjectIsDir", "Object is a directory" },
    StatusEntry { AFCStatus::PermDenied, "AFCStatus::PermDenied", "Permission denied" },
    StatusEntry { AFCStatus::ServiceNotConnected, "AFCStatus::ServiceNotConnected", "Service not connected" },
    StatusEntry { AFCStatus::OpTimeout, "AFCStatus::OpTimeout", "Timeout" },
    StatusEntry { AFCStatus::TooMuchData, "AFCStatus::TooMuchData", "Too much data" },
    StatusEntry { AFCStatus::EndOfData, "AFCStatus::EndOfData", "End of data" },
    StatusEntry { AFCStatus::OpNotSupported, "AFCStatus::OpNotSupported", "Operation not supported" },
    StatusEntry { AFCStatus::ObjectExists, "AFCStatus::ObjectExists", "Object exists" },
    StatusEntry { AFCStatus::ObjectBusy, "AFCStatus::ObjectBusy", "Object busy" },
    StatusEntry { AFCStatus::NoSpaceLeft, "AFCStatus::NoSpaceLeft", "No space left on device" },
    StatusEntry { AFCStatus::OpWouldBlock, "AFCStatus::OpWouldBlock", "Operation would block" },
    StatusEntry { AFCStatus::IoError, "AFCStatus::IoError", "I/O error" },
    StatusEntry { AFCStatus::OpInterrupted, "AFCStatus::OpInterrupted", "Operation interrupted" },
    StatusEntry { AFCStatus::OpInProgress, "AFCStatus::OpInProgress", "Operation in progress" },
    StatusEntry { AFCStatus::InternalError, "AFCStatus::InternalError", "Internal error" },
    StatusEntry { AFCStatus::ConnectionError, "AFCStatus::ConnectionError", "Connection to the device failed" },
    StatusEntry { AFCStatus::NoMemory, "AFCStatus::NoMemory", "Reply too large" },
    StatusEntry { AFCStatus::NotEnoughData, "AFCStatus::NotEnoughData", "Malformed reply" },
};

const StatusEntry* findStatus(MDStatus status)
{
    for (const auto& entry : STATUS_TABLE) {
        if (entry.status == status) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

const char* mobileDeviceStatusName(MDStatus status)
{
    const StatusEntry* entry = findStatus(status);
    return entry ? entry->name : nullptr;
}

std::string mobileDeviceStatusText(MDStatus status)
{
    if (const StatusEntry* entry = findStatus(status)) {
        return entry->text;
    }
    return stringWithFormat("Unknown status 0x%x", status);
}

std::optional<std::string> MobileDevice::AMDeviceCopyDeviceIdentifier(const AMDeviceRef&)
{
    return std::nullopt;
}

MDStatus MobileDevice::AMDeviceMuxStatus()
{
    return AMDStatus::Success; // a library that reaches devices without a multiplexing daemon
}

MobileDeviceHandle::~MobileDeviceHandle() = default;
AMServiceConnection::~AMServiceConnection() = default;
