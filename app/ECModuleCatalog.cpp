#include "app/ECModuleCatalog.h"

#include "modules/ECMessagesModule.h"
#include "modules/apps/ECAppModule.h"
#include "modules/download_cache/ECCacheModule.h"
#include "modules/fill_clearing/ECForceCacheCleanModule.h"
#include "modules/music/ECMusicModule.h"
#include "modules/photos/ECPhotoModule.h"

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
    modules.photosController = new ECPhotoModule;
    modules.musicController = new ECMusicModule;
    return modules;
}

} // namespace ECModuleCatalog
