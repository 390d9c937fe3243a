// torvane-cli check against every built-in phone: it reports what the phone is and can do, and
// leaves the phone exactly as it was (every file, the storage model, the trusted computers).

#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

/// Everything the simulator keeps about a phone: each path under its folder with its size and
/// modification time, and the storage model's figures.
std::string phoneState(const SimulatorFixture& sim, const std::string& udid)
{
    std::ostringstream state;
    const fs::path folder = sim.statePath() / "devices" / udid;
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        std::ostringstream entry;
        if (it->is_regular_file()) {
            entry << it->file_size() << " " << it->last_write_time().time_since_epoch().count();
        } else {
            entry << (it->is_directory() ? "dir" : "other");
        }
        entries[fs::relative(it->path(), folder).string()] = entry.str();
    }
    for (const auto& [path, entry] : entries) {
        state << path << " " << entry << "\n";
    }
    for (const auto& [name, figure] : sim.storage(udid)) {
        state << name << "=" << figure << "\n";
    }
    return state.str();
}

/// The camera roll's files as the phone's folder holds them.
std::size_t cameraRoll(const SimulatorFixture& sim, const std::string& udid)
{
    std::size_t count = 0;
    for (const auto& folder : fs::directory_iterator(sim.mediaRoot(udid) / "DCIM")) {
        if (!folder.is_directory()) {
            continue;
        }
        for (const auto& file : fs::directory_iterator(folder.path())) {
            count += file.path().filename().string().front() != '.' ? 1 : 0;
        }
    }
    return count;
}

std::map<std::string, std::string> findings(const std::string& text)
{
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (const auto colon = line.find(": "); colon != std::string::npos) {
            out[line.substr(0, colon)] = line.substr(colon + 2);
        }
    }
    return out;
}

} // namespace

TEST(CheckCommand, ReportsEveryBuiltInPhoneAndChangesNothing)
{
    const struct
    {
        const char* profile;
        std::string udid;
        const char* system;
        const char* tempFiles; // how Temp Files would clear it
        bool everyContainer; // below 8.3 every app's container opens
    } rows[] = {
        { "demo", SimulatorFixture::DEMO_UDID, "iPhone OS 9.3.5", "by filling", false },
        { "modern", SimulatorFixture::MODERN_UDID, "iPhone OS 17.5", "by filling", false },
        { "legacy", SimulatorFixture::LEGACY_UDID, "iPhone OS 8.2", "by clearing the apps' cache folders", true },
        { "crowded", "c20dedc20dedc20dedc20dedc20dedc20ded0200", "iPhone OS 9.3.5", "by filling", false },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.profile);
        SimulatorFixture sim({ row.profile });
        ASSERT_TRUE(sim.start()) << sim.lastError();
        // The only phone: a phone that does not trust this computer is listed without its UDID.
        const std::vector<std::string> check { SimulatorFixture::cliPath(), "check" };

        // Not paired: the check says so, and does not pair.
        const std::string untouched = phoneState(sim, row.udid);
        const ProcessResult unpaired = runProcess(check, 90s);
        EXPECT_NE(unpaired.exitCode, 0);
        EXPECT_EQ(findings(unpaired.out)["System"].rfind(row.system, 0), 0U) << unpaired.out << unpaired.err;
        EXPECT_EQ(findings(unpaired.out)["UDID"], row.udid);
        EXPECT_EQ(findings(unpaired.out)["Pairing"].rfind("not paired", 0), 0U) << unpaired.out;
        EXPECT_EQ(phoneState(sim, row.udid), untouched);

        // Paired by another command, the check reads everything and still changes nothing.
        ASSERT_EQ(runProcess({ SimulatorFixture::cliPath(), "info", "--udid", row.udid }, 90s).exitCode, 0);
        const std::string before = phoneState(sim, row.udid);
        const ProcessResult paired = runProcess(check, 120s);
        EXPECT_EQ(paired.exitCode, 0) << paired.err;
        const auto found = findings(paired.out);
        EXPECT_EQ(found.at("System").rfind(row.system, 0), 0U);
        EXPECT_EQ(found.at("Pairing"), "trusted (pairing protocol 2)");
        EXPECT_NE(found.at("Service TLS").find("com.apple.mobile.installation_proxy"), std::string::npos);
        EXPECT_EQ(found.at("Services started").find("com.apple.afc"), 0U);
        unsigned readable = 0;
        unsigned tried = 0;
        ASSERT_EQ(std::sscanf(found.at("App containers").c_str(), "%u of %u", &readable, &tried), 2);
        EXPECT_GT(tried, 0U);
        EXPECT_EQ(readable == tried, row.everyContainer) << found.at("App containers");
        EXPECT_EQ(found.at("Media library"), "readable (SQLite)");
        EXPECT_EQ(found.at("Camera roll"), std::to_string(cameraRoll(sim, row.udid)) + " files");
        EXPECT_EQ(found.at("Free space").rfind(std::to_string(sim.storage(row.udid).at("free")) + " bytes", 0), 0U)
            << found.at("Free space");
        EXPECT_EQ(found.at("Temp Files").rfind(row.tempFiles, 0), 0U) << found.at("Temp Files");
        EXPECT_EQ(phoneState(sim, row.udid), before);
    }
}
