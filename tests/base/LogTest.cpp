#include "base/Log.h"

#include "tests/base/CommaLocale.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

TEST(Log, CaptureGetsExactFormattedLines)
{
    LogCapture capture;
    logLine(LOG_DEVICE, "%s failed: %x", "AFCRemovePath", 0x2a);
    logLine(LOG_DB, "Deleted %d of %llu items\n", 3, 5000000000ull);
    logText(LOG_BASE, "plain text with %s left alone");
    logLine(LOG_BASE, "%s", "");
    EXPECT_EQ(capture.lines(),
        (std::vector<std::string> {
            "AFCRemovePath failed: 2a", "Deleted 3 of 5000000000 items", "plain text with %s left alone", "" }));
    EXPECT_TRUE(capture.contains("AFCRemovePath failed: 2a"));
    EXPECT_EQ(capture.count(""), 1);
    capture.clear();
    EXPECT_TRUE(capture.lines().empty());
}

TEST(Log, InnermostCaptureReceivesLines)
{
    LogCapture outer;
    logLine(LOG_BASE, "one");
    {
        LogCapture inner;
        logLine(LOG_BASE, "two");
        EXPECT_EQ(inner.lines(), std::vector<std::string> { "two" });
    }
    logLine(LOG_BASE, "three");
    EXPECT_EQ(outer.lines(), (std::vector<std::string> { "one", "three" }));

    // Ending the outer capture first leaves the inner one receiving, and nothing dangling.
    auto first = std::make_unique<LogCapture>();
    auto second = std::make_unique<LogCapture>();
    first.reset();
    logLine(LOG_BASE, "four");
    EXPECT_EQ(second->lines(), std::vector<std::string> { "four" });
    second.reset();
    logLine(LOG_BASE, "five");
    EXPECT_EQ(outer.lines(), (std::vector<std::string> { "one", "three", "five" }));
}

TEST(Log, LinesFromManyThreadsStayWhole)
{
    LogCapture capture;
    constexpr int THREADS = 4;
    constexpr int LINES = 250;
    std::vector<std::thread> threads;
    threads.reserve(THREADS);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < LINES; ++i) {
                logLine(LOG_BASE, "thread %d line %d", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(capture.lines().size(), std::size_t(THREADS * LINES));
    for (int t = 0; t < THREADS; ++t) {
        EXPECT_EQ(capture.count("thread " + std::to_string(t) + " line " + std::to_string(LINES - 1)), 1);
    }
}

TEST(Log, StderrEchoCarriesTheCategoryAndCanBeTurnedOff)
{
    testing::internal::CaptureStderr();
    logLine(LOG_SIM, "echoed %d", 1);
    setLogToStderr(false);
    logLine(LOG_SIM, "silent");
    setLogToStderr(true);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "torvane.sim: echoed 1\n");
}

TEST(Log, StringWithFormatHandlesLongResults)
{
    const std::string longText(5000, 'x');
    EXPECT_EQ(stringWithFormat("<%s>", longText.c_str()), "<" + longText + ">");
    EXPECT_EQ(stringWithFormat("%d-%s %.1f", 7, "ok", 2.5), "7-ok 2.5");
}

TEST(Log, NumbersIgnoreTheProcessLocale)
{
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    if (!switchToCommaLocale()) {
        GTEST_SKIP() << "no locale with a decimal comma is available";
    }
    LogCapture capture;
    logLine(LOG_BASE, "%.1f MB", 2.5);
    const std::string formatted = stringWithFormat("%.2f", 0.25);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(capture.lines(), std::vector<std::string> { "2.5 MB" });
    EXPECT_EQ(formatted, "0.25");
}
