// torvane-cli photos: the camera roll's photos and videos, listed, or backed up verified (and
// removed from the phone with --remove) the way the Photos tool does it.

#include "cli/CliDevice.h"
#include "cli/CliText.h"
#include "cli/tools/ToolCommands.h"
#include "device/AMDevice.h"
#include "modules/ECModuleRules.h"
#include "modules/photos/ECPhotoModule.h"
#include "platform/image_capture/ICBackupLog.h"
#include "platform/image_capture/ICCameraDevice.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace {

/// The slowest transfer a working phone is allowed before a file counts as stuck: far below what a
/// cable carries, so only a phone that stopped answering reaches it.
constexpr std::uint64_t SLOWEST_BYTES_PER_SECOND = 1'000'000;

/// How long a step may go without progress: --timeout and the lockdown bound, plus the time the
/// biggest of `files` takes at the slowest rate. Without a time-out, as long as it takes.
std::chrono::milliseconds stepBound(const ToolContext& context, const std::vector<ICCameraFile>& files = {})
{
    const auto bound = context.stallBound();
    if (!bound) {
        return std::chrono::hours(24 * 365);
    }
    std::uint64_t biggest = 0;
    for (const ICCameraFile& file : files) {
        biggest = std::max(biggest, file.fileSize);
    }
    return *bound + std::chrono::seconds(biggest / SLOWEST_BYTES_PER_SECOND);
}

struct PhotoChoices
{
    int mediaChoice { ECPhotoModule::PhotosAndVideos };
    QDateTime cutOff;
    bool backup { false };
    bool remove { false };
    QString destination;
};

/// The choices from the command line, or the message saying what is wrong with it.
std::variant<PhotoChoices, std::string> parseChoices(const ToolContext& context)
{
    const CliOptions& options = context.options();
    PhotoChoices choices;
    if (!options.arguments.empty()) {
        if (options.arguments[0] != "backup" || options.arguments.size() != 2) {
            return std::string("expected: photos backup DEST");
        }
        choices.backup = true;
        choices.destination = QString::fromStdString(options.arguments[1]);
    }
    choices.remove = context.hasToolOption("--remove");
    if (choices.remove && !choices.backup) {
        return std::string("--remove needs backup DEST: nothing leaves the phone without a verified copy");
    }
    const bool videos = context.hasToolOption("--videos");
    const bool photos = context.hasToolOption("--photos");
    if (videos && photos) {
        return std::string("--videos and --photos exclude each other; give neither for both");
    }
    choices.mediaChoice
        = videos ? ECPhotoModule::VideosOnly : (photos ? ECPhotoModule::PhotosOnly : ECPhotoModule::PhotosAndVideos);
    long long days = 0;
    if (const auto text = context.toolOption("--older-than")) {
        const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), days);
        if (error != std::errc() || end != text->data() + text->size() || days < 0 || days > 100'000) {
            return "--older-than wants a number of days, not \"" + *text + "\"";
        }
    }
    choices.cutOff = QDateTime::currentDateTimeUtc().addSecs(-days * 86'400);
    return choices;
}

QString durationText(const ICCameraFile& file)
{
    if (!file.movie) {
        return QStringLiteral("-");
    }
    return file.duration > 0 ? QString::number(file.duration, 'f', 1) + QStringLiteral(" s") : QStringLiteral("?");
}

QJsonObject fileJson(const ICCameraFile& file)
{
    QJsonObject object;
    object.insert(QStringLiteral("path"), QString::fromStdString(file.devicePath));
    object.insert(QStringLiteral("name"), QString::fromStdString(file.name));
    object.insert(QStringLiteral("size"), qint64(file.fileSize));
    object.insert(QStringLiteral("creationDate"), file.creationDate.toUTC().toString(Qt::ISODate));
    object.insert(QStringLiteral("kind"), file.movie ? QStringLiteral("video") : QStringLiteral("photo"));
    object.insert(QStringLiteral("duration"), file.duration);
    return object;
}

