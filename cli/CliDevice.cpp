#include "cli/CliDevice.h"

#include "base/Log.h"
#include "cli/CliText.h"
#include "device/AMDevice.h"

#include <cstdlib>

int exitStatusFor(AMDeviceState state)
{
    switch (state) {
    case AMDeviceState::Usable:
        return CLI_OK;
    case AMDeviceState::UsbServiceNotRunning:
        return CLI_NO_USB_SERVICE;
    case AMDeviceState::PasscodeLocked:
        return CLI_PASSCODE_LOCKED;
    case AMDeviceState::TrustDialogPending:
        return CLI_TRUST_PENDING;
    case AMDeviceState::TrustDenied:
        return CLI_TRUST_DENIED;
    case AMDeviceState::PairingForgotten:
        return CLI_PAIRING_EXPIRED;
    case AMDeviceState::SessionRefused:
        return CLI_SESSION_REFUSED;
    case AMDeviceState::ServicesRefused:
        return CLI_SERVICES_REFUSED;
    case AMDeviceState::NetworkOnly:
        return CLI_NETWORK_ONLY;
    case AMDeviceState::Unreachable:
        break;
    }
    return CLI_FAILED;
}

int reportUnusable(const CliOptions& options,
    std::ostream& err,
    const std::string& subject,
    AMDeviceState state,
    const std::optional<std::string>& detail)
{
    (void)reportCliFailure(options, err, subject, deviceStateText(state).advice, detail);
    return exitStatusFor(state);
}

std::string noAnswerWords(std::uint32_t timeoutSeconds)
{
    return stringWithFormat(
        "the device did not answer in time (%u s; see --timeout)", static_cast<unsigned>(timeoutSeconds));
}

std::string identityOf(AMDevice& device, const std::optional<std::string>& known, const char* key)
{
    if (known) {
        return *known;
    }
    if (!device.deviceConnect()) {
        return {};
    }
    const AMDeviceRef held = device.device();
    const std::optional<PlistValue> value
        = held ? device.library().AMDeviceCopyValue(held, std::nullopt, key) : std::nullopt;
    (void)device.deviceDisconnect();
    return value && value->isString() ? *value->asString() : std::string();
}

std::shared_ptr<AMDevice> chooseCliDevice(
    const CliOptions& options, std::ostream& err, const std::vector<std::shared_ptr<AMDevice>>& devices)
{
    if (options.udid) {
        for (const auto& device : devices) {
            if (identityOf(*device, device->udid(), "UniqueDeviceID") == *options.udid) {
                return device;
            }
        }
        (void)reportCliFailure(options, err, {}, "no attached device has the UDID " + escapeCliText(*options.udid));
        return nullptr;
    }
    if (devices.empty()) {
        (void)reportCliFailure(options, err, {}, "no device attached");
        return nullptr;
    }
    if (devices.size() > 1) {
        std::string list;
        for (const auto& device : devices) {
            list += (list.empty() ? "" : ", ") + escapeCliText(identityOf(*device, device->udid(), "UniqueDeviceID"));
        }
        (void)reportCliFailure(options, err, {}, "several devices are attached (" + list + "); choose one with --udid");
        return nullptr;
    }
    return devices.front();
}

int reportDeviceFailure(const CliOptions& options,
    std::ostream& err,
    AMDevice& device,
    const std::function<bool(std::chrono::milliseconds bound)>& detachedWithin,
    const std::string& words,
    const std::string& tail,
    const std::optional<std::string>& detail)
{
    // An unplug shows as a broken connection first; its detach record follows within moments.
    constexpr auto DETACH_RECORD_WAIT = std::chrono::seconds(2);
    if (detachedWithin(std::chrono::milliseconds(0))) {
        return reportCliFailure(options, err, {}, DETACHED_WORDS + tail, detail);
    }
    const AMDeviceState state = device.checkUsable();
    if (state != AMDeviceState::Usable && state != AMDeviceState::Unreachable) {
        (void)reportCliFailure(options, err, {}, deviceStateText(state).advice + tail, detail);
        return exitStatusFor(state);
    }
    if (state == AMDeviceState::Unreachable && detachedWithin(DETACH_RECORD_WAIT)) {
        return reportCliFailure(options, err, {}, DETACHED_WORDS + tail, detail);
    }
    return reportCliFailure(options, err, {}, words + tail, detail);
}

Watchdog::Watchdog(std::uint32_t seconds, std::function<void()> expired)
{
    if (seconds == 0) {
        return;
    }
    m_thread = std::thread([this, seconds, expired = std::move(expired)] {
        std::unique_lock lock(m_mutex);
        while (!m_disarmed) {
            const std::uint64_t fed = m_fed;
            if (!m_changed.wait_for(
                    lock, std::chrono::seconds(seconds), [this, fed] { return m_disarmed || m_fed != fed; })) {
                expired(); // does not return
            }
        }
    });
}

void Watchdog::feed()
{
    {
        std::lock_guard lock(m_mutex);
        ++m_fed;
    }
    m_changed.notify_all();
}

void Watchdog::disarm()
{
    {
        std::lock_guard lock(m_mutex);
        m_disarmed = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::unique_ptr<Watchdog> Watchdog::forNoAnswer(const CliOptions& options, std::ostream& out, std::ostream& err)
{
    return std::make_unique<Watchdog>(options.timeoutSeconds, [&options, &out, &err] {
        (void)reportCliFailure(options, err, {}, noAnswerWords(options.timeoutSeconds));
        err.flush();
        out.flush();
        // Work on other threads is blocked on the phone and cannot be joined; what it leaves
        // behind is what a kill would leave, which every tool recovers from on its next run.
        std::_Exit(CLI_FAILED);
    });
}
