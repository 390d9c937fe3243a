#pragma once

#include "modules/ECTableViewModule.h"

#include <QDateTime>
#include <QImage>

#include <cstdint>
#include <optional>

class AMApplication;
class ECAppSizeFetcher;

/// Removes the apps the user installed: lists them with their icons, sizes each one (the data in
/// its container plus its download size), ranks big apps untouched for long first, and uninstalls
/// the checked ones through the installation proxy.
///
/// Since 8.3 a phone refuses to open the containers of App Store apps; the container part of the
/// size then comes from the phone's own usage figure ("DynamicDiskUsage"), and the package part
/// from "StaticDiskUsage" when the lookup knows no download size, so such apps are not ranked by
/// their download size alone.
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
    /// Uninstalls the app; on success its row goes, on failure it stays checked and the phone's
    /// reason shows in the status message. Work queue, device lock held.
    void deleteItem(const ECModuleItem& item) override;
    QString moduleName() const override;

    /// The module's own picture, "apps-icon-256": shown for apps whose icon cannot be fetched.
    static QImage appsIcon256();

    /// Item keys beyond the common ones.
    static inline const QString APP_ID = QStringLiteral("appid");
    static inline const QString STATIC_DISK_USAGE = QStringLiteral("StaticDiskUsage");
    static inline const QString DYNAMIC_DISK_USAGE = QStringLiteral("DynamicDiskUsage");

protected:
    ECAppSizeFetcher& sizeFetcher() const;
    /// The item for one app record (name, appid, checked, icon, the phone's usage figures).
    ECModuleItem itemForApplication(const AMApplication& app, const QImage& icon) const;

private:
    ECAppSizeFetcher* m_fetcher;
};
