#pragma once

#include <mutex>
#include <optional>
#include <string>

/// Whether a simulated phone trusts computers, as `torvane-simd ctl trust` or a profile's "Trust"
/// key sets it. Only the phone's answers to Pair, ValidatePair and StartSession change; which
/// computers paired is kept by SimDevice. Thread-safe.
///
/// - trusted: computers that paired start sessions; Pair is accepted at once.
/// - passcode-locked, dialog-pending, denied: the phone trusts no computer while its trust prompt
///   is in that state (a phone asks only a computer it does not trust). Sessions and ValidatePair
///   get "InvalidHostID"; Pair gets "PasswordProtected" (locked with a passcode),
///   "PairingDialogResponsePending" (the question is on screen) or "UserDeniedPairing" (the user
///   tapped Don't Trust).
/// - forgotten: the phone dropped every pairing (SimDevice forgets the hosts), so a computer that
///   still holds a pair record gets "InvalidHostID"; pairing again is accepted and makes the phone
///   trusted again.
class SimTrust
{
public:
    enum class State { Trusted, PasscodeLocked, DialogPending, Denied, Forgotten };

    /// "trusted", "passcode-locked", "dialog-pending", "denied", "forgotten".
    static std::optional<State> parse(const std::string& name);
    static const char* name(State state);

    State state() const;
    void setState(State state);

    /// The error a Pair request gets now; nothing when the phone pairs.
    std::optional<std::string> pairRefusal() const;
    /// True while the phone refuses sessions and ValidatePair to every computer.
    bool refusesEveryHost() const;
    /// A Pair request was accepted: a phone that had forgotten its computers trusts again.
    void paired();

private:
    mutable std::mutex m_mutex;
    State m_state { State::Trusted };
};
