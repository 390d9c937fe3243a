#include "modules/download_cache/ECCacheModule.h"

#include "base/Log.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"
#include "platform/NetworkFetch.h"

namespace {

std::optional<QDateTime> dateOf(const PlistDictionary& scan)
{
    const auto date = scan.find("date");
    if (date == scan.end() || !date->second.toDate()) {
        return std::nullopt;
    }
    return QDateTime::fromMSecsSinceEpoch(date->second.toDate()->microsecondsSince1970 / 1000, Qt::UTC);
}

std::optional<std::int64_t> sizeOf(const PlistDictionary& scan)
{
    const auto size = scan.find("size");
    if (size == scan.end()) {
        return std::nullopt;
    }
    return size->second.toInt64();
}

bool hasKind(const std::optional<PlistDictionary>& info, const char* kind)
{
    if (!info) {
        return false;
    }
    const auto found = info->find("st_ifmt");
    return found != info->end() && found->second.isString() && *found->second.asString() == kind;
}

// The value on one log line: its XML without the document header and the layout.
std::string describe(const PlistValue& value)
{
    std::string xml = PlistCodec::toXml(value).value_or("(unprintable)");
    if (const auto body = xml.find("<plist version=\"1.0\">"); body != std::string::npos) {
        xml.erase(0, body + std::string_view("<plist version=\"1.0\">").size());
    }
    if (const auto end = xml.rfind("</plist>"); end != std::string::npos) {
        xml.erase(end);
    }
    std::erase_if(xml, [](char c) { return c == '\n' || c == '\t'; });
    return xml;
}

} // namespace

ECCacheModule::ECCacheModule(QObject* parent)
    : ECAppModule(parent)
{
    setTitleText(QStringLiteral("Clear Temporary Files"));
    setHintText(
        QStringLiteral("Apps often keep copies of downloaded files on your device. They can take up a lot of "
                       "space. Use this tool to safely remove them. (This tool only runs on iOS 8.2 or earlier)"));
    // Emptied caches have real dates; the "—" of the app module is for refused containers.
    itemList().setMissingDateText(QString());
    updateProgressLabel();
}

ECCacheModule::~ECCacheModule()
{
    stopAllWork();
}

QString ECCacheModule::buttonTitle(std::int64_t count) const
{
    if (count == 0) {
        return QStringLiteral("Clear Temp Files");
    }
    return QStringLiteral("Clear %1")
        .arg(countedNoun(count, QStringLiteral("Temp File"), QStringLiteral("Temp Files")));
}

QString ECCacheModule::moduleName() const
{
    return QStringLiteral("AppCaches");
}

QStringList ECCacheModule::searchPaths()
{
    return { QStringLiteral("/Library/Caches"), QStringLiteral("/tmp") };
}

std::optional<PlistDictionary> ECCacheModule::infoForStream(const std::string& path, AFCDirectoryAccess& media)
{
    const std::string metadataPath = path + "/" + METADATA_FILE;
    if (!hasKind(media.getFileInfo(path), "S_IFDIR") || !media.fileExistsAtPath(metadataPath)) {
        return std::nullopt;
    }
    // Read in pieces, parsed as XML or binary; failures are logged as "Error: %s".
    const std::optional<PlistValue> metadata = AFCTreeOperations(media).readPlistAtPath(metadataPath);
    if (!metadata) {
        return std::nullopt;
    }
    if (!metadata->asDictionary()) {
        logLine(LOG_MODULES, "Error: %s", "The download's metadata is not a dictionary");
        return std::nullopt;
    }
    return *metadata->asDictionary();
}

std::optional<QUrl> ECCacheModule::artworkUrl(const PlistDictionary& metadata)
{
    const auto found = metadata.find("artwork-urls");
    if (found == metadata.end()) {
        return std::nullopt;
    }
    const PlistValue& artwork = found->second;
    const PlistValue* entry = nullptr;
    if (artwork.asDictionary()) {
        entry = artwork.find("default");
    } else if (const PlistArray* list = artwork.asArray(); list && !list->empty()) {
        entry = &list->front();
    }
    const PlistValue* url = entry ? entry->find("url") : nullptr;
    if (!url || !url->isString() || url->asString()->empty()) {
        logLine(LOG_MODULES, "Unable to find artwork url in object: %s", describe(artwork).c_str());
        return std::nullopt;
    }
    return QUrl(QString::fromStdString(*url->asString()));
}

std::vector<ECModuleItem> ECCacheModule::items()
{
    std::vector<ECModuleItem> result = ECAppModule::items();
    std::vector<ECModuleItem> downloads = downloadItems();
    result.insert(result.end(), std::make_move_iterator(downloads.begin()), std::make_move_iterator(downloads.end()));
    return result;
}

