#pragma once

#include <QDialog>

class ECAppDelegate;
class QCheckBox;
class QLineEdit;
class QPushButton;

/// The mailing-list sign-up sheet: an e-mail field checked while it is typed, the "other offers"
/// check box, and the submit button that is enabled only for a valid address. It decides
/// nothing: every change goes to the controller, which enables the button, saves and sends.
/// Deletes itself once closed.
class ECSubmitEmailWindow : public QDialog
{
    Q_OBJECT
public:
    ECSubmitEmailWindow(ECAppDelegate& controller, QWidget* parent);

    QLineEdit* emailField() const { return m_emailField; }
    QCheckBox* otherOffersCheck() const { return m_otherOffersCheck; }
    QPushButton* submitEmailButton() const { return m_submitEmailButton; }

private:
    ECAppDelegate& m_controller;
    QLineEdit* m_emailField { nullptr };
    QCheckBox* m_otherOffersCheck { nullptr };
    QPushButton* m_submitEmailButton { nullptr };
};
