#include "modules/fill_clearing/ECFillRun.h"

#include "FakeFillPhone.h"
#include "base/Log.h"

#include <QTimeZone>

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

using namespace ECFillRules;

namespace {

/// A run over `phone` that records progress and the sizes of failed creations.
struct RecordedRun
{
    explicit RecordedRun(FakeFillPhone& phone)
        : run(phone, observer())
    {
    }

    ECFillObserver observer()
    {
        ECFillObserver o;
        o.progress = [this](float percent) { progress.push_back(percent); };
        o.creationFinished = [this](bool success, std::uint64_t size, int) {
            if (!success) {
                failedSizes.push_back(size);
            }
            if (afterCreation) {
                afterCreation();
            }
        };
        return o;
    }

    std::vector<float> progress;
    std::vector<std::uint64_t> failedSizes;
    std::function<void()> afterCreation;
    ECFillRun run;
};

}

TEST(ECFillRun, FillsThreeTimesThenClearsEveryFiller)
{
    FakeFillPhone phone(64 * 1024 * MIB, 2048 * MIB);
    RecordedRun recorded(phone);
    LogCapture log;
    const ECFillOutcome outcome = recorded.run.run();

    EXPECT_EQ(outcome.ending, ECFillEnding::Finished);
    EXPECT_EQ(log.count("Cleared some temp files we created, cleaning again now"), 2);
    EXPECT_EQ(log.count("Successfully filled phone multiple times, so just need to delete all the temp files"), 1);
    EXPECT_EQ(log.count("FREE SPACE IS 0"), 3);
    // 50 MiB files while more than 100 MiB is free, then 10 MiB, 1 MiB, 10 KiB and 1 KiB.
    const auto& sizes = phone.createdSizes;
    ASSERT_GE(sizes.size(), 60u);
    EXPECT_EQ(std::count(sizes.begin(), sizes.begin() + 39, 50 * MIB), 39);
    EXPECT_EQ(sizes[39], 10 * MIB);
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), MIB), sizes.end());
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), 10 * KIB), sizes.end());
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), KIB), sizes.end());
    EXPECT_EQ(outcome.filesWritten, int(sizes.size()));
    // Nothing purgeable: the phone ends exactly as free as it started, and says so.
    EXPECT_TRUE(phone.files.empty());
    EXPECT_TRUE(outcome.fillersCleared);
    EXPECT_EQ(phone.free, 2048 * MIB);
    EXPECT_EQ(outcome.gain().kind, ECGain::None);
    EXPECT_FALSE(outcome.wroteData);
    ASSERT_FALSE(recorded.progress.empty());
    EXPECT_GT(*std::max_element(recorded.progress.begin(), recorded.progress.end()), 95.0f);
    EXPECT_GE(*std::min_element(recorded.progress.begin(), recorded.progress.end()), 0.0f);
    EXPECT_LE(*std::max_element(recorded.progress.begin(), recorded.progress.end()), 100.0f);
    EXPECT_TRUE(log.contains("copied 50m, 1"));
}

TEST(ECFillRun, ReportsWhatThePhonePurgedAsTheGain)
{
    FakeFillPhone phone(64 * 1024 * MIB, 1024 * MIB);
    phone.purgeable = 300 * MIB;
    phone.purgeThreshold = 150 * MIB;
    phone.purgeStep = 64 * MIB;
    RecordedRun recorded(phone);
    const ECFillOutcome outcome = recorded.run.run();
    ASSERT_EQ(outcome.ending, ECFillEnding::Finished);
    EXPECT_GT(phone.purged, 0u);
    EXPECT_EQ(outcome.gain().kind, ECGain::Some);
    EXPECT_EQ(outcome.gain().bytes, phone.purged);
    EXPECT_TRUE(phone.files.empty());
}

