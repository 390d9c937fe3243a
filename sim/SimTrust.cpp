#include "sim/SimTrust.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<SimTrust::State, const char*>, 5> NAMES { {
    { SimTrust::State::Trusted, "trusted" },
    { SimTrust::State::PasscodeLocked, "passcode-locked" },
    { SimTrust::State::DialogPending, "dialog-pending" },
    { SimTrust::State::Denied, "denied" },
    { SimTrust::State::Forgotten, "forgotten" },
} };

} // namespace

std::optional<SimTrust::State> SimTrust::parse(const std::string& name)
{
    for (const auto& [state, text] : NAMES) {
        if (name == text) {
            return state;
        }
    }
    return std::nullopt;
}

const char* SimTrust::name(State state)
{
    for (const auto& [candidate, text] : NAMES) {
        if (candidate == state) {
            return text;
        }
    }
    return "trusted";
}

SimTrust::State SimTrust::state() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

void SimTrust::setState(State state)
{
    std::lock_guard lock(m_mutex);
    m_state = state;
}

std::optional<std::string> SimTrust::pairRefusal() const
{
    switch (state()) {
    case State::PasscodeLocked:
        return "PasswordProtected";
    case State::DialogPending:
        return "PairingDialogResponsePending";
    case State::Denied:
        return "UserDeniedPairing";
    case State::Trusted:
    case State::Forgotten:
        break;
    }
    return std::nullopt;
}

bool SimTrust::refusesEveryHost() const
{
    const State now = state();
    return now == State::PasscodeLocked || now == State::DialogPending || now == State::Denied;
}

void SimTrust::paired()
{
    std::lock_guard lock(m_mutex);
    if (m_state == State::Forgotten) {
        m_state = State::Trusted;
    }
}
