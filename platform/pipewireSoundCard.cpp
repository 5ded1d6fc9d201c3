#include "platform/pipewireSoundCard.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/props.h>
#include <spa/utils/json.h>
#include <spa/utils/ringbuffer.h>
#include <spa/utils/result.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/alsaSoundCard.h"
#include "platform/deviceSleep.h"
#include "platform/threadIdentity.h"
#include "platform/threadPriority.h"
#include "platform/waveBufferQueue.h"

namespace platform {

namespace {

// The graph's cycle our streams ask for: the pulse backend's request size, so both backends
// put the same load on the server. Longer device chunks scale it, up to kMaxBufferScale.
constexpr uint32_t kRequestMs = 20;
constexpr uint32_t kBaseChunkMs = 40;
constexpr uint32_t kMaxBufferScale = 5;
// Recorded audio no buffer has taken yet is kept up to this much; past it the oldest goes,
// counted, so a stalled worker loses old audio rather than new.
constexpr uint32_t kRecordBacklogMs = 10000;
constexpr int32_t kTimeCriticalPriority = 15;

int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

bool spaFormatOf(const WaveFormatEx& f, spa_audio_format& out) {
    if (f.channels == 0 || f.channels > SPA_AUDIO_MAX_CHANNELS ||
        f.blockAlign != f.channels * (f.bitsPerSample / 8) || f.samplesPerSec == 0 ||
        f.samplesPerSec > 384000)
        return false;
    if (f.formatTag == kWaveFormatPcm) {
        switch (f.bitsPerSample) {
            case 8:
                out = SPA_AUDIO_FORMAT_U8;
                return true;
            case 16:
                out = SPA_AUDIO_FORMAT_S16_LE;
                return true;
            case 24:
                out = SPA_AUDIO_FORMAT_S24_LE;
                return true;
            case 32:
                out = SPA_AUDIO_FORMAT_S32_LE;
                return true;
            default:
                return false;
        }
    }
    if (f.formatTag == 3 && f.bitsPerSample == 32) {  // IEEE float
        out = SPA_AUDIO_FORMAT_F32_LE;
        return true;
    }
    return false;
}

// The "name" of a default's value, {"name":"radio"}.
std::string nameInJson(const char* value) {
    if (!value)
        return {};
    spa_json it[2];
    spa_json_init(&it[0], value, std::strlen(value));
    if (spa_json_enter_object(&it[0], &it[1]) <= 0)
        return {};
    char key[64];
    while (spa_json_get_string(&it[1], key, sizeof key) > 0) {
        if (std::strcmp(key, "name") == 0) {
            char name[1024];
            return spa_json_get_string(&it[1], name, sizeof name) > 0 ? std::string(name)
                                                                      : std::string();
        }
        const char* skip = nullptr;
        if (spa_json_next(&it[1], &skip) <= 0)
            break;
    }
    return {};
}

class PipeWireWaveStream;

}  // namespace

// The PipeWire thread, the connection to the server and what its registry says. lock() guards
// everything libpipewire holds and every stream's state; the thread holds it while it runs
// callbacks (our streams' process callbacks run there too, not on the graph's own thread).
struct PipeWireSoundCard::Connection {
    explicit Connection(uint32_t timeoutMs) : timeoutMs(timeoutMs) {
        static std::once_flag once;
        std::call_once(once, [] { pw_init(nullptr, nullptr); });
        loop = pw_thread_loop_new("una-pipewire", nullptr);
        if (!loop)
            return;
        context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
        if (!context || pw_thread_loop_start(loop) < 0) {
            if (context)
                pw_context_destroy(context);
            pw_thread_loop_destroy(loop);
            loop = nullptr;
            context = nullptr;
            return;
        }
        // The thread moves the audio between the graph and the buffers. A blocking call from
        // outside lets go of the loop's lock while it waits and takes it again after: it must
        // hold it before.
        pw_thread_loop_lock(loop);
        pw_loop_invoke(
            pw_thread_loop_get_loop(loop),
            [](spa_loop*, bool, uint32_t, const void*, size_t, void*) {
                applyThreadPriority(currentThreadId(), kTimeCriticalPriority);
                return 0;
            },
            0, nullptr, 0, true, nullptr);
        pw_thread_loop_unlock(loop);
    }
    ~Connection() {
        if (!loop)
            return;
        pw_thread_loop_lock(loop);
        dropCore();
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
        pw_context_destroy(context);
        pw_thread_loop_destroy(loop);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    class Lock {
      public:
        explicit Lock(Connection& c) : loop_(c.loop) { pw_thread_loop_lock(loop_); }
        ~Lock() { pw_thread_loop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pw_thread_loop* loop_;
    };

    void signal() { pw_thread_loop_signal(loop, false); }
    bool inThread() const { return pw_thread_loop_in_thread(loop); }

    // Lock held, not on the PipeWire thread: true when done() holds within ms.
    bool waitUntil(const std::function<bool()>& done, uint32_t ms) {
        if (done())
            return true;
        if (inThread())
            return false;
        timespec until{};
        pw_thread_loop_get_time(loop, &until, static_cast<int64_t>(ms) * 1'000'000);
        while (!done())
            if (pw_thread_loop_timed_wait_full(loop, &until) != 0)
                break;
        return done();
    }

    // Lock held: the server's answer to everything asked before it, or false.
    bool roundTrip() {
        if (!core || gone)
            return false;
        const int seq = pw_core_sync(core, PW_ID_CORE, 0);
        return waitUntil([this, seq] { return gone || doneSeq == seq; }, timeoutMs) && !gone;
    }

    struct Node {
        std::string name;
        std::string description;
        bool sink = false;
    };
    struct Device {
        std::string key;     // the node's name; "<sink>.monitor" for a monitor
        std::string target;  // the node a stream links to
        std::string description;
        bool monitor = false;
    };
    struct Snapshot {
        std::vector<Device> sinks, sources;
        std::string defaultSink, defaultSource;
    };

    // Lock held. A core the server dropped is replaced by a new connection.
    bool ensureCore();
    void dropCore();
    void serverGone();
    void nodeGone(const std::string& name);
    void defaultChanged(bool sink);
    void nodeAsleep(const std::string& name, bool asleep);

    // A device's sleep shows only in its node's state: each device node is bound to hear it.
    struct NodeWatch {
        Connection* connection = nullptr;
        std::string name;
        pw_node* node = nullptr;
        spa_hook listener{};
        bool asleep = false;
        ~NodeWatch() {
            if (!node)
                return;
            spa_hook_remove(&listener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(node));
        }
    };
    void watchNode(uint32_t id, const std::string& name);

    bool snapshot(Snapshot& out) {
        Lock lock(*this);
        out = {};
        if (!ensureCore())
            return false;
        std::vector<Device> monitors;
        for (const auto& [id, n] : nodes) {
            if (n.sink) {
                out.sinks.push_back({n.name, n.name, n.description, false});
                monitors.push_back(
                    {n.name + ".monitor", n.name, "Monitor of " + n.description, true});
            } else {
                out.sources.push_back({n.name, n.name, n.description, false});
            }
        }
        // The real inputs first: a monitor is the less likely choice for a radio.
        out.sources.insert(out.sources.end(), monitors.begin(), monitors.end());
        out.defaultSink = defaultSink;
        out.defaultSource = sourceKey(defaultSource);
        return true;
    }

    // The default source may name a sink: its monitor is meant.
    std::string sourceKey(const std::string& name) const {
        for (const auto& [id, n] : nodes)
            if (n.sink && n.name == name)
                return name + ".monitor";
        return name;
    }

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    pw_metadata* metadata = nullptr;
    uint32_t metadataId = SPA_ID_INVALID;
    spa_hook metadataListener{};
    bool gone = false;  // the server dropped the connection
    int doneSeq = -1;
    std::string version;
    std::map<uint32_t, Node> nodes;  // by registry id, the server's order
    std::map<uint32_t, std::unique_ptr<NodeWatch>> nodeWatches;  // by registry id
    std::string defaultSink, defaultSource;
    std::vector<PipeWireWaveStream*> streams;
    const uint32_t timeoutMs;
};

namespace {

using Connection = PipeWireSoundCard::Connection;

// One open stream. Everything is guarded by the connection's lock, which the PipeWire thread
// holds while it runs the callbacks; the buffers' flags are atomics the owner reads. A reset
// drops the pw_stream; it is made anew when needed, and the position starts over.
class PipeWireWaveStream final : public WaveStream {
  public:
    PipeWireWaveStream(std::shared_ptr<Connection> connection, WaveDirection dir,
                       Connection::Device device, const WaveFormatEx& format,
                       spa_audio_format spaFormat, EventHandle event, uint32_t flags)
        : conn_(std::move(connection)),
          dir_(dir),
          device_(std::move(device)),
          format_(format),
          spaFormat_(spaFormat),
          stride_(format.blockAlign),
          rate_(format.samplesPerSec),
          event_(event),
          flags_(flags),
          buffers_(dir, format.blockAlign, std::move(event)),
          running_(dir == WaveDirection::output) {
        Connection::Lock lock(*conn_);
        conn_->streams.push_back(this);
    }
    ~PipeWireWaveStream() override {
        close();
        Connection::Lock lock(*conn_);
        std::erase(conn_->streams, this);
    }

    MmResult begin() {
        Connection::Lock lock(*conn_);
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
        if (!stream_)
            return makeStream();
        pw_stream_set_active(stream_, true);
        if (dir_ == WaveDirection::output)
            fillOutput();
        else
            takeBacklog();
        return kMmNoError;
    }

    MmResult stop() override {
        if (dir_ == WaveDirection::output)
            return pause();
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (running_ && stream_ && !lost_) {
            pw_stream_set_active(stream_, false);
            // What the graph captured before the stop belongs in the current buffer.
            readCycles();
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
            pw_stream_set_active(stream_, false);
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
        backlog_.clear();
        backlogFrom_ = 0;
        moved_ = written_ = 0;
        frameBase_ = 0;
        position_.store(0, std::memory_order_relaxed);
        return kMmNoError;
    }

    MmResult close() override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        closed_ = true;
        dropStream();
        buffers_.returnAll();
        return kMmNoError;
    }

    MmResult position(uint64_t& samples) override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (dir_ == WaveDirection::output)
            retire();
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

    // The graph's own clock: the reading its thread took at the last cycle (processCycle).
    MmResult timing(StreamTiming& out) override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (lost_)
            return kMmNoDriver;
        renewAfterWake();
        out = {nowNs(), 0};
        int64_t ns = 0, frames = 0;
        if (stream_ && lastReading(ns, frames))
            out = {ns, static_cast<uint64_t>(std::max<int64_t>(0, frames))};
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
        if (!stream_)
            return kMmNoError;
        const std::string latency = latencyText();
        const spa_dict_item item = SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency.c_str());
        const spa_dict dict = SPA_DICT_INIT(&item, 1);
        pw_stream_update_properties(stream_, &dict);
        return kMmNoError;
    }

    MmResult setRate(uint32_t samplesPerSec) override {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (!(flags_ & kWaveVariableRate) || samplesPerSec == 0 || samplesPerSec > 384000)
            return kMmNotSupported;
        if (lost_)
            return kMmNoDriver;
        rate_ = samplesPerSec;
        return applyRate() ? kMmNoError : kMmError;
    }

    // The whole server went: the stream is lost, its buffers come back. Its pw_stream stays
    // until the connection is made anew (it is being torn down by the core's own event).
    void onServerGone() {
        state_.serverGone = true;
        loseStream(false);
    }

    void onNodeGone(const std::string& name) {
        if (!device_.target.empty() && device_.target == name)
            loseStream(true);
    }

    // A stream on the default follows the user's default device; the session manager moves it.
    void onDefaultChanged(bool sink, const std::string& name) {
        if (!device_.target.empty() || device_.monitor || name.empty() ||
            sink != (dir_ == WaveDirection::output) || name == state_.deviceKey)
            return;
        if (!state_.deviceKey.empty())
            moves_.fetch_add(1, std::memory_order_relaxed);
        state_.deviceKey = name;
        if (event_)
            event_->set();
    }

    // A recording's new stream (see DeviceSleep) is made by the next caller: the PipeWire
    // thread cannot wait for it.
    void onNodeAsleep(const std::string& name, bool asleep) {
        // A monitor's key names its sink's node.
        const std::string_view key = state_.deviceKey;
        const std::string_view node =
            key.ends_with(".monitor") && key.substr(0, key.size() - 8) == name
                ? key.substr(0, key.size() - 8)
                : key;
        if (node != name)
            return;
        const bool underWay = stream_ && graphFrames_.load(std::memory_order_relaxed) != 0;
        const auto news = sleep_.note(asleep, underWay, dir_ == WaveDirection::input, state_);
        if (news == DeviceSleep::News::none)
            return;
        if (news == DeviceSleep::News::asleep) {
            int64_t ns = 0, frames = 0;
            beforeSleep_ = stream_ && lastReading(ns, frames)
                               ? StreamTiming{ns, static_cast<uint64_t>(std::max<int64_t>(0, frames))}
                               : StreamTiming{};
        }
        if (event_)
            event_->set();
    }

    // The new stream's audio follows the old stream's last, after silence as long as the
    // old stream's readings wanted by now: the recording keeps its clock, and the audio
    // lost is one dropout. Lock held, not on the PipeWire thread.
    void renewAfterWake() {
        if (conn_->inThread() || !sleep_.takeRenewal())
            return;
        const bool keepClock = running_ && stream_ && beforeSleep_.monotonicNs > 0;
        readCycles();
        const uint64_t have = (moved_ + backlog_.size() - backlogFrom_) / stride_;
        dropStream();
        const int64_t now = nowNs();
        const double wanted = beforeSleep_.framesBy(now, rate_);
        const uint64_t silence =
            keepClock ? static_cast<uint64_t>(std::llround(
                            std::max(0.0, wanted - static_cast<double>(have))))
                      : 0;
        if (silence > 0) {
            backlog_.resize(backlog_.size() + silence * stride_,
                            spaFormat_ == SPA_AUDIO_FORMAT_U8 ? 0x80 : 0);
            xruns_.fetch_add(1, std::memory_order_relaxed);
        }
        // The new stream's readings count on from there; until its first, the line is it.
        frameBase_ = static_cast<int64_t>(have + silence);
        startNs_ = now;
        const MmResult made = makeStream();
        startNs_ = 0;
        if (made != kMmNoError) {
            loseStream(true);
            return;
        }
        state_.suspended = false;
        takeBacklog();
    }

    void dropStream() {
        if (!stream_)
            return;
        pw_stream* s = stream_;
        stream_ = nullptr;
        spa_hook_remove(&listener_);
        // Once destroyed, its cycles have stopped: the graph's thread is done with it.
        pw_stream_destroy(s);
        rtStream_ = nullptr;
        pw_loop* l = pw_thread_loop_get_loop(conn_->loop);
        if (retireTimer_)
            pw_loop_destroy_source(l, retireTimer_);
        if (wake_)
            pw_loop_destroy_source(l, wake_);
        retireTimer_ = wake_ = nullptr;
    }

  private:
    std::string latencyText() const {
        const uint32_t ms = scale_ > 1 ? kBaseChunkMs * scale_ : kRequestMs;
        return std::to_string(static_cast<uint64_t>(format_.samplesPerSec) * ms / 1000) + "/" +
               std::to_string(format_.samplesPerSec);
    }

    MmResult makeStream() {
        if (!conn_->ensureCore())
            return kMmNoDriver;
        const std::string latency = latencyText();
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
            dir_ == WaveDirection::output ? "Playback" : "Capture", PW_KEY_MEDIA_ROLE, "Music",
            PW_KEY_APP_NAME, "RuzizavuVodideza", PW_KEY_APP_ID, "ruzizavuvodideza",
            PW_KEY_NODE_NAME, "RuzizavuVodideza", PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
        if (!device_.target.empty()) {
            pw_properties_set(props, PW_KEY_TARGET_OBJECT, device_.target.c_str());
            pw_properties_set(props, PW_KEY_NODE_DONT_RECONNECT, "true");
        }
        if (device_.monitor)
            pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
        pw_stream* s = pw_stream_new(conn_->core,
                                     dir_ == WaveDirection::output ? "Playback" : "Recording",
                                     props);
        if (!s)
            return kMmNoMem;
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &PipeWireWaveStream::onState;
            e.process = &PipeWireWaveStream::onProcess;
            return e;
        }();
        listener_ = {};
        pw_stream_add_listener(s, &listener_, &events, this);

        spa_audio_info_raw info{};
        info.format = spaFormat_;
        info.rate = format_.samplesPerSec;
        info.channels = format_.channels;
        if (format_.channels == 1) {
            info.position[0] = SPA_AUDIO_CHANNEL_MONO;
        } else if (format_.channels == 2) {
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
        } else {
            info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
        }
        uint8_t podMemory[1024];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, podMemory, sizeof podMemory);
        const spa_pod* params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        auto flags = static_cast<pw_stream_flags>(
            PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        if (!running_)
            flags = static_cast<pw_stream_flags>(flags | PW_STREAM_FLAG_INACTIVE);
        // A new stream starts from zero: no cycles run for it yet.
        uint32_t ringBytes = 1;
        while (ringBytes < format_.samplesPerSec * stride_ * (dir_ == WaveDirection::output ? 1 : 2))
            ringBytes *= 2;
        ringMemory_.assign(ringBytes, 0);
        spa_ringbuffer_init(&ring_);
        graphFrames_ = 0;
        starved_ = false;
        readingNs_ = startNs_;
        readingFrames_ = frameBase_;
        written_ = 0;
        if (!wake_)
            wake_ = pw_loop_add_event(pw_thread_loop_get_loop(conn_->loop),
                                      &PipeWireWaveStream::onWake, this);
        stream_ = rtStream_ = s;
        const int result = pw_stream_connect(
            s, dir_ == WaveDirection::output ? PW_DIRECTION_OUTPUT : PW_DIRECTION_INPUT,
            PW_ID_ANY, flags, params, 1);
        if (result < 0) {
            dropStream();
            return kPipeWireResultBase + static_cast<MmResult>(-result);
        }
        conn_->waitUntil(
            [this, s] {
                return stream_ != s || lost_ ||
                       pw_stream_get_state(s, nullptr) != PW_STREAM_STATE_CONNECTING;
            },
            conn_->timeoutMs);
        if (stream_ != s || lost_ || pw_stream_get_state(s, nullptr) == PW_STREAM_STATE_ERROR ||
            pw_stream_get_state(s, nullptr) == PW_STREAM_STATE_UNCONNECTED) {
            dropStream();
            lost_ = false;
            state_.serverGone = false;
            return kMmNoDriver;
        }
        if (rate_ != format_.samplesPerSec)
            applyRate();
        state_.deviceKey = !device_.target.empty()
                               ? device_.key
                               : (dir_ == WaveDirection::output
                                                      ? conn_->defaultSink
                                                      : conn_->sourceKey(conn_->defaultSource));
        return kMmNoError;
    }

