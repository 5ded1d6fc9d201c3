#pragma once
// Everything a person asks of the running delay, whichever way it comes (the window's buttons
// and shortcuts, keys and lines on the headless program's standard input): steps of a tenth,
// a typed delay, the two taps with their undo, a preset picked by name. Each command becomes
// one call of `apply` and one sentence for the user, so a rule is written once. Pure logic
// apart from `apply`; the owner's thread only.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/delayAdjust.h"
#include "app/delayPresets.h"
#include "app/delayTaps.h"

namespace una::app {

enum class Msg : int;

class DelaySteering {
  public:
    // Sets the delay and gives back the one now set, in ms. `exact`: found, tapped or from a
    // preset (only the bounds apply); otherwise the edit's rules (one decimal).
    using Apply = std::function<uint32_t(double seconds, bool exact)>;

    DelaySteering(uint32_t startMs, Apply apply);

    // Carries out one command at `nowNs` (a steady clock) and returns what to tell the user
    // in the language of the code (empty for a command that says nothing, a Bad one). The
    // delay is changed only through apply.
    std::string handle(const DelayCommand& command, int64_t nowNs, std::string_view languageCode);

    // The delay set, in ms, as apply last gave it back (or as set()).
    uint32_t delayMs() const { return delayMs_; }
    // A change made elsewhere (the edit typed and left): it is the delay now, and a tapped
    // change can no longer be taken back.
    void set(uint32_t ms);

    void setPresets(std::vector<DelayPreset> presets) { presets_ = std::move(presets); }
    const std::vector<DelayPreset>& presets() const { return presets_; }
    const DelayTaps& taps() const { return taps_; }

    // What the last command that said something said, again in the language of the code
    // (the phone's page may speak another than the terminal); "" before the first.
    std::string said(std::string_view languageCode) const;

  private:
    std::string say(Msg id, std::string_view code, std::array<std::string, 3> args = {});

    Apply apply_;
    uint32_t delayMs_;
    DelayTaps taps_;
    std::vector<DelayPreset> presets_;
    std::optional<Msg> saidId_;
    std::array<std::string, 3> saidArgs_;
};

// A change of the delay in seconds with its sign and three decimals ("+2.345", "-0.500").
std::string delayChangeText(int64_t ms);

}  // namespace una::app
