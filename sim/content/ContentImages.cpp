#include "sim/content/ContentImages.h"

#include "sim/content/AppRecord.h"
#include "sim/content/SeededRandom.h"

#include <QBuffer>
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>

namespace ContentImages {

namespace {

    std::string encode(const QImage& image, const char* format, int quality = -1)
    {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format, quality);
        return std::string(bytes.constData(), std::size_t(bytes.size()));
    }

    bool canDrawText()
    {
        return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    }

    QColor hueColor(SeededRandom& random, int saturation, int value)
    {
        return QColor::fromHsv(int(random.between(0, 359)), saturation, value);
    }

    void drawGlyph(QPainter& painter, std::uint32_t seed, const QRectF& area)
    {
        // A geometric mark, one of several shapes, so icons differ even without fonts.
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, 230));
        const QPointF c = area.center();
        const double r = area.width() * 0.28;
        switch (seed % 5) {
        case 0:
            painter.drawEllipse(c, r, r);
            break;
        case 1:
            painter.drawRoundedRect(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), r * 0.3, r * 0.3);
            break;
        case 2: {
            QPainterPath path;
            path.moveTo(c.x(), c.y() - r);
            path.lineTo(c.x() + r, c.y() + r * 0.8);
            path.lineTo(c.x() - r, c.y() + r * 0.8);
            path.closeSubpath();
            painter.drawPath(path);
            break;
        }
        case 3:
            painter.drawRect(QRectF(c.x() - r, c.y() - r * 0.25, 2 * r, r * 0.5));
            painter.drawRect(QRectF(c.x() - r * 0.25, c.y() - r, r * 0.5, 2 * r));
            break;
        default:
            painter.drawEllipse(c, r, r);
            painter.setBrush(QColor(0, 0, 0, 60));
            painter.drawEllipse(c, r * 0.5, r * 0.5);
            break;
        }
    }

    QString initialOf(const AppRecord& app)
    {
        QString name = QString::fromStdString(app.displayName.value_or(app.bundleName));
        if (name.isEmpty()) {
            name = QString::fromStdString(app.bundleName);
        }
        return name.isEmpty() ? QString() : name.left(1).toUpper();
    }

    QImage iconImage(const AppRecord& app, int size)
    {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        SeededRandom random(app.iconSeed);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient gradient(0, 0, 0, size);
        const QColor top = hueColor(random, 150 + int(random.between(0, 80)), 230);
        gradient.setColorAt(0, top.lighter(120));
        gradient.setColorAt(1, top.darker(130));
        painter.setPen(Qt::NoPen);
        painter.setBrush(gradient);
        painter.drawRoundedRect(QRectF(0, 0, size, size), size * 0.22, size * 0.22);
        const QString initial = initialOf(app);
        if (canDrawText() && !initial.isEmpty() && app.iconSeed % 3 != 0) {
            QFont font;
            font.setPixelSize(size / 2);
            font.setBold(true);
            painter.setFont(font);
            painter.setPen(QColor(255, 255, 255));
            painter.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, initial);
        } else {
            drawGlyph(painter, app.iconSeed, QRectF(0, 0, size, size));
        }
        return image;
    }

    void drawWallpaper(QPainter& painter, int width, int height)
    {
        QLinearGradient gradient(0, 0, width, height);
        gradient.setColorAt(0, QColor(24, 44, 92));
        gradient.setColorAt(0.55, QColor(88, 52, 128));
        gradient.setColorAt(1, QColor(214, 96, 112));
        painter.fillRect(QRect(0, 0, width, height), gradient);
        QRadialGradient glow(width * 0.7, height * 0.3, width * 0.6);
        glow.setColorAt(0, QColor(255, 255, 255, 70));
        glow.setColorAt(1, QColor(255, 255, 255, 0));
        painter.fillRect(QRect(0, 0, width, height), glow);
    }

} // namespace

std::string encodePng(const QImage& image)
{
    return encode(image, "PNG");
}

std::string photoJpeg(std::uint64_t variant, int width, int height)
{
    SeededRandom random(variant);
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double horizon = height * (0.45 + random.unit() * 0.25);
    QLinearGradient sky(0, 0, 0, horizon);
    const QColor skyTop = QColor::fromHsv(
        int(190 + random.between(0, 40)), int(120 + random.between(0, 100)), int(150 + random.between(0, 100)));
    sky.setColorAt(0, skyTop);
    sky.setColorAt(1, skyTop.lighter(150));
    painter.fillRect(QRectF(0, 0, width, horizon), sky);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 236, 170));
    painter.drawEllipse(
        QPointF(width * random.unit(), horizon * (0.2 + random.unit() * 0.4)), width * 0.06, width * 0.06);
    const QColor ground = QColor::fromHsv(
        int(60 + random.between(0, 80)), int(90 + random.between(0, 120)), int(70 + random.between(0, 110)));
    painter.fillRect(QRectF(0, horizon, width, height - horizon), ground);
    const int hills = int(random.between(2, 5));
    for (int i = 0; i < hills; ++i) {
        painter.setBrush(ground.darker(int(110 + random.between(0, 60))));
        const double cx = width * random.unit();
        const double rx = width * (0.15 + random.unit() * 0.3);
        painter.drawEllipse(QPointF(cx, horizon + height * 0.05), rx, height * (0.08 + random.unit() * 0.12));
    }
    const int things = int(random.between(1, 4));
    for (int i = 0; i < things; ++i) {
        painter.setBrush(hueColor(random, 180, 200));
        const double x = width * random.unit();
        const double y = horizon + (height - horizon) * random.unit();
        painter.drawRoundedRect(QRectF(x, y, width * 0.05, height * 0.12), 3, 3);
    }
    painter.end();
    return encode(image, "JPEG", 82);
}

