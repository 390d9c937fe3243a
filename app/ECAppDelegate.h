#pragma once

#include "app/ECAlerts.h"
#include "app/ECDevicePicker.h"
#include "app/ECDeviceProbe.h"
#include "app/ECDeviceSelection.h"
#include "app/ECEmailSheet.h"
#include "app/ECModuleCatalog.h"
#include "app/ECSiteLinks.h"
#include "app/ECStorageBreakdown.h"
#include "modules/ECModule.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class AMDevice;
class ECEmailSignup;
class ECModuleEventSink;
class MobileDevice;
class MobileDeviceAccess;
class UserDefaults;

/// The application controller: owns the modules and the parts that do the work, and wires them
/// to the state the window shows. The device selection (`ECDeviceSelection`) decides which device
/// is selected and looks at devices; this class turns what it finds into the heading and status
/// text, the module buttons, the device picker's rows and the connection alert (`ECAlerts`),
/// runs the start-up sequence, starts modules (`ECModuleCatalog`), opens web pages
/// (`ECSiteLinks`) and keeps the sign-up sheet's state.
///
/// It builds no widgets: the main window binds to its state and signals, and tests drive it
/// without a display. Everything runs on the main thread; the device selection hands the results
/// of its device exchanges back to it, so the window never waits for a phone.
class ECAppDelegate : public QObject
{
    Q_OBJECT
public:
    using ModuleButton = ECModuleButton;
    static constexpr int MODULE_BUTTON_COUNT = EC_MODULE_BUTTON_COUNT;
    using Modules = ECModules;
    using ConnectionAlert = ECConnectionAlert;

    static inline const QString PICKER_ARROW_IMAGE = QStringLiteral("placeholder-down-arrow.png");
    static inline const QString NO_ARROW_IMAGE = QStringLiteral("transparent-arrow-replacement.png");

    /// Creates its own device manager over `library` and registers as its listener; `modules`
    /// are taken over (reparented to the controller).
    ECAppDelegate(MobileDevice& library, UserDefaults& defaults, Modules modules, QObject* parent = nullptr);
    ~ECAppDelegate() override;

    /// Every module gets this sink for its usage and analytics events (may be null).
    void setEventSink(ECModuleEventSink* sink);

    /// The start-up sequence.
    void applicationDidFinishLaunching();
    /// The application is quitting: every listed device ends its session and connection.
    void applicationWillTerminate();
    /// Closing the main window quits.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

    /// Selects `device` (or none). `userClicked` has no effect.
    void selectDevice(std::shared_ptr<AMDevice> device, bool userClicked);
    /// Refreshes heading and status text from the selected device.
    void updateWindowText();
    /// Re-reads the usable devices and rebuilds the picker's rows.
    void refreshPopoverContent();
    /// Sets the heading arrow: shown with two or more usable devices.
    void setSelectDeviceButtonEnabled(bool enabled);
    /// The heading was pressed: whether the picker should open now (false also closes it).
    bool showDevicePopover(bool pickerShown);
    /// A picker row was chosen: selects its device and closes the picker.
    void tableViewSelectionIndexesForProposedSelection(const std::vector<int>& proposedRows);
    /// The connection alert's "Try Again": replaces the device manager, which announces every
    /// attached device afresh.
    void tryAgain();
    void closeBillboard();

    // Home screen.
    void startModule(ModuleButton button);
    void showModuleWindow();
    void closeCurrentModule();
    /// The selected phone went away: the open module says so and waits for it.
    void selectedPhoneDetached();
    void hideBackupWindow();
    void backupLearnMore();
    void showHelp();
    void openHowItWorksPage();
    void mouseEnteredButton(ModuleButton button);
    void mouseExitedButton(ModuleButton button);

    /// The product's web site and how its pages are opened (see ECSiteLinks).
    void setSiteBaseUrl(const QUrl& url) { m_siteLinks.setSiteBaseUrl(url); }
    QUrl pageUrl(const QString& pathAndFragment) const { return m_siteLinks.pageUrl(pathAndFragment); }
    void setPageOpener(std::function<bool(const QUrl&)> opener) { m_siteLinks.setPageOpener(std::move(opener)); }

    // Mailing-list sign-up sheet; never shown unless the user asks for it.
    void showEmailSheet();
    void hideEmailScreen();
    /// The e-mail field changed: keeps its text and re-checks the address.
    void controlTextDidChange(const QString& text);
    void checkEmailAndEnableSubmitButton();
    void setOtherOffersChecked(bool checked) { m_emailSheet.setOtherOffersChecked(checked); }
    /// The submit action: stores the address and the check box, closes the sheet and sends.
    void saveEmail();
    void submitEmailFromDefaults();
    const QString& emailText() const { return m_emailSheet.text(); }
    bool otherOffersChecked() const { return m_emailSheet.otherOffersChecked(); }
    bool submitEmailButtonEnabled() const { return m_emailSheet.submitEnabled(); }
    ECEmailSignup& emailSignup() const { return *m_emailSignup; }

