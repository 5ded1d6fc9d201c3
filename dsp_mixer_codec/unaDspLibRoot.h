#pragma once
// The DSP library's front: creates processors by kind number and reads and writes their
// parameters. A processor handle is the processor object itself.
//
// Threading: the root holds no state of its own and takes no lock; whoever uses a processor
// (an automat, under its gate) keeps it to one thread at a time.

#include <cstdint>
#include <string_view>

#include "dsp_mixer_codec/unaDspProcessor.h"

namespace una {

// Processor kinds the root can create.
inline constexpr int32_t kDspKindEQ2B = 1;
inline constexpr int32_t kDspKindLD = 2;
inline constexpr int32_t kDspKindDynProc = 3;
inline constexpr int32_t kDspKindSpeechProc = 4;
inline constexpr int32_t kDspKindND = 5;
inline constexpr int32_t kDspKindEQMB = 6;
inline constexpr int32_t kDspKindMbSp = 7;

using unaDspHandle = unaDspDProcessor*;

class unaDspLibAbstract : public unaObject {
  public:
    // A new processor of that kind; none for a kind outside 1..7.
    virtual unaPtr<unaDspDProcessor> createProcessor(int32_t kind) = 0;
    // Always true.
    virtual bool destroyProcessor(unaPtr<unaDspDProcessor> processor) = 0;
    // The processor's own result; false for no processor.
    virtual bool process(unaDspHandle processor, int32_t n) = 0;
    virtual std::string_view getVersion() = 0;
    // True when stored (false only for no processor, or when memory runs out).
    virtual bool setIntParam(unaDspHandle processor, uint32_t number, int32_t value) = 0;
    virtual bool setFloatParam(unaDspHandle processor, uint32_t number, float value) = 0;
    virtual bool setArrayParam(unaDspHandle processor, uint32_t number, const float* data,
                               int32_t count) = 0;
    // 0 when absent.
    virtual int32_t getIntParam(unaDspHandle processor, uint32_t number) = 0;
    // 0.0 when absent.
    virtual float getFloatParam(unaDspHandle processor, uint32_t number) = 0;
    // None when absent.
    virtual const unaDspParamEntry* getArrayParam(unaDspHandle processor, uint32_t number) = 0;
    // 0 for no processor.
    virtual int32_t getKind(unaDspHandle processor) = 0;
    virtual bool hasIntParam(unaDspHandle processor, uint32_t number) = 0;
    virtual bool hasFloatParam(unaDspHandle processor, uint32_t number) = 0;
    virtual bool hasArrayParam(unaDspHandle processor, uint32_t number) = 0;
};

class unaDspDLibRoot : public unaDspLibAbstract {
  public:
    unaPtr<unaDspDProcessor> createProcessor(int32_t kind) override;
    bool destroyProcessor(unaPtr<unaDspDProcessor> processor) override;
    bool process(unaDspHandle processor, int32_t n) override;
    // "1.D.02".
    std::string_view getVersion() override;
    bool setIntParam(unaDspHandle processor, uint32_t number, int32_t value) override;
    bool setFloatParam(unaDspHandle processor, uint32_t number, float value) override;
    bool setArrayParam(unaDspHandle processor, uint32_t number, const float* data,
                       int32_t count) override;
    int32_t getIntParam(unaDspHandle processor, uint32_t number) override;
    float getFloatParam(unaDspHandle processor, uint32_t number) override;
    const unaDspParamEntry* getArrayParam(unaDspHandle processor, uint32_t number) override;
    int32_t getKind(unaDspHandle processor) override;
    bool hasIntParam(unaDspHandle processor, uint32_t number) override;
    bool hasFloatParam(unaDspHandle processor, uint32_t number) override;
    bool hasArrayParam(unaDspHandle processor, uint32_t number) override;
};

}  // namespace una
