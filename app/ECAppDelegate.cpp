#include "app/ECAppDelegate.h"

#include "app/ECDeviceSpace.h"
#include "app/ECEmailSheet.h"
#include "app/ECEmailSignup.h"
#include "app/ECUserDefaultsKeys.h"
#include "app/KVDataLogger.h"
#include "base/Log.h"
#include "device/AMDevice.h"
#include "modules/ECModule.h"
#include "platform/UserDefaults.h"

ECAppDelegate::ECAppDelegate(MobileDevice& library, UserDefaults& defaults, Modules modules, QObject* parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_modules(modules)
    , m_siteLinks(defaults)
    , m_emailSignup(std::make_unique<ECEmailSignup>(defaults))
    , m_emailSheet(defaults)
    , m_selection(library, modules)
{
    for (ECModule* module : m_modules.all()) {
        module->setParent(this);
        connect(module, &ECModule::deviceSpaceChanged, this, [this, module] { deviceSpaceChanged(module); });
    }
    connect(&m_siteLinks, &ECSiteLinks::pageOpenFailed, this, &ECAppDelegate::pageOpenFailed);
    connect(&m_selection, &ECDeviceSelection::selectionCleared, this, [this] {
        setButtonsEnabled(std::nullopt);
        applyWindowText(std::nullopt);
    });
    connect(&m_selection, &ECDeviceSelection::selectionProbed, this, &ECAppDelegate::applySelection);
    connect(&m_selection, &ECDeviceSelection::selectionRefreshed, this, [this](const ECDeviceReport& report) {
        applyWindowText(report.usable() ? std::optional<ECDeviceReport>(report) : std::nullopt);
    });
    connect(&m_selection, &ECDeviceSelection::usableDevicesChanged, this, &ECAppDelegate::rebuildPickerRows);
    connect(&m_selection, &ECDeviceSelection::pickerNeededChanged, this, &ECAppDelegate::setSelectDeviceButtonEnabled);
    connect(&m_selection, &ECDeviceSelection::selectedDeviceDetached, this, &ECAppDelegate::selectedPhoneDetached);
    for (ECModule* module : m_modules.all()) {
        connect(module, &ECModule::windowCloseRequested, this, [this, module] {
            if (m_openModule == module) {
                m_openModule = nullptr;
            }
        });
    }
    // While no device is shown, the heading says whom it is connecting to, or that the USB
    // service is missing; a selection being looked at keeps it until its result is in.
    const auto refreshIdleText = [this] {
        if (m_showingNoDevice && !m_selection.isListed(m_selection.selectedDevice())) {
            applyWindowText(std::nullopt);
        }
    };
    connect(&m_selection, &ECDeviceSelection::connectingChanged, this, refreshIdleText);
    connect(&m_selection, &ECDeviceSelection::usbServiceChanged, this, refreshIdleText);
    connect(&m_selection, &ECDeviceSelection::deviceExchangesSettled, this, &ECAppDelegate::deviceExchangesSettled);
}

ECAppDelegate::~ECAppDelegate() = default;

void ECAppDelegate::setEventSink(ECModuleEventSink* sink)
{
    m_eventSink = sink;
    for (ECModule* module : m_modules.all()) {
        module->setEventSink(sink);
    }
}

void ECAppDelegate::applicationDidFinishLaunching()
{
    // Module icons (step 1) are bound by the window; the software-update and crash-reporting
    // steps have no counterpart here (distributions update packages).
    KVDataLogger::sharedLogger();
    if (!m_defaults.boolForKey(ECUserDefaultsKeys::HAS_RUN_APP_ONCE)) {
        emit billboardRequested();
        m_defaults.setBool(ECUserDefaultsKeys::HAS_RUN_APP_ONCE, true);
        m_defaults.synchronize();
    }
    ECEmailSheet::registerDefaults(m_defaults);
    if (!m_selection.selectedDevice()) {
        selectDevice(nullptr, false);
    }
    // A saved address that has not reached the server yet is sent again at every launch.
    if (m_emailSheet.submissionPending()) {
        submitEmailFromDefaults();
    }
    KVDataLogger::sharedLogger().logEvent(QStringLiteral("testEvent"), {});
    emit homeLayoutRequested();
}

void ECAppDelegate::applicationWillTerminate()
{
    m_selection.applicationWillTerminate();
}

// ---- Devices ----

void ECAppDelegate::selectDevice(std::shared_ptr<AMDevice> device, bool)
{
    m_selection.selectDevice(std::move(device));
}

void ECAppDelegate::applySelection(const ECDeviceReport& report)
{
    const bool usable = report.usable();
    if (m_openModule && usable && report.device) {
        const std::string udid = report.device->udid().value_or(std::string());
        if (udid != m_openUdid) {
            // Never another phone's items under this phone's heading.
            m_openModule->close();
        } else if (m_openModule->phoneGone()) {
            m_openModule->phoneReattached(report.device);
        }
    }
    setButtonsEnabled(usable ? std::optional<ECDeviceReport>(report) : std::nullopt);
    if (!usable && !m_connectionAlertShowing) {
        // A device that detached while it was being looked at is not worth an alert: the detach
        // handling has already moved on.
        if (!m_selection.isListed(report.device)) {
            return;
        }
        showConnectionAlert(report);
        return;
    }
    applyWindowText(usable ? std::optional<ECDeviceReport>(report) : std::nullopt);
}

void ECAppDelegate::setButtonsEnabled(const std::optional<ECDeviceReport>& report)
{
    for (int index = 0; index < MODULE_BUTTON_COUNT; ++index) {
        const ECModule* owner = module(ModuleButton(index));
        if (ModuleButton(index) == ModuleButton::Caches && report) {
            // The temporary-files tool depends on the phone's system version.
            owner = cachesModuleFor(ECDeviceSpace::leadingVersionNumber(report->productVersion));
        }
        m_buttonEnabled[std::size_t(index)] = report && owner && owner->enabled();
    }
    emit moduleButtonsChanged();
}

void ECAppDelegate::showConnectionAlert(const ECDeviceReport& report)
{
    m_connectionAlertShowing = true;
    m_connectionAlert = ECAlerts::connectionAlert(report);
    emit connectionAlertRequested();
}

void ECAppDelegate::tryAgain()
{
    m_connectionAlertShowing = false;
    m_selection.replaceDeviceAccess();
}

void ECAppDelegate::updateWindowText()
{
    if (!m_selection.selectedDevice()) {
        applyWindowText(std::nullopt);
        return;
    }
    m_selection.refreshSelected();
}

void ECAppDelegate::applyWindowText(const std::optional<ECDeviceReport>& report)
{
    if (report) {
        m_selectedDeviceVersion = ECDeviceSpace::leadingVersionNumber(report->productVersion);
        emit homeLayoutRequested();
        m_headingText = QStringLiteral("%1 Connected").arg(*report->name);
        adoptSpaceReading(*report);
    } else if (!m_selection.usbServiceRunning()) {
        const AMDeviceStateText& text = deviceStateText(AMDeviceState::UsbServiceNotRunning);
        m_headingText = QString::fromUtf8(text.title);
        m_statusText = QString::fromUtf8(text.advice);
    } else if (m_selection.isConnecting()) {
        m_headingText = QStringLiteral("Connecting to %1\u2026")
                            .arg(m_selection.connectingName().value_or(QStringLiteral("your iOS Device")));
        m_statusText = QStringLiteral("Don't worry, we won't do anything yet!");
    } else {
        m_headingText = QStringLiteral("Connect your iOS Device");
        m_statusText = QStringLiteral("Don't worry, we won't do anything yet!");
    }
    if (!report) {
        m_fillPercentage.reset();
        m_fillCaption.clear();
        m_storageBreakdown.reset();
        ++m_spaceReading.serial;
    }
    m_showingNoDevice = !report;
    if (m_headingText != m_loggedHeading) {
        // Start-up and connection times are read from these lines (bench/run-startup-bench.sh).
        m_loggedHeading = m_headingText;
        logLine(LOG_APP, "Window shows \"%s\"", qUtf8Printable(m_headingText));
    }
    emit windowTextChanged();
    if (report) {
        showPickerRows();
    }
}

void ECAppDelegate::adoptSpaceReading(const ECDeviceReport& report)
{
    m_spaceReading = { report.device, report.freeBytes, report.totalBytes, report.usage, m_spaceReading.serial + 1 };
    m_spaceReading.usage.musicBytes.reset(); // until this reading's own total is in
    m_fillPercentage = ECDeviceSpace::fillPercentage(report.freeBytes, report.totalBytes);
    m_statusText = ECDeviceSpace::statusText(m_fillPercentage);
    m_fillCaption = ECDeviceSpace::fillCaption(report.freeBytes, report.totalBytes);
    m_storageBreakdown = ECStorageBreakdown::make(report.freeBytes, report.totalBytes, m_spaceReading.usage);
    if (!m_storageBreakdown) {
        return;
    }
    // The music total takes a copy of the phone's media library (megabytes on a real phone), so
    // the screen shows without it and its part of the bar follows; until then it is "other".
    m_selection.readMusic(report.device, [this, serial = m_spaceReading.serial](std::optional<std::int64_t> bytes) {
        if (serial != m_spaceReading.serial || m_showingNoDevice || !bytes) {
            return;
        }
        m_spaceReading.usage.musicBytes = bytes;
        m_storageBreakdown
            = ECStorageBreakdown::make(m_spaceReading.freeBytes, m_spaceReading.totalBytes, m_spaceReading.usage);
        emit windowTextChanged();
    });
}

void ECAppDelegate::deviceSpaceChanged(const ECModule* module)
{
    // Read off the main thread under the phone's lock; the figures follow when it answers. A
    // module working on a phone that is no longer selected changes nothing shown; after "Try
    // Again" the same phone has a new device object, so the phone is known by its UDID.
    const std::shared_ptr<AMDevice> worked = module ? module->device() : nullptr;
    const std::shared_ptr<AMDevice>& selected = m_selection.selectedDevice();
    if (!worked || !selected || m_showingNoDevice) {
        return;
    }
    if (worked == selected || (worked->udid() && worked->udid() == selected->udid())) {
        m_selection.refreshSelected();
    }
}

void ECAppDelegate::setSelectDeviceButtonEnabled(bool enabled)
{
    m_selectDeviceButtonEnabled = enabled;
    m_selectDeviceButtonImage = enabled ? PICKER_ARROW_IMAGE : NO_ARROW_IMAGE;
    emit selectDeviceButtonChanged();
}

void ECAppDelegate::refreshPopoverContent()
{
    m_selection.refreshUsableDevices();
}

void ECAppDelegate::rebuildPickerRows()
{
    // A newer reading of the selected device is the one the heading and bar show as well.
    const auto& selected = m_selection.selectedDevice();
    for (const ECDeviceReport& report : m_selection.usableDevices()) {
        if (selected && report.device == selected && !m_showingNoDevice && !m_spaceReading.sameFigures(report)) {
            adoptSpaceReading(report);
            emit windowTextChanged();
        }
    }
    showPickerRows();
}

void ECAppDelegate::showPickerRows()
{
    m_pickerRows.clear();
    const auto& selected = m_selection.selectedDevice();
    for (const ECDeviceReport& report : m_selection.usableDevices()) {
        const bool current = selected && report.device == selected;
        // The selected device's row shows the reading the heading shows: one figure everywhere.
        const bool sameReading = current && m_spaceReading.device == selected;
        const auto freeBytes = sameReading ? m_spaceReading.freeBytes : report.freeBytes;
        const auto totalBytes = sameReading ? m_spaceReading.totalBytes : report.totalBytes;
        m_pickerRows.push_back(
            { report.name.value_or(QString()), ECDeviceSpace::pickerSpaceText(freeBytes, totalBytes), current });
    }
    emit popoverContentChanged();
}

QSize ECAppDelegate::popoverContentSize() const
{
    const float height = float(numberOfRowsInTableView() * ECDevicePicker::ROW_HEIGHT + ECDevicePicker::PADDING);
    return QSize(ECDevicePicker::WIDTH, int(height));
}

bool ECAppDelegate::showDevicePopover(bool pickerShown)
{
    if (pickerShown) {
        emit popoverCloseRequested();
        return false;
    }
    if (m_selection.usableDevices().size() < 2) {
        return false;
    }
    refreshPopoverContent();
    return true;
}

void ECAppDelegate::tableViewSelectionIndexesForProposedSelection(const std::vector<int>& proposedRows)
{
    if (proposedRows.empty()) {
        return;
    }
    const int row = proposedRows.front();
    if (row < 0 || row >= int(m_selection.usableDevices().size())) {
        return;
    }
    selectDevice(m_selection.usableDevices()[std::size_t(row)].device, false);
    emit popoverCloseRequested();
}

void ECAppDelegate::closeBillboard()
{
    emit billboardCloseRequested();
}

// ---- Home screen ----

void ECAppDelegate::startModule(ModuleButton button)
{
    m_controller = nullptr;
    ECModule* chosen = nullptr;
    switch (button) {
    case ModuleButton::Caches:
        chosen = cachesModuleFor(m_selectedDeviceVersion);
        break;
    default:
        chosen = module(button);
        break;
    }
    m_controller = chosen;
    if (chosen && (button == ModuleButton::Photos || button == ModuleButton::Music)
        && !m_defaults.boolForKey(ECUserDefaultsKeys::DID_SHOW_BACKUP_REMINDER)) {
        emit backupReminderRequested();
        m_defaults.setBool(ECUserDefaultsKeys::DID_SHOW_BACKUP_REMINDER, true);
        m_defaults.synchronize();
        return;
    }
    showModuleWindow();
}

void ECAppDelegate::showModuleWindow()
{
    if (!m_controller) {
        return;
    }
    m_controller->setDevice(m_selection.selectedDevice());
    // Hints that name the phone's Settings follow its own system version.
    m_controller->setSystemVersion(m_selectedDeviceVersion);
    m_controller->loadConfigView();
    m_openModule = m_controller;
    const auto selected = m_selection.selectedDevice();
    m_openUdid = selected ? selected->udid().value_or(std::string()) : std::string();
    emit moduleWindowRequested(m_controller);
}

void ECAppDelegate::selectedPhoneDetached()
{
    if (m_openModule) {
        m_openModule->phoneDetached();
    }
}

void ECAppDelegate::closeCurrentModule()
{
    if (m_controller) {
        m_controller->close();
    }
}

void ECAppDelegate::hideBackupWindow()
{
    showModuleWindow();
}

void ECAppDelegate::backupLearnMore()
{
    m_siteLinks.openPage(ECSiteLinks::BACKUP_HELP_PAGE);
}

void ECAppDelegate::showHelp()
{
    m_siteLinks.openPage(ECSiteLinks::HELP_PAGE);
}

void ECAppDelegate::openHowItWorksPage()
{
    m_siteLinks.openPage(ECSiteLinks::HOW_IT_WORKS_PAGE);
}

void ECAppDelegate::mouseEnteredButton(ModuleButton button)
{
    const std::optional<QString> description = ECModuleCatalog::hoverDescription(button);
    if (!description) {
        return;
    }
    m_moduleDescription = *description;
    emit moduleDescriptionChanged();
}

void ECAppDelegate::mouseExitedButton(ModuleButton)
{
    m_moduleDescription.clear();
    emit moduleDescriptionChanged();
}

// ---- Mailing-list sign-up sheet ----

void ECAppDelegate::showEmailSheet()
{
    m_emailSheet.willShow();
    emit emailSheetRequested();
    checkEmailAndEnableSubmitButton();
}

void ECAppDelegate::hideEmailScreen()
{
    emit emailSheetCloseRequested();
}

void ECAppDelegate::controlTextDidChange(const QString& text)
{
    m_emailSheet.setText(text);
    checkEmailAndEnableSubmitButton();
}

void ECAppDelegate::checkEmailAndEnableSubmitButton()
{
    m_emailSheet.checkAddress();
    emit submitEmailButtonChanged();
}

void ECAppDelegate::saveEmail()
{
    if (!m_emailSheet.save()) {
        return;
    }
    hideEmailScreen();
    // Only the user's own sign-up is answered on screen; the retry at launch stays quiet.
    m_emailSignup->submitEmailFromDefaults([this](ECEmailSignup::Outcome outcome) {
        QMetaObject::invokeMethod(
            this, [this, outcome] { emit emailSubmissionFinished(outcome == ECEmailSignup::Outcome::Registered); },
            Qt::QueuedConnection);
    });
}

void ECAppDelegate::submitEmailFromDefaults()
{
    m_emailSignup->submitEmailFromDefaults();
}