    // State the window shows.
    const QString& headingText() const { return m_headingText; }
    const QString& statusText() const { return m_statusText; }
    std::optional<double> fillPercentage() const { return m_fillPercentage; }
    /// "44.8 GB of 64 GB used" beside the fill bar, or "".
    const QString& fillCaption() const { return m_fillCaption; }
    /// Where the space goes, from the same reading as the fill level; nothing without it.
    const std::optional<ECStorageBreakdown>& storageBreakdown() const { return m_storageBreakdown; }
    bool isModuleButtonEnabled(ModuleButton button) const { return m_buttonEnabled[std::size_t(button)]; }
    bool selectDeviceButtonEnabled() const { return m_selectDeviceButtonEnabled; }
    const QString& selectDeviceButtonImage() const { return m_selectDeviceButtonImage; }
    const QString& moduleDescription() const { return m_moduleDescription; }
    int numberOfRowsInTableView() const { return int(m_selection.usableDevices().size()); }
    const std::vector<ECDevicePickerRow>& pickerRows() const { return m_pickerRows; }
    QSize popoverContentSize() const;
    const std::shared_ptr<AMDevice>& selectedDevice() const { return m_selection.selectedDevice(); }
    float selectedDeviceVersion() const { return m_selectedDeviceVersion; }
    void setSelectedDeviceVersion(float version) { m_selectedDeviceVersion = version; }
    ECModule* controller() const { return m_controller; }
    ECModule* module(ModuleButton button) const { return m_modules.forButton(button); }
    ECModule* cachesModuleFor(float version) const { return m_modules.cachesModuleFor(version); }
    const Modules& modules() const { return m_modules; }
    MobileDeviceAccess* deviceAccess() const { return m_selection.deviceAccess(); }
    bool connectionAlertShowing() const { return m_connectionAlertShowing; }
    const std::optional<ConnectionAlert>& connectionAlert() const { return m_connectionAlert; }
    /// Device exchanges queued or running (tests wait for zero).
    std::size_t pendingDeviceExchanges() const { return m_selection.pendingDeviceExchanges(); }

signals:
    void windowTextChanged();
    /// pendingDeviceExchanges() has dropped to zero.
    void deviceExchangesSettled();
    void moduleButtonsChanged();
    void selectDeviceButtonChanged();
    void popoverContentChanged();
    void popoverCloseRequested();
    void connectionAlertRequested();
    void moduleWindowRequested(ECModule* module);
    void backupReminderRequested();
    void billboardRequested();
    void billboardCloseRequested();
    void moduleDescriptionChanged();
    /// The home screen should set up its button frames (once) and lay the row out with the
    /// caches button shown.
    void homeLayoutRequested();
    void emailSheetRequested();
    void emailSheetCloseRequested();
    /// The address the user just saved reached the server (`registered`), or did not and stays
    /// pending for the next launch.
    void emailSubmissionFinished(bool registered);
    void submitEmailButtonChanged();
    /// No browser opened `url`: the window shows the address so the user can copy it.
    void pageOpenFailed(const QUrl& url);

private:
    void applySelection(const ECDeviceReport& report);
    void applyWindowText(const std::optional<ECDeviceReport>& report);
    void setButtonsEnabled(const std::optional<ECDeviceReport>& report);
    void showConnectionAlert(const ECDeviceReport& report);
    void rebuildPickerRows();
    /// Rebuilds the picker's rows from the last look at each device and the selected device's
    /// space reading.
    void showPickerRows();
    /// Takes the report's space figures as the ones heading, bar and picker show, and asks for
    /// the music total to go with them.
    void adoptSpaceReading(const ECDeviceReport& report);
    /// A module says the phone's space may have changed: the selected phone is read again.
    void deviceSpaceChanged(const ECModule* module);

    UserDefaults& m_defaults;
    Modules m_modules;
    ECModuleEventSink* m_eventSink { nullptr };
    ECSiteLinks m_siteLinks;

    float m_selectedDeviceVersion { 0.0f };
    ECModule* m_controller { nullptr };
    // The module whose window is up and the phone it was opened for: it outlives an unplugging
    // of that phone, and closes when another phone is selected.
    QPointer<ECModule> m_openModule;
    std::string m_openUdid;
    bool m_connectionAlertShowing { false };
    std::optional<ConnectionAlert> m_connectionAlert;
    std::vector<ECDevicePickerRow> m_pickerRows;
    /// The last reading of the selected device's media area: heading, bar and picker show it.
    struct SpaceReading
    {
        std::shared_ptr<AMDevice> device;
        std::optional<std::int64_t> freeBytes;
        std::optional<std::int64_t> totalBytes;
        /// The report's, with the music total once it has been read.
        ECCategoryUsage usage;
        /// Raised with every reading (and when none is shown), so a music total read for an
        /// older one is dropped.
        std::uint64_t serial { 0 };

        /// Whether `report` has the figures the first look gives, apart from the music total.
        bool sameFigures(const ECDeviceReport& report) const
        {
            return report.device == device && report.freeBytes == freeBytes && report.totalBytes == totalBytes
                && report.usage.appBytes == usage.appBytes && report.usage.photoBytes == usage.photoBytes;
        }
    };
    SpaceReading m_spaceReading;

    QString m_headingText;
    QString m_loggedHeading;
    QString m_statusText;
    std::optional<double> m_fillPercentage;
    QString m_fillCaption;
    std::optional<ECStorageBreakdown> m_storageBreakdown;
    std::array<bool, MODULE_BUTTON_COUNT> m_buttonEnabled {};
    bool m_selectDeviceButtonEnabled { false };
    QString m_selectDeviceButtonImage { NO_ARROW_IMAGE };
    QString m_moduleDescription;
    // The heading shows no device (connect, connecting or no USB service), not a device's name.
    bool m_showingNoDevice { false };

    std::unique_ptr<ECEmailSignup> m_emailSignup;
    ECEmailSheet m_emailSheet;

    // Declared last so it is destroyed first: no device exchange outlives the members above.
    ECDeviceSelection m_selection;
};
