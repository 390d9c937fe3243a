#pragma once

#include <string>
#include <string_view>

/// Turning names that come from a phone into names safe to create on this computer.
namespace ICFileNames {

/// A single path component made from a device-supplied `name`: "/", "\", NUL and every control
/// character (newlines among them) become "_", a leading "." becomes "_" (so neither "..", a
/// hidden file nor a path can result), invalid UTF-8 is replaced, and the result is cut to at
/// most 255 bytes keeping the extension. Never empty.
std::string sanitizedFileName(std::string_view name);

/// "IMG_0001.JPG" with `number` 2 gives "IMG_0001 (2).JPG"; 0 gives the name unchanged.
std::string numberedFileName(const std::string& name, int number);

/// True for the extensions of movie files the camera roll holds (MOV, MP4, M4V, 3GP), in any case.
bool isMovieName(std::string_view name);

} // namespace ICFileNames
