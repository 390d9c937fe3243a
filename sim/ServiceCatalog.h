#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

class SimDevice;
class SimStream;

/// What a service instance gets: its device, its connection, and its name (one handler may serve
/// several names, like AFC). The handler runs on a thread of its own, reads and writes the stream
/// with blocking calls and returns when the host closes or the conversation is over; the caller
/// then closes the connection. On detach or daemon shutdown the stream is shut down under it, so
/// every blocking call returns; long waits on other sources should also check shouldStop().
struct SimServiceContext
{
    SimDevice& device;
    SimStream& stream;
    std::string serviceName;
    std::function<bool()> shouldStop;
};

using SimServiceHandler = std::function<void(SimServiceContext&)>;

/// The lockdown services a simulated device offers, by name ("com.apple.afc", ...).
/// Filled once at start-up by registerServices(), then only read (from many threads).
class ServiceCatalog
{
public:
    struct Entry
    {
        std::string name;
        SimServiceHandler handler;
        /// Null = offered on every device; otherwise StartService is refused when it says false
        /// (e.g. "com.apple.afc2" only on jailbroken profiles).
        std::function<bool(const SimDevice&)> isAvailable;
    };

    void registerService(
        const std::string& name, SimServiceHandler handler, std::function<bool(const SimDevice&)> isAvailable = {});
    /// The entry, or null when no such service is registered.
    const Entry* find(const std::string& name) const;
    std::vector<std::string> names() const;

private:
    std::map<std::string, Entry> m_entries;
};

/// Registers every service torvane-simd offers: the one place where services are listed.
/// Add a line here for each new service.
void registerServices(ServiceCatalog& catalog);
