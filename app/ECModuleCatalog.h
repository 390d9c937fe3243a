#pragma once

#include "app/ECAppDelegate.h"

/// The modules of the application, one per tool, created once for the whole run. Tools whose
/// logic does not exist yet have no module, and the home screen shows their buttons disabled.
namespace ECModuleCatalog {

ECAppDelegate::Modules createModules();

} // namespace ECModuleCatalog