    bool applyRate() {
        if (!stream_)
            return true;
        float ratio = static_cast<float>(static_cast<double>(rate_) / format_.samplesPerSec);
        return pw_stream_set_control(stream_, SPA_PROP_rate, 1, &ratio, 0) >= 0;
    }

    // The graph's thread, once a cycle: moves one buffer between the graph and the ring, and
    // notes where the stream was at the cycle's moment (the reading timing() gives): at
    // t.now, `frames` of ours had been heard at the device (playback: taken by the graph, less
    // those still in its converter and on their way to the device) or captured there
    // (recording: handed over, plus those in the converter and on their way from the device).
    // Playback buffers are exactly a cycle's request here, so no part of one hides outside
    // the count.
    void processCycle() {
        pw_time t{};
        pw_stream* s = rtStream_;
        const bool timed = pw_stream_get_time_n(s, &t, sizeof t) >= 0 && t.rate.denom > 0;
        pw_buffer* pb = pw_stream_dequeue_buffer(s);
        if (!pb)
            return;
        int64_t frames = 0;
        if (dir_ == WaveDirection::output) {
            spa_data& d = pb->buffer->datas[0];
            auto* data = static_cast<uint8_t*>(d.data);
            const uint32_t size = ringMemory_.size();
            uint32_t index = 0;
            const uint64_t before = graphFrames_.load(std::memory_order_relaxed);
            uint64_t want = pb->requested > 0 ? pb->requested : requestFrames();
            want = std::min<uint64_t>(want, data ? d.maxsize / stride_ : 0);
            const int32_t filled = spa_ringbuffer_get_read_index(&ring_, &index);
            const uint64_t take = std::min<uint64_t>(want, std::max(0, filled) / stride_);
            if (take > 0) {
                spa_ringbuffer_read_data(&ring_, ringMemory_.data(), size, index % size, data,
                                         static_cast<uint32_t>(take * stride_));
                spa_ringbuffer_read_update(&ring_, static_cast<int32_t>(index + take * stride_));
                if (starved_.exchange(false, std::memory_order_relaxed))
                    xruns_.fetch_add(1, std::memory_order_relaxed);
            }
            // Short of audio: silence for the rest of the cycle. A gap, if more audio follows.
            if (take < want) {
                std::memset(data + take * stride_, spaFormat_ == SPA_AUDIO_FORMAT_U8 ? 0x80 : 0,
                            (want - take) * stride_);
                if (before + take > 0)
                    starved_.store(true, std::memory_order_relaxed);
            }
            d.chunk->offset = 0;
            d.chunk->stride = static_cast<int32_t>(stride_);
            d.chunk->size = static_cast<uint32_t>(want * stride_);
            pb->size = want;
            graphFrames_.store(before + take, std::memory_order_relaxed);
            frames = static_cast<int64_t>(before);
            pw_stream_queue_buffer(s, pb);
        } else {
            // Every buffer the graph has ready: one left for the next cycle would hold the
            // recording a cycle late from then on, and the count would not show it.
            for (; pb; pb = pw_stream_dequeue_buffer(s)) {
                takeCapture(*pb);
                pw_stream_queue_buffer(s, pb);
            }
            frames = static_cast<int64_t>(graphFrames_.load(std::memory_order_relaxed));
        }
        if (timed) {
            const double perTick =
                static_cast<double>(t.rate.num) / t.rate.denom * format_.samplesPerSec;
            const auto delay = std::llround(static_cast<double>(t.delay) * perTick);
            const auto buffered = static_cast<int64_t>(t.buffered);
            // A buffer of ours the graph has not taken yet plays a cycle later; the delay
            // leaves it out.
            const auto queued = static_cast<int64_t>(t.queued);
            frames += dir_ == WaveDirection::output ? -(delay + buffered + queued)
                                                    : delay + buffered + frameBase_;
            const uint32_t seq = readingSeq_.fetch_add(1, std::memory_order_acq_rel);
            readingNs_.store(t.now, std::memory_order_relaxed);
            readingFrames_.store(frames, std::memory_order_relaxed);
            readingSeq_.store(seq + 2, std::memory_order_release);
        }
        pw_loop_signal_event(pw_thread_loop_get_loop(conn_->loop), wake_);
    }

