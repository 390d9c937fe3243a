#pragma once

#include <QByteArray>
#include <QImage>
#include <QUrl>

#include <chrono>
#include <optional>

/// Fetches `url` with a GET and answers the reply body, or nothing when no successful reply came
/// within `timeout` (the whole exchange, not just the silence between bytes) or the body grew
/// beyond `maxSize`. Blocks the calling thread, which runs a small event loop of its own while
/// it waits: call it from a queue thread, never from the main thread. A QCoreApplication must
/// exist.
[[nodiscard]] std::optional<QByteArray> fetchUrl(const QUrl& url, std::chrono::milliseconds timeout, qint64 maxSize);

/// A picture from the web, for a row's icon: only http and https addresses are loaded (a phone's
/// metadata file must not make us read local files), at most 8 MB, decoded with the same limits
/// as device images. A null image on any failure.
[[nodiscard]] QImage imageFromUrl(const QUrl& url, std::chrono::milliseconds timeout);
