#include "app/remoteLink.h"

#include <QFile>

#include "app/delayAdjust.h"
#include "app/delayChain.h"
#include "app/delaySteering.h"
#include "app/delaySync.h"
#include "remote/remoteAccess.h"

// The resource lives in a static library: it is registered by name, outside any namespace.
static void registerRemotePage() {
    Q_INIT_RESOURCE(remote_page);
}

namespace una::app {

std::string remotePageHtml() {
    registerRemotePage();
    QFile file(QStringLiteral(":/remote/remote.html"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

std::optional<std::string> remoteListenHost(bool homeNetwork, std::string& error) {
    if (!homeNetwork)
        return std::string("127.0.0.1");
    if (auto address = remote::homeNetworkAddress())
        return address;
    error = "this computer has no home network address (10.x, 172.16-31.x or 192.168.x)";
    return std::nullopt;
}

std::string remoteStateName(ChainState chain, const std::optional<stream::StationStatus>& station) {
    if (chain == ChainState::Idle)
        return "stopped";
    if (station && station->state == stream::StationStatus::State::reconnecting)
        return "reconnecting";
    switch (chain) {
        case ChainState::Delaying: return "delaying";
        case ChainState::Running: return "running";
        case ChainState::RecordingOnly: return "recording";
        case ChainState::Idle: break;
    }
    return "stopped";
}

remote::RemoteState remoteStateOf(const DelayChain& chain, double delaySeconds,
                                  const std::string& languageCode,
                                  const RemoteSteering& steering) {
    remote::RemoteState state;
    state.delaySeconds = delaySeconds;
    const DelayLine::Figures figures = chain.delayFigures();
    state.heard = delayHeardSeconds(figures.playing ? figures : DelayLine::Figures{});
    std::optional<stream::StationStatus> station;
    if (chain.isInOpen())
        if (auto card = std::dynamic_pointer_cast<stream::StationSoundCard>(platform::soundCard()))
            station = card->inputStatus();
    state.state = remoteStateName(chain.state(), station);
    state.started = chain.isInOpen();
    state.language = languageCode;
    if (steering.steering) {
        for (const DelayPreset& preset : steering.steering->presets())
            state.presets.push_back(preset.name);
        state.canUndo = steering.steering->taps().canUndo();
    }
    state.said = steering.said;
    if (steering.sync && steering.sync->listening()) {
        state.listening = true;
        state.follow = steering.sync->follow();
        state.lastMeasured = steering.sync->lastText(languageCode);
    }
    return state;
}

}  // namespace una::app
