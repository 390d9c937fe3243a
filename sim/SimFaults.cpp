#include "sim/SimFaults.h"

SimFaults::Snapshot SimFaults::snapshot() const
{
    std::lock_guard lock(m_mutex);
    return m_faults;
}

void SimFaults::setCloseAfterBytes(std::uint64_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_faults.closeAfterBytes = bytes;
}

void SimFaults::setAfcStatus(std::uint64_t operation, std::uint64_t status)
{
    std::lock_guard lock(m_mutex);
    m_faults.afcStatus[operation] = status;
}

void SimFaults::setAfcCutReply(std::uint64_t operation)
{
    std::lock_guard lock(m_mutex);
    m_faults.afcCutReply.insert(operation);
}

void SimFaults::setStall(int milliseconds)
{
    {
        std::lock_guard lock(m_mutex);
        m_faults.stallMs = milliseconds < 0 ? 0 : milliseconds;
    }
    m_changed.notify_all();
}

void SimFaults::setAfcLockWait(int milliseconds)
{
    std::lock_guard lock(m_mutex);
    m_faults.afcLockWaitMs = milliseconds < 0 ? 0 : milliseconds;
}

void SimFaults::setRefuseSession(bool refuse)
{
    std::lock_guard lock(m_mutex);
    m_faults.refuseSession = refuse;
}

void SimFaults::setRefuseServices(bool refuse, const std::string& error)
{
    std::lock_guard lock(m_mutex);
    m_faults.refuseServices = refuse;
    m_faults.refuseServicesError = error.empty() ? std::string("ServiceProhibited") : error;
}

void SimFaults::setNetworkOnly(bool networkOnly)
{
    std::lock_guard lock(m_mutex);
    m_faults.networkOnly = networkOnly;
}

void SimFaults::setSplitWrites(int pauseMs, int every)
{
    std::lock_guard lock(m_mutex);
    m_faults.splitPauseMs = pauseMs;
    m_faults.splitEvery = every;
}

void SimFaults::setInstallerError(const std::string& command, const std::string& error)
{
    std::lock_guard lock(m_mutex);
    m_faults.installerErrors[command] = error;
}

void SimFaults::setInstallerCutReply(const std::string& command, bool done)
{
    std::lock_guard lock(m_mutex);
    m_faults.installerCutReply[command] = done;
}

void SimFaults::setLinkRate(std::uint64_t bytesPerSecond)
{
    m_link.setBytesPerSecond(bytesPerSecond);
}

std::optional<bool> SimFaults::takeInstallerCutReply(const std::string& command)
{
    std::lock_guard lock(m_mutex);
    const auto cut = m_faults.installerCutReply.find(command);
    if (cut == m_faults.installerCutReply.end()) {
        return std::nullopt;
    }
    const bool done = cut->second;
    m_faults.installerCutReply.erase(cut);
    return done;
}

void SimFaults::clear()
{
    {
        std::lock_guard lock(m_mutex);
        m_faults = Snapshot {};
    }
    m_link.setBytesPerSecond(0);
    m_changed.notify_all();
}

void SimFaults::releaseAll()
{
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
    }
    m_link.release();
    m_changed.notify_all();
}

void SimFaults::waitWhileStalled() const
{
    std::unique_lock lock(m_mutex);
    if (!m_faults.stallMs || m_released) {
        return;
    }
    if (*m_faults.stallMs > 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(*m_faults.stallMs);
        m_changed.wait_until(lock, deadline, [this] { return !m_faults.stallMs || m_released; });
        return;
    }
    m_changed.wait(lock, [this] { return !m_faults.stallMs || m_released; });
}

std::vector<std::string> SimFaults::describe() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> lines;
    if (m_faults.closeAfterBytes) {
        lines.push_back("close-after " + std::to_string(*m_faults.closeAfterBytes));
    }
    for (const auto& [operation, status] : m_faults.afcStatus) {
        lines.push_back("afc-status " + std::to_string(operation) + " " + std::to_string(status));
    }
    for (const auto operation : m_faults.afcCutReply) {
        lines.push_back("afc-cut-reply " + std::to_string(operation));
    }
    if (m_faults.stallMs) {
        lines.push_back("stall " + std::to_string(*m_faults.stallMs));
    }
    if (m_faults.afcLockWaitMs) {
        lines.push_back("afc-lock-wait " + std::to_string(*m_faults.afcLockWaitMs));
    }
    if (m_faults.refuseSession) {
        lines.emplace_back("refuse-session");
    }
    if (m_faults.refuseServices) {
        lines.push_back("refuse-services " + m_faults.refuseServicesError);
    }
    if (m_faults.networkOnly) {
        lines.emplace_back("network-only");
    }
    if (m_faults.splitEvery > 0) {
        lines.push_back(
            "split-writes " + std::to_string(m_faults.splitPauseMs) + " " + std::to_string(m_faults.splitEvery));
    }
    for (const auto& [command, error] : m_faults.installerErrors) {
        lines.push_back("installer-error " + command + " " + error);
    }
    for (const auto& [command, done] : m_faults.installerCutReply) {
        lines.push_back("installer-cut-reply " + command + (done ? " after" : " before"));
    }
    if (const std::uint64_t rate = m_link.bytesPerSecond()) {
        lines.push_back("link-rate " + std::to_string(rate / 1'000'000) + " MB/s");
    }
    return lines;
}
