#include "views/ECModuleView.h"

#include "modules/ECModule.h"
#include "modules/ECTableViewModule.h"
#include "views/ECCheckboxHeaderView.h"
#include "views/ECIconDelegate.h"
#include "views/ECRankDelegate.h"
#include "views/ECStripedProgressBar.h"

#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

namespace {

/// The plain cancel/done button every module window has.
constexpr auto CANCEL_BUTTON_STYLE = R"(
QPushButton#cancelButton {
    background-color: white; color: #1d1d1f; border: 1px solid #d2d2d7; border-radius: 6px;
    padding: 6px 18px;
}
QPushButton#cancelButton:hover { background-color: #f5f5f7; }
QPushButton#cancelButton:focus { border: 2px solid #0a84ff; }
QPushButton#cancelButton:disabled { color: #b0b0b5; }
)";

}

ECModuleView::ECModuleView(ECModule* module, QWidget* parent)
    : QWidget(parent)
    , m_module(module)
{
    setObjectName(QStringLiteral("moduleView"));
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, Qt::white);
    setPalette(background);
    setStyleSheet(moduleButtonStyle(
        QStringLiteral("deleteButton"), QStringLiteral("border-radius: 6px; padding: 6px 18px; font-weight: 600;")));

    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(24, 20, 24, 20);
    m_layout->setSpacing(10);

    m_titleLabel = newModuleTitleLabel(this);
    m_layout->addWidget(m_titleLabel);
    m_hintLabel = newModuleHintLabel(this);
    m_layout->addWidget(m_hintLabel);

    if (auto* tableModule = qobject_cast<ECTableViewModule*>(module)) {
        buildTable(tableModule);
    } else {
        m_layout->addStretch(1);
    }

    m_statusMessageLabel = new QLabel(this);
    m_statusMessageLabel->setObjectName(QStringLiteral("statusMessageLabel"));
    m_statusMessageLabel->setWordWrap(true);
    m_layout->addWidget(m_statusMessageLabel);

    auto* progressRow = new QHBoxLayout;
    progressRow->setSpacing(12);
    m_progressLabel = new QLabel(this);
    m_progressLabel->setObjectName(QStringLiteral("progressLabel"));
    m_progressLabel->setStyleSheet(QStringLiteral("color: #1d1d1f;"));
    m_progressBar = new ECStripedProgressBar(this);
    m_progressBar->setObjectName(QStringLiteral("progressBar"));
    m_progressBar->setFixedHeight(10);
    progressRow->addWidget(m_progressLabel);
    progressRow->addWidget(m_progressBar, 1);
    m_layout->addLayout(progressRow);

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch(1);
    m_cancelButton = new QPushButton(this);
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
    m_cancelButton->setAutoDefault(false);
    m_deleteButton = new QPushButton(this);
    m_deleteButton->setObjectName(QStringLiteral("deleteButton"));
    m_deleteButton->setAutoDefault(false);
    buttonRow->addWidget(m_cancelButton);
    buttonRow->addWidget(m_deleteButton);
    m_layout->addLayout(buttonRow);

    if (module) {
        connect(m_cancelButton, &QPushButton::clicked, module, &ECModule::close);
        connect(m_deleteButton, &QPushButton::clicked, module, &ECModule::deleteButtonClicked);
        connect(module, &ECModule::textsChanged, this, &ECModuleView::refreshTexts);
        connect(module, &ECModule::progressDisplayChanged, this, &ECModuleView::refreshProgress);
        connect(module, &ECModule::progressValueChanged, this, &ECModuleView::refreshProgressValue);
        connect(module, &ECModule::statusMessageChanged, this, &ECModuleView::refreshStatusMessage);
    }
    refreshTexts();
    refreshProgress();
    refreshProgressValue();
    refreshStatusMessage();
}

void ECModuleView::setConfigWidget(QWidget* widget)
{
    // Right after the hint (index 2), above the table.
    m_layout->insertWidget(2, widget);
}

