#pragma once

#include "modules/fill_clearing/ECFillStore.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

/// An in-memory phone for fill runs: a free-space figure, files charged in 4 KiB blocks, an
/// optional purgeable pool that is given back while free space is low, and switches for file
/// systems that do not allocate a file grown by its size, writes that take no space, and a phone
/// that goes away.
class FakeFillPhone : public ECFillStore
{
public:
    static constexpr std::uint64_t BLOCK = 4096;

    FakeFillPhone(std::uint64_t capacity, std::uint64_t available)
        : total(capacity)
        , free(available)
    {
    }

    // Figures and switches.
    std::uint64_t total;
    std::uint64_t free;
    bool setSizeAllocates { true };
    bool writesAllocate { true };
    /// Creations allowed before every further one is refused; negative: no limit.
    int creationsAllowed { -1 };
    std::uint64_t purgeable { 0 };
    std::uint64_t purgeThreshold { 0 };
    std::uint64_t purgeStep { 0 };
    std::uint64_t purged { 0 };
    bool gone { false };
    /// The phone refuses every removal (a permission it no longer gives).
    bool refusesRemovals { false };
    /// How the phone answers a request to empty a folder at once: not offered (nothing), done
    /// (true), or refused after removing the first half of the files (false).
    std::optional<bool> emptiesAtOnce;
    int folderEmptyings { 0 };
    /// Called before every request, with the request's name; may set `gone`.
    std::function<void(const std::string& request)> beforeRequest;

    std::map<std::string, std::uint64_t> files; // path → bytes charged
    std::set<std::string> folders;
    std::vector<std::uint64_t> createdSizes;
    int requests { 0 };
    int listings { 0 };
    int removals { 0 };
    int removalsBeforeListing { 0 }; ///< removals when the last listing was asked for

    std::optional<std::uint64_t> freeBytes() override { return request("free") ? std::optional(free) : std::nullopt; }
    std::optional<std::uint64_t> totalBytes() override
    {
        return request("total") ? std::optional(total) : std::nullopt;
    }
    bool makeFolder(const std::string& path) override { return request("mkdir") && folders.insert(path).second; }
    std::optional<std::vector<std::string>> folderContents(const std::string& path) override
    {
        ++listings;
        removalsBeforeListing = removals;
        if (!request("list") || folders.count(path) == 0) {
            return std::nullopt;
        }
        std::vector<std::string> names;
        for (const auto& [file, charged] : files) {
            names.push_back(file.substr(path.size() + 1));
        }
        return names;
    }
    bool createFakeFile(const std::string& path, std::uint64_t size) override
    {
        if (!request("create") || files.count(path) != 0 || creationsAllowed == 0) {
            return false;
        }
        const std::uint64_t charge = setSizeAllocates ? roundUp(size) : 0;
        if (charge > free) {
            return false;
        }
        if (creationsAllowed > 0) {
            --creationsAllowed;
        }
        allocate(path, charge);
        createdSizes.push_back(size);
        return true;
    }
    std::uint64_t writeFile(
        const std::string& path, std::uint64_t size, const std::function<bool(std::uint64_t)>& chunkWritten) override
    {
        if (!request("open") || files.count(path) != 0) {
            return 0;
        }
        files[path] = 0;
        std::uint64_t written = 0;
        while (written < size) {
            const std::uint64_t chunk = std::min<std::uint64_t>(size - written, ECAFCFillStore::WRITE_CHUNK_SIZE);
            const std::uint64_t charge = writesAllocate ? roundUp(written + chunk) - roundUp(written) : 0;
            if (!request("write") || charge > free) {
                break;
            }
            allocate(path, files[path] + charge);
            written += chunk;
            if (!chunkWritten(written)) {
                break;
            }
        }
        if (written == size) {
            createdSizes.push_back(size);
        }
        return written;
    }
    bool removeFile(const std::string& path) override
    {
        ++removals;
        if (!request("remove") || refusesRemovals) {
            return false;
        }
        const auto file = files.find(path);
        if (file == files.end()) {
            return false;
        }
        free += file->second;
        files.erase(file);
        return true;
    }

    std::optional<bool> emptyFolder(const std::string& path) override
    {
        if (!emptiesAtOnce) {
            return std::nullopt;
        }
        ++folderEmptyings;
        if (!request("empty") || folders.count(path) == 0) {
            return false;
        }
        std::size_t toRemove = *emptiesAtOnce ? files.size() : files.size() / 2;
        for (auto file = files.begin(); file != files.end() && toRemove > 0; --toRemove) {
            free += file->second;
            file = files.erase(file);
        }
        return *emptiesAtOnce;
    }

    std::optional<std::uint64_t> fileSize(const std::string& path) override
    {
        const auto file = files.find(path);
        return request("size") && file != files.end() ? std::optional(file->second) : std::nullopt;
    }

    static std::uint64_t roundUp(std::uint64_t bytes) { return (bytes + BLOCK - 1) / BLOCK * BLOCK; }

private:
    bool request(const std::string& name)
    {
        ++requests;
        if (beforeRequest) {
            beforeRequest(name);
        }
        return !gone;
    }

    // Sets the file's charge, then gives back purgeable space while free space is low.
    void allocate(const std::string& path, std::uint64_t charge)
    {
        free -= charge - files[path];
        files[path] = charge;
        if (purgeable > 0 && free < purgeThreshold) {
            const std::uint64_t step = std::min(purgeable, purgeStep);
            purgeable -= step;
            purged += step;
            free += step;
        }
    }
};
