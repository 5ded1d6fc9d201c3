#include "platform/mixer.h"

#include <mutex>

#include "platform/alsaMixer.h"

namespace platform {

namespace {
std::mutex mixerMutex;
std::shared_ptr<AudioMixer> currentMixer;
}  // namespace

std::shared_ptr<AudioMixer> audioMixer() {
    std::lock_guard lock(mixerMutex);
    if (!currentMixer)
        currentMixer = std::make_shared<AlsaAudioMixer>();
    return currentMixer;
}

void setAudioMixer(std::shared_ptr<AudioMixer> mixer) {
    std::lock_guard lock(mixerMutex);
    currentMixer = std::move(mixer);
}

}  // namespace platform
