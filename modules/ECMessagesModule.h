#pragma once

#include "modules/ECModule.h"

/// The messages tool. A computer cannot reach the attachments that Messages keeps on a phone,
/// so the module removes nothing: its window tells the user where on the phone itself that
/// space is freed, in the words of the phone's system version.
class ECMessagesModule : public ECModule
{
    Q_OBJECT

public:
    explicit ECMessagesModule(QObject* parent = nullptr);

    void loadConfigView() override;
    bool offersDeletion() const override { return false; }
    QString buttonTitle(std::int64_t count) const override;

    /// The hints follow the phone's system version.
    void setSystemVersion(float version) override;
    /// The hint for a system version: the Settings paths that phone has.
    static QString hintFor(float version);
};
