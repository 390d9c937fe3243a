#pragma once

#include "base/PlistValue.h"

#include <string>

/// One installed app as the device describes it: the attribute dictionary the device returned,
/// kept whole, with the name shown to the user and the bundle identifier picked out of it.
/// Immutable after construction.
class AMApplication
{
public:
    /// Keeps `info` whole. The display name is "CFBundleDisplayName" unless that is missing or
    /// empty, then "CFBundleName" (even an empty one), then "CFBundleExecutable".
    explicit AMApplication(PlistDictionary info);
    static AMApplication initWithDictionary(PlistDictionary info) { return AMApplication(std::move(info)); }

    const std::string& bundleid() const { return m_bundleid; }
    const std::string& appname() const { return m_appname; }
    const PlistDictionary& info() const { return m_info; }
    /// "appname" and "bundleid" give those; any other key its value in info(), or the null marker
    /// (a PlistValue of type Null) when info() has no such key.
    PlistValue valueForKey(const std::string& key) const;
    /// "Container": the app's container path on the device; empty when the device did not say.
    std::string appdir() const;
    /// "<AMApplication name=%@ id=%@>".
    std::string description() const;
    /// By display name, ignoring ASCII case: negative, zero or positive.
    int compare(const AMApplication& other) const;
    /// Equal when the display names compare equal.
    bool isEqual(const AMApplication& other) const { return compare(other) == 0; }
    bool operator==(const AMApplication& other) const { return isEqual(other); }
    bool operator<(const AMApplication& other) const { return compare(other) < 0; }

private:
    PlistDictionary m_info;
    std::string m_appname;
    std::string m_bundleid;
};
