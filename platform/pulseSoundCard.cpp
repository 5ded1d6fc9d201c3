#include "platform/pulseSoundCard.h"

#include <pulse/pulseaudio.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "platform/alsaSoundCard.h"
#include "platform/cyclePosition.h"
#include "platform/deviceSleep.h"
#include "platform/monitorPosition.h"
#include "platform/threadIdentity.h"
#include "platform/threadPriority.h"
#include "platform/waveBufferQueue.h"

namespace platform {

namespace {

// The server hands recorded audio over in pieces of this length; only these add latency to
// recording, and timing() counts the audio waiting in them. (40 ms, one device chunk, saved
// nothing on a monitor, which hands over every block the sink renders, and put the recording
// clock 2 ms off.)
constexpr uint32_t kRecordFragmentMs = 20;
// Recorded audio no buffer has taken yet is kept up to this much (libpulse's own queue holds
// about 4 MiB, 23 s of CD audio), so a stalled worker loses its oldest audio, counted, rather
// than the newest, silently.
constexpr uint32_t kRecordBacklogMs = 10000;
// Playback keeps this much in the server, asked for in steps of kPlaybackRequestMs. The server
// sets the sink's own latency from both; a larger step leaves the sink almost none (80/40: the
// null sink woke 2,000 times a second).
constexpr uint32_t kPlaybackTargetMs = 80;
constexpr uint32_t kPlaybackRequestMs = 20;
// The sizes above are for the devices' shortest chunks, 40 ms; longer chunks (a long delay
// leaves room for them) scale them by as many times, up to this: fewer wake-ups for the server
// and this program, more latency in the paths, which the delay line makes up for. With longer
// chunks playback is asked for a whole chunk at a time (one request per chunk, not two), and
// the target grows by twice the longer step, so the sink keeps the latency it had.
constexpr uint32_t kBaseChunkMs = 40;
constexpr uint32_t kMaxBufferScale = 5;
constexpr int32_t kTimeCriticalPriority = 15;
// On a server whose positions move once a cycle, the next timing answer is asked for at a
// random moment within this span of the last one (about 50 answers a second), as long as
// timing was asked for within kAskWantedNs.
constexpr double kAskSpanUs = 40000;
constexpr int64_t kAskWantedNs = 1'000'000'000;
constexpr int64_t kStaleAnswerNs = 1'000'000'000;
// A woken monitor's answers lag its line by up to 5 ms; past this it lost audio. The lag comes
// and goes every 3 to 3.5 s: its line goes through the answers of two such spells.
constexpr int64_t kWokenMonitorLagNs = 10'000'000;
constexpr int64_t kWokenMonitorWindowNs = 8'000'000'000;

uint32_t msToBytes(uint32_t ms, const pa_sample_spec& sampleSpec) {
    return static_cast<uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(ms) * 1000, &sampleSpec));
}

int64_t nowNs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

bool sampleSpecOf(const WaveFormatEx& f, pa_sample_spec& sampleSpec) {
    sampleSpec.channels = static_cast<uint8_t>(std::min<uint16_t>(f.channels, 255));
    sampleSpec.rate = f.samplesPerSec;
    if (f.formatTag == kWaveFormatPcm) {
        switch (f.bitsPerSample) {
            case 8:
                sampleSpec.format = PA_SAMPLE_U8;
                break;
            case 16:
                sampleSpec.format = PA_SAMPLE_S16LE;
                break;
            case 24:
                sampleSpec.format = PA_SAMPLE_S24LE;
                break;
            case 32:
                sampleSpec.format = PA_SAMPLE_S32LE;
                break;
            default:
                return false;
        }
    } else if (f.formatTag == 3 && f.bitsPerSample == 32) {  // IEEE float
        sampleSpec.format = PA_SAMPLE_FLOAT32LE;
    } else {
        return false;
    }
    return f.channels <= PA_CHANNELS_MAX && pa_sample_spec_valid(&sampleSpec) &&
           f.blockAlign == f.channels * (f.bitsPerSample / 8);
}

MmResult fromPulse(int error) {
    switch (error) {
        case PA_ERR_NOENTITY:
            return kMmBadDeviceId;
        case PA_ERR_NOTSUPPORTED:
        case PA_ERR_INVALID:
            return kWaveErrBadFormat;
        case PA_ERR_CONNECTIONREFUSED:
        case PA_ERR_CONNECTIONTERMINATED:
            return kMmNoDriver;
        default:
            return kPulseResultBase + static_cast<MmResult>(error);
    }
}

// A request whose answer is no longer wanted: its callback will not run.
void cancelOperation(pa_operation* op) {
    if (!op)
        return;
    pa_operation_cancel(op);
    pa_operation_unref(op);
}

class PulseWaveStream;
// Defined with the stream: the connection's callbacks come first.
void tellDeviceChange(PulseWaveStream& stream, uint32_t facility, uint32_t index);

}  // namespace

// The libpulse thread and the connection to the server. lock() guards everything libpulse
// holds and every stream's state; the libpulse thread holds it while it runs callbacks.
struct PulseSoundCard::Connection {
    explicit Connection(uint32_t timeoutMs) : timeoutMs(timeoutMs) {
        loop = pa_threaded_mainloop_new();
        if (!loop)
            return;
        pa_threaded_mainloop_set_name(loop, "una-pulse");
        if (pa_threaded_mainloop_start(loop) < 0) {
            pa_threaded_mainloop_free(loop);
            loop = nullptr;
            return;
        }
        // The thread moves the audio between the server and the buffers. Waited for, so a
        // card dropped at once does not free the loop with the request still pending.
        struct Once {
            bool ran = false;
        } once;
        pa_threaded_mainloop_lock(loop);
        pa_threaded_mainloop_once_unlocked(
            loop,
            [](pa_threaded_mainloop* l, void* user) {
                applyThreadPriority(currentThreadId(), kTimeCriticalPriority);
                pa_threaded_mainloop_lock(l);
                static_cast<Once*>(user)->ran = true;
                pa_threaded_mainloop_signal(l, 0);
                pa_threaded_mainloop_unlock(l);
            },
            &once);
        while (!once.ran)
            pa_threaded_mainloop_wait(loop);
        pa_threaded_mainloop_unlock(loop);
    }
    ~Connection() {
        if (!loop)
            return;
        pa_threaded_mainloop_lock(loop);
        dropContext();
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    class Lock {
      public:
        explicit Lock(Connection& c) : loop_(c.loop) { pa_threaded_mainloop_lock(loop_); }
        ~Lock() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* loop_;
    };

    void signal() { pa_threaded_mainloop_signal(loop, 0); }

    // Lock held, not on the libpulse thread. True when done() holds within timeoutMs; every
    // callback that changes what done() reads signals.
    bool waitUntil(const std::function<bool()>& done, uint32_t ms) {
        if (done())
            return true;
        if (!context || pa_threaded_mainloop_in_thread(loop))
            return false;
        struct Alarm {
            Connection* self;
            bool rang = false;
        } alarm{this};
        pa_time_event* timer = pa_context_rttime_new(
            context, pa_rtclock_now() + static_cast<pa_usec_t>(ms) * 1000,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
                auto* a = static_cast<Alarm*>(user);
                a->rang = true;
                a->self->signal();
            },
            &alarm);
        while (!done() && !alarm.rang)
            pa_threaded_mainloop_wait(loop);
        if (timer)
            pa_threaded_mainloop_get_api(loop)->time_free(timer);
        return done();
    }

