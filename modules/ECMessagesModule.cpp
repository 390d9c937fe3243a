#include "modules/ECMessagesModule.h"

ECMessagesModule::ECMessagesModule(QObject* parent)
    : ECModule(parent)
{
    setTitleText(QStringLiteral("Messages"));
    setHintText(QStringLiteral(
        "Photos, videos and other attachments in Messages can take a lot of space, but a computer cannot reach "
        "them: free that space on the device itself.\n\n"
        "To remove old conversations by themselves, open Settings › Messages › Keep Messages and choose "
        "30 Days or 1 Year.\n\n"
        "To pick large attachments and delete them, open Settings › General › iPhone Storage › Messages "
        "and review large attachments."));
}

void ECMessagesModule::loadConfigView()
{
    ECModule::loadConfigView();
}
