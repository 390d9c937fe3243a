#include "modules/ECModule.h"

#include "ModuleFixture.h"
#include "modules/ECModuleHost.h"
#include "tests/support/TestSupport.h"

#include <QSignalSpy>

namespace {

constexpr std::int64_t GB = 1'000'000'000;

/// The base module with a selection the test sets and the fake device's free space.
class FakeModule : public ECModule
{
public:
    explicit FakeModule(FakeDevice& device)
        : m_device(device)
    {
    }
    ~FakeModule() override { stopAllWork(); }

    std::int64_t selectionSize() const override { return selection; }
    std::int64_t itemsToRemoveCount() const override { return count; }

    /// Queues work that waits at `gate`, refreshing the label when it ends, as listing code does.
    void queueWaitingWork(Gate& gate, bool onSizeQueue)
    {
        auto work = [&gate](const Operation&) { gate.pass(); };
        auto completion = [this] { runOnMainAndWait([this] { updateProgressLabel(); }); };
        if (onSizeQueue) {
            addSizeOperation(work, completion);
        } else {
            addWorkOperation(work, completion);
        }
    }
    /// A deletion as a tool would run it: under the device lock, on the work queue.
    void deleteOnQueue(std::int64_t bytes)
    {
        startDeleting();
        addWorkOperation(
            [this, bytes](const Operation&) {
                auto lock = lockDeviceForDeletion();
                m_device.free(bytes);
            },
            [this] { postToMain([this] { showFinishedDialog(); }); });
    }
    /// Queues work whose completion waits for the main thread to set `ranOnMain`.
    void queueMainThreadCompletion(Gate& gate, std::atomic<bool>& ranOnMain)
    {
        addWorkOperation([&gate](const Operation&) { gate.pass(); },
            [this, &ranOnMain] { runOnMainAndWait([&ranOnMain] { ranOnMain = true; }); });
    }
    void askHost(const ECModuleAlert& alert, std::function<void(int)> answer)
    {
        presentAlert(alert, std::move(answer));
    }

    std::int64_t selection { 0 };
    std::int64_t count { 0 };

protected:
    std::optional<std::int64_t> readFreeBytes() override { return m_device.readFreeBytes(); }

private:
    FakeDevice& m_device;
};

class ModuleBase : public MainLoopTest
{
protected:
    ModuleBase() { module->setEventSink(&sink); }
    ~ModuleBase() override { module.reset(); }

    void select(std::int64_t bytes, std::int64_t count)
    {
        module->selection = bytes;
        module->count = count;
        module->updateProgressLabel();
    }
    void runDeletion(std::int64_t freed)
    {
        module->deleteOnQueue(freed);
        ASSERT_TRUE(pumpUntil([&] { return !module->deleting(); }));
        settleReports(*module);
    }

    FakeDevice device { 40 * GB };
    RecordingEventSink sink;
    std::unique_ptr<FakeModule> module { std::make_unique<FakeModule>(device) };
};

TEST_F(ModuleBase, DeleteButtonTitleAndStateFollowTheSelection)
{
    select(0, 0);
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Clear selected"));
    EXPECT_FALSE(module->progressDisplay().deleteEnabled);
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("0 bytes selected"));
    EXPECT_EQ(module->progressDisplay().cancelTitle, QStringLiteral("Done"));

    select(12'300'000, 3);
    EXPECT_EQ(module->progressDisplay().deleteTitle, QStringLiteral("Clear 3 selected"));
    EXPECT_TRUE(module->progressDisplay().deleteEnabled);
    EXPECT_EQ(module->progressDisplay().label, QStringLiteral("12.3 MB selected"));
    EXPECT_EQ(module->bytesToDelete(), 12'300'000);
    EXPECT_EQ(module->moduleName(), QStringLiteral("NoModuleName"));
}

