#include "device/AMSocketConnection.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool waitForSocket(int fd, short events, std::chrono::milliseconds timeout, AMIOResult& result)
{
    pollfd entry { fd, events, 0 };
    const int wait = timeout.count() < 0 ? -1 : static_cast<int>(std::min<long long>(timeout.count(), 0x7FFFFFFF));
    for (;;) {
        const int ready = ::poll(&entry, 1, wait);
        if (ready > 0) {
            return true; // readable, writable, hung up or in error: the next call says which
        }
        if (ready == 0) {
            result.status = AMIOStatus::TimedOut;
            return false;
        }
        if (errno != EINTR) {
            result.status = AMIOStatus::Failed;
            return false;
        }
    }
}

AMSocketConnection::AMSocketConnection(int socket)
    : m_socket(socket)
{
}

AMSocketConnection::~AMSocketConnection()
{
    close();
    if (m_shutDown >= 0) {
        ::close(m_shutDown);
    }
}

AMIOResult AMSocketConnection::send(const void* data, std::size_t length, std::chrono::milliseconds timeout)
{
    AMIOResult result { AMIOStatus::Ok, 0 };
    const auto* bytes = static_cast<const char*>(data);
    while (result.bytes < length) {
        const int fd = m_socket.load();
        if (fd < 0) {
            result.status = AMIOStatus::Closed;
            return result;
        }
        // Tried first, without waiting: a socket almost always has room, and a poll before every
        // send costs a system call per request. MSG_NOSIGNAL: a peer that went away must give an
        // error, not kill the process with SIGPIPE.
        const ssize_t sent = ::send(fd, bytes + result.bytes, length - result.bytes, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            result.bytes += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitForSocket(fd, POLLOUT, timeout, result)) {
                return result;
            }
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        result.status = (sent < 0 && (errno == EPIPE || errno == ECONNRESET)) ? AMIOStatus::Closed : AMIOStatus::Failed;
        return result;
    }
    return result;
}

AMIOResult AMSocketConnection::receive(void* buffer, std::size_t length, std::chrono::milliseconds timeout)
{
    AMIOResult result { AMIOStatus::Ok, 0 };
    if (length == 0) {
        return result;
    }
    for (;;) {
        const int fd = m_socket.load();
        if (fd < 0) {
            result.status = AMIOStatus::Closed;
            return result;
        }
        if (!waitForSocket(fd, POLLIN, timeout, result)) {
            return result;
        }
        const ssize_t received = ::recv(fd, buffer, length, 0);
        if (received > 0) {
            result.bytes = static_cast<std::size_t>(received);
            return result;
        }
        if (received == 0) {
            result.status = AMIOStatus::Closed;
            return result;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            continue;
        }
        result.status = errno == ECONNRESET ? AMIOStatus::Closed : AMIOStatus::Failed;
        return result;
    }
}

void AMSocketConnection::close()
{
    const int fd = m_socket.exchange(-1);
    if (fd >= 0) {
        // Closed by the destructor: a receive on another thread may still be about to read this
        // descriptor, and must find the shut-down socket, never another file given its number.
        ::shutdown(fd, SHUT_RDWR);
        m_shutDown = fd;
    }
}
