#pragma once

#include "device/mobile_device.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

struct ssl_st;

/// A service connection that runs TLS over a connected stream socket it owns: the form a started
/// service takes when the phone asks for TLS (EnableServiceSSL). The host side of the handshake
/// presents the pair record's root certificate, as libimobiledevice does.
///
/// It waits for readability with poll() and reads whatever whole records have arrived, so a read
/// that times out never drops bytes of a record that is still on its way (libimobiledevice
/// 1.3.0's timed read does). Reads go straight into the caller's buffer. One thread may send
/// while another receives; close() may come from any thread and wakes a waiting receive.
class AMTlsConnection final : public AMServiceConnection
{
public:
    /// Runs the handshake on `socket` (taken over: closed on failure too) within `timeout`.
    /// `highestVersion` is the newest TLS version to offer (TLS1_VERSION for phones below 10.0).
    /// Null with `error` set when the certificates cannot be read or the handshake fails.
    static std::unique_ptr<AMTlsConnection> handshake(int socket,
        const std::string& rootCertificatePem,
        const std::string& rootPrivateKeyPem,
        int highestVersion,
        std::chrono::milliseconds timeout,
        std::string* error);
    ~AMTlsConnection() override;

    AMIOResult send(const void* data, std::size_t length, std::chrono::milliseconds timeout) override;
    AMIOResult receive(void* buffer, std::size_t length, std::chrono::milliseconds timeout) override;
    /// Shuts the socket down (waking a receive blocked on another thread); the TLS state and the
    /// descriptor are released by the destructor, once no call can be using them.
    void close() override;
    bool isOpen() const override { return !m_closed.load(); }
    std::string tlsVersion() const override;

private:
    AMTlsConnection(int socket, ssl_st* ssl);

    /// Waits until the socket is ready for `events`, or the deadline passes.
    bool waitFor(short events, std::chrono::milliseconds timeout, AMIOResult& result) const;
    /// After a read or write OpenSSL did not finish, for the reason SSL_get_error() gave: true to
    /// call it again (once the socket is ready for what it asked), false with `result`'s status set.
    bool canRetry(int reason, std::chrono::milliseconds timeout, AMIOResult& result) const;

    int m_socket;
    ssl_st* m_ssl;
    std::atomic<bool> m_closed { false };
    std::mutex m_sslMutex; // OpenSSL's state is not safe for a send and a receive at once
};