    void takeCapture(const pw_buffer& pb) {
        const spa_data& d = pb.buffer->datas[0];
        const auto* data = static_cast<const uint8_t*>(d.data);
        const uint32_t size = ringMemory_.size();
        const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        const uint32_t bytes = std::min(d.chunk->size, d.maxsize - offset) / stride_ * stride_;
        uint32_t index = 0;
        const int32_t filled = spa_ringbuffer_get_write_index(&ring_, &index);
        if (data && bytes > 0 && static_cast<uint32_t>(std::max(0, filled)) + bytes <= size) {
            spa_ringbuffer_write_data(&ring_, ringMemory_.data(), size, index % size,
                                      data + offset, bytes);
            spa_ringbuffer_write_update(&ring_, static_cast<int32_t>(index + bytes));
            graphFrames_.fetch_add(bytes / stride_, std::memory_order_relaxed);
        } else if (bytes > 0) {
            xruns_.fetch_add(1, std::memory_order_relaxed);  // the ring is full
        }
    }

    // The latest reading of the graph's thread; false before the first.
    bool lastReading(int64_t& ns, int64_t& frames) const {
        for (;;) {
            const uint32_t seq = readingSeq_.load(std::memory_order_acquire);
            if (seq & 1)
                continue;
            ns = readingNs_.load(std::memory_order_relaxed);
            frames = readingFrames_.load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (readingSeq_.load(std::memory_order_relaxed) == seq)
                return ns != 0;
        }
    }

