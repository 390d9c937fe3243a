#include "app/ECMainWindow.h"

#include "app/ECAppDelegate.h"
#include "app/ECArtwork.h"
#include "app/ECDevicePicker.h"
#include "app/ECFillBar.h"
#include "app/ECHeadingButton.h"
#include "app/ECHomeRow.h"
#include "app/ECModuleCatalog.h"
#include "app/ECPrivacy.h"
#include "app/ECSubmitEmailWindow.h"
#include "app/ECTheme.h"
#include "modules/ECModule.h"
#include "views/ECModuleDialog.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

constexpr int SHEET_OFFSET = 24;
constexpr int MODULE_WINDOW_GAP = 8;
constexpr int ARROW_POINTS = 22;
constexpr int ICON_POINTS = 84;

const char* const CAPTIONS[ECHomeRow::SLOT_COUNT] = { "Apps", "Temp Files", "Photos", "Music", "Messages" };

ECAppDelegate::ModuleButton moduleButtonFor(int slot)
{
    switch (slot) {
    case ECHomeRow::Apps:
        return ECAppDelegate::ModuleButton::Apps;
    case ECHomeRow::Caches:
        return ECAppDelegate::ModuleButton::Caches;
    case ECHomeRow::Photos:
        return ECAppDelegate::ModuleButton::Photos;
    case ECHomeRow::Music:
        return ECAppDelegate::ModuleButton::Music;
    default:
        return ECAppDelegate::ModuleButton::Messages;
    }
}

ECArtwork::Icon iconFor(int slot)
{
    switch (slot) {
    case ECHomeRow::Apps:
        return ECArtwork::Icon::Apps;
    case ECHomeRow::Caches:
        return ECArtwork::Icon::TempFiles;
    case ECHomeRow::Photos:
        return ECArtwork::Icon::Photos;
    case ECHomeRow::Music:
        return ECArtwork::Icon::Music;
    default:
        return ECArtwork::Icon::Messages;
    }
}

QLabel* makeLabel(const QString& name, const QFont& font, const QColor& colour, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

QPushButton* makeLink(const QString& text, QWidget* parent)
{
    auto* link = new QPushButton(text, parent);
    link->setObjectName(QStringLiteral("linkButton"));
    link->setCursor(Qt::PointingHandCursor);
    link->setFlat(true);
    return link;
}

} // namespace

ECMainWindow::ECMainWindow(ECAppDelegate& controller, QWidget* parent)
    : QWidget(parent)
    , m_controller(controller)
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Torvane"));
    setWindowIcon(QIcon(ECArtwork::applicationIcon(128)));
    // The window is white whatever the desktop theme draws behind widgets.
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, ECTheme::window());
    setPalette(white);
    buildInterface();
    bindController();
    updateWindowText();
    updateModuleButtons();
    updateSelectDeviceButton();
}

ECMainWindow::~ECMainWindow() = default;

