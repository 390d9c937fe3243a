// Icons and screenshots decoded and re-encoded: over a scripted connection for what the device
// may send, and against torvane-simd for what a phone really sends.

#include "platform/DeviceImages.h"

#include "device/AMAuxiliaryServices.h"
#include "device/AMDevice.h"
#include "device/AMInstallationProxy.h"
#include "tests/device/ScriptedMobileDevice.h"
#include "tests/device/integration/AttachedDevice.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QtEndian>

#include <fstream>
#include <random>

#include <gtest/gtest.h>

namespace {

/// A test picture with detail everywhere, so lossy encoders have something to lose.
QImage noisyImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    std::mt19937 random(7);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgb(int(random() % 256), (x * 255) / width, (y * 255) / height));
        }
    }
    return image;
}

PlistData encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(QImageWriter(&buffer, format).write(image)) << format;
    return PlistData(bytes.begin(), bytes.end());
}

/// A screenshot client whose device answers one screenshot request with `data`.
ScriptedClient<AMScreenshotService> screenshotClientSending(const PlistValue& data)
{
    ScriptedClient<AMScreenshotService> scripted;
    scripted.wire->addReply(PlistArray { "DLMessageProcessMessage",
        PlistDictionary { { "MessageType", "ScreenShotReply" }, { "ScreenShotData", data } } });
    return scripted;
}

ScriptedClient<AMSpringboardServices> springboardSending(const PlistDictionary& reply)
{
    ScriptedClient<AMSpringboardServices> scripted;
    scripted.wire->addReply(reply);
    return scripted;
}

/// A PNG whose header claims `width` x `height` pixels, with a valid header checksum and no data.
PlistData pngClaiming(std::uint32_t width, std::uint32_t height)
{
    // Start from a real 1x1 PNG and rewrite the size in its header (checksum included).
    PlistData png = encoded(QImage(1, 1, QImage::Format_RGB32), "png");
    qToBigEndian(width, png.data() + 16);
    qToBigEndian(height, png.data() + 20);
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 12; i < 29; ++i) {
        crc ^= png[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    qToBigEndian(crc ^ 0xFFFFFFFFu, png.data() + 29);
    return png;
}

QByteArray fileFormat(const QString& path)
{
    QImageReader reader(path);
    return reader.format();
}

} // namespace

TEST(DeviceImages, IconsDecodeFromThePngTheDeviceSends)
{
    const QImage icon = noisyImage(60, 60);
    {
        auto springboard = springboardSending(PlistDictionary { { "pngData", encoded(icon, "png") } });
        const QImage decoded = getIcon(*springboard.client, "com.example.a");
        ASSERT_FALSE(decoded.isNull());
        EXPECT_EQ(decoded.size(), QSize(60, 60));
        EXPECT_EQ(decoded.convertToFormat(QImage::Format_RGB32), icon);
    }
    // Every way an icon can be missing or broken gives the caller a null image to replace.
    PlistData truncated = encoded(icon, "png");
    truncated.resize(40);
    const std::vector<std::pair<const char*, PlistDictionary>> broken {
        { "no pngData", PlistDictionary {} },
        { "pngData not data", PlistDictionary { { "pngData", "png" } } },
        { "JPEG bytes", PlistDictionary { { "pngData", encoded(icon, "jpeg") } } },
        { "PNG cut short", PlistDictionary { { "pngData", truncated } } },
    };
    for (const auto& [label, reply] : broken) {
        SCOPED_TRACE(label);
        auto springboard = springboardSending(reply);
        EXPECT_TRUE(getIcon(*springboard.client, "com.example.a").isNull());
    }
}

TEST(DeviceImages, ScreenshotsDecodeFromPngAndTiff)
{
    const QImage screen = noisyImage(75, 133);
    for (const char* format : { "png", "tiff" }) {
        SCOPED_TRACE(format);
        auto service = screenshotClientSending(encoded(screen, format));
        const QImage decoded = getScreenshot(*service.client);
        ASSERT_FALSE(decoded.isNull()) << service.client->lasterror().value_or("");
        EXPECT_EQ(decoded.convertToFormat(QImage::Format_RGB32), screen);
    }
}