TEST(ECFillRun, RefusalWithSpaceLeftFailsWithTheMailFigures)
{
    // Three 1 MiB fillers fit, then the phone refuses everything with 1,048,577 bytes still free.
    FakeFillPhone phone(64 * 1024 * MIB, 1'048'577 + 3 * MIB);
    phone.creationsAllowed = 3;
    RecordedRun recorded(phone);
    LogCapture log;
    const ECFillOutcome outcome = recorded.run.run();
    EXPECT_EQ(outcome.ending, ECFillEnding::Refused);
    EXPECT_EQ(outcome.filesWritten, 3);
    EXPECT_EQ(outcome.freeSpace, 1'048'577u);
    EXPECT_EQ(outcome.attemptedWriteSize, 1'048'576u);
    EXPECT_EQ(recorded.failedSizes, std::vector<std::uint64_t>(4, MIB));
    EXPECT_EQ(log.count("Failed to copy 1048576 bytes"), 4);
    EXPECT_TRUE(log.contains("FREE SPACE IS 1048577"));
    EXPECT_TRUE(phone.files.empty()) << "a failed run still deletes its fillers";
    EXPECT_EQ(outcome.gain().kind, ECGain::Unknown);
}

TEST(ECFillRun, FillersThePhoneWillNotRemoveEndTheRunAsAFailureWithTheirSize)
{
    FakeFillPhone phone(64 * 1024 * MIB, 1024 * MIB);
    phone.refusesRemovals = true;
    RecordedRun recorded(phone);
    const ECFillOutcome outcome = recorded.run.run();
    EXPECT_EQ(outcome.ending, ECFillEnding::FillersLeft);
    EXPECT_STREQ(fillEndingName(outcome.ending), "fillers-left");
    EXPECT_FALSE(outcome.fillersCleared);
    EXPECT_EQ(outcome.gain().kind, ECGain::Unknown) << "no gain is claimed";
    ASSERT_FALSE(phone.files.empty());
    std::uint64_t taken = 0;
    for (const auto& [path, bytes] : phone.files) {
        taken += bytes;
    }
    EXPECT_EQ(outcome.fillersLeft, int(phone.files.size()));
    EXPECT_EQ(outcome.bytesLeft, taken);
    EXPECT_EQ(phone.free + taken, 1024 * MIB);
    EXPECT_TRUE(
        fillersLeftMessage(outcome.fillersLeft, outcome.bytesLeft)
            .contains(QStringLiteral("would not let Torvane remove %1 of its temporary files, which still take %2")
                          .arg(outcome.fillersLeft)
                          .arg(convertBytesToString(taken))));
}

TEST(ECFillRun, NameClashCountsAsOneFailedWrite)
{
    QDateTime second(QDate(2015, 3, 12), QTime(10, 11, 12), QTimeZone::utc());
    FakeFillPhone phone(64 * 1024 * MIB, 200 * MIB);
    phone.folders.insert(FILL_FOLDER);
    // A filler of the same second and number is already there (another run made it).
    phone.files["Torvane/2015-03-12 10:11:12 +0000-7"] = 0;
    RecordedRun recorded(phone);
    recorded.run.setClock([&] { return second; });
    int call = 0;
    recorded.run.setRandomNumbers([&call] { return 7 + call++; });
    LogCapture log;
    const ECFillOutcome outcome = recorded.run.run();
    EXPECT_EQ(outcome.ending, ECFillEnding::Finished);
    ASSERT_FALSE(recorded.failedSizes.empty());
    EXPECT_EQ(recorded.failedSizes.front(), 50 * MIB) << "the clash was the first creation";
    EXPECT_EQ(log.count("Failed to copy 52428800 bytes"), 1);
    EXPECT_TRUE(phone.files.empty());
}

TEST(ECFillRun, NumbersAreNotRepeatedWithinASecond)
{
    FakeFillPhone phone(64 * 1024 * MIB, 200 * MIB);
    ECFillRun run(phone);
    QDateTime second(QDate(2015, 3, 12), QTime(10, 11, 12), QTimeZone::utc());
    run.setClock([&] { return second; });
    // A poor random source that repeats itself: the run still finds the numbers left.
    int call = 0;
    run.setRandomNumbers([&call] { return (call++ * 7) % FILLER_NUMBERS; });
    std::set<std::string> paths;
    for (int i = 0; i < FILLER_NUMBERS; ++i) {
        paths.insert(run.getNextFilePath());
    }
    EXPECT_EQ(paths.size(), std::size_t(FILLER_NUMBERS));
}

