#include "sim/content/ContentGenerators.h"
#include "sim/content/ContentSettings.h"
#include "sim/content/ContentWriter.h"
#include "sim/content/SeededRandom.h"

#include <ctime>

namespace {

std::string formatTime(std::int64_t seconds, const char* format)
{
    const std::time_t time = std::time_t(seconds);
    std::tm parts {};
    gmtime_r(&time, &parts);
    char text[64];
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

std::string hex(SeededRandom& random, int digits)
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < digits; ++i) {
        text += HEX[random.next() & 0xF];
    }
    return text;
}

/// An app crash in the text format the crash reporter writes, with the one-line JSON header that
/// precedes it from iOS 10 on.
std::string appCrash(const ContentSettings& settings, const AppRecord& app, std::int64_t when, SeededRandom& random)
{
    const std::string version = settings.era.version.text();
    const std::string incident = random.uuid();
    const std::string name = app.executable.empty() ? app.bundleName : app.executable;
    const int pid = int(random.between(180, 4200));
    std::string report;
    if (settings.era.version.atLeast(10)) {
        report += "{\"app_name\":\"" + name + "\",\"timestamp\":\"" + formatTime(when, "%Y-%m-%d %H:%M:%S.00 +0000")
            + "\",\"app_version\":\"" + app.shortVersion + "\",\"bug_type\":\"109\",\"os_version\":\"iPhone OS "
            + version + "\",\"bundleID\":\"" + app.bundleIdentifier + "\",\"incident_id\":\"" + incident
            + "\",\"name\":\"" + name + "\"}\n";
    }
    report += "Incident Identifier: " + incident + "\nCrashReporter Key:   " + hex(random, 40)
        + "\nHardware Model:      iPhone\nProcess:             " + name + " [" + std::to_string(pid)
        + "]\nPath:                " + app.bundlePath + "/" + name + "\nIdentifier:          " + app.bundleIdentifier
        + "\nVersion:             " + app.shortVersion + " (" + app.bundleVersion
        + ")\nCode Type:           ARM-64 (Native)\nParent Process:      launchd [1]\n\nDate/Time:           "
        + formatTime(when, "%Y-%m-%d %H:%M:%S.000 +0000")
        + "\nLaunch Time:         " + formatTime(when - random.between(20, 3600), "%Y-%m-%d %H:%M:%S.000 +0000")
        + "\nOS Version:          iPhone OS " + version
        + "\nReport Version:      104\n\nException Type:  EXC_CRASH (SIGABRT)\nException Codes: 0x0000000000000000, "
          "0x0000000000000000\nTriggered by Thread:  0\n\nThread 0 name:  Dispatch queue: "
          "com.apple.main-thread\nThread 0 Crashed:\n"
          "0   libsystem_kernel.dylib        \t0x0000000181b2c014 __pthread_kill + 8\n"
          "1   libsystem_pthread.dylib       \t0x0000000181bf5460 pthread_kill + 112\n"
          "2   libsystem_c.dylib             \t0x0000000181aa23f4 abort + 140\n"
          "3   libc++abi.dylib               \t0x00000001815752d4 __cxa_bad_cast + 0\n"
          "4   "
        + name + std::string(30 - std::min<std::size_t>(name.size(), 29), ' ') + "\t0x00000001000" + hex(random, 5)
        + " 0x100000000 + " + std::to_string(random.between(4096, 900000)) + "\n\nBinary Images:\n0x100000000 - 0x1000"
        + hex(random, 5) + " " + name + " arm64  <" + hex(random, 32) + "> " + app.bundlePath + "/" + name + "\n";
    return report;
}

/// A memory-pressure report, which every phone collects without any app crashing.
std::string jetsamEvent(const ContentSettings& settings, std::int64_t when, SeededRandom& random)
{
    return "{\"bug_type\":\"298\",\"timestamp\":\"" + formatTime(when, "%Y-%m-%d %H:%M:%S.00 +0000")
        + "\",\"os_version\":\"iPhone OS " + settings.era.version.text() + "\",\"incident_id\":\"" + random.uuid()
        + "\"}\n{\n  \"crashReporterKey\" : \"" + hex(random, 40) + "\",\n  \"kernel\" : \"Darwin Kernel Version\",\n"
        + "  \"largestProcess\" : \"MobileSafari\",\n  \"genCounter\" : " + std::to_string(random.between(1, 9))
        + ",\n  \"memoryStatus\" : {\"compressorSize\" : " + std::to_string(random.between(20000, 90000))
        + ", \"pageSize\" : 16384},\n  \"processes\" : [\n    {\"name\" : \"MobileSafari\", \"reason\" : "
          "\"per-process-limit\", "
          "\"rpages\" : "
        + std::to_string(random.between(40000, 90000)) + "}\n  ]\n}\n";
}

} // namespace

bool ContentGenerators::generateCrashReports(
    const ContentSettings& settings, ContentWriter& writer, const std::vector<AppRecord>& apps)
{
    static constexpr std::string_view FOLDER = "/private/var/mobile/Library/Logs/CrashReporter";
    SeededRandom random = SeededRandom(settings.seed).fork("crash-reports");
    std::vector<const AppRecord*> userApps;
    for (const AppRecord& app : apps) {
        if (app.applicationType == "User") {
            userApps.push_back(&app);
        }
    }
    // Before iOS 10 the file name carries the device after the date.
    const bool newNames = settings.era.version.atLeast(10);
    for (int i = 0; i < settings.crashReports; ++i) {
        const std::int64_t when = settings.referenceTime - random.between(3600, 86400L * 60);
        const std::string stamp = formatTime(when, "%Y-%m-%d-%H%M%S");
        std::string name;
        std::string text;
        if (i % 3 == 2 || userApps.empty()) {
            name = "JetsamEvent";
            text = jetsamEvent(settings, when, random);
        } else {
            const AppRecord& app = *userApps[std::size_t(random.between(0, std::int64_t(userApps.size()) - 1))];
            name = app.executable.empty() ? app.bundleName : app.executable;
            text = appCrash(settings, app, when, random);
        }
        const std::string path
            = std::string(FOLDER) + "/" + name + (newNames ? "-" + stamp : "_" + stamp + "_iPhone") + ".ips";
        if (!writer.writeFile(path, text) || !writer.setTimes(path, when, when)) {
            return false;
        }
    }
    return true;
}
