#include "base/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include <locale.h>
#include <syslog.h>

namespace {

std::mutex s_mutex; // guards s_capture and keeps stderr lines whole
LogCapture* s_capture = nullptr;
std::atomic<bool> s_toStderr { true };
std::once_flag s_openlogOnce;

std::string vformat(const char* format, va_list arguments)
{
    if (!format) {
        return {};
    }
    // Formats are the system's own fixed texts: numbers look the same under every locale, as
    // they do in the formats' original setting ("%.1f" never gives a decimal comma).
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const locale_t previous = cLocale ? uselocale(cLocale) : static_cast<locale_t>(nullptr);
    struct Restore
    {
        locale_t locale;
        ~Restore()
        {
            if (locale) {
                uselocale(locale);
            }
        }
    } restore { previous };

    va_list copy;
    va_copy(copy, arguments);
    char buffer[512];
    const int length = std::vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    if (length < 0) {
        return {};
    }
    if (std::size_t(length) < sizeof buffer) {
        return std::string(buffer, std::size_t(length));
    }
    std::string text(std::size_t(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.resize(std::size_t(length));
    return text;
}

} // namespace

void logLine(const char* category, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string text = vformat(format, arguments);
    va_end(arguments);
    logText(category, text);
}

void logText(const char* category, const std::string& text)
{
    // One line per call: a trailing newline in the format is not part of the line.
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    const char* name = category ? category : "torvane";

    std::call_once(s_openlogOnce, [] { openlog(nullptr, LOG_PID, LOG_USER); });
    // The category goes in front of the text so journald and syslog files can be filtered by it;
    // the text is passed as an argument, never as a format.
    syslog(LOG_NOTICE, "%s: %s", name, line.c_str());

    std::lock_guard lock(s_mutex);
    if (s_toStderr.load(std::memory_order_relaxed)) {
        std::fprintf(stderr, "%s: %s\n", name, line.c_str());
    }
    if (s_capture) {
        s_capture->append(line);
    }
}

void setLogToStderr(bool enabled)
{
    s_toStderr.store(enabled, std::memory_order_relaxed);
}

LogCapture::LogCapture()
{
    std::lock_guard lock(s_mutex);
    m_previous = s_capture;
    s_capture = this;
}

LogCapture::~LogCapture()
{
    std::lock_guard lock(s_mutex);
    // Usually the innermost capture ends first; if not, unlink this one wherever it sits.
    LogCapture** link = &s_capture;
    while (*link && *link != this) {
        link = &(*link)->m_previous;
    }
    if (*link == this) {
        *link = m_previous;
    }
}

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

bool LogCapture::contains(const std::string& line) const
{
    return count(line) > 0;
}

int LogCapture::count(const std::string& line) const
{
    std::lock_guard lock(m_mutex);
    return int(std::count(m_lines.begin(), m_lines.end(), line));
}

void LogCapture::clear()
{
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}

void LogCapture::append(const std::string& line)
{
    std::lock_guard lock(m_mutex);
    m_lines.push_back(line);
}

std::string stringWithFormat(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string text = vformat(format, arguments);
    va_end(arguments);
    return text;
}
