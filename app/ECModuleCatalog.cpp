#include "app/ECModuleCatalog.h"

#include "modules/ECMessagesModule.h"
#include "modules/apps/ECAppModule.h"
#include "modules/download_cache/ECCacheModule.h"
#include "modules/fill_clearing/ECForceCacheCleanModule.h"
#include "modules/music/ECMusicModule.h"
#include "modules/photos/ECPhotoModule.h"
#include "views/ECModuleView.h"
#include "views/fill_clearing/ECForceCacheCleanView.h"
#include "views/music/ECMusicView.h"
#include "views/photos/ECPhotoView.h"

std::vector<ECModule*> ECModules::all() const
{
    std::vector<ECModule*> modules;
    for (ECModule* module : { appsController, cachesController, oldIOSCachesController, musicController,
             photosController, messagesController }) {
        if (module) {
            modules.push_back(module);
        }
    }
    return modules;
}

ECModule* ECModules::forButton(ECModuleButton button) const
{
    switch (button) {
    case ECModuleButton::Apps:
        return appsController;
    case ECModuleButton::Caches:
        return cachesController;
    case ECModuleButton::Photos:
        return photosController;
    case ECModuleButton::Music:
        return musicController;
    case ECModuleButton::Messages:
        return messagesController;
    }
    return nullptr;
}

ECModule* ECModules::cachesModuleFor(float version) const
{
    return double(version) >= 8.3 ? cachesController : oldIOSCachesController;
}

namespace ECModuleCatalog {

ECModules createModules()
{
    ECModules modules;
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

QWidget* createView(ECModule* module, QWidget* parent)
{
    if (!module) {
        return nullptr;
    }
    if (auto* fillClearing = qobject_cast<ECForceCacheCleanModule*>(module)) {
        return new ECForceCacheCleanView(fillClearing, parent);
    }
    if (auto* music = qobject_cast<ECMusicModule*>(module)) {
        return new ECMusicView(music, parent);
    }
    if (auto* photos = qobject_cast<ECPhotoModule*>(module)) {
        return new ECPhotoView(photos, parent);
    }
    return new ECModuleView(module, parent);
}

std::optional<QString> hoverDescription(ECModuleButton button)
{
    switch (button) {
    case ECModuleButton::Apps:
        return QStringLiteral("Pick big apps to quickly delete them from your device");
    case ECModuleButton::Caches:
        return QStringLiteral("Clear temporary files stored by apps");
    case ECModuleButton::Photos:
        return QStringLiteral("Pick photos & videos to back up to your computer");
    case ECModuleButton::Music:
        return QStringLiteral("Removes old songs from your Music app");
    case ECModuleButton::Messages:
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace ECModuleCatalog
