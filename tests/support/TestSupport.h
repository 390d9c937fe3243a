#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

/// A fresh folder under the system's temporary directory, removed with everything in it.
class TemporaryDirectory
{
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

/// Polls `condition` until it holds or `timeout` passes; tests wait for states, never for time.
inline bool waitUntil(
    const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

/// The cells of one CSV line: commas split, double quotes group ("" is a quote inside them).
std::vector<std::string> csvCells(const std::string& line);

/// Host files a test seeds or reads back (parents made as needed; empty when unreadable).
void writeHostFile(const std::filesystem::path& path, const std::string& contents);
std::string readHostFile(const std::filesystem::path& path);
/// Everything under `folder`, at any depth.
std::size_t entriesIn(const std::filesystem::path& folder);
/// The entries directly in `folder` (a fill run's fillers); 0 when it does not exist.
std::size_t fillerCount(const std::filesystem::path& folder);

/// Sets an environment variable for this process and the tools it starts, and puts it back.
class ScopedEnvironment
{
public:
    ScopedEnvironment(const char* name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};
