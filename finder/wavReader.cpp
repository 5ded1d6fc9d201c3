#include "finder/wavReader.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "audio/unaRiffStream.h"
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
        pending.insert(pending.end(), data.begin(), data.end());
        size_t at = 0;
        for (; at + frameBytes <= pending.size() && out.size() < maxFrames; at += frameBytes) {
            float sum = 0;
            for (unsigned c = 0; c < channels; ++c) {
                const uint8_t* s = pending.data() + at + size_t{c} * bytes;
                int32_t v = 0;
                switch (bytes) {
                    case 1: v = (int32_t{s[0]} - 128) << 24; break;  // 8-bit PCM is unsigned
                    case 2: v = static_cast<int32_t>(uint32_t{s[0]} << 16 | uint32_t{s[1]} << 24); break;
                    case 3: v = static_cast<int32_t>(uint32_t{s[0]} << 8 | uint32_t{s[1]} << 16 | uint32_t{s[2]} << 24); break;
                    default: std::memcpy(&v, s, 4); break;
                }
                sum += static_cast<float>(v) / 2147483648.0f;
            }
            out.push_back(sum / static_cast<float>(channels));
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
        full = out.size() >= maxFrames;
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
