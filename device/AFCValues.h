#pragma once

#include "base/PlistValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Conversions shared by the AFC connection and its tree operations: how the device's text pairs
// become values, how device times become dates, how paths are joined and how scans combine.

/// A pair value as the device sent it: a value made only of the digits 0–9 (the empty value
/// included) becomes a signed 64-bit number; anything else (a sign, a point, a letter, or digits
/// too many for 64 bits) stays text.
PlistValue afcPairValue(const std::string& text);

/// The date `nanoseconds` after 1970-01-01 UTC, truncated toward zero to whole seconds.
PlistDate afcDateFromNanoseconds(std::int64_t nanoseconds);

/// 1 January 1970 00:00:00 UTC, the date of a scan that found no dates.
inline PlistDate afcEpoch()
{
    return PlistDate {};
}

/// `directory` joined with `name` as a path component: exactly one "/" between them.
std::string afcJoinPath(std::string_view directory, std::string_view name);

/// The last component of a path ("b" for "/a/b/"), or the path itself when it has none.
std::string afcLastPathComponent(std::string_view path);

/// `path` with empty and "." components dropped and ".." applied, always absolute, without a
/// trailing "/": "/DCIM/.." and "//" give "/", "a/./b/" gives "/a/b". A ".." above the top stays
/// at the top, as the device resolves it. Nothing for an empty path.
std::optional<std::string> afcNormalizePath(std::string_view path);

/// True when `path` names the top of the file area once normalised ("/", "//", "/a/..", ".").
bool afcIsRootPath(std::string_view path);
