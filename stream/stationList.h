#pragma once
// The user's stations in the settings file, section "[stations]": "count", then "name1" and
// "url1", "name2" and "url2" ... Any thread; the storage's gate serialises the file.

#include <span>
#include <string_view>
#include <vector>

#include "stream/station.h"

namespace una {
class unaIniAbstractStorage;
}

namespace una::stream {

// True for an http:// or https:// address with a host and nothing that could end a line, short
// enough to be kept.
bool isStationAddress(std::string_view url);

// The stations kept; entries without a usable address, or whose trimmed name is empty or
// already taken, are left out. The storage's current section is kept.
std::vector<Station> loadStations(unaIniAbstractStorage& ini);
// Replaces the kept stations by these (left out the way loadStations leaves them out); false
// when they could not all be written.
bool saveStations(unaIniAbstractStorage& ini, std::span<const Station> stations);

// The stations as they may be kept: names trimmed, the unusable ones left out, in order.
std::vector<Station> usableStations(std::span<const Station> stations);

}  // namespace una::stream