void ECModuleView::buildTable(ECTableViewModule* module)
{
    m_tableView = new QTableView(this);
    m_tableView->setObjectName(QStringLiteral("tableView"));
    m_header = new ECCheckboxHeaderView(m_tableView);
    m_tableView->setHorizontalHeader(m_header);
    m_tableView->setModel(&module->itemListController());
    m_tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_tableView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_tableView->setAlternatingRowColors(true);
    m_tableView->setShowGrid(false);
    m_tableView->setSortingEnabled(false);
    m_tableView->setWordWrap(false);
    m_tableView->setIconSize(QSize(ECIconDelegate::ICON_POINTS, ECIconDelegate::ICON_POINTS));
    m_tableView->verticalHeader()->hide();
    m_tableView->verticalHeader()->setDefaultSectionSize(32);
    m_tableView->setContextMenuPolicy(Qt::CustomContextMenu);
    m_tableView->setAccessibleName(tr("Items found"));
    m_tableView->setStyleSheet(QStringLiteral("QTableView { border: 1px solid #d2d2d7; border-radius: 6px; "
                                              "alternate-background-color: #f5f5f7; background: white; }"));

    const auto& columns = module->itemList().columns();
    for (int column = 0; column < columns.size(); ++column) {
        switch (columns.at(column).kind) {
        case ECItemColumn::Kind::Checked:
            m_header->setCheckboxSection(column);
            m_header->setSectionResizeMode(column, QHeaderView::Fixed);
            m_header->resizeSection(column, 32);
            break;
        case ECItemColumn::Kind::Name:
            m_header->setSectionResizeMode(column, QHeaderView::Stretch);
            m_tableView->setItemDelegateForColumn(column, new ECIconDelegate(m_tableView));
            break;
        case ECItemColumn::Kind::Rank:
            m_tableView->setItemDelegateForColumn(column, new ECRankDelegate(m_tableView));
            m_header->resizeSection(column, 110);
            break;
        case ECItemColumn::Kind::Size:
            m_header->resizeSection(column, 90);
            break;
        case ECItemColumn::Kind::Date:
        case ECItemColumn::Kind::Text:
            m_header->resizeSection(column, 120);
            break;
        }
    }
    m_header->setCheckStateProvider([module] { return module->headerCheckState(); });

    connect(m_header, &QHeaderView::sectionClicked, module, &ECTableViewModule::tableViewDidClickTableColumn);
    connect(&module->itemList(), &ECItemListModel::checkedChanged, m_header->viewport(), qOverload<>(&QWidget::update));
    // Rows shown, hidden or refilled change what the header checkbox stands for.
    for (const auto signal : { &QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved }) {
        connect(&module->itemListController(), signal, m_header->viewport(), qOverload<>(&QWidget::update));
    }
    connect(&module->itemListController(), &QAbstractItemModel::modelReset, m_header->viewport(),
        qOverload<>(&QWidget::update));
    connect(&module->itemListController(), &QAbstractItemModel::layoutChanged, m_header->viewport(),
        qOverload<>(&QWidget::update));
    connect(module, &ECTableViewModule::sortAboutToChange, this, &ECModuleView::rememberSelectedRows);
    connect(module, &ECTableViewModule::sortChanged, this, &ECModuleView::restoreSelectedRows);
    connect(m_tableView, &QWidget::customContextMenuRequested, this, &ECModuleView::showTableMenu);
    m_layout->addWidget(m_tableView, 1);
}

void ECModuleView::refreshTexts()
{
    if (!m_module) {
        return;
    }
    m_titleLabel->setText(m_module->titleText());
    m_hintLabel->setText(m_module->hintText());
    m_hintLabel->setVisible(!m_module->hintText().isEmpty());
}

