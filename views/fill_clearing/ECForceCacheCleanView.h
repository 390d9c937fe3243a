#pragma once

#include <QPointer>
#include <QWidget>

class ECForceCacheCleanModule;
class ECStripedProgressBar;
class QLabel;
class QPushButton;

/// The window content of Clear Temporary Files: title, hint and icon, the large start/stop
/// button, the progress bar from 0 to 100 and the cancel/done button. It shows what the module
/// says and forwards clicks; it decides nothing.
class ECForceCacheCleanView : public QWidget
{
    Q_OBJECT

public:
    explicit ECForceCacheCleanView(ECForceCacheCleanModule* module, QWidget* parent = nullptr);

    QPushButton* startCleaningButton() const { return m_startButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }
    ECStripedProgressBar* progressBar() const { return m_progressBar; }

private:
    void refreshTexts();
    void refreshButtons();
    void refreshProgress();

    QPointer<ECForceCacheCleanModule> m_module;
    QLabel* m_titleLabel { nullptr };
    QLabel* m_hintLabel { nullptr };
    QLabel* m_iconLabel { nullptr };
    QPushButton* m_startButton { nullptr };
    ECStripedProgressBar* m_progressBar { nullptr };
    QPushButton* m_cancelButton { nullptr };
};
