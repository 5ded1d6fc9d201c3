#pragma once
// A radio station on the internet, as the user named it: one more recording device.

#include <string>

namespace una::stream {

struct Station {
    std::string name;  // unique, non-empty, trimmed
    std::string url;   // http:// or https://

    bool operator==(const Station&) const = default;
};

}  // namespace una::stream
