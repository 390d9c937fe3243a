// torvane-cli apps and uninstall against ideviceinstaller, an independent client, on the same
// simulated phone.

#include "tests/support/SimulatorFixture.h"

#include <cstdlib>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace {

constexpr auto TOOL_BOUND = std::chrono::seconds(60);

ProcessResult torvaneCli(std::vector<std::string> arguments)
{
    const char* build = std::getenv("TORVANE_BUILD_DIR");
    arguments.insert(arguments.begin(), std::string(build ? build : ".") + "/cli/torvane-cli");
    return runProcess(arguments, TOOL_BOUND);
}

ProcessResult ideviceinstaller(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "ideviceinstaller");
    return runProcess(arguments, TOOL_BOUND);
}

/// Bundle identifiers of lines shaped `id, "version", "name"`; header lines are skipped.
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

    const ProcessResult ours = torvaneCli({ "apps" });
    ASSERT_EQ(ours.exitCode, 0) << ours.err;
    const ProcessResult theirs = ideviceinstaller({ "-l" });
    ASSERT_EQ(theirs.exitCode, 0) << theirs.err;
    const std::set<std::string> listed = bundleIdsOf(ours.out);
    ASSERT_GE(listed.size(), 2u) << ours.out;
    EXPECT_EQ(listed, bundleIdsOf(theirs.out)) << "torvane-cli:\n" << ours.out << "ideviceinstaller:\n" << theirs.out;

    // One app removed by each tool; both tools then list the same remaining apps.
    const std::string first = *listed.begin();
    const std::string second = *std::next(listed.begin());
    const ProcessResult removedByUs = torvaneCli({ "uninstall", first });
    EXPECT_EQ(removedByUs.exitCode, 0) << removedByUs.err;
    const ProcessResult removedByThem = ideviceinstaller({ "-U", second });
    EXPECT_EQ(removedByThem.exitCode, 0) << removedByThem.err;
    EXPECT_EQ(removedByThem.out.find("ERROR"), std::string::npos) << removedByThem.out;

    std::set<std::string> expected = listed;
    expected.erase(first);
    expected.erase(second);
    const ProcessResult oursAfter = torvaneCli({ "apps" });
    const ProcessResult theirsAfter = ideviceinstaller({ "-l" });
    ASSERT_EQ(oursAfter.exitCode, 0) << oursAfter.err;
    EXPECT_EQ(bundleIdsOf(oursAfter.out), expected);
    EXPECT_EQ(bundleIdsOf(theirsAfter.out), expected);

    // An app that is already gone: the phone answers as for any uninstall, and both tools agree.
    const ProcessResult ourRepeat = torvaneCli({ "uninstall", first });
    const ProcessResult theirRepeat = ideviceinstaller({ "-U", first });
    const bool theySucceeded = theirRepeat.exitCode == 0 && theirRepeat.out.find("ERROR") == std::string::npos;
    EXPECT_EQ(ourRepeat.exitCode == 0, theySucceeded) << ourRepeat.err << theirRepeat.out;
}
