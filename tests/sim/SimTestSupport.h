#pragma once

#include "tests/support/SimulatorFixture.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

/// A small test phone written as a profile file: capacity in MiB so that filling it is quick.
struct TestProfile
{
    std::string udid { "5eed000000000000000000000000000000000001" };
    std::string version { "9.3.5" };
    std::uint64_t capacityMiB { 64 };
    std::uint64_t usedMiB { 8 };
    std::uint64_t reserveMiB { 4 };
    std::uint64_t poolMiB { 0 };
    std::uint64_t thresholdMiB { 2 };
    std::uint64_t targetMiB { 3 };
    std::uint64_t stepMiB { 1 };
    int intervalMs { 20 };
    bool jailbroken { false };

    /// Writes "<folder>/<udid>.json" and returns its path.
    std::filesystem::path write(const std::filesystem::path& folder) const;
};

/// libimobiledevice's own client objects for one device, freed in reverse order.
class LibClient
{
public:
    explicit LibClient(const std::string& udid);
    ~LibClient();
    LibClient(const LibClient&) = delete;
    LibClient& operator=(const LibClient&) = delete;

    /// The handshake result (LOCKDOWN_E_SUCCESS when connected).
    lockdownd_error_t status() const { return m_status; }
    idevice_t device() const { return m_device; }
    lockdownd_client_t lockdown() const { return m_lockdown; }
    /// Starts `service` and opens an AFC client on it; null on failure, with `error` set.
    afc_client_t startAfc(const char* service = "com.apple.afc", lockdownd_error_t* error = nullptr);

private:
    idevice_t m_device { nullptr };
    lockdownd_client_t m_lockdown { nullptr };
    lockdownd_error_t m_status { LOCKDOWN_E_UNKNOWN_ERROR };
    std::vector<afc_client_t> m_afc;
};

/// AFC device info as a map.
std::map<std::string, std::string> afcDeviceInfo(afc_client_t afc);
/// AFC file info as a map; empty when the call failed (`error` gets the status).
std::map<std::string, std::string> afcFileInfo(afc_client_t afc, const char* path, afc_error_t* error = nullptr);
/// The names in a listing, in order; `error` gets the status.
std::vector<std::string> afcList(afc_client_t afc, const char* path, afc_error_t* error = nullptr);
/// Writes a whole file with mode 3.
afc_error_t afcWriteFile(afc_client_t afc, const char* path, const std::string& bytes);
/// Reads a whole file; `error` gets the status.
std::string afcReadFile(afc_client_t afc, const char* path, afc_error_t* error = nullptr);
std::uint64_t afcFreeBytes(afc_client_t afc);