void ECMainWindow::buildInterface()
{
    resize(800, 540);
    setMinimumSize(ECHomeRow::WIDTH + 40, 500);

    m_headingButton = new ECHeadingButton(this);
    m_headingButton->setObjectName(QStringLiteral("headingButton"));
    m_headingButton->setAccessibleName(QStringLiteral("Device"));

    m_subheading = makeLabel(QStringLiteral("subheading"), ECTheme::font(14), ECTheme::secondaryText(), this);
    // Advice such as how to start the USB service is longer than a line: it wraps within the window.
    m_subheading->setWordWrap(true);
    m_subheading->setContentsMargins(40, 0, 40, 0);

    m_fillBar = new ECFillBar(this);
    m_fillBar->setObjectName(QStringLiteral("fillBar"));
    m_connectPicture = new QLabel(this);
    m_connectPicture->setObjectName(QStringLiteral("connectPicture"));
    m_connectPicture->setAlignment(Qt::AlignCenter);
    m_connectPicture->setPixmap(ECArtwork::connectPicture(64, devicePixelRatioF()));
    m_connectPicture->setAccessibleName(QStringLiteral("A phone connected by a cable"));
    m_levelStack = new QStackedWidget(this);
    m_levelStack->addWidget(m_connectPicture);
    m_levelStack->addWidget(m_fillBar);
    m_levelStack->setFixedHeight(72);

    m_homeRow = new ECHomeRow(this);
    for (int slot = 0; slot < ECHomeRow::SLOT_COUNT; ++slot) {
        HoverButton* button = m_homeRow->button(ECHomeRow::Slot(slot));
        button->setDelegate(this);
        button->setImage(ECArtwork::moduleIcon(iconFor(slot), ICON_POINTS, devicePixelRatioF()));
        button->setAccessibleName(QLatin1String(CAPTIONS[slot]));
        m_homeRow->label(ECHomeRow::Slot(slot))->setText(QLatin1String(CAPTIONS[slot]));
        connect(
            button, &QAbstractButton::clicked, this, [this, slot] { m_controller.startModule(moduleButtonFor(slot)); });
    }

    m_moduleDescription
        = makeLabel(QStringLiteral("moduleDescription"), ECTheme::font(13), ECTheme::secondaryText(), this);
    m_moduleDescription->setMinimumHeight(m_moduleDescription->fontMetrics().height() + 4);

    auto* help = makeLink(QStringLiteral("Help"), this);
    help->setObjectName(QStringLiteral("linkButton"));
    help->setAccessibleName(QStringLiteral("Help"));
    connect(help, &QPushButton::clicked, this, [this] { m_controller.showHelp(); });
    auto* howItWorks = makeLink(QStringLiteral("How it works"), this);
    connect(howItWorks, &QPushButton::clicked, this, [this] { m_controller.openHowItWorksPage(); });
    auto* privacy = makeLink(QStringLiteral("Privacy"), this);
    connect(privacy, &QPushButton::clicked, this, &ECMainWindow::showPrivacyStatement);
    auto* tips = makeLink(QStringLiteral("Get tips by e-mail…"), this);
    connect(tips, &QPushButton::clicked, this, [this] { m_controller.showEmailSheet(); });

    auto* links = new QHBoxLayout;
    links->setContentsMargins(16, 0, 16, 12);
    links->setSpacing(8);
    links->addWidget(help);
    links->addWidget(howItWorks);
    links->addWidget(privacy);
    links->addStretch();
    links->addWidget(tips);

    auto* rowLine = new QHBoxLayout;
    rowLine->addStretch();
    rowLine->addWidget(m_homeRow);
    rowLine->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 36, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_headingButton);
    layout->addSpacing(6);
    layout->addWidget(m_subheading);
    layout->addSpacing(12);
    layout->addWidget(m_levelStack);
    layout->addStretch(2);
    layout->addLayout(rowLine);
    layout->addSpacing(8);
    layout->addWidget(m_moduleDescription);
    layout->addStretch(3);
    layout->addLayout(links);

    m_picker = new ECDevicePicker(this);
    connect(m_picker, &ECDevicePicker::rowChosen, this,
        [this](int row) { m_controller.tableViewSelectionIndexesForProposedSelection({ row }); });
    connect(m_headingButton, &QAbstractButton::clicked, this, &ECMainWindow::showDevicePopover);

    auto* quit = new QAction(this);
    quit->setShortcut(QKeySequence::Quit);
    quit->setShortcutContext(Qt::ApplicationShortcut);
    connect(quit, &QAction::triggered, this, &ECMainWindow::customQuit);
    addAction(quit);

    setTabOrder(m_headingButton, m_homeRow->button(ECHomeRow::Apps));
    setTabOrder(m_homeRow->button(ECHomeRow::Apps), m_homeRow->button(ECHomeRow::Photos));
    setTabOrder(m_homeRow->button(ECHomeRow::Photos), m_homeRow->button(ECHomeRow::Caches));
    setTabOrder(m_homeRow->button(ECHomeRow::Caches), m_homeRow->button(ECHomeRow::Music));
    setTabOrder(m_homeRow->button(ECHomeRow::Music), m_homeRow->button(ECHomeRow::Messages));
    setTabOrder(m_homeRow->button(ECHomeRow::Messages), help);
    setTabOrder(help, howItWorks);
    setTabOrder(howItWorks, privacy);
    setTabOrder(privacy, tips);
}

