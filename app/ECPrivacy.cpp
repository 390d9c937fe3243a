#include "app/ECPrivacy.h"

#include "platform/ECAppSizeFetcher.h"
#include "platform/UserDefaults.h"
#include "platform/event_store.h"

#include <QDir>
#include <QFileInfo>

namespace ECPrivacy {

QString statement(const QString& settingsFile, const QString& eventsFolder, const QString& appSizesFile)
{
    return QStringLiteral(
        "Kept on this computer:\n"
        "• Preferences, in %1: which first-run messages were shown and, only if you sign up for tips, your "
        "e-mail address and whether you accept other offers.\n"
        "• Usage records, in %2: when Torvane was opened, which tool cleared how much space and which was "
        "cancelled, under a random number made on this computer. They are never sent anywhere.\n"
        "• The download sizes of apps, in %3; photos and videos you back up, in the folder you choose; and "
        "while the music tool runs, a copy of the device's music library in a private temporary folder.\n\n"
        "Sent over the internet, always encrypted:\n"
        "• When you sign up for tips: your e-mail address and your choice about other offers, to Torvane's "
        "server. If that fails, Torvane tries again each time it starts until the server has them.\n"
        "• When the apps tool sizes your apps: each app's identifier, to the App Store's public lookup "
        "service.\n\n"
        "Help pages open in your web browser. Nothing else leaves this computer: no names, photos, songs, "
        "messages or files from your device.\n\n"
        "Diagnostics go to the system log: plain lines about what Torvane did and what failed, with error "
        "texts and numbers. They hold no device names and nothing of the device's contents, except that a "
        "line about a file, photo or app that could not be copied or removed names it, and a line about a "
        "file on this computer that could not be written gives its path.")
        .arg(QDir::toNativeSeparators(settingsFile), QDir::toNativeSeparators(eventsFolder),
            QDir::toNativeSeparators(appSizesFile));
}

QString statement()
{
    const QString events = QString::fromStdString(EventStore::defaultPath());
    const QString folder = events.isEmpty() ? QStringLiteral("a temporary folder") : QFileInfo(events).absolutePath();
    return statement(UserDefaults::standardUserDefaults().fileName(), folder, ECAppSizeFetcher::defaultFilePath());
}

} // namespace ECPrivacy
