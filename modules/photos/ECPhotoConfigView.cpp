#include "modules/photos/ECPhotoConfigView.h"

#include "modules/ECTimePopupButton.h"
#include "modules/photos/ECPhotoModule.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QSignalBlocker>

namespace {
const QString OTHER_TITLE = QStringLiteral("Other…");
}

ECPhotoConfigView::ECPhotoConfigView(ECPhotoModule* module, QWidget* parent)
    : QWidget(parent)
    , m_module(module)
{
    auto* form = new QFormLayout(this);
    form->setContentsMargins(0, 4, 0, 4);

    m_photosAndVideosPopup = new QComboBox(this);
    m_photosAndVideosPopup->setObjectName(QStringLiteral("photosAndVideosPopup"));
    m_photosAndVideosPopup->addItems(
        { QStringLiteral("Photos and Videos"), QStringLiteral("Photos"), QStringLiteral("Videos") });
    form->addRow(tr("Back up:"), m_photosAndVideosPopup);

    m_timePopup = new ECTimePopupButton(this);
    m_timePopup->setObjectName(QStringLiteral("timePopup"));
    form->addRow(tr("Older than:"), m_timePopup);

    m_pathPicker = new QComboBox(this);
    m_pathPicker->setObjectName(QStringLiteral("pathPicker"));
    form->addRow(tr("Save to:"), m_pathPicker);

    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("photoStatusLabel"));
    m_statusLabel->setStyleSheet(QStringLiteral("color: #1d1d1f; font-weight: 600;"));
    form->addRow(QString(), m_statusLabel);

    connect(m_photosAndVideosPopup, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!m_refreshing && m_module) {
            m_module->setMediaChoice(index);
        }
    });
    connect(m_timePopup, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (!m_refreshing && m_module) {
            m_module->setTimeRangeIndex(index);
        }
    });
    connect(m_pathPicker, &QComboBox::activated, this, &ECPhotoConfigView::pathChosen);
    connect(module, &ECPhotoModule::configChanged, this, &ECPhotoConfigView::refresh);
    refresh();
}

void ECPhotoConfigView::rebuildPathPicker()
{
    m_pathPicker->clear();
    for (const auto& destination : m_module->destinations()) {
        m_pathPicker->addItem(destination.title, destination.path);
    }
    m_pathPicker->insertSeparator(m_pathPicker->count());
    m_pathPicker->addItem(OTHER_TITLE);
}

void ECPhotoConfigView::pathChosen(int index)
{
    if (!m_module) {
        return;
    }
    if (index < int(m_module->destinations().size())) {
        m_module->setDestinationIndex(index);
    } else {
        m_module->chooseOtherDestination();
    }
    refresh();
}

void ECPhotoConfigView::refresh()
{
    if (!m_module) {
        return;
    }
    m_refreshing = true;
    const bool enabled = m_module->interfaceEnabled() && !m_module->deleting();
    m_photosAndVideosPopup->setEnabled(enabled);
    m_timePopup->setEnabled(enabled);
    m_pathPicker->setEnabled(enabled);
    m_photosAndVideosPopup->setCurrentIndex(m_module->mediaChoice());
    m_timePopup->setCurrentIndex(m_module->timeRangeIndex());
    // Destinations only grow; the separator and "Other…" follow them.
    if (m_pathPicker->count() != int(m_module->destinations().size()) + 2) {
        rebuildPathPicker();
    }
    m_pathPicker->setCurrentIndex(m_module->destinationIndex());
    m_pathPicker->setToolTip(m_module->destinationFolder());
    m_statusLabel->setText(m_module->statusText());
    m_refreshing = false;
}
