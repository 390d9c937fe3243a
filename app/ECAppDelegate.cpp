#include "app/ECAppDelegate.h"

#include "app/ECDeviceSpace.h"
#include "app/ECEmailSignup.h"
#include "app/ECUserDefaultsKeys.h"
#include "app/KVDataLogger.h"
#include "base/Log.h"
#include "device/AMDevice.h"
#include "device/AMStorageSpace.h"
#include "modules/ECModule.h"
#include "platform/UserDefaults.h"

#include <QDesktopServices>
#include <QMetaObject>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <thread>

#ifndef TORVANE_SITE_URL
#define TORVANE_SITE_URL "https://torvane.org"
#endif

ECAppDelegate::ECAppDelegate(MobileDevice& library, UserDefaults& defaults, Modules modules, QObject* parent)
    : QObject(parent)
    , m_library(library)
    , m_defaults(defaults)
    , m_modules(modules)
    , m_siteBaseUrl(QUrl(QStringLiteral(TORVANE_SITE_URL)))
    , m_pageOpener([this](const QUrl& url) { return openInBrowser(url); })
    , m_emailSignup(std::make_unique<ECEmailSignup>(defaults))
{
    for (ECModule* module : { m_modules.appsController, m_modules.cachesController, m_modules.oldIOSCachesController,
             m_modules.musicController, m_modules.photosController, m_modules.messagesController }) {
        if (module) {
            module->setParent(this);
        }
    }
    const QString site = m_defaults.stringForKey(ECUserDefaultsKeys::PRODUCT_SITE);
    if (!site.isEmpty()) {
        m_siteBaseUrl = QUrl(site);
    }
    m_deviceAccess = std::make_unique<MobileDeviceAccess>(m_library);
    m_deviceAccess->setListener(this);
}

ECAppDelegate::~ECAppDelegate()
{
    if (m_deviceAccess) {
        m_deviceAccess->setListener(nullptr);
    }
    // Results still queued for the main thread are dropped with this object; exchanges under
    // way finish before the queue (destroyed first) lets go.
    m_deviceQueue.cancelAllOperations();
}

void ECAppDelegate::setEventSink(ECModuleEventSink* sink)
{
    m_eventSink = sink;
    for (ECModule* module : { m_modules.appsController, m_modules.cachesController, m_modules.oldIOSCachesController,
             m_modules.musicController, m_modules.photosController, m_modules.messagesController }) {
        if (module) {
            module->setEventSink(sink);
        }
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
    m_defaults.registerDefaults({
        { ECUserDefaultsKeys::DID_SHOW_EMAIL_SHEET, 1 },
        { ECUserDefaultsKeys::USER_DID_SET_EMAIL, false },
        { ECUserDefaultsKeys::USERS_EMAIL, QString() },
        { ECUserDefaultsKeys::CAN_CONTACT_USER, 0 },
        { ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL, false },
    });
    if (!m_selectedDevice) {
        selectDevice(nullptr, false);
    }
    // A saved address that has not reached the server yet is sent again at every launch.
    if (!m_defaults.boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL)
        && m_defaults.boolForKey(ECUserDefaultsKeys::USER_DID_SET_EMAIL)) {
        submitEmailFromDefaults();
    }
    KVDataLogger::sharedLogger().logEvent(QStringLiteral("testEvent"), {});
    emit homeLayoutRequested();
}

void ECAppDelegate::applicationWillTerminate()
{
    m_deviceQueue.cancelAllOperations();
    m_deviceQueue.waitUntilAllOperationsAreFinished();
    if (m_deviceAccess) {
        m_deviceAccess->applicationWillTerminate();
    }
}

// ---- Devices ----

std::vector<std::shared_ptr<AMDevice>> ECAppDelegate::listedDevices() const
{
    return m_deviceAccess ? m_deviceAccess->devices() : std::vector<std::shared_ptr<AMDevice>>();
}

