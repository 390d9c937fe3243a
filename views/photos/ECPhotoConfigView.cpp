#include "views/photos/ECPhotoConfigView.h"

#include "modules/ECModuleRules.h"
#include "modules/photos/ECPhotoModule.h"
#include "platform/image_capture/ICCameraFile.h"
#include "views/ECTimePopupButton.h"

#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QSignalBlocker>

#include <algorithm>

namespace {
const QString OTHER_TITLE = QStringLiteral("Other…");

/// A label showing a path whole where it fits and elided in the middle where it does not, so
/// both the start and the folder's own name stay readable; the whole path is in the tooltip.
class PathLabel : public QLabel
{
public:
    using QLabel::QLabel;

    void setPath(const QString& path)
    {
        m_path = path;
        setToolTip(path);
        setAccessibleDescription(path);
        elide();
    }

    QSize minimumSizeHint() const override { return QSize(40, QLabel::minimumSizeHint().height()); }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide() { setText(fontMetrics().elidedText(m_path, Qt::ElideMiddle, std::max(width(), 40))); }

    QString m_path;
};

QString dateText(const QDateTime& when)
{
    return QLocale().toString(when.date(), QStringLiteral("d MMM yyyy"));
}

} // namespace

ECPhotoConfigView::Summary ECPhotoConfigView::summarize(const std::vector<ICCameraFile>& files)
{
    std::int64_t photos = 0;
    std::int64_t videos = 0;
    std::int64_t bytes = 0;
    QDateTime first;
    QDateTime last;
    for (const ICCameraFile& file : files) {
        (file.movie ? videos : photos) += 1;
        bytes += std::int64_t(file.fileSize);
        if (file.creationDate.isValid()) {
            if (!first.isValid() || file.creationDate < first) {
                first = file.creationDate;
            }
            if (!last.isValid() || file.creationDate > last) {
                last = file.creationDate;
            }
        }
    }
    Summary summary;
    QStringList kinds;
    if (photos > 0 || videos == 0) {
        kinds << countedNoun(photos, QStringLiteral("photo"), QStringLiteral("photos"));
    }
    if (videos > 0) {
        kinds << countedNoun(videos, QStringLiteral("video"), QStringLiteral("videos"));
    }
    summary.counts = QStringLiteral("%1, %2").arg(kinds.join(QStringLiteral(" and ")), formattedByteCount(bytes));
    if (first.isValid()) {
        const QString from = dateText(first);
        const QString to = dateText(last);
        summary.dates
            = from == to ? QStringLiteral("Taken %1").arg(from) : QStringLiteral("Taken %1 \u2013 %2").arg(from, to);
    }
    return summary;
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
    m_datesLabel = new QLabel(this);
    m_datesLabel->setObjectName(QStringLiteral("photoDatesLabel"));
    m_datesLabel->setStyleSheet(QStringLiteral("color: #6e6e73;"));
    form->addRow(QString(), m_datesLabel);
    auto* folder = new PathLabel(this);
    folder->setObjectName(QStringLiteral("photoFolderLabel"));
    folder->setStyleSheet(QStringLiteral("color: #6e6e73;"));
    folder->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_folderLabel = folder;
    form->addRow(tr("Folder:"), m_folderLabel);

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
    // Until the camera roll is read the module says it is waiting; then the lines say what a
    // backup would cover.
    const QString status = m_module->statusText();
    if (status == ECPhotoModule::WAITING_TEXT) {
        m_statusLabel->setText(status);
        m_datesLabel->clear();
    } else {
        const Summary summary = summarize(m_module->itemsToRemove());
        m_statusLabel->setText(summary.counts);
        m_datesLabel->setText(summary.dates);
    }
    m_datesLabel->setVisible(!m_datesLabel->text().isEmpty());
    // Where the copies go: the backup folder made inside the destination.
    static_cast<PathLabel*>(m_folderLabel)
        ->setPath(
            QDir::toNativeSeparators(QDir(m_module->destinationFolder()).filePath(ECPhotoModule::BACKUP_FOLDER_NAME)));
    m_refreshing = false;
}
