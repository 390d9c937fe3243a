#pragma once

#include <cstdint>
#include <string>

class SimDevice;
class SimStream;
struct SimServiceContext;

/// AFC status codes as the device sends them.
enum class AfcStatus : std::uint64_t {
    Success = 0,
    UnknownError = 1,
    OpHeaderInvalid = 2,
    NoResources = 3,
    ReadError = 4,
    WriteError = 5,
    UnknownPacketType = 6,
    InvalidArgument = 7,
    ObjectNotFound = 8,
    ObjectIsDirectory = 9,
    PermissionDenied = 10,
    OpTimeout = 12,
    ObjectExists = 16,
    NoSpaceLeft = 18,
    WouldBlock = 19,
    IoError = 20,
};

/// How long a blocking file lock waits for another holder before it answers "Timeout": as long as
/// the daemon keeps a client that sends nothing (a fault may shorten it).
inline constexpr int AFC_LOCK_WAIT_MS = 60 * 1000;

/// Blocking AFC lock requests now waiting on `device` (`ctl list` shows them as "afc-lock-waits N").
int afcLockWaiters(const SimDevice& device);

/// The largest request payload accepted (a write of several MiB per packet must fit).
inline constexpr std::uint64_t AFC_MAX_PAYLOAD = 32ULL * 1024 * 1024;

/// Serves AFC on `stream` until the host closes it, rooted at the device path `areaPath`
/// ("/private/var/mobile/Media", "/" ...): nothing outside it is reachable, neither through ".."
/// nor through symbolic links. House arrest uses this after its Vend reply.
/// `onlyTopFolder`, when given, narrows the area to that one folder below its root, as a
/// documents-only vend does: the root lists just that folder and everything else is refused.
void serveAfc(SimDevice& device, SimStream& stream, const std::string& areaPath, const std::string& onlyTopFolder = {});

/// Service handler for "com.apple.afc", "com.apple.afc2" and "com.apple.crashreportcopymobile".
void runAfcService(SimServiceContext& context);
/// Service handler for "com.apple.crashreportmover": says "ping" once the (instant) move is done.
void runCrashReportMover(SimServiceContext& context);
