#include "cli/CliDevice.h"
#include "cli/CliJson.h"
#include "cli/CliText.h"
#include "cli/tools/ToolCommands.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AMDevice.h"
#include "modules/ECAgeRange.h"
#include "modules/ECModuleRules.h"
#include "modules/music/ECMusicModule.h"
#include "platform/track_deleter/TrackDeleter.h"

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <charconv>
#include <climits>

namespace {

std::optional<std::int64_t> parseNumber(const std::string& text, std::int64_t minimum)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum) {
        return std::nullopt;
    }
    return value;
}

/// A persistent id as the listing writes it: the 64 bits read unsigned, so no id starts with a
/// dash that the command line would take for an option.
std::string pidText(const ECModuleItem& item)
{
    return std::to_string(static_cast<std::uint64_t>(item.values.value(QStringLiteral("pid")).toLongLong()));
}

/// A persistent id as written by the listing, or in the library's own signed form.
std::optional<std::int64_t> parsePid(const std::string& text)
{
    if (text.starts_with('-')) {
        return parseNumber(text, INT64_MIN);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

/// A name from the phone as ls shows it: control characters cannot restyle the terminal.
QString shown(const QString& text)
{
    return QString::fromStdString(escapeCliText(text.toStdString()));
}

std::optional<QDateTime> playedOf(const ECModuleItem& item)
{
    const QVariant played = item.values.value(QStringLiteral("played"));
    return played.isValid() ? std::optional<QDateTime>(played.toDateTime()) : std::nullopt;
}

int list(ToolContext& context)
{
    std::optional<std::int64_t> days;
    if (const auto option = context.toolOption("--older-than")) {
        days = parseNumber(*option, 0);
        if (!days || *days > INT_MAX) {
            context.err() << "torvane-cli: music: --older-than needs a number of days\n";
            return CLI_USAGE;
        }
    }
    const std::shared_ptr<AMDevice> device = context.chooseDevice();
    if (!device) {
        return context.status();
    }
    std::unique_ptr<AFCMediaDirectory> media;
    {
        const std::lock_guard held(device->deviceLock()); // opening is a lockdown exchange
        media = device->newAFCMediaDirectory();
    }
    if (!media) {
        return context.deviceFailure("can't open the device's media area: "
            + deviceFailureWords(device->lasterror(), "the service did not start"));
    }
    // A private folder of our own for the copy, gone when the command ends.
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/torvane-music-XXXXXX"));
    if (!folder.isValid()) {
        return context.failure("can't make a temporary folder");
    }
    std::vector<ECModuleItem> items;
    if (!ECMusicModule::readLibrary(*media, folder.path(), [&items](const ECModuleItem& item) {
            items.push_back(item);
            return true;
        })) {
        if (AFCDirectoryAccess::isConnectionFailure(media->lastStatus())) {
            return context.deviceFailure(afcFailureWords(media->lastStatus(), media->lasterror()));
        }
        return context.failure("can't read the music library of the device (none there, or the copy failed)");
    }
    if (days) {
        const QDateTime cutOff
            = ECAgeRange::cutOffDate(QDateTime::currentDateTimeUtc(), *days * ECAgeRange::SECONDS_PER_DAY);
        const auto keep = ECMusicModule::filterFor(cutOff, true, true);
        std::erase_if(items, [&keep](const ECModuleItem& item) { return !keep(item); });
    }
    // As the window lists them: last played first, never played at the end.
    std::stable_sort(items.begin(), items.end(), [](const ECModuleItem& a, const ECModuleItem& b) {
        return compareItemsByKey(a, b, QStringLiteral("played")) > 0;
    });

    PlistArray entries;
    for (const auto& item : items) {
        const auto played = playedOf(item);
        PlistDictionary entry {
            // As text: 64-bit ids lose digits in JSON readers that keep numbers as doubles.
            { "pid", PlistValue(pidText(item)) },
            { "name", PlistValue(item.name.toStdString()) },
            { "artist", PlistValue(item.values.value(QStringLiteral("artist")).toString().toStdString()) },
            { "type", PlistValue(item.values.value(QStringLiteral("type")).toInt() == 4 ? "podcast" : "song") },
            { "size", PlistValue(static_cast<long long>(item.sizeOrZero())) },
            { "played",
                played ? PlistValue(PlistDate::fromSecondsSince1970(double(played->toSecsSinceEpoch())))
                       : PlistValue() },
        };
        entries.emplace_back(std::move(entry));
    }
    if (context.options().json) {
        context.out() << plistToJson(PlistValue(std::move(entries))) << '\n';
        return CLI_OK;
    }
    for (const auto& item : items) {
        const auto played = playedOf(item);
        const QString line
            = QStringLiteral("%1  %2  %3  %4  %5 - %6")
                  .arg(QString::fromStdString(pidText(item)), 20)
                  .arg(item.values.value(QStringLiteral("kind")).toString(), -7)
                  .arg(formattedByteCount(item.sizeOrZero()), 9)
                  .arg(played ? played->toString(QStringLiteral("yyyy-MM-dd")) : QStringLiteral("never"), -10)
                  .arg(shown(item.values.value(QStringLiteral("artist")).toString()), shown(item.name));
        context.out() << line.toStdString() << '\n';
    }
    return CLI_OK;
}

int remove(ToolContext& context)
{
    const auto& arguments = context.options().arguments;
    if (context.hasToolOption("--older-than")) {
        context.err() << "torvane-cli: music: rm takes persistent ids, not --older-than\n";
        return CLI_USAGE;
    }
    if (arguments.size() < 2) {
        context.err() << "torvane-cli: music: rm needs the persistent ids of the songs (see torvane-cli music)\n";
        return CLI_USAGE;
    }
    std::vector<MediaLibraryTrack> tracks;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const auto pid = parsePid(arguments[i]);
        if (!pid) {
            context.err() << "torvane-cli: music: not a persistent id: " << arguments[i] << '\n';
            return CLI_USAGE;
        }
        tracks.push_back({ *pid, {}, {}, std::nullopt });
    }
    const std::shared_ptr<AMDevice> device = context.chooseDevice();
    if (!device) {
        return context.status();
    }
    // The chosen phone's own device object, and its one lock while the deleter talks to it.
    TrackDeleter deleter;
    int result = TrackDeleter::NothingDeleted;
    {
        const std::lock_guard held(device->deviceLock());
        result = deleter.deleteTracks(tracks, device);
    }
    switch (result) {
    case TrackDeleter::NothingDeleted:
        return context.failure("nothing was deleted");
    case TrackDeleter::NoDevice:
        return context.deviceFailure(DETACHED_WORDS);
    case TrackDeleter::TracksNotFound:
        return context.failure("none of those songs is in the device's music library");
    case TrackDeleter::Cancelled:
        return context.failure("cancelled");
    case TrackDeleter::Failed:
        // Said as every command says it when the phone went away, stopped answering or no longer
        // trusts this computer; the deleter's own reason otherwise.
        return context.deviceFailure(deleter.lastError().toStdString());
    default:
        break;
    }
    if (context.options().json) {
        const PlistDictionary report {
            { "removed", PlistValue(result) },
            { "bytes", PlistValue(static_cast<long long>(deleter.removedFileBytes())) },
            { "backup", PlistValue(deleter.backupFolder().toStdString()) },
        };
        context.out() << plistToJson(PlistValue(report)) << '\n';
        return CLI_OK;
    }
    context.out() << "Removed " << result << " songs (" << formattedByteCount(deleter.removedFileBytes()).toStdString()
                  << ").\nThe library as it was is kept in " << escapeCliText(deleter.backupFolder().toStdString())
                  << '\n';
    return CLI_OK;
}

} // namespace

ToolCommand musicCommand()
{
    return {
        { "music", 0, 100'000, { { "--older-than", true } } },
        "  music [--older-than DAYS]     songs and podcasts: persistent id, type, size, last played,\n"
        "                                artist - title (--older-than: not played for DAYS days)\n"
        "  music rm PID...               remove songs and podcasts by persistent id, keeping a backup\n"
        "                                of the library\n",
        {},
        [](ToolContext& context) {
            const auto& arguments = context.options().arguments;
            if (arguments.empty()) {
                return list(context);
            }
            if (arguments[0] == "rm") {
                return remove(context);
            }
            context.err() << "torvane-cli: music: unknown subcommand " << arguments[0] << " (use rm)\n";
            return CLI_USAGE;
        },
    };
}
