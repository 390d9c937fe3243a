#pragma once

#include "modules/ECItemListModel.h"
#include "modules/ECModule.h"

#include <QList>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class AMInstallationProxy;
class AMSpringboardServices;

/// What deleting one item did, as the phone told it.
struct ECItemDeletion
{
    enum class Outcome {
        /// Gone from the phone: the row leaves the list.
        Removed,
        /// Still on the phone: the row stays, unchecked, with the reason.
        Failed,
        /// The phone stopped answering mid-way; it may be gone. The deletion stops here.
        Unanswered,
    };
    Outcome outcome { Outcome::Removed };
    QString reason;

    static ECItemDeletion removed() { return {}; }
    static ECItemDeletion failed(const QString& reason) { return { Outcome::Failed, reason }; }
    static ECItemDeletion unanswered()
    {
        return { Outcome::Unanswered, QStringLiteral("the phone stopped answering") };
    }
};

/// A module that shows what it found as a checkbox table: it lists its items on the work queue,
/// scans them one at a time on the size queue and merges each result into its row, keeps the
/// selection size and button title current as boxes are ticked, and deletes the checked items
/// one by one under the device lock with a determinate progress bar.
///
/// A tool supplies its items, the scan of one item, the deletion of one item, and whether new
/// items start checked.
class ECTableViewModule : public ECModule
{
    Q_OBJECT

public:
    explicit ECTableViewModule(QObject* parent = nullptr);
    ~ECTableViewModule() override;

    /// Whether listed items start checked.
    virtual bool defaultChecked() const { return false; }
    /// The module's items. Work queue.
    virtual std::vector<ECModuleItem> items() { return {}; }
    /// The scan of one item, merged into it. Size queue, one item at a time.
    virtual ECItemScanResult scanItem(const ECModuleItem& item);
    /// Deletes one item from the device and says what became of it; the framework updates the
    /// list accordingly. Work queue, device lock held.
    virtual ECItemDeletion deleteItem(const ECModuleItem& item);

    /// Lists the items and queues their scans, stopping when `listing` is cancelled. Work queue.
    void addItemsUntilCancelled(const Operation& listing);
    /// Empties the list and lists afresh.
    void loadConfigView() override;

    /// The shown items (after the filter) that are checked, in shown order.
    std::vector<ECModuleItem> checkedItems() const;
    /// Check or uncheck the items in the given rows of the table (rows as shown).
    void checkSelected(const QList<int>& shownRows);
    void uncheckSelected(const QList<int>& shownRows);

    /// Clicking a column header never selects the column.
    bool tableViewShouldSelectTableColumn(int column) const;
    /// A click on the checkbox column's header unchecks every shown item when any is checked,
    /// and checks every shown item otherwise. Other columns: nothing.
    void tableViewDidClickTableColumn(int column);
    /// What the checkbox column's header shows: none, some or all shown items checked.
    Qt::CheckState headerCheckState() const;

    std::int64_t selectionSize() const override;
    QString buttonTitle(std::int64_t count) const override;
    virtual std::vector<ECModuleItem> itemsToRemove() const { return checkedItems(); }
    std::int64_t itemsToRemoveCount() const override;
    /// Deletes the checked items, one by one, without asking (the delete button asks first).
    virtual void deleteChecked();
    void performDeletion() override { deleteChecked(); }

    /// Item key: why the phone did not remove an item, set when a deletion left it listed.
    static inline const QString FAILURE = QStringLiteral("failure");

    ECItemListModel& itemList() { return m_itemList; }
    const ECItemListModel& itemList() const { return m_itemList; }
    ECItemListProxyModel& itemListController() { return m_itemListController; }
    const ECItemListProxyModel& itemListController() const { return m_itemListController; }

    /// The icon client and the installation proxy client of the current showing, opened when its
    /// listing starts; null before that or when the service did not start. Any thread; a client
    /// serves one thread at a time (icons while listing, the proxy while deleting).
    std::shared_ptr<AMSpringboardServices> springboard() const;
    std::shared_ptr<AMInstallationProxy> installer() const;

signals:
    /// The table's order is about to change, and has changed; the table keeps its selected rows
    /// by position across the change.
    void sortAboutToChange();
    void sortChanged();

protected:
    /// Runs on the work queue at the start of each listing, before items(): opens the device
    /// clients that listing and deleting need, a new springboard and installation proxy client
    /// for the module's device, replacing those of the showing before.
    virtual void prepareListing();

    /// For deleteItem(): removes an item from the list, or merges new values into it, on the main
    /// thread, waiting until done.
    void removeItemWaiting(std::uint64_t id);
    void mergeIntoItemWaiting(std::uint64_t id, const ECItemScanResult& result);

private:
    void queueScan(const ECModuleItem& item);
    /// Brings the list in step with what deleting `item` did. Main thread.
    void applyDeletion(const ECModuleItem& item, const ECItemDeletion& done);

    mutable std::mutex m_clientsMutex;
    std::shared_ptr<AMSpringboardServices> m_springboard;
    std::shared_ptr<AMInstallationProxy> m_installer;
    ECItemListModel m_itemList;
    ECItemListProxyModel m_itemListController;
    // Which showing a listing belongs to; an old listing finishing late adds nothing to a new one.
    std::uint64_t m_listingGeneration { 0 };
};