    // Waits for the operation to finish (or the time-out) and releases it; lock held.
    bool finish(pa_operation* op) {
        if (!op)
            return false;
        // Callbacks cannot wait for the server: the thread that would bring the answer is theirs.
        if (pa_threaded_mainloop_in_thread(loop)) {
            pa_operation_unref(op);
            return true;
        }
        const bool done = waitUntil(
            [op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, timeoutMs);
        const bool ok = done && pa_operation_get_state(op) == PA_OPERATION_DONE;
        if (!done)
            pa_operation_cancel(op);
        pa_operation_unref(op);
        return ok;
    }

    void dropContext() {
        if (!context)
            return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    // Lock held. A context that failed (the server went away) is replaced by a new one.
    bool ensureContext() {
        if (!loop)
            return false;
        if (context && pa_context_get_state(context) == PA_CONTEXT_READY)
            return true;
        // A start lists and opens several times: a server that let the last attempt run out
        // is not waited for again at once, or each would be another silent wait.
        if (slow && nowNs(CLOCK_MONOTONIC) - slowAtNs < kSlowRetryNs)
            return false;
        dropContext();
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "RuzizavuVodideza");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "ruzizavuvodideza");
        context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop),
                                               "RuzizavuVodideza", props);
        pa_proplist_free(props);
        if (!context)
            return false;
        pa_context_set_state_callback(
            context, [](pa_context*, void* user) { static_cast<Connection*>(user)->signal(); },
            this);
        slow = false;
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            dropContext();
            return false;
        }
        pa_context* c = context;
        waitUntil([c] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(c)) ||
                               pa_context_get_state(c) == PA_CONTEXT_READY; },
                  timeoutMs);
        const pa_context_state_t state = pa_context_get_state(context);
        if (state != PA_CONTEXT_READY) {
            slow = PA_CONTEXT_IS_GOOD(state);
            slowAtNs = nowNs(CLOCK_MONOTONIC);
            dropContext();
            return false;
        }
        slow = false;
        cycleStamps = false;
        finish(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* i, void* user) {
                auto* self = static_cast<Connection*>(user);
                // "PulseAudio (on PipeWire 0.3.65)": positions of the last graph cycle,
                // stamped when answered.
                if (i && i->server_name && std::strstr(i->server_name, "PipeWire")) {
                    self->cycleStamps = true;
                    self->graphRate = i->sample_spec.rate;
                }
                self->signal();
            },
            this));
        // PipeWire's pulse service never tells a stream that its device slept: it only says
        // the device changed, and the device's own state shows the sleep for a few ms.
        if (cycleStamps) {
            pa_context_set_subscribe_callback(
                context,
                [](pa_context*, pa_subscription_event_type_t t, uint32_t index, void* user) {
                    if ((t & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE)
                        return;
                    for (PulseWaveStream* stream : static_cast<Connection*>(user)->watchers)
                        tellDeviceChange(*stream, t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK, index);
                },
                this);
            finish(pa_context_subscribe(
                context,
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SOURCE),
                [](pa_context*, int, void* user) { static_cast<Connection*>(user)->signal(); },
                this));
        }
        return true;
    }

    struct Device {
        std::string name;
        std::string description;
        uint32_t channels = 2;
        bool monitor = false;
    };
    struct Snapshot {
        std::vector<Device> sinks, sources;
        std::string defaultSink, defaultSource;
        std::string serverName;
    };

    // The server's devices now; false (and an empty snapshot) when it cannot be reached.
    bool snapshot(Snapshot& out) {
        Lock lock(*this);
        out = {};
        if (!ensureContext())
            return false;
        struct Reading {
            Connection* self;
            Snapshot* snap;
        } reading{this, &out};
        pa_operation* server = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* i, void* user) {
                auto* r = static_cast<Reading*>(user);
                if (i) {
                    r->snap->defaultSink = i->default_sink_name ? i->default_sink_name : "";
                    r->snap->defaultSource = i->default_source_name ? i->default_source_name : "";
                    r->snap->serverName = i->server_name ? i->server_name : "";
                }
                r->self->signal();
            },
            &reading);
        pa_operation* sinks = pa_context_get_sink_info_list(
            context,
            [](pa_context*, const pa_sink_info* i, int, void* user) {
                auto* r = static_cast<Reading*>(user);
                if (i && i->name)
                    r->snap->sinks.push_back({i->name, i->description ? i->description : i->name,
                                              i->sample_spec.channels, false});
                r->self->signal();
            },
            &reading);
        pa_operation* sources = pa_context_get_source_info_list(
            context,
            [](pa_context*, const pa_source_info* i, int, void* user) {
                auto* r = static_cast<Reading*>(user);
                if (i && i->name)
                    r->snap->sources.push_back({i->name,
                                                i->description ? i->description : i->name,
                                                i->sample_spec.channels,
                                                i->monitor_of_sink != PA_INVALID_INDEX});
                r->self->signal();
            },
            &reading);
        // `reading` lives on this stack: a request still open when it returns would be
        // answered into a dead frame once a stalled server wakes up. The first to time out
        // cancels the rest.
        bool ok = true;
        for (pa_operation* op : {server, sinks, sources}) {
            if (ok)
                ok = finish(op);
            else
                cancelOperation(op);
        }
        if (!ok) {
            out = {};
            return false;
        }
        // The real inputs first: a monitor is the less likely choice for a radio.
        std::stable_partition(out.sources.begin(), out.sources.end(),
                              [](const Device& d) { return !d.monitor; });
        return true;
    }

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    const uint32_t timeoutMs;
    // The last connection attempt reached a server that had not answered when it gave up.
    bool slow = false;
    int64_t slowAtNs = 0;  // when it gave up
    static constexpr int64_t kSlowRetryNs = 3'000'000'000;
    // The server stamps its timing answers when it sends them, not when their positions were
    // taken (PipeWire's pulse service); lock held.
    bool cycleStamps = false;
    // Streams told of a change on a device (its facility and index), on PipeWire only.
    std::vector<PulseWaveStream*> watchers;
    uint32_t graphRate = 48000;  // the server's own rate, its cycles' clock

    // PipeWire's cycle, in a stream's frames, until its answers show it: the server's rate
    // runs cycles a power of two long, the longest within the shortest request of its streams.
    double likelyCycleFrames(uint32_t requestMs, double streamRate) const {
        uint32_t cycle = 16;
        while (cycle * 2 <= static_cast<uint64_t>(requestMs) * graphRate / 1000 && cycle < 8192)
            cycle *= 2;
        return cycle * streamRate / std::max<uint32_t>(1, graphRate);
    }
};

namespace {

using Connection = PulseSoundCard::Connection;

// One open stream. Everything below is guarded by the connection's lock, which libpulse's
// thread holds while it runs the callbacks; the buffers' flags are atomics the owner reads.
// The pa_stream may be dropped by reset and is made anew when it is needed again, so the
// position starts over.
class PulseWaveStream final : public WaveStream {
  public:
    PulseWaveStream(std::shared_ptr<Connection> connection, WaveDirection dir, std::string device,
                    const pa_sample_spec& sampleSpec, uint32_t blockAlign, EventHandle event,
                    uint32_t flags)
        : conn_(std::move(connection)),
          dir_(dir),
          device_(std::move(device)),
          sampleSpec_(sampleSpec),
          blockAlign_(blockAlign),
          event_(event),
          flags_(flags),
          buffers_(dir, blockAlign, std::move(event)),
          running_(dir == WaveDirection::output) {}
    ~PulseWaveStream() override { close(); }

    // Makes the server's stream; the result of open.
    MmResult begin() {
        Connection::Lock lock(*conn_);
        conn_->watchers.push_back(this);
        return makeStream();
    }

    WaveDirection direction() const override { return dir_; }

    MmResult prepare(WaveBuffer& b) override {
        if (!b.data && b.bufferLength > 0)
            return kMmInvalidParam;
        Connection::Lock lock(*conn_);
        return closed_ ? kMmInvalidHandle : WaveBufferQueue::prepare(b);
    }

    MmResult unprepare(WaveBuffer& b) override {
        Connection::Lock lock(*conn_);
        return WaveBufferQueue::unprepare(b);
    }

    MmResult addBuffer(WaveBuffer& b) override {
        return dir_ == WaveDirection::input ? enqueue(b) : kMmNotSupported;
    }
    MmResult write(WaveBuffer& b) override {
        return dir_ == WaveDirection::output ? enqueue(b) : kMmNotSupported;
    }

    MmResult start() override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (lost_)
            return kMmNoDriver;
        if (running_ && stream_)
            return kMmNoError;
        running_ = true;
        monitor_.reset();
        woken_.reset();
        wokenRate_ = 0;
        if (!stream_) {
            const MmResult made = makeStream();
            if (made != kMmNoError)
                return made;
        } else {
            cork(false);
        }
        if (dir_ == WaveDirection::output)
            fillOutput();
        else
            readAvailable();
        return kMmNoError;
    }

    MmResult stop() override {
        if (dir_ == WaveDirection::output)
            return pause();
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (running_ && stream_ && !lost_) {
            cork(true);
            // What the server captured before the stop belongs in the current buffer.
            readAvailable();
        }
        running_ = false;
        if (buffers_.frontOffset() > 0)
            buffers_.completeFront();
        return kMmNoError;
    }

    MmResult pause() override {
        if (dir_ == WaveDirection::input)
            return kMmNotSupported;
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (running_ && stream_ && !lost_)
            cork(true);
        running_ = false;
        return kMmNoError;
    }

