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
    void setState(StationStatus::State state, std::string message) {
        std::lock_guard lock(m_);
        status_.state = state;
        status_.message = std::move(message);
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
