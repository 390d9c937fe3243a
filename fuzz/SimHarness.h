#pragma once

// The simulator's servers for fuzz targets and the corpus capture: one small phone with its state
// in a temporary folder, and a client end that sends an input and drains every reply.

#include "sim/SimDevice.h"
#include "sim/SimProfile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fuzzsim {

inline constexpr const char* UDID = "f022000000000000000000000000000000000001";

/// A phone profile as JSON; `content` is the generated-content object.
inline std::string profileJson(const std::string& content)
{
    constexpr std::uint64_t MIB = 1024 * 1024;
    return std::string("{\n  \"name\": \"Fuzz Phone\",\n  \"udid\": \"") + UDID
        + "\",\n  \"productType\": \"iPhone8,1\",\n  \"productVersion\": \"9.3.5\",\n"
          "  \"buildVersion\": \"13G36\",\n  \"jailbroken\": false,\n"
          "  \"diskCapacity\": "
        + std::to_string(80 * MIB) + ",\n  \"dataCapacity\": " + std::to_string(64 * MIB)
        + ",\n  \"usedBytes\": " + std::to_string(8 * MIB) + ",\n  \"reserveBytes\": " + std::to_string(4 * MIB)
        + ",\n  \"purgeablePoolBytes\": 0,\n  \"purgeThresholdBytes\": " + std::to_string(2 * MIB)
        + ",\n  \"purgeTargetBytes\": " + std::to_string(3 * MIB) + ",\n  \"purgeStepBytes\": " + std::to_string(MIB)
        + ",\n  \"purgeIntervalMs\": 20,\n  \"content\": " + content + "\n}\n";
}

/// An empty phone: nothing generated, so start-up is quick.
inline const char* EMPTY_CONTENT = "{ \"userApps\": 0, \"systemApps\": 0, \"fileSharingApps\": 0, "
                                   "\"developerApps\": 0, \"appsWithoutDisplayName\": 0, "
                                   "\"appsWithEmptyDisplayName\": 0, \"photos\": 0, \"videos\": 0, "
                                   "\"songs\": 0, \"podcasts\": 0, \"stalledDownloads\": 0 }";

/// The generated content of the phone device() opens; set before its first use.
inline const char*& deviceContent()
{
    static const char* content = EMPTY_CONTENT;
    return content;
}

/// A temporary folder removed when the process ends normally.
inline const std::filesystem::path& scratchFolder()
{
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "torvane-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchFolder(), ignored);
        });
        return std::filesystem::path(pattern);
    }();
    return folder;
}

/// Writes the profile into the scratch folder and answers its path.
inline std::filesystem::path writeProfile(const std::string& content)
{
    std::filesystem::path path = scratchFolder() / (std::string(UDID) + ".json");
    std::ofstream(path, std::ios::trunc) << profileJson(content);
    return path;
}

/// The phone every sim target serves, opened once per process (never destroyed: server threads
/// of the usbmux target may still hold it while the process exits).
inline SimDevice& device()
{
    // The holder stays reachable from this static, so the leak checker does not count the phone.
    static std::shared_ptr<SimDevice>* holder = [] {
        std::string error;
        const std::optional<SimProfile> profile = SimProfile::load(writeProfile(deviceContent()).string(), &error);
        std::shared_ptr<SimDevice> opened
            = profile ? SimDevice::open(*profile, scratchFolder() / "state", &error) : nullptr;
        if (!opened) {
            std::fprintf(stderr, "fuzz: cannot open the simulated phone: %s\n", error.c_str());
            std::abort();
        }
        opened->setAttached(true);
        return new std::shared_ptr<SimDevice>(std::move(opened));
    }();
    return **holder;
}

/// Plays the host on `fd`: sends `input`, then half-closes, while reading and dropping whatever
/// comes back, until the other end closes. A server that neither reads nor closes for
/// `limit` is a hang and aborts the run.
inline void converse(int fd, std::string_view input, std::chrono::seconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool writing = true;
    if (input.empty()) {
        ::shutdown(fd, SHUT_WR);
        writing = false;
    }
    char sink[65536];
    for (;;) {
        pollfd pfd { fd, short(POLLIN | (writing ? POLLOUT : 0)), 0 };
        const int ready = ::poll(&pfd, 1, 100);
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "fuzz: the server neither answered nor closed within %llds\n",
                static_cast<long long>(limit.count()));
            std::abort();
        }
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;
        }
        if (writing && (pfd.revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t sent = ::send(fd, input.data(), input.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                input.remove_prefix(static_cast<std::size_t>(sent));
            }
            if (input.empty() || (sent < 0 && errno != EAGAIN && errno != EINTR)) {
                ::shutdown(fd, SHUT_WR);
                writing = false;
            }
        }
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                return;
            }
        }
    }
}

} // namespace fuzzsim