void ECMainWindow::bindController()
{
    connect(&m_controller, &ECAppDelegate::windowTextChanged, this, &ECMainWindow::updateWindowText);
    connect(&m_controller, &ECAppDelegate::moduleButtonsChanged, this, &ECMainWindow::updateModuleButtons);
    connect(&m_controller, &ECAppDelegate::selectDeviceButtonChanged, this, &ECMainWindow::updateSelectDeviceButton);
    connect(&m_controller, &ECAppDelegate::popoverContentChanged, this, [this] {
        m_picker->setRows(m_controller.pickerRows());
        // The picker offers a choice only between two or more devices.
        if (m_picker->isVisible() && m_controller.numberOfRowsInTableView() < 2) {
            m_picker->hide();
        }
    });
    connect(&m_controller, &ECAppDelegate::popoverCloseRequested, m_picker, &QWidget::hide);
    connect(&m_controller, &ECAppDelegate::connectionAlertRequested, this, &ECMainWindow::showConnectionAlert);
    connect(&m_controller, &ECAppDelegate::moduleWindowRequested, this, &ECMainWindow::showModuleWindow);
    connect(&m_controller, &ECAppDelegate::backupReminderRequested, this, &ECMainWindow::showBackupReminder);
    connect(&m_controller, &ECAppDelegate::billboardRequested, this, &ECMainWindow::showBillboard);
    connect(&m_controller, &ECAppDelegate::billboardCloseRequested, this, [this] {
        if (m_billboard) {
            m_billboard->close();
        }
    });
    connect(&m_controller, &ECAppDelegate::moduleDescriptionChanged, this,
        [this] { m_moduleDescription->setText(m_controller.moduleDescription()); });
    connect(&m_controller, &ECAppDelegate::homeLayoutRequested, this, [this] {
        m_homeRow->setupButtonFrames();
        m_homeRow->showClearCaches();
    });
    connect(&m_controller, &ECAppDelegate::emailSheetRequested, this, &ECMainWindow::showEmailSheet);
    connect(&m_controller, &ECAppDelegate::emailSheetCloseRequested, this, [this] {
        if (m_submitEmailWindow) {
            m_submitEmailWindow->close();
        }
    });
    connect(&m_controller, &ECAppDelegate::pageOpenFailed, this, &ECMainWindow::showPageAddress);
    connect(&m_controller, &ECAppDelegate::emailSubmissionFinished, this, &ECMainWindow::showSignupResult);
}

void ECMainWindow::updateWindowText()
{
    m_headingButton->setText(m_controller.headingText());
    m_headingButton->updateGeometry();
    m_subheading->setText(m_controller.statusText());
    m_fillBar->setLevel(m_controller.fillPercentage(), m_controller.fillCaption(), m_controller.storageBreakdown());
    m_levelStack->setCurrentWidget(m_controller.selectedDevice() && m_controller.fillPercentage()
            ? static_cast<QWidget*>(m_fillBar)
            : static_cast<QWidget*>(m_connectPicture));
    m_connectPicture->setVisible(!m_controller.selectedDevice());
}

void ECMainWindow::updateModuleButtons()
{
    for (int slot = 0; slot < ECHomeRow::SLOT_COUNT; ++slot) {
        const bool enabled = m_controller.isModuleButtonEnabled(moduleButtonFor(slot));
        m_homeRow->button(ECHomeRow::Slot(slot))->setEnabled(enabled);
        m_homeRow->label(ECHomeRow::Slot(slot))->setEnabled(enabled);
    }
}

