#pragma once

#include "base/PlistValue.h"
#include "tests/support/SimulatorFixture.h"

#include <cstdint>
#include <map>
#include <string>

#include <gtest/gtest.h>

/// One user app as `ideviceinstaller -l -o xml` lists it: an independent reading of the phone.
struct InstalledApp
{
    std::int64_t staticBytes { 0 };
    std::int64_t dynamicBytes { 0 };
    std::string container;
};

/// The attached phone's user apps by bundle identifier; a listing that fails is a test failure.
inline std::map<std::string, InstalledApp> installedApps()
{
    const ProcessResult listed = runProcess({ "ideviceinstaller", "-l", "-o", "xml" });
    std::map<std::string, InstalledApp> apps;
    const auto document = PlistCodec::fromXml(listed.out);
    if (listed.exitCode != 0 || !document || !document->asArray()) {
        ADD_FAILURE() << "ideviceinstaller failed: " << listed.err;
        return apps;
    }
    for (const PlistValue& app : *document->asArray()) {
        InstalledApp& entry = apps[app.stringForKey("CFBundleIdentifier")];
        if (const PlistValue* value = app.find("StaticDiskUsage")) {
            entry.staticBytes = value->toInt64().value_or(0);
        }
        if (const PlistValue* value = app.find("DynamicDiskUsage")) {
            entry.dynamicBytes = value->toInt64().value_or(0);
        }
        entry.container = app.stringForKey("Container");
    }
    return apps;
}
