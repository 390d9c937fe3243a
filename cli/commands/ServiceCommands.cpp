#include "base/Log.h"
#include "base/RunLoop.h"
#include "cli/CliDevice.h"
#include "cli/CliJson.h"
#include "cli/CliText.h"
#include "cli/commands/BuiltInCommands.h"
#include "device/AMAuxiliaryServices.h"
#include "device/AMDevice.h"
#include "device/AMInstallationProxy.h"
#include "device/AMNotificationProxy.h"
#include "device/AMSyslogRelay.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <ostream>
#include <string_view>

// The app and service commands: `apps`, `uninstall`, `icon`, `screenshot`, `syslog` and `notify`.

namespace {

class ServiceCommands
{
public:
    explicit ServiceCommands(CliSession& session)
        : m_device(session.device())
        , m_loop(session.loop())
        , m_options(session.options())
        , m_out(session.out())
        , m_err(session.err())
    {
        // Relays are delivered on the main loop; in this tool that is the caller's loop.
        if (!RunLoop::main()) {
            RunLoop::setMain(&m_loop);
            m_setMain = true;
        }
    }

    ~ServiceCommands()
    {
        if (m_setMain) {
            RunLoop::setMain(nullptr);
        }
    }
    ServiceCommands(const ServiceCommands&) = delete;
    ServiceCommands& operator=(const ServiceCommands&) = delete;

private:
    int failure(const std::string& message, const std::optional<std::string>& detail = std::nullopt)
    {
        return reportCliFailure(m_options, m_err, {}, message, detail);
    }

    /// A failure that involved the phone: said as every command says a phone that went away,
    /// stopped answering or no longer trusts this computer; `words` otherwise.
    int deviceFailure(const std::string& words, const std::optional<std::string>& detail)
    {
        const std::unique_ptr<Watchdog> watchdog = Watchdog::forNoAnswer(m_options, m_out, m_err);
        return reportDeviceFailure(
            m_options, m_err, m_device,
            [this](std::chrono::milliseconds bound) {
                return m_loop.runUntil([this] { return deviceGone(); }, bound) || deviceGone();
            },
            words, {}, detail);
    }

    /// Whether the phone lists `bundleId` among its user apps; nothing when it cannot tell.
    std::optional<bool> hasApp(const std::string& bundleId)
    {
        const std::unique_ptr<Watchdog> watchdog = Watchdog::forNoAnswer(m_options, m_out, m_err);
        const std::optional<std::vector<AMApplication>> apps = m_device.installedApplications();
        if (!apps) {
            return std::nullopt;
        }
        return std::any_of(
            apps->begin(), apps->end(), [&bundleId](const AMApplication& app) { return app.bundleid() == bundleId; });
    }

    std::string deviceReason(const char* fallback) const { return deviceFailureWords(m_device.lasterror(), fallback); }

    /// A request on `service` waits at most the command line's time-out.
    void bound(AMService& service) const
    {
        if (m_options.timeoutSeconds > 0) {
            service.setTimeout(std::chrono::seconds(m_options.timeoutSeconds));
        }
    }

    /// True once the device has been detached (the manager forgets it on the detach record).
    bool deviceGone() const { return !m_device.device(); }

    /// The optional count argument at `index`: nothing for "no limit", or a usage failure.
    bool countArgument(std::size_t index, std::uint64_t* count)
    {
        *count = std::numeric_limits<std::uint64_t>::max();
        if (m_options.arguments.size() <= index) {
            return true;
        }
        const std::string& text = m_options.arguments[index];
        const auto parsed = std::from_chars(text.data(), text.data() + text.size(), *count);
        return parsed.ec == std::errc() && parsed.ptr == text.data() + text.size() && *count > 0;
    }

public:
    int apps()
    {
        std::optional<std::vector<AMApplication>> apps = m_device.installedApplications();
        if (!apps) {
            return deviceFailure("can't list the apps: " + deviceReason("the lookup failed"), m_device.lasterror());
        }
        std::sort(apps->begin(), apps->end(),
            [](const AMApplication& a, const AMApplication& b) { return a.bundleid() < b.bundleid(); });
        if (m_options.json) {
            PlistArray entries;
            for (const AMApplication& app : *apps) {
                PlistDictionary entry = app.info();
                entry["appname"] = app.appname();
                entries.emplace_back(std::move(entry));
            }
            m_out << plistToJson(PlistValue(std::move(entries))) << '\n';
            return CLI_OK;
        }
        // One app per line, fields separated by tabs, each escaped the same way (a tab inside a
        // name shows as \t), so the columns can be cut and names read back.
        for (const AMApplication& app : *apps) {
            const PlistValue version = app.valueForKey("CFBundleVersion");
            m_out << escapeCliText(app.bundleid()) << '\t'
                  << escapeCliText(version.isString() ? *version.asString() : std::string()) << '\t'
                  << escapeCliText(app.appname()) << '\n';
        }
        return CLI_OK;
    }

