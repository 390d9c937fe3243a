#include "sim/SimStream.h"

#include "sim/SimFaults.h"

#include <cerrno>
#include <cstdint>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

SimStream::SimStream(int fd, const SimFaults* faults, Kind kind)
    : m_fd(fd)
    , m_faults(faults)
    , m_kind(kind)
{
}

std::size_t SimStream::budget()
{
    if (!m_faults || m_kind != Kind::Service) {
        return SIZE_MAX;
    }
    const auto limit = m_faults->snapshot().closeAfterBytes;
    if (!limit) {
        return SIZE_MAX;
    }
    return *limit > m_transferred ? std::size_t(*limit - m_transferred) : 0;
}

bool SimStream::readExact(void* buffer, std::size_t size)
{
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const std::size_t got = readSome(bytes + done, size - done);
        if (got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

std::size_t SimStream::readSome(void* buffer, std::size_t size)
{
    if (m_closed || size == 0) {
        return 0;
    }
    const std::size_t allowed = budget();
    if (allowed == 0) {
        close();
        return 0;
    }
    if (size > allowed) {
        size = allowed;
    }
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer, size, 0);
        if (got > 0) {
            m_transferred += std::uint64_t(got);
            return std::size_t(got);
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return 0;
    }
}

bool SimStream::writeAll(const void* buffer, std::size_t size)
{
    if (m_closed) {
        return false;
    }
    if (m_faults) {
        m_faults->waitWhileStalled();
    }
    const std::size_t allowed = budget();
    const bool cut = size > allowed;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::size_t remaining = cut ? allowed : size;
    while (remaining > 0) {
        const ssize_t sent = ::send(m_fd, bytes, remaining, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            close();
            return false;
        }
        bytes += sent;
        remaining -= std::size_t(sent);
        m_transferred += std::uint64_t(sent);
    }
    if (cut) {
        close();
        return false;
    }
    return true;
}

int SimStream::waitReadable(int timeoutMs) const
{
    if (m_closed) {
        return -1;
    }
    pollfd pfd { m_fd, POLLIN, 0 };
    for (;;) {
        const int ready = ::poll(&pfd, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
    }
}

void SimStream::close()
{
    if (!m_closed) {
        m_closed = true;
        ::shutdown(m_fd, SHUT_RDWR);
    }
}
