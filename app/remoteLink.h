#pragma once
// What the headless program and the window share to run the phone remote: the page from the
// program's resources, the address to listen on, the state the page shows. Owner's thread.

#include <optional>
#include <string>

#include "remote/remoteRequest.h"
#include "stream/stationSoundCard.h"

namespace una::app {

class DelayChain;
enum class ChainState;
class DelaySteering;
class DelaySync;

// The delay finder's side of what the page shows; any of them may be missing.
struct RemoteSteering {
    const DelaySteering* steering = nullptr;
    const DelaySync* sync = nullptr;
    std::string said;  // what the steering or the finder said last
};

// The page's HTML, compiled into the program.
std::string remotePageHtml();

// "127.0.0.1", or with homeNetwork the computer's home network address; none with one
// sentence in `error` when it has none.
std::optional<std::string> remoteListenHost(bool homeNetwork, std::string& error);

// The page's name for the chain's state; "reconnecting" while it records a station that
// reconnects.
std::string remoteStateName(ChainState chain, const std::optional<stream::StationStatus>& station);

// What the page shows of the chain, the delay set, the taps, presets and the finder, in the
// program's language.
remote::RemoteState remoteStateOf(const DelayChain& chain, double delaySeconds,
                                  const std::string& languageCode,
                                  const RemoteSteering& steering = {});

}  // namespace una::app
