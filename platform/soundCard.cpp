#include "platform/soundCard.h"

#include <cstdlib>
#include <mutex>
#include <string_view>

#include "platform/alsaSoundCard.h"
#include "platform/pulseSoundCard.h"

namespace platform {

namespace {
std::mutex cardMutex;
std::shared_ptr<SoundCard> currentCard;

// How long a start-up may wait for a sound server that is there but slow to answer, and how
// often it tries.
constexpr uint32_t kServerAnswerMs = 2000;
constexpr int kServerAttempts = 3;

std::shared_ptr<SoundCard> chooseCard() {
    const char* forced = std::getenv("UNA_SOUND_BACKEND");
    const std::string_view wanted = forced ? forced : "";
    if (wanted == "alsa")
        return std::make_shared<AlsaSoundCard>();
    bool slow = false;
    for (int attempt = 1; attempt <= kServerAttempts; ++attempt) {
        // A server still starting up is kept even unanswered after the last attempt: ALSA's
        // default device would reach it through its sound-server plugin all the same, and that
        // waits up to 90 s without a word. The card lists "Default (no sound server)" and
        // refuses to open until the server answers, and tries again at every list and open.
        if (auto pulse = PulseSoundCard::connect(kServerAnswerMs, &slow,
                                                 attempt == kServerAttempts))
            return pulse;
        if (!slow)
            break;
    }
    return std::make_shared<AlsaSoundCard>();
}

std::string wideToUtf8(const std::wstring& text) {
    std::string out;
    for (const wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

std::vector<DeviceInfo> SoundCard::deviceList(WaveDirection direction) {
    std::vector<DeviceInfo> list;
    const uint32_t count = deviceCount(direction);
    for (int64_t id = kWaveMapper; id < static_cast<int64_t>(count); ++id) {
        WaveCaps caps;
        DeviceInfo info;
        if (this->caps(direction, static_cast<int32_t>(id), caps) == kMmNoError)
            info.description = wideToUtf8(caps.name);
        list.push_back(std::move(info));
    }
    return list;
}

std::shared_ptr<SoundCard> soundCard() {
    std::lock_guard lock(cardMutex);
    if (!currentCard)
        currentCard = chooseCard();
    return currentCard;
}

void setSoundCard(std::shared_ptr<SoundCard> card) {
    std::lock_guard lock(cardMutex);
    currentCard = std::move(card);
}

}  // namespace platform
