#include "views/photos/ECPhotoConfigView.h"

#include "modules/ECModuleHost.h"
#include "modules/photos/ECPhotoModule.h"
#include "platform/QtRunLoop.h"
#include "platform/image_capture/ICCameraFile.h"
#include "views/ECTimePopupButton.h"
#include "views/photos/ECPhotoView.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <memory>

/// The photo tool's window without a phone: it waits visibly, and its pop-ups carry the choices.
class ECPhotoConfigViewTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_loop = std::make_unique<QtRunLoop>();
        RunLoop::setMain(m_loop.get());
    }
    void cleanupTestCase() { RunLoop::setMain(nullptr); }
    void waitsWithItsChoicesDisabledUntilTheCameraRollIsRead();
    void popupsHandTheirChoicesToTheModule();
    void otherAsksForAFolderAndKeepsTheChoiceOnCancel();
    void saysWhatItWillBackUpAndWhere();

private:
    std::unique_ptr<QtRunLoop> m_loop;
};

namespace {

class FolderHost : public ECModuleHost
{
public:
    void presentAlert(const ECModuleAlert&, std::function<void(int)> answer) override { answer(-1); }
    void chooseFolder(const QString&, const QString&, std::function<void(std::optional<QString>)> answer) override
    {
        ++asked;
        answer(folder);
    }
    void openUrl(const QUrl&) override { }
    std::optional<QString> folder;
    int asked { 0 };
};

QStringList itemsOf(const QComboBox* box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i) {
        items << box->itemText(i);
    }
    return items;
}

} // namespace

void ECPhotoConfigViewTest::waitsWithItsChoicesDisabledUntilTheCameraRollIsRead()
{
    ECPhotoModule module;
    auto view = std::make_unique<ECPhotoView>(&module);
    auto* config = view->findChild<ECPhotoConfigView*>();
    QVERIFY(config);
    QCOMPARE(view->findChild<QLabel*>(QStringLiteral("titleTextField"))->text(),
        QStringLiteral("Back Up & Remove Old Photos"));
    QVERIFY(view->findChild<QLabel*>(QStringLiteral("hintTextField"))->text().contains(QStringLiteral("Photos app")));
    QCOMPARE(config->statusLabel()->text(), ECPhotoModule::WAITING_TEXT);
    QVERIFY(!config->photosAndVideosPopup()->isEnabled());
    QVERIFY(!config->timePopup()->isEnabled());
    QVERIFY(!config->pathPicker()->isEnabled());
    QCOMPARE(itemsOf(config->photosAndVideosPopup()),
        QStringList({ QStringLiteral("Photos and Videos"), QStringLiteral("Photos"), QStringLiteral("Videos") }));
    QCOMPARE(itemsOf(config->pathPicker()),
        QStringList({ QStringLiteral("Pictures"), QStringLiteral("Desktop"), QStringLiteral("Home"), QString(),
            QStringLiteral("Other…") }));
    QCOMPARE(config->timePopup()->currentText(), QStringLiteral("1 Year"));
    auto* deleteButton = view->findChild<QPushButton*>(QStringLiteral("deleteButton"));
    // "&&": the button shows the "&" itself rather than taking it as a keyboard mnemonic marker.
    QCOMPARE(deleteButton->text(), QStringLiteral("Back Up && Remove Files"));
    QVERIFY(!deleteButton->isEnabled());
}

