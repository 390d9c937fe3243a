#include "modules/ECTableViewModule.h"

#include "device/AMDevice.h"
#include "device/AMInstallationProxy.h"

ECTableViewModule::ECTableViewModule(QObject* parent)
    : ECModule(parent)
{
    m_itemListController.setItemModel(&m_itemList);
    connect(&m_itemList, &ECItemListModel::checkedChanged, this, &ECTableViewModule::updateProgressLabel);
}

ECTableViewModule::~ECTableViewModule()
{
    // Queue code calls this class's operations and touches its list.
    stopAllWork();
}

ECItemScanResult ECTableViewModule::scanItem(const ECModuleItem&)
{
    return {};
}

ECItemDeletion ECTableViewModule::deleteItem(const ECModuleItem&)
{
    return ECItemDeletion::failed(QStringLiteral("this tool cannot remove it"));
}

void ECTableViewModule::loadConfigView()
{
    m_itemList.removeAllItems();
    setStatusMessage(QString());
    const std::uint64_t generation = ++m_listingGeneration;
    addWorkOperation(
        [this](const Operation& listing) {
            // The work queue now holds the listing, so the label reads "Scanning files...".
            runOnMainAndWait([this] { updateProgressLabel(); });
            prepareListing();
            addItemsUntilCancelled(listing);
        },
        [this, generation] {
            runOnMainAndWait([this, generation] {
                if (generation == m_listingGeneration) {
                    emit sortAboutToChange();
                    m_itemListController.setSortKey(QStringLiteral("rank"), Qt::DescendingOrder);
                    emit sortChanged();
                }
                updateProgressLabel();
            });
        });
}

void ECTableViewModule::prepareListing()
{
    std::shared_ptr<AMSpringboardServices> springboard;
    std::shared_ptr<AMInstallationProxy> installer;
    if (const auto current = device()) {
        if (const DeviceLockHold held = lockDevice(current)) {
            springboard = current->newAMSpringboardServices();
            installer = current->newAMInstallationProxyWithDelegate(nullptr);
        }
    }
    std::lock_guard lock(m_clientsMutex);
    m_springboard = std::move(springboard);
    m_installer = std::move(installer);
}

std::shared_ptr<AMSpringboardServices> ECTableViewModule::springboard() const
{
    std::lock_guard lock(m_clientsMutex);
    return m_springboard;
}

std::shared_ptr<AMInstallationProxy> ECTableViewModule::installer() const
{
    std::lock_guard lock(m_clientsMutex);
    return m_installer;
}

void ECTableViewModule::addItemsUntilCancelled(const Operation& listing)
{
    std::vector<ECModuleItem> found = items();
    if (found.empty()) {
        return;
    }
    std::uint64_t generation = 0;
    runOnMainAndWait([&] { generation = m_listingGeneration; });
    for (auto& item : found) {
        if (listing.isCancelled()) {
            return;
        }
        // Added before its scan is queued, so the scan always finds its row to merge into.
        std::uint64_t id = 0;
        const bool added = runOnMainAndWait([&] {
            if (generation == m_listingGeneration) {
                id = m_itemList.appendItem(item);
            }
        });
        if (!added || id == 0) {
            return;
        }
        item.id = id;
        queueScan(item);
    }
}

void ECTableViewModule::queueScan(const ECModuleItem& item)
{
    addSizeOperation(
        [this, item](const Operation&) {
            const ECItemScanResult result = scanItem(item);
            if (!result.isEmpty()) {
                runOnMainAndWait([this, &item, &result] { m_itemList.mergeIntoItem(item.id, result); });
            }
        },
        [this] { runOnMainAndWait([this] { updateProgressLabel(); }); });
}

std::vector<ECModuleItem> ECTableViewModule::checkedItems() const
{
    std::vector<ECModuleItem> result;
    for (int row = 0; row < m_itemListController.rowCount(); ++row) {
        const ECModuleItem& item = m_itemListController.shownItemAt(row);
        if (item.checked) {
            result.push_back(item);
        }
    }
    return result;
}

namespace {

std::vector<std::uint64_t> idsOfShownRows(const ECItemListProxyModel& controller, const QList<int>& rows)
{
    std::vector<std::uint64_t> ids;
    for (const int row : rows) {
        if (row >= 0 && row < controller.rowCount()) {
            ids.push_back(controller.shownItemAt(row).id);
        }
    }
    return ids;
}

}

void ECTableViewModule::checkSelected(const QList<int>& shownRows)
{
    m_itemList.setItemsChecked(idsOfShownRows(m_itemListController, shownRows), true);
}

