#pragma once
// The sentences the program shows beyond its designed captions (status-bar messages, message
// boxes, hints of controls added later), one table per language. "uk" selects English; every
// other code, the empty one included, Spanish, which is the program's own language.
// Pure data and functions: safe from any thread.

#include <initializer_list>
#include <string>
#include <string_view>

namespace una::app {

// One entry per sentence; add the Spanish and the English text of a new entry in the same
// change (texts.cpp keeps both tables in this order).
enum class Msg : int {
    RecorderFailed,     // %1: ": " + the device's text, or nothing
    FileNotCreated,     // %1: the file name
    NoFileName,
    HoldStreamMissing,
    PlaybackFailed,     // %1: ": " + the device's text, or nothing
    MixerFailed,        // %1: ": " + the device's text, or nothing
    OutFormatLocked,
    DelayDownHint,
    DelayUpHint,
    DelayHeard,         // %1: the delay heard, seconds with three decimals, or "-"
    Count
};

// True for the language code that selects English.
bool isEnglish(std::string_view languageCode);

// The sentence in the language of the code, with %1, %2, ... replaced by the arguments in
// order (a placeholder without an argument stays as it is). An id out of range gives "".
std::string msg(Msg id, std::string_view languageCode,
                std::initializer_list<std::string_view> args = {});

}  // namespace una::app
