#pragma once

#include <functional>

class ServiceCatalog;
class SimDevice;
class SimStream;

/// Serves lockdownd (device port 62078) on one tunnelled connection until the host closes it or
/// says Goodbye. Frames are a 32-bit big-endian length and a plist; replies are XML. Failures carry
/// lockdownd's own `Error` strings and never a `Result` key (the 1.3.0 client ignores `Error` when
/// `Result` is present).
void runLockdown(SimDevice& device, SimStream& stream, const ServiceCatalog& catalog);

/// The largest lockdown message accepted; a pair record is about 10 KB.
inline constexpr std::size_t LOCKDOWN_MAX_MESSAGE = 1024 * 1024;
