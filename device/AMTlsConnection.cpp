#include "device/AMTlsConnection.h"

#include "device/AMSocketConnection.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Free
{
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

template <typename T, typename Read> std::unique_ptr<T, Free> readPem(const std::string& pem, Read read)
{
    // A pair record's PEM blocks are a few KB; the record's own size bound applies.
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    std::unique_ptr<T, Free> object(bio ? read(bio, nullptr, nullptr, nullptr) : nullptr);
    BIO_free(bio);
    return object;
}

/// Time left until `deadline`, or WAIT_FOREVER when there is none.
std::chrono::milliseconds remaining(std::optional<Clock::time_point> deadline)
{
    if (!deadline) {
        return AMServiceConnection::WAIT_FOREVER;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

std::optional<Clock::time_point> deadlineAfter(std::chrono::milliseconds timeout)
{
    if (timeout.count() < 0) {
        return std::nullopt;
    }
    return Clock::now() + timeout;
}

} // namespace

std::unique_ptr<AMTlsConnection> AMTlsConnection::handshake(int socket,
    const std::string& rootCertificatePem,
    const std::string& rootPrivateKeyPem,
    int highestVersion,
    std::chrono::milliseconds timeout,
    std::string* error)
{
    const auto fail = [&](const char* reason) -> std::unique_ptr<AMTlsConnection> {
        if (error) {
            const unsigned long code = ERR_peek_last_error();
            *error = reason;
            if (code != 0) {
                *error += std::string(": ") + (ERR_reason_error_string(code) ? ERR_reason_error_string(code) : "?");
            }
        }
        ERR_clear_error();
        if (socket >= 0) {
            ::close(socket);
        }
        return nullptr;
    };
    if (socket < 0) {
        return fail("no connection");
    }
    const auto certificate = readPem<X509>(rootCertificatePem, PEM_read_bio_X509);
    const auto key = readPem<EVP_PKEY>(rootPrivateKeyPem, PEM_read_bio_PrivateKey);
    if (!certificate || !key) {
        return fail("the pair record's root certificate or key cannot be read");
    }
    std::unique_ptr<SSL_CTX, Free> context(SSL_CTX_new(TLS_client_method()));
    if (!context) {
        return fail("no TLS context");
    }
    // Level 0: phones below 10.0 speak TLS 1.0 only, and pairing certificates are SHA-1 signed.
    // The phone's certificate is not checked, as no host library checks it.
    SSL_CTX_set_security_level(context.get(), 0);
    // A phone may end a service by closing its socket without a close_notify: that is an end of
    // stream, not a failure.
    SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (SSL_CTX_set_min_proto_version(context.get(), TLS1_VERSION) != 1
        || SSL_CTX_set_max_proto_version(context.get(), highestVersion) != 1
        || SSL_CTX_set_cipher_list(context.get(), "DEFAULT:@SECLEVEL=0") != 1
        || SSL_CTX_use_certificate(context.get(), certificate.get()) != 1
        || SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1) {
        return fail("the TLS settings or the root certificate were refused");
    }
    std::unique_ptr<SSL, Free> ssl(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), socket) != 1) {
        return fail("no TLS session");
    }
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);
    const auto deadline = deadlineAfter(timeout);
    for (;;) {
        const int done = SSL_connect(ssl.get());
        if (done == 1) {
            break;
        }
        const int reason = SSL_get_error(ssl.get(), done);
        const bool retry = reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE
            || (reason == SSL_ERROR_SYSCALL && (errno == EINTR || errno == EAGAIN));
        AMIOResult waited;
        if (!retry
            || !waitForSocket(socket, reason == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, remaining(deadline), waited)) {
            return fail(retry ? "the TLS handshake timed out" : "the TLS handshake failed");
        }
    }
    ERR_clear_error();
    return std::unique_ptr<AMTlsConnection>(new AMTlsConnection(socket, ssl.release()));
}

AMTlsConnection::AMTlsConnection(int socket, ssl_st* ssl)
    : m_socket(socket)
    , m_ssl(ssl)
{
}

AMTlsConnection::~AMTlsConnection()
{
    if (!m_closed.exchange(true)) {
        // A close_notify the phone may read; nothing is waited for.
        (void)SSL_shutdown(m_ssl);
    }
    SSL_free(m_ssl);
    ERR_clear_error();
    ::close(m_socket);
}

bool AMTlsConnection::waitFor(short events, std::chrono::milliseconds timeout, AMIOResult& result) const
{
    if (m_closed.load()) {
        result.status = AMIOStatus::Closed;
        return false;
    }
    return waitForSocket(m_socket, events, timeout, result);
}

bool AMTlsConnection::canRetry(int reason, std::chrono::milliseconds timeout, AMIOResult& result) const
{
    // A read may need to write (a renegotiation) and a write to read: wait for what OpenSSL asks.
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
        return waitFor(reason == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, timeout, result);
    }
    if (reason == SSL_ERROR_SYSCALL && errno == EINTR) {
        return true;
    }
    // A close_notify, or the connection ended under the record layer.
    result.status
        = reason == SSL_ERROR_ZERO_RETURN || reason == SSL_ERROR_SYSCALL ? AMIOStatus::Closed : AMIOStatus::Failed;
    return false;
}

AMIOResult AMTlsConnection::send(const void* data, std::size_t length, std::chrono::milliseconds timeout)
{
    AMIOResult result { AMIOStatus::Ok, 0 };
    const auto* bytes = static_cast<const char*>(data);
    const auto deadline = deadlineAfter(timeout);
    while (result.bytes < length) {
        if (m_closed.load()) {
            result.status = AMIOStatus::Closed;
            return result;
        }
        int reason = SSL_ERROR_NONE;
        {
            std::lock_guard lock(m_sslMutex);
            std::size_t sent = 0;
            // A write that must wait is repeated with the same bytes, as OpenSSL requires.
            if (SSL_write_ex(m_ssl, bytes + result.bytes, length - result.bytes, &sent) == 1) {
                result.bytes += sent;
                continue;
            }
            reason = SSL_get_error(m_ssl, 0);
            ERR_clear_error();
        }
        if (!canRetry(reason, remaining(deadline), result)) {
            return result;
        }
    }
    return result;
}

AMIOResult AMTlsConnection::receive(void* buffer, std::size_t length, std::chrono::milliseconds timeout)
{
    AMIOResult result { AMIOStatus::Ok, 0 };
    if (length == 0) {
        return result;
    }
    const auto deadline = deadlineAfter(timeout);
    for (;;) {
        if (m_closed.load()) {
            result.status = AMIOStatus::Closed;
            return result;
        }
        int reason = SSL_ERROR_NONE;
        {
            // Decrypted bytes waiting in OpenSSL are taken first; a record still arriving stays
            // in OpenSSL's buffer until it is whole.
            std::lock_guard lock(m_sslMutex);
            if (SSL_read_ex(m_ssl, buffer, length, &result.bytes) == 1) {
                return result;
            }
            reason = SSL_get_error(m_ssl, 0);
            ERR_clear_error();
        }
        if (!canRetry(reason, remaining(deadline), result)) {
            return result;
        }
    }
}

std::string AMTlsConnection::tlsVersion() const
{
    return SSL_get_version(m_ssl); // fixed once the handshake is done
}

void AMTlsConnection::close()
{
    if (!m_closed.exchange(true)) {
        ::shutdown(m_socket, SHUT_RDWR);
    }
}
