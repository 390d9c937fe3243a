#include "sim/SimStream.h"

#include "base/Log.h"
#include "sim/SimFaults.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

SimStream::SimStream(int fd, const SimFaults* faults, Kind kind)
    : m_fd(fd)
    , m_faults(faults)
    , m_kind(kind)
{
}

SimStream::~SimStream()
{
    SSL_free(m_ssl);
}

bool SimStream::startTls(ssl_ctx_st* context)
{
    if (m_closed || m_ssl) {
        return false;
    }
    m_ssl = SSL_new(context);
    if (m_ssl && SSL_set_fd(m_ssl, m_fd) == 1) {
        for (;;) {
            const int done = SSL_accept(m_ssl);
            if (done == 1) {
                // From here on records are written to memory and sent by sendRaw(), so that the
                // split-writes fault can cut a record in two.
                BIO* records = BIO_new(BIO_s_mem());
                if (!records) {
                    break;
                }
                SSL_set0_wbio(m_ssl, records);
                return true;
            }
            if (SSL_get_error(m_ssl, done) != SSL_ERROR_SYSCALL || errno != EINTR) {
                break;
            }
        }
    }
    const unsigned long reason = ERR_peek_last_error();
    logLine(LOG_SIM, "TLS handshake failed: %s; closing", reason ? ERR_reason_error_string(reason) : "connection lost");
    ERR_clear_error();
    SSL_free(m_ssl);
    m_ssl = nullptr;
    close();
    return false;
}

void SimStream::endTls()
{
    if (!m_ssl) {
        return;
    }
    // The host's close_notify arrives at once; anything else (or nothing) ends the connection
    // anyway, because what follows could not be read as plain text.
    char byte = 0;
    std::size_t got = 0;
    const int read = SSL_read_ex(m_ssl, &byte, 1, &got);
    const bool closedCleanly = read != 1 && SSL_get_error(m_ssl, read) == SSL_ERROR_ZERO_RETURN;
    ERR_clear_error();
    SSL_free(m_ssl);
    m_ssl = nullptr;
    if (!closedCleanly) {
        close();
    }
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
    const std::size_t got = receive(buffer, size);
    m_transferred += got;
    return got;
}

std::size_t SimStream::receive(void* buffer, std::size_t size)
{
    for (;;) {
        if (m_ssl) {
            std::size_t got = 0;
            const int read = SSL_read_ex(m_ssl, buffer, size, &got);
            if (!flushRecords()) {
                ERR_clear_error();
                return 0;
            }
            if (read == 1) {
                return got;
            }
            if (SSL_get_error(m_ssl, read) == SSL_ERROR_SYSCALL && errno == EINTR) {
                continue;
            }
            ERR_clear_error();
            return 0;
        }
        const ssize_t got = ::recv(m_fd, buffer, size, 0);
        if (got > 0) {
            return std::size_t(got);
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return 0;
    }
}

bool SimStream::sendRaw(const std::uint8_t* bytes, std::size_t size)
{
    std::size_t first = size;
    int pauseMs = 0;
    if (m_faults && m_kind == Kind::Service && size > 1) {
        const SimFaults::Snapshot faults = m_faults->snapshot();
        if (faults.splitEvery > 0 && ++m_writes % std::uint64_t(faults.splitEvery) == 0) {
            first = size / 2;
            pauseMs = faults.splitPauseMs;
        }
    }
    // Every connection of the phone shares its link's speed, paced a quantum at a time.
    const bool paced = m_faults && m_faults->isLinkLimited();
    std::size_t paid = 0; // bytes already booked on the link, so a retried send books nothing twice
    std::size_t done = 0;
    while (done < size) {
        if (done == first && pauseMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::exchange(pauseMs, 0)));
        }
        std::size_t end = done < first ? first : size;
        if (paced) {
            end = std::min(end, done + SimLinkRate::QUANTUM);
            if (end > paid) {
                m_faults->paceLink(end - paid);
                paid = end;
            }
        }
        const ssize_t wrote = ::send(m_fd, bytes + done, end - done, MSG_NOSIGNAL);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += std::size_t(wrote);
    }
    return true;
}

bool SimStream::flushRecords()
{
    BIO* records = m_ssl ? SSL_get_wbio(m_ssl) : nullptr;
    if (!records || BIO_method_type(records) != BIO_TYPE_MEM) {
        return true;
    }
    char* pending = nullptr;
    const long size = BIO_get_mem_data(records, &pending);
    if (size <= 0) {
        return true;
    }
    const bool sent = sendRaw(reinterpret_cast<const std::uint8_t*>(pending), std::size_t(size));
    (void)BIO_reset(records);
    return sent;
}

bool SimStream::send(const void* buffer, std::size_t size)
{
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (!m_ssl) {
        if (!sendRaw(bytes, size)) {
            return false;
        }
        m_transferred += std::uint64_t(size);
        return true;
    }
    while (size > 0) {
        std::size_t sent = 0;
        const int wrote = SSL_write_ex(m_ssl, bytes, size, &sent);
        if (wrote != 1) {
            if (SSL_get_error(m_ssl, wrote) == SSL_ERROR_SYSCALL && errno == EINTR) {
                continue;
            }
            ERR_clear_error();
            return false;
        }
        if (!flushRecords()) {
            return false;
        }
        bytes += sent;
        size -= sent;
        m_transferred += std::uint64_t(sent);
    }
    return true;
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
    if (!send(buffer, cut ? allowed : size)) {
        close();
        return false;
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
    if (m_ssl && SSL_pending(m_ssl) > 0) {
        return 1;
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
