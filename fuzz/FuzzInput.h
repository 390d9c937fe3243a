#pragma once

// Helpers shared by the fuzz targets: taking choices from the front of an input, and a service
// connection that plays a device from the input's bytes.

#include "device/mobile_device.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

/// Reads choices from the front of a fuzz input; once it is used up every choice is 0.
class FuzzInput
{
public:
    FuzzInput(const std::uint8_t* data, std::size_t size)
        : m_rest(reinterpret_cast<const char*>(data), size)
    {
    }

    std::uint8_t byte()
    {
        if (m_rest.empty()) {
            return 0;
        }
        const auto value = static_cast<std::uint8_t>(m_rest.front());
        m_rest.remove_prefix(1);
        return value;
    }

    std::uint32_t u32()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | byte();
        }
        return value;
    }

    /// The next `count` bytes (fewer at the end).
    std::string_view take(std::size_t count)
    {
        const std::string_view out = m_rest.substr(0, count);
        m_rest.remove_prefix(out.size());
        return out;
    }

    std::string_view rest() const { return m_rest; }

private:
    std::string_view m_rest;
};

/// A device connection whose incoming bytes are `stream`, handed out in pieces of at most
/// `pieceSize` bytes (so frames split across reads are exercised), then reported closed. What the
/// client sends is counted and dropped.
class FuzzConnection final : public AMServiceConnection
{
public:
    explicit FuzzConnection(std::string_view stream, std::size_t pieceSize = 0)
        : m_stream(stream)
        , m_pieceSize(pieceSize == 0 ? stream.size() + 1 : pieceSize)
    {
    }

    AMIOResult send(const void*, std::size_t length, std::chrono::milliseconds) override
    {
        if (!m_open) {
            return { AMIOStatus::Closed, 0 };
        }
        m_sent += length;
        return { AMIOStatus::Ok, length };
    }

    AMIOResult receive(void* buffer, std::size_t length, std::chrono::milliseconds) override
    {
        if (!m_open || m_stream.empty()) {
            return { AMIOStatus::Closed, 0 };
        }
        const std::size_t count = std::min({ length, m_pieceSize, m_stream.size() });
        std::memcpy(buffer, m_stream.data(), count);
        m_stream.remove_prefix(count);
        return { AMIOStatus::Ok, count };
    }

    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }

    bool exhausted() const { return m_stream.empty() || !m_open; }

private:
    std::string_view m_stream;
    std::size_t m_pieceSize;
    std::size_t m_sent { 0 };
    bool m_open { true };
};
