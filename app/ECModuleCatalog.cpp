#include "app/ECModuleCatalog.h"

namespace ECModuleCatalog {

ECAppDelegate::Modules createModules()
{
    ECAppDelegate::Modules modules;
    // FIXME: the cleaning tools (apps, temp files, download caches, photos, music, messages)
    // arrive with their own modules; each is added here as it lands.
    return modules;
}

} // namespace ECModuleCatalog
