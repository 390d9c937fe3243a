#include "views/ECModuleDialog.h"

#include "modules/ECModule.h"
#include "views/ECModuleView.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

ECModuleDialog::ECModuleDialog(ECModule* module, QWidget* view, QWidget* parent)
    : QDialog(parent)
    , m_module(module)
{
    setObjectName(QStringLiteral("moduleWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(module ? module->titleText() : QString());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (!view) {
        view = new QWidget(this);
    }
    m_view = qobject_cast<ECModuleView*>(view);
    layout->addWidget(view);
    resize(680, 480);
    if (module) {
        module->setHost(this);
        connect(module, &ECModule::windowCloseRequested, this, &ECModuleDialog::moduleRequestedClose);
    }
}

ECModuleDialog::~ECModuleDialog()
{
    if (m_module && m_module->host() == this) {
        m_module->setHost(nullptr);
    }
}

void ECModuleDialog::wrapTexts(QMessageBox* box)
{
    constexpr int TEXT_WIDTH = 380;
    for (const char* name : { "qt_msgbox_label", "qt_msgbox_informativelabel" }) {
        if (auto* label = box->findChild<QLabel*>(QLatin1String(name))) {
            label->setWordWrap(true);
            label->setMinimumWidth(std::min(TEXT_WIDTH, label->fontMetrics().horizontalAdvance(label->text())));
        }
    }
}

void ECModuleDialog::presentAlert(const ECModuleAlert& alert, std::function<void(int button)> answer)
{
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setText(alert.message);
    box->setInformativeText(alert.informativeText);
    QList<QAbstractButton*> buttons;
    const QStringList titles = alert.buttons.isEmpty() ? QStringList { QStringLiteral("OK") } : alert.buttons;
    for (int i = 0; i < titles.size(); ++i) {
        auto* button = box->addButton(titles.at(i), i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
        buttons.append(button);
        if (i == 0) {
            box->setDefaultButton(button);
        }
    }
    wrapTexts(box);
    auto shared = std::make_shared<std::function<void(int)>>(std::move(answer));
    connect(box, &QMessageBox::finished, this, [box, buttons, shared](int) {
        if (*shared) {
            const int index = int(buttons.indexOf(box->clickedButton()));
            auto callback = std::exchange(*shared, nullptr);
            callback(index);
        }
    });
    box->open();
    if (alert.raise != 0) {
        box->move(box->pos() - QPoint(0, alert.raise));
    }
}

void ECModuleDialog::chooseFolder(
    const QString& title, const QString& startFolder, std::function<void(std::optional<QString> folder)> answer)
{
    auto* chooser = new QFileDialog(this, title, startFolder);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setFileMode(QFileDialog::Directory);
    chooser->setOption(QFileDialog::ShowDirsOnly);
    chooser->setWindowModality(Qt::WindowModal);
    auto shared = std::make_shared<std::function<void(std::optional<QString>)>>(std::move(answer));
    connect(chooser, &QFileDialog::finished, this, [chooser, shared](int result) {
        if (!*shared) {
            return;
        }
        auto callback = std::exchange(*shared, nullptr);
        const QStringList chosen = chooser->selectedFiles();
        if (result == QDialog::Accepted && !chosen.isEmpty()) {
            callback(chosen.first());
        } else {
            callback(std::nullopt);
        }
    });
    chooser->open();
}

void ECModuleDialog::openUrl(const QUrl& url)
{
    QDesktopServices::openUrl(url);
}

void ECModuleDialog::reject()
{
    if (m_module) {
        m_module->close();
    } else {
        QDialog::reject();
    }
}

void ECModuleDialog::closeEvent(QCloseEvent* event)
{
    if (m_closingForModule || !m_module) {
        QDialog::closeEvent(event);
        return;
    }
    // The window's close button is the module's cancel/done button; the window goes only when
    // the module agrees (it stays while a deletion is under way).
    m_module->close();
    if (m_closingForModule) {
        QDialog::closeEvent(event);
    } else {
        event->ignore();
    }
}

void ECModuleDialog::moduleRequestedClose()
{
    m_closingForModule = true;
    done(QDialog::Accepted);
}
