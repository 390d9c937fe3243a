#include "app/ECModuleCatalog.h"

#include "modules/ECModule.h"
#include "views/ECModuleDialog.h"
#include "views/ECModuleView.h"
#include "views/fill_clearing/ECForceCacheCleanView.h"
#include "views/music/ECMusicView.h"
#include "views/photos/ECPhotoConfigView.h"
#include "views/photos/ECPhotoView.h"

#include <QPointer>
#include <QTest>

#include <memory>

/// The catalog makes each tool's window content for its module: the modules know no widget.
class ECModuleCatalogTest : public QObject
{
    Q_OBJECT

private slots:
    void eachToolGetsItsOwnView();
};

void ECModuleCatalogTest::eachToolGetsItsOwnView()
{
    const ECModules modules = ECModuleCatalog::createModules();
    struct Row
    {
        const char* tool;
        ECModule* module;
        const char* viewClass;
    };
    const Row rows[] = {
        { "apps", modules.appsController, "ECModuleView" },
        { "temp files", modules.cachesController, "ECForceCacheCleanView" },
        { "temp files below 8.3", modules.oldIOSCachesController, "ECModuleView" },
        { "music", modules.musicController, "ECMusicView" },
        { "photos", modules.photosController, "ECPhotoView" },
        { "messages", modules.messagesController, "ECModuleView" },
    };
    QCOMPARE(modules.all().size(), std::size(rows));
    for (const Row& row : rows) {
        QVERIFY2(row.module, row.tool);
        std::unique_ptr<QWidget> view(ECModuleCatalog::createView(row.module, nullptr));
        QVERIFY2(view, row.tool);
        QCOMPARE(view->metaObject()->className(), row.viewClass);
        if (auto* moduleView = qobject_cast<ECModuleView*>(view.get())) {
            QCOMPARE(moduleView->module(), row.module);
        }
        // Only the photo tool shows the photo choices.
        QCOMPARE(view->findChild<ECPhotoConfigView*>() != nullptr, qobject_cast<ECPhotoView*>(view.get()) != nullptr);

        // The module window holds what the catalog made and becomes the module's host.
        QWidget* made = view.get();
        QPointer<ECModuleDialog> window = new ECModuleDialog(row.module, view.release(), nullptr);
        QCOMPARE(made->parentWidget(), window.data());
        QCOMPARE(window->moduleView(), qobject_cast<ECModuleView*>(made));
        QCOMPARE(row.module->host(), static_cast<ECModuleHost*>(window.data()));
        delete window;
        QCOMPARE(row.module->host(), nullptr);
    }
    QVERIFY(!ECModuleCatalog::createView(nullptr, nullptr));
    for (ECModule* module : modules.all()) {
        delete module;
    }
}

QTEST_MAIN(ECModuleCatalogTest)
#include "ECModuleCatalogTest.moc"
