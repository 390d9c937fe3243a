#include "app/ECEmailSignup.h"

#include "app/ECAppDelegate.h"
#include "app/ECMainWindow.h"
#include "app/ECSubmitEmailWindow.h"
#include "app/ECUserDefaultsKeys.h"
#include "base/Log.h"
#include "device/mobile_device.h"
#include "platform/QtRunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <atomic>
#include <memory>

namespace {

/// A web server on 127.0.0.1 that records each sign-up request, decoding its query the way web
/// servers decode forms ("+" is a space, "%XX" a byte), and answers with the status and body set
/// for it.
class SignupServer : public QObject
{
public:
    struct Request
    {
        QString path;
        QString email;
        QString contact;
    };

    SignupServer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost); }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort())); }
    void answer(int status, const QByteArray& body)
    {
        m_status = status;
        m_body = body;
    }
    const QList<Request>& requests() const { return m_requests; }

private:
    static QString formDecoded(QString value)
    {
        value.replace(QLatin1Char('+'), QLatin1Char(' '));
        return QUrl::fromPercentEncoding(value.toLatin1());
    }

    void serve(QTcpSocket* socket)
    {
        QByteArray& pending = m_pending[socket];
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n")) {
            return;
        }
        const QList<QByteArray> requestLine = pending.left(pending.indexOf("\r\n")).split(' ');
        m_pending.remove(socket);
        const QByteArray target = requestLine.value(1);
        Request request;
        request.path = QString::fromLatin1(target.left(target.indexOf('?')));
        for (const QByteArray& pair : target.mid(target.indexOf('?') + 1).split('&')) {
            const QString key = QString::fromLatin1(pair.left(pair.indexOf('=')));
            const QString value = formDecoded(QString::fromLatin1(pair.mid(pair.indexOf('=') + 1)));
            if (key == QLatin1String("email")) {
                request.email = value;
            } else if (key == QLatin1String("contact")) {
                request.contact = value;
            }
        }
        m_requests.append(request);
        socket->write(QByteArrayLiteral("HTTP/1.1 ") + QByteArray::number(m_status) + " Answer\r\nContent-Length: "
            + QByteArray::number(m_body.size()) + "\r\nConnection: close\r\n\r\n" + m_body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_pending;
    QList<Request> m_requests;
    int m_status { 200 };
    QByteArray m_body { "OK" };
};

} // namespace

/// The mailing-list sign-up: the sheet, the address rule, saving, the request a local server
/// receives, the reply rules and the retry at the next launch.
class ECEmailSignupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void addressPatternCoversTheWholeText_data();
    void addressPatternCoversTheWholeText();
    void sheetEnablesSubmitOnlyForAValidAddress();
    void disabledSubmitSavesAndSendsNothing();
    void contactValueFollowsTheCheckBox_data();
    void contactValueFollowsTheCheckBox();
    void emptyReplyKeepsItPendingUntilALaterLaunch();
    void failedRepliesKeepItPending_data();
    void failedRepliesKeepItPending();
    void addressArrivesExactlyAsTyped();
    void addressIsNeverSentUnencryptedToAnotherHost_data();
    void addressIsNeverSentUnencryptedToAnotherHost();
    void signUpSaysWhatBecameOfTheAddress_data();
    void signUpSaysWhatBecameOfTheAddress();
    void quittingAbortsARequestTheServerLeavesOpen();

private:
    std::unique_ptr<ECAppDelegate> makeController();
    /// Types `address` into a new sheet, sets the check box and submits.
    void signUp(ECAppDelegate& controller, const QString& address, bool otherOffers);
    bool settled(const ECAppDelegate& controller) const { return controller.emailSignup().pendingRequests() == 0; }

    std::unique_ptr<SimulatorFixture> m_sim;
    std::unique_ptr<QtRunLoop> m_mainLoop;
    std::unique_ptr<TemporaryDirectory> m_folder;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<SignupServer> m_server;
};

void ECEmailSignupTest::initTestCase()
{
    // A simulator with no phone: the controller's device manager has a daemon to talk to.
    m_sim = std::make_unique<SimulatorFixture>(std::vector<std::string> {});
    QVERIFY2(m_sim->start(), m_sim->lastError().c_str());
    m_mainLoop = std::make_unique<QtRunLoop>();
    RunLoop::setMain(m_mainLoop.get());
}

