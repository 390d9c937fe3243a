#pragma once

struct SimServiceContext;

/// Handlers of the device services beyond AFC, registered in ServiceCatalog.cpp. Each runs on the
/// service connection's own thread until the host closes or the conversation ends.
void runInstallationProxy(SimServiceContext& context); // com.apple.mobile.installation_proxy
void runHouseArrest(SimServiceContext& context); // com.apple.mobile.house_arrest
void runSpringBoardServices(SimServiceContext& context); // com.apple.springboardservices
void runNotificationProxy(SimServiceContext& context); // com.apple.mobile.notification_proxy
void runSyslogRelay(SimServiceContext& context); // com.apple.syslog_relay
void runFileRelay(SimServiceContext& context); // com.apple.mobile.file_relay
void runScreenshotr(SimServiceContext& context); // com.apple.mobile.screenshotr
void runMobileSync(SimServiceContext& context); // com.apple.mobilesync
