#pragma once

#include "device/mobile_device.h"

/// Whether an attached device can be used now, and if not, why: the reasons a person can act on,
/// told apart from the statuses of connecting, starting a session and starting a service.
enum class AMDeviceState {
    Usable,
    /// Locked with a passcode: it must be unlocked before it can trust this computer.
    PasscodeLocked,
    /// The "Trust This Computer?" question is on the device's screen, unanswered.
    TrustDialogPending,
    /// The user tapped Don't Trust.
    TrustDenied,
    /// The device no longer knows this computer's pairing, and pairing again was not possible.
    PairingForgotten,
    /// The device refuses a session even to a computer it has just paired with.
    SessionRefused,
    /// A session starts, but the device refuses to start its services.
    ServicesRefused,
    /// Reached only over the network; the cleaning tools need the cable.
    NetworkOnly,
    /// Nothing serves the USB multiplexing socket (usbmuxd is missing or stopped).
    UsbServiceNotRunning,
    /// Detached, not answering, or any other failure.
    Unreachable,
};

/// The state a failed connect or session start stands for (Usable for 0).
AMDeviceState deviceStateForSessionStatus(MDStatus status);
/// The state a failed service start inside a session stands for (Usable for 0).
AMDeviceState deviceStateForServiceStatus(MDStatus status);

/// What to tell a person about a state, shared by the window and the command-line tool.
struct AMDeviceStateText
{
    /// A short stable name for scripts: "usable", "passcode-locked", "dialog-pending", "denied",
    /// "pairing-forgotten", "session-refused", "services-refused", "network-only",
    /// "usb-service-not-running", "unreachable".
    const char* name;
    /// A heading, such as an alert's message.
    const char* title;
    /// What to do about it, one or two sentences; empty for Usable.
    const char* advice;
};

const AMDeviceStateText& deviceStateText(AMDeviceState state);
