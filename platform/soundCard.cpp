#include "platform/soundCard.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <string_view>

#include "platform/alsaSoundCard.h"
#include "platform/pipewireSoundCard.h"
#include "platform/pulseSoundCard.h"
#include "platform/serverWait.h"

namespace platform {

namespace {
std::mutex cardMutex;
std::shared_ptr<SoundCard> currentCard;
std::shared_future<std::shared_ptr<SoundCard>> pendingCard;

std::mutex waitMutex;
std::function<void(const ServerWaitState&)> waitListener;
ServerWaitState waitState;

void tell(ServerWait wait, const std::string& server) {
    std::function<void(const ServerWaitState&)> listener;
    ServerWaitState state{wait, server};
    {
        std::lock_guard lock(waitMutex);
        waitState = state;
        listener = waitListener;
    }
    if (listener)
        listener(state);
}

// A healthy server answers within milliseconds; a busy one within this.
constexpr uint32_t kFirstAnswerMs = 500;
// One attempt at a server that is there but slow, and the pause between attempts at one that
// is expected but not listening yet.
constexpr uint32_t kServerAnswerMs = 2000;
constexpr auto kRetryPause = std::chrono::milliseconds(250);

std::string serverAddress(bool* expected) {
    const char* address = std::getenv("PULSE_SERVER");
    if (address && *address) {
        *expected = true;
        return address;
    }
    std::string folder;
    if (const char* runtime = std::getenv("PULSE_RUNTIME_PATH"); runtime && *runtime)
        folder = runtime;
    else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        folder = std::string(xdg) + "/pulse";
    // The folder stays between a server's runs; at a desktop's start the session makes it
    // before the server listens.
    std::error_code ec;
    *expected = !folder.empty() && std::filesystem::is_directory(folder, ec);
    return folder.empty() ? std::string("unix:(no runtime folder)") : "unix:" + folder + "/native";
}

// PipeWire's pulse service found: its own protocol reads each stream's clock in the graph's
// cycle and sees a device's sleep, where the service's answers come late. Only for the
// service in this session's runtime folder: a server named elsewhere (PULSE_SERVER) need not
// be the PipeWire that folder leads to.
std::shared_ptr<SoundCard> nativeOnPipeWire(std::shared_ptr<PulseSoundCard> pulse,
                                            std::string_view wanted) {
    const char* address = std::getenv("PULSE_SERVER");
    if (wanted == "pulse" || (address && *address) || !pulse->onPipeWire())
        return pulse;
    if (auto pipewire = PipeWireSoundCard::connect(kServerAnswerMs))
        return pipewire;
    return pulse;
}

std::shared_ptr<SoundCard> chooseCard() {
    const char* forced = std::getenv("UNA_SOUND_BACKEND");
    const std::string_view wanted = forced ? forced : "";
    if (wanted == "alsa")
        return std::make_shared<AlsaSoundCard>();
    if (wanted == "pipewire") {
        if (auto pipewire = PipeWireSoundCard::connect(kServerAnswerMs))
            return pipewire;
    }
    bool slow = false;
    // A forced PipeWire that did not answer a moment ago is not asked again.
    if (auto pulse = PulseSoundCard::connect(kFirstAnswerMs, &slow))
        return wanted == "pipewire" ? pulse : nativeOnPipeWire(std::move(pulse), wanted);
    bool expected = false;
    const std::string address = serverAddress(&expected);
    if (!slow && !expected)
        return std::make_shared<AlsaSoundCard>();
    tell(ServerWait::Waiting, address);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kServerWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        const bool last = left.count() <= kServerAnswerMs;
        const auto attemptMs = static_cast<uint32_t>(
            std::clamp<int64_t>(left.count(), kFirstAnswerMs, kServerAnswerMs));
        // A server that is there but still does not answer at the last attempt is kept: ALSA's
        // default device would reach it through its sound-server plugin all the same, and that
        // waits up to 90 s without a word. The card lists "Default (no sound server)", refuses
        // to open until the server answers, and tries again at every list and open.
        if (auto pulse = PulseSoundCard::connect(attemptMs, &slow, last)) {
            tell(slow ? ServerWait::NotAnswering : ServerWait::Answered, address);
            return slow ? pulse : nativeOnPipeWire(std::move(pulse), wanted);
        }
        if (std::chrono::steady_clock::now() >= until)
            break;
        if (!slow)
            std::this_thread::sleep_for(kRetryPause);
    }
    tell(ServerWait::NotThere, address);
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
    if (!currentCard) {
        if (pendingCard.valid()) {
            currentCard = pendingCard.get();
            pendingCard = {};
        } else {
            currentCard = chooseCard();
        }
    }
    return currentCard;
}

void chooseSoundCardInBackground() {
    std::lock_guard lock(cardMutex);
    if (!currentCard && !pendingCard.valid())
        pendingCard = std::async(std::launch::async, chooseCard).share();
}

bool soundCardPending() {
    std::lock_guard lock(cardMutex);
    return !currentCard && pendingCard.valid() &&
           pendingCard.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

void setServerWaitListener(std::function<void(const ServerWaitState&)> listener) {
    std::lock_guard lock(waitMutex);
    waitListener = std::move(listener);
}

ServerWaitState serverWaitState() {
    std::lock_guard lock(waitMutex);
    return waitState;
}

void setSoundCard(std::shared_ptr<SoundCard> card) {
    std::lock_guard lock(cardMutex);
    currentCard = std::move(card);
}

}  // namespace platform
