#include "app/ECSiteLinks.h"

#include "app/ECUserDefaultsKeys.h"
#include "platform/UserDefaults.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>

#ifndef TORVANE_SITE_URL
#define TORVANE_SITE_URL "https://torvane.org"
#endif

ECSiteLinks::ECSiteLinks(UserDefaults& defaults, QObject* parent)
    : QObject(parent)
    , m_siteBaseUrl(QUrl(QStringLiteral(TORVANE_SITE_URL)))
    , m_pageOpener([this](const QUrl& url) { return openInBrowser(url); })
{
    const QString site = defaults.stringForKey(ECUserDefaultsKeys::PRODUCT_SITE);
    if (!site.isEmpty()) {
        m_siteBaseUrl = QUrl(site);
    }
}

QUrl ECSiteLinks::pageUrl(const QString& pathAndFragment) const
{
    QString base = m_siteBaseUrl.toString();
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    return QUrl(base + pathAndFragment);
}

void ECSiteLinks::openPage(const QString& pathAndFragment)
{
    const QUrl url = pageUrl(pathAndFragment);
    if (m_pageOpener && !m_pageOpener(url)) {
        emit pageOpenFailed(url);
    }
}

bool ECSiteLinks::openInBrowser(const QUrl& url)
{
    // xdg-open says by its exit status whether a browser took the page; the desktop services
    // only say whether the opener started. Without xdg-open they are all there is.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        return QDesktopServices::openUrl(url);
    }
    auto* process = new QProcess(this);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setStandardOutputFile(QProcess::nullDevice());
    connect(process, &QProcess::finished, this, [this, process, url](int exitCode, QProcess::ExitStatus status) {
        process->deleteLater();
        if (status != QProcess::NormalExit || exitCode != 0) {
            emit pageOpenFailed(url);
        }
    });
    connect(process, &QProcess::errorOccurred, this, [this, process, url](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            process->deleteLater();
            emit pageOpenFailed(url);
        }
    });
    process->start(opener, { url.toString(QUrl::FullyEncoded) });
    return true;
}