void printJson(ToolContext& context, const QJsonArray& array)
{
    context.out() << QJsonDocument(array).toJson(QJsonDocument::Indented).toStdString();
}

int list(ToolContext& context, const std::vector<ICCameraFile>& files)
{
    if (context.options().json) {
        QJsonArray array;
        for (const ICCameraFile& file : files) {
            array.append(fileJson(file));
        }
        printJson(context, array);
        return CLI_OK;
    }
    std::int64_t total = 0;
    for (const ICCameraFile& file : files) {
        const std::string line
            = QStringLiteral("%1  %2  %3  %4")
                  .arg(file.creationDate.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                  .arg(formattedByteCount(std::int64_t(file.fileSize)), 9)
                  .arg(durationText(file), 7)
                  .arg(QString::fromStdString(escapeCliText(file.devicePath)))
                  .toStdString();
        context.out() << line << '\n';
        total += std::int64_t(file.fileSize);
    }
    context.out() << files.size() << (files.size() == 1 ? " file, " : " files, ")
                  << formattedByteCount(total).toStdString() << '\n';
    return CLI_OK;
}

int backup(
    ToolContext& context, ICCameraDevice& camera, const std::vector<ICCameraFile>& files, const PhotoChoices& choices)
{
    const QString folder = QDir(choices.destination).filePath(ECPhotoModule::BACKUP_FOLDER_NAME);
    if (!QDir().mkpath(folder)) {
        return context.failure("cannot create " + folder.toStdString());
    }
    auto log = std::make_shared<ICBackupLog>(folder.toStdString());
    if (!log->isOpen()) {
        return context.failure(log->error());
    }
    ICDownloadOptions options;
    options.downloadsDirectory = folder.toStdString();
    options.deleteAfterSuccessfulDownload = choices.remove;
    options.auditLog = log;
    std::vector<ICDownloadResult> results;
    for (const ICCameraFile& file : files) {
        camera.requestDownloadFile(file, options, [&](const ICDownloadResult& result) {
            results.push_back(result);
            if (!context.options().json) {
                const std::string what = result.error ? "FAILED   " + result.file.devicePath + ": " + *result.error
                    : result.removedFromDevice        ? "removed  " + result.file.devicePath + " -> " + result.localPath
                                               : "copied   " + result.file.devicePath + " -> " + result.localPath;
                context.out() << escapeCliText(what) << std::endl; // names as ls shows them
            }
        });
    }
    // Each request of a download gives up after --timeout; a result then comes with its error.
    if (!context.waitFor(
            [&] {
                if (context.deviceDetached()) {
                    camera.deviceWasRemoved();
                }
                return results.size() == files.size();
            },
            // Only copies count as progress: a phone that stopped answering fails each file in turn.
            [&results] {
                return std::uint64_t(std::count_if(
                    results.begin(), results.end(), [](const ICDownloadResult& result) { return !result.error; }));
            },
            stepBound(context, files))) {
        context.noAnswer(
            std::to_string(files.size() - results.size()) + " files were not copied and stay on the phone");
    }
    std::size_t failed = 0;
    std::int64_t removedBytes = 0;
    QJsonArray array;
    for (const ICDownloadResult& result : results) {
        failed += result.error ? 1 : 0;
        removedBytes += result.removedFromDevice ? std::int64_t(result.size) : 0;
        QJsonObject object = fileJson(result.file);
        object.insert(QStringLiteral("localPath"), QString::fromStdString(result.localPath));
        object.insert(QStringLiteral("sha256"), QString::fromStdString(result.sha256));
        object.insert(QStringLiteral("verified"), result.verified);
        object.insert(QStringLiteral("removedFromDevice"), result.removedFromDevice);
        if (result.error) {
            object.insert(QStringLiteral("error"), QString::fromStdString(*result.error));
        }
        array.append(object);
    }
    if (context.options().json) {
        printJson(context, array);
    } else {
        context.out() << results.size() - failed << " of " << files.size() << " files verified in "
                      << escapeCliText(folder.toStdString());
        if (choices.remove) {
            context.out() << ", " << formattedByteCount(removedBytes).toStdString() << " removed from the phone";
        }
        context.out() << "; log: " << escapeCliText(log->path()) << '\n';
    }
    std::size_t uncertain = 0;
    std::size_t missing = 0;
    bool refused = false;
    for (const ICDownloadResult& result : results) {
        uncertain += result.error && result.removalUncertain ? 1 : 0;
        missing += result.error && result.notOnDevice ? 1 : 0;
        refused = refused || result.lockRefused;
    }
    if (refused) {
        return context.failure(std::string(ICCameraDevice::BUSY_TEXT) + " Nothing was copied or removed.");
    }
    if (failed > uncertain + missing) {
        const std::string what = std::to_string(failed - uncertain - missing)
            + " files failed and stay on the phone (see " + log->path() + ")";
        return context.deviceDetached() ? context.deviceFailure(DETACHED_WORDS, what) : context.failure(what);
    }
    if (missing > 0) {
        return context.failure(
            std::to_string(missing) + " files were no longer on the phone (see " + log->path() + ")");
    }
    if (uncertain > 0) {
        return context.failure(std::to_string(uncertain)
            + " files may be gone from the phone: the answer to their removal was lost; their checked copies are "
              "kept (see "
            + log->path() + ")");
    }
    return CLI_OK;
}

int runPhotos(ToolContext& context)
{
    const auto parsed = parseChoices(context);
    if (const auto* message = std::get_if<std::string>(&parsed)) {
        context.err() << "torvane-cli: photos: " << *message << '\n';
        return CLI_USAGE;
    }
    const PhotoChoices& choices = std::get<PhotoChoices>(parsed);
    const std::shared_ptr<AMDevice> device = context.chooseDevice();
    if (!device) {
        return context.status();
    }
    // The camera works through the chosen device object, whose requests have the time-out.
    const auto camera = std::make_shared<ICCameraDevice>(device);
    std::optional<QString> sessionError;
    QObject::connect(
        camera.get(), &ICCameraDevice::didOpenSessionWithError, [&](const QString& error) { sessionError = error; });
    camera->requestOpenSession();
    // One request per folder and file: while they go on, the phone is answering.
    if (!context.waitFor(
            [&] {
                if (context.deviceDetached()) {
                    camera->deviceWasRemoved();
                }
                return sessionError.has_value() && (!sessionError->isEmpty() || camera->durationsRead());
            },
            [&camera] { return camera->listingRequests() + camera->durationRequests(); }, stepBound(context))) {
        context.noAnswer();
    }
    if (!sessionError->isEmpty()) {
        return context.deviceFailure(sessionError->toStdString());
    }
    std::vector<ICCameraFile> files;
    for (const ICCameraFile& file : camera->mediaFiles()) {
        if (ECPhotoModule::selects(file, choices.mediaChoice, choices.cutOff)) {
            files.push_back(file);
        }
    }
    return choices.backup ? backup(context, *camera, files, choices) : list(context, files);
}

} // namespace

ToolCommand photosCommand()
{
    ToolCommand command;
    command.shape = { "photos", 0, 2,
        { { "--older-than", true }, { "--videos", false }, { "--photos", false }, { "--remove", false } } };
    command.usage = "  photos [--older-than DAYS] [--videos|--photos]\n"
                    "                                list the camera roll's photos and videos\n"
                    "  photos backup DEST [--remove] [--older-than DAYS] [--videos|--photos]\n"
                    "                                copy them into DEST/Torvane Backup, each read back\n"
                    "                                and checked; --remove then deletes each verified one\n"
                    "                                from the phone (log: backup-log.csv)\n";
    command.run = runPhotos;
    return command;
}
