#include "app/ECAppDelegate.h"
#include "app/ECArtwork.h"
#include "app/ECDemoSimulator.h"
#include "app/ECMainWindow.h"
#include "app/ECModuleCatalog.h"
#include "app/ECTheme.h"
#include "app/KVDataLogger.h"
#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "device/MobileDeviceAccess.h"
#include "device/mobile_device.h"
#include "platform/QtRunLoop.h"
#include "platform/UserDefaults.h"
#include "platform/event_store.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QStyleFactory>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

namespace {

// Waits, without blocking the window, until the device exchanges have settled with a device shown
// (or a bound has passed), then saves the window and quits.
void takeScreenshotWhenSettled(ECMainWindow& window, ECAppDelegate& controller, const QString& file)
{
    auto* poll = new QTimer(&window);
    auto* elapsed = new QElapsedTimer;
    elapsed->start();
    QObject::connect(poll, &QTimer::timeout, &window, [&window, &controller, poll, elapsed, file] {
        const bool settled = controller.selectedDevice() && controller.pendingDeviceExchanges() == 0
            && controller.headingText().endsWith(QLatin1String(" Connected"));
        if (!settled && elapsed->elapsed() < 30000) {
            return;
        }
        poll->stop();
        delete elapsed;
        // One more turn of the event loop so the last text change is painted.
        QTimer::singleShot(300, &window, [&window, file] {
            const bool saved = window.grab().save(file);
            std::fprintf(stderr, saved ? "torvane: saved %s\n" : "torvane: could not save %s\n", qPrintable(file));
            QApplication::exit(saved ? 0 : 1);
        });
    });
    poll->start(50);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Torvane"));
    QApplication::setApplicationName(QStringLiteral("Torvane"));
    QApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("torvane"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Frees space on an iPhone, iPad or iPod touch."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption demo(QStringLiteral("demo"),
        QStringLiteral("Start the simulated demo iPhone that ships with Torvane and use it instead of real devices."));
    const QCommandLineOption usb(QStringLiteral("usb"),
        QStringLiteral("Use real devices through the system's usbmuxd (the default)."));
    const QCommandLineOption profile(QStringLiteral("profile"),
        QStringLiteral("The simulator profile for --demo (demo, modern, legacy or a JSON file)."), QStringLiteral("name"),
        QStringLiteral("demo"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
        QStringLiteral("Save a picture of the main window to FILE once a device is shown (or after 30 seconds "
                       "without one), then quit."),
        QStringLiteral("FILE"));
    parser.addOptions({ demo, usb, profile, screenshot });
    parser.process(application);
    if (parser.isSet(demo) && parser.isSet(usb)) {
        std::fprintf(stderr, "torvane: --demo and --usb exclude each other\n");
        return 2;
    }

    // One look everywhere: the Fusion style over our light palette, whatever the desktop.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(fusion);
    }
    QApplication::setPalette(ECTheme::palette(QApplication::palette()));
    application.setStyleSheet(ECTheme::styleSheet());
    QApplication::setWindowIcon(QIcon(ECArtwork::applicationIcon(256)));

    // Device events and module results come to the interface thread through this loop.
    QtRunLoop mainLoop;
    RunLoop::setMain(&mainLoop);

    ECDemoSimulator simulator;
    if (parser.isSet(demo)) {
        const QString executable = ECDemoSimulator::findSimulator(QApplication::applicationDirPath());
        QString error;
        if (executable.isEmpty()) {
            error = QStringLiteral("torvane-simd was not found next to Torvane.");
        } else if (simulator.start(executable, parser.value(profile), &error)) {
            qputenv("USBMUXD_SOCKET_ADDRESS", simulator.socketAddress().toLocal8Bit());
        }
        if (!error.isEmpty()) {
            logLine(LOG_APP, "Demo simulator unavailable: %s", qUtf8Printable(error));
            QMessageBox::critical(nullptr, QStringLiteral("Torvane"),
                QStringLiteral("The demo iPhone could not be started.\n\n%1").arg(error));
            return 1;
        }
    }

    ECAppDelegate controller(MobileDevice::shared(), UserDefaults::standardUserDefaults(), ECModuleCatalog::createModules());
    controller.setEventSink(&KVDataLogger::sharedLogger());
    ECMainWindow window(controller);
    window.show();
    controller.applicationDidFinishLaunching();

    QObject::connect(&application, &QCoreApplication::aboutToQuit, &controller, [&controller] {
        controller.applicationWillTerminate();
        NotificationCenter::defaultCenter().postNotification(APPLICATION_WILL_TERMINATE_NOTIFICATION, nullptr);
        UserDefaults::standardUserDefaults().synchronize();
        EventStore::sharedStore().waitUntilIdle();
    });
    if (parser.isSet(screenshot)) {
        takeScreenshotWhenSettled(window, controller, parser.value(screenshot));
    }
    const int status = QApplication::exec();
    simulator.stop();
    // Everything worth keeping is written by now (sessions ended, preferences and events
    // flushed in aboutToQuit). Tearing down the device subscription could wait forever when no
    // usbmuxd is running, because libusbmuxd then polls for the daemon's socket without end, so
    // the process ends here instead of unwinding.
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}
