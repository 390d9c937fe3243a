#pragma once

#include "sim/SimLinkRate.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

/// Faults injected into one device with `torvane-simd ctl fault`. Thread-safe; every connection of
/// the device consults it as it goes, so a fault set while a client is connected takes effect at
/// once.
class SimFaults
{
public:
    struct Snapshot
    {
        /// Service connections (not lockdown) are closed once this many bytes, both directions
        /// counted, have passed on one connection.
        std::optional<std::uint64_t> closeAfterBytes;
        /// AFC operation code → status to answer instead of doing it.
        std::map<std::uint64_t, std::uint64_t> afcStatus;
        /// AFC operation codes that are done, and then their reply is cut off halfway and the
        /// connection closed: the answer is lost, not the question.
        std::set<std::uint64_t> afcCutReply;
        /// Replies on lockdown and service connections wait; 0 = until the fault is cleared.
        std::optional<int> stallMs;
        /// How long a blocking AFC file lock waits for another holder before it answers "Timeout",
        /// instead of the connection's idle time-out.
        std::optional<int> afcLockWaitMs;
        bool refuseSession { false };
        bool refuseServices { false };
        std::string refuseServicesError { "ServiceProhibited" };
        bool networkOnly { false };
        /// Service connections send every `splitEvery`-th write (TLS records included) in two
        /// halves with `splitPauseMs` between them, so a host's read times out mid-record.
        int splitEvery { 0 };
        int splitPauseMs { 0 };
        /// installation_proxy command ("Uninstall", ...) → error name to answer instead of doing it.
        std::map<std::string, std::string> installerErrors;
        /// installation_proxy command → whether the phone carries it out before its reply is cut
        /// off halfway and the connection closed (otherwise it closes at the request, nothing
        /// done). Taken by the first request of that command, so later connections are untouched.
        std::map<std::string, bool> installerCutReply;
    };

    Snapshot snapshot() const;

    void setCloseAfterBytes(std::uint64_t bytes);
    void setAfcStatus(std::uint64_t operation, std::uint64_t status);
    void setAfcCutReply(std::uint64_t operation);
    void setStall(int milliseconds);
    void setAfcLockWait(int milliseconds);
    void setRefuseSession(bool refuse);
    void setRefuseServices(bool refuse, const std::string& error = "ServiceProhibited");
    void setNetworkOnly(bool networkOnly);
    void setSplitWrites(int pauseMs, int every);
    void setInstallerError(const std::string& command, const std::string& error);
    void setInstallerCutReply(const std::string& command, bool done);
    /// Caps the bytes per second the phone sends to the computer, over all its connections
    /// together; 0 = unlimited.
    void setLinkRate(std::uint64_t bytesPerSecond);
    bool isLinkLimited() const { return m_link.isLimited(); }
    /// Waits until `bytes` may go on the phone's link (at once when it is unlimited).
    void paceLink(std::size_t bytes) const { m_link.acquire(bytes); }
    /// The pending cut for `command` (whether it is done first), removed as it is taken.
    std::optional<bool> takeInstallerCutReply(const std::string& command);
    void clear();
    /// Wakes stalled replies for good (daemon shutdown).
    void releaseAll();

    /// Blocks while a stall fault is active; returns at once otherwise.
    void waitWhileStalled() const;

    /// One line per active fault, for `ctl list`.
    std::vector<std::string> describe() const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Snapshot m_faults;
    bool m_released { false };
    /// Shared by the device's connections, which hold the faults as const; it guards itself.
    mutable SimLinkRate m_link;
};
