#include "app/ECAppDelegate.h"
#include "app/ECDeviceSelection.h"
#include "app/ECHeadingButton.h"
#include "app/ECHomeRow.h"
#include "app/ECMainWindow.h"
#include "app/ECUserDefaultsKeys.h"
#include "app/HoverButton.h"
#include "device/AMDevice.h"
#include "device/AMDeviceState.h"
#include "device/MobileDeviceAccess.h"
#include "device/mobile_device.h"
#include "platform/QtRunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/support/AppTestHarness.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Pairing attempts with a phone that refuses them make keys each time: slow on a busy machine.
constexpr int DEVICE_TIMEOUT_MS = 60000;
const std::string DEMO = SimulatorFixture::DEMO_UDID;
const QString DEMO_CONNECTED = QStringLiteral("Demo iPhone Connected");

QString titleOf(AMDeviceState state)
{
    return QString::fromUtf8(deviceStateText(state).title);
}

QString adviceOf(AMDeviceState state)
{
    return QString::fromUtf8(deviceStateText(state).advice);
}

/// Runs `call` (a ctl command, which waits for a child process) on another thread while the
/// event loop goes on, so the wait is not counted against the window.
bool offTheMainThread(std::function<bool()> call)
{
    std::future<bool> done = std::async(std::launch::async, std::move(call));
    const bool finished = QTest::qWaitFor(
        [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, DEVICE_TIMEOUT_MS);
    return finished && done.get();
}

/// A socket bound where the library looks that refuses connections until listen(), then passes
/// each one on to `target`: a service between its bind() and its listen(), then running.
class LateListeningSocket
{
public:
    LateListeningSocket(const std::string& path, std::string target)
        : m_path(path)
        , m_target(std::move(target))
        , m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const sockaddr_un address = addressOf(m_path);
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~LateListeningSocket()
    {
        m_stopping = true;
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_acceptor.joinable()) {
            m_acceptor.join();
        }
        {
            std::lock_guard lock(m_mutex);
            for (const int fd : m_open) {
                ::shutdown(fd, SHUT_RDWR);
            }
        }
        for (std::thread& relay : m_relays) {
            relay.join();
        }
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
    LateListeningSocket(const LateListeningSocket&) = delete;
    LateListeningSocket& operator=(const LateListeningSocket&) = delete;

    bool bound() const { return m_bound; }
    bool listen()
    {
        if (::listen(m_fd, 16) != 0) {
            return false;
        }
        m_acceptor = std::thread([this] {
            for (;;) {
                const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0 && errno == EINTR && !m_stopping) {
                    continue;
                }
                if (client < 0) {
                    return;
                }
                m_relays.emplace_back([this, client] { relay(client); });
            }
        });
        return true;
    }

private:
    static sockaddr_un addressOf(const std::string& path)
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        return address;
    }

    void relay(int client)
    {
        const int upstream = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = addressOf(m_target);
        {
            std::lock_guard lock(m_mutex);
            m_open.insert({ client, upstream });
        }
        if (upstream >= 0 && ::connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            pollfd ends[2] = { { client, POLLIN, 0 }, { upstream, POLLIN, 0 } };
            char buffer[16384];
            for (bool open = true; open;) {
                if (::poll(ends, 2, -1) < 0 && errno != EINTR) {
                    break;
                }
                for (int from = 0; from < 2 && open; ++from) {
                    if (ends[from].revents == 0) {
                        continue;
                    }
                    const ssize_t got = ::recv(ends[from].fd, buffer, sizeof buffer, 0);
                    open = got > 0 && ::send(ends[1 - from].fd, buffer, std::size_t(got), MSG_NOSIGNAL) == got;
                }
            }
        }
        std::lock_guard lock(m_mutex);
        m_open.erase(client);
        m_open.erase(upstream);
        ::close(client);
        if (upstream >= 0) {
            ::close(upstream);
        }
    }

    std::string m_path;
    std::string m_target;
    int m_fd;
    bool m_bound { false };
    std::atomic<bool> m_stopping { false };
    std::thread m_acceptor;
    std::vector<std::thread> m_relays; // the acceptor's until it has been joined
    std::mutex m_mutex;
    std::set<int> m_open;
};

} // namespace

/// The window with a phone that is attached but cannot be used, one being paired with slowly,
/// and no USB service at all, against torvane-simd.
class ECDeviceTrustE2ETest : public AppTestHarness
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void anUnusablePhoneIsSelectedAndExplained_data();
    void anUnusablePhoneIsSelectedAndExplained();
    void connectingToAStalledPhoneKeepsTheWindowResponsive();
    void aMissingUsbServiceIsExplainedUntilItStarts();
    void aServiceThatListensJustAfterItsSocketAppearsIsFound();

private:
    void launch();
    QMessageBox* visibleAlert() const
    {
        QMessageBox* alert = m_window ? m_window->connectionAlert() : nullptr;
        return alert && alert->isVisible() ? alert : nullptr;
    }
};

void ECDeviceTrustE2ETest::initTestCase()
{
    useQtMainLoop();
}

