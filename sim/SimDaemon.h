#pragma once

#include "sim/ServiceCatalog.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class SimDevice;
class PlistValue;

/// torvane-simd: a usbmuxd-compatible unix socket in front of simulated phones, plus a control
/// socket ("<socket>.ctl") for attaching, detaching and injecting faults. Every client connection
/// gets a thread of its own, so short requests, listeners and tunnels never wait for each other.
class SimDaemon
{
public:
    struct Options
    {
        std::filesystem::path socketPath;
        std::filesystem::path stateDir;
        /// Built-in profile names or JSON files; each becomes an attached device.
        std::vector<std::string> profiles;
    };

    SimDaemon();
    ~SimDaemon();
    SimDaemon(const SimDaemon&) = delete;
    SimDaemon& operator=(const SimDaemon&) = delete;

    static std::filesystem::path controlSocketPath(const std::filesystem::path& socketPath);

    /// Loads the devices and binds both sockets. False with `error` set on failure.
    bool start(const Options& options, std::string* error);
    /// Accepts clients until requestStop(); then ends every connection, removes the sockets and
    /// returns.
    void run();
    /// Async-signal-safe.
    void requestStop();

    /// Runs one control command (the words after "ctl --socket PATH"); returns the reply text and
    /// sets `ok`. Also used by the control socket.
    std::string control(const std::vector<std::string>& words, bool& ok);

private:
    void serveClient(int fd);
    void serveControl(int fd);
    void spawn(int fd, void (SimDaemon::*serve)(int));

    // usbmux
    bool sendPlist(int fd, std::uint32_t tag, const PlistValue& message);
    bool sendResult(int fd, std::uint32_t tag, int number);
    PlistValue attachedEvent(const SimDevice& device) const;
    void broadcast(const PlistValue& event);
    void serveListener(int fd, std::uint32_t tag);
    void tunnel(int fd, std::uint32_t tag, const PlistValue& request);
    std::shared_ptr<SimDevice> deviceById(std::int64_t id) const;
    std::shared_ptr<SimDevice> deviceByUdid(const std::string& udid) const;
    std::filesystem::path pairRecordPath(const std::string& recordId) const;

    bool attach(const std::shared_ptr<SimDevice>& device);
    bool detach(const std::shared_ptr<SimDevice>& device);
    std::shared_ptr<SimDevice> loadDevice(const std::string& profile, std::string* error);

    Options m_options;
    ServiceCatalog m_catalog;
    std::string m_systemBuid;
    int m_listenFd { -1 };
    int m_controlFd { -1 };
    int m_wakePipe[2] { -1, -1 };
    std::atomic<bool> m_stopping { false };

    mutable std::mutex m_mutex; // devices, listeners, client set
    std::vector<std::shared_ptr<SimDevice>> m_devices;
    std::set<int> m_listeners;
    std::set<int> m_clients;
    int m_activeThreads { 0 };
    int m_activeControls { 0 };
    int m_stateLockFd { -1 }; // holds the state folder for this daemon alone
    std::condition_variable m_threadsDone;
    int m_nextDeviceId { 1 };
    std::mutex m_pairRecordMutex;
};
