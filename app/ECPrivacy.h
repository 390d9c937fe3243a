#pragma once

#include <QString>

/// What Torvane keeps on the computer and what it sends, in words for the user. The same
/// statement is in the README; the paths here are the ones this run actually uses.
namespace ECPrivacy {

/// The statement, with the preferences file `settingsFile`, the folder of the usage records
/// `eventsFolder` and the app-size cache `appSizesFile`.
QString statement(const QString& settingsFile, const QString& eventsFolder, const QString& appSizesFile);

/// The statement for the running application's own files.
QString statement();

} // namespace ECPrivacy
