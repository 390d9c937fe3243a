#include "views/fill_clearing/ECForceCacheCleanView.h"

#include "modules/fill_clearing/ECForceCacheCleanModule.h"
#include "views/ECModuleView.h"
#include "views/ECStripedProgressBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int ICON_POINTS = 112;

}

ECForceCacheCleanView::ECForceCacheCleanView(ECForceCacheCleanModule* module, QWidget* parent)
    : QWidget(parent)
    , m_module(module)
{
    setObjectName(QStringLiteral("moduleView"));
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, Qt::white);
    setPalette(background);
    setStyleSheet(moduleButtonStyle(QStringLiteral("startCleaningButton"),
        QStringLiteral("border-radius: 10px; padding: 12px 36px; font-size: 16pt; font-weight: 600;")));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(12);

    m_titleLabel = newModuleTitleLabel(this);
    layout->addWidget(m_titleLabel);
    m_hintLabel = newModuleHintLabel(this);
    layout->addWidget(m_hintLabel);

    layout->addStretch(1);
    m_iconLabel = new QLabel(this);
    m_iconLabel->setObjectName(QStringLiteral("iconImageView"));
    m_iconLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_iconLabel);

    m_startButton = new QPushButton(this);
    m_startButton->setObjectName(QStringLiteral("startCleaningButton"));
    m_startButton->setAutoDefault(false);
    m_startButton->setMinimumWidth(260);
    auto* startRow = new QHBoxLayout;
    startRow->addStretch(1);
    startRow->addWidget(m_startButton);
    startRow->addStretch(1);
    layout->addLayout(startRow);

    m_progressBar = new ECStripedProgressBar(this);
    m_progressBar->setObjectName(QStringLiteral("progressBar"));
    m_progressBar->setFixedHeight(10);
    m_progressBar->setMaximum(100);
    m_progressBar->setAccessibleName(tr("Progress"));
    layout->addWidget(m_progressBar);
    // What the last run or the phone's leaving did, in one line.
    auto* statusLine = new QLabel(this);
    statusLine->setObjectName(QStringLiteral("statusMessageLabel"));
    statusLine->setWordWrap(true);
    layout->addWidget(statusLine);
    layout->addStretch(1);

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch(1);
    m_cancelButton = new QPushButton(this);
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
    m_cancelButton->setAutoDefault(false);
    buttonRow->addWidget(m_cancelButton);
    layout->addLayout(buttonRow);

    if (module) {
        connect(m_startButton, &QPushButton::clicked, module, &ECForceCacheCleanModule::fillDevice);
        connect(m_cancelButton, &QPushButton::clicked, module, &ECForceCacheCleanModule::close);
        connect(module, &ECModule::textsChanged, this, &ECForceCacheCleanView::refreshTexts);
        connect(module, &ECForceCacheCleanModule::buttonsChanged, this, &ECForceCacheCleanView::refreshButtons);
        connect(module, &ECModule::progressValueChanged, this, &ECForceCacheCleanView::refreshProgress);
        const auto showStatus = [module, statusLine] { showModuleStatus(statusLine, module); };
        connect(module, &ECModule::statusMessageChanged, statusLine, showStatus);
        showStatus();
    }
    refreshTexts();
    refreshButtons();
    refreshProgress();
}

void ECForceCacheCleanView::refreshTexts()
{
    if (!m_module) {
        return;
    }
    m_titleLabel->setText(m_module->titleText());
    m_hintLabel->setText(m_module->hintText());
    QPixmap icon = QPixmap::fromImage(m_module->iconImage());
    if (!icon.isNull()) {
        const qreal ratio = devicePixelRatioF();
        icon = icon.scaled(QSize(ICON_POINTS, ICON_POINTS) * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        icon.setDevicePixelRatio(ratio);
    }
    m_iconLabel->setPixmap(icon);
}

void ECForceCacheCleanView::refreshButtons()
{
    if (!m_module) {
        return;
    }
    m_startButton->setText(m_module->startButtonTitle());
    m_startButton->setEnabled(m_module->startButtonEnabled());
    m_cancelButton->setText(m_module->cancelButtonTitle());
    m_cancelButton->setEnabled(m_module->cancelButtonEnabled());
    // The stripes move while the phone is being filled or the fillers are being deleted.
    const auto state = m_module->buttonState();
    m_progressBar->setAnimating(state == ECForceCacheCleanModule::ButtonState::Cleaning
        || state == ECForceCacheCleanModule::ButtonState::Stopping);
}

void ECForceCacheCleanView::refreshProgress()
{
    if (!m_module) {
        return;
    }
    m_progressBar->setValue(m_module->progressValue());
}
