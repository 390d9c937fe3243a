// torvane-cli clear-temp against torvane-simd: its --json figures against ideviceinfo's
// disk usage before and after, the small APFS-era phone whose fillers are written, a run
// killed mid-fill whose fillers the next run removes first, and a phone that refuses removals.

#include "tests/modules/fill_clearing/FillClearingProfiles.h"
#include "tests/support/CliPhoneTest.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::uint64_t amountDataAvailable(const std::string& udid)
{
    const ProcessResult info
        = runProcess({ "ideviceinfo", "-u", udid, "-q", "com.apple.disk_usage", "-k", "AmountDataAvailable" });
    EXPECT_EQ(info.exitCode, 0) << info.err;
    return std::stoull(info.out);
}

} // namespace

TEST(ClearTempCli, DemoPhoneGainAgreesWithDiskUsageAndThePurgedBytes)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    const std::string udid = SimulatorFixture::DEMO_UDID;
    const std::uint64_t before = amountDataAvailable(udid);
    const std::uint64_t purgeableBefore = sim.storage(udid).at("purgeable");

    const ProcessResult run = runCli({ "clear-temp", "--udid", udid, "--json" }, 240s);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::uint64_t after = amountDataAvailable(udid);
    const QJsonObject result = parseJson(run.out).object();
    EXPECT_EQ(result.value("result").toString(), QStringLiteral("finished"));
    EXPECT_EQ(result.value("freeBytesBefore").toInteger(), qint64(before));
    EXPECT_EQ(result.value("freeBytesAfter").toInteger(), qint64(after));
    EXPECT_EQ(result.value("clearedBytes").toInteger(), qint64(after - before));
    EXPECT_EQ(
        std::uint64_t(result.value("clearedBytes").toInteger()), purgeableBefore - sim.storage(udid).at("purgeable"));
    EXPECT_GT(result.value("clearedBytes").toInteger(), 0);
    EXPECT_TRUE(result.value("fillersRemoved").toBool());
    EXPECT_FALSE(result.value("wroteData").toBool()) << "a 9.3.5 phone allocates fillers made by their size";
    EXPECT_NE(run.err.find("Progress: "), std::string::npos) << "progress goes to stderr";
    EXPECT_EQ(fillerCount(sim.mediaRoot(udid) / "Torvane"), 0u);

    // Without --json: the finished message and the bytes.
    const ProcessResult again = runCli({ "clear-temp" }, 240s);
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("Cleared "), std::string::npos) << again.out;
}

TEST(ClearTempCli, ApfsPhoneHasItsFillersWrittenAndRemoved)
{
    SimulatorFixture sim({ FillClearingProfiles::smallModernPhone() });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    const std::string udid = FillClearingProfiles::SMALL_MODERN_UDID;
    const auto before = sim.storage(udid);
    const ProcessResult run = runCli({ "clear-temp", "--json" }, 240s);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonObject result = parseJson(run.out).object();
    EXPECT_TRUE(result.value("wroteData").toBool());
    const auto after = sim.storage(udid);
    EXPECT_EQ(after.at("files"), before.at("files"));
    EXPECT_EQ(result.value("clearedBytes").toInteger(), qint64(before.at("purgeable") - after.at("purgeable")));
    EXPECT_EQ(fillerCount(sim.mediaRoot(udid) / "Torvane"), 0u);
}

TEST(ClearTempCli, KilledMidFillLeavesFillersThatTheNextRunRemoves)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    const std::string udid = SimulatorFixture::DEMO_UDID;
    const fs::path folder = sim.mediaRoot(udid) / "Torvane";
    const std::uint64_t freeBefore = sim.storage(udid).at("free");

    RunningProcess run({ SimulatorFixture::cliPath(), "clear-temp" });
    const bool filling = run.waitFor([&] { return fillerCount(folder) >= 10; }, 60s);
    ASSERT_TRUE(run.kill());
    ASSERT_TRUE(filling);
    EXPECT_GE(fillerCount(folder), 10u) << "a killed run cannot clean up";
    EXPECT_LT(sim.storage(udid).at("free"), freeBefore);

    const ProcessResult next = runCli({ "clear-temp", "--json" }, 240s);
    ASSERT_EQ(next.exitCode, 0) << next.err;
    EXPECT_NE(next.err.find("temporary files left from an earlier run"), std::string::npos) << next.err;
    EXPECT_EQ(fillerCount(folder), 0u);
    // Measured from after the leftovers went: the killed run's fillers are not counted as gain.
    EXPECT_EQ(parseJson(next.out).object().value("freeBytesBefore").toInteger(), qint64(freeBefore));
}

TEST(ClearTempCli, FillersThePhoneWillNotRemoveMakeTheRunAFailureThatSaysHowMuchIsLeft)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    const std::string udid = SimulatorFixture::DEMO_UDID;
    const fs::path folder = sim.mediaRoot(udid) / "Torvane";
    const std::uint64_t freeBefore = sim.storage(udid).at("free");
    ASSERT_TRUE(sim.fault(udid, { "afc-status", "8", "10" })); // every removal: permission denied
    ASSERT_TRUE(sim.fault(udid, { "afc-status", "34", "10" })); // of a whole folder too

    const ProcessResult refused = runCli({ "clear-temp", "--json" }, 240s);
    EXPECT_EQ(refused.exitCode, 1) << refused.err;
    const QJsonObject result = parseJson(refused.out).object();
    EXPECT_EQ(result.value("result").toString(), QStringLiteral("fillers-left"));
    EXPECT_FALSE(result.value("fillersRemoved").toBool());
    EXPECT_TRUE(result.value("clearedBytes").isNull()) << "no gain is claimed";
    const std::size_t left = fillerCount(folder);
    EXPECT_GT(left, 0u);
    EXPECT_EQ(result.value("fillersLeft").toInteger(), qint64(left));
    const std::uint64_t freeLeft = sim.storage(udid).at("free");
    ASSERT_LT(freeLeft, freeBefore);
    // The fillers' own sizes: at least what the phone is missing now.
    EXPECT_GE(std::uint64_t(result.value("bytesLeft").toInteger()), freeBefore - freeLeft);
    EXPECT_NE(refused.err.find("the device refused to remove " + std::to_string(left) + " temporary files"),
        std::string::npos)
        << refused.err;
    EXPECT_NE(
        refused.err.find("run clear-temp again, or they are removed the next time it is attached"), std::string::npos)
        << refused.err;

    // As the message says: once the phone allows it, the next run removes them first.
    ASSERT_TRUE(sim.clearFaults(udid));
    const ProcessResult next = runCli({ "clear-temp" }, 240s);
    EXPECT_EQ(next.exitCode, 0) << next.err;
    EXPECT_EQ(fillerCount(folder), 0u);
    EXPECT_GE(sim.storage(udid).at("free"), freeBefore);
}
