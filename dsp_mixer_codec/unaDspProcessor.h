#pragma once
// The DSP chain's processors: a base class that keeps its parameters in a store keyed by
// numeric ids and turns input samples (32-bit floats, full scale -1..+1) into output samples.
//
// Threading: processors and their stores take no lock the caller could wait on for long; the
// automat that owns a processor serialises every use of it under its own gate. A processor
// used on its own must be used from one thread at a time.

#include <cmath>
#include <cstdint>
#include <span>

#include "foundation/unaList.h"
#include "foundation/unaObject.h"

namespace una {

// Value types, kept in bits 24..27 of a parameter id.
inline constexpr uint32_t kDspTypeInt = 1;
inline constexpr uint32_t kDspTypeFloat = 2;
inline constexpr uint32_t kDspTypeArray = 3;
inline constexpr uint32_t kDspNumberMask = 0xFFFFF;

// Parameter numbers. The low byte picks a band or output where a processor has several.
inline constexpr uint32_t kDspInput = 0x10100;
inline constexpr uint32_t kDspOutput = 0x10200;  // also kind 5's latest noise level (float)
inline constexpr uint32_t kDspGain = 0x10300;
inline constexpr uint32_t kDspFrequency = 0x10400;
inline constexpr uint32_t kDspQ = 0x10500;
inline constexpr uint32_t kDspMode = 0x10600;  // kind 1: filter type of a band
inline constexpr uint32_t kDspAttack = 0x10700;
inline constexpr uint32_t kDspRelease = 0x10800;
inline constexpr uint32_t kDspThreshold = 0x10900;
inline constexpr uint32_t kDspRatio = 0x10A00;
inline constexpr uint32_t kDspSampleRate = 0x10B00;
inline constexpr uint32_t kDspWindow = 0x1FF00;  // also band counts and output counters (int)

inline constexpr int32_t dspParamId(uint32_t type, uint32_t number) {
    return static_cast<int32_t>(((type & 0xF) << 24) | (number & kDspNumberMask));
}

// One stored parameter: id with its type bits, the value, and for arrays the element count.
struct unaDspParamEntry {
    int32_t id = 0;
    // The pointer comes first so that a new entry is all zero bits, whatever its type.
    union {
        float* data;
        int32_t intValue;
        float floatValue;
    } value{nullptr};
    int32_t count = 0;

    std::span<float> array() const {
        return value.data && count > 0 ? std::span<float>(value.data, static_cast<size_t>(count))
                                       : std::span<float>();
    }
};

class unaDspDProcessor;

// A processor's parameter store. Removing an entry frees it, and an array entry's floats
// unless they are a caller's buffer (inputs 0x101xx, outputs 0x102xx).
class unaDspDLibParams : public unaIdList {
  public:
    explicit unaDspDLibParams(unaDspDProcessor* owner);
    ~unaDspDLibParams() override;

    // The entry of that id; none when absent or the lock stays busy.
    unaDspParamEntry* find(int32_t id);
    // The entry of that id, created empty on first use; none when memory or the lock fails.
    unaDspParamEntry* obtain(int32_t id);

    unaDspDProcessor* const processor;

  protected:
    int64_t getId(unaListItem item) override;
    void freeItem(unaListItem item) override;
};

// The base of every processor kind. Parameter writes create the entry on first use, set
// `changed` and return true (false only when memory or the store's lock fails).
class unaDspDProcessor : public unaObject {
  public:
    explicit unaDspDProcessor(int32_t kind);
    ~unaDspDProcessor() override;

    // Processes n samples from the bound input into the bound output; false (output
    // untouched) when buffers are missing or too short or the parameters are unusable.
    virtual bool process(int32_t n) = 0;
    // Bytes of state it will hold when it next runs with its current parameters, beyond the
    // buffers that follow the chunk length: windows and delay lines. 0 for none.
    virtual uint64_t stateBytes() { return 0; }

    bool setIntParam(uint32_t number, int32_t value);
    bool setFloatParam(uint32_t number, float value);
    // A caller's buffer for inputs and outputs, kept by pointer; otherwise the floats are
    // copied into the entry.
    bool setArrayParam(uint32_t number, const float* data, int32_t count);
    // 0 when absent.
    int32_t getIntParam(uint32_t number);
    // 0.0 when absent.
    float getFloatParam(uint32_t number);
    // None when absent.
    const unaDspParamEntry* getArrayParam(uint32_t number);
    bool hasIntParam(uint32_t number);
    bool hasFloatParam(uint32_t number);
    bool hasArrayParam(uint32_t number);
    // True for array ids of inputs and outputs: those arrays belong to the caller.
    static bool isBorrowedArray(int32_t id);

    const int32_t kind;
    unaPtr<unaDspDLibParams> params;
    bool changed = true;

  protected:
    // The bound array, empty when absent.
    std::span<float> boundArray(uint32_t number);
};

// Non-finite samples carry no level: NaN or an infinity is read as silence, so no processor
// state is poisoned by one bad sample.
inline float finiteSample(float x) {
    return std::isfinite(x) ? x : 0.0f;
}

// Values that decay in recursive state are flushed to zero well before they become
// denormals, which would slow every later operation on them.
inline double flushTiny(double x) {
    return std::fabs(x) < 1e-30 ? 0.0 : x;
}
inline float flushTiny(float x) {
    return std::fabs(x) < 1e-30f ? 0.0f : x;
}

// A length in samples from a computed value, kept within 1..limit (NaN gives 1).
inline int32_t sampleLength(double value, int32_t limit) {
    if (!(value >= 1.0))
        return 1;
    if (value >= static_cast<double>(limit))
        return limit;
    return static_cast<int32_t>(value);
}

inline double dbToLinear(double db) {
    return std::pow(10.0, db / 20.0);
}

}  // namespace una