void ECMainWindow::updateSelectDeviceButton()
{
    const bool enabled = m_controller.selectDeviceButtonEnabled();
    m_headingButton->setArrowImage(
        ECArtwork::headingArrow(enabled, ARROW_POINTS, devicePixelRatioF()), m_controller.selectDeviceButtonImage());
    m_headingButton->setToolTip(enabled ? QStringLiteral("Choose another device") : QString());
}

void ECMainWindow::showDevicePopover()
{
    if (!m_controller.showDevicePopover(m_picker->isVisible())) {
        return;
    }
    m_picker->setRows(m_controller.pickerRows());
    // Under the heading, centred on the arrow at the end of the name.
    const int textWidth = m_headingButton->fontMetrics().horizontalAdvance(m_headingButton->text());
    const int arrowCentre = (m_headingButton->width() + textWidth) / 2 + 10 + ARROW_POINTS / 2;
    const QPoint below = m_headingButton->mapToGlobal(QPoint(arrowCentre, m_headingButton->height()));
    m_picker->move(below.x() - m_picker->width() / 2, below.y() + 4);
    m_picker->show();
}

void ECMainWindow::customQuit()
{
    for (QDialog* sheet : findChildren<QDialog*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (sheet->isVisible()) {
            sheet->hide();
        }
    }
    close();
}

void ECMainWindow::closeEvent(QCloseEvent* event)
{
    m_picker->hide();
    QWidget::closeEvent(event);
}

int ECMainWindow::slotFor(const HoverButton* button) const
{
    for (int slot = 0; slot < ECHomeRow::SLOT_COUNT; ++slot) {
        if (m_homeRow->button(ECHomeRow::Slot(slot)) == button) {
            return slot;
        }
    }
    return -1;
}

void ECMainWindow::mouseEnteredButton(HoverButton* button)
{
    const int slot = slotFor(button);
    if (slot >= 0) {
        m_controller.mouseEnteredButton(moduleButtonFor(slot));
    }
}

void ECMainWindow::mouseExitedButton(HoverButton* button)
{
    const int slot = slotFor(button);
    if (slot >= 0) {
        m_controller.mouseExitedButton(moduleButtonFor(slot));
    }
}

void ECMainWindow::positionSheet(QWidget* sheet)
{
    sheet->adjustSize();
    const QRect frame = geometry();
    sheet->move(frame.x() + (frame.width() - sheet->width()) / 2, frame.y() + SHEET_OFFSET);
}

void ECMainWindow::showConnectionAlert()
{
    const auto& alert = m_controller.connectionAlert();
    if (!alert) {
        return;
    }
    auto* box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("connectionAlert"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Warning);
    box->setText(alert->messageText);
    box->setInformativeText(alert->informativeText);
    ECModuleDialog::wrapTexts(box);
    QPushButton* tryAgain = box->addButton(alert->buttonTitle, QMessageBox::AcceptRole);
    tryAgain->setObjectName(QStringLiteral("primaryButton"));
    box->setDefaultButton(tryAgain);
    box->setEscapeButton(tryAgain);
    connect(box, &QMessageBox::finished, &m_controller, [this] { m_controller.tryAgain(); });
    m_connectionAlert = box;
    positionSheet(box);
    box->open();
}

void ECMainWindow::showModuleWindow(ECModule* module)
{
    if (m_configWindow) {
        // A module window is already up (its module was closed while deleting): it gives way.
        m_configWindow->hide();
        m_configWindow->deleteLater();
    }
    auto* dialog = new ECModuleDialog(module, ECModuleCatalog::createView(module, nullptr), this);
    m_configWindow = dialog;
    // The module window keeps the size it was made with and opens below the heading, so the
    // device it works on stays in view.
    const QRect frame = geometry();
    const int headingBottom = m_headingButton->mapTo(this, QPoint(0, m_headingButton->height())).y();
    dialog->move(frame.x() + (frame.width() - dialog->width()) / 2, frame.y() + headingBottom + MODULE_WINDOW_GAP);
    dialog->open();
}