TEST_F(ModuleBase, ScanningWhileEitherQueueHoldsAnOperation)
{
    for (const bool onSizeQueue : { false, true }) {
        SCOPED_TRACE(onSizeQueue ? "size queue" : "work queue");
        select(0, 0);
        Gate gate;
        module->queueWaitingWork(gate, onSizeQueue);
        EXPECT_EQ(module->moduleStatus(), ECModuleStatus::Scanning);
        module->updateProgressLabel();
        EXPECT_EQ(module->progressDisplay().label, QStringLiteral("Scanning files..."));
        EXPECT_TRUE(module->progressDisplay().barIndeterminate);
        EXPECT_FALSE(module->progressDisplay().deleteEnabled);

        // A chosen item enables the button although the label still reads scanning.
        select(5'000, 1);
        EXPECT_EQ(module->progressDisplay().label, QStringLiteral("Scanning files..."));
        EXPECT_TRUE(module->progressDisplay().deleteEnabled);

        gate.open();
        // The refresh made by the operation's completion already sees the queue empty.
        ASSERT_TRUE(pumpUntil([&] { return module->progressDisplay().label == QStringLiteral("5.0 kB selected"); }));
        EXPECT_EQ(module->moduleStatus(), ECModuleStatus::Idle);
        EXPECT_FALSE(module->progressDisplay().barVisible);
    }
}

TEST_F(ModuleBase, EstimateWinsOverTheMeasuredGain)
{
    select(2'000'000, 1);
    runDeletion(5'000'000);
    ASSERT_EQ(sink.used.size(), 1u);
    EXPECT_EQ(sink.used[0].first, QStringLiteral("NoModuleName"));
    EXPECT_EQ(sink.used[0].second, 2'000'000);
    ASSERT_EQ(sink.count(QStringLiteral("ClearedSpace")), 1);
    const auto& cleared = sink.tracked.back();
    EXPECT_EQ(cleared.name, QStringLiteral("ClearedSpace"));
    EXPECT_EQ(cleared.properties.value(QStringLiteral("ModuleName")).toString(), QStringLiteral("NoModuleName"));
    EXPECT_EQ(cleared.properties.value(QStringLiteral("AmountCleared")).toLongLong(), 2'000'000);
    EXPECT_EQ(module->freeBytesBeforeDeleting(), 40 * GB);
}

TEST_F(ModuleBase, WithoutEstimateTheMeasuredGainIsReported)
{
    select(0, 1);
    runDeletion(5'000'000);
    ASSERT_EQ(sink.used.size(), 1u);
    EXPECT_EQ(sink.used[0].second, 5'000'000);
}

TEST_F(ModuleBase, NothingEstimatedAndNothingFreedReportsNothing)
{
    select(0, 1);
    runDeletion(0);
    EXPECT_TRUE(sink.used.empty());
    EXPECT_EQ(sink.count(QStringLiteral("ClearedSpace")), 0);
    // The free space was read twice, off the main thread: before and after.
    EXPECT_EQ(device.reads.load(), 2);
}

TEST_F(ModuleBase, CancelledModuleOnlyUntilTheFirstDeletion)
{
    QSignalSpy closeRequested(module.get(), &ECModule::windowCloseRequested);
    module->close();
    module->close();
    EXPECT_EQ(sink.count(QStringLiteral("CancelledModule")), 2);
    EXPECT_EQ(
        sink.tracked.front().properties.value(QStringLiteral("ModuleName")).toString(), QStringLiteral("NoModuleName"));
    EXPECT_EQ(closeRequested.count(), 2);

    select(1'000, 1);
    runDeletion(1'000);
    EXPECT_TRUE(module->userDidUseModule());
    module->close();
    module->close();
    EXPECT_EQ(sink.count(QStringLiteral("CancelledModule")), 2);
    EXPECT_EQ(closeRequested.count(), 4);
}

TEST_F(ModuleBase, ClosingWhileDeletingKeepsTheWindowAndReportsTheMeasuredGain)
{
    select(2'000'000, 2);
    module->startDeleting();
    module->updateProgressLabel();
    EXPECT_EQ(module->progressDisplay().cancelTitle, QStringLiteral("Cancel"));
    EXPECT_FALSE(module->progressDisplay().deleteEnabled);

    QSignalSpy closeRequested(module.get(), &ECModule::windowCloseRequested);
    module->close();
    EXPECT_EQ(closeRequested.count(), 0);
    EXPECT_FALSE(module->deleting());
    EXPECT_EQ(module->totalBytesToDeleteInAction(), 0);
    EXPECT_EQ(module->progressDisplay().cancelTitle, QStringLiteral("Done"));

    // What the deletion freed before it stopped is what gets reported.
    ASSERT_TRUE(pumpUntil([&] { return module->pendingMeasurements() == 0; }));
    device.free(700'000);
    module->showFinishedDialog();
    settleReports(*module);
    ASSERT_EQ(sink.used.size(), 1u);
    EXPECT_EQ(sink.used[0].second, 700'000);
}

TEST_F(ModuleBase, ReadingBeforeFailedReportsNoGain)
{
    select(0, 1);
    device.detach();
    module->startDeleting();
    ASSERT_TRUE(pumpUntil([&] { return module->pendingMeasurements() == 0; }));
    // The device answers again with its 40 GB free: none of that was cleared by the deletion.
    device.attach();
    module->showFinishedDialog();
    settleReports(*module);
    EXPECT_TRUE(sink.used.empty());
}

TEST_F(ModuleBase, AlertsWithoutAWindowAnswerAtOnce)
{
    int answer = 5;
    module->askHost(
        { QStringLiteral("Question"), QString(), { QStringLiteral("OK") } }, [&](int button) { answer = button; });
    EXPECT_EQ(answer, -1);

    struct AnsweringHost : ECModuleHost
    {
        void presentAlert(const ECModuleAlert& alert, std::function<void(int)> reply) override
        {
            asked = alert.message;
            reply(1);
        }
        void chooseFolder(const QString&, const QString&, std::function<void(std::optional<QString>)> reply) override
        {
            reply(std::nullopt);
        }
        void openUrl(const QUrl&) override { }
        QString asked;
    } host;
    module->setHost(&host);
    module->askHost({ QStringLiteral("Send Info?"), QString(), { QStringLiteral("OK"), QStringLiteral("Send Info") } },
        [&](int button) { answer = button; });
    EXPECT_EQ(host.asked, QStringLiteral("Send Info?"));
    EXPECT_EQ(answer, 1);
}

TEST_F(ModuleBase, DestroyingAModuleReleasesQueueCodeWaitingForTheMainThread)
{
    Gate gate;
    std::atomic<bool> ranOnMain { false };
    module->queueMainThreadCompletion(gate, ranOnMain);
    gate.open();
    // The completion now waits for the main thread, which does not pump: destruction must not hang.
    ASSERT_TRUE(waitUntil([&] { return module->moduleStatus() == ECModuleStatus::Idle; }));
    module.reset();
    // What it posted is dropped, never run for a destroyed module.
    loop.processPending();
    EXPECT_FALSE(ranOnMain.load());
}

}