TEST(ECFillRun, ANameWaitsForTheNextSecondOnceEveryNumberIsTaken)
{
    FakeFillPhone phone(64 * 1024 * MIB, 200 * MIB);
    ECFillRun run(phone);
    const QDateTime start(QDate(2015, 3, 12), QTime(10, 11, 12, 990), QTimeZone::utc());
    int reads = 0; // late in its second: each wait for the next one is short
    // The clock moves on to the next second after a few more readings.
    run.setClock([&] { return reads++ < FILLER_NUMBERS + 3 ? start : start.addSecs(1); });
    int call = 0;
    run.setRandomNumbers([&call] { return call++ % FILLER_NUMBERS; });
    for (int i = 0; i < FILLER_NUMBERS; ++i) {
        (void)run.getNextFilePath();
    }
    EXPECT_EQ(run.getNextFilePath().rfind("Torvane/2015-03-12 10:11:13 +0000-", 0), 0u);
}

TEST(ECFillRun, PhoneGoingAwayIsAFailureAndNeverAGain)
{
    const struct
    {
        const char* when;
        std::function<bool(FakeFillPhone&)> goneNow;
    } rows[] = {
        { "at the first fill", [](FakeFillPhone& phone) { return phone.createdSizes.size() == 5; } },
        { "during a refill pass", [](FakeFillPhone& phone) { return phone.listings == 1 && phone.removals == 1; } },
        { "during the final clearing",
            [](FakeFillPhone& phone) {
                return phone.listings == 3 && phone.removals - phone.removalsBeforeListing == 3;
            } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.when);
        FakeFillPhone phone(64 * 1024 * MIB, 1024 * MIB);
        phone.beforeRequest = [&](const std::string&) {
            if (row.goneNow(phone)) {
                phone.gone = true;
            }
        };
        RecordedRun recorded(phone);
        const ECFillOutcome outcome = recorded.run.run();
        EXPECT_EQ(outcome.ending, ECFillEnding::Disconnected);
        EXPECT_EQ(outcome.gain().kind, ECGain::Unknown);
        EXPECT_FALSE(outcome.fillersCleared);
        EXPECT_FALSE(phone.files.empty()) << "left for the next attach";
        // What the next attach does: the fillers go.
        phone.gone = false;
        phone.beforeRequest = nullptr;
        EXPECT_TRUE(ECFillRun::clearTempFiles(phone).complete());
        EXPECT_TRUE(phone.files.empty());
        EXPECT_EQ(phone.free, 1024 * MIB);
    }
}

TEST(ECFillRun, WritesFillersWhenSettingTheirSizeTakesNoSpace)
{
    // An APFS-era phone: a file grown by its size is a hole, so only written bytes count.
    FakeFillPhone phone(64 * 1024 * MIB, 400 * MIB);
    phone.setSizeAllocates = false;
    phone.purgeable = 200 * MIB;
    phone.purgeThreshold = 150 * MIB;
    phone.purgeStep = 64 * MIB;
    RecordedRun recorded(phone);
    LogCapture log;
    const ECFillOutcome outcome = recorded.run.run();
    EXPECT_TRUE(log.contains("Free space did not fall after 4 files, writing their data instead"));
    EXPECT_EQ(outcome.ending, ECFillEnding::Finished);
    EXPECT_TRUE(outcome.wroteData);
    EXPECT_GE(outcome.bytesWritten, 400 * MIB);
    EXPECT_EQ(outcome.gain().bytes, phone.purged);
    EXPECT_EQ(phone.purged, 200 * MIB);
    EXPECT_TRUE(phone.files.empty());
    // Written fillers move the bar chunk by chunk.
    EXPECT_GT(recorded.progress.size(), std::size_t(outcome.filesWritten));
}

TEST(ECFillRun, GivesUpWhenEvenWritingTakesNoSpace)
{
    FakeFillPhone phone(64 * 1024 * MIB, 10 * 1024 * MIB);
    phone.setSizeAllocates = false;
    phone.writesAllocate = false;
    RecordedRun recorded(phone);
    const ECFillOutcome outcome = recorded.run.run();
    EXPECT_EQ(outcome.ending, ECFillEnding::NoProgress);
    EXPECT_LE(outcome.filesWritten, ECFillRun::STALLED_CREATIONS_LIMIT + ECFillRun::STALLED_WRITES_LIMIT + 2);
    EXPECT_TRUE(phone.files.empty());
    EXPECT_EQ(outcome.gain().kind, ECGain::Unknown);
}

