#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

/// Reading a video's length from its movie header (the "mvhd" box inside the top-level "moov"
/// box of a QuickTime or MP4 file) without reading the media data.
namespace ICMovieHeader {

/// Reads up to `length` bytes at `offset` of the file; fewer at the end, nothing on failure.
using RangeReader = std::function<std::optional<std::string>(std::uint64_t offset, std::uint32_t length)>;

/// Seconds described by the payload of an "mvhd" box (the bytes after its 8-byte header):
/// duration ÷ timescale for version 0 and 1. Nothing for a short or unknown payload, a zero
/// timescale or the all-ones "unknown" duration.
std::optional<double> durationFromMovieHeaderPayload(std::string_view payload);

/// Walks the top-level boxes of a file of `fileSize` bytes with `read` (one small read per box
/// header, so the media data is skipped, wherever "moov" sits) and answers the movie's length
/// in seconds. Nothing when the file is not a movie or its header is damaged. Bounded: at most
/// MAX_TOP_LEVEL_BOXES reads for the walk, and "moov" is read only up to its "mvhd".
std::optional<double> movieDurationSeconds(std::uint64_t fileSize, const RangeReader& read);

inline constexpr int MAX_TOP_LEVEL_BOXES = 64;
/// How much of "moov" is read to find "mvhd" (which is, in practice, its first child).
inline constexpr std::uint32_t MOOV_PREFIX_BYTES = 4096;

} // namespace ICMovieHeader