void ECModuleView::refreshProgress()
{
    if (!m_module) {
        return;
    }
    const ECProgressDisplay& display = m_module->progressDisplay();
    m_progressLabel->setText(display.label);
    m_progressBar->setVisible(display.barVisible);
    m_progressBar->setIndeterminate(display.barIndeterminate);
    m_progressBar->setAnimating(display.barAnimating);
    m_deleteButton->setEnabled(display.deleteEnabled);
    // A title's "&" is a word ("Back Up & Remove"), not a keyboard mnemonic marker.
    m_deleteButton->setText(QString(display.deleteTitle).replace(QLatin1Char('&'), QStringLiteral("&&")));
    // A tool that removes nothing shows no selection size and no delete button.
    const bool deletes = m_module->offersDeletion();
    m_progressLabel->setVisible(deletes);
    m_deleteButton->setVisible(deletes);
    m_cancelButton->setText(display.cancelTitle);
}

void ECModuleView::refreshProgressValue()
{
    if (!m_module) {
        return;
    }
    m_progressBar->setMaximum(m_module->progressMaximum());
    m_progressBar->setValue(m_module->progressValue());
}

void ECModuleView::refreshStatusMessage()
{
    showModuleStatus(m_statusMessageLabel, m_module);
}

void showModuleStatus(QLabel* label, const ECModule* module)
{
    const QString message = module ? module->statusMessage() : QString();
    const bool problem = module && module->statusIsProblem();
    label->setText(message);
    label->setVisible(!message.isEmpty());
    // A problem in the warning colour; an outcome that went as asked in the text's own.
    label->setStyleSheet(problem ? QStringLiteral("color: #c4410c;") : QStringLiteral("color: #1d1d1f;"));
    label->setAccessibleName(problem ? QObject::tr("Problem") : QObject::tr("Outcome"));
}

QList<int> ECModuleView::selectedRows() const
{
    QList<int> rows;
    for (const auto& index : m_tableView->selectionModel()->selectedRows()) {
        rows.append(index.row());
    }
    return rows;
}

void ECModuleView::rememberSelectedRows()
{
    m_rowsBeforeSort = m_tableView ? selectedRows() : QList<int>();
}

void ECModuleView::restoreSelectedRows()
{
    if (!m_tableView) {
        return;
    }
    // By position, not by item: the rows the user had selected stay selected.
    QItemSelectionModel* selection = m_tableView->selectionModel();
    selection->clearSelection();
    for (const int row : std::as_const(m_rowsBeforeSort)) {
        const QModelIndex index = m_tableView->model()->index(row, 0);
        if (index.isValid()) {
            selection->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
}

void ECModuleView::showTableMenu(const QPoint& position)
{
    auto* module = qobject_cast<ECTableViewModule*>(m_module.data());
    const QList<int> rows = selectedRows();
    if (!module || rows.isEmpty()) {
        return;
    }
    // A popup, not exec(): no nested event loop while the device may detach.
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(tr("Check Selected"), module, [module, rows] { module->checkSelected(rows); });
    menu->addAction(tr("Uncheck Selected"), module, [module, rows] { module->uncheckSelected(rows); });
    menu->popup(m_tableView->viewport()->mapToGlobal(position));
}

QString moduleButtonStyle(const QString& primary, const QString& shape)
{
    // The accent blue of ECTheme, lighter when hovered or disabled and deeper when pressed.
    const QString button = QStringLiteral("QPushButton#") + primary;
    return button + QStringLiteral(" { background-color: #0a84ff; color: white; border: none; %1 }\n").arg(shape)
        + button + QStringLiteral(":hover { background-color: #2a94ff; }\n") + button
        + QStringLiteral(":pressed { background-color: #0071e3; }\n") + button
        + QStringLiteral(":focus { outline: none; border: 2px solid #9ccaff; }\n") + button
        + QStringLiteral(":disabled { background-color: #b9d9ff; color: #f5f9ff; }\n")
        + QString::fromLatin1(CANCEL_BUTTON_STYLE);
}

QLabel* newModuleTitleLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QStringLiteral("titleTextField"));
    QFont titleFont = label->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    titleFont.setWeight(QFont::DemiBold);
    label->setFont(titleFont);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: #1d1d1f;"));
    return label;
}

QLabel* newModuleHintLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QStringLiteral("hintTextField"));
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: #6e6e73;"));
    return label;
}
