#pragma once

#include <cstdint>
#include <optional>
#include <string>

/// Photo and video files as phones write them, small and exact, for the readers of capture times
/// and the backups that use them. Only the structure the readers walk is real; pixels are filler.
namespace MediaSamples {

/// Seconds from the movie header's epoch (1904-01-01) to 1970-01-01.
inline constexpr std::int64_t MOVIE_EPOCH_OFFSET = 2'082'844'800;

/// A camera's TIFF block: IFD0 pointing to an EXIF IFD with DateTimeOriginal ("YYYY:MM:DD
/// HH:MM:SS") and, when given, OffsetTimeOriginal ("+HH:MM"), in either byte order.
std::string tiff(bool little, const std::string& date, const std::optional<std::string>& offset = std::nullopt);

/// A JPEG: JFIF, the EXIF APP1 segment holding `tiffBlock` when there is one, tables, image data.
std::string jpeg(const std::optional<std::string>& tiffBlock);

/// A HEIC as a phone writes it: "ftyp", "meta" listing an image item and an "Exif" item with
/// their places in "iloc" (version 0 or 1), then "mdat" holding the image (`imageBytes` long)
/// and, after it, the EXIF item: the larger the image, the further from the start the date is.
std::string heic(const std::string& tiffBlock, int ilocVersion, std::size_t imageBytes = 300);

/// A movie with its media data first and its header ("moov" with "mvhd" of `version` 0 or 1)
/// after it, as cameras write them; `brand` "qt  " for QuickTime, "mp42" for MP4. `created` is
/// in seconds since 1904 (0: not set).
std::string movie(int version, std::uint64_t created, const std::string& brand = "qt  ", std::size_t mediaBytes = 500);

} // namespace MediaSamples