    int uninstall(const std::string& bundleId)
    {
        // Asked first, so that a reply lost after the phone removed the app is not read as a
        // refusal: the phone is asked again then.
        const std::optional<bool> installed = hasApp(bundleId);
        std::unique_ptr<AMInstallationProxy> proxy = m_device.newAMInstallationProxyWithDelegate(nullptr);
        if (!proxy) {
            return deviceFailure("can't start the installation proxy: " + deviceReason("the service did not start"),
                m_device.lasterror());
        }
        bound(*proxy);
        if (!proxy->uninstall(bundleId)) {
            const std::optional<std::string> reason = proxy->lasterror();
            proxy.reset();
            if (installed.value_or(false) && hasApp(bundleId) == false) {
                logLine(LOG_DEVICE, "The uninstall of %s failed (%s), but the app is gone", bundleId.c_str(),
                    reason.value_or("").c_str());
            } else {
                return deviceFailure(
                    "can't uninstall " + escapeCliText(bundleId) + ": " + deviceFailureWords(reason, "unknown failure"),
                    reason);
            }
        }
        m_out << "Uninstalled " << escapeCliText(bundleId) << '\n';
        return CLI_OK;
    }

    int icon(const std::string& bundleId, const std::string& path)
    {
        std::unique_ptr<AMSpringboardServices> springboard = m_device.newAMSpringboardServices();
        if (!springboard) {
            return deviceFailure(
                "can't start springboard services: " + deviceReason("the service did not start"), m_device.lasterror());
        }
        bound(*springboard);
        const std::optional<PlistData> png = springboard->getIcon(bundleId);
        if (!png) {
            return failure("no icon for " + escapeCliText(bundleId) + ": "
                    + deviceFailureWords(springboard->lasterror(), "unknown failure"),
                springboard->lasterror());
        }
        return writeFile(path, *png) ? CLI_OK : CLI_FAILED;
    }

    int screenshot(const std::string& path)
    {
        std::unique_ptr<AMScreenshotService> service = m_device.newAMScreenshotService();
        if (!service) {
            return deviceFailure("can't start the screenshot service: " + deviceReason("the service did not start"),
                m_device.lasterror());
        }
        bound(*service);
        if (!service->getScreenshotToFile(path)) {
            return failure(
                "no screenshot: " + deviceFailureWords(service->lasterror(), "unknown failure"), service->lasterror());
        }
        m_out << "Saved " << path << '\n';
        return CLI_OK;
    }

private:
    bool writeFile(const std::string& path, const PlistData& bytes)
    {
        errno = 0;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        file.close();
        if (!file) {
            const int error = errno;
            failure("can't write " + escapeCliText(path) + (error ? std::string(": ") + std::strerror(error) : ""));
            return false;
        }
        m_out << "Saved " << path << " (" << bytes.size() << " bytes)\n";
        return true;
    }

public:
    int syslog()
    {
        std::uint64_t limit = 0;
        if (!countArgument(0, &limit)) {
            (void)failure("the count must be a positive number");
            return CLI_USAGE;
        }
        std::uint64_t seen = 0;
        std::unique_ptr<AMSyslogRelay> relay = m_device.newAMSyslogRelay([&](const std::string& line) {
            if (seen < limit) {
                // Lines usually end with their own newline; print each on one line all the same.
                std::string_view text(line);
                while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
                    text.remove_suffix(1);
                }
                m_out << escapeCliText(text) << '\n' << std::flush;
                ++seen;
            }
        });
        if (!relay) {
            return deviceFailure(
                "can't start the system-log relay: " + deviceReason("the service did not start"), m_device.lasterror());
        }
        m_loop.runUntil(
            [&] { return seen >= limit || !relay->isReading() || deviceGone(); }, std::chrono::hours(24 * 365));
        m_loop.processPending(); // lines read before the stream ended
        if (seen >= limit) {
            return CLI_OK;
        }
        // Only the asked-for count ends the log normally; the stream ending or the phone going
        // away is a failure even without a count. Unplugging closes the stream before the detach
        // record arrives, so give that record a moment before saying which it was.
        m_loop.runUntil([&] { return deviceGone(); }, std::chrono::seconds(3));
        return failure(deviceGone() ? DETACHED_WORDS : "the device ended the log");
    }

