#include "app/KVDataLogger.h"

#include "platform/event_store.h"
#include "tests/support/TestSupport.h"

#include <fstream>

#include <gtest/gtest.h>

namespace {

std::string storePath(const TemporaryDirectory& folder)
{
    return (folder.path() / "events.sqlite").string();
}

TEST(KVDataLogger, UsedModuleIsStoredWithItsFields)
{
    TemporaryDirectory folder;
    EventStore store(storePath(folder));
    KVDataLogger logger(store);
    logger.logEvent(QStringLiteral("testEvent"), {});
    logger.logUsedModule(QStringLiteral("UninstallApps"), 5'000'000'000LL);

    const auto events = store.storedEvents();
    ASSERT_EQ(events.size(), 2u);
    const std::optional<std::string> user = store.anonymousUserId();
    ASSERT_TRUE(user);

    EXPECT_EQ(events[0].eventClass, "KVEvent");
    EXPECT_EQ(events[0].name, "testEvent");
    // An empty dictionary stores only the event's name and the user.
    EXPECT_EQ(events[0].fields.size(), 2u);
    EXPECT_EQ(events[0].fields.at("event"), PlistValue("testEvent"));
    EXPECT_EQ(events[0].fields.at("User"), PlistValue(*user));

    EXPECT_EQ(events[1].eventClass, "KVEvent");
    EXPECT_EQ(events[1].name, "UsedModule");
    EXPECT_EQ(events[1].fields.at("module"), PlistValue("UninstallApps"));
    // Sizes over 4 GiB keep every byte.
    EXPECT_EQ(events[1].fields.at("space").toInt64(), 5'000'000'000LL);
    EXPECT_EQ(events[1].user, *user);
}

TEST(KVDataLogger, EventNameReplacesADictionaryEntryOfTheSameKey)
{
    TemporaryDirectory folder;
    EventStore store(storePath(folder));
    KVDataLogger logger(store);
    logger.logEvent(QStringLiteral("UsedModule"),
        { { QStringLiteral("event"), QStringLiteral("spoofed") }, { QStringLiteral("User"), QStringLiteral("someone") },
            { QStringLiteral("module"), QStringLiteral("Music") }, { QStringLiteral("space"), qint64(42) },
            { QStringLiteral("finished"), true } });
    const auto events = store.storedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].fields.at("event"), PlistValue("UsedModule"));
    EXPECT_EQ(events[0].fields.at("User"), PlistValue(*store.anonymousUserId()));
    EXPECT_EQ(events[0].fields.at("module"), PlistValue("Music"));
    EXPECT_EQ(events[0].fields.at("space").toInt64(), 42);
    EXPECT_EQ(events[0].fields.at("finished").toBool(), true);
}

TEST(KVDataLogger, ModuleAnalyticsAreStoredAsAnalyticsEvents)
{
    TemporaryDirectory folder;
    EventStore store(storePath(folder));
    KVDataLogger logger(store);
    ECModuleEventSink& sink = logger;
    sink.trackEvent(QStringLiteral("ClearedSpace"),
        { { QStringLiteral("ModuleName"), QStringLiteral("Photos") },
            { QStringLiteral("AmountCleared"), qint64(2'000'000) } });
    sink.trackEvent(
        QStringLiteral("CancelledModule"), { { QStringLiteral("ModuleName"), QStringLiteral("NoModuleName") } });
    const auto events = store.storedEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].eventClass, "AnalyticsEvent");
    EXPECT_EQ(events[0].name, "ClearedSpace");
    EXPECT_EQ(events[0].fields.at("ModuleName"), PlistValue("Photos"));
    EXPECT_EQ(events[0].fields.at("AmountCleared").toInt64(), 2'000'000);
    EXPECT_EQ(events[1].name, "CancelledModule");
    EXPECT_EQ(events[1].fields.at("ModuleName"), PlistValue("NoModuleName"));
}

TEST(KVDataLogger, AnUnwritableStoreNeverFailsTheCaller)
{
    TemporaryDirectory folder;
    // A plain file where the database's folder should be: nothing can be opened there.
    const auto blocker = folder.path() / "blocked";
    {
        std::ofstream(blocker) << "x";
    }
    EventStore store((blocker / "events.sqlite").string());
    KVDataLogger logger(store);
    logger.logEvent(QStringLiteral("testEvent"), {});
    logger.logUsedModule(QStringLiteral("Music"), 1);
    store.waitUntilIdle();
    EXPECT_TRUE(store.storedEvents().empty());
}

} // namespace
