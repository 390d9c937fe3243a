#pragma once

#include <QDateTime>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class ICBackupLog;

/// One photo, video or side file of a phone's camera roll.
///
/// `creationDate` is the file's birth time on the phone. The EXIF date of a photo would be closer
/// to the moment of capture for photos restored from a backup, but reading it costs a request or
/// more per photo (open, read, close), and a camera roll of 10,000 files must list with one
/// request per file; the birth time comes with the size in that one request. A backup reads the
/// capture time from the bytes it copies (ICDownloadResult::captureTime).
struct ICCameraFile
{
    std::string name; // as the phone names it
    std::string devicePath; // "/DCIM/100APPLE/IMG_0001.JPG"
    std::uint64_t fileSize { 0 };
    QDateTime creationDate;
    /// Seconds, from the movie header; 0 for photos, and for videos until it has been read.
    double duration { 0 };
    /// A video (by its movie extension), whether or not its duration could be read.
    bool movie { false };
};

/// ICDownloadsDirectoryURL and ICDeleteAfterSuccessfulDownload, and the log to write.
struct ICDownloadOptions
{
    std::string downloadsDirectory;
    bool deleteAfterSuccessfulDownload { false };
    /// Where each outcome is recorded. A file is removed only once its removal is recorded here
    /// (and flushed), so removing needs one.
    std::shared_ptr<ICBackupLog> auditLog;
};

/// What became of one requested download.
struct ICDownloadResult
{
    ICCameraFile file;
    /// Nothing when every requested step succeeded; otherwise what failed. On any error the file
    /// is still on the phone, unless `removedFromDevice` says it went after a verified copy.
    std::optional<std::string> error;
    std::string localPath; // empty when no verified copy exists
    std::string sha256;
    std::uint64_t size { 0 }; // of the verified copy
    bool verified { false };
    /// When the photo or video was taken, given to its copy as modification time: the EXIF
    /// DateTimeOriginal or the movie header's creation time read from the copied bytes, else the
    /// phone's date for the file. A time without a zone is the computer's local time. Invalid
    /// until a verified copy exists.
    QDateTime captureTime;
    /// Where captureTime came from: "EXIF", "movie header" or "phone file date".
    std::string captureTimeSource;
    bool alreadyPresent { false };
    bool removedFromDevice { false };
    /// The removal's answer was lost and the phone could not be asked afterwards: the file may
    /// or may not still be on the phone (its verified copy is kept).
    bool removalUncertain { false };
    /// The phone said the file is not there (another run removed it first): nothing to copy.
    bool notOnDevice { false };
    /// Another run holds the camera roll's lock: nothing was copied or removed.
    bool lockRefused { false };
};

/// Called once per requested file, on the main thread.
using ICDownloadCompletion = std::function<void(const ICDownloadResult& result)>;
