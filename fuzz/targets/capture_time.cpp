// The capture-time reader (ICCaptureTime) over the start of a photo or video from a phone's
// camera roll: JPEG segments, EXIF directories, HEIF item tables and movie boxes all carry
// lengths and offsets that must be checked before they are followed.
// Input: the file's bytes.
#include "platform/image_capture/ICCaptureTime.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)ICCaptureTime::captureTime(bytes);
    (void)ICCaptureTime::captureTimeFromTiff(bytes);
    return 0;
}
