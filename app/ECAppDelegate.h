#pragma once

#include "app/ECDevicePicker.h"
#include "base/OperationQueue.h"
#include "device/MobileDeviceAccess.h"
#include "modules/ECModule.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class AMDevice;
class ECEmailSignup;
class ECModuleEventSink;
class MobileDevice;
class UserDefaults;

/// What one look at a device found: whether its name is known and its media area opened, and
/// what the window shows about it.
struct ECDeviceReport
{
    std::shared_ptr<AMDevice> device;
    std::optional<QString> name;
    bool mediaOpened { false };
    std::optional<std::int64_t> freeBytes;
    std::optional<std::int64_t> totalBytes;
    QString productVersion;
};

/// The application controller: owns the device manager and listens to it, decides which device
/// is selected, keeps the heading and status text, the module buttons and the device picker in
/// step, warns about devices that cannot be used, runs the start-up sequence and starts modules.
///
/// It builds no widgets: the main window binds to its state and signals, and tests drive it
/// without a display. Everything runs on the main thread, except the exchanges with devices,
/// which run one at a time on the controller's own queue and hand their results back, so the
/// window never waits for a phone.
class ECAppDelegate : public QObject, public MobileDeviceAccessListener
{
    Q_OBJECT
public:
    enum class ModuleButton {
        Apps,
        Caches,
        Photos,
        Music,
        Messages,
    };
    static constexpr int MODULE_BUTTON_COUNT = 5;

    /// The modules, one per tool, owned by the controller; a tool whose module does not exist
    /// yet is null and its button stays disabled.
    struct Modules
    {
        ECModule* appsController { nullptr };
        ECModule* cachesController { nullptr };
        ECModule* oldIOSCachesController { nullptr };
        ECModule* musicController { nullptr };
        ECModule* photosController { nullptr };
        ECModule* messagesController { nullptr };
    };

    struct ConnectionAlert
    {
        QString messageText;
        QString informativeText;
        QString buttonTitle;
    };

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

    // Device manager listener.
    void deviceConnected(const std::shared_ptr<AMDevice>& device) override;
    void deviceDisconnected(const std::shared_ptr<AMDevice>& device) override;

    /// One look at `device`: its name, its media area (a new connection each time) and the
    /// figures from it, and, when `withVersion`, its system version. Talks to the device: the
    /// controller calls it on its device queue, never on the main thread.
    static ECDeviceReport probeDevice(const std::shared_ptr<AMDevice>& device, bool withVersion);

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

    static std::int32_t convertTotalSpaceToDeviceSize(std::int64_t totalBytes);

    // Home screen.
    void startModule(ModuleButton button);
    void showModuleWindow();
    void closeCurrentModule();
    void hideBackupWindow();
    void backupLearnMore();
    void showHelp();
    void openHowItWorksPage();
    void mouseEnteredButton(ModuleButton button);
    void mouseExitedButton(ModuleButton button);

    /// The product's web site, "https://" by default; pages are opened under it.
    void setSiteBaseUrl(const QUrl& url) { m_siteBaseUrl = url; }
    QUrl pageUrl(const QString& pathAndFragment) const;
    /// How web pages are opened: the desktop's browser unless replaced, as tests do. The opener
    /// answers false when no browser could be started; pageOpenFailed() then offers the address.
    void setPageOpener(std::function<bool(const QUrl&)> opener) { m_pageOpener = std::move(opener); }

    // Mailing-list sign-up sheet; never shown unless the user asks for it.
    void showEmailSheet();
    void hideEmailScreen();
    /// The e-mail field changed: keeps its text and re-checks the address.
    void controlTextDidChange(const QString& text);
    void checkEmailAndEnableSubmitButton();
    void setOtherOffersChecked(bool checked) { m_otherOffersChecked = checked; }
    /// The submit action: stores the address and the check box, closes the sheet and sends.
    void saveEmail();
    void submitEmailFromDefaults();
    const QString& emailText() const { return m_emailText; }
    bool otherOffersChecked() const { return m_otherOffersChecked; }
    bool submitEmailButtonEnabled() const { return m_submitEmailButtonEnabled; }
    ECEmailSignup& emailSignup() const { return *m_emailSignup; }

