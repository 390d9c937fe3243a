#include "FillClearingProfiles.h"

#include "tests/support/TestSupport.h"

#include <fstream>
#include <memory>

namespace FillClearingProfiles {

std::string smallModernPhone()
{
    static const std::unique_ptr<TemporaryDirectory> folder = std::make_unique<TemporaryDirectory>();
    std::string path = (folder->path() / "small-modern.json").string();
    constexpr unsigned long long MIB = 1024 * 1024;
    std::ofstream out(path, std::ios::trunc);
    out << "{\n"
        << "  \"name\": \"Small Modern iPhone\",\n"
        << "  \"udid\": \"" << SMALL_MODERN_UDID << "\",\n"
        << "  \"productType\": \"iPhone15,2\",\n"
        << "  \"productVersion\": \"17.5\",\n"
        << "  \"buildVersion\": \"21F79\",\n"
        << "  \"diskCapacity\": " << 1100 * MIB << ",\n"
        << "  \"dataCapacity\": " << 1024 * MIB << ",\n"
        << "  \"usedBytes\": " << 700 * MIB << ",\n"
        << "  \"reserveBytes\": " << 50 * MIB << ",\n"
        << "  \"purgeablePoolBytes\": " << 60 * MIB << ",\n"
        << "  \"purgeThresholdBytes\": 150000000,\n"
        << "  \"purgeTargetBytes\": 200000000,\n"
        << "  \"purgeStepBytes\": " << 16 * MIB << ",\n"
        << "  \"purgeIntervalMs\": 50,\n"
        << "  \"content\": { \"userApps\": 0, \"systemApps\": 0, \"fileSharingApps\": 0, \"developerApps\": 0,"
        << " \"appsWithoutDisplayName\": 0, \"appsWithEmptyDisplayName\": 0, \"photos\": 0, \"videos\": 0,"
        << " \"songs\": 0, \"podcasts\": 0, \"stalledDownloads\": 0 }\n"
        << "}\n";
    return path;
}

} // namespace FillClearingProfiles
