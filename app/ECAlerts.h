#pragma once

#include <QString>

struct ECDeviceReport;

/// The alert shown when the selected device cannot be used, with the words it says.
struct ECConnectionAlert
{
    QString messageText;
    QString informativeText;
    QString buttonTitle;
};

namespace ECAlerts {

/// Why `report`'s device cannot be used: its media area opened, so the computer is not trusted
/// yet; or it did not, which is how a phone reached only over Wi-Fi answers.
ECConnectionAlert connectionAlert(const ECDeviceReport& report);

} // namespace ECAlerts
