#include "modules/ECMessagesModule.h"

ECMessagesModule::ECMessagesModule(QObject* parent)
    : ECModule(parent)
{
    setTitleText(QStringLiteral("Messages"));
    setHintText(hintFor(0));
}

void ECMessagesModule::loadConfigView()
{
    ECModule::loadConfigView();
}

QString ECMessagesModule::buttonTitle(std::int64_t) const
{
    return QString();
}

void ECMessagesModule::setSystemVersion(float version)
{
    ECModule::setSystemVersion(version);
    setHintText(hintFor(version));
}

QString ECMessagesModule::hintFor(float version)
{
    QString hint = QStringLiteral("Photos, videos and other attachments in Messages can take a lot of space, but a "
                                  "computer cannot reach them: free that space on the device itself.");
    // "Keep Messages" came with iOS 8, the storage page's list of large attachments with iOS 11;
    // before that, conversations are deleted one by one in Messages itself. An unknown version
    // gets today's paths.
    const bool unknown = version <= 0.0f;
    if (unknown || version >= 8.0f) {
        hint += QStringLiteral("\n\nTo remove old conversations by themselves, open Settings › Messages › "
                               "Keep Messages and choose 30 Days or 1 Year.");
    } else {
        hint += QStringLiteral("\n\nTo remove a conversation, open Messages, swipe left on it and tap Delete.");
    }
    if (unknown || version >= 11.0f) {
        hint += QStringLiteral("\n\nTo pick large attachments and delete them, open Settings › General › "
                               "iPhone Storage › Messages and review large attachments.");
    } else {
        hint += QStringLiteral("\n\nTo delete an attachment, open its conversation, touch and hold the "
                               "attachment, tap More, then tap the bin.");
    }
    return hint;
}
