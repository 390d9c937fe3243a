#pragma once

#include <string>
#include <string_view>

/// One message the notification proxy sent, as its listener acts on it.
struct AMNotificationProxyMessage
{
    enum class Kind {
        /// {Command: RelayNotification, Name}: an observed notification fired; `name` is not empty.
        Relay,
        /// {Command: ProxyDeath}: the proxy's farewell after a Shutdown.
        ProxyDeath,
        /// Anything else, an unreadable body included: the proxy is going away.
        Unexpected,
    };
    Kind kind { Kind::Unexpected };
    std::string name;
    /// The "Command" string as sent; empty when there was none.
    std::string command;
};

/// Reads one frame body (XML or binary property list).
AMNotificationProxyMessage readNotificationProxyMessage(std::string_view body);
