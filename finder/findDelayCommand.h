#pragma once
// The offline delay finder behind `--find-delay RADIO.wav TV.wav`: two recordings that started
// together in, one line out. Safe from any thread.

#include <iosfwd>
#include <string>
#include <string_view>

#include "finder/delayFinder.h"

namespace una::finder {

inline constexpr int kFindDelayFound = 0;
inline constexpr int kFindDelayUnreadable = 1;    // a file that cannot be read or is not audio
inline constexpr int kFindDelayNotConfident = 3;  // read, but no lag to trust

// Each file is read for at most this long from its start: enough for any lag the delay holds,
// and a whole match's recording would only cost memory.
inline constexpr double kFindDelayMaxSeconds = 300.0;

// Prints "lag 12.345 s, confidence 0.87" to out and gives kFindDelayFound; a one-line reason
// why no lag can be trusted (to out) and kFindDelayNotConfident; or a one-line error (to err)
// and kFindDelayUnreadable.
int runFindDelay(std::string_view radioPath, std::string_view tvPath, std::ostream& out,
                 std::ostream& err);

// The sentence that tells a user why an estimate is not to be trusted (English, lower case
// start, no full stop), for a command line or a log.
std::string describeProblem(const DelayEstimate& estimate, const SearchRange& range = {});

}  // namespace una::finder
