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
#include "modules/ECModule.h"
#include "platform/QtRunLoop.h"
#include "platform/UserDefaults.h"
#include "platform/event_store.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QMessageBox>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Saves what the screen shows of a tool's window (drawn by the X server, so whatever it shows
// over is in the picture), or of the main window without one, then quits.
void saveScreen(ECMainWindow& window, ECAppDelegate& controller, const QString& file)
{
    const QRect area = window.configWindow() ? window.configWindow()->frameGeometry() : window.frameGeometry();
    const bool saved = window.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(file);
    std::fprintf(stderr, saved ? "torvane: saved %s showing \"%s\"\n" : "torvane: could not save %s\n",
        qPrintable(file),
        qUtf8Printable(controller.controller() ? controller.controller()->titleText() : controller.headingText()));
    QApplication::exit(saved ? 0 : 1);
}

// Opens `tool`'s window and saves the screen once it has been idle for two seconds in a row
// (its list read), or after a minute. Whether it is idle is asked each time the module or its
// window says something changed.
void screenshotTool(ECMainWindow& window, ECAppDelegate& controller, ECModuleButton tool, const QString& file)
{
    // Owns the timers and the connections: deleting it ends the wait.
    auto* waiting = new QObject(&window);
    auto* quiet = new QTimer(waiting);
    quiet->setSingleShot(true);
    quiet->setInterval(2000);
    auto* deadline = new QTimer(waiting);
    deadline->setSingleShot(true);
    auto done = std::make_shared<bool>(false);
    const auto save = [&window, &controller, waiting, done, file] {
        if (!std::exchange(*done, true)) {
            waiting->deleteLater();
            saveScreen(window, controller, file);
        }
    };
    QObject::connect(quiet, &QTimer::timeout, &window, save);
    QObject::connect(deadline, &QTimer::timeout, &window, save);
    const auto check = [&window, &controller, quiet] {
        const ECModule* module = controller.controller();
        const bool idle = module && window.configWindow() && module->moduleStatus() == ECModuleStatus::Idle;
        if (!idle) {
            quiet->stop();
        } else if (!quiet->isActive()) {
            quiet->start();
        }
    };
    auto followed = std::make_shared<ECModule*>(nullptr);
    const auto follow = [waiting, check, followed](ECModule* module) {
        if (!module || std::exchange(*followed, module) == module) {
            return;
        }
        // The status shows in the progress display, which changes with it.
        for (const auto signal :
            { &ECModule::progressDisplayChanged, &ECModule::statusMessageChanged, &ECModule::textsChanged }) {
            QObject::connect(module, signal, waiting, check);
        }
    };
    // Queued, so the main window has made the tool's window by the time it is asked.
    QObject::connect(
        &controller, &ECAppDelegate::moduleWindowRequested, waiting,
        [follow, check](ECModule* module) {
            follow(module);
            check();
        },
        Qt::QueuedConnection);
    controller.startModule(tool);
    follow(controller.controller());
    deadline->start(60000);
    QMetaObject::invokeMethod(waiting, check, Qt::QueuedConnection);
}

// Waits, without blocking the window, until the device exchanges have settled with a device shown
// (or a bound has passed), then saves the window (or, with `tool`, that tool's window) and quits.
// Settled is asked each time the heading changes or the exchanges end.
void takeScreenshotWhenSettled(
    ECMainWindow& window, ECAppDelegate& controller, const QString& file, std::optional<ECModuleButton> tool)
{
    // Owns the deadline and the connections: deleting it ends the wait.
    auto* waiting = new QObject(&window);
    auto done = std::make_shared<bool>(false);
    const auto check = [&window, &controller, waiting, done, file, tool](bool late) {
        const bool settled = controller.selectedDevice() && controller.pendingDeviceExchanges() == 0
            && controller.headingText().endsWith(QLatin1String(" Connected"));
        if (*done || (!settled && !late)) {
            return;
        }
        *done = true;
        waiting->deleteLater();
        if (tool) {
            screenshotTool(window, controller, *tool, file);
            return;
        }
        // One more turn of the event loop so the last text change is painted.
        QTimer::singleShot(300, &window, [&window, &controller, file] {
            const bool saved = window.grab().save(file);
            // The heading says what was shown, so scripts can tell a picture of a phone from a
            // picture of the empty window.
            std::fprintf(stderr, saved ? "torvane: saved %s showing \"%s\"\n" : "torvane: could not save %s\n",
                qPrintable(file), qUtf8Printable(controller.headingText()));
            QApplication::exit(saved ? 0 : 1);
        });
    };
    auto* deadline = new QTimer(waiting);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, &window, [check] { check(true); });
    QObject::connect(&controller, &ECAppDelegate::windowTextChanged, waiting, [check] { check(false); });
    QObject::connect(&controller, &ECAppDelegate::deviceExchangesSettled, waiting, [check] { check(false); });
    deadline->start(30000);
    // Asked once the event loop runs: an exit before that would be lost.
    QMetaObject::invokeMethod(
        waiting, [check] { check(false); }, Qt::QueuedConnection);
}