void ECEmailSignupTest::cleanupTestCase()
{
    m_sim.reset();
}

void ECEmailSignupTest::init()
{
    m_folder = std::make_unique<TemporaryDirectory>();
    m_defaults = std::make_unique<UserDefaults>(QString::fromStdString((m_folder->path() / "Torvane.conf").string()));
    m_defaults->setBool(ECUserDefaultsKeys::HAS_RUN_APP_ONCE, true);
    qputenv("TORVANE_EVENT_STORE", (m_folder->path() / "events.sqlite").string().c_str());
    m_server = std::make_unique<SignupServer>();
    QVERIFY(m_server->listen());
    // Every controller of the test reaches this server and nothing else.
    qputenv("TORVANE_SIGNUP_URL", m_server->url().toString().toUtf8());
}

void ECEmailSignupTest::cleanup()
{
    m_server.reset();
    m_defaults.reset();
    m_folder.reset();
}

std::unique_ptr<ECAppDelegate> ECEmailSignupTest::makeController()
{
    auto controller = std::make_unique<ECAppDelegate>(MobileDevice::shared(), *m_defaults, ECAppDelegate::Modules {});
    [&] { QCOMPARE(controller->emailSignup().baseUrl(), m_server->url()); }();
    return controller;
}

void ECEmailSignupTest::signUp(ECAppDelegate& controller, const QString& address, bool otherOffers)
{
    ECMainWindow window(controller);
    window.show();
    controller.showEmailSheet();
    QVERIFY(window.submitEmailWindow() && window.submitEmailWindow()->isVisible());
    ECSubmitEmailWindow* sheet = window.submitEmailWindow();
    sheet->emailField()->clear();
    QTest::keyClicks(sheet->emailField(), address);
    sheet->otherOffersCheck()->setChecked(otherOffers);
    QVERIFY(sheet->submitEmailButton()->isEnabled());
    QTest::mouseClick(sheet->submitEmailButton(), Qt::LeftButton);
    QTRY_VERIFY(!window.submitEmailWindow());
}

void ECEmailSignupTest::addressPatternCoversTheWholeText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("dot and two letters") << "jane@example.io" << true;
    QTest::newRow("four letters") << "jane.doe@mail.example.info" << true;
    QTest::newRow("every allowed sign") << "a.b_c%d+e-f@sub-domain.example.org" << true;
    QTest::newRow("no dot in the domain") << "jane@localhost" << false;
    QTest::newRow("five letters at the end") << "jane@example.email" << true;
    QTest::newRow("a long top-level domain") << "jo@example.photography" << true;
    QTest::newRow("hyphen starting a label") << "jo@-example.org" << false;
    QTest::newRow("empty label") << "jo@example..org" << false;
    QTest::newRow("one letter at the end") << "jane@example.c" << false;
    QTest::newRow("digits at the end") << "jane@example.123" << false;
    QTest::newRow("no name") << "@example.org" << false;
    QTest::newRow("two at signs") << "jane@@example.org" << false;
    QTest::newRow("space before") << " jane@example.org" << false;
    QTest::newRow("text after") << "jane@example.org and more" << false;
    QTest::newRow("letter outside ASCII") << "jané@example.org" << false;
    QTest::newRow("empty") << "" << false;
}

void ECEmailSignupTest::addressPatternCoversTheWholeText()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(ECEmailSignup::isValidEmailAddress(text), valid);
}

void ECEmailSignupTest::sheetEnablesSubmitOnlyForAValidAddress()
{
    auto controller = makeController();
    ECMainWindow window(*controller);
    window.show();
    controller->applicationDidFinishLaunching();
    // Never forced on the user: launching shows no sheet.
    QVERIFY(!window.submitEmailWindow());
    QVERIFY(!m_defaults->hasStoredValueForKey(ECUserDefaultsKeys::DID_SHOW_EMAIL_SHEET));

    controller->showEmailSheet();
    ECSubmitEmailWindow* sheet = window.submitEmailWindow();
    QVERIFY(sheet && sheet->isVisible() && sheet->isModal());
    QVERIFY(m_defaults->hasStoredValueForKey(ECUserDefaultsKeys::DID_SHOW_EMAIL_SHEET));
    QVERIFY(m_defaults->boolForKey(ECUserDefaultsKeys::DID_SHOW_EMAIL_SHEET));
    QVERIFY(!sheet->submitEmailButton()->isEnabled());
    QTest::keyClicks(sheet->emailField(), QStringLiteral("jane@example"));
    QVERIFY(!sheet->submitEmailButton()->isEnabled());
    QTest::keyClicks(sheet->emailField(), QStringLiteral(".io"));
    QVERIFY(sheet->submitEmailButton()->isEnabled());
    QTest::keyClicks(sheet->emailField(), QStringLiteral("-"));
    QVERIFY(!sheet->submitEmailButton()->isEnabled());

    // "Not Now" dismisses it without saving or sending.
    controller->hideEmailScreen();
    QTRY_VERIFY(!window.submitEmailWindow());
    QVERIFY(!m_defaults->boolForKey(ECUserDefaultsKeys::USER_DID_SET_EMAIL));
    QVERIFY(settled(*controller));
    QCOMPARE(m_server->requests().size(), 0);
}