    MmResult enqueue(WaveBuffer& b) {
        Connection::Lock lock(*conn_);
        if (closed_)
            return kMmInvalidHandle;
        if (const MmResult queued = buffers_.push(b, lost_); queued != kMmNoError)
            return queued;
        renewAfterWake();
        if (dir_ == WaveDirection::output) {
            // A reset dropped the stream; playing again needs a new one.
            if (!stream_ && makeStream() != kMmNoError) {
                loseStream(false);
                return kMmNoError;
            }
            fillOutput();
        } else {
            takeBacklog();
        }
        return kMmNoError;
    }

    uint32_t requestFrames() const {
        const uint32_t ms = scale_ > 1 ? kBaseChunkMs * scale_ : kRequestMs;
        return std::max<uint32_t>(1, format_.samplesPerSec * ms / 1000);
    }

    // Audio kept ready for the graph's thread: two requests; more only adds latency.
    uint64_t ringTargetFrames() const { return 2 * requestFrames(); }

    // Playback: moves queued audio into the ring, up to its target.
    void fillOutput() {
        if (!stream_ || lost_)
            return;
        const uint32_t size = ringMemory_.size();
        uint32_t index = 0;
        const int32_t filled = spa_ringbuffer_get_write_index(&ring_, &index);
        uint64_t room = ringTargetFrames() * stride_;
        room = room > static_cast<uint64_t>(std::max(0, filled)) ? room - std::max(0, filled) : 0;
        room = std::min<uint64_t>(room, size - std::max(0, filled)) / stride_ * stride_;
        uint64_t done = 0;
        while (!buffers_.empty() && done < room) {
            const std::span<uint8_t> left = buffers_.frontRoom();
            const uint64_t n = std::min<uint64_t>(left.size(), room - done);
            spa_ringbuffer_write_data(&ring_, ringMemory_.data(), size,
                                      static_cast<uint32_t>((index + done) % size), left.data(),
                                      static_cast<uint32_t>(n));
            done += n;
            buffers_.advance(static_cast<uint32_t>(n), written_ + done / stride_);
        }
        if (done > 0)
            spa_ringbuffer_write_update(&ring_, static_cast<int32_t>(index + done));
        written_ += done / stride_;
        armRetire();
    }