/// Ends the event loop when the session ends (SIGTERM at logout, SIGHUP when the terminal goes,
/// SIGINT from Ctrl-C), so the ordinary shutdown runs: preferences and usage records are written,
/// and the demo's simulator stops and its folder goes. The handler only writes the signal's
/// number into a pipe, which the event loop reads; a second signal of the same kind, once the
/// first has been seen, acts as if none were handled.
class QuitOnSignals
{
public:
    QuitOnSignals()
    {
        if (::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            logLine(LOG_APP, "Signals end Torvane at once: no pipe for them (errno %d)", errno);
            return;
        }
        m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [] {
            unsigned char number = 0;
            if (::read(s_pipe[0], &number, 1) == 1) {
                std::signal(number, SIG_DFL);
                logLine(LOG_APP, "Quitting on signal %d", int(number));
                QCoreApplication::exit(128 + number);
            }
        });
        struct sigaction action = {};
        action.sa_handler = &QuitOnSignals::handle;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int number : { SIGTERM, SIGINT, SIGHUP }) {
            ::sigaction(number, &action, nullptr);
        }
    }

    /// The signal that asked Torvane to quit, or 0.
    static int received() { return s_received; }

private:
    static void handle(int number)
    {
        const int saved = errno;
        s_received = number;
        const auto byte = static_cast<unsigned char>(number);
        [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
        errno = saved;
    }

    static inline int s_pipe[2] = { -1, -1 };
    static inline volatile std::sig_atomic_t s_received = 0;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Qt's own GUI options, which QApplication takes out of the arguments before our parser sees
// them; until then they must not read as unknown options.
bool isQtGuiOption(const QString& argument)
{
    static const QStringList names { QStringLiteral("platform"), QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"), QStringLiteral("plugin"), QStringLiteral("qwindowgeometry"),
        QStringLiteral("qwindowicon"), QStringLiteral("qwindowtitle"), QStringLiteral("reverse"),
        QStringLiteral("session"), QStringLiteral("style"), QStringLiteral("stylesheet"), QStringLiteral("display"),
        QStringLiteral("geometry"), QStringLiteral("widgetcount") };
    QString name = argument;
    while (name.startsWith(QLatin1Char('-'))) {
        name.remove(0, 1);
    }
    return names.contains(name.section(QLatin1Char('='), 0, 0));
}

struct Options
{
    QCommandLineOption demo { QStringLiteral("demo"),
        QStringLiteral("Start the simulated demo iPhone that ships with Torvane and use it instead of real devices.") };
    QCommandLineOption usb { QStringLiteral("usb"),
        QStringLiteral("Use real devices through the system's usbmuxd (the default).") };
    QCommandLineOption profile { QStringLiteral("profile"),
        QStringLiteral("The simulator profile for --demo (demo, modern, legacy or a JSON file)."),
        QStringLiteral("name"), QStringLiteral("demo") };
    QCommandLineOption screenshot { QStringLiteral("screenshot"),
        QStringLiteral("Save a picture of the main window to FILE once a device is shown (or after 30 seconds "
                       "without one), then quit."),
        QStringLiteral("FILE") };
    QCommandLineOption screenshotTool { QStringLiteral("screenshot-tool"),
        QStringLiteral("With --screenshot: open TOOL's window first (apps, temp-files, photos, music or messages)."),
        QStringLiteral("TOOL") };
};

std::optional<ECModuleButton> toolNamed(const QString& name)
{
    static const std::pair<const char*, ECModuleButton> TOOLS[] = { { "apps", ECModuleButton::Apps },
        { "temp-files", ECModuleButton::Caches }, { "photos", ECModuleButton::Photos },
        { "music", ECModuleButton::Music }, { "messages", ECModuleButton::Messages } };
    for (const auto& [tool, button] : TOOLS) {
        if (name == QLatin1String(tool)) {
            return button;
        }
    }
    return std::nullopt;
}

void describe(QCommandLineParser& parser, const Options& options)
{
    parser.setApplicationDescription(QStringLiteral("Frees space on an iPhone, iPad or iPod touch."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({ options.demo, options.usb, options.profile, options.screenshot, options.screenshotTool });
}

/// Answers --help, --version and bad command lines before any window system is touched, so
/// they work without a display. Returns the exit status when the program should end here.
std::optional<int> handleCommandLineWithoutDisplay(int argc, char** argv)
{
    QCoreApplication probe(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("torvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));
    QCommandLineParser parser;
    const Options options;
    describe(parser, options);
    const QStringList arguments = QCoreApplication::arguments();
    if (!parser.parse(arguments)) {
        const bool qtOptions = std::any_of(arguments.begin() + 1, arguments.end(),
            [](const QString& argument) { return argument.startsWith(QLatin1Char('-')) && isQtGuiOption(argument); });
        if (!qtOptions) {
            std::fprintf(stderr, "torvane: %s\n", qUtf8Printable(parser.errorText()));
            return 2;
        }
        // The window system's options are QApplication's; it takes them out, and the parser
        // runs again after it.
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("torvane %s\n", TORVANE_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(
            stderr, "torvane: unexpected argument '%s'\n", qUtf8Printable(parser.positionalArguments().first()));
        return 2;
    }
    if (parser.isSet(options.screenshotTool) && !toolNamed(parser.value(options.screenshotTool))) {
        std::fprintf(stderr, "torvane: unknown tool '%s'\n", qUtf8Printable(parser.value(options.screenshotTool)));
        return 2;
    }
    if (parser.isSet(options.demo) && parser.isSet(options.usb)) {
        std::fprintf(stderr, "torvane: --demo and --usb exclude each other\n");
        return 2;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    if (const std::optional<int> status = handleCommandLineWithoutDisplay(argc, argv)) {
        return *status;
    }

    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Torvane"));
    QApplication::setApplicationName(QStringLiteral("Torvane"));
    QApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral(TORVANE_DESKTOP_ID));

    QCommandLineParser parser;
    const Options options;
    describe(parser, options);
    parser.process(application);
    const QCommandLineOption& demo = options.demo;
    const QCommandLineOption& profile = options.profile;
    const QCommandLineOption& screenshot = options.screenshot;

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

    const QuitOnSignals quitOnSignals;
    ECDemoSimulator simulator;
    if (parser.isSet(demo)) {
        const QString executable = ECDemoSimulator::findSimulator(QApplication::applicationDirPath());
        QString error;
        if (executable.isEmpty()) {
            error = QStringLiteral("torvane-simd was not found next to Torvane.");
        } else if (simulator.start(
                       executable, parser.value(profile), &error, [] { return QuitOnSignals::received() != 0; })) {
            qputenv("USBMUXD_SOCKET_ADDRESS", simulator.socketAddress().toLocal8Bit());
            // Trying the demo leaves the user's own preferences and usage records as they were:
            // the demo keeps its own beside the simulated phone (unless told where), and they go
            // with it.
            for (const auto& [variable, file] : { std::pair { "TORVANE_SETTINGS_FILE", "Torvane.conf" },
                     std::pair { "TORVANE_EVENT_STORE", "events.sqlite" } }) {
                if (qEnvironmentVariableIsEmpty(variable)) {
                    qputenv(variable, QFile::encodeName(simulator.filePath(QString::fromLatin1(file))));
                }
            }
        }
        if (QuitOnSignals::received() != 0) {
            return 128 + QuitOnSignals::received();
        }
        if (!error.isEmpty()) {
            logLine(LOG_APP, "Demo simulator unavailable: %s", qUtf8Printable(error));
            // A run that only takes a picture has nobody to close the message.
            if (!parser.isSet(screenshot)) {
                QMessageBox::critical(nullptr, QStringLiteral("Torvane"),
                    QStringLiteral("The demo iPhone could not be started.\n\n%1").arg(error));
            }
            return 1;
        }
    }

    ECAppDelegate controller(
        MobileDevice::shared(), UserDefaults::standardUserDefaults(), ECModuleCatalog::createModules());
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
        takeScreenshotWhenSettled(
            window, controller, parser.value(screenshot), toolNamed(parser.value(options.screenshotTool)));
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
