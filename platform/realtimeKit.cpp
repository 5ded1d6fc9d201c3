#include "platform/realtimeKit.h"

#include <sys/resource.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <memory>

namespace platform {

namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kPath = "/org/freedesktop/RealtimeKit1";
// A broker that does not answer must not hold an audio thread's start up for long.
constexpr uint64_t kCallTimeoutUs = 1'000'000;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

// The error's text and releases it; false for convenience.
bool fail(sd_bus_error& e, int r, std::string* error) {
    if (error)
        *error = e.message ? e.message : (e.name ? e.name : "error " + std::to_string(-r));
    sd_bus_error_free(&e);
    return false;
}

Bus openSystemBus(std::string* error) {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_system(&bus);
    if (r < 0) {
        if (error)
            *error = "no system bus (error " + std::to_string(-r) + ")";
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
    return Bus(bus);
}

template <class T>
bool property(sd_bus* bus, const char* name, char type, T* value, std::string* error) {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    const int r = sd_bus_get_property_trivial(bus, kService, kPath, kService, name, &e, type, value);
    if (r < 0)
        return fail(e, r, error);
    sd_bus_error_free(&e);
    return true;
}

}  // namespace

bool realtimeKitMakeRealtime(uint32_t threadId, int32_t priority, int32_t* granted,
                             std::string* error) {
    Bus bus = openSystemBus(error);
    if (!bus)
        return false;
    int32_t maxPriority = 0;
    int64_t maxRtTimeUs = 0;
    if (!property(bus.get(), "MaxRealtimePriority", 'i', &maxPriority, error) ||
        !property(bus.get(), "RTTimeUSecMax", 'x', &maxRtTimeUs, error))
        return false;
    // The broker grants only to a process that a runaway real-time thread cannot freeze.
    rlimit limit{};
    if (maxRtTimeUs > 0 && getrlimit(RLIMIT_RTTIME, &limit) == 0 &&
        (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > static_cast<rlim_t>(maxRtTimeUs))) {
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(maxRtTimeUs);
        setrlimit(RLIMIT_RTTIME, &limit);
    }
    const int32_t wanted = std::clamp(priority, 1, std::max(1, maxPriority));
    sd_bus_error e = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus.get(), kService, kPath, kService, "MakeThreadRealtime", &e,
                                     nullptr, "tu", static_cast<uint64_t>(threadId),
                                     static_cast<uint32_t>(wanted));
    if (r < 0)
        return fail(e, r, error);
    sd_bus_error_free(&e);
    if (granted)
        *granted = wanted;
    return true;
}

bool realtimeKitMakeHighPriority(uint32_t threadId, int32_t nice, int32_t* granted,
                                 std::string* error) {
    Bus bus = openSystemBus(error);
    if (!bus)
        return false;
    int32_t minNice = 0;
    if (!property(bus.get(), "MinNiceLevel", 'i', &minNice, error))
        return false;
    const int32_t wanted = std::max(nice, minNice);
    sd_bus_error e = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus.get(), kService, kPath, kService, "MakeThreadHighPriority",
                                     &e, nullptr, "ti", static_cast<uint64_t>(threadId), wanted);
    if (r < 0)
        return fail(e, r, error);
    sd_bus_error_free(&e);
    if (granted)
        *granted = wanted;
    return true;
}

}  // namespace platform