void ECEmailSignupTest::disabledSubmitSavesAndSendsNothing()
{
    auto controller = makeController();
    controller->showEmailSheet();
    controller->controlTextDidChange(QStringLiteral("jane@example"));
    QVERIFY(!controller->submitEmailButtonEnabled());
    controller->saveEmail();
    QVERIFY(!m_defaults->hasStoredValueForKey(ECUserDefaultsKeys::USER_DID_SET_EMAIL));
    QVERIFY(!m_defaults->hasStoredValueForKey(ECUserDefaultsKeys::USERS_EMAIL));
    QVERIFY(settled(*controller));
    QCOMPARE(m_server->requests().size(), 0);
}

void ECEmailSignupTest::contactValueFollowsTheCheckBox_data()
{
    QTest::addColumn<bool>("otherOffers");
    QTest::addColumn<QString>("contact");
    QTest::newRow("off") << false << "0";
    QTest::newRow("on") << true << "1";
}

void ECEmailSignupTest::contactValueFollowsTheCheckBox()
{
    QFETCH(bool, otherOffers);
    QFETCH(QString, contact);
    LogCapture log;
    auto controller = makeController();
    signUp(*controller, QStringLiteral("jane@example.org"), otherOffers);
    QCOMPARE(m_defaults->integerForKey(ECUserDefaultsKeys::USER_DID_SET_EMAIL), 1);
    QCOMPARE(m_defaults->stringForKey(ECUserDefaultsKeys::USERS_EMAIL), QStringLiteral("jane@example.org"));
    QCOMPARE(m_defaults->integerForKey(ECUserDefaultsKeys::CAN_CONTACT_USER), otherOffers ? 1 : 0);
    QTRY_VERIFY(settled(*controller));
    QCOMPARE(m_server->requests().size(), 1);
    QCOMPARE(m_server->requests().at(0).path, QStringLiteral("/register/"));
    QCOMPARE(m_server->requests().at(0).email, QStringLiteral("jane@example.org"));
    QCOMPARE(m_server->requests().at(0).contact, contact);
    QVERIFY(log.contains("Registered email"));
    QVERIFY(m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
    // Written to disk at once: a second store on the same file sees it.
    QVERIFY(UserDefaults(m_defaults->fileName()).boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
}

void ECEmailSignupTest::emptyReplyKeepsItPendingUntilALaterLaunch()
{
    LogCapture log;
    m_server->answer(200, QByteArray());
    {
        auto controller = makeController();
        controller->applicationDidFinishLaunching();
        QVERIFY(settled(*controller)); // nothing saved yet: nothing to send
        signUp(*controller, QStringLiteral("jane@example.org"), true);
        QTRY_VERIFY(settled(*controller));
        QCOMPARE(m_server->requests().size(), 1);
        QVERIFY(log.contains("Empty reply."));
        QVERIFY(!m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
    }
    // The next launch sends the saved address again; this time the server takes it.
    m_server->answer(200, QByteArrayLiteral("thanks"));
    {
        auto controller = makeController();
        controller->applicationDidFinishLaunching();
        QTRY_VERIFY(settled(*controller));
        QCOMPARE(m_server->requests().size(), 2);
        QCOMPARE(m_server->requests().at(1).email, QStringLiteral("jane@example.org"));
        QCOMPARE(m_server->requests().at(1).contact, QStringLiteral("1"));
        QVERIFY(log.contains("Registered email"));
        QVERIFY(m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
    }
    // Registered: later launches send nothing.
    auto controller = makeController();
    controller->applicationDidFinishLaunching();
    QVERIFY(settled(*controller));
    QCOMPARE(m_server->requests().size(), 2);

    // A new address is pending until it arrives, even though an older one did.
    m_server->answer(200, QByteArray());
    signUp(*controller, QStringLiteral("jane@example.net"), false);
    QTRY_VERIFY(settled(*controller));
    QCOMPARE(m_server->requests().size(), 3);
    QVERIFY(!m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
    auto relaunched = makeController();
    relaunched->applicationDidFinishLaunching();
    QTRY_VERIFY(settled(*relaunched));
    QCOMPARE(m_server->requests().size(), 4);
    QCOMPARE(m_server->requests().at(3).email, QStringLiteral("jane@example.net"));
}

void ECEmailSignupTest::failedRepliesKeepItPending_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("serverUp");
    QTest::newRow("server error with a body") << 500 << QByteArray("Internal error") << true;
    QTest::newRow("not found with a body") << 404 << QByteArray("<html>missing</html>") << true;
    QTest::newRow("nobody listening") << 200 << QByteArray("OK") << false;
}

void ECEmailSignupTest::failedRepliesKeepItPending()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, serverUp);
    m_server->answer(status, body);
    const QUrl url = m_server->url();
    if (!serverUp) {
        // The port was just free; with the server gone nobody answers there.
        m_server.reset();
    }
    m_defaults->setInteger(ECUserDefaultsKeys::USER_DID_SET_EMAIL, 1);
    m_defaults->setString(ECUserDefaultsKeys::USERS_EMAIL, QStringLiteral("jane@example.org"));
    LogCapture log;
    auto controller = std::make_unique<ECAppDelegate>(MobileDevice::shared(), *m_defaults, ECAppDelegate::Modules {});
    controller->emailSignup().setBaseUrl(url);
    controller->applicationDidFinishLaunching();
    QTRY_VERIFY(settled(*controller));
    if (serverUp) {
        QCOMPARE(m_server->requests().size(), 1);
    }
    const auto lines = log.lines();
    QVERIFY2(std::any_of(lines.begin(), lines.end(),
                 [](const std::string& line) { return line.starts_with("Connection Error: "); }),
        "no connection error logged");
    // The log goes to the system log: the address never appears in it.
    for (const std::string& line : lines) {
        QVERIFY2(line.find("jane") == std::string::npos, line.c_str());
    }
    QVERIFY(!log.contains("Registered email"));
    QVERIFY(!m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
    QVERIFY(m_defaults->boolForKey(ECUserDefaultsKeys::USER_DID_SET_EMAIL));
}

void ECEmailSignupTest::signUpSaysWhatBecameOfTheAddress_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::newRow("accepted") << 200 << QByteArray("OK") << "You're signed up";
    QTest::newRow("empty reply") << 200 << QByteArray() << "Torvane could not reach its server";
    QTest::newRow("server error") << 500 << QByteArray("broken") << "Torvane could not reach its server";
}

void ECEmailSignupTest::signUpSaysWhatBecameOfTheAddress()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    LocalHttpServer server([status, body](const std::string&) {
        return LocalHttpServer::Reply { true, status, body.toStdString() };
    });
    QVERIFY(server.isListening());
    auto controller = makeController();
    controller->emailSignup().setBaseUrl(QUrl(QString::fromStdString(server.baseUrl())));
    ECMainWindow window(*controller);
    window.show();
    controller->showEmailSheet();
    ECSubmitEmailWindow* sheet = window.submitEmailWindow();
    QVERIFY(sheet);
    QTest::keyClicks(sheet->emailField(), QStringLiteral("jo@example.photography"));
    QVERIFY(sheet->submitEmailButton()->isEnabled());
    QTest::mouseClick(sheet->submitEmailButton(), Qt::LeftButton);
    QTRY_VERIFY(window.signupResult() && window.signupResult()->isVisible());
    QMessageBox* box = window.signupResult();
    QCOMPARE(box->text(), message);
    QCOMPARE(server.targets().size(), std::size_t(1));
    const bool registered = status == 200 && !body.isEmpty();
    QCOMPARE(m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL), registered);
    if (!registered) {
        // The promise the message makes holds: the next launch sends the saved address again.
        QVERIFY(box->informativeText().contains(QStringLiteral("try again next time it starts")));
        auto relaunched = makeController();
        relaunched->emailSignup().setBaseUrl(QUrl(QString::fromStdString(server.baseUrl())));
        relaunched->applicationDidFinishLaunching();
        QTRY_VERIFY(settled(*relaunched));
        QCOMPARE(server.targets().size(), std::size_t(2));
    }
}

