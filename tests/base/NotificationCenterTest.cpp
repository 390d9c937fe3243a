#include "base/NotificationCenter.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

TEST(NotificationCenter, DeliversByNameAndSender)
{
    NotificationCenter center;
    int senderA = 0;
    int senderB = 0;
    std::vector<std::string> calls;
    center.addObserver(
        "changed", &senderA, [&](const std::string& name, const void* sender, const PlistDictionary& info) {
            const PlistValue* number = info.count("n") ? &info.at("n") : nullptr;
            calls.push_back(
                "a-only " + name + " " + (sender == &senderA ? "A" : "?") + " " + (number ? *number->asString() : "-"));
        });
    center.addObserver("changed", nullptr, [&](const std::string&, const void* sender, const PlistDictionary&) {
        calls.push_back(std::string("any ") + (sender == &senderA ? "A" : sender == &senderB ? "B" : "null"));
    });
    center.addObserver("other", nullptr,
        [&](const std::string&, const void*, const PlistDictionary&) { calls.emplace_back("other"); });

    center.postNotification("changed", &senderA, { { "n", "1" } });
    center.postNotification("changed", &senderB);
    center.postNotification("changed", nullptr);
    center.postNotification("unobserved", &senderA);
    EXPECT_EQ(calls, (std::vector<std::string> { "a-only changed A 1", "any A", "any B", "any null" }));
}

TEST(NotificationCenter, RemovedObserversAreNotCalled)
{
    NotificationCenter center;
    int calls = 0;
    const auto token = center.addObserver("n", nullptr, [&](auto&&...) { ++calls; });
    center.postNotification("n", nullptr);
    center.removeObserver(token);
    center.removeObserver(token); // twice, and an unknown token: harmless
    center.removeObserver(987654);
    center.postNotification("n", nullptr);
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, HandlersMayChangeObserversAndPost)
{
    NotificationCenter center;
    std::vector<std::string> calls;
    NotificationCenter::ObserverToken second = 0;
    NotificationCenter::ObserverToken self = 0;
    self = center.addObserver("n", nullptr, [&](auto&&...) {
        calls.emplace_back("first");
        center.removeObserver(self); // itself
        center.removeObserver(second); // a later one in the same post
        center.addObserver("n", nullptr, [&](auto&&...) { calls.emplace_back("added"); });
        center.postNotification("nested", nullptr);
    });
    second = center.addObserver("n", nullptr, [&](auto&&...) { calls.emplace_back("second"); });
    center.addObserver("nested", nullptr, [&](auto&&...) { calls.emplace_back("nested"); });

    center.postNotification("n", nullptr);
    // The observer added during the post is called from the next post on.
    EXPECT_EQ(calls, (std::vector<std::string> { "first", "nested" }));
    center.postNotification("n", nullptr);
    EXPECT_EQ(calls, (std::vector<std::string> { "first", "nested", "added" }));
}

TEST(NotificationCenter, PostsAndChangesFromManyThreads)
{
    NotificationCenter center;
    std::atomic<int> calls { 0 };
    center.addObserver("n", nullptr, [&](auto&&...) { ++calls; });
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const auto token = center.addObserver("n", &center, [](auto&&...) {});
                center.postNotification("n", nullptr);
                center.removeObserver(token);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(calls, 800);
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}
