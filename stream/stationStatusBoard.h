#pragma once
// The open station's status: written by its decoder thread, read by whoever shows it.
// Safe from any thread.

#include <mutex>

#include "stream/stationSoundCard.h"

namespace una::stream {

class StationStatusBoard {
  public:
    StationStatus read() const {
        std::lock_guard lock(m_);
        return status_;
    }
    // The message is the fault's text, with the detail in brackets when there is one.
    void setState(StationStatus::State state, StationFault fault, std::string_view detail = {}) {
        std::string message(stationFaultText(fault));
        if (!detail.empty())
            message += " (" + std::string(detail) + ")";
        std::lock_guard lock(m_);
        status_.state = state;
        status_.fault = fault;
        status_.message = std::move(message);
    }
    void setLag(double seconds) {
        std::lock_guard lock(m_);
        status_.lagSeconds = seconds;
    }
    void setTitle(std::string title) {
        std::lock_guard lock(m_);
        status_.title = std::move(title);
    }

  private:
    mutable std::mutex m_;
    StationStatus status_;
};

}  // namespace una::stream
