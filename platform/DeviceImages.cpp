#include "platform/DeviceImages.h"

#include "device/AMAuxiliaryServices.h"
#include "device/AMInstallationProxy.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <limits>

QImage decodeDeviceImage(const unsigned char* bytes, std::size_t size, const char* format)
{
    if (bytes == nullptr || size == 0 || size > std::size_t(std::numeric_limits<int>::max())) {
        return {};
    }
    // fromRawData: the bytes are only read while the reader runs, so no copy is needed.
    const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes), qsizetype(size));
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    // The reader refuses images whose pixels would exceed its allocation limit before allocating
    // them, so a header claiming an enormous size costs nothing.
    return reader.read();
}

QImage getIcon(AMSpringboardServices& springboard, const std::string& bundleId)
{
    const std::optional<PlistData> png = springboard.getIcon(bundleId);
    if (!png) {
        return {};
    }
    return decodeDeviceImage(png->data(), png->size(), "png");
}

QImage getScreenshot(AMScreenshotService& service)
{
    const std::optional<PlistData> bytes = service.getScreenshot();
    if (!bytes) {
        return {};
    }
    // The device layer only checked the signature; the bytes may still be no image.
    QImage image = decodeDeviceImage(bytes->data(), bytes->size());
    if (image.isNull()) {
        service.setLastError("Bad image data in ScreenShotData");
    }
    return image;
}

QByteArray imageFormatFor(BitmapFileType type)
{
    QByteArray format;
    switch (type) {
    case BitmapFileType::TIFF:
        format = "tiff";
        break;
    case BitmapFileType::BMP:
        format = "bmp";
        break;
    case BitmapFileType::GIF:
        format = "gif";
        break;
    case BitmapFileType::JPEG:
        format = "jpeg";
        break;
    case BitmapFileType::PNG:
        format = "png";
        break;
    case BitmapFileType::JPEG2000:
        format = "jp2";
        break;
    }
    if (format.isEmpty() || !QImageWriter::supportedImageFormats().contains(format)) {
        return {};
    }
    return format;
}

bool getScreenshot(
    AMScreenshotService& service, const QString& path, BitmapFileType type, const BitmapEncodingProperties& properties)
{
    const QByteArray format = imageFormatFor(type);
    if (format.isEmpty()) {
        service.setLastError("Can't write a screenshot as bitmap file type " + std::to_string(int(type)));
        return false;
    }
    const QImage screen = getScreenshot(service);
    if (screen.isNull()) {
        return false;
    }

    // A bitmap of the image's own size; formats without alpha get the screen on opaque pixels.
    const bool opaque = type == BitmapFileType::JPEG || type == BitmapFileType::BMP;
    const QImage bitmap = screen.convertToFormat(opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32);

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        service.setLastError("Can't write " + path.toStdString() + ": " + file.errorString().toStdString());
        return false;
    }
    QImageWriter writer(&file, format);
    if (properties.compressionFactor) {
        const double factor = std::clamp(*properties.compressionFactor, 0.0, 1.0);
        writer.setQuality(int(std::lround(factor * 100.0)));
    }
    // The file appears only when the encoder and the disk both succeeded; a screenshot reported
    // as saved is always on disk whole.
    if (!writer.write(bitmap)) {
        file.cancelWriting();
        service.setLastError("Can't encode the screenshot: " + writer.errorString().toStdString());
        return false;
    }
    if (!file.commit()) {
        service.setLastError("Can't write " + path.toStdString() + ": " + file.errorString().toStdString());
        return false;
    }
    service.clearLastError();
    return true;
}

bool getPNGScreenshot(AMScreenshotService& service, const QString& path)
{
    return getScreenshot(service, path, BitmapFileType::PNG);
}

bool getJPEGScreenshot(AMScreenshotService& service, const QString& path)
{
    return getScreenshot(service, path, BitmapFileType::JPEG);
}