void ECTableViewModule::uncheckSelected(const QList<int>& shownRows)
{
    m_itemList.setItemsChecked(idsOfShownRows(m_itemListController, shownRows), false);
}

bool ECTableViewModule::tableViewShouldSelectTableColumn(int) const
{
    return false;
}

void ECTableViewModule::tableViewDidClickTableColumn(int column)
{
    if (column < 0 || column >= m_itemList.columns().size()
        || m_itemList.columns().at(column).kind != ECItemColumn::Kind::Checked) {
        return;
    }
    // Ids first: with sorting on, changing a row may move the rows still to be visited.
    std::vector<std::uint64_t> ids;
    bool anyChecked = false;
    for (int row = 0; row < m_itemListController.rowCount(); ++row) {
        const ECModuleItem& item = m_itemListController.shownItemAt(row);
        anyChecked = anyChecked || item.checked;
        ids.push_back(item.id);
    }
    m_itemList.setItemsChecked(ids, !anyChecked);
}

Qt::CheckState ECTableViewModule::headerCheckState() const
{
    const int shown = m_itemListController.rowCount();
    int checked = 0;
    for (int row = 0; row < shown; ++row) {
        checked += m_itemListController.shownItemAt(row).checked ? 1 : 0;
    }
    if (checked == 0) {
        return Qt::Unchecked;
    }
    return checked == shown ? Qt::Checked : Qt::PartiallyChecked;
}

std::int64_t ECTableViewModule::selectionSize() const
{
    std::int64_t total = 0;
    for (const auto& item : itemsToRemove()) {
        total += item.sizeOrZero();
    }
    return total;
}

QString ECTableViewModule::buttonTitle(std::int64_t count) const
{
    return QStringLiteral("Remove%1 selected").arg(countText(count));
}

std::int64_t ECTableViewModule::itemsToRemoveCount() const
{
    return std::int64_t(itemsToRemove().size());
}

void ECTableViewModule::deleteChecked()
{
    if (deleting() || phoneGone()) {
        return;
    }
    updateProgressLabel();
    std::vector<ECModuleItem> doomed = checkedItems();
    if (doomed.empty()) {
        return;
    }
    // A line left by an earlier deletion is old news once the user tries again.
    setStatusMessage(QString());
    startDeleting();
    setProgressMaximum(int(doomed.size()));
    setProgressValue(0);
    updateProgressLabel();
    auto tally = std::make_shared<ECDeletionTally>();
    tally->requested = std::int64_t(doomed.size());
    addWorkOperation(
        [this, doomed = std::move(doomed), tally](const Operation& deletion) {
            const DeviceLockHold held = lockDeviceForDeletion();
            if (!held) {
                return;
            }
            for (const auto& item : doomed) {
                // Stop (or an unplugging) ends the deletion before its next item.
                if (deletion.isCancelled()) {
                    break;
                }
                const ECItemDeletion done = deleteItem(item);
                runOnMainAndWait([this, &item, &done] { applyDeletion(item, done); });
                switch (done.outcome) {
                case ECItemDeletion::Outcome::Removed:
                    ++tally->removed;
                    break;
                case ECItemDeletion::Outcome::Failed:
                    tally->addFailure(done.reason);
                    break;
                case ECItemDeletion::Outcome::Unanswered:
                    ++tally->unanswered;
                    break;
                }
                postToMain([this] {
                    setProgressValue(progressValue() + 1);
                    updateProgressLabel();
                });
                if (done.outcome == ECItemDeletion::Outcome::Unanswered) {
                    // The phone is going or gone: the rest is left as it is.
                    break;
                }
            }
        },
        [this, tally] {
            postToMain([this, tally] {
                updateProgressLabel();
                finishDeletion(*tally);
                updateProgressLabel();
            });
        });
}

void ECTableViewModule::applyDeletion(const ECModuleItem& item, const ECItemDeletion& done)
{
    if (done.outcome == ECItemDeletion::Outcome::Removed) {
        m_itemList.removeItem(item.id);
        return;
    }
    // It stays for the user to decide again; nothing is chosen on its own.
    m_itemList.setItemsChecked({ item.id }, false);
    ECItemScanResult failure;
    failure.values.insert(FAILURE, done.reason);
    m_itemList.mergeIntoItem(item.id, failure);
}

void ECTableViewModule::removeItemWaiting(std::uint64_t id)
{
    runOnMainAndWait([this, id] { m_itemList.removeItem(id); });
}

void ECTableViewModule::mergeIntoItemWaiting(std::uint64_t id, const ECItemScanResult& result)
{
    runOnMainAndWait([this, id, &result] { m_itemList.mergeIntoItem(id, result); });
}