TEST(DeviceImages, UndecodableScreenshotsAreBadImageData)
{
    PlistData cutShort = encoded(noisyImage(40, 40), "png");
    cutShort.resize(cutShort.size() / 2);
    const std::vector<std::pair<const char*, PlistData>> cases {
        { "PNG signature then garbage", PlistData { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 1, 2, 3, 4 } },
        { "TIFF header only", PlistData { 'I', 'I', 42, 0, 8, 0, 0, 0 } },
        { "PNG cut in half", cutShort },
        // The header alone would ask for 40 GB of pixels; the reader refuses before allocating.
        { "PNG claiming 100000 x 100000", pngClaiming(100000, 100000) },
    };
    for (const auto& [label, bytes] : cases) {
        SCOPED_TRACE(label);
        auto service = screenshotClientSending(bytes);
        EXPECT_TRUE(getScreenshot(*service.client).isNull());
        EXPECT_EQ(service.client->lasterror(), "Bad image data in ScreenShotData");
    }
}

TEST(DeviceImages, SavesScreenshotsInTheRequestedType)
{
    TemporaryDirectory folder;
    const QImage screen = noisyImage(75, 133);
    const PlistData png = encoded(screen, "png");

    struct Case
    {
        BitmapFileType type;
        const char* format;
        bool lossless;
    };
    for (const Case& each : { Case { BitmapFileType::PNG, "png", true }, Case { BitmapFileType::JPEG, "jpeg", false },
             Case { BitmapFileType::TIFF, "tiff", true }, Case { BitmapFileType::BMP, "bmp", true } }) {
        SCOPED_TRACE(each.format);
        const QString path = QString::fromStdString((folder.path() / "screen").string()) + "." + each.format;
        auto service = screenshotClientSending(png);
        ASSERT_TRUE(getScreenshot(*service.client, path, each.type)) << service.client->lasterror().value_or("");
        EXPECT_EQ(fileFormat(path), QByteArray(each.format));
        const QImage saved(path);
        ASSERT_EQ(saved.size(), screen.size());
        if (each.lossless) {
            EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32), screen);
        }
    }

    // The named helpers write the types their names say.
    const QString pngPath = QString::fromStdString((folder.path() / "helper-png").string());
    const QString jpegPath = QString::fromStdString((folder.path() / "helper-jpeg").string());
    EXPECT_TRUE(getPNGScreenshot(*screenshotClientSending(png).client, pngPath));
    EXPECT_TRUE(getJPEGScreenshot(*screenshotClientSending(png).client, jpegPath));
    EXPECT_EQ(fileFormat(pngPath), "png");
    EXPECT_EQ(fileFormat(jpegPath), "jpeg");
}

TEST(DeviceImages, CompressionFactorTradesSizeForQuality)
{
    TemporaryDirectory folder;
    const PlistData png = encoded(noisyImage(200, 200), "png");
    const auto saveAt = [&](double factor) {
        const QString path = QString::fromStdString((folder.path() / ("q" + std::to_string(factor))).string());
        auto service = screenshotClientSending(png);
        EXPECT_TRUE(getScreenshot(*service.client, path, BitmapFileType::JPEG, { factor }));
        return QFile(path).size();
    };
    const qint64 small = saveAt(0.1);
    const qint64 large = saveAt(0.95);
    EXPECT_GT(small, 0);
    EXPECT_LT(small * 2, large);
    // Out-of-range factors are held to the ends of the scale rather than passed on.
    EXPECT_EQ(saveAt(-3.0), saveAt(0.0));
    EXPECT_EQ(saveAt(7.0), saveAt(1.0));
}