    // Frames heard by now, from the graph's last reading.
    uint64_t heardFrames() const {
        int64_t ns = 0, frames = 0;
        if (!stream_ || !lastReading(ns, frames))
            return position_.load(std::memory_order_relaxed);
        const double elapsed = running_ ? static_cast<double>(nowNs() - ns) * rate_ / 1e9 : 0;
        const int64_t heard = frames + static_cast<int64_t>(std::max(0.0, elapsed));
        const auto taken = static_cast<int64_t>(graphFrames_.load(std::memory_order_relaxed));
        return static_cast<uint64_t>(std::clamp<int64_t>(heard, 0, taken));
    }

    // A playback buffer comes back once it has been heard.
    void retire() {
        const uint64_t heard = std::max(position_.load(std::memory_order_relaxed), heardFrames());
        position_.store(heard, std::memory_order_relaxed);
        buffers_.retireUpTo(heard);
    }

    // The cycles retire what was heard; this timer is for when they stop coming (a paused
    // graph, the end of playback): it fires a little after the first buffer's end is due.
    void armRetire() {
        if (!stream_ || !buffers_.firstSentEnd())
            return;
        pw_loop* l = pw_thread_loop_get_loop(conn_->loop);
        if (!retireTimer_) {
            retireTimer_ = pw_loop_add_timer(
                l,
                [](void* user, uint64_t) {
                    auto* self = static_cast<PipeWireWaveStream*>(user);
                    self->retire();
                    self->armRetire();
                },
                this);
            if (!retireTimer_)
                return;
        }
        const uint64_t heard = position_.load(std::memory_order_relaxed);
        const uint64_t end = buffers_.firstSentEnd().value_or(0);
        const uint64_t ahead = end > heard ? end - heard : 0;
        const uint64_t waitNs =
            std::min<uint64_t>(ahead * 1'000'000'000 / std::max<uint32_t>(1, rate_), 500'000'000) +
            3ULL * requestFrames() * 1'000'000'000 / std::max<uint32_t>(1, rate_);
        timespec value{static_cast<time_t>(waitNs / 1'000'000'000),
                       static_cast<long>(waitNs % 1'000'000'000)};
        timespec none{0, 0};
        pw_loop_update_timer(l, retireTimer_, &value, &none, false);
    }

    // Recording: takes what the graph's thread put into the ring.
    void readCycles() {
        if (!stream_)
            return;
        const uint32_t size = ringMemory_.size();
        uint32_t index = 0;
        const int32_t filled = spa_ringbuffer_get_read_index(&ring_, &index);
        if (filled > 0) {
            const size_t at = backlog_.size();
            if (running_) {
                backlog_.resize(at + static_cast<size_t>(filled));
                spa_ringbuffer_read_data(&ring_, ringMemory_.data(), size, index % size,
                                         backlog_.data() + at, static_cast<uint32_t>(filled));
            }
            spa_ringbuffer_read_update(&ring_, static_cast<int32_t>(index + filled));
        }
        dropExcessBacklog();
        takeBacklog();
    }

    void dropExcessBacklog() {
        const size_t limit = static_cast<size_t>(format_.samplesPerSec) * kRecordBacklogMs / 1000 *
                             stride_;
        const size_t held = backlog_.size() - backlogFrom_;
        if (held <= limit)
            return;
        xruns_.fetch_add(1, std::memory_order_relaxed);
        const size_t drop = (held - limit) / stride_ * stride_;
        backlogFrom_ += drop;
        moved_ += drop;
        position_.store(moved_ / stride_, std::memory_order_relaxed);
    }

    // Copies the delivered audio into the queued buffers, in order.
    void takeBacklog() {
        while (!buffers_.empty() && backlogFrom_ < backlog_.size()) {
            const std::span<uint8_t> room = buffers_.frontRoom();
            const size_t n = std::min(room.size(), backlog_.size() - backlogFrom_);
            std::memcpy(room.data(), backlog_.data() + backlogFrom_, n);
            backlogFrom_ += n;
            moved_ += n;
            buffers_.advance(static_cast<uint32_t>(n));
        }
        if (backlogFrom_ == backlog_.size()) {
            backlog_.clear();
            backlogFrom_ = 0;
        } else if (backlogFrom_ > (1u << 20)) {
            backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<ptrdiff_t>(backlogFrom_));
            backlogFrom_ = 0;
        }
        position_.store(moved_ / stride_, std::memory_order_relaxed);
    }

    void loseStream(bool drop) {
        if (lost_)
            return;
        // Every buffer is back before the stream says it is lost.
        if (drop)
            dropStream();
        buffers_.returnAll();
        lost_.store(true, std::memory_order_release);
        if (event_)
            event_->set();
        conn_->signal();
    }

    static void onState(void* user, pw_stream_state, pw_stream_state state, const char*) {
        auto* self = static_cast<PipeWireWaveStream*>(user);
        if (state == PW_STREAM_STATE_ERROR ||
            (state == PW_STREAM_STATE_UNCONNECTED && self->stream_)) {
            self->state_.serverGone = self->conn_->gone;
            // Not dropped here: the stream is inside its own event.
            self->loseStream(false);
        }
        self->conn_->signal();
    }

    static void onProcess(void* user) { static_cast<PipeWireWaveStream*>(user)->processCycle(); }

    // On the PipeWire thread after each cycle: the queue and the ring catch up.
    static void onWake(void* user, uint64_t) {
        auto* self = static_cast<PipeWireWaveStream*>(user);
        if (!self->stream_)
            return;
        if (self->dir_ == WaveDirection::output) {
            self->retire();
            self->fillOutput();
        } else {
            self->readCycles();
        }
    }

    const std::shared_ptr<Connection> conn_;
    const WaveDirection dir_;
    const Connection::Device device_;  // target empty: the default
    const WaveFormatEx format_;
    const spa_audio_format spaFormat_;
    const uint32_t stride_;
    uint32_t rate_;  // as set by setRate
    const EventHandle event_;
    const uint32_t flags_;

    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    spa_source* retireTimer_ = nullptr;
    WaveBufferQueue buffers_;
    uint32_t scale_ = 1;      // of the request size, set by the device's chunk time
    uint64_t written_ = 0;    // playback: frames put into the ring
    uint64_t moved_ = 0;      // recording: bytes put into buffers (or dropped as too old)
    std::vector<uint8_t> backlog_;  // recording: delivered, not in a buffer yet
    size_t backlogFrom_ = 0;
    bool running_;
    bool closed_ = false;
    DeviceState state_;
    // The device's sleep as last heard, and the last reading before it.
    DeviceSleep sleep_;
    StreamTiming beforeSleep_;
    int64_t startNs_ = 0;  // a new stream's first reading's moment, when it goes on a line

    std::atomic<bool> lost_{false};
    std::atomic<uint64_t> position_{0};
    std::atomic<uint32_t> xruns_{0};
    std::atomic<uint32_t> moves_{0};

    // Shared with the graph's thread, which runs processCycle while the stream is connected.
    pw_stream* rtStream_ = nullptr;  // set before the connection, cleared after its end
    spa_source* wake_ = nullptr;     // the graph's thread wakes the PipeWire thread with it
    std::vector<uint8_t> ringMemory_;  // a power of two long
    spa_ringbuffer ring_{};
    std::atomic<uint64_t> graphFrames_{0};  // taken from the ring, or put into it, by the graph
    std::atomic<bool> starved_{false};      // the graph found the ring empty after audio
    // The last cycle's reading, written by the graph's thread under a sequence count.
    std::atomic<uint32_t> readingSeq_{0};
    std::atomic<int64_t> readingNs_{0};
    std::atomic<int64_t> readingFrames_{0};
    // Recording: frames before the stream's first (set before it connects, read by the graph).
    int64_t frameBase_ = 0;
};

}  // namespace

bool PipeWireSoundCard::Connection::ensureCore() {
    if (!loop)
        return false;
    if (core && !gone)
        return true;
    dropCore();
    core = pw_context_connect(context, nullptr, 0);
    if (!core)
        return false;
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.info = [](void* user, const pw_core_info* info) {
            if (info && info->version)
                static_cast<Connection*>(user)->version = info->version;
        };
        e.done = [](void* user, uint32_t id, int seq) {
            auto* self = static_cast<Connection*>(user);
            if (id == PW_ID_CORE) {
                self->doneSeq = seq;
                self->signal();
            }
        };
        e.error = [](void* user, uint32_t id, int, int res, const char*) {
            auto* self = static_cast<Connection*>(user);
            if (id == PW_ID_CORE && res == -EPIPE)
                self->serverGone();
        };
        return e;
    }();
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = [](void* user, uint32_t id, uint32_t, const char* type, uint32_t,
                      const spa_dict* props) {
            auto* self = static_cast<Connection*>(user);
            if (!props)
                return;
            if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
                const char* cls = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
                const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
                if (!cls || !name)
                    return;
                const bool sink = std::strcmp(cls, "Audio/Sink") == 0;
                if (!sink && std::strcmp(cls, "Audio/Source") != 0 &&
                    std::strcmp(cls, "Audio/Source/Virtual") != 0)
                    return;
                const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
                if (!description)
                    description = spa_dict_lookup(props, PW_KEY_NODE_NICK);
                self->nodes[id] = {name, description ? description : name, sink};
                self->watchNode(id, name);
            } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && !self->metadata) {
                const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
                if (!name || std::strcmp(name, "default") != 0)
                    return;
                static const pw_metadata_events metadataEvents = [] {
                    pw_metadata_events m{};
                    m.version = PW_VERSION_METADATA_EVENTS;
                    m.property = [](void* user, uint32_t subject, const char* key, const char*,
                                    const char* value) {
                        auto* c = static_cast<Connection*>(user);
                        if (subject != PW_ID_CORE)
                            return 0;
                        if (!key || std::strcmp(key, "default.audio.sink") == 0) {
                            c->defaultSink = key ? nameInJson(value) : std::string();
                            c->defaultChanged(true);
                        }
                        if (!key || std::strcmp(key, "default.audio.source") == 0) {
                            c->defaultSource = key ? nameInJson(value) : std::string();
                            c->defaultChanged(false);
                        }
                        return 0;
                    };
                    return m;
                }();
                self->metadata = static_cast<pw_metadata*>(
                    pw_registry_bind(self->registry, id, type, PW_VERSION_METADATA, 0));
                if (!self->metadata)
                    return;
                self->metadataId = id;
                self->metadataListener = {};
                pw_metadata_add_listener(self->metadata, &self->metadataListener,
                                         &metadataEvents, self);
            }
        };
        e.global_remove = [](void* user, uint32_t id) {
            auto* self = static_cast<Connection*>(user);
            if (id == self->metadataId && self->metadata) {
                spa_hook_remove(&self->metadataListener);
                pw_proxy_destroy(reinterpret_cast<pw_proxy*>(self->metadata));
                self->metadata = nullptr;
                self->metadataId = SPA_ID_INVALID;
            }
            self->nodeWatches.erase(id);
            const auto node = self->nodes.find(id);
            if (node == self->nodes.end())
                return;
            const std::string name = node->second.name;
            self->nodes.erase(node);
            self->nodeGone(name);
        };
        return e;
    }();
    gone = false;
    coreListener = {};
    pw_core_add_listener(core, &coreListener, &coreEvents, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    if (registry) {
        registryListener = {};
        pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
    }
    // The second round trip brings the default metadata's values, bound in the first.
    if (!registry || !roundTrip() || !roundTrip()) {
        dropCore();
        return false;
    }
    return true;
}

