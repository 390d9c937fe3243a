#pragma once

#include <QDateTime>

#include <cstddef>
#include <optional>
#include <string_view>

/// When a photo or video was taken, read from the bytes of its file: the EXIF DateTimeOriginal of
/// a JPEG or HEIC photo, or the creation time in a QuickTime or MP4 movie header ("mvhd").
///
/// The bytes come from the phone and are not trusted: every length and offset in them is checked
/// against what is at hand before it is used, nothing is allocated from them, and every walk is
/// bounded, so damaged or hostile files give nothing rather than a crash or a long search.
namespace ICCaptureTime {

/// Which part of a file told its capture time.
enum class Origin {
    Exif, // DateTimeOriginal of a JPEG or HEIC
    MovieHeader, // the creation time in "mvhd"
};

struct Reading
{
    QDateTime time;
    Origin origin { Origin::Exif };
};

/// The capture time described by `bytes` and where it was found; see captureTime().
std::optional<Reading> read(std::string_view bytes);

/// The capture time described by `bytes`, the file from its start (the whole file or as much of
/// it as is at hand; what lies beyond is not looked for). EXIF times carry the offset of
/// OffsetTimeOriginal when the file has one and are local time otherwise; movie times are UTC.
/// Nothing for another kind of file, a damaged or truncated header, or a time that is absent,
/// zero or not a real date.
std::optional<QDateTime> captureTime(std::string_view bytes);

/// The EXIF DateTimeOriginal of a TIFF structure ("II*\0" or "MM\0*" and what follows).
std::optional<QDateTime> captureTimeFromTiff(std::string_view tiff);

/// How many boxes, segments or directory entries a walk looks at before it gives up.
inline constexpr int MAX_STEPS = 256;

} // namespace ICCaptureTime
