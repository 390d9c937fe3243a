// Clear Temporary Files end to end: the module against torvane-simd with a phone unplugged at
// each stage of a run. A whole run and its gain are FillClearingWidgetTest's and ClearTempCliTest's
// (which also has the write fallback of an APFS-era phone).
#include "modules/fill_clearing/ECFillStore.h"
#include "modules/fill_clearing/ECForceCacheCleanModule.h"
#include "tests/device/integration/AttachedDevice.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/TestSupport.h"

#include <QLocale>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace ECFillRules;

namespace {

/// A fill store that tells a hook about every request before passing it on, so a test can pull
/// the cable at an exact point of a run.
class WatchedStore : public ECFillStore
{
public:
    WatchedStore(std::unique_ptr<ECFillStore> inner, std::function<void(const std::string&)> before)
        : m_inner(std::move(inner))
        , m_before(std::move(before))
    {
    }
    std::optional<std::uint64_t> freeBytes() override { return (m_before("free"), m_inner->freeBytes()); }
    std::optional<std::uint64_t> totalBytes() override { return (m_before("total"), m_inner->totalBytes()); }
    bool makeFolder(const std::string& path) override { return (m_before("mkdir"), m_inner->makeFolder(path)); }
    std::optional<std::vector<std::string>> folderContents(const std::string& path) override
    {
        return (m_before("list"), m_inner->folderContents(path));
    }
    bool createFakeFile(const std::string& path, std::uint64_t size) override
    {
        return (m_before("create"), m_inner->createFakeFile(path, size));
    }
    std::uint64_t writeFile(
        const std::string& path, std::uint64_t size, const std::function<bool(std::uint64_t)>& chunkWritten) override
    {
        return (m_before("write"), m_inner->writeFile(path, size, chunkWritten));
    }
    bool removeFile(const std::string& path) override { return (m_before("remove"), m_inner->removeFile(path)); }
    std::optional<std::uint64_t> fileSize(const std::string& path) override
    {
        return (m_before("size"), m_inner->fileSize(path));
    }

private:
    std::unique_ptr<ECFillStore> m_inner;
    std::function<void(const std::string&)> m_before;
};

class FillClearingSimTest : public AttachedDeviceTest
{
protected:
    explicit FillClearingSimTest(std::string profile, std::string phone)
        : AttachedDeviceTest({ std::move(profile) })
        , udid(std::move(phone))
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void SetUp() override
    {
        AttachedDeviceTest::SetUp();
        device = waitForDevice(udid);
        ASSERT_NE(device, nullptr);
        module = std::make_unique<ECForceCacheCleanModule>();
        host.button.reset(); // each test answers for itself
        module->setHost(&host);
        module->setDevice(device);
        module->loadConfigView();
        ASSERT_TRUE(settle());
    }

    void TearDown() override
    {
        module.reset();
        AttachedDeviceTest::TearDown();
    }

    bool settle()
    {
        return loop.runUntil([&] { return module->pendingWork() == 0; }, std::chrono::seconds(120));
    }

    /// Presses start and runs the loop until the run has ended; `during` is checked while it runs.
    bool runToEnd(const std::function<void()>& during = {})
    {
        module->fillDevice();
        EXPECT_EQ(module->buttonState(), ECForceCacheCleanModule::ButtonState::Cleaning);
        EXPECT_EQ(module->startButtonTitle(), QStringLiteral("Stop the Process"));
        EXPECT_FALSE(module->cancelButtonEnabled());
        return loop.runUntil(
            [&] {
                if (during) {
                    during();
                }
                return module->pendingWork() == 0 && !module->cleaningCaches();
            },
            std::chrono::seconds(240));
    }

    fs::path fillFolder() const { return sim.mediaRoot(udid) / FILL_FOLDER; }

    std::string udid;
    RecordingHost host;
    std::shared_ptr<AMDevice> device;
    std::unique_ptr<ECForceCacheCleanModule> module;
};

class DemoPhone : public FillClearingSimTest
{
protected:
    DemoPhone()
        : FillClearingSimTest("demo", SimulatorFixture::DEMO_UDID)
    {
    }
};

}

TEST_F(DemoPhone, UnpluggedMidRunFailsAndTheNextAttachRemovesTheFillers)
{
    // Counted per run: creations, listings of the fill folder, and removals since the last listing.
    struct Counts
    {
        int creations = 0;
        int listings = 0;
        int removalsSinceListing = 0;
    };
    const struct
    {
        const char* when;
        std::function<bool(const Counts&, const std::string&)> unplugNow;
    } rows[] = {
        { "at the first fill",
            [](const Counts& c, const std::string& r) { return r == "create" && c.creations == 3; } },
        { "during a refill pass",
            [](const Counts& c, const std::string& r) {
                return r == "remove" && c.listings == 1 && c.removalsSinceListing == 2;
            } },
        { "during the final clearing",
            [](const Counts& c, const std::string& r) {
                return r == "remove" && c.listings == 3 && c.removalsSinceListing == 5;
            } },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.when);
        host.alerts.clear();
        auto counts = std::make_shared<Counts>();
        auto unplugged = std::make_shared<std::atomic<bool>>(false);
        module->setStoreFactory([&, counts, unplugged](AMDevice& target) -> std::unique_ptr<ECFillStore> {
            auto inner = ECAFCFillStore::open(target);
            if (!inner) {
                return nullptr;
            }
            return std::make_unique<WatchedStore>(std::move(inner), [&, counts, unplugged](const std::string& request) {
                if (!*unplugged && row.unplugNow(*counts, request)) {
                    *unplugged = sim.detach(udid);
                }
                if (request == "create") {
                    ++counts->creations;
                } else if (request == "list") {
                    ++counts->listings;
                    counts->removalsSinceListing = 0;
                } else if (request == "remove") {
                    ++counts->removalsSinceListing;
                }
            });
        });
        ASSERT_TRUE(runToEnd());
        ASSERT_TRUE(*unplugged);
        ASSERT_TRUE(module->lastOutcome());
        EXPECT_EQ(module->lastOutcome()->ending, ECFillEnding::Disconnected);
        EXPECT_EQ(module->lastOutcome()->gain().kind, ECGain::Unknown);
        EXPECT_GT(fillerCount(fillFolder()), 0u) << "left on the phone until it is attached again";
        // Said once, in the status line, as every tool says it; the window has not yet heard of
        // the unplugging, so the phone only stopped answering.
        EXPECT_TRUE(host.alerts.empty());
        EXPECT_EQ(module->statusMessage(), phoneGoneMessage(false, true, 0, 0));
        EXPECT_TRUE(
            module->statusMessage().startsWith(QStringLiteral("The phone stopped answering: clearing stopped")));
        EXPECT_EQ(module->buttonState(), ECForceCacheCleanModule::ButtonState::Initial);

        ASSERT_TRUE(waitUntilGone(udid));
        ASSERT_TRUE(sim.attach(udid));
        device = waitForDevice(udid);
        ASSERT_NE(device, nullptr);
        module->deviceAttached(device);
        EXPECT_EQ(fillerCount(fillFolder()), 0u);
        module->setDevice(device);
    }
}
