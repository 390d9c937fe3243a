#pragma once

#include <QString>

/// The preference keys of the application, by their long-standing names.
namespace ECUserDefaultsKeys {

inline const QString HAS_RUN_APP_ONCE = QStringLiteral("hasRunAppOnceKey");
inline const QString DID_SHOW_BACKUP_REMINDER = QStringLiteral("didShowBackupReminder");
inline const QString DID_SHOW_EMAIL_SHEET = QStringLiteral("didShowEmailSheet");
inline const QString USER_DID_SET_EMAIL = QStringLiteral("userDidSetEmail");
inline const QString USERS_EMAIL = QStringLiteral("usersEmail");
inline const QString CAN_CONTACT_USER = QStringLiteral("canContactUser");
inline const QString SUCCESSFULLY_SUBMITTED_EMAIL = QStringLiteral("successfullySubmittedEmail");
/// The web site the help pages live on; not set by default (the built-in address is used).
inline const QString PRODUCT_SITE = QStringLiteral("productSite");

} // namespace ECUserDefaultsKeys