    // State the window shows.
    const QString& headingText() const { return m_headingText; }
    const QString& statusText() const { return m_statusText; }
    std::optional<double> fillPercentage() const { return m_fillPercentage; }
    /// "44.8 GB of 64 GB used" beside the fill bar, or "".
    const QString& fillCaption() const { return m_fillCaption; }
    bool isModuleButtonEnabled(ModuleButton button) const { return m_buttonEnabled[std::size_t(button)]; }
    bool selectDeviceButtonEnabled() const { return m_selectDeviceButtonEnabled; }
    const QString& selectDeviceButtonImage() const { return m_selectDeviceButtonImage; }
    const QString& moduleDescription() const { return m_moduleDescription; }
    int numberOfRowsInTableView() const { return int(m_usableDevices.size()); }
    const std::vector<ECDevicePickerRow>& pickerRows() const { return m_pickerRows; }
    QSize popoverContentSize() const;
    const std::shared_ptr<AMDevice>& selectedDevice() const { return m_selectedDevice; }
    float selectedDeviceVersion() const { return m_selectedDeviceVersion; }
    void setSelectedDeviceVersion(float version) { m_selectedDeviceVersion = version; }
    ECModule* controller() const { return m_controller; }
    ECModule* module(ModuleButton button) const;
    /// The temporary-files tool for a system version: clearing by filling from 8.3 on, the
    /// download-cache tool below.
    ECModule* cachesModuleFor(float version) const;
    const Modules& modules() const { return m_modules; }
    MobileDeviceAccess* deviceAccess() const { return m_deviceAccess.get(); }
    bool connectionAlertShowing() const { return m_connectionAlertShowing; }
    const std::optional<ConnectionAlert>& connectionAlert() const { return m_connectionAlert; }
    /// Device exchanges queued or running (tests wait for zero).
    std::size_t pendingDeviceExchanges() const { return m_deviceQueue.operationCount(); }

signals:
    void windowTextChanged();
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
    void submitEmailButtonChanged();
    /// No browser opened `url`: the window shows the address so the user can copy it.
    void pageOpenFailed(const QUrl& url);

private:
    /// A device to look at, with the device locks of the modules that work on it: a module's
    /// queue and the controller must not talk to the same device at once.
    struct ProbeTarget
    {
        std::shared_ptr<AMDevice> device;
        std::vector<std::mutex*> locks;
    };
    ProbeTarget probeTarget(const std::shared_ptr<AMDevice>& device) const;
    /// probeDevice() holding the target's locks; gives up (device not usable) when the exchange
    /// is cancelled while waiting for them.
    static ECDeviceReport probeLocked(const ProbeTarget& target, bool withVersion, const Operation& operation);
    /// The listed devices in list order, keeping those whose media area opens.
    static std::vector<ECDeviceReport> connectedDevices(
        const std::vector<ProbeTarget>& targets, const Operation& operation);

    void replaceDeviceAccess();
    /// Runs `work` on the device queue, then `apply` on the main thread, unless the device
    /// manager was replaced in between.
    void runDeviceExchange(std::function<void(const Operation&)> work, std::function<void()> apply);
    void refreshUsableDevices(std::function<void()> then);
    std::vector<std::shared_ptr<AMDevice>> listedDevices() const;
    void applySelection(const ECDeviceReport& report);
    void applyWindowText(const std::optional<ECDeviceReport>& report);
    void setButtonsEnabled(const std::optional<ECDeviceReport>& report);
    void showConnectionAlert(const ECDeviceReport& report);
    void rebuildPickerRows();
    void openPage(const QString& pathAndFragment);
    /// Hands `url` to the desktop's opener; a failure that shows only later is reported through
    /// pageOpenFailed() too.
    bool openInBrowser(const QUrl& url);

    MobileDevice& m_library;
    UserDefaults& m_defaults;
    Modules m_modules;
    ECModuleEventSink* m_eventSink { nullptr };
    std::unique_ptr<MobileDeviceAccess> m_deviceAccess;
    // Raised each time the manager is replaced; results of exchanges begun under an older one
    // are dropped.
    std::uint64_t m_generation { 0 };
    // Raised by every selection; a selection's exchange applies only if none came after it.
    std::uint64_t m_selectionSerial { 0 };

    std::shared_ptr<AMDevice> m_selectedDevice;
    float m_selectedDeviceVersion { 0.0f };
    ECModule* m_controller { nullptr };
    bool m_connectionAlertShowing { false };
    std::optional<ConnectionAlert> m_connectionAlert;
    std::vector<ECDeviceReport> m_usableDevices;
    std::vector<ECDevicePickerRow> m_pickerRows;

    QString m_headingText;
    QString m_statusText;
    std::optional<double> m_fillPercentage;
    QString m_fillCaption;
    std::array<bool, MODULE_BUTTON_COUNT> m_buttonEnabled {};
    bool m_selectDeviceButtonEnabled { false };
    QString m_selectDeviceButtonImage { NO_ARROW_IMAGE };
    QString m_moduleDescription;

    QUrl m_siteBaseUrl;
    std::function<bool(const QUrl&)> m_pageOpener;

    std::unique_ptr<ECEmailSignup> m_emailSignup;
    QString m_emailText;
    bool m_emailTextLoaded { false };
    bool m_otherOffersChecked { false };
    bool m_submitEmailButtonEnabled { false };

    // Declared last so it is destroyed first: no exchange outlives the members above.
    OperationQueue m_deviceQueue { 1 };
};
