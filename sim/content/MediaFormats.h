#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// Byte layouts of the media files the generator writes. Pure functions over bytes.
namespace MediaFormats {

/// Seconds between 1904-01-01 (QuickTime's epoch) and 1970-01-01.
inline constexpr std::int64_t QUICKTIME_EPOCH_OFFSET = 2'082'844'800;

/// Inserts an Exif APP1 segment (Make, Model, DateTimeOriginal as "YYYY:MM:DD HH:MM:SS", the
/// camera's local time) right after the JFIF header of `jpeg`. Gives `jpeg` unchanged when it
/// does not start with SOI.
std::string jpegWithExif(std::string_view jpeg, std::string_view dateTimeOriginal, std::string_view model);

/// A movie split into the bytes before its media data and the bytes after it, so that the media
/// data between can be a hole of any size. Layout: ftyp, wide, mdat (header only) | moov.
struct MovieBytes
{
    std::string head;
    std::string tail;
    std::int64_t totalSize = 0;
};

struct MovieLayout
{
    std::string_view majorBrand = "qt  "; // "qt  " for .MOV, "mp42" for .MP4, "M4A " for audio
    /// mvhd version 1 writes 64-bit times and duration.
    int headerVersion = 0;
    std::uint32_t timescale = 600;
    std::uint64_t duration = 0; // in timescale units
    std::int64_t creationTime = 0; // seconds since 1970 (UTC)
    /// ISO-8601 with offset, written as the com.apple.quicktime.creationdate metadata item.
    std::string_view creationDateText;
    bool audioOnly = false;
    std::int64_t mediaBytes = 0; // size of the mdat payload
    int width = 1920;
    int height = 1080;
};

MovieBytes movie(const MovieLayout& movie);

/// Reads the duration in seconds from the movie header of a whole file (walks the top-level boxes
/// to moov/mvhd; both versions). Nothing when there is no readable mvhd or the duration is unknown.
std::optional<double> movieDurationSeconds(std::string_view file);

/// An ID3v2.3 tag with title, artist and album, as the head of an MP3 file; followed by one
/// MPEG-1 layer III frame header so that players recognise the stream.
std::string mp3Head(std::string_view title, std::string_view artist, std::string_view album);

/// An uncompressed big-endian TIFF ("MM\0*") of RGB pixels, as screenshotr sent before iOS 9.
std::string tiffRgb(int width, int height, std::string_view rgb);

/// "YYYY:MM:DD HH:MM:SS" of a UTC time shifted by `offsetSeconds`.
std::string exifDate(std::int64_t seconds, int offsetSeconds);
/// "YYYY-MM-DDTHH:MM:SS+hhmm".
std::string isoDateWithOffset(std::int64_t seconds, int offsetSeconds);

} // namespace MediaFormats
