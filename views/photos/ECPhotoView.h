#pragma once

#include "views/ECModuleView.h"

class ECPhotoConfigView;
class ECPhotoModule;

/// The photo tool's window content: the module window with the photo choices
/// (`ECPhotoConfigView`) above the table.
class ECPhotoView : public ECModuleView
{
    Q_OBJECT

public:
    explicit ECPhotoView(ECPhotoModule* module, QWidget* parent = nullptr);

    ECPhotoConfigView* configView() const { return m_configView; }

private:
    ECPhotoConfigView* m_configView { nullptr };
};
