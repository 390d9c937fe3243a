#include "app/ECAlerts.h"

#include "app/ECDeviceProbe.h"

namespace ECAlerts {

ECConnectionAlert connectionAlert(const ECDeviceReport& report)
{
    ECConnectionAlert alert;
    alert.buttonTitle = QStringLiteral("Try Again");
    if (report.mediaOpened) {
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