void PipeWireSoundCard::Connection::dropCore() {
    if (!core)
        return;
    for (PipeWireWaveStream* s : streams)
        s->dropStream();
    if (metadata) {
        spa_hook_remove(&metadataListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata));
        metadata = nullptr;
        metadataId = SPA_ID_INVALID;
    }
    if (registry) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        registry = nullptr;
    }
    spa_hook_remove(&coreListener);
    nodeWatches.clear();
    pw_core_disconnect(core);
    core = nullptr;
    nodes.clear();
    defaultSink.clear();
    defaultSource.clear();
}

void PipeWireSoundCard::Connection::serverGone() {
    gone = true;
    for (PipeWireWaveStream* s : streams)
        s->onServerGone();
    signal();
}

void PipeWireSoundCard::Connection::nodeGone(const std::string& name) {
    for (PipeWireWaveStream* s : streams)
        s->onNodeGone(name);
}

void PipeWireSoundCard::Connection::watchNode(uint32_t id, const std::string& name) {
    static const pw_node_events nodeEvents = [] {
        pw_node_events e{};
        e.version = PW_VERSION_NODE_EVENTS;
        e.info = [](void* user, const pw_node_info* info) {
            auto* w = static_cast<NodeWatch*>(user);
            if (!info || !(info->change_mask & PW_NODE_CHANGE_MASK_STATE))
                return;
            const bool asleep = info->state == PW_NODE_STATE_SUSPENDED;
            if (asleep == w->asleep)
                return;
            w->asleep = asleep;
            w->connection->nodeAsleep(w->name, asleep);
        };
        return e;
    }();
    auto watch = std::make_unique<NodeWatch>();
    watch->connection = this;
    watch->name = name;
    watch->node = static_cast<pw_node*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (!watch->node)
        return;
    pw_node_add_listener(watch->node, &watch->listener, &nodeEvents, watch.get());
    nodeWatches[id] = std::move(watch);
}

