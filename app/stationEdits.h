#pragma once
// The internet radio stations as the stations dialog edits them, with the rules a station
// must keep: a name of one line, unique whatever its case; an http:// or https:// address
// that no other station has (a device's key is made of it, so two would be one choice).
// Each station remembers the address it had when the edits began, so the window can follow
// its chosen station through a change of address. Not thread-safe: the dialog's thread.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "stream/station.h"

namespace una::app {

// The recording device key of a station ("station:" + its address).
std::string stationKey(std::string_view url);
bool isStationKey(std::string_view key);

class StationEdits {
  public:
    enum class Refusal { none, nameMissing, nameTaken, addressRefused, addressTaken };
    struct Result {
        Refusal refusal = Refusal::none;
        std::string detail;  // the name taken, the address refused, the station holding it
        explicit operator bool() const { return refusal == Refusal::none; }
    };

    explicit StationEdits(std::vector<stream::Station> stations);

    // Name and address are trimmed of blanks first. A refusal changes nothing.
    Result add(std::string_view name, std::string_view url);
    // Gives station `index` a new name and address; a refusal (or an index out of range,
    // nameMissing) changes nothing.
    Result change(size_t index, std::string_view name, std::string_view url);
    // False for an index out of range.
    bool remove(size_t index);

    const std::vector<stream::Station>& stations() const { return stations_; }

    // The key that the device chosen with `key` (when the edits began) has now: the same key
    // for a device that is no station, the station's new key after a change of its address,
    // empty when the station was removed.
    std::string keyAfter(std::string_view key) const;

  private:
    Result check(std::string& name, std::string& url, size_t skip) const;

    std::vector<stream::Station> stations_;
    std::vector<std::string> firstUrl_;  // per station; empty for one added since
};

}  // namespace una::app
