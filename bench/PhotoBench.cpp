// Camera-roll benchmarks against a running torvane-simd with the demo phone (run-photo-bench.sh):
//   1. listing a camera roll of 10,000+ media files: time, and device requests per file;
//   2. backing up about 2 GB of it with every check (hash while receiving, fsync, re-read from
//      the disk, rename without replacing, folder fsync, delete on the phone and confirm), against
//      the raw AFC read rate of the same files measured in the same run (reads of the backup's
//      request size, no writing), a plain copy, and the disk alone (the same sizes written from
//      memory, each file flushed): a backup cannot outrun the disk it flushes to.
// Figures only: nothing here passes or fails on speed.

#include "base/RunLoop.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "platform/image_capture/ICBackupLog.h"
#include "platform/image_capture/ICCameraDevice.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int LISTING_FILES = 10'000;
constexpr int FILES_PER_FOLDER = 1'000;
constexpr std::uint64_t BACKUP_BYTES = 2'000'000'000;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool seedListingFiles(AMDevice& device)
{
    auto media = device.newAFCMediaDirectory();
    if (!media) {
        return false;
    }
    for (int folder = 0; folder < LISTING_FILES / FILES_PER_FOLDER; ++folder) {
        char path[64];
        std::snprintf(path, sizeof path, "/DCIM/%03dBENCH", 800 + folder);
        if (!media->fileExistsAtPath(std::string(path)) && !media->mkdir(std::string(path))) {
            return false;
        }
        for (int file = 0; file < FILES_PER_FOLDER; ++file) {
            char name[96];
            std::snprintf(name, sizeof name, "%s/IMG_%04d.JPG", path, file);
            if (!media->fileExistsAtPath(std::string(name)) && !AFCTreeOperations(*media).copyData("jpeg", name)) {
                return false;
            }
        }
    }
    // The demo roll holds about 1.6 GB; three long "videos" (empty, so the phone stores holes)
    // bring it past the 2 GB the backup run wants.
    if (!media->fileExistsAtPath(std::string("/DCIM/899BENCH")) && !media->mkdir(std::string("/DCIM/899BENCH"))) {
        return false;
    }
    for (int file = 0; file < 3; ++file) {
        const std::string path = "/DCIM/899BENCH/IMG_900" + std::to_string(file) + ".MOV";
        if (!media->fileExistsAtPath(path) && !AFCTreeOperations(*media).createFakeFileAtPath(path, 150'000'000)) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    PlainRunLoop loop;
    RunLoop::setMain(&loop);
    // One device manager, as in the application: the camera is made from its device object.
    MobileDeviceAccess manager(MobileDevice::shared());
    MobileDeviceAccessListener quiet;
    manager.setListener(&quiet);
    if (!loop.runUntil([&] { return !manager.devices().empty(); }, std::chrono::seconds(30))) {
        std::fprintf(stderr, "no phone\n");
        return 1;
    }
    const std::shared_ptr<AMDevice> phone = manager.devices().front();

    // 1. Listing.
    {
        const auto start = Clock::now();
        const std::lock_guard held(phone->deviceLock());
        if (!seedListingFiles(*phone)) {
            std::fprintf(stderr, "cannot seed the listing files\n");
            return 1;
        }
        std::printf("seeded %d small files in %.1f s\n", LISTING_FILES, secondsSince(start));
    }
    const auto camera = std::make_shared<ICCameraDevice>(phone);
    bool opened = false;
    QObject::connect(camera.get(), &ICCameraDevice::didOpenSessionWithError, [&](const QString& error) {
        opened = true;
        if (!error.isEmpty()) {
            std::fprintf(stderr, "session: %s\n", error.toUtf8().constData());
        }
    });
    auto start = Clock::now();
    camera->requestOpenSession();
    loop.runUntil([&] { return opened; }, std::chrono::minutes(10));
    const double listing = secondsSince(start);
    const std::size_t files = camera->mediaFiles().size();
    std::printf("listing: %zu media files in %.2f s (%.0f files/s), %llu requests = %.3f per file\n", files, listing,
        double(files) / listing, static_cast<unsigned long long>(camera->listingRequests()),
        double(camera->listingRequests()) / double(files));
    loop.runUntil([&] { return camera->durationsRead(); }, std::chrono::minutes(10));
    std::size_t movies = 0;
    for (const auto& file : camera->mediaFiles()) {
        movies += file.movie ? 1 : 0;
    }
    std::printf("durations: %zu movies in %.2f s after the session opened, %llu requests = %.1f per movie\n", movies,
        secondsSince(start) - listing, static_cast<unsigned long long>(camera->durationRequests()),
        double(camera->durationRequests()) / double(std::max<std::size_t>(1, movies)));

    // 2. Backup of about 2 GB, biggest files first, against raw reads of the same files.
    std::vector<ICCameraFile> chosen(camera->mediaFiles());
    std::sort(chosen.begin(), chosen.end(), [](const auto& a, const auto& b) { return a.fileSize > b.fileSize; });
    std::uint64_t total = 0;
    std::size_t count = 0;
    while (count < chosen.size() && total < BACKUP_BYTES) {
        total += chosen[count++].fileSize;
    }
    chosen.resize(count);

    {
        // The plain copy through the same device object, holding its lock while the connection opens.
        std::unique_ptr<AFCMediaDirectory> media;
        {
            const std::lock_guard held(phone->deviceLock());
            media = phone->newAFCMediaDirectory();
        }
        std::string buffer(ICCameraDevice::READ_CHUNK_BYTES, '\0');
        std::uint64_t read = 0;
        start = Clock::now();
        for (const auto& file : chosen) {
            auto open = media->openForRead(file.devicePath);
            while (open) {
                const std::uint32_t got = open->readN(std::uint32_t(buffer.size()), buffer.data());
                if (got == 0) {
                    break;
                }
                read += got;
            }
        }
        const double rawSeconds = secondsSince(start);
        std::printf("raw AFC reads: %zu files, %.2f GB in %.2f s = %.1f MB/s\n", chosen.size(), double(read) / 1e9,
            rawSeconds, double(read) / 1e6 / rawSeconds);

        const std::filesystem::path folder
            = std::filesystem::temp_directory_path() / ("torvane-photo-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);

        // A plain copy of the same files (read, write, one fsync per file): what the disk allows.
        const std::filesystem::path plain = folder / "plain";
        std::filesystem::create_directories(plain);
        std::uint64_t copied = 0;
        start = Clock::now();
        for (const auto& file : chosen) {
            auto open = media->openForRead(file.devicePath);
            const int out = ::open((plain / file.name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            while (open && out >= 0) {
                const std::uint32_t got = open->readN(std::uint32_t(buffer.size()), buffer.data());
                if (got == 0 || ::write(out, buffer.data(), got) != ssize_t(got)) {
                    break;
                }
                copied += got;
            }
            if (out >= 0) {
                ::fsync(out);
                ::close(out);
            }
        }
        const double plainSeconds = secondsSince(start);
        std::printf("plain copy to disk: %.2f GB in %.2f s = %.1f MB/s\n", double(copied) / 1e9, plainSeconds,
            double(copied) / 1e6 / plainSeconds);
        std::filesystem::remove_all(plain);

        // What the disk alone allows: the same sizes written from memory, each file flushed.
        const std::filesystem::path disk = folder / "disk";
        std::filesystem::create_directories(disk);
        std::uint64_t flushed = 0;
        start = Clock::now();
        for (const auto& file : chosen) {
            const int out = ::open((disk / file.name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            for (std::uint64_t left = file.fileSize; out >= 0 && left > 0;) {
                const std::size_t piece = std::size_t(std::min<std::uint64_t>(left, buffer.size()));
                if (::write(out, buffer.data(), piece) != ssize_t(piece)) {
                    break;
                }
                left -= piece;
                flushed += piece;
            }
            if (out >= 0) {
                ::fsync(out);
                ::close(out);
            }
        }
        const double diskSeconds = secondsSince(start);
        std::printf("disk alone (write from memory, fsync per file): %.2f GB in %.2f s = %.1f MB/s\n",
            double(flushed) / 1e9, diskSeconds, double(flushed) / 1e6 / diskSeconds);
        std::filesystem::remove_all(disk);
        ICDownloadOptions options;
        options.downloadsDirectory = folder.string();
        options.deleteAfterSuccessfulDownload = true;
        options.auditLog = std::make_shared<ICBackupLog>(folder.string());
        std::size_t done = 0;
        std::size_t failed = 0;
        std::uint64_t verified = 0;
        start = Clock::now();
        for (const auto& file : chosen) {
            camera->requestDownloadFile(file, options, [&](const ICDownloadResult& result) {
                ++done;
                failed += result.error ? 1 : 0;
                verified += result.verified ? result.size : 0;
            });
        }
        loop.runUntil([&] { return done == chosen.size(); }, std::chrono::minutes(30));
        const double backupSeconds = secondsSince(start);
        const double rate = double(verified) / 1e6 / backupSeconds;
        std::printf("verified backup: %zu files (%zu failed), %.2f GB in %.2f s = %.1f MB/s, %.2fx the raw read rate, "
                    "%.2fx the plain copy, %.2fx the disk alone\n",
            done, failed, double(verified) / 1e9, backupSeconds, rate, rate / (double(read) / 1e6 / rawSeconds),
            rate / (double(copied) / 1e6 / plainSeconds), rate / (double(flushed) / 1e6 / diskSeconds));
        std::filesystem::remove_all(folder);
    }
    RunLoop::setMain(nullptr);
    return 0;
}
