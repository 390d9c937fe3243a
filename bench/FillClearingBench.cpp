// Clear Temporary Files against a running torvane-simd (see run-fill-bench.sh):
//   1. a full run on a 256 GB phone with 200 GB free (fillers made by their size): wall time,
//      filler files made, and the AFC requests sent, by operation;
//   2. the write fallback on an APFS-era phone: its throughput against plain AFC writes of the
//      same size on the same connection, in the same run.
// Figures only: nothing here passes or fails on speed.

#include "base/Log.h"
#include "base/RunLoop.h"
#include "device/AFCDirectoryAccess.h"
#include "device/AFCPacket.h"
#include "device/AMDevice.h"
#include "device/MobileDeviceAccess.h"
#include "modules/fill_clearing/ECFillRun.h"
#include "modules/fill_clearing/ECFillStore.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

[[noreturn]] void die(const std::string& message)
{
    std::fprintf(stderr, "fill-bench: %s\n", message.c_str());
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

    std::uint64_t total() const
    {
        std::uint64_t sum = 0;
        for (const auto& [operation, count] : counts) {
            sum += count;
        }
        return sum;
    }

    std::map<std::uint64_t, std::uint64_t> counts;

private:
    std::unique_ptr<AMServiceConnection> m_inner;
};

std::shared_ptr<AMDevice> findDevice(MobileDeviceAccess& manager, PlainRunLoop& loop, const std::string& udid)
{
    std::shared_ptr<AMDevice> found;
    loop.runUntil([&] { return (found = manager.device(udid)) != nullptr; }, std::chrono::seconds(30));
    if (!found) {
        die("device " + udid + " is not attached");
    }
    return found;
}

/// A fill store over a media-area connection whose requests are counted.
std::unique_ptr<ECAFCFillStore> countedStore(AMDevice& device, CountingConnection*& counter)
{
    std::unique_ptr<AMServiceConnection> started = device.startService("com.apple.afc");
    (void)device.stopSession();
    (void)device.deviceDisconnect();
    if (!started) {
        die("cannot start com.apple.afc");
    }
    auto counting = std::make_unique<CountingConnection>(std::move(started));
    counter = counting.get();
    auto afc = std::make_unique<AFCMediaDirectory>(std::move(counting));
    if (!afc->openAFCConnection()) {
        die("AFCConnectionOpen failed");
    }
    return std::make_unique<ECAFCFillStore>(std::move(afc));
}

std::unique_ptr<ECAFCFillStore> openStore(AMDevice& device, CountingConnection*& counter)
{
    if (!device.deviceConnect() || !device.startSession()) {
        die("cannot reach the device");
    }
    return countedStore(device, counter);
}

const char* operationName(std::uint64_t operation)
{
    switch (AFCOpcode(operation)) {
    case AFCOpcode::ReadDirectory:
        return "list";
    case AFCOpcode::RemovePath:
        return "remove";
    case AFCOpcode::MakeDirectory:
        return "mkdir";
    case AFCOpcode::GetFileInfo:
        return "file-info";
    case AFCOpcode::GetDeviceInfo:
        return "device-info";
    case AFCOpcode::FileOpen:
        return "open";
    case AFCOpcode::FileWrite:
        return "write";
    case AFCOpcode::FileClose:
        return "close";
    case AFCOpcode::FileSetSize:
        return "set-size";
    case AFCOpcode::RemovePathAndContents:
        return "remove-tree";
    default:
        return "other";
    }
}

void fullRun(AMDevice& device)
{
    CountingConnection* counter = nullptr;
    std::unique_ptr<ECAFCFillStore> store = openStore(device, counter);
    const std::uint64_t before = counter->total();
    ECFillRun run(*store);
    const auto start = Clock::now();
    const ECFillOutcome outcome = run.run();
    const double elapsed = seconds(Clock::now() - start);
    const std::uint64_t requests = counter->total() - before;
    std::printf("\nfull run, fillers made by their size (%s):\n", device.udid().value_or("?").c_str());
    std::printf("  result %s, free before %.1f GB, after %.1f GB, gain %.1f MB\n", fillEndingName(outcome.ending),
        double(outcome.initialFreeSpace.value_or(0)) / 1e9, double(outcome.finalFreeSpace.value_or(0)) / 1e9,
        double(outcome.gain().bytes) / 1e6);
    std::printf("  wall time %.2f s, filler files %d, AFC requests %llu (%.2f per filler)\n", elapsed,
        outcome.filesWritten, static_cast<unsigned long long>(requests),
        outcome.filesWritten ? double(requests) / outcome.filesWritten : 0.0);
    std::printf("  by operation:");
    for (const auto& [operation, count] : counter->counts) {
        std::printf(" %s %llu", operationName(operation), static_cast<unsigned long long>(count));
    }
    std::printf("\n");
}

double rawWriteRate(ECAFCFillStore& store, std::uint64_t bytes)
{
    const std::string path = "FillBench-raw.bin";
    (void)store.removeFile(path);
    const auto start = Clock::now();
    const std::uint64_t written = store.writeFile(path, bytes, [](std::uint64_t) { return true; });
    const double elapsed = seconds(Clock::now() - start);
    (void)store.removeFile(path);
    if (written != bytes) {
        die("the raw write stopped early");
    }
    return double(bytes) / 1e6 / elapsed;
}

void writeFallback(AMDevice& device)
{
    CountingConnection* counter = nullptr;
    std::unique_ptr<ECAFCFillStore> store = openStore(device, counter);
    constexpr std::uint64_t RAW_BYTES = 512ULL * 1024 * 1024;
    const double rawBefore = rawWriteRate(*store, RAW_BYTES);
    ECFillRun run(*store);
    const auto start = Clock::now();
    const ECFillOutcome outcome = run.run();
    const double elapsed = seconds(Clock::now() - start);
    const double rawAfter = rawWriteRate(*store, RAW_BYTES);
    std::printf("\nwrite fallback on an APFS-era phone (%s):\n", device.udid().value_or("?").c_str());
    std::printf("  result %s, wrote data %s, %.1f MB written in %.2f s with %d fillers, gain %.1f MB\n",
        fillEndingName(outcome.ending), outcome.wroteData ? "yes" : "no", double(outcome.bytesWritten) / 1e6, elapsed,
        outcome.filesWritten, double(outcome.gain().bytes) / 1e6);
    std::printf("  fallback %.0f MB/s (whole run, reads and deletes included); plain %llu MiB writes in %llu KiB "
                "requests: %.0f MB/s before, %.0f MB/s after\n",
        double(outcome.bytesWritten) / 1e6 / elapsed, static_cast<unsigned long long>(RAW_BYTES >> 20),
        static_cast<unsigned long long>(ECAFCFillStore::WRITE_CHUNK_SIZE >> 10), rawBefore, rawAfter);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: fill-bench BIG_PHONE_UDID APFS_PHONE_UDID\n");
        return 2;
    }
    setLogToStderr(std::getenv("FILL_BENCH_LOG") != nullptr); // the run's own log lines, to see where time goes
    PlainRunLoop loop;
    RunLoop::setMain(&loop);
    MobileDeviceAccess manager(MobileDevice::shared());
    MobileDeviceAccessListener listener; // the manager subscribes once it has a listener
    manager.setListener(&listener);
    const std::shared_ptr<AMDevice> big = findDevice(manager, loop, argv[1]);
    const std::shared_ptr<AMDevice> apfs = findDevice(manager, loop, argv[2]);
    fullRun(*big);
    writeFallback(*apfs);
    manager.setListener(nullptr);
    RunLoop::setMain(nullptr);
    return 0;
}
