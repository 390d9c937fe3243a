#include "app/ECSubmitEmailWindow.h"

#include "app/ECAppDelegate.h"
#include "app/ECTheme.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

ECSubmitEmailWindow::ECSubmitEmailWindow(ECAppDelegate& controller, QWidget* parent)
    : QDialog(parent)
    , m_controller(controller)
{
    setObjectName(QStringLiteral("submitEmailWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("Get tips by e-mail"));
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, ECTheme::window());
    setPalette(white);

    auto* title = new QLabel(QStringLiteral("Get tips by e-mail"), this);
    title->setObjectName(QStringLiteral("emailTitle"));
    title->setFont(ECTheme::font(17, QFont::DemiBold));
    auto* body = new QLabel(QStringLiteral("Now and then we send a short note on keeping your device roomy, and "
                                           "news about Torvane. Leave whenever you like."),
        this);
    body->setObjectName(QStringLiteral("emailText"));
    body->setWordWrap(true);

    m_emailField = new QLineEdit(this);
    m_emailField->setObjectName(QStringLiteral("emailField"));
    m_emailField->setPlaceholderText(QStringLiteral("name@example.com"));
    m_emailField->setAccessibleName(QStringLiteral("E-mail address"));
    m_emailField->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
    m_emailField->setText(controller.emailText());

    m_otherOffersCheck = new QCheckBox(QStringLiteral("Also tell me about other offers"), this);
    m_otherOffersCheck->setObjectName(QStringLiteral("otherOffersCheck"));
    m_otherOffersCheck->setChecked(controller.otherOffersChecked());

    auto* privacy = new QLabel(QStringLiteral("Your address is sent encrypted to Torvane's server and used for "
                                              "these e-mails only."),
        this);
    privacy->setObjectName(QStringLiteral("emailPrivacyText"));
    privacy->setWordWrap(true);
    privacy->setFont(ECTheme::font(11.5));
    QPalette grey = privacy->palette();
    grey.setColor(QPalette::WindowText, ECTheme::secondaryText());
    privacy->setPalette(grey);
    body->setPalette(grey);

    auto* notNow = new QPushButton(QStringLiteral("Not Now"), this);
    notNow->setObjectName(QStringLiteral("secondaryButton"));
    notNow->setAutoDefault(false);
    m_submitEmailButton = new QPushButton(QStringLiteral("Sign Up"), this);
    m_submitEmailButton->setObjectName(QStringLiteral("primaryButton"));
    m_submitEmailButton->setAccessibleName(QStringLiteral("Sign Up"));
    m_submitEmailButton->setDefault(true);
    m_submitEmailButton->setEnabled(controller.submitEmailButtonEnabled());

    connect(m_emailField, &QLineEdit::textChanged, &controller, &ECAppDelegate::controlTextDidChange);
    connect(m_otherOffersCheck, &QCheckBox::toggled, &controller, &ECAppDelegate::setOtherOffersChecked);
    connect(m_submitEmailButton, &QPushButton::clicked, &controller, &ECAppDelegate::saveEmail);
    connect(notNow, &QPushButton::clicked, &controller, &ECAppDelegate::hideEmailScreen);
    connect(&controller, &ECAppDelegate::submitEmailButtonChanged, this,
        [this] { m_submitEmailButton->setEnabled(m_controller.submitEmailButtonEnabled()); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(notNow);
    buttons->addWidget(m_submitEmailButton);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 20);
    layout->setSpacing(10);
    layout->addWidget(title);
    layout->addWidget(body);
    layout->addSpacing(4);
    layout->addWidget(m_emailField);
    layout->addWidget(m_otherOffersCheck);
    layout->addWidget(privacy);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    setFixedWidth(440);
}