void ECEmailSignupTest::addressArrivesExactlyAsTyped()
{
    // "+" would arrive as a space and "%41" as "A" if the address went in as it is.
    const QString address = QStringLiteral("jane+phone%41x@example.org");
    auto controller = makeController();
    signUp(*controller, address, false);
    QTRY_VERIFY(settled(*controller));
    QCOMPARE(m_server->requests().size(), 1);
    QCOMPARE(m_server->requests().at(0).email, address);
    QVERIFY(m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
}

void ECEmailSignupTest::addressIsNeverSentUnencryptedToAnotherHost_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("request");
    QTest::newRow("https") << "https://signup.example.org"
                           << "https://signup.example.org/register/?email=a%40b.io&contact=1";
    QTest::newRow("https under a path") << "https://example.org/api/"
                                        << "https://example.org/api/register/?email=a%40b.io&contact=1";
    QTest::newRow("http to 127.0.0.1") << "http://127.0.0.1:8080"
                                       << "http://127.0.0.1:8080/register/?email=a%40b.io&contact=1";
    QTest::newRow("http to localhost") << "http://localhost:8080"
                                       << "http://localhost:8080/register/?email=a%40b.io&contact=1";
    QTest::newRow("http to ::1") << "http://[::1]:8080"
                                 << "http://[::1]:8080/register/?email=a%40b.io&contact=1";
    QTest::newRow("http elsewhere") << "http://signup.example.org"
                                    << "";
    QTest::newRow("http to a LAN address") << "http://192.168.1.2"
                                           << "";
    QTest::newRow("not a web address") << "ftp://example.org"
                                       << "";
    QTest::newRow("no host") << "https://"
                             << "";
}

