#pragma once

#include "device/mobile_device.h"

#include <atomic>

/// Waits until the socket `fd` is ready for the poll() `events`; false on timeout or error
/// (`result` says which). A peer that hung up or failed also ends the wait: the next call says which.
bool waitForSocket(int fd, short events, std::chrono::milliseconds timeout, AMIOResult& result);

/// A service connection over a connected stream socket it owns: the form every started service
/// takes in production when the service runs without TLS, and a socketpair end in unit tests.
/// Waits with poll(), so timeouts are exact and a closed peer is seen at once.
class AMSocketConnection final : public AMServiceConnection
{
public:
    /// Takes ownership of `socket` (closed by close() or the destructor). A negative descriptor
    /// gives a connection that is closed from the start.
    explicit AMSocketConnection(int socket);
    ~AMSocketConnection() override;

    AMIOResult send(const void* data, std::size_t length, std::chrono::milliseconds timeout) override;
    AMIOResult receive(void* buffer, std::size_t length, std::chrono::milliseconds timeout) override;
    /// Shuts the socket down (waking a receive blocked on another thread); the descriptor is
    /// released by the destructor, once no call can be using it. Any thread.
    void close() override;
    bool isOpen() const override { return m_socket.load() >= 0; }

private:
    std::atomic<int> m_socket;
    int m_shutDown { -1 }; // the descriptor after close(), for the destructor
};