    int notify()
    {
        const std::string& action = m_options.arguments[0];
        if ((action != "post" && action != "observe") || m_options.arguments.size() < 2
            || (action == "post" && m_options.arguments.size() > 2)) {
            (void)failure("use notify post NAME or notify observe NAME [COUNT]");
            return CLI_USAGE;
        }
        const std::string& name = m_options.arguments[1];
        std::uint64_t limit = 0;
        if (!countArgument(2, &limit)) {
            (void)failure("the count must be a positive number");
            return CLI_USAGE;
        }
        std::unique_ptr<AMNotificationProxy> proxy = m_device.newAMNotificationProxy();
        if (!proxy) {
            return deviceFailure("can't start the notification proxy: " + deviceReason("the service did not start"),
                m_device.lasterror());
        }
        if (action == "post") {
            proxy->postNotification(name);
            m_out << "Posted " << escapeCliText(name) << '\n';
            return CLI_OK;
        }
        std::uint64_t seen = 0;
        AMNotificationObserver observer("TorvaneCliObserver");
        observer.respondTo("notificationReceived:", [&](const std::string& notification) {
            m_out << escapeCliText(notification) << '\n' << std::flush;
            ++seen;
        });
        proxy->addObserver(&observer, "notificationReceived:", name);
        m_out << "Observing " << escapeCliText(name) << '\n' << std::flush;
        m_loop.runUntil([&] { return seen >= limit || deviceGone(); }, std::chrono::hours(24 * 365));
        proxy->removeObserver(&observer);
        if (seen < limit) {
            return failure(DETACHED_WORDS);
        }
        return CLI_OK;
    }

private:
    AMDevice& m_device;
    PlainRunLoop& m_loop;
    const CliOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_setMain { false };
};

} // namespace

namespace CliBuiltIn {

CliCommand appsCommand()
{
    return { .name = "apps",
        .minimum = 0,
        .maximum = 0,
        .usage = "  apps                          installed user apps: id, version, name (tab-separated)\n",
        .needs = CliCommandNeeds::Device,
        .unbounded = false,
        .localArguments = {},
        .run = [](CliSession& session) { return ServiceCommands(session).apps(); } };
}

CliCommand uninstallCommand()
{
    // As long as the phone reports progress: each reply has the bound.
    return { .name = "uninstall",
        .minimum = 1,
        .maximum = 1,
        .usage = "  uninstall BUNDLE_ID           remove an app\n",
        .needs = CliCommandNeeds::Device,
        .unbounded = true,
        .localArguments = {},
        .run = [](CliSession& session) { return ServiceCommands(session).uninstall(session.options().arguments[0]); } };
}

CliCommand iconCommand()
{
    return { .name = "icon",
        .minimum = 2,
        .maximum = 2,
        .usage = "  icon BUNDLE_ID FILE           save an app's home-screen icon (PNG)\n",
        .needs = CliCommandNeeds::Device,
        .unbounded = false,
        .localArguments = {},
        .run = [](CliSession& session) {
            return ServiceCommands(session).icon(session.options().arguments[0], session.options().arguments[1]);
        } };
}

CliCommand screenshotCommand()
{
    return { .name = "screenshot",
        .minimum = 1,
        .maximum = 1,
        .usage = "  screenshot FILE               save the screen as the device sends it (PNG or TIFF)\n",
        .needs = CliCommandNeeds::Device,
        .unbounded = false,
        .localArguments = {},
        .run
        = [](CliSession& session) { return ServiceCommands(session).screenshot(session.options().arguments[0]); } };
}

CliCommand syslogCommand()
{
    // For as long as it is wanted.
    return { .name = "syslog",
        .minimum = 0,
        .maximum = 1,
        .usage = "  syslog [COUNT]                print system-log lines (stop after COUNT)\n",
        .needs = CliCommandNeeds::Device,
        .unbounded = true,
        .localArguments = {},
        .run = [](CliSession& session) { return ServiceCommands(session).syslog(); } };
}

CliCommand notifyCommand()
{
    // For as long as it is wanted.
    return { .name = "notify",
        .minimum = 2,
        .maximum = 3,
        .usage = "  notify post NAME              post a notification on the device\n"
                 "  notify observe NAME [COUNT]   print NAME each time the device posts it\n",
        .needs = CliCommandNeeds::Device,
        .unbounded = true,
        .localArguments = {},
        .run = [](CliSession& session) { return ServiceCommands(session).notify(); } };
}

} // namespace CliBuiltIn
