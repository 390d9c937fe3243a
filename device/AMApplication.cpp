#include "device/AMApplication.h"

#include "base/Log.h"

#include <algorithm>

namespace {

const std::string* textFor(const PlistDictionary& info, const char* key)
{
    const auto found = info.find(key);
    return found != info.end() ? found->second.asString() : nullptr;
}

} // namespace

AMApplication::AMApplication(PlistDictionary info)
    : m_info(std::move(info))
{
    if (const std::string* display = textFor(m_info, "CFBundleDisplayName"); display && !display->empty()) {
        m_appname = *display;
    } else if (const std::string* name = textFor(m_info, "CFBundleName")) {
        m_appname = *name; // only the display name is tested for emptiness
    } else if (const std::string* executable = textFor(m_info, "CFBundleExecutable")) {
        m_appname = *executable;
    }
    if (const std::string* identifier = textFor(m_info, "CFBundleIdentifier")) {
        m_bundleid = *identifier;
    }
}

PlistValue AMApplication::valueForKey(const std::string& key) const
{
    if (key == "appname") {
        return m_appname;
    }
    if (key == "bundleid") {
        return m_bundleid;
    }
    const auto found = m_info.find(key);
    return found != m_info.end() ? found->second : PlistValue();
}

std::string AMApplication::appdir() const
{
    const std::string* container = textFor(m_info, "Container");
    return container ? *container : std::string();
}

std::string AMApplication::description() const
{
    return stringWithFormat("<AMApplication name=%s id=%s>", m_appname.c_str(), m_bundleid.c_str());
}

int AMApplication::compare(const AMApplication& other) const
{
    // ASCII only: the result must not depend on the process locale.
    const auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : int(c); };
    const std::string& a = m_appname;
    const std::string& b = other.m_appname;
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const int left = lower(static_cast<unsigned char>(a[i]));
        const int right = lower(static_cast<unsigned char>(b[i]));
        if (left != right) {
            return left < right ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}
