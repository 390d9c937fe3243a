#pragma once

#include "modules/ECModule.h"

/// The messages tool. A computer cannot reach the attachments that Messages keeps on a phone,
/// so the module removes nothing: its window tells the user where on the phone itself that
/// space is freed.
class ECMessagesModule : public ECModule
{
    Q_OBJECT

public:
    explicit ECMessagesModule(QObject* parent = nullptr);

    void loadConfigView() override;
};
