// torvane-cli apps and uninstall against ideviceinstaller, an independent client, on the same
// simulated phone.

#include "tests/support/SimulatorFixture.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace {

constexpr auto TOOL_BOUND = std::chrono::seconds(60);

ProcessResult ideviceinstaller(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "ideviceinstaller");
    return runProcess(arguments, TOOL_BOUND);
}

/// Bundle identifiers of torvane-cli's lines, `id<TAB>version<TAB>name`; every line must have
/// exactly those three fields.
std::set<std::string> bundleIdsOfOurs(const std::string& listing)
{
    std::set<std::string> ids;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t first = line.find('\t');
        const std::size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
        EXPECT_TRUE(second != std::string::npos && line.find('\t', second + 1) == std::string::npos) << line;
        if (second != std::string::npos) {
            ids.insert(line.substr(0, first));
        }
    }
    return ids;
}

/// Bundle identifiers of ideviceinstaller's lines, `id, "version", "name"`; header lines are
/// skipped.
std::set<std::string> bundleIdsOf(const std::string& listing)
{
    std::set<std::string> ids;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t comma = line.find(", \"");
        if (comma != std::string::npos && comma > 0 && line.find(' ') > comma) {
            ids.insert(line.substr(0, comma));
        }
    }
    return ids;
}

} // namespace

TEST(CliApps, ListAndUninstallAgreeWithIdeviceinstaller)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();

    const ProcessResult ours = runCli({ "apps" }, TOOL_BOUND);
    ASSERT_EQ(ours.exitCode, 0) << ours.err;
    const ProcessResult theirs = ideviceinstaller({ "-l" });
    ASSERT_EQ(theirs.exitCode, 0) << theirs.err;
    const std::set<std::string> listed = bundleIdsOfOurs(ours.out);
    ASSERT_GE(listed.size(), 2u) << ours.out;
    EXPECT_EQ(listed, bundleIdsOf(theirs.out)) << "torvane-cli:\n" << ours.out << "ideviceinstaller:\n" << theirs.out;

    // One app removed by each tool; both tools then list the same remaining apps.
    const std::string first = *listed.begin();
    const std::string second = *std::next(listed.begin());
    const ProcessResult removedByUs = runCli({ "uninstall", first }, TOOL_BOUND);
    EXPECT_EQ(removedByUs.exitCode, 0) << removedByUs.err;
    const ProcessResult removedByThem = ideviceinstaller({ "-U", second });
    EXPECT_EQ(removedByThem.exitCode, 0) << removedByThem.err;
    EXPECT_EQ(removedByThem.out.find("ERROR"), std::string::npos) << removedByThem.out;

    std::set<std::string> expected = listed;
    expected.erase(first);
    expected.erase(second);
    const ProcessResult oursAfter = runCli({ "apps" }, TOOL_BOUND);
    const ProcessResult theirsAfter = ideviceinstaller({ "-l" });
    ASSERT_EQ(oursAfter.exitCode, 0) << oursAfter.err;
    EXPECT_EQ(bundleIdsOfOurs(oursAfter.out), expected);
    EXPECT_EQ(bundleIdsOf(theirsAfter.out), expected);

    // An app that is already gone: the phone answers as for any uninstall, and both tools agree.
    const ProcessResult ourRepeat = runCli({ "uninstall", first }, TOOL_BOUND);
    const ProcessResult theirRepeat = ideviceinstaller({ "-U", first });
    const bool theySucceeded = theirRepeat.exitCode == 0 && theirRepeat.out.find("ERROR") == std::string::npos;
    EXPECT_EQ(ourRepeat.exitCode == 0, theySucceeded) << ourRepeat.err << theirRepeat.out;
}

TEST(CliApps, IconScreenshotAndLogLines)
{
    SimulatorFixture sim({ "demo" });
    ASSERT_TRUE(sim.start()) << sim.lastError();
    const ProcessResult listing = runCli({ "apps" }, TOOL_BOUND);
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    const std::set<std::string> listed = bundleIdsOfOurs(listing.out);
    ASSERT_FALSE(listed.empty());

    const std::filesystem::path folder = sim.statePath().parent_path();
    const auto startOf = [](const std::filesystem::path& path) {
        std::ifstream file(path, std::ios::binary);
        std::string bytes(8, '\0');
        file.read(bytes.data(), 8);
        return file ? bytes : std::string();
    };
    const std::string png = "\x89PNG\r\n\x1a\n";

    const std::filesystem::path icon = folder / "icon.png";
    const ProcessResult iconRun = runCli({ "icon", *listed.begin(), icon.string() }, TOOL_BOUND);
    ASSERT_EQ(iconRun.exitCode, 0) << iconRun.err;
    EXPECT_EQ(startOf(icon), png);
    const ProcessResult noIcon
        = runCli({ "icon", "com.example.not-installed", (folder / "none.png").string() }, TOOL_BOUND);
    EXPECT_EQ(noIcon.exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(folder / "none.png"));

    const std::filesystem::path screen = folder / "screen.img";
    const ProcessResult shot = runCli({ "screenshot", screen.string() }, TOOL_BOUND);
    ASSERT_EQ(shot.exitCode, 0) << shot.err;
    const std::string head = startOf(screen);
    EXPECT_TRUE(head == png || head.starts_with("II*") || head.starts_with("MM")) << head;

    const ProcessResult log = runCli({ "syslog", "2" }, TOOL_BOUND);
    ASSERT_EQ(log.exitCode, 0) << log.err;
    std::istringstream lines(log.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_FALSE(line.empty());
        ++count;
    }
    EXPECT_EQ(count, 2);
}