void ECMainWindow::showEmailSheet()
{
    if (m_submitEmailWindow) {
        m_submitEmailWindow->raise();
        m_submitEmailWindow->activateWindow();
        return;
    }
    auto* sheet = new ECSubmitEmailWindow(m_controller, this);
    m_submitEmailWindow = sheet;
    positionSheet(sheet);
    sheet->open();
}

void ECMainWindow::showSignupResult(bool registered)
{
    if (m_signupResult) {
        m_signupResult->close();
    }
    auto* box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("signupResult"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setWindowTitle(QStringLiteral("Get tips by e-mail"));
    if (registered) {
        box->setIcon(QMessageBox::Information);
        box->setText(QStringLiteral("You're signed up"));
        box->setInformativeText(QStringLiteral("Thank you. The first tips will reach you by e-mail."));
    } else {
        box->setIcon(QMessageBox::Warning);
        box->setText(QStringLiteral("Torvane could not reach its server"));
        box->setInformativeText(QStringLiteral("Your address is saved. Torvane will try again next time it starts."));
    }
    box->setStandardButtons(QMessageBox::Ok);
    ECModuleDialog::wrapTexts(box);
    m_signupResult = box;
    positionSheet(box);
    box->open();
}

void ECMainWindow::showPrivacyStatement()
{
    auto* box = new QMessageBox(this);
    box->setObjectName(QStringLiteral("privacyStatement"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setWindowTitle(QStringLiteral("Privacy"));
    box->setText(QStringLiteral("What Torvane keeps and sends"));
    box->setInformativeText(ECPrivacy::statement());
    box->setStandardButtons(QMessageBox::Ok);
    ECModuleDialog::wrapTexts(box);
    m_privacyStatement = box;
    positionSheet(box);
    box->open();
}

void ECMainWindow::showPageAddress(const QUrl& url)
{
    if (m_pageAddressAlert) {
        m_pageAddressAlert->close();
    }
    auto* sheet = new QDialog(this);
    sheet->setObjectName(QStringLiteral("pageAddressAlert"));
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setWindowTitle(QStringLiteral("Open in a web browser"));
    auto* title
        = makeLabel(QStringLiteral("pageAddressTitle"), ECTheme::font(15, QFont::DemiBold), ECTheme::text(), sheet);
    title->setText(QStringLiteral("No web browser opened the page"));
    auto* body = makeLabel(QStringLiteral("pageAddressText"), ECTheme::font(13), ECTheme::secondaryText(), sheet);
    body->setWordWrap(true);
    body->setText(QStringLiteral("Copy this address into a web browser:"));
    // A read-only field: the address can be selected and copied with the keyboard too.
    auto* address = new QLineEdit(url.toString(), sheet);
    address->setObjectName(QStringLiteral("pageAddressField"));
    address->setReadOnly(true);
    address->setAccessibleName(QStringLiteral("Page address"));
    address->selectAll();
    auto* copy = new QPushButton(QStringLiteral("Copy Address"), sheet);
    copy->setObjectName(QStringLiteral("secondaryButton"));
    copy->setAccessibleName(QStringLiteral("Copy Address"));
    auto* done = new QPushButton(QStringLiteral("Close"), sheet);
    done->setObjectName(QStringLiteral("primaryButton"));
    done->setDefault(true);
    connect(copy, &QPushButton::clicked, sheet, [address] { QGuiApplication::clipboard()->setText(address->text()); });
    connect(done, &QPushButton::clicked, sheet, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(copy);
    buttons->addWidget(done);
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(24, 20, 24, 18);
    layout->setSpacing(10);
    layout->addWidget(title);
    layout->addWidget(body);
    layout->addWidget(address);
    layout->addLayout(buttons);
    sheet->setFixedWidth(440);
    m_pageAddressAlert = sheet;
    positionSheet(sheet);
    sheet->open();
}

void ECMainWindow::showBackupReminder()
{
    auto* sheet = new QDialog(this);
    sheet->setObjectName(QStringLiteral("backupReminder"));
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setWindowTitle(QStringLiteral("Back up first"));

    auto* title = makeLabel(QStringLiteral("backupTitle"), ECTheme::font(17, QFont::DemiBold), ECTheme::text(), sheet);
    title->setText(QStringLiteral("Back up your device first"));
    auto* body = makeLabel(QStringLiteral("backupText"), ECTheme::font(13), ECTheme::secondaryText(), sheet);
    body->setWordWrap(true);
    body->setText(QStringLiteral("This tool removes files from your device. Make a backup of your device "
                                 "before you continue, so nothing you care about can be lost."));
    auto* learnMore = new QPushButton(QStringLiteral("Learn More"), sheet);
    learnMore->setObjectName(QStringLiteral("secondaryButton"));
    auto* proceed = new QPushButton(QStringLiteral("Continue"), sheet);
    proceed->setObjectName(QStringLiteral("primaryButton"));
    proceed->setDefault(true);
    connect(learnMore, &QPushButton::clicked, &m_controller, [this] { m_controller.backupLearnMore(); });
    connect(proceed, &QPushButton::clicked, sheet, &QDialog::accept);
    // However the reminder goes away, the module window follows it.
    connect(sheet, &QDialog::finished, &m_controller, [this] { m_controller.hideBackupWindow(); });

    auto* picture = new QLabel(sheet);
    picture->setPixmap(ECArtwork::moduleIcon(ECArtwork::Icon::Photos, 56, devicePixelRatioF()));
    picture->setAlignment(Qt::AlignCenter);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(learnMore);
    buttons->addWidget(proceed);
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(28, 24, 28, 20);
    layout->setSpacing(10);
    layout->addWidget(picture);
    layout->addWidget(title);
    layout->addWidget(body);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    sheet->setFixedWidth(420);
    m_backupReminder = sheet;
    positionSheet(sheet);
    sheet->open();
}

void ECMainWindow::showBillboard()
{
    auto* sheet = new QDialog(this);
    sheet->setObjectName(QStringLiteral("billboard"));
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setWindowTitle(QStringLiteral("Welcome to Torvane"));

    auto* picture = new QLabel(sheet);
    picture->setPixmap(ECArtwork::applicationIcon(72));
    picture->setAlignment(Qt::AlignCenter);
    auto* title
        = makeLabel(QStringLiteral("billboardTitle"), ECTheme::font(20, QFont::DemiBold), ECTheme::text(), sheet);
    title->setText(QStringLiteral("Welcome to Torvane"));
    auto* body = makeLabel(QStringLiteral("billboardText"), ECTheme::font(13), ECTheme::secondaryText(), sheet);
    body->setWordWrap(true);
    body->setText(QStringLiteral("Plug in your iPhone, iPad or iPod touch with its USB cable, unlock it and tap "
                                 "Trust. Then pick a tool to clear temporary files, remove big apps, back up "
                                 "photos or remove old songs. Nothing happens until you say so."));
    auto* start = new QPushButton(QStringLiteral("Get Started"), sheet);
    start->setObjectName(QStringLiteral("primaryButton"));
    start->setDefault(true);
    connect(start, &QPushButton::clicked, &m_controller, [this] { m_controller.closeBillboard(); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(start);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(32, 28, 32, 24);
    layout->setSpacing(12);
    layout->addWidget(picture);
    layout->addWidget(title);
    layout->addWidget(body);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    sheet->setFixedWidth(460);
    m_billboard = sheet;
    positionSheet(sheet);
    sheet->open();
}