void ECEmailSignupTest::addressIsNeverSentUnencryptedToAnotherHost()
{
    QFETCH(QString, base);
    QFETCH(QString, request);
    QString error;
    const std::optional<QUrl> url = ECEmailSignup::requestUrl(QUrl(base), QStringLiteral("a@b.io"), 1, &error);
    if (request.isEmpty()) {
        QVERIFY(!url);
        QVERIFY(!error.isEmpty());
        // A refused address stays pending and nothing goes out.
        m_defaults->setInteger(ECUserDefaultsKeys::USER_DID_SET_EMAIL, 1);
        m_defaults->setString(ECUserDefaultsKeys::USERS_EMAIL, QStringLiteral("a@b.io"));
        ECEmailSignup signup(*m_defaults);
        signup.setBaseUrl(QUrl(base));
        LogCapture log;
        signup.submitEmailFromDefaults();
        QCOMPARE(signup.pendingRequests(), std::size_t(0));
        QCOMPARE(log.lines().size(), std::size_t(1));
        QVERIFY(log.lines().at(0).starts_with("Connection Error: "));
        QVERIFY(!m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
    } else {
        QVERIFY2(url, qPrintable(error));
        QCOMPARE(url->toString(QUrl::FullyEncoded), request);
    }
}

void ECEmailSignupTest::quittingAbortsARequestTheServerLeavesOpen()
{
    // A server that takes the connection and never answers: only the abort ends the request
    // before its thirty-second time-out.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    m_defaults->setString(ECUserDefaultsKeys::USERS_EMAIL, QStringLiteral("jane@example.com"));
    std::atomic<int> outcome { -1 };
    auto signup = std::make_unique<ECEmailSignup>(*m_defaults);
    signup->setBaseUrl(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort())));
    signup->submitEmailFromDefaults([&outcome](ECEmailSignup::Outcome result) { outcome = int(result); });
    QTRY_VERIFY(silent.hasPendingConnections());
    QElapsedTimer quitting;
    quitting.start();
    signup.reset();
    QVERIFY2(quitting.elapsed() < 15000, qPrintable(QString::number(quitting.elapsed())));
    QCOMPARE(outcome.load(), int(ECEmailSignup::Outcome::ConnectionError));
    QVERIFY(!m_defaults->boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL));
}

QTEST_MAIN(ECEmailSignupTest)
#include "ECEmailSignupTest.moc"
