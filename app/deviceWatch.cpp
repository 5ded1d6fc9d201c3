#include "app/deviceWatch.h"

#include "app/texts.h"

namespace una::app {

namespace {

std::string describeOnCard(platform::WaveDirection direction, const std::string& key) {
    for (const platform::DeviceInfo& d : platform::soundCard()->deviceList(direction))
        if (!key.empty() && d.key == key)
            return d.description;
    return key;
}

}  // namespace

DeviceWatch::DeviceWatch(Describe describe)
    : describe_(describe ? std::move(describe) : Describe(&describeOnCard)) {}

std::vector<std::string> DeviceWatch::poll(const Side& in, const Side& out,
                                           std::string_view language, bool& stop) {
    std::vector<std::string> said;
    stop = false;
    // A side closed and opened again is a new stream, with nothing yet to tell.
    if (!in.open)
        in_ = {};
    if (!out.open)
        out_ = {};
    const bool inLost = in.open && in.lost && !in_.lost;
    const bool outLost = out.open && out.lost && !out_.lost;
    in_.lost = in_.lost || inLost;
    out_.lost = out_.lost || outLost;
    if (inLost || outLost) {
        stop = true;
        // With the server both sides go at once: one sentence says why, not two device names.
        if ((inLost && in.state.serverGone) || (outLost && out.state.serverGone)) {
            said.push_back(msg(Msg::ServerGone, language));
            return said;
        }
        if (outLost)
            said.push_back(msg(Msg::OutputLost, language, {out.name}));
        if (inLost)
            said.push_back(msg(Msg::InputLost, language, {in.name}));
        return said;
    }
    if (in.open)
        sideNews(in, in_, platform::WaveDirection::input, language, said);
    if (out.open)
        sideNews(out, out_, platform::WaveDirection::output, language, said);
    return said;
}

void DeviceWatch::sideNews(const Side& side, Seen& seen, platform::WaveDirection direction,
                           std::string_view language, std::vector<std::string>& said) {
    const bool input = direction == platform::WaveDirection::input;
    const bool moved = side.state.moves > seen.moves;
    seen.moves = side.state.moves;
    if (moved) {
        said.push_back(msg(input ? Msg::RecordingMoved : Msg::PlaybackMoved, language,
                           {describe_(direction, side.state.deviceKey)}));
    }
    if (side.state.suspended != seen.suspended) {
        seen.suspended = side.state.suspended;
        // The device it is on now: a stream on the default may have moved.
        const std::string name =
            side.state.moves > 0 ? describe_(direction, side.state.deviceKey) : side.name;
        said.push_back(
            msg(seen.suspended ? Msg::DeviceSuspended : Msg::DeviceResumed, language, {name}));
    }
}

}  // namespace una::app
