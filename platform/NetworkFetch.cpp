#include "platform/NetworkFetch.h"

#include "platform/DeviceImages.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

std::optional<QByteArray> fetchUrl(const QUrl& url, std::chrono::milliseconds timeout, qint64 maxSize)
{
    // A manager and an event loop of this thread's own: the callers run on module queues, which
    // have no Qt event loop, and the wait must not spin the main thread's.
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setTransferTimeout(int(timeout.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = manager.get(request);
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    // The transfer time-out restarts with every byte that arrives; this bounds the whole fetch.
    QObject::connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, maxSize](qint64 received, qint64) {
        if (received > maxSize) {
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    deadline.start(timeout);
    if (!reply->isFinished()) {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    std::optional<QByteArray> body;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && (status == 0 || (status >= 200 && status < 300))) {
        body = reply->readAll();
        if (body->size() > maxSize) {
            body.reset();
        }
    }
    delete reply;
    return body;
}

QImage imageFromUrl(const QUrl& url, std::chrono::milliseconds timeout)
{
    constexpr qint64 MAX_PICTURE_SIZE = 8 * 1024 * 1024;
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        return {};
    }
    const std::optional<QByteArray> bytes = fetchUrl(url, timeout, MAX_PICTURE_SIZE);
    if (!bytes || bytes->isEmpty()) {
        return {};
    }
    return decodeDeviceImage(reinterpret_cast<const unsigned char*>(bytes->constData()), std::size_t(bytes->size()));
}
