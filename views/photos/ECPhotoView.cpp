#include "views/photos/ECPhotoView.h"

#include "modules/photos/ECPhotoModule.h"
#include "views/photos/ECPhotoConfigView.h"

ECPhotoView::ECPhotoView(ECPhotoModule* module, QWidget* parent)
    : ECModuleView(module, parent)
    , m_configView(new ECPhotoConfigView(module, this))
{
    setConfigWidget(m_configView);
}
