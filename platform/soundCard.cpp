#include "platform/soundCard.h"

#include <mutex>

#include "platform/alsaSoundCard.h"

namespace platform {

namespace {
std::mutex cardMutex;
std::shared_ptr<SoundCard> currentCard;
}  // namespace

std::shared_ptr<SoundCard> soundCard() {
    std::lock_guard lock(cardMutex);
    if (!currentCard)
        currentCard = std::make_shared<AlsaSoundCard>();
    return currentCard;
}

void setSoundCard(std::shared_ptr<SoundCard> card) {
    std::lock_guard lock(cardMutex);
    currentCard = std::move(card);
}

}  // namespace platform