void ECPhotoConfigViewTest::popupsHandTheirChoicesToTheModule()
{
    ECPhotoModule module;
    ECPhotoConfigView config(&module);
    module.setInterfaceEnabled(true);
    QVERIFY(config.photosAndVideosPopup()->isEnabled());
    config.photosAndVideosPopup()->setCurrentIndex(2);
    QCOMPARE(module.mediaChoice(), int(ECPhotoModule::VideosOnly));
    QVERIFY(!module.shouldDeletePhotos());
    QVERIFY(module.shouldDeleteVideos());
    config.timePopup()->setCurrentIndex(8);
    QCOMPARE(module.timeRange(), 86'400.0);
    config.pathPicker()->setCurrentIndex(1);
    emit config.pathPicker()->activated(1);
    QCOMPARE(module.destinationFolder(), QDir::homePath() + QStringLiteral("/Desktop"));
    module.setInterfaceEnabled(false);
    QVERIFY(!config.timePopup()->isEnabled());
}

void ECPhotoConfigViewTest::otherAsksForAFolderAndKeepsTheChoiceOnCancel()
{
    ECPhotoModule module;
    FolderHost host;
    module.setHost(&host);
    ECPhotoConfigView config(&module);
    module.setInterfaceEnabled(true);
    const int other = config.pathPicker()->count() - 1;

    config.pathPicker()->setCurrentIndex(other);
    emit config.pathPicker()->activated(other);
    QCOMPARE(host.asked, 1);
    QCOMPARE(config.pathPicker()->currentIndex(), 0);
    QCOMPARE(module.destinationIndex(), 0);

    host.folder = QStringLiteral("/media/usb/My Photos");
    config.pathPicker()->setCurrentIndex(other);
    emit config.pathPicker()->activated(other);
    QCOMPARE(host.asked, 2);
    QCOMPARE(module.destinationFolder(), QStringLiteral("/media/usb/My Photos"));
    QCOMPARE(config.pathPicker()->currentText(), QStringLiteral("My Photos"));
    QCOMPARE(config.pathPicker()->itemText(config.pathPicker()->count() - 1), QStringLiteral("Other…"));
}

void ECPhotoConfigViewTest::saysWhatItWillBackUpAndWhere()
{
    QLocale::setDefault(QLocale::c());
    const auto file = [](bool movie, std::uint64_t size, const QDateTime& taken) {
        ICCameraFile made;
        made.movie = movie;
        made.fileSize = size;
        made.creationDate = taken;
        return made;
    };
    const QDateTime march(QDate(2015, 3, 7), QTime(10, 0));
    const QDateTime june(QDate(2016, 6, 9), QTime(18, 0));
    struct Case
    {
        std::vector<ICCameraFile> files;
        QString counts;
        QString dates;
    };
    const Case cases[] = {
        { {}, QStringLiteral("0 photos, 0 bytes"), QString() },
        { { file(false, 2'000'000, march) }, QStringLiteral("1 photo, 2.0 MB"), QStringLiteral("Taken 7 Mar 2015") },
        { { file(true, 5'000'000, june), file(false, 1'000'000, march), file(false, 1'000'000, june) },
            QStringLiteral("2 photos and 1 video, 7.0 MB"), QStringLiteral("Taken 7 Mar 2015 \u2013 9 Jun 2016") },
        { { file(true, 1'000'000, QDateTime()) }, QStringLiteral("1 video, 1.0 MB"), QString() },
    };
    for (const Case& test : cases) {
        const ECPhotoConfigView::Summary summary = ECPhotoConfigView::summarize(test.files);
        QCOMPARE(summary.counts, test.counts);
        QCOMPARE(summary.dates, test.dates);
    }

    // The backup folder's whole path, shortened in the middle only when the window is too narrow.
    ECPhotoModule module;
    FolderHost host;
    module.setHost(&host);
    ECPhotoConfigView config(&module);
    module.setInterfaceEnabled(true);
    const QString path = QStringLiteral("/media/usb/A very long folder name for the holiday photos/2016/Summer");
    host.folder = path;
    const int other = config.pathPicker()->count() - 1;
    emit config.pathPicker()->activated(other);
    const QString backups = path + QStringLiteral("/Torvane Backup");
    QCOMPARE(config.folderLabel()->toolTip(), backups);
    config.resize(1200, 300);
    config.show();
    QVERIFY(QTest::qWaitForWindowExposed(&config));
    QTRY_COMPARE(config.folderLabel()->text(), backups);
    config.resize(260, 300);
    QTRY_VERIFY(config.folderLabel()->text() != backups);
    const QString shown = config.folderLabel()->text();
    QVERIFY(shown.startsWith(QStringLiteral("/media")));
    QVERIFY(shown.endsWith(QStringLiteral("Torvane Backup")));
    QVERIFY(config.folderLabel()->fontMetrics().horizontalAdvance(shown) <= config.folderLabel()->width());
    QLocale::setDefault(QLocale::system());
}

QTEST_MAIN(ECPhotoConfigViewTest)
#include "ECPhotoConfigViewTest.moc"
