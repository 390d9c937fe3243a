#include "modules/ECItemListModel.h"

#include "modules/ECModuleRules.h"

QList<ECItemColumn> ECItemColumn::defaultColumns()
{
    return {
        { Kind::Checked, QStringLiteral("checked"), QString() },
        { Kind::Name, QStringLiteral("name"), QStringLiteral("Name") },
        { Kind::Size, QStringLiteral("size"), QStringLiteral("Size") },
        { Kind::Date, QStringLiteral("date"), QStringLiteral("Last changed") },
        { Kind::Rank, QStringLiteral("rank"), QStringLiteral("Rank") },
    };
}

ECItemListModel::ECItemListModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_columns(ECItemColumn::defaultColumns())
{
}

void ECItemListModel::setColumns(QList<ECItemColumn> columns)
{
    beginResetModel();
    m_columns = std::move(columns);
    endResetModel();
}

int ECItemListModel::columnOfKind(ECItemColumn::Kind kind) const
{
    for (int column = 0; column < m_columns.size(); ++column) {
        if (m_columns.at(column).kind == kind) {
            return column;
        }
    }
    return -1;
}

void ECItemListModel::setDateFormatter(const ECDateFormatter& formatter)
{
    m_dateFormatter = formatter;
    if (!m_items.empty()) {
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    }
}

void ECItemListModel::setMissingDateText(const QString& text)
{
    m_missingDateText = text;
}

int ECItemListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

int ECItemListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_columns.size());
}

QVariant ECItemListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const ECModuleItem& item = m_items[std::size_t(index.row())];
    const ECItemColumn& column = m_columns.at(index.column());
    if (role == ItemIdRole) {
        return QVariant::fromValue<qulonglong>(item.id);
    }
    switch (column.kind) {
    case ECItemColumn::Kind::Checked:
        if (role == Qt::CheckStateRole) {
            return item.checked ? Qt::Checked : Qt::Unchecked;
        }
        if (role == Qt::AccessibleTextRole) {
            return item.name;
        }
        break;
    case ECItemColumn::Kind::Name:
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
            // A row a deletion left on the phone says why, until the next listing.
            const QString failure = item.values.value(QStringLiteral("failure")).toString();
            return failure.isEmpty() ? item.name : QStringLiteral("%1 — not removed: %2").arg(item.name, failure);
        }
        if (role == Qt::DecorationRole && !item.icon.isNull()) {
            return item.icon;
        }
        break;
    case ECItemColumn::Kind::Size:
        if (role == Qt::DisplayRole) {
            return item.size ? formattedByteCount(*item.size) : QString();
        }
        if (role == Qt::TextAlignmentRole) {
            return QVariant::fromValue<int>(Qt::AlignRight | Qt::AlignVCenter);
        }
        break;
    case ECItemColumn::Kind::Date:
        if (role == Qt::DisplayRole) {
            const QVariant date = item.value(column.key);
            if (!m_missingDateText.isEmpty() && !date.isValid()) {
                return m_missingDateText;
            }
            return m_dateFormatter.stringForObjectValue(date);
        }
        break;
    case ECItemColumn::Kind::Rank:
        if (role == RankBarsRole) {
            return item.rank ? int(std::min<qsizetype>(item.rank->size(), MAX_RANK_BARS)) : -1;
        }
        if (role == Qt::ToolTipRole || role == Qt::AccessibleTextRole) {
            return item.rank ? QStringLiteral("%1 of %2").arg(item.rank->size()).arg(MAX_RANK_BARS) : QString();
        }
        break;
    case ECItemColumn::Kind::Text:
        if (role == Qt::DisplayRole) {
            return item.value(column.key).toString();
        }
        break;
    }
    return {};
}

bool ECItemListModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return false;
    }
    if (role != Qt::CheckStateRole || m_columns.at(index.column()).kind != ECItemColumn::Kind::Checked) {
        return false;
    }
    return setItemChecked(m_items[std::size_t(index.row())].id, value.toInt() == Qt::Checked);
}

Qt::ItemFlags ECItemListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (m_columns.at(index.column()).kind == ECItemColumn::Kind::Checked) {
        result |= Qt::ItemIsUserCheckable;
    }
    return result;
}

QVariant ECItemListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= m_columns.size()) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    const ECItemColumn& column = m_columns.at(section);
    if (role == Qt::DisplayRole) {
        return column.title;
    }
    if (role == Qt::TextAlignmentRole && column.kind == ECItemColumn::Kind::Size) {
        return QVariant::fromValue<int>(Qt::AlignRight | Qt::AlignVCenter);
    }
    if (role == Qt::ToolTipRole && column.kind == ECItemColumn::Kind::Checked) {
        return QStringLiteral("Check or uncheck all");
    }
    return {};
}