void ECDeviceTrustE2ETest::cleanup()
{
    closeApp();
}

void ECDeviceTrustE2ETest::launch()
{
    freshSettings();
    launchApp({ .messagesController = new ECModule });
}

void ECDeviceTrustE2ETest::anUnusablePhoneIsSelectedAndExplained_data()
{
    QTest::addColumn<QStringList>("make");
    QTest::addColumn<QStringList>("mend");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("advice");

    const auto row = [](const char* name, const QStringList& make, const QStringList& mend, AMDeviceState state) {
        QTest::newRow(name) << make << mend << titleOf(state) << adviceOf(state);
    };
    const QString udid = QString::fromStdString(DEMO);
    const QStringList trusted { QStringLiteral("trust"), udid, QStringLiteral("trusted") };
    const QStringList cleared { QStringLiteral("clear-faults"), udid };
    row("passcode-locked", { "trust", udid, "passcode-locked" }, trusted, AMDeviceState::PasscodeLocked);
    row("dialog-pending", { "trust", udid, "dialog-pending" }, trusted, AMDeviceState::TrustDialogPending);
    row("denied", { "trust", udid, "denied" }, trusted, AMDeviceState::TrustDenied);
    row("refuse-session", { "fault", udid, "refuse-session" }, cleared, AMDeviceState::SessionRefused);
    row("refuse-services", { "fault", udid, "refuse-services" }, cleared, AMDeviceState::ServicesRefused);
    row("network-only", { "fault", udid, "network-only" }, cleared, AMDeviceState::NetworkOnly);
    // A phone that forgot this computer is paired with again at once: nothing to explain.
    QTest::newRow("forgotten") << QStringList { "trust", udid, "forgotten" } << trusted << QString() << QString();
}

void ECDeviceTrustE2ETest::anUnusablePhoneIsSelectedAndExplained()
{
    QFETCH(QStringList, make);
    QFETCH(QStringList, mend);
    QFETCH(QString, title);
    QFETCH(QString, advice);
    const auto ctl = [this](const QStringList& words) {
        std::vector<std::string> args;
        for (const QString& word : words) {
            args.push_back(word.toStdString());
        }
        const ProcessResult result = m_sim->ctl(args);
        return result.exitCode == 0;
    };

    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { "demo" });
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    if (make.contains(QStringLiteral("forgotten"))) {
        // Only a phone this computer paired with before can forget it.
        launch();
        QTRY_COMPARE_WITH_TIMEOUT(m_window->headingButton()->text(), DEMO_CONNECTED, DEVICE_TIMEOUT_MS);
        m_window.reset();
        m_controller.reset();
    }

    QVERIFY(ctl(make));
    launch();
    QSignalSpy alerts(m_controller.get(), &ECAppDelegate::connectionAlertRequested);
    if (title.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(m_window->headingButton()->text(), DEMO_CONNECTED, DEVICE_TIMEOUT_MS);
        QTRY_COMPARE_WITH_TIMEOUT(m_controller->pendingDeviceExchanges(), std::size_t(0), DEVICE_TIMEOUT_MS);
        QCOMPARE(alerts.count(), 0);
        return;
    }
    // The only phone cannot be used: it is selected all the same, and the alert says why.
    QTRY_VERIFY_WITH_TIMEOUT(visibleAlert(), DEVICE_TIMEOUT_MS);
    QMessageBox* alert = visibleAlert();
    QCOMPARE(alert->text(), title);
    QCOMPARE(alert->informativeText(), advice);
    QCOMPARE(alert->buttons().size(), 1);
    QCOMPARE(alert->buttons().at(0)->text(), QStringLiteral("Try Again"));
    QVERIFY(m_controller->selectedDevice());
    QVERIFY(!m_window->homeRow()->button(ECHomeRow::Messages)->isEnabled());

    // Try Again while nothing changed asks again and says the same.
    QTest::mouseClick(alert->buttons().at(0), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(alerts.count() == 2 && visibleAlert(), DEVICE_TIMEOUT_MS);
    QCOMPARE(visibleAlert()->text(), title);

    // Once the phone is put right, Try Again recovers.
    QVERIFY(ctl(mend));
    QTest::mouseClick(visibleAlert()->buttons().at(0), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->headingButton()->text(), DEMO_CONNECTED, DEVICE_TIMEOUT_MS);
    QTRY_COMPARE_WITH_TIMEOUT(m_controller->pendingDeviceExchanges(), std::size_t(0), DEVICE_TIMEOUT_MS);
    QVERIFY(!visibleAlert());
    QVERIFY(m_window->homeRow()->button(ECHomeRow::Messages)->isEnabled());
    QCOMPARE(alerts.count(), 2);
}

