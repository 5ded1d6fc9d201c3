#include "app/delaySteering.h"

#include <cstdio>
#include <cstdlib>

#include "app/delayValue.h"
#include "app/texts.h"

namespace una::app {

std::string delayChangeText(int64_t ms) {
    char text[32];
    const long long magnitude = std::llabs(static_cast<long long>(ms));
    std::snprintf(text, sizeof text, "%c%lld.%03lld", ms < 0 ? '-' : '+', magnitude / 1000,
                  magnitude % 1000);
    return text;
}

std::string DelaySteering::say(Msg id, std::string_view code, std::array<std::string, 3> args) {
    saidId_ = id;
    saidArgs_ = std::move(args);
    return said(code);
}

std::string DelaySteering::said(std::string_view code) const {
    // Arguments a sentence does not take are left out by msg.
    if (!saidId_)
        return {};
    return msg(*saidId_, code, {saidArgs_[0], saidArgs_[1], saidArgs_[2]});
}

DelaySteering::DelaySteering(uint32_t startMs, Apply apply)
    : apply_(std::move(apply)), delayMs_(startMs) {}

void DelaySteering::set(uint32_t ms) {
    if (ms != delayMs_)
        taps_.forgetUndo();
    delayMs_ = ms;
}

std::string DelaySteering::handle(const DelayCommand& command, int64_t nowNs,
                                  std::string_view code) {
    switch (command.kind) {
        case DelayCommand::Kind::Bad:
        case DelayCommand::Kind::Start:  // starting and stopping the chain are its owner's
        case DelayCommand::Kind::Stop:
        case DelayCommand::Kind::FollowOn:  // the listener to the TV is its owner's too
        case DelayCommand::Kind::FollowOff:
            return {};
        case DelayCommand::Kind::Step:
        case DelayCommand::Kind::Set: {
            // A delay kept to the millisecond keeps its milliseconds when stepped.
            const bool exact = command.kind == DelayCommand::Kind::Step && !isWholeTenths(delayMs_);
            const double wanted = command.kind == DelayCommand::Kind::Set
                                      ? command.seconds
                                      : (exact ? delayStepMs(delayMs_, command.steps) / 1000.0
                                               : delayStepped(delayMs_ / 1000.0, command.steps));
            set(apply_(wanted, exact));
            return say(Msg::DelaySetTo, code, {delaySetText(delayMs_)});
        }
        case DelayCommand::Kind::TapRadio:
        case DelayCommand::Kind::TapTv: {
            const TapSide side =
                command.kind == DelayCommand::Kind::TapRadio ? TapSide::Radio : TapSide::Tv;
            const auto change = taps_.press(side, nowNs, delayMs_);
            if (!change)
                return say(side == TapSide::Radio ? Msg::TapRadioWaiting : Msg::TapTvWaiting, code);
            delayMs_ = apply_(change->toMs / 1000.0, true);
            const std::string now = delaySetText(delayMs_);
            if (change->appliedMs() != change->measuredMs)
                return say(Msg::TapChangedLimited, code, {delayChangeText(change->appliedMs()),
                            delayChangeText(change->measuredMs), now});
            return say(Msg::TapChanged, code, {delayChangeText(change->appliedMs()), now});
        }
        case DelayCommand::Kind::Undo: {
            const auto back = taps_.undo();
            if (!back)
                return say(Msg::NothingToUndo, code);
            delayMs_ = apply_(*back / 1000.0, true);
            return say(Msg::TapUndone, code, {delaySetText(delayMs_)});
        }
        case DelayCommand::Kind::Preset: {
            const DelayPreset* preset = findDelayPreset(presets_, command.text);
            if (!preset)
                return say(Msg::PresetMissing, code, {command.text});
            set(apply_(preset->ms / 1000.0, true));
            return say(Msg::PresetChosen, code, {preset->name, delaySetText(delayMs_)});
        }
    }
    return {};
}

}  // namespace una::app
