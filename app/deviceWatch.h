#pragma once
// Watches the running delay's two devices for what the sound server does to them (the device
// or the whole server gone, a device suspended and woken, a stream on the default moved to a
// new default) and puts each change into a sentence for the user, once. The headless loop and
// the window ask it on their own timers. Owner thread only; not copyable.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/soundCard.h"

namespace una::app {

class DeviceWatch {
  public:
    // One side of the delay as it stands now.
    struct Side {
        bool open = false;
        bool lost = false;
        platform::DeviceState state;
        std::string name;  // as the user chose it
    };
    // The description of a device by the server's name for it; the name itself when unknown.
    using Describe = std::function<std::string(platform::WaveDirection, const std::string& key)>;

    // Without `describe` the process-wide card's device lists give the descriptions.
    explicit DeviceWatch(Describe describe = {});
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // What changed since the last call, in the language; none when nothing did. `stop` is
    // set when a side is lost: the delay cannot go on.
    std::vector<std::string> poll(const Side& in, const Side& out, std::string_view language,
                                  bool& stop);

  private:
    struct Seen {
        bool suspended = false;
        uint32_t moves = 0;
        bool lost = false;
    };
    void sideNews(const Side& side, Seen& seen, platform::WaveDirection direction,
                  std::string_view language, std::vector<std::string>& said);

    Describe describe_;
    Seen in_, out_;
};

}  // namespace una::app
