#pragma once

#include <optional>
#include <string>

/// The last-error text every device-layer object keeps. Operations answer a result and leave the
/// reason here; which operations set, keep or clear it is part of each operation's behaviour.
/// Not thread-safe: like the object that owns it, one thread at a time.
class AMErrorState
{
public:
    /// The text of the last failure, or nothing after a success that clears it.
    const std::optional<std::string>& lasterror() const { return m_lasterror; }
    void clearLastError() { m_lasterror.reset(); }
    void setLastError(std::optional<std::string> text) { m_lasterror = std::move(text); }

protected:
    /// Stores `text` as the last error and answers false, for `return fail("...");`.
    bool fail(std::string text)
    {
        m_lasterror = std::move(text);
        return false;
    }

private:
    std::optional<std::string> m_lasterror;
};