TEST(ECFillRun, StopEndsAtTheNextTurnAndLeavesNoFiller)
{
    const struct
    {
        const char* mode;
        bool setSizeAllocates;
        int stopAfter;
    } rows[] = { { "creating by size", true, 5 }, { "writing", false, 6 } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode);
        FakeFillPhone phone(64 * 1024 * MIB, 2048 * MIB);
        phone.setSizeAllocates = row.setSizeAllocates;
        RecordedRun recorded(phone);
        int created = 0;
        recorded.afterCreation = [&] {
            if (++created == row.stopAfter) {
                recorded.run.stop();
            }
        };
        const ECFillOutcome outcome = recorded.run.run();
        EXPECT_EQ(outcome.ending, ECFillEnding::Stopped);
        EXPECT_EQ(created, row.stopAfter) << "no creation after the stop";
        EXPECT_EQ(recorded.progress.back(), 0.0f);
        EXPECT_TRUE(phone.files.empty());
        EXPECT_EQ(phone.free, 2048 * MIB);
    }
}

TEST(ECFillRun, StopDuringAWrittenFillerCutsItShort)
{
    FakeFillPhone phone(64 * 1024 * MIB, 2048 * MIB);
    int chunks = 0;
    ECFillRun run(phone,
        { [&](float) {
             if (++chunks == 3) {
                 run.stop();
             }
         },
            {} });
    run.setWriteData(true);
    const ECFillOutcome outcome = run.run();
    EXPECT_EQ(outcome.ending, ECFillEnding::Stopped);
    // The first progress report comes before any write; two 4 MiB chunks were written after it.
    EXPECT_EQ(outcome.bytesWritten, 2 * ECAFCFillStore::WRITE_CHUNK_SIZE);
    EXPECT_TRUE(phone.files.empty());
}

TEST(ECFillRun, FillersGoAtOnceWhereThePhoneAllowsAndOneByOneWhereItRefuses)
{
    const struct
    {
        const char* phone;
        bool emptiesAtOnce;
        int removalsAtTheEnd; // one-by-one removals in the final clearing
    } rows[] = { { "empties the folder", true, 0 }, { "refuses half way", false, -1 } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.phone);
        FakeFillPhone phone(64 * 1024 * MIB, 1024 * MIB);
        phone.emptiesAtOnce = row.emptiesAtOnce;
        const ECFillOutcome outcome = ECFillRun(phone).run();
        EXPECT_EQ(outcome.ending, ECFillEnding::Finished);
        EXPECT_TRUE(outcome.fillersCleared);
        EXPECT_TRUE(phone.files.empty());
        EXPECT_EQ(phone.free, 1024 * MIB);
        EXPECT_EQ(phone.folderEmptyings, 1);
        const int removalsAtTheEnd = phone.removals - phone.removalsBeforeListing;
        if (row.removalsAtTheEnd >= 0) {
            EXPECT_EQ(removalsAtTheEnd, row.removalsAtTheEnd);
        } else {
            // Listed again after the refusal: only what was left is removed, and none counts as kept.
            EXPECT_GT(removalsAtTheEnd, 0);
            EXPECT_EQ(outcome.fillersLeft, 0);
        }
    }
}

TEST(ECFillRun, ClearingDeletesOnlyPlainNamesInTheFillFolder)
{
    FakeFillPhone phone(64 * 1024 * MIB, 200 * MIB);
    phone.folders.insert(FILL_FOLDER);
    phone.files["Torvane/2015-03-12 10:11:12 +0000-1"] = 4096;
    // A listing that names something outside the folder is not followed.
    phone.files["Torvane/../DCIM/100APPLE/IMG_0001.JPG"] = 4096;
    const ECClearResult result = ECFillRun::clearTempFiles(phone);
    EXPECT_EQ(result.removed, 1);
    EXPECT_EQ(result.failed, 0);
    EXPECT_EQ(phone.files.size(), 1u);
    EXPECT_EQ(phone.files.count("Torvane/../DCIM/100APPLE/IMG_0001.JPG"), 1u);
}
