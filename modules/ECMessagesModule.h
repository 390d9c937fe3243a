#pragma once

#include "modules/ECModule.h"

/// The messages tool: a module with nothing of its own yet; showing it only starts the base.
class ECMessagesModule : public ECModule
{
    Q_OBJECT

public:
    using ECModule::ECModule;

    void loadConfigView() override;
};