TEST(DeviceImages, FailedSavesSayWhyAndLeaveNoFile)
{
    TemporaryDirectory folder;
    const PlistData png = encoded(noisyImage(30, 30), "png");

    // Types with no encoder here are refused before the device is asked for anything.
    for (BitmapFileType type : { BitmapFileType::GIF, BitmapFileType::JPEG2000, BitmapFileType(42) }) {
        SCOPED_TRACE(int(type));
        auto service = screenshotClientSending(png);
        const QString path = QString::fromStdString((folder.path() / "unsupported").string());
        EXPECT_FALSE(getScreenshot(*service.client, path, type));
        EXPECT_EQ(
            service.client->lasterror(), "Can't write a screenshot as bitmap file type " + std::to_string(int(type)));
        EXPECT_TRUE(service.wire->sent.empty());
        EXPECT_FALSE(QFile::exists(path));
    }

    // A folder that does not exist: the failure is reported, not passed off as a saved file.
    {
        auto service = screenshotClientSending(png);
        const QString path = QString::fromStdString((folder.path() / "missing" / "screen.png").string());
        EXPECT_FALSE(getPNGScreenshot(*service.client, path));
        ASSERT_TRUE(service.client->lasterror().has_value());
        EXPECT_TRUE(service.client->lasterror()->starts_with("Can't write " + path.toStdString()))
            << *service.client->lasterror();
        EXPECT_FALSE(QFile::exists(path));
    }

    // A screenshot that fails keeps the previous file whole.
    {
        const std::filesystem::path previous = folder.path() / "previous.png";
        std::ofstream(previous, std::ios::binary) << "the previous screenshot";
        auto service = screenshotClientSending(PlistData { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0 });
        EXPECT_FALSE(getPNGScreenshot(*service.client, QString::fromStdString(previous.string())));
        EXPECT_EQ(service.client->lasterror(), "Bad image data in ScreenShotData");
        std::ifstream in(previous, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "the previous screenshot");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
    }
}

// ---- Against the simulated phones ------------------------------------------------------------

namespace {

/// One simulated phone of the given profile, attached and listed.
class SimulatedPhoneImages : public AttachedDeviceTest, public ::testing::WithParamInterface<std::string>
{
protected:
    SimulatedPhoneImages()
        : AttachedDeviceTest({ GetParam() })
    {
    }

    void SetUp() override
    {
        AttachedDeviceTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        device = waitForDevice(GetParam() == "legacy" ? SimulatorFixture::LEGACY_UDID : SimulatorFixture::DEMO_UDID);
        ASSERT_TRUE(device) << "the simulated phone never attached";
    }

    void TearDown() override
    {
        device.reset();
        AttachedDeviceTest::TearDown();
    }

    std::shared_ptr<AMDevice> device;
};

} // namespace

TEST_P(SimulatedPhoneImages, ScreenshotsDecodeAndSaveAsPngAndJpeg)
{
    auto service = device->newAMScreenshotService();
    ASSERT_TRUE(service);
    const QImage screen = getScreenshot(*service);
    ASSERT_FALSE(screen.isNull()) << service->lasterror().value_or("");
    // Both profiles are 4.7-inch phones.
    EXPECT_EQ(screen.size(), QSize(750, 1334));

    TemporaryDirectory folder;
    const QString pngPath = QString::fromStdString((folder.path() / "screen.png").string());
    const QString jpegPath = QString::fromStdString((folder.path() / "screen.jpg").string());
    ASSERT_TRUE(getPNGScreenshot(*service, pngPath)) << service->lasterror().value_or("");
    ASSERT_TRUE(getJPEGScreenshot(*service, jpegPath)) << service->lasterror().value_or("");
    EXPECT_EQ(fileFormat(pngPath), "png");
    EXPECT_EQ(fileFormat(jpegPath), "jpeg");
    EXPECT_EQ(QImage(pngPath).size(), screen.size());
    EXPECT_EQ(QImage(jpegPath).size(), screen.size());
}

TEST_P(SimulatedPhoneImages, EveryUserAppHasADecodableIcon)
{
    const auto apps = device->installedApplications();
    ASSERT_TRUE(apps && !apps->empty()) << device->lasterror().value_or("");
    auto springboard = device->newAMSpringboardServices();
    ASSERT_TRUE(springboard);
    for (const AMApplication& app : *apps) {
        SCOPED_TRACE(app.bundleid());
        const QImage icon = getIcon(*springboard, app.bundleid());
        ASSERT_FALSE(icon.isNull()) << springboard->lasterror().value_or("");
        EXPECT_EQ(icon.width(), icon.height());
        EXPECT_GE(icon.width(), 16);
    }
    EXPECT_TRUE(getIcon(*springboard, "com.example.not-installed").isNull());
    EXPECT_TRUE(springboard->getIconState().has_value()) << springboard->lasterror().value_or("");
}

// The demo phone sends PNG screenshots; the legacy one, like phones before iOS 9, sends TIFF.
INSTANTIATE_TEST_SUITE_P(Profiles, SimulatedPhoneImages, ::testing::Values("demo", "legacy"));
