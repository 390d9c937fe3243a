#include "modules/apps/ECAppModule.h"

#include "base/Log.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"
#include "device/AMInstallationProxy.h"
#include "modules/ECClock.h"
#include "platform/DeviceImages.h"
#include "platform/ECAppSizeFetcher.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Score points per byte: one for every twentieth of a GiB.
constexpr double POINTS_PER_BYTE = 20.0 / 1073741824.0;

std::optional<std::int64_t> usageFigure(const PlistDictionary& info, const QString& key)
{
    const auto found = info.find(key.toStdString());
    if (found == info.end()) {
        return std::nullopt;
    }
    const auto value = found->second.toInt64();
    if (!value || *value < 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> itemFigure(const ECModuleItem& item, const QString& key)
{
    const QVariant value = item.values.value(key);
    if (!value.isValid()) {
        return std::nullopt;
    }
    return value.toLongLong();
}

} // namespace

ECAppModule::ECAppModule(QObject* parent, ECAppSizeFetcher* fetcher)
    : ECTableViewModule(parent)
    , m_fetcher(fetcher)
{
    setTitleText(QStringLiteral("Remove Apps"));
    setHintText(QStringLiteral("This tool helps you quickly remove apps. They'll be deleted from your device, but you "
                               "can always download them again from the App Store for free. Their documents and data "
                               "are removed with them."));
    setIconImage(appsIcon256());
    // A container the phone would not open gives no date; saying "Never" would be a claim.
    itemList().setMissingDateText(QStringLiteral("—"));
    updateProgressLabel();
}

ECAppModule::~ECAppModule()
{
    stopAllWork();
}

QString ECAppModule::rankStringFor(std::int64_t size, const std::optional<QDateTime>& date, const QDateTime& now)
{
    if (size == 0) {
        return {};
    }
    std::int64_t days = 0;
    if (date && date->isValid()) {
        days = std::llabs(date->msecsTo(now)) / 1000 / 86400;
    }
    const float weight = days < 7 ? 0.25f : float(1.0 / 45.0);
    // Each term rounded to single precision, and added in single precision.
    const float age = float(days - 7) * weight;
    const auto bulk = float(double(size) * POINTS_PER_BYTE);
    const float score = age + bulk;
    int bars = 0;
    if (score < 0) {
        // A fifteenth of the bar, rounded up.
        bars = 2;
    } else {
        const float part = score * 0.25f;
        bars = part > 1.0f ? MAX_BARS : int(std::ceil(double(part) * MAX_BARS));
    }
    return QString(bars, QLatin1Char('|'));
}

QString ECAppModule::rankString(const ECItemScanResult& scan) const
{
    return rankStringFor(scan.size.value_or(0), scan.date, clock().now());
}

QString ECAppModule::buttonTitle(std::int64_t count) const
{
    if (count == 0) {
        return QStringLiteral("Remove Apps");
    }
    return QStringLiteral("Remove %1").arg(countedNoun(count, QStringLiteral("App"), QStringLiteral("Apps")));
}

QString ECAppModule::deletingText() const
{
    return QStringLiteral("Removing apps...");
}

QString ECAppModule::moduleName() const
{
    return QStringLiteral("UninstallApps");
}

ECAppSizeFetcher& ECAppModule::sizeFetcher() const
{
    return m_fetcher ? *m_fetcher : ECAppSizeFetcher::sharedInstance();
}

ECModuleItem ECAppModule::itemForApplication(const AMApplication& app, const QImage& icon) const
{
    ECModuleItem item;
    item.name = QString::fromStdString(app.appname());
    item.checked = defaultChecked();
    item.icon = icon.isNull() ? appsIcon256() : icon;
    item.values.insert(APP_ID, QString::fromStdString(app.bundleid()));
    for (const QString& key : { STATIC_DISK_USAGE, DYNAMIC_DISK_USAGE }) {
        if (const auto figure = usageFigure(app.info(), key)) {
            item.values.insert(key, QVariant::fromValue<qint64>(*figure));
        }
    }
    return item;
}

bool ECAppModule::containerOpens(const std::optional<std::string>& productVersion, const PlistValue* entitlements)
{
    if (!productVersion) {
        return true;
    }
    int major = 0;
    int minor = 0;
    if (std::sscanf(productVersion->c_str(), "%d.%d", &major, &minor) < 1) {
        return true;
    }
    if (major < 8 || (major == 8 && minor < 3)) {
        return true;
    }
    const PlistValue* debuggable = entitlements ? entitlements->find("get-task-allow") : nullptr;
    return debuggable && debuggable->toBool().value_or(false);
}

std::vector<ECModuleItem> ECAppModule::items()
{
    std::vector<ECModuleItem> result;
    const auto current = device();
    if (!current) {
        return result;
    }
    std::optional<std::vector<AMApplication>> apps;
    std::optional<std::string> version;
    if (const DeviceLockHold held = lockDevice(current)) {
        // The usage figures cost the phone a walk of its containers, but they come in this one
        // request for every app, and they stand in for the containers it will not open.
        apps = current->installedApplicationsWithAttributes(
            { STATIC_DISK_USAGE.toStdString(), DYNAMIC_DISK_USAGE.toStdString(), "Entitlements" });
        if (apps) {
            if (const auto value = current->deviceValueForKey("ProductVersion"); value && value->isString()) {
                version = *value->asString();
            }
        }
    }
    if (!apps) {
        logLine(LOG_MODULES, "Cannot list the apps: %s", current->lasterror().value_or("no answer").c_str());
        return result;
    }
    // The icon client has a connection of its own, so the device lock is not needed for it.
    const auto icons = springboard();
    result.reserve(apps->size());
    QStringList listedIds;
    std::deque<std::string> containers;
    for (const AMApplication& app : *apps) {
        ECModuleItem item = itemForApplication(app, icons ? getIcon(*icons, app.bundleid()) : QImage());
        const auto entitlements = app.info().find("Entitlements");
        const bool opens = containerOpens(version, entitlements == app.info().end() ? nullptr : &entitlements->second);
        item.values.insert(CONTAINER_OPENS, opens);
        if (opens) {
            containers.push_back(app.bundleid());
        }
        listedIds.append(QString::fromStdString(app.bundleid()));
        result.push_back(std::move(item));
    }
    std::lock_guard lock(m_scanMutex);
    ++m_listing;
    m_listedIds = std::move(listedIds);
    m_downloadSizes.reset();
    m_containersToScan = std::move(containers);
    m_containerScans.clear();
    return result;
}

std::int64_t ECAppModule::downloadSize(const QString& appId)
{
    std::unique_lock lock(m_scanMutex);
    if (!m_listedIds.contains(appId)) {
        lock.unlock();
        return sizeFetcher().downloadSizeForApp(appId);
    }
    if (!m_downloadSizes) {
        const std::uint64_t listing = m_listing;
        const QStringList ids = m_listedIds;
        lock.unlock();
        QHash<QString, std::int64_t> sizes = sizeFetcher().downloadSizesForApps(ids);
        lock.lock();
        if (listing != m_listing) {
            return sizes.value(appId, 0); // a new listing began meanwhile; it asks for itself
        }
        m_downloadSizes = std::move(sizes);
    }
    return m_downloadSizes->value(appId, 0);
}

std::optional<ECAppModule::ContainerScan> ECAppModule::scanContainer(AMDevice& device, const std::string& appId)
{
    const auto container = AFCApplicationDirectory::create(device, appId);
    if (!container) {
        return std::nullopt;
    }
    ContainerScan result;
    const PlistDictionary scan = AFCTreeOperations(*container).scanPath("/");
    container->close();
    // A container that could not be read through is sized by the phone's own figure instead.
    if (AFCTreeOperations::isIncompleteScan(scan)) {
        return result;
    }
    const auto size = scan.find("size");
    result.size = size != scan.end() ? size->second.toInt64().value_or(0) : 0;
    if (const auto date = scan.find("date"); date != scan.end() && date->second.toDate()) {
        result.date = QDateTime::fromMSecsSinceEpoch(date->second.toDate()->microsecondsSince1970 / 1000, Qt::UTC);
    }
    return result;
}

std::optional<ECAppModule::ContainerScan> ECAppModule::containerScan(
    const std::shared_ptr<AMDevice>& device, const std::string& appId)
{
    {
        std::lock_guard lock(m_scanMutex);
        std::erase(m_containersToScan, appId);
        if (const auto found = m_containerScans.find(appId); found != m_containerScans.end()) {
            const ContainerScan done = found->second;
            m_containerScans.erase(found);
            return done;
        }
    }
    const DeviceLockHold held = lockDevice(device);
    if (!held) {
        return std::nullopt;
    }
    // One lockdown session for a run of containers: a service start in a running session costs a
    // request, a new session a TLS handshake.
    const AMDeviceSessionHold session(*device);
    if (!session) {
        return std::nullopt;
    }
    const auto start = std::chrono::steady_clock::now();
    std::optional<ContainerScan> result = scanContainer(*device, appId);
    while (std::chrono::steady_clock::now() - start < CONTAINER_RUN && device->isInSession()) {
        std::string next;
        {
            std::lock_guard lock(m_scanMutex);
            if (m_containersToScan.empty()) {
                break;
            }
            next = std::move(m_containersToScan.front());
            m_containersToScan.pop_front();
        }
        if (auto ahead = scanContainer(*device, next)) {
            std::lock_guard lock(m_scanMutex);
            m_containerScans.insert_or_assign(next, *ahead);
        }
    }
    return result;
}

ECItemScanResult ECAppModule::scanItem(const ECModuleItem& item)
{
    ECItemScanResult result;
    const QString appId = item.values.value(APP_ID).toString();
    const auto current = device();
    if (appId.isEmpty() || !current) {
        return result;
    }
    // The network first, outside the lock: a slow lookup must not hold up a deletion.
    std::int64_t packageSize = downloadSize(appId);
    if (packageSize == 0) {
        packageSize = itemFigure(item, STATIC_DISK_USAGE).value_or(0);
    }
    std::optional<std::int64_t> containerSize;
    if (item.values.value(CONTAINER_OPENS, true).toBool()) {
        if (const auto scan = containerScan(current, appId.toStdString())) {
            containerSize = scan->size;
            result.date = scan->date;
        }
    }
    if (!containerSize) {
        // The phone does not open the container (App Store apps since 8.3): its own figure for
        // the container's data stands in, and the date stays unknown.
        containerSize = itemFigure(item, DYNAMIC_DISK_USAGE);
    }
    result.size = containerSize.value_or(0) + packageSize;
    result.rank = rankString(result);
    return result;
}

ECItemDeletion ECAppModule::deleteItem(const ECModuleItem& item)
{
    const QString appId = item.values.value(APP_ID).toString();
    const auto proxy = installer();
    if (proxy && proxy->uninstall(appId.toStdString())) {
        return ECItemDeletion::removed();
    }
    const std::string identifier = appId.toStdString();
    logLine(LOG_MODULES, "UNINSTALL FAILED for %s", identifier.c_str());
    QString reason = QStringLiteral("the phone's installation service is not available");
    if (proxy) {
        reason = QString::fromStdString(proxy->lasterror().value_or("no answer from the phone"));
    }
    // The reply may have been lost after the phone removed the app (a cable pulled at the wrong
    // moment): ask again, and keep the row only when the phone answers with it.
    const auto current = device();
    const auto apps = current ? current->installedApplications() : std::nullopt;
    if (!apps) {
        return ECItemDeletion::unanswered();
    }
    const bool stillThere = std::any_of(
        apps->begin(), apps->end(), [&](const AMApplication& app) { return app.bundleid() == identifier; });
    if (!stillThere) {
        return ECItemDeletion::removed();
    }
    return ECItemDeletion::failed(QStringLiteral("%1 (%2)").arg(item.name, reason));
}

std::optional<ECModuleAlert> ECAppModule::confirmation(std::int64_t count) const
{
    QStringList names;
    for (const ECModuleItem& item : itemsToRemove()) {
        names.append(item.name);
    }
    constexpr qsizetype SHOWN = 5;
    QString named = names.mid(0, SHOWN).join(QStringLiteral(", "));
    if (names.size() > SHOWN) {
        named += QStringLiteral(" and %1 more").arg(names.size() - SHOWN);
    }
    ECModuleAlert question;
    question.message = count == 1 ? QStringLiteral("Remove 1 app and its documents and data?")
                                  : QStringLiteral("Remove %1 apps and their documents and data?").arg(count);
    question.informativeText = QStringLiteral("%1 will be removed from the phone with everything kept in them. The "
                                              "apps can be downloaded again from the App Store; their documents and "
                                              "data cannot.")
                                   .arg(named);
    question.buttons = { QStringLiteral("Remove"), QStringLiteral("Cancel") };
    return question;
}

QString ECAppModule::countedItems(std::int64_t count) const
{
    return countedNoun(count, QStringLiteral("app"), QStringLiteral("apps"));
}

QImage ECAppModule::appsIcon256()
{
    // Drawn once; every row without an icon of its own shares the same pixels.
    static const QImage icon = [] {
        constexpr int EDGE = 256;
        QImage image(EDGE, EDGE, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF tile(8, 8, EDGE - 16, EDGE - 16);
        QLinearGradient gradient(tile.topLeft(), tile.bottomLeft());
        gradient.setColorAt(0, QColor(0x5a, 0xb4, 0xff));
        gradient.setColorAt(1, QColor(0x0a, 0x6c, 0xf0));
        painter.setPen(Qt::NoPen);
        painter.setBrush(gradient);
        painter.drawRoundedRect(tile, 56, 56);
        // Four app tiles in a grid, one lifted away as if being removed.
        painter.setBrush(Qt::white);
        const qreal cell = 0.3 * EDGE;
        const qreal radius = cell * 0.26;
        painter.drawRoundedRect(QRectF(0.16 * EDGE, 0.2 * EDGE, cell, cell), radius, radius);
        painter.drawRoundedRect(QRectF(0.16 * EDGE, 0.54 * EDGE, cell, cell), radius, radius);
        painter.drawRoundedRect(QRectF(0.5 * EDGE, 0.54 * EDGE, cell, cell), radius, radius);
        painter.setOpacity(0.72);
        painter.translate(0.69 * EDGE, 0.31 * EDGE);
        painter.rotate(14);
        painter.drawRoundedRect(QRectF(-cell / 2, -cell / 2, cell, cell), radius, radius);
        painter.end();
        return image;
    }();
    return icon;
}