void PipeWireSoundCard::Connection::nodeAsleep(const std::string& name, bool asleep) {
    for (PipeWireWaveStream* s : streams)
        s->onNodeAsleep(name, asleep);
}

void PipeWireSoundCard::Connection::defaultChanged(bool sink) {
    for (PipeWireWaveStream* s : streams)
        s->onDefaultChanged(sink, sink ? defaultSink : sourceKey(defaultSource));
}

std::shared_ptr<PipeWireSoundCard> PipeWireSoundCard::connect(uint32_t timeoutMs) {
    auto connection = std::make_shared<Connection>(timeoutMs);
    if (!connection->loop)
        return nullptr;
    {
        Connection::Lock lock(*connection);
        if (!connection->ensureCore())
            return nullptr;
    }
    return std::make_shared<PipeWireSoundCard>(std::move(connection));
}

PipeWireSoundCard::PipeWireSoundCard(std::shared_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

PipeWireSoundCard::~PipeWireSoundCard() = default;

uint32_t PipeWireSoundCard::deviceCount(WaveDirection direction) {
    Connection::Snapshot snap;
    connection_->snapshot(snap);
    return static_cast<uint32_t>(direction == WaveDirection::input ? snap.sources.size()
                                                                   : snap.sinks.size());
}

std::vector<DeviceInfo> PipeWireSoundCard::deviceList(WaveDirection direction) {
    Connection::Snapshot snap;
    const bool reached = connection_->snapshot(snap);
    const bool in = direction == WaveDirection::input;
    const auto& devices = in ? snap.sources : snap.sinks;
    const std::string& defaultName = in ? snap.defaultSource : snap.defaultSink;
    std::vector<DeviceInfo> list;
    DeviceInfo mapper;
    mapper.description = reached ? "Default" : "Default (no sound server)";
    for (const auto& d : devices)
        if (d.key == defaultName) {
            mapper.description = "Default (" + d.description + ")";
            break;
        }
    list.push_back(std::move(mapper));
    for (const auto& d : devices)
        list.push_back({d.key, d.description, d.monitor, d.key == defaultName});
    return list;
}

MmResult PipeWireSoundCard::caps(WaveDirection direction, int32_t deviceId, WaveCaps& caps) {
    auto list = deviceList(direction);
    if (deviceId < kWaveMapper || deviceId + 1 >= static_cast<int64_t>(list.size()))
        return kMmBadDeviceId;
    caps = WaveCaps{};
    caps.manufacturerId = 0xFFFF;
    caps.productId = deviceId == kWaveMapper ? 0xFFFF : static_cast<uint16_t>(deviceId);
    caps.driverVersion = PW_MAJOR * 10000 + PW_MINOR * 100 + PW_MICRO;
    caps.name = alsaWideText(list[static_cast<size_t>(deviceId + 1)].description, kWaveCapsNameMax);
    // The graph converts every format the wave devices use.
    caps.formats = 0xFFFFF;
    caps.channels = 2;
    return kMmNoError;
}

MmResult PipeWireSoundCard::open(WaveDirection direction, int32_t deviceId,
                                 const WaveFormatEx& format, EventHandle toSignal, uint32_t flags,
                                 std::unique_ptr<WaveStream>& out) {
    out.reset();
    if (deviceId < kWaveMapper)
        return kMmBadDeviceId;
    Connection::Device device;
    const char* chosen = std::getenv(direction == WaveDirection::input ? "PULSE_SOURCE"
                                                                       : "PULSE_SINK");
    if (deviceId == kWaveMapper && chosen && *chosen) {
        // The device libpulse's programs take for the default, so a user's (or a script's)
        // choice holds whichever backend plays; a chosen device does not follow the default.
        std::string_view name = chosen;
        device.key = chosen;
        device.monitor = direction == WaveDirection::input && name.ends_with(".monitor");
        device.target = device.monitor ? std::string(name.substr(0, name.size() - 8)) : device.key;
    } else if (deviceId != kWaveMapper) {
        Connection::Snapshot snap;
        if (!connection_->snapshot(snap))
            return kMmNoDriver;
        const auto& devices = direction == WaveDirection::input ? snap.sources : snap.sinks;
        if (static_cast<size_t>(deviceId) >= devices.size())
            return kMmBadDeviceId;
        device = devices[static_cast<size_t>(deviceId)];
    }
    spa_audio_format spaFormat{};
    if (!spaFormatOf(format, spaFormat))
        return kWaveErrBadFormat;
    if (flags & kWaveFormatQuery) {
        Connection::Lock lock(*connection_);
        return connection_->ensureCore() ? kMmNoError : kMmNoDriver;
    }
    auto stream = std::make_unique<PipeWireWaveStream>(connection_, direction, std::move(device),
                                                       format, spaFormat, std::move(toSignal),
                                                       flags);
    const MmResult result = stream->begin();
    if (result != kMmNoError)
        return result;
    out = std::move(stream);
    return kMmNoError;
}

std::optional<std::string> PipeWireSoundCard::errorText(WaveDirection, MmResult code) {
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
    if (code > kPipeWireResultBase && code < kPipeWireResultBase + 0x10000)
        return std::string(spa_strerror(-static_cast<int>(code - kPipeWireResultBase)));
    return std::nullopt;
}

std::string PipeWireSoundCard::backendName() const {
    Connection::Lock lock(*connection_);
    return connection_->version.empty() ? "PipeWire" : "PipeWire " + connection_->version;
}

}  // namespace platform
