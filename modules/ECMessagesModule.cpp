#include "modules/ECMessagesModule.h"

void ECMessagesModule::loadConfigView()
{
    ECModule::loadConfigView();
}
