#pragma once

#include <cstddef>
#include <cstdint>

class SimFaults;
struct ssl_ctx_st;
struct ssl_st;

/// The device end of one tunnelled connection (a usbmux socket after Connect). Blocking reads and
/// writes that honour the device's injected faults: stalled replies, the link's speed, and for
/// service connections a close after N bytes. Reads and writes go through TLS once startTls() succeeded. Used by one
/// thread at a time; does not own the descriptor.
class SimStream
{
public:
    enum class Kind {
        Lockdown,
        Service,
    };

    SimStream(int fd, const SimFaults* faults, Kind kind);
    ~SimStream();
    SimStream(const SimStream&) = delete;
    SimStream& operator=(const SimStream&) = delete;

    /// Acts as the TLS server on this stream from here on (the host speaks first). False when the
    /// handshake fails, e.g. on plain text; the stream is then closed.
    bool startTls(ssl_ctx_st* context);
    /// Back to plain text, as after StopSession: takes the host's close_notify and sends none,
    /// since the host reads plain text right after sending its own.
    void endTls();
    bool isTls() const { return m_ssl != nullptr; }

    /// Reads exactly `size` bytes; false on end of stream, error or an injected close.
    bool readExact(void* buffer, std::size_t size);
    /// Reads what is available, up to `size`, waiting for at least one byte; 0 at end of stream.
    std::size_t readSome(void* buffer, std::size_t size);
    /// Writes everything in one go where the socket allows; waits first while replies are stalled.
    bool writeAll(const void* buffer, std::size_t size);
    /// 1 readable (or closed by the peer, or decrypted bytes waiting), 0 timed out, -1 error.
    int waitReadable(int timeoutMs) const;

    /// Ends the connection in both directions (the descriptor stays open for its owner to close).
    void close();
    bool isClosed() const { return m_closed; }
    int fd() const { return m_fd; }
    std::uint64_t bytesTransferred() const { return m_transferred; }

private:
    /// How many more bytes the close-after fault lets through (SIZE_MAX when unlimited).
    std::size_t budget();
    std::size_t receive(void* buffer, std::size_t size);
    bool send(const void* buffer, std::size_t size);
    /// Writes bytes as they go on the wire, honouring the split-writes fault and the link rate.
    bool sendRaw(const std::uint8_t* bytes, std::size_t size);
    /// Sends the TLS records the last SSL call produced.
    bool flushRecords();

    int m_fd;
    const SimFaults* m_faults;
    Kind m_kind;
    bool m_closed { false };
    ssl_st* m_ssl { nullptr };
    std::uint64_t m_transferred { 0 };
    std::uint64_t m_writes { 0 };
};
