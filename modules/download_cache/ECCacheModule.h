#pragma once

#include "base/PlistValue.h"
#include "modules/apps/ECAppModule.h"

#include <QStringList>
#include <QUrl>

#include <chrono>
#include <optional>
#include <string>

class AFCDirectoryAccess;

/// Clears temporary files on phones below 8.3, where app containers can still be opened: the
/// cache and temporary folders inside each app's container, and the folders of stalled store
/// downloads under "/Downloads/" (each keeps its "iTunesMetadata.plist"). Apps are emptied, never
/// uninstalled. Lists the apps as the app module does and ranks with its formula.
class ECCacheModule : public ECAppModule
{
    Q_OBJECT

public:
    explicit ECCacheModule(QObject* parent = nullptr);
    ~ECCacheModule() override;

    static inline const QString STREAM_PATH = QStringLiteral("streampath");
    static constexpr const char* DOWNLOADS_FOLDER = "/Downloads/";
    static constexpr const char* METADATA_FILE = "iTunesMetadata.plist";
    /// How long one download's picture may take to load.
    static constexpr std::chrono::milliseconds ARTWORK_TIMEOUT { 5000 };

    /// The parsed "iTunesMetadata.plist" of a download folder; nothing when `path` is no folder,
    /// holds no metadata, or it cannot be read or parsed ("Error: %s" logged for the last two).
    static std::optional<PlistDictionary> infoForStream(const std::string& path, AFCDirectoryAccess& media);
    /// Where a download's picture is, from its metadata's "artwork-urls"; nothing when absent,
    /// and "Unable to find artwork url in object: %s" logged when present but of no use.
    static std::optional<QUrl> artworkUrl(const PlistDictionary& metadata);

    /// "Clear Temp File" for none, else "Clear%@ Temp Files".
    QString buttonTitle(std::int64_t count) const override;
    bool defaultChecked() const override { return true; }
    /// The apps, then the stalled downloads. Work queue.
    std::vector<ECModuleItem> items() override;
    /// An app's caches or a download's data, without its metadata file. Size queue.
    ECItemScanResult scanItem(const ECModuleItem& item) override;
    /// Empties an app's caches (the folders stay) or a download's folder (its metadata and
    /// subfolders stay). Removed when nothing of it is left; otherwise the row shows what is left
    /// and why. Work queue, device lock held.
    ECItemDeletion deleteItem(const ECModuleItem& item) override;
    /// Caches are not the user's data: no question.
    std::optional<ECModuleAlert> confirmation(std::int64_t) const override { return std::nullopt; }
    QString countedItems(std::int64_t count) const override;
    QString moduleName() const override;

    /// Inside an app's container: "/Library/Caches", "/tmp".
    static QStringList searchPaths();

private:
    std::vector<ECModuleItem> downloadItems();
};
