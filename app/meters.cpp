#include "app/meters.h"

#include <malloc.h>

#include <charconv>

#include "audio/unaMsAcmStreamDevice.h"
#include "foundation/unaConvert.h"

namespace una::app {

uint64_t heapBytesInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
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
