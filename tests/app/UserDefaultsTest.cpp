#include "platform/UserDefaults.h"

#include "tests/support/TestSupport.h"

#include <QFile>
#include <QSettings>

#include <gtest/gtest.h>

namespace {

QString settingsPath(const TemporaryDirectory& folder)
{
    return QString::fromStdString((folder.path() / "Torvane.conf").string());
}

TEST(UserDefaults, RegisteredDefaultsNeverReplaceStoredValues)
{
    TemporaryDirectory folder;
    {
        UserDefaults defaults(settingsPath(folder));
        defaults.setBool(QStringLiteral("userDidSetEmail"), true);
        defaults.setString(QStringLiteral("usersEmail"), QStringLiteral("jane@example.org"));
        defaults.setInteger(QStringLiteral("canContactUser"), 1);
        ASSERT_TRUE(defaults.synchronize());
    }
    UserDefaults defaults(settingsPath(folder));
    defaults.registerDefaults({
        { QStringLiteral("didShowEmailSheet"), 1 },
        { QStringLiteral("userDidSetEmail"), false },
        { QStringLiteral("usersEmail"), QString() },
        { QStringLiteral("canContactUser"), 0 },
        { QStringLiteral("successfullySubmittedEmail"), false },
    });
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("userDidSetEmail")));
    EXPECT_EQ(defaults.stringForKey(QStringLiteral("usersEmail")), QStringLiteral("jane@example.org"));
    EXPECT_EQ(defaults.integerForKey(QStringLiteral("canContactUser")), 1);
    // Keys without a stored value answer their registered default...
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("didShowEmailSheet")));
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("successfullySubmittedEmail")));
    // ...which is never written to disk.
    ASSERT_TRUE(defaults.synchronize());
    QSettings file(settingsPath(folder), QSettings::IniFormat);
    EXPECT_FALSE(file.contains(QStringLiteral("didShowEmailSheet")));
    EXPECT_FALSE(defaults.hasStoredValueForKey(QStringLiteral("successfullySubmittedEmail")));
}

TEST(UserDefaults, UnknownKeysReadAsFalseZeroAndEmpty)
{
    TemporaryDirectory folder;
    UserDefaults defaults(settingsPath(folder));
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("hasRunAppOnceKey")));
    EXPECT_EQ(defaults.integerForKey(QStringLiteral("hasRunAppOnceKey")), 0);
    EXPECT_TRUE(defaults.stringForKey(QStringLiteral("usersEmail")).isEmpty());
    EXPECT_FALSE(defaults.objectForKey(QStringLiteral("usersEmail")).isValid());
}

TEST(UserDefaults, TypedValuesSurviveTheFile)
{
    TemporaryDirectory folder;
    {
        UserDefaults defaults(settingsPath(folder));
        defaults.setBool(QStringLiteral("hasRunAppOnceKey"), true);
        defaults.setBool(QStringLiteral("didShowBackupReminder"), false);
        defaults.setInteger(QStringLiteral("big"), 5'000'000'000LL);
        defaults.setString(QStringLiteral("name"), QStringLiteral("Jänes iPhone"));
        ASSERT_TRUE(defaults.synchronize());
    }
    UserDefaults reread(settingsPath(folder));
    EXPECT_TRUE(reread.boolForKey(QStringLiteral("hasRunAppOnceKey")));
    EXPECT_FALSE(reread.boolForKey(QStringLiteral("didShowBackupReminder")));
    EXPECT_TRUE(reread.hasStoredValueForKey(QStringLiteral("didShowBackupReminder")));
    EXPECT_EQ(reread.integerForKey(QStringLiteral("big")), 5'000'000'000LL);
    EXPECT_EQ(reread.stringForKey(QStringLiteral("name")), QStringLiteral("Jänes iPhone"));
}

TEST(UserDefaults, SynchronizeWritesAtOnce)
{
    TemporaryDirectory folder;
    UserDefaults defaults(settingsPath(folder));
    defaults.setBool(QStringLiteral("didShowBackupReminder"), true);
    ASSERT_TRUE(defaults.synchronize());
    // Another reader sees the value while the store is still open.
    QSettings other(settingsPath(folder), QSettings::IniFormat);
    EXPECT_TRUE(other.value(QStringLiteral("didShowBackupReminder")).toBool());
}

TEST(UserDefaults, UnwritableFileIsReportedNotFatal)
{
    TemporaryDirectory folder;
    // A folder where the file should be makes every write fail.
    const QString path = settingsPath(folder);
    std::filesystem::create_directories(path.toStdString());
    UserDefaults defaults(path);
    defaults.setBool(QStringLiteral("hasRunAppOnceKey"), true);
    EXPECT_FALSE(defaults.synchronize());
    // The value still reads back for the rest of the run.
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("hasRunAppOnceKey")));
}

} // namespace
