#include "base/Log.h"
#include "cli/CliJson.h"
#include "cli/tools/ToolCommands.h"
#include "device/AMDevice.h"
#include "modules/fill_clearing/ECFillRun.h"
#include "modules/fill_clearing/ECFillStore.h"

#include <atomic>
#include <csignal>
#include <sstream>
#include <thread>

namespace {

using namespace ECFillRules;

std::atomic<bool> interrupted { false };

extern "C" void interruptRun(int)
{
    interrupted = true;
}

std::string optionalNumber(const std::optional<std::uint64_t>& value)
{
    return value ? std::to_string(*value) : std::string("null");
}

int clearTemp(ToolContext& context)
{
    const std::shared_ptr<AMDevice> device = context.chooseDevice();
    if (!device) {
        return CLI_FAILED;
    }
    std::unique_ptr<ECAFCFillStore> store;
    {
        std::lock_guard lock(device->deviceLock());
        store = ECAFCFillStore::open(*device);
    }
    if (!store) {
        return context.failure("cannot open the media area: " + device->lasterror().value_or(""));
    }
    setLogToStderr(context.options().verbose);

    // Fillers an interrupted run left behind go first, so they count neither way.
    if (const auto leftover = store->folderContents(FILL_FOLDER); leftover && !leftover->empty()) {
        const ECClearResult cleared = ECFillRun::clearTempFiles(*store);
        context.err() << "Removed " << cleared.removed << " temporary files left from an earlier run\n";
    }

    std::atomic<int> percent { -1 };
    std::atomic<bool> done { false };
    ECFillObserver observer;
    observer.progress = [&percent](float value) { percent = int(value); };
    ECFillRun run(*store, observer);
    ECFillOutcome outcome;
    interrupted = false;
    const auto previous = std::signal(SIGINT, interruptRun);
    std::thread worker([&] {
        outcome = run.run();
        done = true;
    });
    // Progress goes to stderr from this thread, one line per whole percent; Ctrl-C stops the run
    // the way the window's stop button does, and its fillers are still deleted.
    int shown = -1;
    context.runUntil(
        [&] {
            if (interrupted && !run.stopRequested()) {
                context.err() << "Stopping...\n";
                run.stop();
            }
            const int now = percent.load();
            if (now != shown && now >= 0 && !run.stopRequested()) {
                shown = now;
                context.err() << "Progress: " << now << "%\n" << std::flush;
            }
            return done.load();
        },
        std::chrono::hours(24 * 7));
    worker.join();
    std::signal(SIGINT, previous);

    const ECGainReport gain = outcome.gain();
    const std::optional<std::uint64_t> gainBytes = gain.kind == ECGain::Unknown
        ? std::nullopt
        : std::optional<std::uint64_t>(gain.kind == ECGain::Some ? gain.bytes : 0);
    std::ostream& out = context.out();
    if (context.options().json) {
        out << "{\n"
            << "  \"udid\": " << jsonString(device->udid().value_or("")) << ",\n"
            << "  \"result\": " << jsonString(fillEndingName(outcome.ending)) << ",\n"
            << "  \"freeBytesBefore\": " << optionalNumber(outcome.initialFreeSpace) << ",\n"
            << "  \"freeBytesAfter\": " << optionalNumber(outcome.finalFreeSpace) << ",\n"
            << "  \"clearedBytes\": " << optionalNumber(gainBytes) << ",\n"
            << "  \"filesWritten\": " << outcome.filesWritten << ",\n"
            << "  \"wroteData\": " << (outcome.wroteData ? "true" : "false") << ",\n"
            << "  \"fillersRemoved\": " << (outcome.fillersCleared ? "true" : "false") << ",\n"
            << "  \"fillersLeft\": " << outcome.fillersLeft << ",\n"
            << "  \"bytesLeft\": " << outcome.bytesLeft << ",\n"
            << "  \"seconds\": " << outcome.seconds << "\n"
            << "}\n";
    } else if (outcome.ending == ECFillEnding::Finished) {
        out << finishedMessage(gain).toStdString() << "\n";
        if (gainBytes) {
            out << "Cleared " << *gainBytes << " bytes\n";
        }
    }
    switch (outcome.ending) {
    case ECFillEnding::Finished:
        return CLI_OK;
    case ECFillEnding::Stopped:
        return context.failure("stopped; every temporary file was removed");
    case ECFillEnding::Refused:
        return context.failure(sendInfoBody(outcome.freeSpace, outcome.filesWritten, outcome.attemptedWriteSize)
                                   .prepend(QStringLiteral("the device refused to store more files with space left: "))
                                   .toStdString());
    case ECFillEnding::Disconnected:
        return context.failure(disconnectedMessage().toStdString());
    case ECFillEnding::NoProgress:
        return context.failure(noProgressMessage().toStdString());
    case ECFillEnding::FillersLeft:
        return context.failure(stringWithFormat("the device refused to remove %d temporary files, which still take "
                                                "%llu bytes (%s) of it; run clear-temp again, or they are removed "
                                                "the next time it is attached",
            outcome.fillersLeft, static_cast<unsigned long long>(outcome.bytesLeft),
            convertBytesToString(outcome.bytesLeft).toUtf8().constData()));
    }
    return CLI_FAILED;
}

}

ToolCommand clearTempCommand()
{
    return ToolCommand {
        ToolCommandShape { "clear-temp", 0, 0, {} },
        "  clear-temp                       fill the device until it discards app caches, then remove\n"
        "                                   every filler; prints the free space gained\n",
        {},
        clearTemp,
    };
}
