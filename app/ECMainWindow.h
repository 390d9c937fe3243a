#pragma once

#include "app/ECSubmitEmailWindow.h"
#include "app/HoverButton.h"
#include "views/ECModuleDialog.h"

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QUrl>
#include <QWidget>

class ECAppDelegate;
class ECDevicePicker;
class ECFillBar;
class ECHeadingButton;
class ECHomeRow;
class ECModule;
class QLabel;
class QStackedWidget;

/// The main window: the heading with the device's name and the picker arrow, the status line
/// and fill bar, the row of module buttons with the hover help line, and links to the help
/// pages. It shows what the controller decides and forwards every click to it; sheets are
/// window-modal dialogs over it, opened 24 points below its top edge.
class ECMainWindow : public QWidget, public HoverButtonDelegate
{
    Q_OBJECT
public:
    explicit ECMainWindow(ECAppDelegate& controller, QWidget* parent = nullptr);
    ~ECMainWindow() override;

    ECHeadingButton* headingButton() const { return m_headingButton; }
    QLabel* subheading() const { return m_subheading; }
    ECFillBar* fillBar() const { return m_fillBar; }
    ECHomeRow* homeRow() const { return m_homeRow; }
    QLabel* moduleDescription() const { return m_moduleDescription; }
    ECDevicePicker* devicePicker() const { return m_picker; }
    /// The window hosting the running module, while it is shown.
    ECModuleDialog* configWindow() const { return m_configWindow; }
    QMessageBox* connectionAlert() const { return m_connectionAlert; }
    QDialog* backupReminder() const { return m_backupReminder; }
    QDialog* billboard() const { return m_billboard; }
    ECSubmitEmailWindow* submitEmailWindow() const { return m_submitEmailWindow; }
    QMessageBox* privacyStatement() const { return m_privacyStatement; }
    /// The message that offers a page's address when no browser opened it.
    QDialog* pageAddressAlert() const { return m_pageAddressAlert; }
    /// What became of the address the user just signed up with.
    QMessageBox* signupResult() const { return m_signupResult; }

    /// The heading's action: opens or closes the device picker.
    void showDevicePopover();
    /// Ends a sheet if one is shown, then quits.
    void customQuit();

    // HoverButtonDelegate
    void mouseEnteredButton(HoverButton* button) override;
    void mouseExitedButton(HoverButton* button) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildInterface();
    void bindController();
    void updateWindowText();
    void updateModuleButtons();
    void updateSelectDeviceButton();
    void showConnectionAlert();
    void showModuleWindow(ECModule* module);
    void showBackupReminder();
    void showBillboard();
    void showEmailSheet();
    void showPrivacyStatement();
    void showSignupResult(bool registered);
    void showPageAddress(const QUrl& url);
    /// Places a sheet horizontally centred over the window, 24 points below its top edge.
    void positionSheet(QWidget* sheet);
    int slotFor(const HoverButton* button) const;

    ECAppDelegate& m_controller;
    ECHeadingButton* m_headingButton { nullptr };
    QLabel* m_subheading { nullptr };
    QStackedWidget* m_levelStack { nullptr };
    ECFillBar* m_fillBar { nullptr };
    QLabel* m_connectPicture { nullptr };
    ECHomeRow* m_homeRow { nullptr };
    QLabel* m_moduleDescription { nullptr };
    ECDevicePicker* m_picker { nullptr };
    QPointer<ECModuleDialog> m_configWindow;
    QPointer<QMessageBox> m_connectionAlert;
    QPointer<QDialog> m_backupReminder;
    QPointer<QDialog> m_billboard;
    QPointer<ECSubmitEmailWindow> m_submitEmailWindow;
    QPointer<QMessageBox> m_privacyStatement;
    QPointer<QDialog> m_pageAddressAlert;
    QPointer<QMessageBox> m_signupResult;
};
