#include "cli/ServiceCommands.h"

#include "base/RunLoop.h"
#include "cli/CliJson.h"
#include "device/AMAuxiliaryServices.h"
#include "device/AMDevice.h"
#include "device/AMInstallationProxy.h"
#include "device/AMNotificationProxy.h"
#include "device/AMSyslogRelay.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <limits>
#include <ostream>
#include <string_view>

namespace {

class ServiceCommands
{
public:
    ServiceCommands(
        AMDevice& device, PlainRunLoop& loop, const CliOptions& options, std::ostream& out, std::ostream& err)
        : m_device(device)
        , m_loop(loop)
        , m_options(options)
        , m_out(out)
        , m_err(err)
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

    int run()
    {
        const std::string& command = m_options.command;
        if (command == "apps") {
            return apps();
        }
        if (command == "uninstall") {
            return uninstall(m_options.arguments[0]);
        }
        if (command == "icon") {
            return icon(m_options.arguments[0], m_options.arguments[1]);
        }
        if (command == "screenshot") {
            return screenshot(m_options.arguments[0]);
        }
        if (command == "syslog") {
            return syslog();
        }
        if (command == "notify") {
            return notify();
        }
        return failure("unknown command");
    }

private:
    int failure(const std::string& message)
    {
        m_err << "torvane-cli: " << m_options.command << ": " << message << '\n';
        return CLI_FAILED;
    }

    std::string deviceReason(const char* fallback) const { return m_device.lasterror().value_or(fallback); }

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

    int apps()
    {
        std::optional<std::vector<AMApplication>> apps = m_device.installedApplications();
        if (!apps) {
            return failure("can't list the apps: " + deviceReason("the lookup failed"));
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
        for (const AMApplication& app : *apps) {
            const PlistValue version = app.valueForKey("CFBundleVersion");
            m_out << app.bundleid() << ", \"" << (version.isString() ? *version.asString() : std::string()) << "\", \""
                  << app.appname() << "\"\n";
        }
        return CLI_OK;
    }

    int uninstall(const std::string& bundleId)
    {
        std::unique_ptr<AMInstallationProxy> proxy = m_device.newAMInstallationProxyWithDelegate(nullptr);
        if (!proxy) {
            return failure("can't start the installation proxy: " + deviceReason("the service did not start"));
        }
        if (!proxy->uninstall(bundleId)) {
            return failure("can't uninstall " + bundleId + ": " + proxy->lasterror().value_or("unknown failure"));
        }
        m_out << "Uninstalled " << bundleId << '\n';
        return CLI_OK;
    }

    int icon(const std::string& bundleId, const std::string& path)
    {
        std::unique_ptr<AMSpringboardServices> springboard = m_device.newAMSpringboardServices();
        if (!springboard) {
            return failure("can't start springboard services: " + deviceReason("the service did not start"));
        }
        const std::optional<PlistData> png = springboard->getIcon(bundleId);
        if (!png) {
            return failure("no icon for " + bundleId + ": " + springboard->lasterror().value_or("unknown failure"));
        }
        return writeFile(path, *png) ? CLI_OK : CLI_FAILED;
    }

    int screenshot(const std::string& path)
    {
        std::unique_ptr<AMScreenshotService> service = m_device.newAMScreenshotService();
        if (!service) {
            return failure("can't start the screenshot service: " + deviceReason("the service did not start"));
        }
        if (!service->getScreenshotToFile(path)) {
            return failure("no screenshot: " + service->lasterror().value_or("unknown failure"));
        }
        m_out << "Saved " << path << '\n';
        return CLI_OK;
    }

    bool writeFile(const std::string& path, const PlistData& bytes)
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        file.close();
        if (!file) {
            failure("can't write " + path);
            return false;
        }
        m_out << "Saved " << path << " (" << bytes.size() << " bytes)\n";
        return true;
    }

    int syslog()
    {
        std::uint64_t limit = 0;
        if (!countArgument(0, &limit)) {
            m_err << "torvane-cli: syslog: the count must be a positive number\n";
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
                m_out << text << '\n' << std::flush;
                ++seen;
            }
        });
        if (!relay) {
            return failure("can't start the system-log relay: " + deviceReason("the service did not start"));
        }
        m_loop.runUntil([&] { return seen >= limit || !relay->isReading(); }, std::chrono::hours(24 * 365));
        m_loop.processPending(); // lines read before the stream ended
        return seen >= limit || limit == std::numeric_limits<std::uint64_t>::max()
            ? CLI_OK
            : failure("the device ended the log");
    }

    int notify()
    {
        const std::string& action = m_options.arguments[0];
        if ((action != "post" && action != "observe") || m_options.arguments.size() < 2
            || (action == "post" && m_options.arguments.size() > 2)) {
            m_err << "torvane-cli: notify: use notify post NAME or notify observe NAME [COUNT]\n";
            return CLI_USAGE;
        }
        const std::string& name = m_options.arguments[1];
        std::uint64_t limit = 0;
        if (!countArgument(2, &limit)) {
            m_err << "torvane-cli: notify: the count must be a positive number\n";
            return CLI_USAGE;
        }
        std::unique_ptr<AMNotificationProxy> proxy = m_device.newAMNotificationProxy();
        if (!proxy) {
            return failure("can't start the notification proxy: " + deviceReason("the service did not start"));
        }
        if (action == "post") {
            proxy->postNotification(name);
            m_out << "Posted " << name << '\n';
            return CLI_OK;
        }
        std::uint64_t seen = 0;
        AMNotificationObserver observer("TorvaneCliObserver");
        observer.respondTo("notificationReceived:", [&](const std::string& notification) {
            m_out << notification << '\n' << std::flush;
            ++seen;
        });
        proxy->addObserver(&observer, "notificationReceived:", name);
        m_out << "Observing " << name << '\n' << std::flush;
        m_loop.runUntil([&] { return seen >= limit; }, std::chrono::hours(24 * 365));
        proxy->removeObserver(&observer);
        return CLI_OK;
    }

    AMDevice& m_device;
    PlainRunLoop& m_loop;
    const CliOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_setMain { false };
};

} // namespace

bool isServiceCommand(const std::string& command)
{
    return command == "apps" || command == "uninstall" || command == "icon" || command == "screenshot"
        || command == "syslog" || command == "notify";
}

int runServiceCommand(
    AMDevice& device, PlainRunLoop& loop, const CliOptions& options, std::ostream& out, std::ostream& err)
{
    return ServiceCommands(device, loop, options, out, err).run();
}
