#pragma once

#include <QString>

#include <optional>
#include <vector>

class ECModule;
class QWidget;

/// The buttons of the home screen's row, one per tool; the temporary-files button stands for two
/// modules, chosen by the phone's system version.
enum class ECModuleButton {
    Apps,
    Caches,
    Photos,
    Music,
    Messages,
};
inline constexpr int EC_MODULE_BUTTON_COUNT = 5;

/// The modules, one per tool; a tool whose module does not exist yet is null and its button stays
/// disabled. Not owned here: the controller owns them for the whole run.
struct ECModules
{
    ECModule* appsController { nullptr };
    ECModule* cachesController { nullptr };
    ECModule* oldIOSCachesController { nullptr };
    ECModule* musicController { nullptr };
    ECModule* photosController { nullptr };
    ECModule* messagesController { nullptr };

    /// Every module that exists, in one fixed order: whatever is done to all of them goes
    /// through this list.
    std::vector<ECModule*> all() const;
    /// The module behind `button`; for the temporary-files button, the one for 8.3 and later.
    ECModule* forButton(ECModuleButton button) const;
    /// The temporary-files tool for a system version: clearing by filling from 8.3 on, the
    /// download-cache tool below.
    ECModule* cachesModuleFor(float version) const;
};

/// The tools of the application and what the home screen says about them.
namespace ECModuleCatalog {

/// The modules, created once for the whole run; tools without logic yet have none.
ECModules createModules();

/// The window content for `module`, made afresh each time its window opens: the tool's own view
/// where it has one, the shared module view otherwise; null without a module. The caller owns it.
QWidget* createView(ECModule* module, QWidget* parent);

/// The help line under the row while the pointer is on `button`; nothing for a button that
/// leaves the line as it is.
std::optional<QString> hoverDescription(ECModuleButton button);

} // namespace ECModuleCatalog