std::uint64_t ECItemListModel::appendItem(ECModuleItem item)
{
    item.id = m_nextId++;
    const int row = rowCount();
    beginInsertRows({}, row, row);
    m_rowById.emplace(item.id, m_items.size());
    m_items.push_back(std::move(item));
    endInsertRows();
    return m_items.back().id;
}

void ECItemListModel::removeAllItems()
{
    if (m_items.empty()) {
        return;
    }
    beginResetModel();
    m_items.clear();
    m_rowById.clear();
    endResetModel();
    emit checkedChanged();
}

bool ECItemListModel::removeItem(std::uint64_t id)
{
    const int row = rowOfItem(id);
    if (row < 0) {
        return false;
    }
    const bool wasChecked = m_items[std::size_t(row)].checked;
    beginRemoveRows({}, row, row);
    m_rowById.erase(id);
    m_items.erase(m_items.begin() + row);
    reindexFrom(std::size_t(row));
    endRemoveRows();
    if (wasChecked) {
        emit checkedChanged();
    }
    return true;
}

bool ECItemListModel::mergeIntoItem(std::uint64_t id, const ECItemScanResult& result)
{
    const int row = rowOfItem(id);
    if (row < 0) {
        return false;
    }
    result.mergeInto(m_items[std::size_t(row)]);
    rowChanged(row);
    return true;
}

bool ECItemListModel::setItemChecked(std::uint64_t id, bool checked)
{
    const int row = rowOfItem(id);
    if (row < 0) {
        return false;
    }
    ECModuleItem& item = m_items[std::size_t(row)];
    if (item.checked != checked) {
        item.checked = checked;
        rowChanged(row);
        emit checkedChanged();
    }
    return true;
}

void ECItemListModel::setItemsChecked(const std::vector<std::uint64_t>& ids, bool checked)
{
    bool changed = false;
    for (const auto id : ids) {
        const int row = rowOfItem(id);
        if (row < 0 || m_items[std::size_t(row)].checked == checked) {
            continue;
        }
        m_items[std::size_t(row)].checked = checked;
        rowChanged(row);
        changed = true;
    }
    if (changed) {
        emit checkedChanged();
    }
}

std::optional<ECModuleItem> ECItemListModel::itemWithId(std::uint64_t id) const
{
    const int row = rowOfItem(id);
    if (row < 0) {
        return std::nullopt;
    }
    return m_items[std::size_t(row)];
}

int ECItemListModel::rowOfItem(std::uint64_t id) const
{
    const auto found = m_rowById.find(id);
    return found == m_rowById.end() ? -1 : int(found->second);
}

void ECItemListModel::rowChanged(int row)
{
    // The whole row: the proxy re-sorts and re-filters only for changes that reach its columns.
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

void ECItemListModel::reindexFrom(std::size_t row)
{
    for (std::size_t i = row; i < m_items.size(); ++i) {
        m_rowById[m_items[i].id] = i;
    }
}

ECItemListProxyModel::ECItemListProxyModel(QObject* parent)
    : QSortFilterProxyModel(parent)
{
    setDynamicSortFilter(true);
}

void ECItemListProxyModel::setItemModel(ECItemListModel* model)
{
    m_itemModel = model;
    setSourceModel(model);
}

void ECItemListProxyModel::setSortKey(const QString& key, Qt::SortOrder order)
{
    m_sortKey = key;
    if (key.isEmpty()) {
        sort(-1);
        return;
    }
    // The key, not the column, decides the order; column 0 only switches sorting on. The key need
    // not be a shown column (the rank column may be left out of a table).
    if (sortColumn() == 0 && sortOrder() == order) {
        invalidate();
    } else {
        sort(0, order);
    }
}

void ECItemListProxyModel::setFilterPredicate(Predicate predicate)
{
    m_predicate = std::move(predicate);
    invalidateFilter();
}

std::vector<ECModuleItem> ECItemListProxyModel::shownItems() const
{
    std::vector<ECModuleItem> result;
    result.reserve(std::size_t(rowCount()));
    for (int row = 0; row < rowCount(); ++row) {
        result.push_back(shownItemAt(row));
    }
    return result;
}

const ECModuleItem& ECItemListProxyModel::shownItemAt(int proxyRow) const
{
    return m_itemModel->itemAt(mapToSource(index(proxyRow, 0)).row());
}

bool ECItemListProxyModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    if (!m_itemModel || m_sortKey.isEmpty()) {
        return left.row() < right.row();
    }
    return compareItemsByKey(m_itemModel->itemAt(left.row()), m_itemModel->itemAt(right.row()), m_sortKey) < 0;
}

bool ECItemListProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (sourceParent.isValid() || !m_itemModel || !m_predicate) {
        return true;
    }
    return m_predicate(m_itemModel->itemAt(sourceRow));
}
