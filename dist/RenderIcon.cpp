// Draws the application icon as PNG files for the hicolor theme, from the same code that draws
// it in the window: torvane-render-icon OUTPUT_FOLDER NAME SIZE...
// writes OUTPUT_FOLDER/<SIZE>x<SIZE>/apps/NAME.png for each size.

#include "app/ECArtwork.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: torvane-render-icon OUTPUT_FOLDER NAME SIZE...\n");
        return 2;
    }
    // Drawing needs no screen.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication application(argc, argv);
    const QDir output(QString::fromLocal8Bit(argv[1]));
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        bool ok = false;
        const int size = QString::fromLocal8Bit(argv[i]).toInt(&ok);
        if (!ok || size < 8 || size > 1024) {
            std::fprintf(stderr, "torvane-render-icon: bad size '%s'\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        if (!output.mkpath(folder)) {
            std::fprintf(stderr, "torvane-render-icon: cannot create %s\n", qPrintable(output.filePath(folder)));
            return 1;
        }
        const QString file = output.filePath(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
        if (!ECArtwork::applicationIcon(size).toImage().save(file, "PNG")) {
            std::fprintf(stderr, "torvane-render-icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
