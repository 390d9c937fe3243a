#pragma once

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>
#include <string>

/// The arithmetic and texts of temporary-file clearing, decided without any device or widget.
namespace ECFillRules {

inline constexpr std::uint64_t KIB = 1024;
inline constexpr std::uint64_t MIB = 1024 * KIB;

/// The folder at the root of the media area that holds every filler file.
inline constexpr const char* FILL_FOLDER = "Torvane";
/// How often the phone is filled in one run: the first fill and two refill passes.
inline constexpr int FILLS = 3;
/// Failed creations in a row after which the phone counts as full.
inline constexpr int FAILURES_WHEN_FULL = 4;
/// A phone still this free after four failures refuses writes it has room for.
inline constexpr std::uint64_t FULL_THRESHOLD = MIB;
/// A refill pass deletes fillers until more than this is free.
inline constexpr std::uint64_t REFILL_FREE_SPACE = 101 * MIB;
/// The most of the starting free space one fill counts for in the progress.
inline constexpr std::uint64_t REFILL_PROGRESS_SHARE = 100 * MIB;

/// The size of the next filler for a free space of `freeBytes`: 50 MiB above 100 MiB, 10 MiB above
/// 10 MiB, 1 MiB above 1 MiB, 10 KiB above 30 KiB, and 1 KiB otherwise.
std::uint64_t getApproriateBlobSizeForFreeSpace(std::uint64_t freeBytes);

/// Progress of a run in percent, 0 to 100: how much of the starting free space `initialFree` is
/// filled now (`freeNow`), plus one share per refill pass done, over everything the run fills.
float fillProgress(std::uint64_t initialFree, std::uint64_t freeNow, int refillPasses);

/// Filler numbers run from 0 to FILLER_NUMBERS − 1.
inline constexpr int FILLER_NUMBERS = 1000;

/// "Torvane/<date>-<n>": the date as "2015-03-12 10:11:12 +0000" (UTC) and `number` from 0 to 999.
std::string fillerPath(const QDateTime& now, int number);

/// A byte count the way the result dialog writes it ("1.2 GB").
QString convertBytesToString(std::uint64_t bytes);

/// What a finished run can truthfully say about the space it gained.
enum class ECGain {
    Unknown, ///< a reading of the free space failed: nothing can be said
    Some, ///< the phone ended with more free space than it started with
    None, ///< exactly as much as before
    Less, ///< less than before (the phone stored something meanwhile): nothing was gained
};

struct ECGainReport
{
    ECGain kind { ECGain::Unknown };
    std::uint64_t bytes { 0 }; ///< the space gained, for ECGain::Some
};

/// Compares the free space at the start and at the end of a run.
ECGainReport gainBetween(std::optional<std::uint64_t> initialFree, std::optional<std::uint64_t> finalFree);

/// The finished dialog's message for a gain, with the Settings page that shows the free space on a
/// phone of `systemVersion` (0: not known, today's page).
QString finishedMessage(const ECGainReport& gain, float systemVersion = 0.0f);
/// "Settings › General › …": where a phone of `systemVersion` shows its storage (0: not known).
QString storageSettingsPath(float systemVersion);

/// The failure dialog's message and the "Send Info" mail's subject and body.
QString failureMessage();
QString sendInfoBody(std::uint64_t freeBytes, int filesWritten, std::uint64_t attemptedWriteSize);
/// A "mailto:" URL to `address` with "Subject" and "body", every character outside the unreserved
/// set percent-encoded so a mail program reads the fields exactly.
QUrl sendInfoUrl(const QString& address, std::uint64_t freeBytes, int filesWritten, std::uint64_t attemptedWriteSize);

/// The line when the phone went away (`unplugged`) or stopped answering, in the words every tool
/// uses, with where the last run left its fillers: on the phone still (`interrupted`, how many
/// unknown), `fillersLeft` of them taking `bytesLeft`, or all removed.
QString phoneGoneMessage(bool unplugged, bool interrupted, int fillersLeft, std::uint64_t bytesLeft);
/// The message when the phone refused to remove `count` fillers that take `bytes`: how much of
/// it stays taken, and how to finish.
QString fillersLeftMessage(int count, std::uint64_t bytes);
/// The message when neither creating nor writing filler files lowers the phone's free space.
QString noProgressMessage();

} // namespace ECFillRules
