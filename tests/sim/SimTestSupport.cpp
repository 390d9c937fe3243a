#include "tests/sim/SimTestSupport.h"

#include <algorithm>
#include <fstream>

std::filesystem::path TestProfile::write(const std::filesystem::path& folder) const
{
    constexpr std::uint64_t MIB = 1024 * 1024;
    std::filesystem::path path = folder / (udid + ".json");
    std::ofstream out(path, std::ios::trunc);
    out << "{\n"
        << "  \"name\": \"Test Phone\",\n"
        << "  \"udid\": \"" << udid << "\",\n"
        << "  \"productType\": \"iPhone8,1\",\n"
        << "  \"productVersion\": \"" << version << "\",\n"
        << "  \"buildVersion\": \"13G36\",\n"
        << "  \"jailbroken\": " << (jailbroken ? "true" : "false") << ",\n"
        << "  \"diskCapacity\": " << (capacityMiB + 16) * MIB << ",\n"
        << "  \"dataCapacity\": " << capacityMiB * MIB << ",\n"
        << "  \"usedBytes\": " << usedMiB * MIB << ",\n"
        << "  \"reserveBytes\": " << reserveMiB * MIB << ",\n"
        << "  \"purgeablePoolBytes\": " << poolMiB * MIB << ",\n"
        << "  \"purgeThresholdBytes\": " << thresholdMiB * MIB << ",\n"
        << "  \"purgeTargetBytes\": " << targetMiB * MIB << ",\n"
        << "  \"purgeStepBytes\": " << stepMiB * MIB << ",\n"
        << "  \"purgeIntervalMs\": " << intervalMs
        << ",\n"
        // An empty phone: no generated apps, photos or music, so only the test's files count.
        << "  \"content\": { \"userApps\": 0, \"systemApps\": 0, \"fileSharingApps\": 0, \"developerApps\": 0,"
        << " \"appsWithoutDisplayName\": 0, \"appsWithEmptyDisplayName\": 0, \"photos\": 0, \"videos\": 0,"
        << " \"songs\": 0, \"podcasts\": 0, \"stalledDownloads\": 0 }\n"
        << "}\n";
    return path;
}

LibClient::LibClient(const std::string& udid)
{
    if (idevice_new_with_options(&m_device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
        m_device = nullptr;
        return;
    }
    m_status = lockdownd_client_new_with_handshake(m_device, &m_lockdown, "sim_tests");
    if (m_status != LOCKDOWN_E_SUCCESS) {
        m_lockdown = nullptr;
    }
}

LibClient::~LibClient()
{
    for (afc_client_t afc : m_afc) {
        afc_client_free(afc);
    }
    if (m_lockdown) {
        lockdownd_client_free(m_lockdown);
    }
    if (m_device) {
        idevice_free(m_device);
    }
}

afc_client_t LibClient::startAfc(const char* service, lockdownd_error_t* error)
{
    if (!m_lockdown) {
        if (error) {
            *error = m_status;
        }
        return nullptr;
    }
    lockdownd_service_descriptor_t descriptor = nullptr;
    const lockdownd_error_t started = lockdownd_start_service(m_lockdown, service, &descriptor);
    if (error) {
        *error = started;
    }
    if (started != LOCKDOWN_E_SUCCESS) {
        return nullptr;
    }
    afc_client_t afc = nullptr;
    const afc_error_t opened = afc_client_new(m_device, descriptor, &afc);
    lockdownd_service_descriptor_free(descriptor);
    if (opened != AFC_E_SUCCESS) {
        return nullptr;
    }
    m_afc.push_back(afc);
    return afc;
}

namespace {

std::map<std::string, std::string> pairs(char** list)
{
    std::map<std::string, std::string> out;
    for (int i = 0; list && list[i] && list[i + 1]; i += 2) {
        out[list[i]] = list[i + 1];
    }
    return out;
}

} // namespace

std::map<std::string, std::string> afcDeviceInfo(afc_client_t afc)
{
    char** list = nullptr;
    if (afc_get_device_info(afc, &list) != AFC_E_SUCCESS) {
        return {};
    }
    auto out = pairs(list);
    afc_dictionary_free(list);
    return out;
}

std::map<std::string, std::string> afcFileInfo(afc_client_t afc, const char* path, afc_error_t* error)
{
    char** list = nullptr;
    const afc_error_t status = afc_get_file_info(afc, path, &list);
    if (error) {
        *error = status;
    }
    if (status != AFC_E_SUCCESS) {
        return {};
    }
    auto out = pairs(list);
    afc_dictionary_free(list);
    return out;
}

std::vector<std::string> afcList(afc_client_t afc, const char* path, afc_error_t* error)
{
    char** list = nullptr;
    const afc_error_t status = afc_read_directory(afc, path, &list);
    if (error) {
        *error = status;
    }
    std::vector<std::string> names;
    for (int i = 0; list && list[i]; ++i) {
        names.emplace_back(list[i]);
    }
    if (list) {
        afc_dictionary_free(list);
    }
    return names;
}

afc_error_t afcWriteFile(afc_client_t afc, const char* path, const std::string& bytes)
{
    uint64_t handle = 0;
    afc_error_t status = afc_file_open(afc, path, AFC_FOPEN_WRONLY, &handle);
    if (status != AFC_E_SUCCESS) {
        return status;
    }
    // One packet per MiB, as the application sends them.
    for (std::size_t offset = 0; offset < bytes.size() && status == AFC_E_SUCCESS;) {
        const std::size_t piece = std::min<std::size_t>(bytes.size() - offset, 1024 * 1024);
        uint32_t written = 0;
        status = afc_file_write(afc, handle, bytes.data() + offset, uint32_t(piece), &written);
        offset += written;
        if (status == AFC_E_SUCCESS && written == 0) {
            status = AFC_E_IO_ERROR;
        }
    }
    const afc_error_t closed = afc_file_close(afc, handle);
    return status != AFC_E_SUCCESS ? status : closed;
}

std::string afcReadFile(afc_client_t afc, const char* path, afc_error_t* error)
{
    uint64_t handle = 0;
    afc_error_t status = afc_file_open(afc, path, AFC_FOPEN_RDONLY, &handle);
    std::string out;
    if (status == AFC_E_SUCCESS) {
        char buffer[65536];
        for (;;) {
            uint32_t got = 0;
            status = afc_file_read(afc, handle, buffer, sizeof buffer, &got);
            if (status != AFC_E_SUCCESS || got == 0) {
                break;
            }
            out.append(buffer, got);
        }
        afc_file_close(afc, handle);
    }
    if (error) {
        *error = status;
    }
    return out;
}

std::uint64_t afcFreeBytes(afc_client_t afc)
{
    const auto info = afcDeviceInfo(afc);
    const auto it = info.find("FSFreeBytes");
    return it == info.end() ? 0 : std::stoull(it->second);
}
