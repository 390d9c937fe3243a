#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

/// Categories, one per layer, under which diagnostics go to the system log.
inline constexpr const char* LOG_BASE = "torvane.base";
inline constexpr const char* LOG_DEVICE = "torvane.device";
inline constexpr const char* LOG_DB = "torvane.db";
inline constexpr const char* LOG_PLATFORM = "torvane.platform";
inline constexpr const char* LOG_MODULES = "torvane.modules";
inline constexpr const char* LOG_APP = "torvane.app";
inline constexpr const char* LOG_SIM = "torvane.sim";
inline constexpr const char* LOG_CLI = "torvane.cli";

/// Writes one plain line, printf-formatted, to the system log (syslog/journald) and to stderr,
/// both as "<category>: <text>". Thread-safe. While a LogCapture exists, the text goes to it too.
void logLine(const char* category, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// The same with an already formatted text.
void logText(const char* category, const std::string& text);

/// Turns stderr echo on or off (on by default); command-line tools turn it off for clean output.
void setLogToStderr(bool enabled);

/// Collects every line logged while it exists, so tests can assert exact texts.
/// Captures nest: the innermost one receives the lines.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// The lines so far, without category or trailing newline.
    std::vector<std::string> lines() const;
    bool contains(const std::string& line) const;
    /// How many captured lines equal `line`.
    int count(const std::string& line) const;
    void clear();

private:
    friend void logText(const char*, const std::string&);
    void append(const std::string& line);

    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    LogCapture* m_previous { nullptr };
};

/// printf into a std::string. Like logLine(), it formats numbers in the C locale whatever the
/// process locale is.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
