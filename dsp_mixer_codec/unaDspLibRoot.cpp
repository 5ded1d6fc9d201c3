#include "dsp_mixer_codec/unaDspLibRoot.h"

#include "dsp_mixer_codec/unaDspBiquad.h"
#include "dsp_mixer_codec/unaDspDynamics.h"
#include "dsp_mixer_codec/unaDspLevel.h"
#include "dsp_mixer_codec/unaDspMultiband.h"
#include "dsp_mixer_codec/unaDspNoise.h"
#include "dsp_mixer_codec/unaDspSpeech.h"

namespace una {

unaPtr<unaDspDProcessor> unaDspDLibRoot::createProcessor(int32_t kind) {
    switch (kind) {
        case kDspKindEQ2B:
            return make<unaDspDL_EQ2B>();
        case kDspKindLD:
            return make<unaDspDL_LD>();
        case kDspKindDynProc:
            return make<unaDspDL_DynProc>();
        case kDspKindSpeechProc:
            return make<unaDspDL_SpeechProc>();
        case kDspKindND:
            return make<unaDspDL_ND>();
        case kDspKindEQMB:
            return make<unaDspDL_EQMB>();
        case kDspKindMbSp:
            return make<unaDspDL_MbSp>();
        default:
            return nullptr;
    }
}

bool unaDspDLibRoot::destroyProcessor(unaPtr<unaDspDProcessor> processor) {
    processor.reset();
    return true;
}

bool unaDspDLibRoot::process(unaDspHandle processor, int32_t n) {
    return processor && processor->process(n);
}

std::string_view unaDspDLibRoot::getVersion() {
    return "1.D.02";
}

bool unaDspDLibRoot::setIntParam(unaDspHandle processor, uint32_t number, int32_t value) {
    return processor && processor->setIntParam(number, value);
}

bool unaDspDLibRoot::setFloatParam(unaDspHandle processor, uint32_t number, float value) {
    return processor && processor->setFloatParam(number, value);
}

bool unaDspDLibRoot::setArrayParam(unaDspHandle processor, uint32_t number, const float* data,
                                   int32_t count) {
    return processor && processor->setArrayParam(number, data, count);
}

int32_t unaDspDLibRoot::getIntParam(unaDspHandle processor, uint32_t number) {
    return processor ? processor->getIntParam(number) : 0;
}

float unaDspDLibRoot::getFloatParam(unaDspHandle processor, uint32_t number) {
    return processor ? processor->getFloatParam(number) : 0.0f;
}

const unaDspParamEntry* unaDspDLibRoot::getArrayParam(unaDspHandle processor, uint32_t number) {
    return processor ? processor->getArrayParam(number) : nullptr;
}

int32_t unaDspDLibRoot::getKind(unaDspHandle processor) {
    return processor ? processor->kind : 0;
}

bool unaDspDLibRoot::hasIntParam(unaDspHandle processor, uint32_t number) {
    return processor && processor->hasIntParam(number);
}

bool unaDspDLibRoot::hasFloatParam(unaDspHandle processor, uint32_t number) {
    return processor && processor->hasFloatParam(number);
}

bool unaDspDLibRoot::hasArrayParam(unaDspHandle processor, uint32_t number) {
    return processor && processor->hasArrayParam(number);
}

}  // namespace una
