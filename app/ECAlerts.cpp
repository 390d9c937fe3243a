#include "app/ECAlerts.h"

#include "app/ECDeviceProbe.h"
#include "device/AMDeviceState.h"

namespace ECAlerts {

ECConnectionAlert connectionAlert(const ECDeviceReport& report)
{
    ECConnectionAlert alert;
    alert.buttonTitle = QStringLiteral("Try Again");
    if (report.state != AMDeviceState::Usable) {
        // The device said why: the same words the command-line tool uses.
        const AMDeviceStateText& text = deviceStateText(report.state);
        alert.messageText = QString::fromUtf8(text.title);
        alert.informativeText = QString::fromUtf8(text.advice);
    } else if (report.mediaOpened) {
        // Everything answers now, but the device refused this computer when it attached, so its
        // name was never read: trusting again gives a device object that has it.
        alert.messageText = QStringLiteral("Computer not trusted");
        // No desktop music application authorizes computers here: the phone's own Trust prompt does.
        alert.informativeText = QStringLiteral(
            "Unlock your device, tap Trust and make sure this computer is authorized to access your device. "
            "Then try again.");
    } else {
        alert.messageText = QStringLiteral("Wireless connection detected");
        alert.informativeText
            = QStringLiteral("Your phone must be connected via a USB cable for Torvane to free space.");
    }
    return alert;
}

} // namespace ECAlerts