std::string screenshotPng(std::uint64_t variant, int width, int height)
{
    SeededRandom random(variant);
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(image.rect(), QColor(246, 246, 248));
    painter.fillRect(QRect(0, 0, width, height / 12), hueColor(random, 60, 240));
    const int rows = int(random.between(4, 9));
    for (int i = 0; i < rows; ++i) {
        const int y = height / 8 + i * (height / 11);
        painter.fillRect(QRect(width / 16, y, width * 7 / 8, height / 14), QColor(255, 255, 255));
        painter.fillRect(QRect(width / 10, y + height / 60, int(width * (0.3 + random.unit() * 0.5)), height / 60),
            QColor(60, 60, 67));
    }
    painter.end();
    return encode(image, "PNG");
}

std::string appIconPng(const AppRecord& app, int size)
{
    QImage image = iconImage(app, size);
    image.setText(QStringLiteral("Identifier"), QString::fromStdString(app.bundleIdentifier));
    return encode(image, "PNG");
}

std::string wallpaperPng(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    drawWallpaper(painter, width, height);
    painter.end();
    return encode(image, "PNG");
}

QImage homeScreen(const std::vector<AppRecord>& apps, const std::string& clock, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawWallpaper(painter, width, height);
    const bool text = canDrawText();

    const int statusHeight = height / 28;
    if (text) {
        QFont font;
        font.setPixelSize(std::max(8, statusHeight * 2 / 3));
        font.setBold(true);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QRect(0, 0, width, statusHeight), Qt::AlignCenter, QString::fromStdString(clock));
    }
    // Battery.
    painter.setPen(QPen(Qt::white, 1.5));
    painter.setBrush(Qt::NoBrush);
    const QRectF battery(width - width / 9.0, statusHeight * 0.3, width / 14.0, statusHeight * 0.45);
    painter.drawRoundedRect(battery, 2, 2);
    painter.fillRect(battery.adjusted(2, 2, -battery.width() * 0.3, -2), Qt::white);

    const int columns = 4;
    const int rowsPerPage = 6;
    const int cell = width / columns;
    const int dockHeight = cell + cell / 4;
    // Rows share the height between the status bar and the page dots above the dock.
    const int rowPitch = (height - statusHeight - dockHeight - height / 20) / rowsPerPage;
    const int iconSize = std::min(cell * 62 / 100, rowPitch * 7 / 10);
    const std::size_t dockCount = std::min<std::size_t>(4, apps.size());
    const std::size_t gridCount = std::min<std::size_t>(std::size_t(columns * rowsPerPage), apps.size() - dockCount);

    QFont labelFont;
    labelFont.setPixelSize(std::max(7, cell / 8));
    if (text) {
        painter.setFont(labelFont);
    }
    for (std::size_t i = 0; i < gridCount; ++i) {
        const AppRecord& app = apps[dockCount + i];
        const int col = int(i) % columns;
        const int row = int(i) / columns;
        const int x = col * cell + (cell - iconSize) / 2;
        const int y = statusHeight + rowPitch / 8 + row * rowPitch;
        painter.drawImage(QRect(x, y, iconSize, iconSize), iconImage(app, iconSize));
        if (text) {
            painter.setPen(Qt::white);
            const QString label = QString::fromStdString(app.displayName.value_or(app.bundleName));
            painter.drawText(QRect(col * cell, y + iconSize + 2, cell, cell / 5), Qt::AlignHCenter | Qt::AlignTop,
                painter.fontMetrics().elidedText(label, Qt::ElideRight, cell - 4));
        }
    }
    // Dock.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 70));
    painter.drawRoundedRect(
        QRectF(width * 0.03, height - dockHeight - height * 0.015, width * 0.94, dockHeight), cell / 4.0, cell / 4.0);
    for (std::size_t i = 0; i < dockCount; ++i) {
        const int x = int(i) * cell + (cell - iconSize) / 2;
        const int y = height - dockHeight - int(height * 0.015) + (dockHeight - iconSize) / 2;
        painter.drawImage(QRect(x, y, iconSize, iconSize), iconImage(apps[i], iconSize));
    }
    // Page dots.
    painter.setBrush(QColor(255, 255, 255, 200));
    painter.drawEllipse(QPointF(width / 2.0 - 6, height - dockHeight - height * 0.03), 3, 3);
    painter.setBrush(QColor(255, 255, 255, 90));
    painter.drawEllipse(QPointF(width / 2.0 + 6, height - dockHeight - height * 0.03), 3, 3);
    painter.end();
    return image;
}

} // namespace ContentImages
