#include "app/ECEmailSignup.h"

#include "app/ECUserDefaultsKeys.h"
#include "base/Log.h"
#include "platform/UserDefaults.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrlQuery>

#ifndef TORVANE_SIGNUP_URL
#define TORVANE_SIGNUP_URL "https://torvane.org"
#endif

namespace {

constexpr int TRANSFER_TIMEOUT_MS = 30000;

bool isLoopbackHost(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

bool ECEmailSignup::isValidEmailAddress(const QString& text)
{
    // Top-level domains are no longer two to four letters ("photography", "museum"): any run of
    // two or more letters ends the domain.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[A-Z0-9a-z._%+-]{1,64}@(?:[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?\\.)+[A-Za-z]{2,63}")));
    constexpr int MAX_ADDRESS_LENGTH = 254;
    return text.size() <= MAX_ADDRESS_LENGTH && pattern.match(text).hasMatch();
}

QUrl ECEmailSignup::defaultBaseUrl()
{
    const QString configured = qEnvironmentVariable("TORVANE_SIGNUP_URL");
    return QUrl(configured.isEmpty() ? QStringLiteral(TORVANE_SIGNUP_URL) : configured);
}

std::optional<QUrl> ECEmailSignup::requestUrl(
    const QUrl& base, const QString& email, std::int64_t contact, QString* error)
{
    const QString scheme = base.scheme().toLower();
    if (!base.isValid() || base.host().isEmpty()
        || (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        *error = QStringLiteral("the sign-up address %1 is not a web address").arg(base.toString());
        return std::nullopt;
    }
    if (scheme == QLatin1String("http") && !isLoopbackHost(base.host())) {
        *error = QStringLiteral("refusing to send the address unencrypted to %1").arg(base.host());
        return std::nullopt;
    }
    QUrl url = base;
    QString path = base.path();
    while (path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    url.setPath(path + QStringLiteral("/register/"));
    // QUrlQuery keeps "+" as it is, which servers read as a space, and takes "%41" for an
    // encoded "A": the address goes in fully percent-encoded so it arrives exactly as typed.
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("email"), QString::fromLatin1(QUrl::toPercentEncoding(email)));
    query.addQueryItem(QStringLiteral("contact"), QString::number(contact));
    url.setQuery(query);
    url.setFragment(QString());
    return url;
}

ECEmailSignup::Outcome ECEmailSignup::classifyReply(bool failed, int httpStatus, std::int64_t bodySize)
{
    if (failed || httpStatus < 200 || httpStatus > 299) {
        return Outcome::ConnectionError;
    }
    return bodySize > 0 ? Outcome::Registered : Outcome::EmptyReply;
}

ECEmailSignup::ECEmailSignup(UserDefaults& defaults)
    : m_defaults(defaults)
    , m_baseUrl(defaultBaseUrl())
{
}

ECEmailSignup::~ECEmailSignup()
{
    m_queue.cancelAllOperations();
    {
        // The abort runs in the request's own thread; the reply clears itself from here before it
        // is deleted, and a call queued to a deleted reply is dropped.
        std::lock_guard lock(m_running->mutex);
        m_running->cancelled = true;
        if (m_running->reply) {
            QMetaObject::invokeMethod(m_running->reply, &QNetworkReply::abort, Qt::QueuedConnection);
        }
    }
    m_queue.waitUntilAllOperationsAreFinished();
}

void ECEmailSignup::submitEmailFromDefaults(std::function<void(Outcome)> finished)
{
    const QString email = m_defaults.stringForKey(ECUserDefaultsKeys::USERS_EMAIL);
    const std::int64_t contact = m_defaults.integerForKey(ECUserDefaultsKeys::CAN_CONTACT_USER);
    QString error;
    const std::optional<QUrl> url = requestUrl(m_baseUrl, email, contact, &error);
    if (!url) {
        logLine(LOG_APP, "Connection Error: %s", qUtf8Printable(error));
        if (finished) {
            finished(Outcome::ConnectionError);
        }
        return;
    }
    UserDefaults* defaults = &m_defaults;
    m_queue.addOperation([defaults, running = m_running, url = *url, finished = std::move(finished)](const Operation&) {
        // The queue's thread runs its own event loop for the one request, so the reply is
        // handled here and never on the interface thread.
        QNetworkAccessManager manager;
        QNetworkRequest request(url);
        request.setTransferTimeout(TRANSFER_TIMEOUT_MS);
        QNetworkReply* reply = manager.get(request);
        // Only whether a body came matters: it is counted and dropped, so a server that sends
        // without end costs no memory.
        std::int64_t bodySize = 0;
        QObject::connect(
            reply, &QNetworkReply::readyRead, reply, [reply, &bodySize] { bodySize += reply->readAll().size(); });
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        bool cancelled = false;
        {
            std::lock_guard lock(running->mutex);
            running->reply = reply;
            cancelled = running->cancelled;
        }
        if (cancelled) {
            reply->abort();
        }
        if (!reply->isFinished()) {
            loop.exec();
        }
        {
            std::lock_guard lock(running->mutex);
            running->reply = nullptr;
        }
        bodySize += reply->readAll().size();
        const bool failed = reply->error() != QNetworkReply::NoError;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const Outcome outcome = classifyReply(failed, status, bodySize);
        switch (outcome) {
        case Outcome::Registered:
            logLine(LOG_APP, "Registered email");
            defaults->setBool(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL, true);
            defaults->synchronize();
            break;
        case Outcome::EmptyReply:
            logLine(LOG_APP, "Empty reply.");
            break;
        case Outcome::ConnectionError: {
            // Qt's error text can quote the whole request, the address included; the log goes
            // to the system log, so the address is taken out.
            const QString problem = failed
                ? reply->errorString().replace(url.toString(), url.adjusted(QUrl::RemoveQuery).toString())
                : QStringLiteral("HTTP status %1").arg(status);
            logLine(LOG_APP, "Connection Error: %s", qUtf8Printable(problem));
            break;
        }
        }
        delete reply;
        if (finished) {
            finished(outcome);
        }
    });
}
