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

/// Why `report`'s device cannot be used: the state it reported (locked, Trust unanswered or
/// refused, no session, no services, Wi-Fi only, ...) with what to do about it; without one, the
/// computer is not trusted yet when the media area opened, and a phone reached only over Wi-Fi
/// when it did not.
ECConnectionAlert connectionAlert(const ECDeviceReport& report);

} // namespace ECAlerts
