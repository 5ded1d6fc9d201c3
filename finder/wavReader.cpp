#include "finder/wavReader.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "audio/unaRiffStream.h"
#include "finder/pcmToMono.h"
#include "dsp_mixer_codec/unaMsAcm.h"

namespace una::finder {
namespace {

// A reader that has delivered nothing for this long has stalled.
constexpr auto kStallTimeout = std::chrono::seconds(10);

}  // namespace

bool readWavMono(std::string_view path, double maxSeconds, WavAudio& audio, std::string& error) {
    audio = {};
    const std::string name(path);
    if (!std::ifstream(name, std::ios::binary)) {
        error = name + ": cannot be opened for reading";
        return false;
    }
    auto codecs = make<unaMsAcm>();
    codecs->enumDrivers(0);
    auto reader = make<unaRiffStream>(name, codecs.get());
    switch (reader->mode.load()) {
        case kRiffModeReading: break;
        case kRiffModeNoCodec:
            error = name + ": compressed in a format this program cannot decode (tag " +
                    std::to_string(reader->fileFormat() ? reader->fileFormat()->formatTag : 0) + ")";
            return false;
        case kRiffModeCodecFailed:
            error = name + ": its compressed audio cannot be decoded (a damaged format record)";
            return false;
        default:
            error = name + ": not a WAV file with audio this program can read";
            return false;
    }
    const auto* format = reader->dstFormat.get();
    const unsigned channels = format ? format->channels : 0;
    const unsigned bytes = format ? format->bitsPerSample / 8 : 0;
    if (!format || channels == 0 || bytes == 0 || bytes > 4 || format->samplesPerSec == 0) {
        error = name + ": not a WAV file with audio this program can read";
        return false;
    }
    const size_t frameBytes = size_t{channels} * bytes;
    const auto maxFrames = static_cast<size_t>(maxSeconds * format->samplesPerSec);
    std::mutex lock;
    std::vector<uint8_t> pending;  // a frame split between two chunks
    std::vector<float>& out = audio.samples;
    bool full = false;
    auto lastProgress = std::chrono::steady_clock::now();
    reader->onDataAvailable = [&](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        std::lock_guard guard(lock);
        lastProgress = std::chrono::steady_clock::now();
        if (full) return;
        pending.insert(pending.end(), data.begin(), data.end());
        const size_t room = (maxFrames - std::min(maxFrames, out.size())) * frameBytes;
        const size_t at = pcmToMono(std::span(pending).first(std::min(room, pending.size())),
                                    static_cast<int>(bytes * 8), static_cast<int>(channels), out);
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
        full = out.size() >= maxFrames;
        if (full) pending.clear();
    };
    if (reader->open(false, 10000, 0) != 0) {
        error = name + ": the file could not be read";
        return false;
    }
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard guard(lock);
        if (full || reader->endOfData() || std::chrono::steady_clock::now() - lastProgress > kStallTimeout)
            break;
    }
    reader->close(10000);
    reader->onDataAvailable = nullptr;
    audio.sampleRate = static_cast<int>(format->samplesPerSec);
    if (out.empty()) {
        error = name + ": holds no audio";
        return false;
    }
    return true;
}

}  // namespace una::finder
