// ctest-labels: threaded
// Real-time for an ordinary user: when the system refuses, RealtimeKit is asked. The broker
// here is a stand-in on a private message bus; the asking thread gives up its right to raise
// priorities itself, as an ordinary user's thread has none.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/threadIdentity.h"
#include "platform/threadPriority.h"
#include "support/soundPeer.h"

namespace {

namespace snd = una::sound;
using platform::AudioScheduling;

// The broker's side: answers on its own thread until destroyed.
class StandInBroker {
  public:
    explicit StandInBroker(const std::string& address) {
        // The daemon's socket exists a moment before it accepts: try again for a while.
        for (int attempt = 0; attempt < 100 && !ready_; ++attempt) {
            if (attempt > 0) {
                bus_ = sd_bus_flush_close_unref(bus_);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ready_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
                     sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
                     sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/RealtimeKit1",
                                              "org.freedesktop.RealtimeKit1", kTable, this) >= 0 &&
                     sd_bus_request_name(bus_, "org.freedesktop.RealtimeKit1", 0) >= 0;
        }
        if (ready_)
            thread_ = std::thread([this] {
                while (!stop_) {
                    if (sd_bus_process(bus_, nullptr) > 0)
                        continue;
                    sd_bus_wait(bus_, 20'000);
                }
            });
    }
    ~StandInBroker() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        sd_bus_flush_close_unref(bus_);
    }
    bool ready() const { return ready_; }

    std::atomic<bool> refuse{false};
    std::mutex m;
    std::vector<std::pair<uint64_t, int32_t>> realtimeAsked, niceAsked;

