#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

/// An alert a module wants answered: the message in bold, the informative text beneath, and the
/// buttons from right to left (the first is the default).
struct ECModuleAlert
{
    QString message;
    QString informativeText;
    QStringList buttons;
    /// Points the alert is shown above where the window would put it.
    int raise { 0 };
};

/// What a module asks of whoever shows it: answers to alerts, a folder choice, opening a page or
/// folder. Every answer comes later on the main thread, through the callback; nothing here waits
/// in a nested event loop. The module window answers with window-modal dialogs; tests answer
/// directly.
class ECModuleHost
{
public:
    virtual ~ECModuleHost() = default;

    /// `answer` receives the index of the pressed button, or -1 when the alert went away unanswered.
    virtual void presentAlert(const ECModuleAlert& alert, std::function<void(int button)> answer) = 0;
    /// `answer` receives the chosen folder, or nothing when the user cancelled.
    virtual void chooseFolder(
        const QString& title, const QString& startFolder, std::function<void(std::optional<QString> folder)> answer)
        = 0;
    /// Opens a web page, a mail or a local folder in the desktop's own application.
    virtual void openUrl(const QUrl& url) = 0;
};
