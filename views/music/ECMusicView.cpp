#include "views/music/ECMusicView.h"

#include "modules/music/ECMusicModule.h"
#include "views/ECStripedProgressBar.h"
#include "views/ECTimeRangeSlider.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>

ECMusicView::ECMusicView(ECMusicModule* module, QWidget* parent)
    : ECModuleView(module, parent)
{
    auto* config = new QWidget(this);
    config->setObjectName(QStringLiteral("musicConfig"));
    auto* row = new QHBoxLayout(config);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    auto* slider = new ECTimeRangeSlider(config);
    slider->setObjectName(QStringLiteral("rangeSlider"));
    slider->setAccessibleName(tr("Not played for"));
    auto* label = new QLabel(config);
    label->setObjectName(QStringLiteral("rangeLabel"));
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("6 Months")) + 8);
    slider->setLabel(label);
    auto* songs = new QCheckBox(QStringLiteral("Songs"), config);
    songs->setObjectName(QStringLiteral("songsCheckbox"));
    auto* podcasts = new QCheckBox(QStringLiteral("Podcasts"), config);
    podcasts->setObjectName(QStringLiteral("podcastsCheckbox"));
    auto* caption = new QLabel(tr("Not played for"), config);
    row->addWidget(caption);
    row->addWidget(slider, 1);
    row->addWidget(label);
    row->addSpacing(12);
    row->addWidget(songs);
    row->addWidget(podcasts);
    setConfigWidget(config);

    const auto show = [module, slider, label, songs, podcasts] {
        const QSignalBlocker blockSlider(slider);
        const QSignalBlocker blockSongs(songs);
        const QSignalBlocker blockPodcasts(podcasts);
        slider->setValue(module->rangeIndex());
        label->setText(module->rangeLabelText());
        songs->setChecked(module->songsChecked());
        podcasts->setChecked(module->podcastsChecked());
    };
    show();
    connect(module, &ECMusicModule::rangeChanged, this, show);
    connect(slider, &QSlider::valueChanged, module, &ECMusicModule::setRangeIndex);
    connect(songs, &QCheckBox::toggled, module, &ECMusicModule::setSongsChecked);
    connect(podcasts, &QCheckBox::toggled, module, &ECMusicModule::setPodcastsChecked);

    if (auto* bar = findChild<ECStripedProgressBar*>(QStringLiteral("progressBar"))) {
        connect(module, &ECModule::progressDisplayChanged, bar, [module, bar] {
            if (module->moduleStatus() == ECModuleStatus::Deleting) {
                bar->setIndeterminate(true);
            }
        });
    }
}