std::vector<ECModuleItem> ECCacheModule::downloadItems()
{
    struct Found
    {
        std::string path;
        std::string entryName;
        PlistDictionary metadata;
    };
    std::vector<Found> found;
    const auto current = device();
    if (!current) {
        return {};
    }
    {
        const DeviceLockHold held = lockDevice(current);
        auto media = held ? current->newAFCMediaDirectory() : nullptr;
        if (!media) {
            return {};
        }
        const auto names = media->directoryContents(std::string(DOWNLOADS_FOLDER));
        for (const std::string& name : names.value_or(std::vector<std::string>())) {
            const std::string path = std::string(DOWNLOADS_FOLDER) + name;
            if (auto metadata = infoForStream(path, *media)) {
                found.push_back({ path, name, std::move(*metadata) });
            }
        }
        media->close();
    }
    // Pictures come from the network: loaded with the device lock released, each bounded in time.
    std::vector<ECModuleItem> result;
    for (Found& download : found) {
        ECModuleItem item;
        const PlistValue* metadata = nullptr;
        if (const auto entry = download.metadata.find("metadata"); entry != download.metadata.end()) {
            metadata = &entry->second;
        }
        const PlistValue* itemName = metadata ? metadata->find("itemName") : nullptr;
        // A row needs a name: without one in the metadata, the folder's own.
        item.name = QString::fromStdString(itemName && itemName->isString() && !itemName->asString()->empty()
                ? *itemName->asString()
                : download.entryName);
        item.checked = defaultChecked();
        item.values.insert(STREAM_PATH, QString::fromStdString(download.path));
        if (const auto url = artworkUrl(download.metadata)) {
            item.icon = imageFromUrl(*url, ARTWORK_TIMEOUT);
        }
        result.push_back(std::move(item));
    }
    return result;
}

ECItemScanResult ECCacheModule::scanItem(const ECModuleItem& item)
{
    ECItemScanResult result;
    const QString streamPath = item.values.value(STREAM_PATH).toString();
    const QString appId = item.values.value(APP_ID).toString();
    const auto current = device();
    if (!current) {
        return result;
    }
    std::optional<PlistDictionary> scan;
    if (const DeviceLockHold held = lockDevice(current)) {
        if (!streamPath.isEmpty()) {
            if (auto media = current->newAFCMediaDirectory()) {
                const std::string folder = streamPath.toStdString();
                // The folder's data without its metadata file, which clearing keeps.
                scan = AFCTreeOperations::addScan(AFCTreeOperations(*media).scanPath(folder),
                    AFCTreeOperations(*media).scanPath(folder + "/" + METADATA_FILE), true);
                media->close();
            }
        } else if (!appId.isEmpty()) {
            if (auto container = current->newAFCApplicationDirectory(appId.toStdString())) {
                scan = PlistDictionary {};
                for (const QString& path : searchPaths()) {
                    scan = AFCTreeOperations::addScan(
                        *scan, AFCTreeOperations(*container).scanPath(path.toStdString()), false);
                }
                container->close();
            }
        }
    }
    // A scan that could not read everything would understate the size: leave it unknown ("—").
    if (scan && !AFCTreeOperations::isIncompleteScan(*scan)) {
        result.size = sizeOf(*scan);
        result.date = dateOf(*scan);
    }
    result.rank = rankString(result);
    return result;
}

QString ECCacheModule::countedItems(std::int64_t count) const
{
    return countedNoun(count, QStringLiteral("temp file"), QStringLiteral("temp files"));
}

ECItemDeletion ECCacheModule::deleteItem(const ECModuleItem& item)
{
    const QString streamPath = item.values.value(STREAM_PATH).toString();
    const QString appId = item.values.value(APP_ID).toString();
    const auto current = device();
    if (!current) {
        return ECItemDeletion::unanswered();
    }
    const auto leftOver = [&](std::int64_t bytes, std::int64_t kept) {
        // What is left beyond what clearing keeps, so the row tells the truth.
        if (bytes <= kept) {
            return ECItemDeletion::removed();
        }
        ECItemScanResult left;
        left.size = bytes - kept;
        mergeIntoItemWaiting(item.id, left);
        return ECItemDeletion::failed(
            QStringLiteral("%1 of %2 would not go").arg(formattedByteCount(bytes - kept), item.name));
    };
    if (!streamPath.isEmpty()) {
        auto media = current->newAFCMediaDirectory();
        if (!media) {
            return ECItemDeletion::unanswered();
        }
        const std::string folder = streamPath.toStdString();
        for (const std::string& name : media->directoryContents(folder).value_or(std::vector<std::string>())) {
            const std::string path = folder + "/" + name;
            if (name != METADATA_FILE && hasKind(media->getFileInfo(path), "S_IFREG") && !media->unlink(path)) {
                logLine(LOG_MODULES, "Cannot delete %s: %s", path.c_str(), media->lasterror().value_or("").c_str());
            }
        }
        const PlistDictionary all = AFCTreeOperations(*media).scanPath(folder);
        const PlistDictionary metadata = AFCTreeOperations(*media).scanPath(folder + "/" + METADATA_FILE);
        media->close();
        if (AFCTreeOperations::isIncompleteScan(all)) {
            return ECItemDeletion::unanswered();
        }
        return leftOver(sizeOf(all).value_or(0), sizeOf(metadata).value_or(0));
    }
    if (appId.isEmpty()) {
        return ECItemDeletion::failed(QStringLiteral("%1 names no app").arg(item.name));
    }
    auto container = current->newAFCApplicationDirectory(appId.toStdString());
    if (!container) {
        // Nothing was cleared, so the row keeps its size rather than claiming 0.
        logLine(LOG_MODULES, "Cannot open the container of %s", appId.toStdString().c_str());
        return ECItemDeletion::failed(QStringLiteral("the phone did not open %1").arg(item.name));
    }
    for (const QString& path : searchPaths()) {
        // The folders themselves stay: apps expect to find them.
        AFCTreeOperations(*container).recursiveDeletePath(path.toStdString(), false);
    }
    std::int64_t left = 0;
    bool complete = true;
    for (const QString& path : searchPaths()) {
        const PlistDictionary scan = AFCTreeOperations(*container).scanPath(path.toStdString());
        complete = complete && !AFCTreeOperations::isIncompleteScan(scan);
        left += sizeOf(scan).value_or(0);
    }
    container->close();
    if (!complete) {
        return ECItemDeletion::unanswered();
    }
    return leftOver(left, 0);
}
