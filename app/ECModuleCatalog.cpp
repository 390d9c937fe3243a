#include "app/ECModuleCatalog.h"

#include "modules/ECMessagesModule.h"
#include "modules/apps/ECAppModule.h"
#include "modules/download_cache/ECCacheModule.h"
#include "modules/fill_clearing/ECForceCacheCleanModule.h"
#include "modules/music/ECMusicModule.h"

namespace ECModuleCatalog {

ECAppDelegate::Modules createModules()
{
    ECAppDelegate::Modules modules;
    modules.messagesController = new ECMessagesModule;
    modules.appsController = new ECAppModule;
    // Temp Files on phones below 8.3.
    modules.oldIOSCachesController = new ECCacheModule;
    auto* fillClearing = new ECForceCacheCleanModule;
    fillClearing->setSupportAddress(QStringLiteral(TORVANE_SUPPORT_ADDRESS));
    modules.cachesController = fillClearing;
    modules.musicController = new ECMusicModule;
    // FIXME: the remaining cleaning tool (photos) arrives with
    // their own modules; each is added here as it lands, and its button is enabled from then on.
    return modules;
}

} // namespace ECModuleCatalog
