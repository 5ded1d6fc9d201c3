// Arbitrary text as a DSP chain's configuration: loading must not crash or read outside a
// buffer, the chain it builds must run, and what it saves must load back to the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dsp_mixer_codec/unaDspAutomat.h"

using namespace una;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "DSP configuration invariant broken: %s\n", what);
        std::abort();
    }
}

// Enough processors to exercise every kind; longer chains only slow the fuzzer down (their
// memory is bounded by the configuration's budget).
constexpr uint32_t kMaxProcessorsRun = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    unaDspDLibRoot root;
    auto automat = make<unaDSPLibAutomat>(root);
    check(automat->setAudioFormat(8000, 16, 2) == 0, "a plain format is taken");
    const int32_t loaded = automat->loadConfig(text);
    check(loaded == 0 || loaded == kDspEFail, "loading succeeds or refuses");
    check(automat->processorCount() <= static_cast<uint32_t>(kMaxConfigObjects), "object cap");
    uint64_t stateBytes = 0;
    for (uint32_t i = 0; i < automat->processorCount(); ++i)
        if (unaDspHandle processor = automat->getProcessor(i))
            stateBytes += processor->stateBytes();
    check(stateBytes * (1 + automat->copyCount()) <= kMaxConfigStateBytes, "memory budget");

    std::string saved;
    check(automat->saveConfig(saved) == 0, "saving reports success");
    auto fresh = make<unaDSPLibAutomat>(root);
    fresh->loadConfig(saved);
    std::string again;
    fresh->saveConfig(again);
    check(again == saved, "a saved configuration loads back to the same text");

    if (automat->processorCount() <= kMaxProcessorsRun) {
        std::vector<int16_t> chunk(2 * 64);
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<int16_t>((i * 2654435761u) >> 16);
        auto* bytes = reinterpret_cast<uint8_t*>(chunk.data());
        automat->processChunk(bytes, static_cast<uint32_t>(chunk.size() * 2));
        automat->processChunk(bytes, static_cast<uint32_t>(chunk.size() * 2), -1, 17, true);
        const float* out = nullptr;
        int32_t length = 0;
        check(automat->getChannelOutput(1, out, length) == 0, "the copy's output is there");
    }
    return 0;
}
