#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class UserDefaults;

/// The product's web pages the window links to (help, how it works, backups), opened in the
/// desktop's browser. The site is the one the build was configured with, unless the defaults
/// name another ("productSite").
class ECSiteLinks : public QObject
{
    Q_OBJECT
public:
    static inline const QString HELP_PAGE = QStringLiteral("/faq");
    static inline const QString BACKUP_HELP_PAGE = QStringLiteral("/faq#backup");
    static inline const QString HOW_IT_WORKS_PAGE = QStringLiteral("/howitworks");

    explicit ECSiteLinks(UserDefaults& defaults, QObject* parent = nullptr);

    /// The product's web site, "https://" by default; pages are opened under it.
    void setSiteBaseUrl(const QUrl& url) { m_siteBaseUrl = url; }
    QUrl pageUrl(const QString& pathAndFragment) const;
    /// How web pages are opened: the desktop's browser unless replaced, as tests do. The opener
    /// answers false when no browser could be started; pageOpenFailed() then offers the address.
    void setPageOpener(std::function<bool(const QUrl&)> opener) { m_pageOpener = std::move(opener); }

    void openPage(const QString& pathAndFragment);

signals:
    /// No browser opened `url`: the window shows the address so the user can copy it.
    void pageOpenFailed(const QUrl& url);

private:
    /// Hands `url` to the desktop's opener; a failure that shows only later is reported through
    /// pageOpenFailed() too.
    bool openInBrowser(const QUrl& url);

    QUrl m_siteBaseUrl;
    std::function<bool(const QUrl&)> m_pageOpener;
};
