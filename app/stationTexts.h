#pragma once
// What an open station is doing and why it fails, in the user's language: the window's
// recording format place and the headless status lines say the same. Any thread.

#include <string>
#include <string_view>

#include "stream/stationSoundCard.h"

namespace una::app {

// What the recording format's place says while a station records: connecting, its title
// (or that it is connected), reconnecting or failed with why.
std::string stationStatusText(const stream::StationStatus& status, std::string_view code);
// Why the station fails, in the language of the code, with the network library's own words
// after it when the stream gave them; "" when it tells of no fault.
std::string stationFaultSaid(const stream::StationStatus& status, std::string_view code);
// That a delay this short runs dry now and then, as the station's audio lags its live edge,
// and the least delay that does not; "" when the delay holds the lag.
std::string stationLagWarning(const stream::StationStatus& status, double delaySeconds,
                              std::string_view code);

}  // namespace una::app
