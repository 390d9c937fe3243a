#pragma once

#include "modules/ECDateFormatter.h"
#include "modules/ECModuleItem.h"

#include <QAbstractTableModel>
#include <QList>
#include <QSortFilterProxyModel>

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

/// One column of a module's table.
struct ECItemColumn
{
    enum class Kind {
        Checked, ///< the checkbox; its header click checks or unchecks every shown item
        Name, ///< the name, with the icon beside it
        Size, ///< a byte count, right-aligned; empty until scanned
        Date, ///< a date under `key`, "Never" when absent
        Rank, ///< the rank, drawn as a bar by the view
        Text, ///< any other value under `key`, as text
    };
    Kind kind;
    QString key;
    QString title;

    static QList<ECItemColumn> defaultColumns();
};

/// The items of a table module: the model behind the table, main thread only. Queue code never
/// touches it directly; it hands copies and updates to the main thread by item id.
class ECItemListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Role {
        ItemIdRole = Qt::UserRole + 1,
        /// Number of rank bars, or -1 without a rank.
        RankBarsRole,
    };
    static constexpr int MAX_RANK_BARS = 18;

    explicit ECItemListModel(QObject* parent = nullptr);

    void setColumns(QList<ECItemColumn> columns);
    const QList<ECItemColumn>& columns() const { return m_columns; }
    /// Column index of the first column of `kind`, or -1.
    int columnOfKind(ECItemColumn::Kind kind) const;
    void setDateFormatter(const ECDateFormatter& formatter);
    /// What a date column shows for an item without a date; "Never" unless set.
    void setMissingDateText(const QString& text);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    /// Adds an item at the end and answers the id it was given.
    std::uint64_t appendItem(ECModuleItem item);
    void removeAllItems();
    /// False when no item has that id (it was removed, or the list was refilled meanwhile).
    bool removeItem(std::uint64_t id);
    bool mergeIntoItem(std::uint64_t id, const ECItemScanResult& result);
    bool setItemChecked(std::uint64_t id, bool checked);
    /// Sets "checked" on every listed id at once; one change notice for the lot.
    void setItemsChecked(const std::vector<std::uint64_t>& ids, bool checked);

    const ECModuleItem& itemAt(int row) const { return m_items.at(std::size_t(row)); }
    std::optional<ECModuleItem> itemWithId(std::uint64_t id) const;
    int rowOfItem(std::uint64_t id) const;
    const std::vector<ECModuleItem>& items() const { return m_items; }

signals:
    /// Some item's "checked" changed, by the user or by the module.
    void checkedChanged();

private:
    void rowChanged(int row);
    void reindexFrom(std::size_t row);

    QList<ECItemColumn> m_columns;
    std::vector<ECModuleItem> m_items;
    std::unordered_map<std::uint64_t, std::size_t> m_rowById;
    ECDateFormatter m_dateFormatter { ECDateFormatter::Style::Relative };
    QString m_missingDateText;
    // Ids are never reused, so an update for an item of an earlier listing finds nothing.
    std::uint64_t m_nextId { 1 };
};

/// The table's view of the items: the module's sort key and filter, re-applied whenever an item
/// changes.
class ECItemListProxyModel : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    using Predicate = std::function<bool(const ECModuleItem&)>;

    explicit ECItemListProxyModel(QObject* parent = nullptr);

    void setItemModel(ECItemListModel* model);
    ECItemListModel* itemModel() const { return m_itemModel; }

    /// Sorts the shown items by a key; an empty key leaves them in list order.
    void setSortKey(const QString& key, Qt::SortOrder order);
    const QString& sortKey() const { return m_sortKey; }
    /// Shows only items the predicate accepts; an empty predicate shows everything.
    void setFilterPredicate(Predicate predicate);
    bool hasFilter() const { return bool(m_predicate); }

    /// The shown items, in shown order.
    std::vector<ECModuleItem> shownItems() const;
    const ECModuleItem& shownItemAt(int proxyRow) const;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    ECItemListModel* m_itemModel { nullptr };
    QString m_sortKey;
    Predicate m_predicate;
};