void ECAppDelegate::runDeviceExchange(std::function<void(const Operation&)> work, std::function<void()> apply)
{
    const std::uint64_t generation = m_generation;
    QPointer<ECAppDelegate> self(this);
    m_deviceQueue.addOperation(
        [self, generation, work = std::move(work), apply = std::move(apply)](const Operation& operation) {
            if (operation.isCancelled()) {
                return;
            }
            work(operation);
            QMetaObject::invokeMethod(
                self.data(),
                [self, generation, apply] {
                    if (self && self->m_generation == generation) {
                        apply();
                    }
                },
                Qt::QueuedConnection);
        });
}

void ECAppDelegate::refreshUsableDevices(std::function<void()> then)
{
    auto reports = std::make_shared<std::vector<ECDeviceReport>>();
    std::vector<ProbeTarget> targets;
    for (const auto& device : listedDevices()) {
        targets.push_back(probeTarget(device));
    }
    runDeviceExchange([targets = std::move(targets), reports](
                          const Operation& operation) { *reports = connectedDevices(targets, operation); },
        [this, reports, then = std::move(then)] {
            // A device that left while it was being looked at is gone from the list by now.
            const auto listed = listedDevices();
            std::erase_if(*reports, [&](const ECDeviceReport& report) {
                return std::find(listed.begin(), listed.end(), report.device) == listed.end();
            });
            m_usableDevices = std::move(*reports);
            rebuildPickerRows();
            if (then) {
                then();
            }
        });
}

ECAppDelegate::ProbeTarget ECAppDelegate::probeTarget(const std::shared_ptr<AMDevice>& device) const
{
    ProbeTarget target { device, {} };
    for (ECModule* owner : { m_modules.appsController, m_modules.cachesController, m_modules.oldIOSCachesController,
             m_modules.musicController, m_modules.photosController, m_modules.messagesController }) {
        if (owner && device && owner->device() == device) {
            target.locks.push_back(&owner->deviceLock());
        }
    }
    return target;
}

