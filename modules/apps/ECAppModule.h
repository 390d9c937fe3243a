#pragma once

#include "modules/ECTableViewModule.h"

#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class AMApplication;
class AMDevice;
class PlistValue;
class ECAppSizeFetcher;

/// Removes the apps the user installed: lists them with their icons, sizes each one (the data in
/// its container plus its download size), ranks big apps untouched for long first, and uninstalls
/// the checked ones through the installation proxy.
///
/// Since 8.3 a phone refuses to open the containers of App Store apps: for those the container
/// part of the size comes from the phone's own usage figure ("DynamicDiskUsage", read with the
/// listing), without asking for the container. The package part comes from the download-size
/// lookup, one batch for the whole listing, or from "StaticDiskUsage" when the lookup knows no
/// size, so such apps are not ranked by their download size alone. Containers that do open are
/// scanned in runs sharing one lockdown session, the device lock released between runs.
class ECAppModule : public ECTableViewModule
{
    Q_OBJECT

public:
    /// Sizes are looked up in `fetcher`, or in the shared one when null.
    explicit ECAppModule(QObject* parent = nullptr, ECAppSizeFetcher* fetcher = nullptr);
    ~ECAppModule() override;

    static constexpr int MAX_BARS = 18;

    /// The rank of an app of `size` bytes last changed at `date` (absent: now): a run of 0 to 18
    /// "|", more for a bigger app unchanged for longer; empty for 0 bytes.
    static QString rankStringFor(std::int64_t size, const std::optional<QDateTime>& date, const QDateTime& now);
    /// rankStringFor() of a scan's "size" and "date", as of the module's clock.
    QString rankString(const ECItemScanResult& scan) const;

    /// "Remove App" for none, else "Remove%@ Apps".
    QString buttonTitle(std::int64_t count) const override;
    QString deletingText() const override;
    /// The user apps, each with its icon (or the module's own) and "appid". Work queue.
    std::vector<ECModuleItem> items() override;
    /// "size", "date" (absent when unknown) and "rank" of one app. Size queue.
    ECItemScanResult scanItem(const ECModuleItem& item) override;
    /// Uninstalls the app. When the phone's answer is an error or lost, the phone is asked
    /// whether the app is still there: gone counts as removed, and no answer as unanswered.
    /// Work queue, device lock held.
    ECItemDeletion deleteItem(const ECModuleItem& item) override;
    /// Apps go with their documents and data: asked every time, naming them.
    std::optional<ECModuleAlert> confirmation(std::int64_t count) const override;
    QString countedItems(std::int64_t count) const override;
    QString moduleName() const override;

    /// The module's own picture, "apps-icon-256": shown for apps whose icon cannot be fetched.
    static QImage appsIcon256();

    /// Item keys beyond the common ones.
    static inline const QString APP_ID = QStringLiteral("appid");
    static inline const QString STATIC_DISK_USAGE = QStringLiteral("StaticDiskUsage");
    static inline const QString DYNAMIC_DISK_USAGE = QStringLiteral("DynamicDiskUsage");
    /// Whether the phone opens the app's container: false for App Store apps from 8.3 on.
    static inline const QString CONTAINER_OPENS = QStringLiteral("containerOpens");

    /// Whether a phone of `productVersion` opens the container of an app with `entitlements`
    /// (its record's "Entitlements"): below 8.3 every user app's, from 8.3 only those installed
    /// with a development signature ("get-task-allow"). An unknown version opens them all.
    static bool containerOpens(const std::optional<std::string>& productVersion, const PlistValue* entitlements);
    /// How long one run of container scans may hold the device lock and its session before the
    /// lock is released for others.
    static constexpr std::chrono::milliseconds CONTAINER_RUN { 300 };

protected:
    ECAppSizeFetcher& sizeFetcher() const;
    /// The item for one app record (name, appid, checked, icon, the phone's usage figures).
    ECModuleItem itemForApplication(const AMApplication& app, const QImage& icon) const;

private:
    struct ContainerScan
    {
        std::optional<std::int64_t> size;
        std::optional<QDateTime> date;
    };
    /// The download size of a listed app from the one lookup of the listing (made by the first
    /// scan that needs it); an app not listed is looked up on its own.
    std::int64_t downloadSize(const QString& appId);
    /// The container of `appId`, scanned in a run with the next containers of the listing.
    std::optional<ContainerScan> containerScan(const std::shared_ptr<AMDevice>& device, const std::string& appId);
    static std::optional<ContainerScan> scanContainer(AMDevice& device, const std::string& appId);

    ECAppSizeFetcher* m_fetcher;
    std::mutex m_scanMutex;
    // The apps of the latest listing and the answer of their lookup, once made.
    std::uint64_t m_listing { 0 };
    QStringList m_listedIds;
    std::optional<QHash<QString, std::int64_t>> m_downloadSizes;
    // Containers that open and are not scanned yet, in the order of the listing, and the scans
    // made ahead of their items.
    std::deque<std::string> m_containersToScan;
    std::map<std::string, ContainerScan> m_containerScans;
};
