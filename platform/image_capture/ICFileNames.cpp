#include "platform/image_capture/ICFileNames.h"

#include <QString>

#include <algorithm>
#include <array>

namespace ICFileNames {

namespace {

    constexpr std::size_t MAX_NAME_BYTES = 255;

    std::string extensionOf(const std::string& name)
    {
        const auto dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0) {
            return {};
        }
        return name.substr(dot);
    }

    /// Cuts UTF-8 text to at most `bytes` bytes without splitting a character.
    std::string cutUtf8(const std::string& text, std::size_t bytes)
    {
        if (text.size() <= bytes) {
            return text;
        }
        std::size_t end = bytes;
        while (end > 0 && (std::uint8_t(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        return text.substr(0, end);
    }

} // namespace

std::string sanitizedFileName(std::string_view name)
{
    // Through QString so invalid UTF-8 becomes U+FFFD instead of passing through.
    const QString decoded = QString::fromUtf8(name.data(), qsizetype(name.size()));
    QString cleaned;
    cleaned.reserve(decoded.size());
    for (const QChar c : decoded) {
        const char16_t u = c.unicode();
        if (u == u'/' || u == u'\\' || u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || u == 0x2028 || u == 0x2029) {
            cleaned.append(QLatin1Char('_'));
        } else {
            cleaned.append(c);
        }
    }
    if (cleaned.startsWith(QLatin1Char('.'))) {
        cleaned[0] = QLatin1Char('_');
    }
    if (cleaned.trimmed().isEmpty()) {
        cleaned = QStringLiteral("unnamed");
    }
    std::string result = cleaned.toStdString();
    if (result.size() > MAX_NAME_BYTES) {
        std::string extension = extensionOf(result);
        if (extension.size() > 16) {
            extension.clear();
        }
        result = cutUtf8(result, MAX_NAME_BYTES - extension.size()) + extension;
    }
    return result;
}

std::string numberedFileName(const std::string& name, int number)
{
    if (number <= 0) {
        return name;
    }
    const std::string suffix = " (" + std::to_string(number) + ")";
    const std::string extension = extensionOf(name);
    std::string stem = name.substr(0, name.size() - extension.size());
    stem = cutUtf8(stem, MAX_NAME_BYTES - std::min(MAX_NAME_BYTES, suffix.size() + extension.size()));
    return stem + suffix + extension;
}

bool isMovieName(std::string_view name)
{
    static constexpr std::array<std::string_view, 4> MOVIE_EXTENSIONS { ".mov", ".mp4", ".m4v", ".3gp" };
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return std::any_of(MOVIE_EXTENSIONS.begin(), MOVIE_EXTENSIONS.end(),
        [&](std::string_view extension) { return lower.ends_with(extension); });
}

} // namespace ICFileNames