  private:
    static int makeRealtime(sd_bus_message* msg, void* user, sd_bus_error* error) {
        auto* self = static_cast<StandInBroker*>(user);
        uint64_t tid = 0;
        uint32_t priority = 0;
        sd_bus_message_read(msg, "tu", &tid, &priority);
        {
            std::lock_guard lock(self->m);
            self->realtimeAsked.push_back({tid, static_cast<int32_t>(priority)});
        }
        if (self->refuse)
            return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "refused");
        sched_param p{};
        p.sched_priority = static_cast<int>(priority);
        sched_setscheduler(static_cast<pid_t>(tid), SCHED_RR | SCHED_RESET_ON_FORK, &p);
        return sd_bus_reply_method_return(msg, nullptr);
    }
    static int makeHighPriority(sd_bus_message* msg, void* user, sd_bus_error*) {
        auto* self = static_cast<StandInBroker*>(user);
        uint64_t tid = 0;
        int32_t nice = 0;
        sd_bus_message_read(msg, "ti", &tid, &nice);
        std::lock_guard lock(self->m);
        self->niceAsked.push_back({tid, nice});
        return sd_bus_reply_method_return(msg, nullptr);
    }
    // The broker's limits: priority 2 at most, nice -15 at strongest, 200 ms of CPU.
    static int maxPriority(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                           void*, sd_bus_error*) {
        return sd_bus_message_append(reply, "i", int32_t{2});
    }
    static int minNice(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                       void*, sd_bus_error*) {
        return sd_bus_message_append(reply, "i", int32_t{-15});
    }
    static int rtTimeMax(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                         void*, sd_bus_error*) {
        return sd_bus_message_append(reply, "x", int64_t{200000});
    }
    static constexpr sd_bus_vtable kTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("MaxRealtimePriority", "i", maxPriority, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("MinNiceLevel", "i", minNice, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("RTTimeUSecMax", "x", rtTimeMax, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_METHOD("MakeThreadRealtime", "tu", "", makeRealtime, 0),
        SD_BUS_METHOD("MakeThreadHighPriority", "ti", "", makeHighPriority, 0),
        SD_BUS_VTABLE_END};

    sd_bus* bus_ = nullptr;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A private message bus for the test program's scope.
class PrivateBus {
  public:
    PrivateBus() : dir_(snd::tempPath("bus")) {
        std::filesystem::create_directories(dir_);
        address_ = "unix:path=" + dir_ + "/socket";
        daemon_ = std::make_unique<snd::PeerProcess>(
            "exec dbus-daemon --session --nofork --nopidfile --address=" + address_ +
            " 2>/dev/null");
        for (int i = 0; i < 200 && !std::filesystem::exists(dir_ + "/socket"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~PrivateBus() {
        daemon_.reset();
        std::filesystem::remove_all(dir_);
    }
    const std::string& address() const { return address_; }
    bool up() const { return std::filesystem::exists(dir_ + "/socket"); }

  private:
    std::string dir_, address_;
    std::unique_ptr<snd::PeerProcess> daemon_;
};

// Runs fn on a thread that may not raise scheduling itself, like an ordinary user's.
template <class Fn>
void asOrdinaryThread(Fn fn) {
    std::thread t([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        syscall(SYS_capget, &header, data);
        data[0].effective &= ~(1u << CAP_SYS_NICE);
        syscall(SYS_capset, &header, data);
        fn();
    });
    t.join();
}

int policyOf(uint32_t tid) {
    return sched_getscheduler(static_cast<pid_t>(tid)) & ~SCHED_RESET_ON_FORK;
}

TEST(ThreadPriority, TimeCriticalFallsBackToRealtimeKitAndSaysWhatTheThreadGot) {
    PrivateBus bus;
    if (!bus.up())
        GTEST_SKIP() << "dbus-daemon is not installed";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    StandInBroker broker(bus.address());
    ASSERT_TRUE(broker.ready());

    // Granted by the broker, at its maximum priority, and the process's CPU-time limit for
    // real-time threads lowered to the broker's as it demands.
    asOrdinaryThread([&] {
        const uint32_t self = platform::currentThreadId();
        EXPECT_TRUE(platform::applyThreadPriority(self, 15));
        const AudioScheduling got = platform::audioScheduling();
        EXPECT_EQ(got.kind, AudioScheduling::Kind::RealTimeKit);
        EXPECT_EQ(got.value, 2);
        EXPECT_EQ(platform::audioSchedulingText(got),
                  "real-time through RealtimeKit (round-robin, priority 2)");
        std::lock_guard lock(broker.m);
        ASSERT_EQ(broker.realtimeAsked.size(), 1u);
        EXPECT_EQ(broker.realtimeAsked[0].first, self);
        EXPECT_EQ(broker.realtimeAsked[0].second, 2);
        if (geteuid() == 0) {
            EXPECT_EQ(policyOf(self), SCHED_RR);
        }
        rlimit limit{};
        getrlimit(RLIMIT_RTTIME, &limit);
        EXPECT_LE(limit.rlim_max, 200000u);
    });

    // Refused real-time: the strongest nice value the broker allows.
    broker.refuse = true;
    asOrdinaryThread([&] {
        const uint32_t self = platform::currentThreadId();
        EXPECT_TRUE(platform::applyThreadPriority(self, 15));
        const AudioScheduling got = platform::audioScheduling();
        EXPECT_EQ(got.kind, AudioScheduling::Kind::Nice);
        EXPECT_EQ(got.value, -15);
        EXPECT_NE(got.refusal.find("refused"), std::string::npos) << got.refusal;
        std::lock_guard lock(broker.m);
        ASSERT_EQ(broker.niceAsked.size(), 1u);
        EXPECT_EQ(broker.niceAsked[0].first, self);
    });

    // No broker at all: the thread stays where it was, and the report says so.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    asOrdinaryThread([&] {
        EXPECT_FALSE(platform::applyThreadPriority(platform::currentThreadId(), 15));
        const AudioScheduling got = platform::audioScheduling();
        EXPECT_EQ(got.kind, AudioScheduling::Kind::Normal);
        EXPECT_NE(platform::audioSchedulingText(got).find("real-time refused by the system"),
                  std::string::npos);
    });
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