    MmResult reset() override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        dropStream();
        if (dir_ == WaveDirection::input)
            running_ = false;
        buffers_.returnAll();
        bytesMoved_ = 0;
        position_.store(0, std::memory_order_relaxed);
        return kMmNoError;
    }

    MmResult close() override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        closed_ = true;
        std::erase(conn_->watchers, this);
        for (pa_operation* op : stateQueries_)
            cancelOperation(op);
        stateQueries_.clear();
        dropStream();
        buffers_.returnAll();
        return kMmNoError;
    }

    MmResult position(uint64_t& samples) override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (dir_ == WaveDirection::output)
            position_.store(std::max(position_.load(), heardFrames()), std::memory_order_relaxed);
        samples = position_.load(std::memory_order_relaxed);
        return kMmNoError;
    }

    uint32_t xrunCount() const override { return xruns_.load(std::memory_order_relaxed); }
    bool isLost() const override { return lost_.load(std::memory_order_acquire); }

    DeviceState deviceState() override {
        Connection::Lock lock(*conn_);
        DeviceState state = state_;
        sleep_.show(state);
        state.moves = moves_.load(std::memory_order_relaxed);
        return state;
    }

    uint32_t moveCount() const override { return moves_.load(std::memory_order_relaxed); }

    MmResult timing(StreamTiming& out) override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (lost_)
            return kMmNoDriver;
        renewAfterWake();
        if (!stream_) {
            out = {nowNs(CLOCK_MONOTONIC), 0};
            return kMmNoError;
        }
        if (asleep_) {
            const int64_t now = nowNs(CLOCK_MONOTONIC);
            out = {now, static_cast<uint64_t>(std::max(0.0, lineFrame(now)))};
            return kMmNoError;
        }
        // A reading costs a round trip to the server, and callers ask once per chunk: the
        // answer to the request made since the last call serves now and the next one is asked for
        // without waiting, so the caller does not sleep for it. A reading carries the server's
        // own stamp, so its age does not spoil it; one already returned is waited past. The
        // answer is copied as it arrives: libpulse moves a stream's figures on afterwards, and
        // figures read a chunk later put a recording card's rate 5 % low.
        dropFinishedRequest();
        if (!answered_ || stampOf(answer_) == lastStamp_) {
            pa_operation* op = timingRequest_;
            timingRequest_ = nullptr;
            if (!op)
                op = pa_stream_update_timing_info(stream_, &PulseWaveStream::onTimingAnswer, this);
            if (!conn_->finish(op) || !answered_)
                return kMmNotSupported;
        }
        askWantedUntilNs_ = nowNs(CLOCK_MONOTONIC) + kAskWantedNs;
        if (!timingRequest_ && !askTimer_) {
            if (conn_->cycleStamps)
                askAtRandom(0);
            else
                askWithNextEvent_ = true;
        }
        lastStamp_ = stampOf(answer_);
        out = answerReading_;
        return kMmNoError;
    }

    MmResult setChunkTime(uint32_t ms) override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        const uint32_t scale = std::clamp<uint32_t>(ms / kBaseChunkMs, 1, kMaxBufferScale);
        if (scale == scale_)
            return kMmNoError;
        scale_ = scale;
        if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY)
            return kMmNoError;
        // Before any audio a new stream is cleaner: a changed one moves its latency figures
        // while the delay line takes its first readings.
        if (bytesMoved_ == 0 && buffers_.idle()) {
            dropStream();
            return makeStream();
        }
        const pa_buffer_attr attr = bufferAttr();
        return conn_->finish(pa_stream_set_buffer_attr(stream_, &attr,
                                                       &PulseWaveStream::onSuccess, conn_.get()))
                   ? kMmNoError
                   : kMmError;
    }

    MmResult setRate(uint32_t samplesPerSec) override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (!(flags_ & kWaveVariableRate) || samplesPerSec == 0 || samplesPerSec > PA_RATE_MAX)
            return kMmNotSupported;
        if (lost_)
            return kMmNoDriver;
        sampleSpec_.rate = samplesPerSec;
        cycle_.reset();
        monitor_.reset();
        woken_.reset();
        wokenRate_ = 0;
        if (!stream_)
            return kMmNoError;
        return conn_->finish(pa_stream_update_sample_rate(stream_, samplesPerSec,
                                                          &PulseWaveStream::onSuccess,
                                                          conn_.get()))
                   ? kMmNoError
                   : kMmError;
    }

  private:
    friend void tellDeviceChange(PulseWaveStream&, uint32_t, uint32_t);

    static void onSuccess(pa_stream*, int, void* user) {
        static_cast<Connection*>(user)->signal();
    }

    static void onTimingAnswer(pa_stream* s, int success, void* user) {
        auto* self = static_cast<PulseWaveStream*>(user);
        const pa_timing_info* t = success && s == self->stream_ ? pa_stream_get_timing_info(s)
                                                                : nullptr;
        if (t && self->rewinding_ && !t->write_index_corrupt && !t->read_index_corrupt)
            self->placeAfterWake(*t);
        if (t) {
            self->answeredAtNs_ = nowNs(CLOCK_MONOTONIC);
            self->answer_ = *t;
            self->answered_ = true;
            self->answerReading_ = self->readingOf(*t);
            self->notePace(t->playing != 0);
            if (self->gapPending_)
                self->measureRecordingGap();
            // The highest line is as good as the answer asked nearest after a cycle began:
            // with one answer a chunk (200 ms from a delay of 4 s, where the graph's cycle
            // grows to 43 ms) the line sat up to a cycle low at the start and a few ms off
            // later, so on such a server answers keep coming while someone asks for timing.
            if (self->conn_->cycleStamps && !self->askTimer_ &&
                nowNs(CLOCK_MONOTONIC) < self->askWantedUntilNs_)
                self->askAtRandom(kAskSpanUs);
        } else if (self->gapPending_) {
            // No answer to go by: the time between the two events.
            self->gapPending_ = false;
            self->addRecordingGap(static_cast<double>(self->asleepForNs_) *
                                  self->sampleSpec_.rate / 1e9);
        }
        self->conn_->signal();
    }

    // Where the converter was by an answer of the server; lock held.
    StreamTiming readingOf(const pa_timing_info& t) {
        StreamTiming out;
        // The server's figures belong to its wall-clock stamp, moments ago: carry it over.
        out.monotonicNs = monotonicOf(t);
        const int64_t frameBytes = blockAlign_;
        int64_t frames;
        if (dir_ == WaveDirection::output) {
            // Taken by the sink, less what the sink still holds before the converter.
            frames = std::max<int64_t>(0, t.read_index + offsetBytes_) / frameBytes;
            if (t.playing)
                frames -= usecToFrames(t.sink_usec);
        } else {
            // Handed to us by the server, plus what the source still holds; a monitor's audio
            // reaches it ahead of the sink's converter by the sink's latency.
            frames = std::max<int64_t>(0, t.write_index) / frameBytes +
                     static_cast<int64_t>(gapFrames_);
            if (running_)
                frames += usecToFrames(t.source_usec) - usecToFrames(t.sink_usec);
        }
        const bool moving = dir_ == WaveDirection::output ? t.playing != 0 : running_;
        if (conn_->cycleStamps && moving && frames > 0) {
            const double rate = sampleSpec_.rate;
            double at = cycle_.add(out.monotonicNs, frames, rate);
            // Such a server's playback position is the audio taken for the next cycle: it
            // reaches the sink one cycle later.
            const double cycle = cycle_.cycleFrames(-1);
            if (dir_ == WaveDirection::output)
                at -= cycle > 0 ? cycle : conn_->likelyCycleFrames(kPlaybackRequestMs, rate);
            frames = static_cast<int64_t>(std::lround(at));
            // Until the cycle shows, answers come as fast as it does.
            if (cycle <= 0 && !askTimer_)
                askAtRandom(2000);
        } else {
            cycle_.reset();
            // Only a monitor's answers carry a sink's latency; PulseAudio hands its audio over
            // late at times without counting it.
            if (dir_ == WaveDirection::input && running_ && t.sink_usec > 0 && frames > 0) {
                frames = std::llround(monitor_.add(out.monotonicNs, frames, sampleSpec_.rate));
                frames = holdWokenMonitor(out.monotonicNs, frames);
            }
        }
        out.frames = static_cast<uint64_t>(std::max<int64_t>(0, frames));
        return out;
    }

    // On a server whose positions move once a cycle, an answer is late by where in the cycle
    // it was asked. Callers ask on a timer or at each recorded chunk, in step with the cycles,
    // so their answers would all be late alike: the next one is asked for at a random moment
    // within a cycle (the lowest line through such answers then finds the cycles' own moments).
    // `withinUs`: the span to pick the moment from, 0 for a cycle.
    void askAtRandom(double withinUs) {
        const double cycleUs = withinUs > 0 ? withinUs
                               : cycle_.cycleFrames(conn_->likelyCycleFrames(kPlaybackRequestMs,
                                                                             sampleSpec_.rate)) *
                                     1e6 / std::max<uint32_t>(1, sampleSpec_.rate);
        askSeed_ = askSeed_ * 6364136223846793005ULL + 1442695040888963407ULL;
        const auto wait = static_cast<pa_usec_t>(static_cast<double>(askSeed_ >> 11) * 0x1p-53 *
                                                 std::clamp(cycleUs, 1000.0, 200'000.0));
        askTimer_ = pa_context_rttime_new(
            conn_->context, pa_rtclock_now() + wait,
            [](pa_mainloop_api* loopApi, pa_time_event* e, const struct timeval*, void* user) {
                auto* self = static_cast<PulseWaveStream*>(user);
                loopApi->time_free(e);
                self->askTimer_ = nullptr;
                self->askTimingNow();
            },
            this);
    }

    void freeAskTimer() {
        if (!askTimer_)
            return;
        pa_threaded_mainloop_get_api(conn_->loop)->time_free(askTimer_);
        askTimer_ = nullptr;
    }

    static int64_t monotonicOf(const pa_timing_info& t) {
        return nowNs(CLOCK_MONOTONIC) - (nowNs(CLOCK_REALTIME) - stampOf(t));
    }

    static int64_t stampOf(const pa_timing_info& t) {
        return static_cast<int64_t>(t.timestamp.tv_sec) * 1'000'000'000 +
               static_cast<int64_t>(t.timestamp.tv_usec) * 1000;
    }

    int64_t usecToFrames(pa_usec_t usec) const {
        return static_cast<int64_t>(usec * sampleSpec_.rate / 1'000'000);
    }

    uint32_t playbackRequestMs() const {
        return scale_ > 1 ? kBaseChunkMs * scale_ : kPlaybackRequestMs;
    }
    uint32_t playbackTargetMs() const {
        return kPlaybackTargetMs * scale_ + 2 * (playbackRequestMs() - kPlaybackRequestMs * scale_);
    }

    pa_buffer_attr bufferAttr() const {
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(-1);
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(-1);
        if (dir_ == WaveDirection::input) {
            // Longer chunks take whole fragments: the device waits for the chunk anyway.
            attr.fragsize = msToBytes(scale_ > 1 ? kBaseChunkMs * scale_ : kRecordFragmentMs,
                                      sampleSpec_);
        } else {
            attr.tlength = msToBytes(playbackTargetMs(), sampleSpec_);
            attr.minreq = msToBytes(playbackRequestMs(), sampleSpec_);
            // Starts by itself once a request's worth is there; a shorter tail is triggered.
            attr.prebuf = attr.minreq;
        }
        return attr;
    }

    MmResult makeStream() {
        if (!conn_->ensureContext())
            return kMmNoDriver;
        pa_channel_map map;
        pa_channel_map_init_extend(&map, sampleSpec_.channels, PA_CHANNEL_MAP_WAVEEX);
        pa_stream* s = pa_stream_new(conn_->context, dir_ == WaveDirection::input ? "Recording"
                                                                                : "Playback",
                                     &sampleSpec_, &map);
        if (!s)
            return fromPulse(pa_context_errno(conn_->context));
        pa_stream_set_state_callback(s, &PulseWaveStream::onState, this);
        pa_stream_set_suspended_callback(s, &PulseWaveStream::onSuspended, this);
        pa_stream_set_moved_callback(s, &PulseWaveStream::onMoved, this);
        // No automatic timing updates: libpulse's own timer wakes this process and the server
        // for answers nobody reads; playback asks for one with a server's request when its
        // last is old (see askIfWanted).
        int flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING;
        // A chosen device is lost with it; the default's streams follow the default.
        if (!device_.empty())
            flags |= PA_STREAM_DONT_MOVE;
        if (flags_ & kWaveVariableRate)
            flags |= PA_STREAM_VARIABLE_RATE;
        if (!running_)
            flags |= PA_STREAM_START_CORKED;
        pa_buffer_attr attr = bufferAttr();
        const char* device = device_.empty() ? nullptr : device_.c_str();
        int result;
        if (dir_ == WaveDirection::input) {
            pa_stream_set_read_callback(s, &PulseWaveStream::onReadable, this);
            pa_stream_set_overflow_callback(s, &PulseWaveStream::onOverflow, this);
            result = pa_stream_connect_record(s, device, &attr,
                                              static_cast<pa_stream_flags_t>(flags));
        } else {
            pa_stream_set_write_callback(s, &PulseWaveStream::onWritable, this);
            pa_stream_set_underflow_callback(s, &PulseWaveStream::onUnderflow, this);
            pa_stream_set_started_callback(s, &PulseWaveStream::onStarted, this);
            result = pa_stream_connect_playback(s, device, &attr,
                                                static_cast<pa_stream_flags_t>(flags), nullptr,
                                                nullptr);
        }
        if (result < 0) {
            const MmResult code = fromPulse(pa_context_errno(conn_->context));
            pa_stream_set_state_callback(s, nullptr, nullptr);
            pa_stream_unref(s);
            return code;
        }
        stream_ = s;
        conn_->waitUntil([s] { return pa_stream_get_state(s) != PA_STREAM_CREATING; },
                         conn_->timeoutMs);
        if (stream_ != s || pa_stream_get_state(s) != PA_STREAM_READY) {
            const MmResult code = fromPulse(pa_context_errno(conn_->context));
            if (stream_ == s)
                dropStream();
            lost_ = false;
            return code == kMmNoError ? kMmNoDriver : code;
        }
        started_ = false;
        noteDevice();
        return kMmNoError;
    }

    // Every buffer is back before the stream says it is lost.
    void markLost() {
        buffers_.returnAll();
        lost_.store(true, std::memory_order_release);
    }

    void dropStream() {
        freeRetireTimer();
        freeAskTimer();
        cancelOperation(timingRequest_);
        timingRequest_ = nullptr;
        askWithNextEvent_ = false;
        answeredAtNs_ = 0;
        lastStamp_ = 0;
        answered_ = false;
        peeked_ = 0;
        // A new stream's counts start again, without the sleeps of this one.
        asleepSinceNs_ = 0;
        gapPending_ = false;
        gapAtBytes_ = gapBytes_ = gapFrames_ = 0;
        freeSleepTimer();
        freeTailTimer();
        asleep_ = rewinding_ = false;
        offsetBytes_ = 0;
        skipBytes_ = holeBytes_ = padBytes_ = 0;
        paceFrom_ = paceNext_ = {};
        cycle_.reset();
        monitor_.reset();
        woken_.reset();
        wokenRate_ = 0;
        if (!stream_)
            return;
        pa_stream* s = stream_;
        stream_ = nullptr;
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_set_read_callback(s, nullptr, nullptr);
        pa_stream_set_write_callback(s, nullptr, nullptr);
        pa_stream_set_overflow_callback(s, nullptr, nullptr);
        pa_stream_set_underflow_callback(s, nullptr, nullptr);
        pa_stream_set_started_callback(s, nullptr, nullptr);
        pa_stream_set_suspended_callback(s, nullptr, nullptr);
        pa_stream_set_moved_callback(s, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(s)))
            pa_stream_disconnect(s);
        pa_stream_unref(s);
    }

    void cork(bool on) {
        if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY)
            return;
        conn_->finish(pa_stream_cork(stream_, on ? 1 : 0, &PulseWaveStream::onSuccess,
                                     conn_.get()));
        answeredAtNs_ = 0;
    }

    MmResult enqueue(WaveBuffer& b) {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (const MmResult queued = buffers_.push(b, lost_); queued != kMmNoError)
            return queued;
        renewAfterWake();
        if (dir_ == WaveDirection::output) {
            // A reset dropped the server's stream; playing again needs a new one.
            if (!stream_ && makeStream() != kMmNoError) {
                markLost();
                return kMmNoError;
            }
            fillOutput();
        } else if (running_) {
            // Audio may be waiting for this buffer.
            readAvailable();
        }
        return kMmNoError;
    }

    // Playback: hands the server as much of the queue as it asks for. True when it wrote.
    bool fillOutput() {
        if (!stream_ || !running_ || asleep_ || pa_stream_get_state(stream_) != PA_STREAM_READY)
            return false;
        skipBytes_ -= skipQueued(skipBytes_);
        if (padBytes_ > 0 && !buffers_.empty()) {
            offsetBytes_ -= static_cast<int64_t>(padBytes_);
            padBytes_ = 0;
        }
        size_t room = pa_stream_writable_size(stream_);
        if (room == static_cast<size_t>(-1))
            return false;
        room -= room % blockAlign_;
        bool wrote = false;
        while (!buffers_.empty()) {
            const std::span<uint8_t> left = buffers_.frontRoom();
            size_t n = 0;
            if (!left.empty()) {
                if (room == 0)
                    break;
                n = std::min(left.size(), room);
                if (pa_stream_write(stream_, left.data(), n, nullptr,
                                    static_cast<int64_t>(holeBytes_), PA_SEEK_RELATIVE) < 0)
                    break;
                holeBytes_ = 0;
                room -= n;
                bytesMoved_ += n;
                wrote = true;
                // Audio after the server ran dry: the listener heard a gap.
                if (starved_)
                    xruns_.fetch_add(1, std::memory_order_relaxed);
                starved_ = false;
            }
            buffers_.advance(static_cast<uint32_t>(n), bytesMoved_ / blockAlign_);
        }
        // With nothing more to come, a tail shorter than the pre-buffer must still play.
        if (wrote && buffers_.empty() && !started_)
            conn_->finish(pa_stream_trigger(stream_, &PulseWaveStream::onSuccess, conn_.get()));
        // Moving the retire timer from another thread wakes the server's thread: a buffer
        // queued while the server wants nothing waits for its next request.
        if (wrote) {
            scheduleRetire();
            armTail();
        }
        return wrote;
    }

    // Frames of this stream heard so far, by libpulse's estimate from its latest reading.
    uint64_t heardFrames() {
        const uint64_t moved = bytesMoved_ / blockAlign_;
        if (asleep_)
            return std::min<uint64_t>(
                moved, static_cast<uint64_t>(std::max(0.0, lineFrame(nowNs(CLOCK_MONOTONIC)))));
        pa_usec_t usec = 0;
        if (!stream_ || pa_stream_get_time(stream_, &usec) < 0)
            return position_.load(std::memory_order_relaxed);
        return static_cast<uint64_t>(std::clamp<int64_t>(
            usecToFrames(usec) + offsetBytes_ / static_cast<int64_t>(blockAlign_), 0,
            static_cast<int64_t>(moved)));
    }

    // A playback buffer comes back once it has been heard, so the device's count of queued
    // buffers is what is still to be heard. While audio flows, the server's write requests
    // retire what has been heard by then; the timer is for when they stop (the end of playback,
    // a paused stream), so it is set a little more than two requests past the first buffer's
    // end and moved on at every request: it fires only when none came.
    void scheduleRetire() {
        if (!stream_)
            return;
        const uint64_t heard = heardFrames();
        retireUpTo(heard);
        const std::optional<uint64_t> end = buffers_.firstSentEnd();
        if (!end) {
            freeRetireTimer();
            return;
        }
        const uint64_t ahead = *end - heard;
        // A played buffer is retired at the first write request after its end; the timer
        // that catches the end of playback waits more than two requests past it.
        const pa_usec_t slackUs = (2 * playbackRequestMs() + 5) * 1000;
        const pa_usec_t wait = std::clamp<pa_usec_t>(
            ahead * 1'000'000 / sampleSpec_.rate + slackUs, 1000, 500'000 + slackUs);
        const pa_usec_t at = pa_rtclock_now() + wait;
        if (retireTimer_) {
            pa_context_rttime_restart(conn_->context, retireTimer_, at);
            return;
        }
        retireTimer_ = pa_context_rttime_new(
            conn_->context, at,
            [](pa_mainloop_api* loopApi, pa_time_event* e, const struct timeval*, void* user) {
                auto* self = static_cast<PulseWaveStream*>(user);
                loopApi->time_free(e);
                self->retireTimer_ = nullptr;
                self->scheduleRetire();
            },
            this);
    }

    void freeRetireTimer() {
        if (!retireTimer_)
            return;
        pa_threaded_mainloop_get_api(conn_->loop)->time_free(retireTimer_);
        retireTimer_ = nullptr;
    }

    void retireUpTo(uint64_t heard) {
        position_.store(std::max(position_.load(), heard), std::memory_order_relaxed);
        buffers_.retireUpTo(heard);
    }

    // Recording: copies what the server delivered into the queued buffers, in order. What no
    // buffer takes waits in the stream until the device queues more: sources that hand over
    // seconds at once (fixed-latency, virtual and network ones, a server under load) would
    // otherwise lose all but what a few buffers hold. Only a backlog past kRecordBacklogMs is
    // given up, oldest first, and counted.
    void readAvailable() {
        dropExcessBacklog();
        while (stream_ && !buffers_.empty()) {
            if (gapPending_ && bytesMoved_ >= gapAtBytes_)
                break;  // until the silence's length is known
            if (gapBytes_ > 0 && bytesMoved_ >= gapAtBytes_) {
                gapBytes_ -= consume(nullptr, gapBytes_);
                continue;
            }
            const void* data = nullptr;
            size_t n = 0;
            if (pa_stream_peek(stream_, &data, &n) < 0 || n == 0)
                break;
            if (peeked_ < n) {
                const auto* from = data ? static_cast<const uint8_t*>(data) + peeked_ : nullptr;
                size_t wanted = n - peeked_;
                if (gapBytes_ > 0 || gapPending_)
                    wanted = std::min<size_t>(wanted, gapAtBytes_ - bytesMoved_);
                peeked_ += consume(from, wanted);
                if (peeked_ < n) {
                    if ((gapBytes_ > 0 || gapPending_) && bytesMoved_ >= gapAtBytes_)
                        continue;  // the silence of a sleep goes in here
                    break;  // the buffers are full; the rest of the fragment stays peeked
                }
            }
            pa_stream_drop(stream_);
            peeked_ = 0;
        }
    }

    // A worker stalled for seconds would let libpulse's own queue fill, and it then drops new
    // audio without a word; dropping the oldest here at least says so.
    void dropExcessBacklog() {
        if (!stream_)
            return;
        const size_t limit = msToBytes(kRecordBacklogMs, sampleSpec_);
        size_t backlog = pa_stream_readable_size(stream_);
        if (backlog == static_cast<size_t>(-1) || backlog <= limit)
            return;
        xruns_.fetch_add(1, std::memory_order_relaxed);
        while (backlog > limit) {
            const void* data = nullptr;
            size_t n = 0;
            if (pa_stream_peek(stream_, &data, &n) < 0 || n == 0)
                break;
            const size_t skipped = n - std::min(n, peeked_);
            bytesMoved_ += skipped;
            backlog -= std::min(backlog, skipped);
            pa_stream_drop(stream_);
            peeked_ = 0;
        }
        position_.store(bytesMoved_ / blockAlign_, std::memory_order_relaxed);
    }

    // Bytes taken into the queued buffers, at most n.
    size_t consume(const uint8_t* data, size_t n) {
        // A hole (no data) is silence of its length.
        const uint8_t silence = sampleSpec_.format == PA_SAMPLE_U8 ? 0x80 : 0;
        size_t taken = 0;
        while (taken < n && !buffers_.empty()) {
            const std::span<uint8_t> room = buffers_.frontRoom();
            const size_t k = std::min(room.size(), n - taken);
            if (data)
                std::memcpy(room.data(), data + taken, k);
            else
                std::memset(room.data(), silence, k);
            taken += k;
            bytesMoved_ += k;
            buffers_.advance(static_cast<uint32_t>(k));
        }
        position_.store(bytesMoved_ / blockAlign_, std::memory_order_relaxed);
        return taken;
    }

    static void onState(pa_stream* s, void* user) {
        auto* self = static_cast<PulseWaveStream*>(user);
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (s == self->stream_ && !PA_STREAM_IS_GOOD(state)) {
            // The device or the whole server went away: libpulse fails the context before
            // its streams, so a context no longer ready means the server.
            const pa_context* c = self->conn_->context;
            self->state_.serverGone = !c || pa_context_get_state(c) != PA_CONTEXT_READY;
            self->dropStream();
            self->markLost();
            if (self->event_)
                self->event_->set();
        }
        self->conn_->signal();
    }

    // A session manager suspends an idle device, or a user with pactl suspend-sink: the
    // stream stays, but no audio moves until the device wakes.
    static void onSuspended(pa_stream* s, void* user) {
        auto* self = static_cast<PulseWaveStream*>(user);
        if (s == self->stream_) {
            self->state_.suspended = pa_stream_is_suspended(s) == 1;
            if (self->dir_ == WaveDirection::input)
                self->noteRecordingGap();
            else
                self->notePlaybackSleep();
        }
        if (self->event_)
            self->event_->set();
    }

    // A suspended source delivers nothing, and on waking goes on from where it stopped, as
    // if no time had passed. The time asleep is recorded as silence, so the recording keeps
    // the clock (the delay stays in step, a WAV file as long as the run), and counted as a
    // dropout, since the audio of that time is lost. It goes in after what the server had
    // delivered before the wake-up, as long as the first timing answer after it says: the
    // frames the line of the answers before the sleep wanted by then, less those there are.
    void noteRecordingGap() {
        const int64_t now = nowNs(CLOCK_MONOTONIC);
        if (state_.suspended) {
            asleepSinceNs_ = running_ && bytesMoved_ > 0 ? now : 0;
            beforeSleep_ = answered_ ? answerReading_ : StreamTiming{};
            return;
        }
        if (asleepSinceNs_ == 0)
            return;
        const size_t readable = stream_ ? pa_stream_readable_size(stream_) : 0;
        gapAtBytes_ = bytesMoved_ - peeked_ +
                      (readable == static_cast<size_t>(-1) ? 0 : readable);
        xruns_.fetch_add(1, std::memory_order_relaxed);
        asleepForNs_ = now - asleepSinceNs_;
        asleepSinceNs_ = 0;
        if (beforeSleep_.frames > 0) {
            gapPending_ = true;
            askTimingNow();
        } else {
            // No answer to go by: the time between the two events.
            addRecordingGap(static_cast<double>(asleepForNs_) * sampleSpec_.rate / 1e9);
        }
    }

    // The first answer after a wake-up: the silence is as long as the answers' line says.
    void measureRecordingGap() {
        gapPending_ = false;
        const double pace = sourcePace();
        const double wanted = beforeSleep_.framesBy(answerReading_.monotonicNs, pace);
        double frames = std::max(0.0, wanted - static_cast<double>(answerReading_.frames));
        // An answer far from the time between the two events is not believed.
        const double byEvents = static_cast<double>(asleepForNs_) * sampleSpec_.rate / 1e9;
        if (std::abs(frames - byEvents) > 0.1 * sampleSpec_.rate)
            frames = byEvents;
        answerReading_.frames += addRecordingGap(frames);
        if (answer_.sink_usec > 0) {
            // Twice: the line is the second highest answer carried on, and the wake's is it.
            woken_.reset();
            wokenRate_ = pace;
            for (int i = 0; i < 2; ++i)
                woken_.add(answerReading_.monotonicNs, static_cast<int64_t>(answerReading_.frames),
                           pace);
        }
    }

    // The source's own pace from the answers of the last 10 to 20 s before its sleep, if they
    // span enough of it: a null sink's monitor runs up to 2,000 ppm off the system clock.
    double sourcePace() const {
        const double span = static_cast<double>(beforeSleep_.monotonicNs - paceFrom_.monotonicNs);
        if (paceFrom_.monotonicNs > 0 && span >= 2e9) {
            const double pace =
                static_cast<double>(beforeSleep_.frames - paceFrom_.frames) * 1e9 / span;
            if (std::abs(pace / sampleSpec_.rate - 1) < 0.003)
                return pace;
        }
        return sampleSpec_.rate;
    }

    // After a sink wakes, PulseAudio's answers for its monitor fall 3-5 ms below the line,
    // climb back over a second or two and fall again, every 3 to 3.5 s for as long as the
    // stream runs, on another device after a move too. The audio itself goes on from the line
    // (the silence of the sleep keeps it there): echoes in the sink's own frames stayed exact
    // while the answers swung, and taken as they came the answers put the delay heard 2 to
    // 5 ms off. So a woken monitor's answers are held up to the highest line through those of
    // the last two spells; an answer far below is audio lost, and a few in a row start the
    // line again from there.
    int64_t holdWokenMonitor(int64_t ns, int64_t frames) {
        if (wokenRate_ <= 0)
            return frames;
        return std::llround(woken_.add(ns, frames, wokenRate_));
    }

    // On PipeWire: a change on the device this stream is on may be its sleep or its wake.
    void onDeviceChange(uint32_t facility, uint32_t index) {
        const bool input = dir_ == WaveDirection::input;
        if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY ||
            facility != (input ? PA_SUBSCRIPTION_EVENT_SOURCE : PA_SUBSCRIPTION_EVENT_SINK) ||
            index != pa_stream_get_device_index(stream_))
            return;
        std::erase_if(stateQueries_, [](pa_operation* op) {
            if (pa_operation_get_state(op) == PA_OPERATION_RUNNING)
                return false;
            pa_operation_unref(op);
            return true;
        });
        pa_operation* op =
            input ? pa_context_get_source_info_by_index(
                        conn_->context, index,
                        [](pa_context*, const pa_source_info* i, int, void* user) {
                            if (i)
                                static_cast<PulseWaveStream*>(user)->noteDeviceAsleep(
                                    i->state == PA_SOURCE_SUSPENDED);
                        },
                        this)
                  : pa_context_get_sink_info_by_index(
                        conn_->context, index,
                        [](pa_context*, const pa_sink_info* i, int, void* user) {
                            if (i)
                                static_cast<PulseWaveStream*>(user)->noteDeviceAsleep(
                                    i->state == PA_SINK_SUSPENDED);
                        },
                        this);
        if (op)
            stateQueries_.push_back(op);
    }

    // A recording's new stream (see DeviceSleep) is made by the next caller: a callback cannot
    // wait for it.
    void noteDeviceAsleep(bool asleep) {
        const bool underWay = position_.load(std::memory_order_relaxed) != 0;
        const auto news = sleep_.note(asleep, underWay, dir_ == WaveDirection::input, state_);
        if (news == DeviceSleep::News::none)
            return;
        if (news == DeviceSleep::News::asleep)
            beforeSleep_ = answered_ ? answerReading_ : StreamTiming{};
        if (event_)
            event_->set();
    }

    // The new stream's audio follows the old stream's last, after silence as long as the
    // line of the answers before the sleep wants by now: the recording keeps its clock, as
    // across a sleep on PulseAudio, and the audio lost is one dropout. Lock held, not on the
    // libpulse thread.
    void renewAfterWake() {
        if (pa_threaded_mainloop_in_thread(conn_->loop) || !sleep_.takeRenewal())
            return;
        const bool keepClock = running_ && bytesMoved_ > 0 && beforeSleep_.frames > 0;
        const double pace = sourcePace();
        const StreamTiming paceFrom = paceFrom_, paceNext = paceNext_;
        // Silence of an earlier sleep not taken yet goes before the new stream's audio too.
        const uint64_t pendingFrames = gapBytes_ / blockAlign_;
        dropStream();
        // The new stream's first audio waits for the silence (see readAvailable).
        gapAtBytes_ = bytesMoved_;
        gapPending_ = true;
        if (const MmResult made = makeStream(); made != kMmNoError) {
            markLost();
            return;
        }
        gapPending_ = false;
        state_.suspended = false;
        paceFrom_ = paceFrom;
        paceNext_ = paceNext;
        const uint64_t have = bytesMoved_ / blockAlign_ + pendingFrames;
        gapBytes_ = pendingFrames * blockAlign_;
        gapFrames_ = have;
        if (!keepClock) {
            readAvailable();
            return;
        }
        xruns_.fetch_add(1, std::memory_order_relaxed);
        const double wanted = beforeSleep_.framesBy(nowNs(CLOCK_MONOTONIC), pace);
        addRecordingGap(std::max(0.0, wanted - static_cast<double>(have)));
    }

    // Frames of silence added.
    uint64_t addRecordingGap(double frames) {
        const auto whole = static_cast<uint64_t>(std::llround(frames));
        gapBytes_ += whole * blockAlign_;
        gapFrames_ += whole;
        readAvailable();
        return whole;
    }

    // A suspended sink plays nothing, and on waking would play what it held first, as late as
    // it slept, and the delay would then skip ahead. So for this stream the sink keeps
    // running through the sleep on the line of the last answer before it: readings follow the
    // line, buffers come back as their time passes, and what they hold is lost to the listener
    // (one dropout). At the wake the server's queue is flushed and the next audio is placed
    // where the line wants it, so the delay heard is the delay set from the first sound on.
    void notePlaybackSleep() {
        if (state_.suspended) {
            if (asleep_ || !running_ || !answered_ || !answer_.playing)
                return;
            asleep_ = true;
            sleepLine_ = answerReading_;
            sleepRate_ = sampleSpec_.rate;
            // The sink's own pace: a null sink runs up to 2,000 ppm off the system clock, 4 ms
            // over a sleep of 2 s at the nominal rate.
            const double span =
                static_cast<double>(sleepLine_.monotonicNs - paceFrom_.monotonicNs);
            if (paceFrom_.monotonicNs > 0 && span >= 2e9) {
                const double pace =
                    static_cast<double>(sleepLine_.frames - paceFrom_.frames) * 1e9 / span;
                if (std::abs(pace / sampleSpec_.rate - 1) < 0.003)
                    sleepRate_ = pace;
            }
            sleepSinkUs_ = answer_.sink_usec;
            cancelOperation(timingRequest_);
            timingRequest_ = nullptr;
            sinkAsleep();
            return;
        }
        if (!asleep_ || rewinding_ || !stream_)
            return;
        xruns_.fetch_add(1, std::memory_order_relaxed);
        rewinding_ = true;
        cancelOperation(timingRequest_);
        timingRequest_ = nullptr;
        if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr))
            pa_operation_unref(op);
        askTimingNow();
    }

    // Answers 10 to 20 s back, past a start's first settling, for the device's pace. A
    // source's sleep is left out: its answers stand still then.
    void notePace(bool playing) {
        const bool output = dir_ == WaveDirection::output;
        if (!output && (gapPending_ || asleepSinceNs_ != 0))
            return;
        if (!(output ? playing : running_) || asleep_) {
            paceFrom_ = paceNext_ = {};
            return;
        }
        const StreamTiming& now = answerReading_;
        if (paceNext_.monotonicNs == 0) {
            paceNext_ = now;
        } else if (now.monotonicNs - paceNext_.monotonicNs >= 10'000'000'000) {
            paceFrom_ = paceNext_;
            paceNext_ = now;
        }
        if (paceFrom_.monotonicNs == 0)
            paceFrom_ = paceNext_;
    }

    // Frames the line of the last answer before the sleep has heard by a monotonic time.
    double lineFrame(int64_t ns) const {
        return static_cast<double>(sleepLine_.frames) +
               static_cast<double>(ns - sleepLine_.monotonicNs) * sleepRate_ / 1e9;
    }

    // While asleep, every 20 ms: the audio whose time passed is dropped, its buffers return.
    // Awake and not placed yet, the answer that places is asked for again until one comes.
    void sinkAsleep() {
        if (rewinding_)
            askTimingNow();
        const auto due = static_cast<uint64_t>(std::max(0.0, lineFrame(nowNs(CLOCK_MONOTONIC))));
        const uint64_t moved = bytesMoved_ / blockAlign_;
        if (due > moved)
            skipQueued((due - moved) * blockAlign_);
        retireUpTo(std::min(due, bytesMoved_ / blockAlign_));
        const pa_usec_t at = pa_rtclock_now() + 20'000;
        if (sleepTimer_) {
            pa_context_rttime_restart(conn_->context, sleepTimer_, at);
            return;
        }
        sleepTimer_ = pa_context_rttime_new(
            conn_->context, at,
            [](pa_mainloop_api* loopApi, pa_time_event* e, const struct timeval*, void* user) {
                auto* self = static_cast<PulseWaveStream*>(user);
                loopApi->time_free(e);
                self->sleepTimer_ = nullptr;
                if (self->asleep_)
                    self->sinkAsleep();
            },
            this);
    }

    void freeSleepTimer() {
        if (!sleepTimer_)
            return;
        pa_threaded_mainloop_get_api(conn_->loop)->time_free(sleepTimer_);
        sleepTimer_ = nullptr;
    }

    // Drops up to n bytes of the queued audio unplayed, counted as moved; the bytes dropped.
    uint64_t skipQueued(uint64_t n) {
        uint64_t skipped = 0;
        while (skipped < n && !buffers_.empty()) {
            const auto k =
                static_cast<uint32_t>(std::min<uint64_t>(buffers_.frontRoom().size(), n - skipped));
            bytesMoved_ += k;
            skipped += k;
            buffers_.advance(k, bytesMoved_ / blockAlign_);
        }
        return skipped;
    }

    // The first answer after the wake's flush: the server's write index is heard a sink's
    // latency after the answer, and the line says which frame is due then. The queue's audio
    // before that frame is dropped; a frame already flushed leaves silence in its place.
    void placeAfterWake(const pa_timing_info& t) {
        rewinding_ = false;
        asleep_ = false;
        freeSleepTimer();
        const pa_usec_t sinkUs = t.sink_usec > 0 ? t.sink_usec : sleepSinkUs_;
        const int64_t aheadNs =
            static_cast<int64_t>(sinkUs) * 1000 +
            std::max<int64_t>(0, t.write_index - t.read_index) / blockAlign_ * 1'000'000'000 /
                sampleSpec_.rate;
        const auto due = static_cast<int64_t>(std::llround(lineFrame(monotonicOf(t) + aheadNs)));
        const int64_t dueBytes = due * blockAlign_;
        offsetBytes_ = dueBytes - t.write_index;
        const auto next = static_cast<int64_t>(bytesMoved_);
        skipBytes_ = dueBytes > next ? static_cast<uint64_t>(dueBytes - next) : 0;
        holeBytes_ = next > dueBytes ? static_cast<uint64_t>(next - dueBytes) : 0;
        cycle_.reset();
        retireUpTo(std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(0, due)),
                                      bytesMoved_ / blockAlign_));
        fillOutput();
    }

    // PipeWire's pulse service plays only whole cycles: when the audio ends within one, that
    // part is never heard, though the server counts it played. So once nothing is queued
    // here and the server is within a few cycles of running dry, silence follows the audio.
    // Only once the answers have shown the cycle: a start, fed sparingly until the stream
    // runs, is no end.
    void armTail() {
        const double cycle = cycle_.cycleFrames(-1);
        if (!conn_->cycleStamps || cycle <= 0 || padBytes_ > 0 || !buffers_.firstSentEnd() ||
            !buffers_.empty())
            return;
        const double left = static_cast<double>(bytesMoved_ / blockAlign_) -
                            static_cast<double>(heardFrames()) - 2.5 * cycle;
        const auto at = pa_rtclock_now() +
                        static_cast<pa_usec_t>(std::max(0.0, left) * 1e6 / sampleSpec_.rate);
        tailAtBytes_ = bytesMoved_;
        if (tailTimer_) {
            pa_context_rttime_restart(conn_->context, tailTimer_, at);
            return;
        }
        tailTimer_ = pa_context_rttime_new(
            conn_->context, at,
            [](pa_mainloop_api* loopApi, pa_time_event* e, const struct timeval*, void* user) {
                auto* self = static_cast<PulseWaveStream*>(user);
                loopApi->time_free(e);
                self->tailTimer_ = nullptr;
                if (self->bytesMoved_ == self->tailAtBytes_ && self->buffers_.empty())
                    self->padTail(self->cycle_.cycleFrames(-1));
            },
            this);
    }

    void freeTailTimer() {
        if (!tailTimer_)
            return;
        pa_threaded_mainloop_get_api(conn_->loop)->time_free(tailTimer_);
        tailTimer_ = nullptr;
    }

    // Writes silence after the last audio, once. Audio that follows goes after it (the server
    // was about to run dry, a gap the listener hears anyway).
    void padTail(double cycle) {
        if (cycle <= 0 || padBytes_ > 0 || !buffers_.firstSentEnd() || !stream_ ||
            pa_stream_get_state(stream_) != PA_STREAM_READY)
            return;
        const size_t bytes = static_cast<size_t>(std::ceil(2 * cycle)) * blockAlign_;
        std::vector<uint8_t> silence(bytes, sampleSpec_.format == PA_SAMPLE_U8 ? 0x80 : 0);
        if (pa_stream_write(stream_, silence.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        padBytes_ = bytes;
        if (!started_)
            conn_->finish(pa_stream_trigger(stream_, &PulseWaveStream::onSuccess, conn_.get()));
    }

    // A stream on the default follows the user's new default device.
    static void onMoved(pa_stream* s, void* user) {
        auto* self = static_cast<PulseWaveStream*>(user);
        if (s != self->stream_)
            return;
        // A woken monitor's lag goes with the stream (see holdWokenMonitor), so its hold stays:
        // a device that hands over later lets the line down once its window has passed.
        self->moves_.fetch_add(1, std::memory_order_relaxed);
        self->paceFrom_ = self->paceNext_ = {};
        // Another device runs its cycles at moments of its own.
        self->cycle_.reset();
        self->noteDevice();
        if (self->event_)
            self->event_->set();
    }

    void noteDevice() {
        const char* name = stream_ ? pa_stream_get_device_name(stream_) : nullptr;
        state_.deviceKey = name ? name : "";
        state_.suspended = stream_ && pa_stream_is_suspended(stream_) == 1;
    }

    // A request sent from a caller's thread wakes the libpulse thread just to send it; the
    // server's next delivery or request wakes that thread anyway, and the answer carries its
    // own stamp, so the next reading is asked for then.
    // Playback's own heard position (which retires the buffers) is libpulse's interpolation
    // from the latest answer, so playback also asks when its last answer is older than
    // kStaleAnswerNs.
    void askIfWanted() {
        if (!stream_ || lost_)
            return;
        const bool stale = dir_ == WaveDirection::output &&
                           nowNs(CLOCK_MONOTONIC) - answeredAtNs_ > kStaleAnswerNs;
        if (!askWithNextEvent_ && !stale)
            return;
        askWithNextEvent_ = false;
        askTimingNow();
    }

    // A request already answered (or failed) is let go, so a new one can be asked for.
    void dropFinishedRequest() {
        if (timingRequest_ && pa_operation_get_state(timingRequest_) != PA_OPERATION_RUNNING) {
            pa_operation_unref(timingRequest_);
            timingRequest_ = nullptr;
        }
    }

    void askTimingNow() {
        dropFinishedRequest();
        if (stream_ && !lost_ && !timingRequest_)
            timingRequest_ =
                pa_stream_update_timing_info(stream_, &PulseWaveStream::onTimingAnswer, this);
    }

    static void onReadable(pa_stream*, size_t, void* user) {
        auto* self = static_cast<PulseWaveStream*>(user);
        self->askIfWanted();
        self->readAvailable();
    }

    static void onWritable(pa_stream*, size_t, void* user) {
        // The request also retires what has been heard by now.
        auto* self = static_cast<PulseWaveStream*>(user);
        self->askIfWanted();
        if (!self->fillOutput())
            self->scheduleRetire();
    }

    static void onOverflow(pa_stream*, void* user) {
        static_cast<PulseWaveStream*>(user)->xruns_.fetch_add(1, std::memory_order_relaxed);
    }

    static void onUnderflow(pa_stream*, void* user) {
        auto* self = static_cast<PulseWaveStream*>(user);
        self->started_ = false;
        self->answeredAtNs_ = 0;  // libpulse's figures are spoilt until the next answer
        // The wake's flush empties the server on purpose; the sleep is already counted.
        if (self->asleep_)
            return;
        self->paceFrom_ = self->paceNext_ = {};
        // The server played all it had.
        self->retireUpTo(self->bytesMoved_ / self->blockAlign_);
        // Running dry after the last buffer is the end of playback, not a gap; a gap is counted
        // when more audio follows.
        self->starved_ = true;
    }

    static void onStarted(pa_stream*, void* user) {
        auto* self = static_cast<PulseWaveStream*>(user);
        self->started_ = true;
        self->answeredAtNs_ = 0;
    }

    const std::shared_ptr<Connection> conn_;
    const WaveDirection dir_;
    const std::string device_;  // empty: the server's default
    pa_sample_spec sampleSpec_;
    const uint32_t blockAlign_;
    const EventHandle event_;
    const uint32_t flags_;

    pa_stream* stream_ = nullptr;
    WaveBufferQueue buffers_;
    uint32_t scale_ = 1;      // of the server's buffer sizes, set by the device's chunk time
    size_t peeked_ = 0;       // recording: bytes of the peeked fragment already taken
    uint64_t bytesMoved_ = 0;  // since the stream was made
    // Recording: the silence of a source's sleep (see noteRecordingGap).
    int64_t asleepSinceNs_ = 0;  // 0: awake, or asleep before any audio came
    uint64_t gapAtBytes_ = 0;    // where in bytesMoved_ the silence goes
    uint64_t gapBytes_ = 0;      // still to go in
    uint64_t gapFrames_ = 0;     // of all sleeps: counted in the timing's frames too
    bool gapPending_ = false;    // awake, the silence's length not known yet
    int64_t asleepForNs_ = 0;    // between the two events, should no answer come
    StreamTiming beforeSleep_;   // the last answer before the sleep
    // Playback: a sink's sleep (see notePlaybackSleep).
    bool asleep_ = false;         // the sink sleeps, or woke and the audio is not placed yet
    bool rewinding_ = false;      // flushed at the wake, waiting for the answer that places
    StreamTiming sleepLine_;      // the last answer before the sleep
    double sleepRate_ = 0;        // the line's frames a second
    StreamTiming paceFrom_, paceNext_;  // see notePace
    pa_usec_t sleepSinkUs_ = 0;   // the sink's latency then
    int64_t offsetBytes_ = 0;     // this stream's bytes less the server's, since a wake
    uint64_t skipBytes_ = 0;      // of the queue still to drop before the next write
    uint64_t holeBytes_ = 0;      // of silence to leave before the next write
    uint64_t padBytes_ = 0;       // of silence written after the last audio (see armTail)
    uint64_t tailAtBytes_ = 0;    // bytesMoved_ when the pad's timer was set
    pa_time_event* tailTimer_ = nullptr;
    pa_time_event* sleepTimer_ = nullptr;
    bool running_;
    bool started_ = false;
    bool starved_ = false;
    bool closed_ = false;
    pa_time_event* retireTimer_ = nullptr;
    pa_operation* timingRequest_ = nullptr;  // asked after the last timing(), not waited for
    bool askWithNextEvent_ = false;           // timing() wants the next reading asked for
    int64_t answeredAtNs_ = 0;                // when the latest answer arrived; 0: ask anew
    int64_t lastStamp_ = 0;                   // of the reading timing() returned last
    pa_timing_info answer_{};                 // the latest answer, as it arrived
    bool answered_ = false;                   // answer_ belongs to this stream
    StreamTiming answerReading_;              // what answer_ says, as timing() gives it
    CyclePosition cycle_;                     // timing()'s answers, on a stamping-late server
    MonitorPosition monitor_;                 // a monitor's answers, on PulseAudio
    // A woken monitor's line (see holdWokenMonitor), and its frames a second (0: none held).
    MonitorPosition woken_{kWokenMonitorWindowNs, kWokenMonitorLagNs};
    double wokenRate_ = 0;
    pa_time_event* askTimer_ = nullptr;       // asks for the next answer, on such a server
    int64_t askWantedUntilNs_ = 0;            // answers keep coming until then
    uint64_t askSeed_ = 0x9E3779B97F4A7C15ULL;

    DeviceState state_;
    // On PipeWire: the device's sleep as last asked, and the questions still out.
    DeviceSleep sleep_;
    std::vector<pa_operation*> stateQueries_;

    std::atomic<bool> lost_{false};
    std::atomic<uint64_t> position_{0};
    std::atomic<uint32_t> xruns_{0};
    std::atomic<uint32_t> moves_{0};  // DeviceState's moves, read without the server's lock
};

void tellDeviceChange(PulseWaveStream& stream, uint32_t facility, uint32_t index) {
    stream.onDeviceChange(facility, index);
}

}  // namespace

