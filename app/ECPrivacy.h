#pragma once

#include <QString>

/// What Torvane keeps on the computer and what it sends, in words for the user. The same
/// statement is in the README; the paths here are the ones this run actually uses.
namespace ECPrivacy {

/// The statement, with the preferences file `settingsFile` and the data folder `dataFolder`.
QString statement(const QString& settingsFile, const QString& dataFolder);

/// The statement for the running application's own files.
QString statement();

} // namespace ECPrivacy
