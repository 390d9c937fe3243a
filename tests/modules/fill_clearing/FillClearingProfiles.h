#pragma once

#include <string>

/// Simulated phones for fill runs that must be quick.
namespace FillClearingProfiles {

inline constexpr const char* SMALL_MODERN_UDID = "00008120-0F111C1EA12B3C4D";

/// An APFS-era phone (17.5) like the built-in "modern" one, with a 1 GiB data volume, about
/// 270 MiB free and a 60 MiB purgeable pool, so its fillers can be written for real in a test.
/// Written once per process; answers the JSON file's path.
std::string smallModernPhone();

} // namespace FillClearingProfiles
