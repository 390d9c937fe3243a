// Device-layer benchmarks against a running torvane-simd (see run-device-bench.sh):
//   1. pulling a 256 MiB file with copyRemoteFile() against libimobiledevice's own afc_file_read
//      loop, both at 10240 bytes per request and both writing a local file;
//   2. the same file read in 1 MiB requests through AFCFileReference against afc_file_read;
//   3. scanPath() over a 10,000-entry tree: entries per second and the requests it sent.
// Figures only: nothing here passes or fails on speed.

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCPacket.h"
#include "device/AFCTreeOperations.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <unistd.h>

namespace {

// DEVICE_BENCH_MIB and DEVICE_BENCH_ROUNDS make a smaller run, for valgrind --tool=callgrind.
std::uint64_t environmentNumber(const char* name, std::uint64_t fallback)
{
    const char* text = std::getenv(name);
    const std::uint64_t value = text ? std::strtoull(text, nullptr, 10) : 0;
    return value > 0 ? value : fallback;
}
const std::uint64_t BIG_FILE_MIB = environmentNumber("DEVICE_BENCH_MIB", 256);
const std::uint64_t BIG_FILE_SIZE = BIG_FILE_MIB * 1024 * 1024;
const std::string BIG_FILE_NAME
    = BIG_FILE_MIB == 256 ? "/TorvaneBench/big.bin" : "/TorvaneBench/big-" + std::to_string(BIG_FILE_MIB) + ".bin";
const char* const BIG_FILE = BIG_FILE_NAME.c_str();
constexpr const char* TREE = "/TorvaneBench/tree";
constexpr int TREE_DIRECTORIES = 100;
constexpr int FILES_PER_DIRECTORY = 99; // 100 folders + 9,900 files = 10,000 entries below the root
const int ROUNDS = int(environmentNumber("DEVICE_BENCH_ROUNDS", 5));

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

double megabytesPerSecond(std::uint64_t bytes, double elapsed)
{
    return double(bytes) / 1e6 / elapsed;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

[[noreturn]] void die(const std::string& message)
{
    std::fprintf(stderr, "device-bench: %s\n", message.c_str());
    std::exit(1);
}

/// Counts the requests an AFC client sends, by operation, on their way through.
class CountingConnection final : public AMServiceConnection
{
public:
    explicit CountingConnection(std::unique_ptr<AMServiceConnection> inner)
        : m_inner(std::move(inner))
    {
    }

    AMIOResult send(const void* data, std::size_t length, std::chrono::milliseconds timeout) override
    {
        // The wire client sends each header in one piece, bulk data separately when large.
        if (length >= AFC_HEADER_SIZE && readUInt64LE(static_cast<const std::uint8_t*>(data)) == AFC_MAGIC) {
            ++counts[readUInt64LE(static_cast<const std::uint8_t*>(data) + 32)];
        }
        return m_inner->send(data, length, timeout);
    }
    AMIOResult receive(void* buffer, std::size_t length, std::chrono::milliseconds timeout) override
    {
        return m_inner->receive(buffer, length, timeout);
    }
    void close() override { m_inner->close(); }
    bool isOpen() const override { return m_inner->isOpen(); }

    std::map<std::uint64_t, std::uint64_t> counts;

private:
    std::unique_ptr<AMServiceConnection> m_inner;
};

/// libimobiledevice's own AFC client on the same device.
class TheirAFC
{
public:
    explicit TheirAFC(const std::string& udid)
    {
        if (idevice_new_with_options(&m_device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
            die("idevice_new failed");
        }
        lockdownd_client_t lockdown = nullptr;
        if (lockdownd_client_new_with_handshake(m_device, &lockdown, "torvane-bench") != LOCKDOWN_E_SUCCESS) {
            die("lockdownd handshake failed");
        }
        lockdownd_service_descriptor_t service = nullptr;
        if (lockdownd_start_service(lockdown, "com.apple.afc", &service) != LOCKDOWN_E_SUCCESS) {
            die("lockdownd_start_service failed");
        }
        if (afc_client_new(m_device, service, &m_afc) != AFC_E_SUCCESS) {
            die("afc_client_new failed");
        }
        lockdownd_service_descriptor_free(service);
        lockdownd_client_free(lockdown);
    }
    ~TheirAFC()
    {
        afc_client_free(m_afc);
        idevice_free(m_device);
    }

    /// Reads the whole file in `request`-byte calls; writes it to `local` when given.
    std::uint64_t read(const char* remote, std::uint32_t request, const char* local)
    {
        std::uint64_t handle = 0;
        if (afc_file_open(m_afc, remote, AFC_FOPEN_RDONLY, &handle) != AFC_E_SUCCESS) {
            die("afc_file_open failed");
        }
        const int fd = local ? ::open(local, O_WRONLY | O_CREAT | O_EXCL, 0644) : -1;
        if (local && fd < 0) {
            die("cannot create the local file");
        }
        std::vector<char> buffer(request);
        std::uint64_t total = 0;
        for (;;) {
            std::uint32_t got = 0;
            if (afc_file_read(m_afc, handle, buffer.data(), request, &got) != AFC_E_SUCCESS || got == 0) {
                break;
            }
            if (fd >= 0 && ::write(fd, buffer.data(), got) != ssize_t(got)) {
                die("local write failed");
            }
            total += got;
        }
        if (fd >= 0) {
            ::close(fd);
        }
        afc_file_close(m_afc, handle);
        return total;
    }

private:
    idevice_t m_device = nullptr;
    afc_client_t m_afc = nullptr;
};

void prepareBigFile(AFCDirectoryAccess& afc)
{
    if (const auto info = afc.getFileInfo(BIG_FILE);
        info && info->at("st_size").toInt64() == std::int64_t(BIG_FILE_SIZE)) {
        return;
    }
    if (!afc.mkdir("/TorvaneBench")) {
        die("mkdir failed: " + afc.lasterror().value_or(""));
    }
    std::unique_ptr<AFCFileReference> file = afc.openForWrite(BIG_FILE);
    if (!file) {
        die("cannot create the big file: " + afc.lasterror().value_or(""));
    }
    std::string block(1024 * 1024, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    const auto start = Clock::now();
    for (std::uint64_t written = 0; written < BIG_FILE_SIZE; written += block.size()) {
        if (!file->writeNSData(block)) {
            die("writing the big file failed: " + file->lasterror().value_or(""));
        }
    }
    (void)file->closeFile();
    std::printf("setup: wrote 256 MiB in 1 MiB requests at %.1f MB/s\n",
        megabytesPerSecond(BIG_FILE_SIZE, seconds(Clock::now() - start)));
}

void prepareTree(AFCDirectoryAccess& afc)
{
    const std::string last = std::string(TREE) + "/d" + std::to_string(TREE_DIRECTORIES - 1) + "/f"
        + std::to_string(FILES_PER_DIRECTORY - 1);
    if (afc.fileExistsAtPath(last)) {
        return;
    }
    const auto start = Clock::now();
    for (int d = 0; d < TREE_DIRECTORIES; ++d) {
        const std::string directory = std::string(TREE) + "/d" + std::to_string(d);
        if (!afc.mkdir(directory)) {
            die("mkdir failed: " + afc.lasterror().value_or(""));
        }
        for (int f = 0; f < FILES_PER_DIRECTORY; ++f) {
            std::unique_ptr<AFCFileReference> file = afc.openForWrite(directory + "/f" + std::to_string(f));
            if (!file || !file->writeNSData(std::string(std::size_t(f + 1), 'x'))) {
                die("creating the tree failed: " + afc.lasterror().value_or(""));
            }
        }
    }
    std::printf("setup: created the 10,000-entry tree in %.1f s\n", seconds(Clock::now() - start));
}

std::shared_ptr<AMDevice> findDevice(MobileDeviceAccess& manager, PlainRunLoop& loop)
{
    class Listener : public MobileDeviceAccessListener
    {
    } listener;
    manager.setListener(&listener);
    if (!loop.runUntil([&] { return !manager.devices().empty(); }, std::chrono::seconds(30))) {
        die("no device attached (is torvane-simd running, USBMUXD_SOCKET_ADDRESS set?)");
    }
    manager.setListener(nullptr);
    return manager.devices().front();
}

} // namespace

int main()
{
    setLogToStderr(false);
    PlainRunLoop loop;
    MobileDeviceAccess manager(MobileDevice::shared());
    std::shared_ptr<AMDevice> device = findDevice(manager, loop);
    const std::string udid = device->udid().value_or("");
    std::printf("device %s (%s)\n", udid.c_str(), device->deviceName().value_or("?").c_str());

    std::unique_ptr<AFCMediaDirectory> afc = device->newAFCMediaDirectory();
    if (!afc) {
        die("cannot open the media area");
    }
    prepareBigFile(*afc);
    prepareTree(*afc);
    TheirAFC theirs(udid);

    char localTemplate[] = "/tmp/torvane-bench-XXXXXX";
    const char* localDirectory = ::mkdtemp(localTemplate);
    if (!localDirectory) {
        die("mkdtemp failed");
    }
    const std::string local = std::string(localDirectory) + "/pull.bin";

    // 1. Whole-file pulls at 10240 bytes per request, alternating so neither side gets a warmer
    //    cache; medians of the rounds.
    std::vector<double> ours;
    std::vector<double> lib;
    for (int round = 0; round < ROUNDS; ++round) {
        ::unlink(local.c_str());
        auto start = Clock::now();
        if (!AFCTreeOperations(*afc).copyRemoteFile(BIG_FILE, local)) {
            die("copyRemoteFile failed: " + afc->lasterror().value_or(""));
        }
        ours.push_back(megabytesPerSecond(BIG_FILE_SIZE, seconds(Clock::now() - start)));
        ::unlink(local.c_str());
        start = Clock::now();
        if (theirs.read(BIG_FILE, AFCTreeOperations::COPY_CHUNK_SIZE, local.c_str()) != BIG_FILE_SIZE) {
            die("afc_file_read loop came up short");
        }
        lib.push_back(megabytesPerSecond(BIG_FILE_SIZE, seconds(Clock::now() - start)));
    }
    ::unlink(local.c_str());
    std::printf("\npull %llu MiB to a local file, 10240-byte requests (median of %d):\n",
        static_cast<unsigned long long>(BIG_FILE_MIB), ROUNDS);
    std::printf("  copyRemoteFile:toLocalFile:  %8.1f MB/s\n", median(ours));
    std::printf("  libimobiledevice afc_file_read %6.1f MB/s\n", median(lib));
    std::printf("  ratio ours/theirs            %8.3f  (target >= 1.0)\n", median(ours) / median(lib));

    // 2. 1 MiB requests, bytes only (no local file), through AFCFileReference.
    ours.clear();
    lib.clear();
    std::vector<char> buffer(1024 * 1024);
    for (int round = 0; round < ROUNDS; ++round) {
        auto start = Clock::now();
        std::unique_ptr<AFCFileReference> file = afc->openForRead(BIG_FILE);
        if (!file) {
            die("openForRead failed");
        }
        std::uint64_t total = 0;
        while (const std::uint32_t got = file->readN(std::uint32_t(buffer.size()), buffer.data())) {
            total += got;
        }
        (void)file->closeFile();
        if (total != BIG_FILE_SIZE) {
            die("AFCFileReference read came up short");
        }
        ours.push_back(megabytesPerSecond(total, seconds(Clock::now() - start)));
        start = Clock::now();
        if (theirs.read(BIG_FILE, std::uint32_t(buffer.size()), nullptr) != BIG_FILE_SIZE) {
            die("afc_file_read loop came up short");
        }
        lib.push_back(megabytesPerSecond(BIG_FILE_SIZE, seconds(Clock::now() - start)));
    }
    std::printf(
        "\nread %llu MiB, 1 MiB requests (median of %d):\n", static_cast<unsigned long long>(BIG_FILE_MIB), ROUNDS);
    std::printf("  AFCFileReference readN:bytes: %7.1f MB/s\n", median(ours));
    std::printf("  libimobiledevice afc_file_read %6.1f MB/s\n", median(lib));
    std::printf("  ratio ours/theirs            %8.3f  (target >= 1.0)\n", median(ours) / median(lib));

    // 3. scanPath: over its own counted connection.
    if (!device->deviceConnect() || !device->startSession()) {
        die("cannot start a session: " + device->lasterror().value_or(""));
    }
    std::unique_ptr<AMServiceConnection> started = device->startService("com.apple.afc");
    (void)device->stopSession();
    (void)device->deviceDisconnect();
    if (!started) {
        die("cannot start com.apple.afc");
    }
    auto counting = std::make_unique<CountingConnection>(std::move(started));
    CountingConnection& counter = *counting;
    AFCDirectoryAccess scanner(std::move(counting));
    if (!scanner.openAFCConnection()) {
        die("AFCConnectionOpen failed");
    }
    const auto start = Clock::now();
    const PlistDictionary scan = AFCTreeOperations(scanner).scanPath(TREE);
    const double elapsed = seconds(Clock::now() - start);
    const std::uint64_t entries = TREE_DIRECTORIES * (1 + FILES_PER_DIRECTORY);
    const std::uint64_t directories = TREE_DIRECTORIES + 1;
    const std::uint64_t infos = counter.counts[std::uint64_t(AFCOpcode::GetFileInfo)];
    const std::uint64_t listings = counter.counts[std::uint64_t(AFCOpcode::ReadDirectory)];
    std::uint64_t requests = 0;
    for (const auto& [operation, count] : counter.counts) {
        requests += count;
    }
    std::printf("\nscanPath: over %llu entries below the root (%llu directories with the root)\n",
        static_cast<unsigned long long>(entries), static_cast<unsigned long long>(directories));
    std::printf("  %.0f entries/s (%.2f s), size %lld\n", double(entries + 1) / elapsed, elapsed,
        static_cast<long long>(scan.at("size").toInt64().value_or(-1)));
    std::printf("  requests %llu = %llu file-info + %llu listings; expected %llu + %llu: %s\n",
        static_cast<unsigned long long>(requests), static_cast<unsigned long long>(infos),
        static_cast<unsigned long long>(listings), static_cast<unsigned long long>(entries) + 1,
        static_cast<unsigned long long>(directories),
        infos == entries + 1 && listings == directories && requests == infos + listings ? "equal" : "DIFFERENT");

    ::rmdir(localDirectory);
    return 0;
}
