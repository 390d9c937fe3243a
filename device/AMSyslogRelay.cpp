#include "device/AMSyslogRelay.h"

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AMDevice.h"

#include <system_error>

namespace {

constexpr std::size_t READ_SIZE = 16384;
// How often a reader waiting for bytes looks at its stop flag.
constexpr std::chrono::milliseconds READ_POLL { 200 };

} // namespace

std::vector<std::string> AMSyslogLineSplitter::feed(const char* bytes, std::size_t count)
{
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < count; ++i) {
        const char byte = bytes[i];
        if (byte == '\0') {
            if (!m_pending.empty()) {
                lines.push_back(std::move(m_pending));
            }
            m_pending.clear();
            continue;
        }
        if (m_pending.empty() && (byte == '\n' || byte == '\r')) {
            continue; // newlines before a line are not part of it
        }
        m_pending.push_back(byte);
        if (m_pending.size() >= MAX_LINE) {
            lines.push_back(std::move(m_pending));
            m_pending.clear();
        }
    }
    return lines;
}

std::unique_ptr<AMSyslogRelay> AMSyslogRelay::initWithAMDevice(AMDevice& device, Message message)
{
    auto connection = device.startService(SERVICE_NAME);
    return connection ? std::make_unique<AMSyslogRelay>(std::move(connection), std::move(message)) : nullptr;
}

AMSyslogRelay::AMSyslogRelay(std::unique_ptr<AMServiceConnection> connection, Message message)
    : AMService(std::move(connection))
    , m_message(std::move(message))
{
    try {
        m_reader = std::thread([this] { readLoop(); });
    } catch (const std::system_error&) {
        logLine(LOG_DEVICE, "couldn't create read stream");
        m_ended->store(true);
    }
}

AMSyslogRelay::~AMSyslogRelay()
{
    m_alive->store(false);
    m_stop.store(true);
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

void AMSyslogRelay::readLoop()
{
    AMServiceConnection& stream = inputStreamFromSocket();
    AMSyslogLineSplitter splitter;
    std::vector<char> buffer(READ_SIZE);
    while (!m_stop.load()) {
        const AMIOResult result = stream.receive(buffer.data(), buffer.size(), READ_POLL);
        if (result.status == AMIOStatus::TimedOut) {
            continue;
        }
        if (!result.ok()) {
            break;
        }
        for (std::string& line : splitter.feed(buffer.data(), result.bytes)) {
            runOnMainThread(
                [alive = m_alive, message = m_message, line = std::move(line)] {
                    if (alive->load() && message) {
                        message(line);
                    }
                },
                false);
        }
    }
    m_ended->store(true);
}

std::unique_ptr<AMSyslogRelay> AMDevice::newAMSyslogRelay(std::function<void(const std::string& line)> message)
{
    return newServiceClient<AMSyslogRelay>(
        [this, &message] { return AMSyslogRelay::initWithAMDevice(*this, std::move(message)); });
}
