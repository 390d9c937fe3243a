#include "device/AMNotificationProxyMessage.h"

#include "base/PlistValue.h"

AMNotificationProxyMessage readNotificationProxyMessage(std::string_view body)
{
    AMNotificationProxyMessage out;
    const std::optional<PlistValue> message = PlistCodec::fromAny(body);
    if (!message) {
        return out;
    }
    out.command = message->stringForKey("Command");
    const PlistValue* name = message->find("Name");
    if (out.command == "RelayNotification" && name && name->isString() && !name->asString()->empty()) {
        out.kind = AMNotificationProxyMessage::Kind::Relay;
        out.name = *name->asString();
    } else if (out.command == "ProxyDeath") {
        out.kind = AMNotificationProxyMessage::Kind::ProxyDeath;
    }
    return out;
}