void ECDeviceTrustE2ETest::connectingToAStalledPhoneKeepsTheWindowResponsive()
{
    // The phone answers nothing until the fault is cleared: a connect, pairing or session step on
    // the main thread would freeze the window for good, and none of the headings below could show.
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> { "demo" });
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    QVERIFY(m_sim->detach(DEMO));
    QVERIFY(m_sim->fault(DEMO, { "stall" }));
    launch();
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Connect your iOS Device"), DEVICE_TIMEOUT_MS);
    QStringList headings;
    connect(
        m_controller.get(), &ECAppDelegate::windowTextChanged, this, [&] { headings << m_controller->headingText(); });

    // The window goes on answering meanwhile and says it is connecting; the phone has not told
    // its name yet.
    const QString connecting = QStringLiteral("Connecting to your iOS Device\u2026");
    QVERIFY(offTheMainThread([this] { return m_sim->attach(DEMO); }));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->headingButton()->text(), connecting, DEVICE_TIMEOUT_MS);
    // The phone goes while it is being paired with: what was being made for it is dropped.
    QVERIFY(offTheMainThread([this] { return m_sim->detach(DEMO); }));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Connect your iOS Device"), DEVICE_TIMEOUT_MS);
    QTRY_COMPARE_WITH_TIMEOUT(m_controller->pendingDeviceExchanges(), std::size_t(0), DEVICE_TIMEOUT_MS);
    QVERIFY(m_controller->deviceAccess()->devices().empty());
    QVERIFY(!m_controller->selectedDevice());
    QCOMPARE(m_controller->deviceAccess()->pendingConnects(), std::size_t(0));

    // Plugged in again, still silent, then answering: named as soon as it says its name, and
    // connected in the end.
    headings.clear();
    QVERIFY(offTheMainThread([this] { return m_sim->attach(DEMO); }));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->headingButton()->text(), connecting, DEVICE_TIMEOUT_MS);
    QVERIFY(offTheMainThread([this] { return m_sim->clearFaults(DEMO); }));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->headingButton()->text(), DEMO_CONNECTED, DEVICE_TIMEOUT_MS * 2);
    QVERIFY(headings.contains(connecting));
    QVERIFY2(headings.contains(QStringLiteral("Connecting to Demo iPhone\u2026")), qPrintable(headings.join('|')));
    QVERIFY(!headings.contains(QStringLiteral("Connect your iOS Device")));
    QCOMPARE(m_controller->deviceAccess()->devices().size(), std::size_t(1));
}

void ECDeviceTrustE2ETest::aMissingUsbServiceIsExplainedUntilItStarts()
{
    // Nothing serves the socket the library is pointed at yet: the simulator that will is not
    // started.
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> {});
    qputenv("USBMUXD_SOCKET_ADDRESS", m_sim->socketAddress().c_str());
    launch();
    const QString title = titleOf(AMDeviceState::UsbServiceNotRunning);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->headingButton()->text(), title, DEVICE_TIMEOUT_MS);
    QCOMPARE(m_window->subheading()->text(), adviceOf(AMDeviceState::UsbServiceNotRunning));
    QVERIFY(m_window->subheading()->text().contains(QStringLiteral("sudo apt install usbmuxd")));
    // The advice wraps within the window rather than running off both edges.
    QLabel* advice = m_window->subheading();
    QVERIFY(advice->wordWrap());
    QTRY_VERIFY(advice->heightForWidth(advice->width()) <= advice->height());
    QVERIFY(m_window->rect().contains(QRect(advice->mapTo(m_window.get(), QPoint(0, 0)), advice->size())));

    // The service starts (its socket appears where the library looks) and a phone is plugged
    // in: found without a restart.
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Connect your iOS Device"), DEVICE_TIMEOUT_MS);
    QVERIFY(m_sim->attach("demo"));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->headingButton()->text(), DEMO_CONNECTED, DEVICE_TIMEOUT_MS);
    // Its tools' requests wait for a silent phone no longer than the command line's do.
    QVERIFY(m_controller->selectedDevice());
    QCOMPARE(m_controller->selectedDevice()->afcIOTimeout(), ECDeviceSelection::AFC_REQUEST_TIMEOUT_SECONDS);
}

void ECDeviceTrustE2ETest::aServiceThatListensJustAfterItsSocketAppearsIsFound()
{
    // The service runs behind a socket of its own; the one the library is pointed at is there
    // but not yet listening, as between a starting service's bind() and its listen().
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> {});
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    const TemporaryDirectory folder;
    const std::string socket = (folder.path() / "usbmuxd.sock").string();
    LateListeningSocket service(socket, m_sim->socketPath().string());
    QVERIFY(service.bound());
    qputenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket).c_str());
    launch();
    const QString title = titleOf(AMDeviceState::UsbServiceNotRunning);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->headingButton()->text(), title, DEVICE_TIMEOUT_MS);
    // Listening changes nothing in the folder, yet the window finds the service, well within the
    // bound here (a window that missed it would wait for ever).
    QVERIFY(service.listen());
    QTRY_COMPARE_WITH_TIMEOUT(
        m_window->headingButton()->text(), QStringLiteral("Connect your iOS Device"), DEVICE_TIMEOUT_MS / 3);
}

QTEST_MAIN(ECDeviceTrustE2ETest)
#include "ECDeviceTrustE2ETest.moc"
