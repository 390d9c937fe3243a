#include "app/ECModuleCatalog.h"

#include "modules/ECMessagesModule.h"
#include "modules/apps/ECAppModule.h"
#include "modules/download_cache/ECCacheModule.h"

namespace ECModuleCatalog {

ECAppDelegate::Modules createModules()
{
    ECAppDelegate::Modules modules;
    modules.messagesController = new ECMessagesModule;
    modules.appsController = new ECAppModule;
    // Temp Files on phones below 8.3.
    modules.oldIOSCachesController = new ECCacheModule;
    // FIXME: the remaining cleaning tools (temp files by filling, photos, music) arrive with
    // their own modules; each is added here as it lands, and its button is enabled from then on.
    return modules;
}

} // namespace ECModuleCatalog
