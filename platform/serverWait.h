#pragma once
// Waiting for a sound server at the choice of the process-wide card (soundCard()): a server that
// is there but slow to answer, or one that is expected (an address in PULSE_SERVER, or the
// server's runtime folder exists) but not listening yet, is waited for up to kServerWaitMs, and
// the user is told what is awaited. Every function is safe from any thread.

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

inline constexpr uint32_t kServerWaitMs = 10000;

// What the choice of the card is doing about the sound server. NotAnswering keeps the server's
// card (it is tried again at each list and open); NotThere means nothing listened at the
// address, and ALSA's cards are used.
enum class ServerWait { None, Waiting, Answered, NotAnswering, NotThere };
struct ServerWaitState {
    ServerWait wait = ServerWait::None;
    std::string server;  // the address waited for ("unix:/run/user/1000/pulse/native")
};

// Called, on the choosing thread, when the choice starts waiting for a server (at once, before
// the first long wait) and when that wait ends. Replaces any earlier listener; empty for none.
void setServerWaitListener(std::function<void(const ServerWaitState&)> listener);
// The latest of those states; None when no server was waited for.
ServerWaitState serverWaitState();
// Starts the choice on a thread of its own, so a window can show while a slow server is
// awaited; soundCard() then takes that choice, waiting for it if need be. Does nothing when a
// card is chosen or being chosen.
void chooseSoundCardInBackground();
// Whether a choice started by chooseSoundCardInBackground() is still being made (soundCard()
// would wait for it).
bool soundCardPending();

}  // namespace platform
