#pragma once

#include "cli/TorvaneCli.h"
#include "device/AMDeviceState.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

class AMDevice;

// What every torvane-cli command, built-in or cleaning tool, says about the phone it works with:
// which one it chose, why it cannot be used, that it stopped answering or went away. One wording
// and one exit status for each, whichever command meets it.

/// The exit status for a device that cannot be used in `state` (CLI_FAILED for Unreachable).
int exitStatusFor(AMDeviceState state);

/// Writes the advice for `state` as the failure and answers its exit status.
int reportUnusable(const CliOptions& options,
    std::ostream& err,
    const std::string& subject,
    AMDeviceState state,
    const std::optional<std::string>& detail = std::nullopt);

/// "the device did not answer in time (N s; see --timeout)".
std::string noAnswerWords(std::uint32_t timeoutSeconds);

/// "the device was detached": the words for a phone unplugged while a command used it.
inline constexpr const char* DETACHED_WORDS = "the device was detached";

/// A device's identity value: as read at creation, or else asked without a session, which a
/// phone answers even to a computer it does not trust (the device object leaves both out then).
std::string identityOf(AMDevice& device, const std::optional<std::string>& known, const char* key);

/// The device named by --udid, or the only one attached; null after printing why not ("no device
/// attached", "several devices are attached (...)", "no attached device has the UDID ...").
std::shared_ptr<AMDevice> chooseCliDevice(
    const CliOptions& options, std::ostream& err, const std::vector<std::shared_ptr<AMDevice>>& devices);

/// After an operation on `device` failed with `words`: a phone that can no longer be used says
/// why (its advice and exit status), an unplugged one says DETACHED_WORDS, and otherwise `words`
/// stand; `tail` follows whichever is printed. `detachedWithin(bound)` serves the caller's device events for at most
/// `bound` and answers whether the device manager saw the device go. Asks the phone afresh, so call it under a
/// Watchdog.
int reportDeviceFailure(const CliOptions& options,
    std::ostream& err,
    AMDevice& device,
    const std::function<bool(std::chrono::milliseconds bound)>& detachedWithin,
    const std::string& words,
    const std::string& tail = {},
    const std::optional<std::string>& detail = std::nullopt);

/// Ends the process with a clear message when the phone has not answered within the time-out at a
/// stage that has no bound of its own: finding the phone, its lockdown exchanges and starting a
/// service. Requests on a started service are bounded by their connection's time-out instead.
/// feed() starts the bound afresh; disarm() ends it. 0 seconds: no bound.
class Watchdog
{
public:
    Watchdog(std::uint32_t seconds, std::function<void()> expired);
    ~Watchdog() { disarm(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void feed();
    void disarm();

    /// A watchdog that reports noAnswerWords() for `options` on `err` and exits with CLI_FAILED.
    static std::unique_ptr<Watchdog> forNoAnswer(const CliOptions& options, std::ostream& out, std::ostream& err);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_disarmed { false };
    std::uint64_t m_fed { 0 };
    std::thread m_thread;
};
