#pragma once

#include <QDateTime>

/// Where modules read the current time. Tests hand modules a clock set to a fixed moment, so age
/// cut-offs and relative dates can be checked exactly.
class ECClock
{
public:
    virtual ~ECClock() = default;
    virtual QDateTime now() const = 0;

    /// The real time, shared by everyone who was not given another clock.
    static const ECClock& system();
};

/// A clock that says what it is told.
class ECFixedClock : public ECClock
{
public:
    explicit ECFixedClock(QDateTime now)
        : m_now(std::move(now))
    {
    }
    QDateTime now() const override { return m_now; }
    void setNow(QDateTime now) { m_now = std::move(now); }

private:
    QDateTime m_now;
};
