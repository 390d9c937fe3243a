#pragma once

#include "device/AMService.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

/// Cuts the system-log byte stream into lines: each line ends with one NUL and may be preceded
/// by newlines, which are skipped; newlines inside a line are kept; empty lines are dropped. A
/// line whose NUL has not arrived yet is kept and completed by the next bytes, so lines that
/// straddle two reads arrive whole.
class AMSyslogLineSplitter
{
public:
    /// A line that never ends is delivered in pieces of this size rather than held without bound.
    static constexpr std::size_t MAX_LINE = 64 * 1024;

    /// The lines completed by `bytes`, in order.
    std::vector<std::string> feed(const char* bytes, std::size_t count);
    /// Bytes held for a line not yet ended.
    const std::string& pending() const { return m_pending; }

private:
    std::string m_pending;
};

/// Client of "com.apple.syslog_relay": the device's log lines as they are written. Each line goes
/// to the message function on the main run loop (RunLoop::main(); directly on the reader thread
/// when there is none). Reading stops when the device closes the stream or the relay is destroyed.
class AMSyslogRelay : public AMService
{
public:
    static constexpr const char* SERVICE_NAME = "com.apple.syslog_relay";
    using Message = std::function<void(const std::string& line)>;

    /// Starts the service on `device` (connected and in session) and begins delivering lines;
    /// null when the service does not start.
    static std::unique_ptr<AMSyslogRelay> initWithAMDevice(AMDevice& device, Message message);
    AMSyslogRelay(std::unique_ptr<AMServiceConnection> connection, Message message);
    ~AMSyslogRelay() override;

    /// True while the reader runs (until the device closes the stream or a read fails).
    bool isReading() const { return !m_ended->load(); }

private:
    void readLoop();

    Message m_message;
    // Shared with the lines queued on the main loop, so none reaches a destroyed relay's listener.
    std::shared_ptr<std::atomic<bool>> m_alive { std::make_shared<std::atomic<bool>>(true) };
    std::shared_ptr<std::atomic<bool>> m_ended { std::make_shared<std::atomic<bool>>(false) };
    std::atomic<bool> m_stop { false };
    std::thread m_reader;
};
