#include "base/Log.h"
#include "cli/CliJson.h"
#include "cli/CliText.h"
#include "cli/tools/ToolCommands.h"
#include "device/AMDevice.h"
#include "modules/fill_clearing/ECFillRun.h"
#include "modules/fill_clearing/ECFillStore.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace ECFillRules;

/// Ctrl-C as an event: the handler writes a byte to a pipe that the run loop watches.
int interruptPipe[2] { -1, -1 };

extern "C" void interruptRun(int)
{
    const char byte = 1;
    (void)!::write(interruptPipe[1], &byte, 1);
}

/// Where the fillers of a run that could not finish go.
constexpr const char* LEFT_FILLERS_NOTE
    = "temporary files left on the device are removed by the next clear-temp or the next time it is attached";

std::string optionalNumber(const std::optional<std::uint64_t>& value)
{
    return value ? std::to_string(*value) : std::string("null");
}

int clearTemp(ToolContext& context)
{
    const std::shared_ptr<AMDevice> device = context.chooseDevice();
    if (!device) {
        return context.status();
    }
    std::unique_ptr<ECAFCFillStore> store;
    {
        std::lock_guard lock(device->deviceLock());
        store = ECAFCFillStore::open(*device);
    }
    if (!store) {
        return context.deviceFailure("can't open the device's media area: "
            + deviceFailureWords(device->lasterror(), "the service did not start"));
    }
    setLogToStderr(context.options().verbose);

    // Fillers an interrupted run left behind go first, so they count neither way.
    if (const auto leftover = store->folderContents(FILL_FOLDER); leftover && !leftover->empty()) {
        const ECClearResult cleared = ECFillRun::clearTempFiles(*store);
        context.err() << "Removed " << cleared.removed << " temporary files left from an earlier run\n";
    }

    std::atomic<int> percent { -1 };
    std::atomic<std::uint64_t> steps { 0 }; // progress reports and creations: the phone answers
    std::atomic<bool> done { false };
    ECFillObserver observer;
    observer.progress = [&](float value) {
        percent = int(value);
        ++steps;
        ToolContext::wake();
    };
    observer.creationFinished = [&](bool, std::uint64_t, int) {
        ++steps;
        ToolContext::wake();
    };
    ECFillRun run(*store, observer);
    ECFillOutcome outcome;
    // Ctrl-C stops the run the way the window's stop button does, and its fillers are still deleted.
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return context.failure(std::string("can't watch for Ctrl-C: ") + std::strerror(errno));
    }
    QSocketNotifier interrupts(interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, [&] {
        char byte = 0;
        while (::read(interruptPipe[0], &byte, 1) > 0) { }
        if (!run.stopRequested()) {
            context.err() << "Stopping...\n";
            run.stop();
        }
    });
    const auto previous = std::signal(SIGINT, interruptRun);
    std::thread worker([&] {
        outcome = run.run();
        done = true;
        ToolContext::wake();
    });
    // Progress goes to stderr from this thread, one line per whole percent. Each request of the
    // run gives up after --timeout, so a run that reports nothing for longer is stuck on the phone.
    int shown = -1;
    const bool ended = context.waitFor(
        [&] {
            const int now = percent.load();
            if (now != shown && now >= 0 && !run.stopRequested()) {
                shown = now;
                context.err() << "Progress: " << now << "%\n" << std::flush;
            }
            return done.load();
        },
        [&steps] { return steps.load(); },
        std::chrono::duration_cast<std::chrono::milliseconds>(
            context.stallBound().value_or(std::chrono::hours(24 * 365))));
    if (!ended) {
        context.noAnswer(LEFT_FILLERS_NOTE);
    }
    worker.join();
    std::signal(SIGINT, previous);
    ::close(interruptPipe[0]);
    ::close(interruptPipe[1]);

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
        // Unplugged, stopped answering or no longer trusted: said as every command says it.
        return context.deviceFailure("the connection to the device was lost", LEFT_FILLERS_NOTE);
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
        "  clear-temp                    fill the device until it discards app caches, then remove\n"
        "                                every filler; prints the free space gained\n",
        {},
        clearTemp,
    };
}
