#pragma once

#include <QImage>
#include <QString>

#include <optional>
#include <string>

class AMScreenshotService;
class AMSpringboardServices;

// The device layer hands icons and screenshots up as the bytes the device sent; these turn them
// into images and image files. They are the image-returning operations of the springboard and
// screenshot clients, kept here so that the device layer stays free of Qt.

/// Bitmap file types, numbered as the platform's bitmap file types are (PNG 4, JPEG 3).
enum class BitmapFileType : int {
    TIFF = 0,
    BMP = 1,
    GIF = 2,
    JPEG = 3,
    PNG = 4,
    JPEG2000 = 5,
};

/// How a bitmap is encoded; an absent value leaves the encoder's default.
struct BitmapEncodingProperties
{
    /// 0.0 (smallest file) to 1.0 (best quality); used by the lossy file types.
    std::optional<double> compressionFactor;
};

/// The app's home-screen icon decoded from the "pngData" of the springboard's reply; a null
/// image when there is no reply, no "pngData", or the bytes are no decodable PNG (callers show
/// their own placeholder).
[[nodiscard]] QImage getIcon(AMSpringboardServices& springboard, const std::string& bundleId);

/// The device's screen as an image, or a null image. Bytes that do not decode leave the
/// client's last error at "Bad image data in ScreenShotData".
[[nodiscard]] QImage getScreenshot(AMScreenshotService& service);

/// Takes a screenshot, renders it to a bitmap of its own size, encodes that as `type` with
/// `properties` and writes the file atomically: a reader sees the old file or the whole new one.
/// False, with the reason as the client's last error, when no screenshot was taken, the type
/// cannot be written, or the file cannot be written.
[[nodiscard]] bool getScreenshot(AMScreenshotService& service,
    const QString& path,
    BitmapFileType type,
    const BitmapEncodingProperties& properties = {});

/// getScreenshot() as PNG, with no properties.
[[nodiscard]] bool getPNGScreenshot(AMScreenshotService& service, const QString& path);
/// getScreenshot() as JPEG, with no properties.
[[nodiscard]] bool getJPEGScreenshot(AMScreenshotService& service, const QString& path);

/// The Qt image-format name for `type` ("png", "jpeg", ...), empty for a type this system cannot
/// write.
[[nodiscard]] QByteArray imageFormatFor(BitmapFileType type);

/// Decodes image file bytes; a null image when they are none, or when the image's declared size
/// exceeds Qt's allocation limit (a hostile device cannot make us allocate gigabytes).
[[nodiscard]] QImage decodeDeviceImage(const unsigned char* bytes, std::size_t size, const char* format = nullptr);
