#include "app/meters.h"

#include <malloc.h>

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define UNA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNA_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef UNA_ADDRESS_SANITIZER
#define UNA_ADDRESS_SANITIZER 0
#endif
#if UNA_ADDRESS_SANITIZER
// The sanitizer runtime's own count; its header is not installed everywhere.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

#include <charconv>

#include "audio/unaMsAcmStreamDevice.h"
#include "foundation/unaConvert.h"

namespace una::app {

uint64_t heapBytesInUse() {
#if UNA_ADDRESS_SANITIZER
    // The sanitizer's allocator replaces the C library's, whose figures then stay at 0.
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    const struct mallinfo2 info = mallinfo2();
    return static_cast<uint64_t>(info.uordblks) + static_cast<uint64_t>(info.hblkhd);
#else
    return 0;
#endif
}

std::string memoryPanelText(uint64_t heapBytes, char thousandSeparatorChar) {
    // ' ' would mean "the locale's" to uint2str; a caller asking for a blank gets one anyway.
    std::string digits = uint2str(heapBytes >> 10);
    if (thousandSeparatorChar != 0) {
        for (size_t at = digits.size(); at > 3;) {
            at -= 3;
            digits.insert(at, 1, thousandSeparatorChar);
        }
    }
    return "Mem: " + digits + " KB";
}

std::string memoryPanelText() {
    return memoryPanelText(heapBytesInUse(), thousandSeparator());
}

std::string versionPanelText(double programVersion) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, programVersion);
    return "V." + std::string(text, result.ptr);
}

uint32_t nextBannerLine(uint32_t& captionPhase) {
    captionPhase += 3;
    return (captionPhase >> 7) & (kBannerLines - 1);
}

int32_t meterPosition(int32_t volume) {
    return volumeToMeter(volume);
}

}  // namespace una::app
