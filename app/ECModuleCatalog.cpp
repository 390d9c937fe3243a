#include "app/ECModuleCatalog.h"

#include "modules/ECMessagesModule.h"

namespace ECModuleCatalog {

ECAppDelegate::Modules createModules()
{
    ECAppDelegate::Modules modules;
    modules.messagesController = new ECMessagesModule;
    // FIXME: the cleaning tools (apps, temp files, download caches, photos, music) arrive with
    // their own modules; each is added here as it lands, and its button is enabled from then on.
    return modules;
}

} // namespace ECModuleCatalog
