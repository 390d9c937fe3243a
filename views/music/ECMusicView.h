#pragma once

#include "views/ECModuleView.h"

class ECMusicModule;

/// The music tool's window content: the module window with the "Not played for" age slider and
/// the Songs and Podcasts check boxes above the table, and a moving bar while deleting (one call
/// of the track deleter removes everything, so there is no count to fill it with).
class ECMusicView : public ECModuleView
{
    Q_OBJECT

public:
    explicit ECMusicView(ECMusicModule* module, QWidget* parent = nullptr);
};