ECDeviceReport ECAppDelegate::probeLocked(const ProbeTarget& target, bool withVersion, const Operation& operation)
{
    // A module's deletion may hold its lock for long and wait for the main thread meanwhile, so
    // the wait is polled and abandoned on cancellation (a new manager, or quitting) instead of
    // blocking on the lock.
    std::vector<std::unique_lock<std::mutex>> held;
    for (std::mutex* lock : target.locks) {
        std::unique_lock<std::mutex> guard(*lock, std::try_to_lock);
        while (!guard.owns_lock()) {
            if (operation.isCancelled()) {
                return ECDeviceReport { target.device, {}, false, {}, {}, {} };
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            guard.try_lock();
        }
        held.push_back(std::move(guard));
    }
    return probeDevice(target.device, withVersion);
}

std::vector<ECDeviceReport> ECAppDelegate::connectedDevices(
    const std::vector<ProbeTarget>& targets, const Operation& operation)
{
    std::vector<ECDeviceReport> usable;
    for (const ProbeTarget& target : targets) {
        ECDeviceReport report = probeLocked(target, false, operation);
        if (report.mediaOpened) {
            usable.push_back(std::move(report));
        }
    }
    return usable;
}

void ECAppDelegate::deviceConnected(const std::shared_ptr<AMDevice>& device)
{
    // Modules tidy up what an interrupted run left on the phone before anyone looks at it, so
    // the figures shown are those without it.
    std::vector<ECModule*> modules;
    for (ECModule* module : { m_modules.appsController, m_modules.cachesController, m_modules.oldIOSCachesController,
             m_modules.musicController, m_modules.photosController, m_modules.messagesController }) {
        if (module) {
            modules.push_back(module);
        }
    }
    runDeviceExchange(
        [modules, device](const Operation& operation) {
            for (ECModule* module : modules) {
                if (!operation.isCancelled()) {
                    module->deviceAttached(device);
                }
            }
        },
        [] {});
    refreshUsableDevices([this, device] {
        const bool usable = std::any_of(m_usableDevices.begin(), m_usableDevices.end(),
            [&](const ECDeviceReport& report) { return report.device == device; });
        // A second usable device never takes the selection away from the first.
        if (usable && m_usableDevices.size() == 1) {
            selectDevice(device, false);
        }
        setSelectDeviceButtonEnabled(m_usableDevices.size() >= 2);
    });
}

void ECAppDelegate::deviceDisconnected(const std::shared_ptr<AMDevice>& device)
{
    // The departing device has forgotten its reference and can no longer be used: it leaves the
    // picker at once, and the others are looked at again.
    std::erase_if(m_usableDevices, [&](const ECDeviceReport& report) { return report.device == device; });
    rebuildPickerRows();
    const bool wasSelected = device && device == m_selectedDevice;
    if (wasSelected) {
        selectDevice(nullptr, false);
        if (m_controller) {
            m_controller->close();
        }
    }
    refreshUsableDevices([this, wasSelected] {
        if (wasSelected && !m_selectedDevice && !m_usableDevices.empty()) {
            selectDevice(m_usableDevices.front().device, false);
        }
        setSelectDeviceButtonEnabled(m_usableDevices.size() >= 2);
    });
}

void ECAppDelegate::selectDevice(std::shared_ptr<AMDevice> device, bool)
{
    m_selectedDevice = std::move(device);
    const std::uint64_t serial = ++m_selectionSerial;
    if (!m_selectedDevice) {
        setButtonsEnabled(std::nullopt);
        applyWindowText(std::nullopt);
        return;
    }
    auto report = std::make_shared<ECDeviceReport>();
    runDeviceExchange([target = probeTarget(m_selectedDevice), report](
                          const Operation& operation) { *report = probeLocked(target, true, operation); },
        [this, serial, report] {
            if (serial == m_selectionSerial) {
                applySelection(*report);
            }
        });
}

void ECAppDelegate::applySelection(const ECDeviceReport& report)
{
    const bool usable = report.name && report.mediaOpened;
    setButtonsEnabled(usable ? std::optional<ECDeviceReport>(report) : std::nullopt);
    if (!usable && !m_connectionAlertShowing) {
        // A device that detached while it was being looked at is not worth an alert: the detach
        // handling has already moved on.
        const auto listed = listedDevices();
        if (std::find(listed.begin(), listed.end(), report.device) == listed.end()) {
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
    ConnectionAlert alert;
    alert.buttonTitle = QStringLiteral("Try Again");
    if (report.mediaOpened) {
        alert.messageText = QStringLiteral("Computer not trusted");
        // No desktop music application authorizes computers here: the phone's own Trust prompt does.
        alert.informativeText = QStringLiteral(
            "Unlock your device, tap Trust and make sure this computer is authorized to access your device. "
            "Then try again.");
    } else {
        alert.messageText = QStringLiteral("Wireless connection detected");
        alert.informativeText
            = QStringLiteral("Your phone must be connected via a USB cable for Torvane to free space.");
    }
    m_connectionAlertShowing = true;
    m_connectionAlert = alert;
    emit connectionAlertRequested();
}

void ECAppDelegate::tryAgain()
{
    m_connectionAlertShowing = false;
    replaceDeviceAccess();
}

void ECAppDelegate::replaceDeviceAccess()
{
    ++m_generation;
    m_deviceQueue.cancelAllOperations();
    if (m_deviceAccess) {
        m_deviceAccess->applicationWillTerminate();
        m_deviceAccess->setListener(nullptr);
    }
    m_usableDevices.clear();
    rebuildPickerRows();
    setSelectDeviceButtonEnabled(false);
    // The new subscription reports every device still attached as attached again, each with a
    // new device object. It is made before the old manager goes, so the library's own listener
    // keeps running in between.
    auto replacement = std::make_unique<MobileDeviceAccess>(m_library);
    replacement->setListener(this);
    std::swap(m_deviceAccess, replacement);
}

void ECAppDelegate::updateWindowText()
{
    if (!m_selectedDevice) {
        applyWindowText(std::nullopt);
        return;
    }
    const std::uint64_t serial = m_selectionSerial;
    auto report = std::make_shared<ECDeviceReport>();
    runDeviceExchange([target = probeTarget(m_selectedDevice), report](
                          const Operation& operation) { *report = probeLocked(target, true, operation); },
        [this, serial, report] {
            if (serial == m_selectionSerial) {
                applyWindowText(
                    report->name && report->mediaOpened ? std::optional<ECDeviceReport>(*report) : std::nullopt);
            }
        });
}

void ECAppDelegate::applyWindowText(const std::optional<ECDeviceReport>& report)
{
    if (report) {
        m_selectedDeviceVersion = ECDeviceSpace::leadingVersionNumber(report->productVersion);
        emit homeLayoutRequested();
        m_headingText = QStringLiteral("%1 Connected").arg(*report->name);
        m_fillPercentage = ECDeviceSpace::fillPercentage(report->freeBytes, report->totalBytes);
        m_statusText = ECDeviceSpace::statusText(m_fillPercentage);
        m_fillCaption = ECDeviceSpace::fillCaption(report->freeBytes, report->totalBytes);
    } else {
        m_headingText = QStringLiteral("Connect your iOS Device");
        m_statusText = QStringLiteral("Don't worry, we won't do anything yet!");
        m_fillPercentage.reset();
        m_fillCaption.clear();
    }
    emit windowTextChanged();
}

void ECAppDelegate::setSelectDeviceButtonEnabled(bool enabled)
{
    m_selectDeviceButtonEnabled = enabled;
    m_selectDeviceButtonImage = enabled ? PICKER_ARROW_IMAGE : NO_ARROW_IMAGE;
    emit selectDeviceButtonChanged();
}

void ECAppDelegate::refreshPopoverContent()
{
    refreshUsableDevices({});
}

void ECAppDelegate::rebuildPickerRows()
{
    m_pickerRows.clear();
    for (const ECDeviceReport& report : m_usableDevices) {
        m_pickerRows.push_back(
            { report.name.value_or(QString()), ECDeviceSpace::pickerSpaceText(report.freeBytes, report.totalBytes) });
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
    if (m_usableDevices.size() < 2) {
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
    if (row < 0 || row >= int(m_usableDevices.size())) {
        return;
    }
    selectDevice(m_usableDevices[std::size_t(row)].device, false);
    emit popoverCloseRequested();
}

void ECAppDelegate::closeBillboard()
{
    emit billboardCloseRequested();
}

std::int32_t ECAppDelegate::convertTotalSpaceToDeviceSize(std::int64_t totalBytes)
{
    return ECDeviceSpace::convertTotalSpaceToDeviceSize(totalBytes);
}

// ---- Home screen ----

ECModule* ECAppDelegate::module(ModuleButton button) const
{
    switch (button) {
    case ModuleButton::Apps:
        return m_modules.appsController;
    case ModuleButton::Caches:
        return m_modules.cachesController;
    case ModuleButton::Photos:
        return m_modules.photosController;
    case ModuleButton::Music:
        return m_modules.musicController;
    case ModuleButton::Messages:
        return m_modules.messagesController;
    }
    return nullptr;
}

ECModule* ECAppDelegate::cachesModuleFor(float version) const
{
    return double(version) >= 8.3 ? m_modules.cachesController : m_modules.oldIOSCachesController;
}

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
    m_controller->setDevice(m_selectedDevice);
    m_controller->loadConfigView();
    emit moduleWindowRequested(m_controller);
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
    openPage(QStringLiteral("/faq#backup"));
}

void ECAppDelegate::showHelp()
{
    openPage(QStringLiteral("/faq"));
}

void ECAppDelegate::openHowItWorksPage()
{
    openPage(QStringLiteral("/howitworks"));
}

QUrl ECAppDelegate::pageUrl(const QString& pathAndFragment) const
{
    QString base = m_siteBaseUrl.toString();
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    return QUrl(base + pathAndFragment);
}

void ECAppDelegate::openPage(const QString& pathAndFragment)
{
    const QUrl url = pageUrl(pathAndFragment);
    if (m_pageOpener && !m_pageOpener(url)) {
        emit pageOpenFailed(url);
    }
}

bool ECAppDelegate::openInBrowser(const QUrl& url)
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

// ---- Mailing-list sign-up sheet ----

void ECAppDelegate::showEmailSheet()
{
    m_defaults.setBool(ECUserDefaultsKeys::DID_SHOW_EMAIL_SHEET, true);
    m_defaults.synchronize();
    if (!m_emailTextLoaded) {
        // The field starts with the address saved before, so the user sees what was sent.
        m_emailTextLoaded = true;
        m_emailText = m_defaults.stringForKey(ECUserDefaultsKeys::USERS_EMAIL);
        m_otherOffersChecked = m_defaults.integerForKey(ECUserDefaultsKeys::CAN_CONTACT_USER) != 0;
    }
    emit emailSheetRequested();
    checkEmailAndEnableSubmitButton();
}

void ECAppDelegate::hideEmailScreen()
{
    emit emailSheetCloseRequested();
}

void ECAppDelegate::controlTextDidChange(const QString& text)
{
    m_emailTextLoaded = true;
    m_emailText = text;
    checkEmailAndEnableSubmitButton();
}

void ECAppDelegate::checkEmailAndEnableSubmitButton()
{
    m_submitEmailButtonEnabled = ECEmailSignup::isValidEmailAddress(m_emailText);
    emit submitEmailButtonChanged();
}

void ECAppDelegate::saveEmail()
{
    if (!m_submitEmailButtonEnabled) {
        return;
    }
    m_defaults.setInteger(ECUserDefaultsKeys::USER_DID_SET_EMAIL, 1);
    m_defaults.setString(ECUserDefaultsKeys::USERS_EMAIL, m_emailText);
    m_defaults.setInteger(ECUserDefaultsKeys::CAN_CONTACT_USER, m_otherOffersChecked ? 1 : 0);
    // A new address is pending until the server has it, even if an older one arrived before.
    m_defaults.setBool(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL, false);
    m_defaults.synchronize();
    hideEmailScreen();
    submitEmailFromDefaults();
}

void ECAppDelegate::submitEmailFromDefaults()
{
    m_emailSignup->submitEmailFromDefaults();
}

void ECAppDelegate::mouseEnteredButton(ModuleButton button)
{
    switch (button) {
    case ModuleButton::Apps:
        m_moduleDescription = QStringLiteral("Pick big apps to quickly delete them from your device");
        break;
    case ModuleButton::Caches:
        m_moduleDescription = QStringLiteral("Clear temporary files stored by apps");
        break;
    case ModuleButton::Photos:
        m_moduleDescription = QStringLiteral("Pick photos & videos to backup to your computer");
        break;
    case ModuleButton::Music:
        m_moduleDescription = QStringLiteral("Removes old songs from your Music app");
        break;
    case ModuleButton::Messages:
        return;
    }
    emit moduleDescriptionChanged();
}

void ECAppDelegate::mouseExitedButton(ModuleButton)
{
    m_moduleDescription.clear();
    emit moduleDescriptionChanged();
}

// ---- Looking at a device ----

ECDeviceReport ECAppDelegate::probeDevice(const std::shared_ptr<AMDevice>& device, bool withVersion)
{
    ECDeviceReport report;
    report.device = device;
    if (!device) {
        return report;
    }
    if (device->deviceName()) {
        report.name = QString::fromStdString(*device->deviceName());
    }
    if (const std::optional<AMStorageSpace> space = AMStorageSpace::read(*device)) {
        report.mediaOpened = true;
        report.freeBytes = space->freeBytes;
        report.totalBytes = space->totalBytes;
    }
    if (withVersion && report.mediaOpened && report.name) {
        if (std::optional<PlistValue> version = device->deviceValueForKey(std::string("ProductVersion"))) {
            if (const std::string* text = version->asString()) {
                report.productVersion = QString::fromStdString(*text);
            }
        }
    }
    return report;
}
