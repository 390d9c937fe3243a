#pragma once

#include "app/ECAppDelegate.h"
#include "app/ECMainWindow.h"
#include "app/ECUserDefaultsKeys.h"
#include "device/mobile_device.h"
#include "platform/QtRunLoop.h"
#include "platform/UserDefaults.h"
#include "tests/support/SimulatorFixture.h"
#include "tests/support/TestSupport.h"

#include <QObject>

#include <functional>
#include <memory>

/// The application as a user starts it, for the window's end-to-end tests: its settings and event
/// store in a fresh folder, a simulator, the controller and its main window.
class AppTestHarness : public QObject
{
protected:
    /// Once per test case: Qt's event loop is the main run loop.
    void useQtMainLoop()
    {
        m_mainLoop = std::make_unique<QtRunLoop>();
        RunLoop::setMain(m_mainLoop.get());
    }

    /// A fresh settings file and event store, past the first run's welcome.
    void freshSettings()
    {
        m_folder = std::make_unique<TemporaryDirectory>();
        qputenv("TORVANE_EVENT_STORE", (m_folder->path() / "events.sqlite").string().c_str());
        m_defaults
            = std::make_unique<UserDefaults>(QString::fromStdString((m_folder->path() / "Torvane.conf").string()));
        m_defaults->setBool(ECUserDefaultsKeys::HAS_RUN_APP_ONCE, true);
    }

    /// The controller (handed to `wire` before anything is shown) and its window, launched.
    void launchApp(const ECAppDelegate::Modules& modules, const std::function<void(ECAppDelegate&)>& wire = {})
    {
        m_controller = std::make_unique<ECAppDelegate>(MobileDevice::shared(), *m_defaults, modules);
        if (wire) {
            wire(*m_controller);
        }
        m_window = std::make_unique<ECMainWindow>(*m_controller);
        m_window->show();
        m_controller->applicationDidFinishLaunching();
    }

    /// The window before the controller, both before the phones go.
    void closeApp()
    {
        m_window.reset();
        m_controller.reset();
        m_sim.reset();
        m_defaults.reset();
        m_folder.reset();
    }

    std::unique_ptr<QtRunLoop> m_mainLoop;
    std::unique_ptr<TemporaryDirectory> m_folder;
    std::unique_ptr<SimulatorFixture> m_sim;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<ECAppDelegate> m_controller;
    std::unique_ptr<ECMainWindow> m_window;
};
