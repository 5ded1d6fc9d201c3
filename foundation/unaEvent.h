#pragma once
// An event object: set, reset and timed wait, safe from any thread. Its handle is what
// threads and the platform's audio and timer services signal.

#include <cstdint>
#include <string>

#include "foundation/unaObject.h"
#include "platform/event.h"

namespace una {

class unaEvent : public unaObject {
  public:
    // Every event of the library is unnamed and initially clear; all but a thread's stopped
    // event reset automatically, so one successful wait consumes one signal.
    explicit unaEvent(bool manualReset = false, bool initialState = false, std::wstring name = {})
        : handle_(std::make_shared<platform::Event>(manualReset, initialState)),
          name_(std::move(name)) {}

    void setState(bool signalled = true) {
        if (!handle_)
            return;
        if (signalled)
            handle_->set();
        else
            handle_->reset();
    }

    // True only when the wait ended because the event was signalled; false on time-out.
    bool waitFor(uint32_t timeoutMs) { return handle_ && handle_->wait(timeoutMs); }

    const platform::EventHandle& handle() const { return handle_; }
    const std::wstring& name() const { return name_; }

  private:
    platform::EventHandle handle_;
    std::wstring name_;
};

}  // namespace una