std::shared_ptr<PulseSoundCard> PulseSoundCard::connect(uint32_t timeoutMs, bool* slow,
                                                        bool evenUnanswered) {
    auto connection = std::make_shared<Connection>(timeoutMs);
    if (slow)
        *slow = false;
    {
        if (!connection->loop)
            return nullptr;
        Connection::Lock lock(*connection);
        if (!connection->ensureContext()) {
            if (slow)
                *slow = connection->slow;
            if (!evenUnanswered || !connection->slow)
                return nullptr;
        }
    }
    return std::make_shared<PulseSoundCard>(std::move(connection));
}

PulseSoundCard::PulseSoundCard(std::shared_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

PulseSoundCard::~PulseSoundCard() = default;

uint32_t PulseSoundCard::deviceCount(WaveDirection direction) {
    Connection::Snapshot snap;
    connection_->snapshot(snap);
    return static_cast<uint32_t>(direction == WaveDirection::input ? snap.sources.size()
                                                                   : snap.sinks.size());
}

std::vector<DeviceInfo> PulseSoundCard::deviceList(WaveDirection direction) {
    Connection::Snapshot snap;
    const bool reached = connection_->snapshot(snap);
    const bool in = direction == WaveDirection::input;
    const auto& devices = in ? snap.sources : snap.sinks;
    const std::string& defaultName = in ? snap.defaultSource : snap.defaultSink;
    std::vector<DeviceInfo> list;
    DeviceInfo mapper;
    mapper.description = "Default";
    for (const auto& d : devices)
        if (d.name == defaultName) {
            mapper.description = "Default (" + d.description + ")";
            break;
        }
    if (!reached)
        mapper.description = "Default (no sound server)";
    list.push_back(std::move(mapper));
    for (const auto& d : devices)
        list.push_back({d.name, d.description, d.monitor, d.name == defaultName});
    return list;
}

MmResult PulseSoundCard::caps(WaveDirection direction, int32_t deviceId, WaveCaps& caps) {
    auto list = deviceList(direction);
    if (deviceId < kWaveMapper || deviceId + 1 >= static_cast<int64_t>(list.size()))
        return kMmBadDeviceId;
    caps = WaveCaps{};
    caps.manufacturerId = 0xFFFF;
    caps.productId = deviceId == kWaveMapper ? 0xFFFF : static_cast<uint16_t>(deviceId);
    caps.driverVersion = PA_PROTOCOL_VERSION;
    caps.name = alsaWideText(list[static_cast<size_t>(deviceId + 1)].description, kWaveCapsNameMax);
    // The server converts every format the wave devices use.
    caps.formats = 0xFFFFF;
    caps.channels = 2;
    return kMmNoError;
}

MmResult PulseSoundCard::open(WaveDirection direction, int32_t deviceId,
                              const WaveFormatEx& format, EventHandle toSignal, uint32_t flags,
                              std::unique_ptr<WaveStream>& out) {
    out.reset();
    std::string device;
    if (deviceId != kWaveMapper) {
        Connection::Snapshot snap;
        if (!connection_->snapshot(snap))
            return kMmNoDriver;
        const auto& devices = direction == WaveDirection::input ? snap.sources : snap.sinks;
        if (deviceId < 0 || static_cast<size_t>(deviceId) >= devices.size())
            return kMmBadDeviceId;
        device = devices[static_cast<size_t>(deviceId)].name;
    } else if (deviceId < kWaveMapper) {
        return kMmBadDeviceId;
    }
    pa_sample_spec sampleSpec{};
    if (!sampleSpecOf(format, sampleSpec))
        return kWaveErrBadFormat;
    if (flags & kWaveFormatQuery) {
        Connection::Lock lock(*connection_);
        return connection_->ensureContext() ? kMmNoError : kMmNoDriver;
    }
    auto stream = std::make_unique<PulseWaveStream>(connection_, direction, device, sampleSpec,
                                                    format.blockAlign, std::move(toSignal), flags);
    const MmResult result = stream->begin();
    if (result != kMmNoError)
        return result;
    out = std::move(stream);
    return kMmNoError;
}

std::optional<std::string> PulseSoundCard::errorText(WaveDirection, MmResult code) {
    switch (code) {
        case kWaveErrBadFormat:
            return "unsupported wave format";
        case kWaveErrStillPlaying:
            return "still something playing";
        case kWaveErrUnprepared:
            return "header not prepared";
        case kMmNoDriver:
            return "the sound server cannot be reached or the device is gone";
        default:
            break;
    }
    if (code > kPulseResultBase && code < kPulseResultBase + 0x10000)
        return std::string(pa_strerror(static_cast<int>(code - kPulseResultBase)));
    return std::nullopt;
}

bool PulseSoundCard::onPipeWire() const {
    Connection::Lock lock(*connection_);
    return connection_->context && connection_->cycleStamps;
}

std::string PulseSoundCard::backendName() const {
    Connection::Snapshot snap;
    connection_->snapshot(snap);
    return snap.serverName.empty() ? "PulseAudio" : snap.serverName;
}

}  // namespace platform
