#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

class ECCheckboxHeaderView;
class ECModule;
class ECStripedProgressBar;
class ECTableViewModule;
class QLabel;
class QPushButton;
class QTableView;
class QVBoxLayout;

/// The content of a module's window: title, hint, the checkbox table for table modules, the
/// progress label and striped bar, and the cancel and delete buttons. It shows what the module
/// says and forwards clicks to it; it decides nothing itself.
class ECModuleView : public QWidget
{
    Q_OBJECT

public:
    explicit ECModuleView(ECModule* module, QWidget* parent = nullptr);

    ECModule* module() const { return m_module; }
    /// Null unless the module is a table module.
    QTableView* tableView() const { return m_tableView; }
    /// Puts a tool's own controls (age slider, check boxes, pop-ups) between the hint and the table.
    void setConfigWidget(QWidget* widget);

private:
    void buildTable(ECTableViewModule* module);
    void refreshTexts();
    void refreshProgress();
    void refreshProgressValue();
    void refreshStatusMessage();
    void rememberSelectedRows();
    void restoreSelectedRows();
    void showTableMenu(const QPoint& position);
    QList<int> selectedRows() const;

    QPointer<ECModule> m_module;
    QVBoxLayout* m_layout { nullptr };
    QLabel* m_titleLabel { nullptr };
    QLabel* m_hintLabel { nullptr };
    QTableView* m_tableView { nullptr };
    ECCheckboxHeaderView* m_header { nullptr };
    QLabel* m_progressLabel { nullptr };
    QLabel* m_statusMessageLabel { nullptr };
    ECStripedProgressBar* m_progressBar { nullptr };
    QPushButton* m_cancelButton { nullptr };
    QPushButton* m_deleteButton { nullptr };
    QList<int> m_rowsBeforeSort;
};

/// The title and hint labels every module window starts with, in the look all modules share.
/// The style sheet of a module window's buttons: its blue main button, the one named `primary`,
/// drawn with `shape` (radius, padding, font), and the plain "cancelButton".
QString moduleButtonStyle(const QString& primary, const QString& shape);
QLabel* newModuleTitleLabel(QWidget* parent);
QLabel* newModuleHintLabel(QWidget* parent);
/// Shows a module's status message in `label`, drawn as a problem or as a plain outcome.
void showModuleStatus(QLabel* label, const ECModule* module);
