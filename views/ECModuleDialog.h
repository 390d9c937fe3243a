#pragma once

#include "modules/ECModule.h"
#include "modules/ECModuleHost.h"

#include <QDialog>
#include <QPointer>

class ECModuleView;
class QMessageBox;

/// The module window: a window-modal dialog over the main window holding the module's view,
/// built afresh each time the module is shown. It answers the module's questions with
/// window-modal dialogs of its own, closes when the module asks, and turns Escape and the
/// window's close button into the module's close().
class ECModuleDialog : public QDialog, public ECModuleHost
{
    Q_OBJECT

public:
    /// Holds `view`, the module's window content made for it by the module catalog (an empty
    /// widget when null), and becomes the module's host. Deletes itself once closed.
    ECModuleDialog(ECModule* module, QWidget* view, QWidget* parent);
    ~ECModuleDialog() override;

    /// Makes a message box's texts wrap at a readable width instead of running off its edges:
    /// a plain-text message does not wrap by itself.
    static void wrapTexts(QMessageBox* box);

    ECModule* module() const { return m_module; }
    ECModuleView* moduleView() const { return m_view; }

    void presentAlert(const ECModuleAlert& alert, std::function<void(int button)> answer) override;
    void chooseFolder(const QString& title,
        const QString& startFolder,
        std::function<void(std::optional<QString> folder)> answer) override;
    void openUrl(const QUrl& url) override;

public slots:
    /// Escape: the module decides (it may keep the window while deleting).
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void moduleRequestedClose();

    QPointer<ECModule> m_module;
    ECModuleView* m_view { nullptr };
    bool m_closingForModule { false };
};
