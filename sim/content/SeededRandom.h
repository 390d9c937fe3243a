#pragma once

#include <cstdint>
#include <string>
#include <string_view>

/// A small deterministic generator (splitmix64). The standard library's distributions are not
/// specified bit for bit, so a profile's seed would give different devices on different
/// toolchains; everything here is defined by this file alone.
class SeededRandom
{
public:
    explicit SeededRandom(std::uint64_t seed)
        : m_state(seed)
    {
    }

    /// A generator for one named part of the content, independent of how much the others draw,
    /// so that adding photos does not reshuffle the apps.
    SeededRandom fork(std::string_view label) const
    {
        std::uint64_t hash = 1469598103934665603ULL;
        for (char c : label) {
            hash = (hash ^ std::uint8_t(c)) * 1099511628211ULL;
        }
        return SeededRandom(m_state ^ hash);
    }

    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    /// Uniform in [low, high]; `low` when the range is empty.
    std::int64_t between(std::int64_t low, std::int64_t high)
    {
        if (high <= low) {
            return low;
        }
        const auto span = std::uint64_t(high - low) + 1;
        return low + std::int64_t(span == 0 ? next() : next() % span);
    }

    /// Uniform in [0, 1).
    double unit() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }

    bool chance(double probability) { return unit() < probability; }

    /// A value in [low, high] skewed towards `low` (squared uniform), the usual shape of sizes.
    std::int64_t skewed(std::int64_t low, std::int64_t high)
    {
        const double u = unit();
        return low + std::int64_t(double(high - low) * u * u);
    }

    /// Upper-case hexadecimal UUID text, as iOS names containers.
    std::string uuid()
    {
        static constexpr char HEX[] = "0123456789ABCDEF";
        std::string text;
        const std::uint64_t a = next();
        const std::uint64_t b = next();
        for (int i = 0; i < 32; ++i) {
            const std::uint64_t word = i < 16 ? a : b;
            text += HEX[(word >> ((i % 16) * 4)) & 0xF];
            if (i == 7 || i == 11 || i == 15 || i == 19) {
                text += '-';
            }
        }
        return text;
    }

    /// `count` upper-case letters.
    std::string letters(int count)
    {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += char('A' + next() % 26);
        }
        return text;
    }

    template <typename T, std::size_t N> const T& pick(const T (&items)[N]) { return items[next() % N]; }

private:
    std::uint64_t m_state;
};
