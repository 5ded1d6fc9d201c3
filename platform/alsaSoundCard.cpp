#include "platform/alsaSoundCard.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <set>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/threadIdentity.h"
#include "platform/threadPriority.h"
#include "platform/waveBufferQueue.h"

namespace platform {

namespace {

// Recording reads as soon as a period is there, so only the period adds latency; the longer
// buffer merely absorbs late wake-ups. Playback latency is the whole buffer.
constexpr unsigned kInputPeriodUs = 10000;
constexpr unsigned kInputBufferUs = 100000;
constexpr unsigned kOutputPeriodUs = 20000;
constexpr unsigned kOutputBufferUs = 80000;
// A clock reading taken around a call that took longer than this says little about either.
constexpr int64_t kReadingSpreadNs = 500'000;

int64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}
constexpr int32_t kTimeCriticalPriority = 15;

void silentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

snd_pcm_stream_t alsaStream(WaveDirection d) {
    return d == WaveDirection::input ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

struct DeviceEntry {
    std::string name;  // what snd_pcm_open takes; also the stable key
    std::string description;
};

std::string firstLine(const char* text) {
    if (!text)
        return {};
    std::string s(text);
    return s.substr(0, s.find('\n'));
}

// The PCM names that ALSA itself and its plugin packages define (null, pulse, jack, the rate
// converters, upmix ...): plugins, not devices of this machine. Read once from the files under
// ALSA's data folder; what the administrator or the user configured elsewhere stays listed.
const std::set<std::string>& systemPcmNames() {
    static const std::set<std::string> names = [] {
        std::set<std::string> found;
        const std::string top = snd_config_topdir();
        std::vector<std::string> files{top + "/alsa.conf"};
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(top + "/alsa.conf.d", ec))
            if (entry.path().extension() == ".conf")
                files.push_back(entry.path().string());
        for (const auto& file : files) {
            snd_config_t* tree = nullptr;
            snd_input_t* in = nullptr;
            if (snd_config_top(&tree) < 0)
                continue;
            if (snd_input_stdio_open(&in, file.c_str(), "r") == 0) {
                snd_config_load(tree, in);
                snd_input_close(in);
            }
            snd_config_t* pcms = nullptr;
            if (snd_config_search(tree, "pcm", &pcms) == 0) {
                snd_config_iterator_t i, next;
                snd_config_for_each(i, next, pcms) {
                    const char* id = nullptr;
                    if (snd_config_get_id(snd_config_iterator_entry(i), &id) == 0 && id)
                        found.insert(id);
                }
            }
            snd_config_delete(tree);
        }
        found.erase("default");
        return found;
    }();
    return names;
}

// One entry per sound card device of the direction, "card name: device name", as
// `arecord -l` shows them; opened through plughw so every format fits. Keyed by the card's
// id, which stays when other cards come and go.
void addCardDevices(WaveDirection direction, std::vector<DeviceEntry>& out) {
    snd_ctl_card_info_t* cardInfo;
    snd_pcm_info_t* pcmInfo;
    snd_ctl_card_info_alloca(&cardInfo);
    snd_pcm_info_alloca(&pcmInfo);
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) < 0)
            continue;
        if (snd_ctl_card_info(ctl, cardInfo) == 0) {
            const std::string cardId = snd_ctl_card_info_get_id(cardInfo);
            const std::string cardName = snd_ctl_card_info_get_name(cardInfo);
            int device = -1;
            while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
                snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(device));
                snd_pcm_info_set_subdevice(pcmInfo, 0);
                snd_pcm_info_set_stream(pcmInfo, alsaStream(direction));
                if (snd_ctl_pcm_info(ctl, pcmInfo) < 0)
                    continue;  // the device has no such direction
                out.push_back({"plughw:CARD=" + cardId + ",DEV=" + std::to_string(device),
                               cardName + ": " + snd_pcm_info_get_name(pcmInfo)});
            }
        }
        snd_ctl_close(ctl);
    }
}

std::vector<DeviceEntry> listDevices(WaveDirection direction, std::string* defaultDescription) {
    std::vector<DeviceEntry> out;
    std::lock_guard lock(alsaConfigMutex());
    addCardDevices(direction, out);
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints)
        return out;
    const auto& system = systemPcmNames();
    const char* wanted = direction == WaveDirection::input ? "Input" : "Output";
    for (void** h = hints; *h; ++h) {
        char* name = snd_device_name_get_hint(*h, "NAME");
        char* desc = snd_device_name_get_hint(*h, "DESC");
        char* ioid = snd_device_name_get_hint(*h, "IOID");
        if (name && (!ioid || std::strcmp(ioid, wanted) == 0)) {
            const std::string pcm = name;
            if (pcm == "default") {
                if (defaultDescription)
                    *defaultDescription = firstLine(desc);
            } else if (pcm.find("CARD=") == std::string::npos &&
                       !system.contains(pcm.substr(0, pcm.find(':')))) {
                // A device the user or administrator configured; the cards came above.
                std::string text = firstLine(desc);
                out.push_back({pcm, text.empty() ? pcm : text});
            }
        }
        std::free(name);
        std::free(desc);
        std::free(ioid);
    }
    snd_device_name_free_hint(hints);
    return out;
}

std::wstring fromUtf8(const std::string& s, size_t maxChars) {
    std::wstring out;
    for (size_t i = 0; i < s.size() && out.size() < maxChars;) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || (extra > 0 && i + extra >= s.size())) {
            out.push_back(L'?');
            ++i;
            continue;
        }
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        out.push_back(ok ? static_cast<wchar_t>(cp) : L'?');
        i += ok ? extra + 1 : 1;
    }
    return out;
}

MmResult fromAlsa(int err) {
    switch (-err) {
        case EBUSY:
        case EAGAIN:
            return kMmAllocated;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return kMmBadDeviceId;
        case ENOMEM:
            return kMmNoMem;
        default:
            return kAlsaResultBase + static_cast<MmResult>(err < 0 ? -err : err);
    }
}

bool alsaFormatOf(const WaveFormatEx& f, snd_pcm_format_t& out) {
    if (f.channels == 0 || f.samplesPerSec == 0)
        return false;
    if (f.formatTag == kWaveFormatPcm) {
        switch (f.bitsPerSample) {
            case 8:
                out = SND_PCM_FORMAT_U8;
                break;
            case 16:
                out = SND_PCM_FORMAT_S16_LE;
                break;
            case 24:
                out = SND_PCM_FORMAT_S24_3LE;
                break;
            case 32:
                out = SND_PCM_FORMAT_S32_LE;
                break;
            default:
                return false;
        }
    } else if (f.formatTag == 3) {  // IEEE float
        switch (f.bitsPerSample) {
            case 32:
                out = SND_PCM_FORMAT_FLOAT_LE;
                break;
            case 64:
                out = SND_PCM_FORMAT_FLOAT64_LE;
                break;
            default:
                return false;
        }
    } else {
        return false;
    }
    return f.blockAlign == f.channels * (f.bitsPerSample / 8);
}

bool resolveName(WaveDirection direction, int32_t deviceId, std::string& name) {
    if (deviceId == kWaveMapper) {
        name = "default";
        return true;
    }
    auto devices = listDevices(direction, nullptr);
    if (deviceId < 0 || static_cast<size_t>(deviceId) >= devices.size())
        return false;
    name = devices[deviceId].name;
    return true;
}

bool formatFits(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, snd_pcm_format_t format, unsigned channels,
                unsigned rate) {
    return snd_pcm_hw_params_test_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) == 0 &&
           snd_pcm_hw_params_test_format(pcm, hw, format) == 0 &&
           snd_pcm_hw_params_test_channels(pcm, hw, channels) == 0 &&
           snd_pcm_hw_params_test_rate(pcm, hw, rate, 0) == 0;
}

struct HwSetup {
    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t bufferSize = 0;
    unsigned rate = 0;
    bool canPause = false;
};

int configure(snd_pcm_t* pcm, WaveDirection dir, snd_pcm_format_t format, const WaveFormatEx& f,
              HwSetup& setup) {
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err < 0)
        return err;
    if (!formatFits(pcm, hw, format, f.channels, f.samplesPerSec))
        return -EINVAL;
    if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, hw, format)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, f.channels)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(pcm, hw, f.samplesPerSec, 0)) < 0)
        return err;
    const bool in = dir == WaveDirection::input;
    unsigned periodUs = in ? kInputPeriodUs : kOutputPeriodUs;
    unsigned bufferUs = in ? kInputBufferUs : kOutputBufferUs;
    int d = 0;
    // A device that cannot meet these keeps its own choice; both calls are only wishes.
    snd_pcm_hw_params_set_period_time_near(pcm, hw, &periodUs, &d);
    d = 0;
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &bufferUs, &d);
    if ((err = snd_pcm_hw_params(pcm, hw)) < 0)
        return err;
    d = 0;
    snd_pcm_hw_params_get_period_size(hw, &setup.period, &d);
    snd_pcm_hw_params_get_buffer_size(hw, &setup.bufferSize);
    setup.canPause = snd_pcm_hw_params_can_pause(hw) != 0;
    setup.rate = f.samplesPerSec;
    if (setup.period == 0)
        setup.period = 1;

    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0)
        return err;
    snd_pcm_sw_params_set_avail_min(pcm, sw, setup.period);
    // Playback is started by hand once a period is written, so a short tail still plays.
    snd_pcm_sw_params_set_start_threshold(pcm, sw, in ? 1 : setup.bufferSize);
    return snd_pcm_sw_params(pcm, sw);
}

// One open PCM. The worker thread alone talks to ALSA after open and alone takes buffers off
// the queue; callers append buffers and post commands, which the worker carries out while
// the caller waits. m_ guards the queue and the command list.
class AlsaWaveStream final : public WaveStream {
  public:
    AlsaWaveStream(snd_pcm_t* pcm, WaveDirection dir, uint32_t blockAlign, HwSetup setup,
                   EventHandle event, int wakeFd)
        : pcm_(pcm),
          dir_(dir),
          blockAlign_(blockAlign),
          setup_(setup),
          event_(std::move(event)),
          wakeFd_(wakeFd),
          running_(dir == WaveDirection::output),
          scratch_(static_cast<size_t>(setup.period) * blockAlign) {
        worker_ = std::thread([this] { run(); });
    }
    ~AlsaWaveStream() override { close(); }

    WaveDirection direction() const override { return dir_; }

    MmResult prepare(WaveBuffer& b) override {
        if (!b.data && b.bufferLength > 0)
            return kMmInvalidParam;
        std::lock_guard lock(m_);
        if (!accepting_)
            return kMmInvalidHandle;
        return WaveBufferQueue::prepare(b);
    }

    MmResult unprepare(WaveBuffer& b) override {
        std::lock_guard lock(m_);
        return WaveBufferQueue::unprepare(b);
    }

    MmResult addBuffer(WaveBuffer& b) override {
        return dir_ == WaveDirection::input ? enqueue(b) : kMmNotSupported;
    }
    MmResult write(WaveBuffer& b) override {
        return dir_ == WaveDirection::output ? enqueue(b) : kMmNotSupported;
    }

    MmResult start() override { return post(Command::start); }
    MmResult stop() override { return post(Command::stop); }
    MmResult pause() override {
        return dir_ == WaveDirection::output ? post(Command::pause) : kMmNotSupported;
    }
    MmResult reset() override { return post(Command::reset); }

    MmResult close() override {
        uint64_t seq;
        {
            std::lock_guard lock(m_);
            if (!accepting_)
                return kMmInvalidHandle;
            accepting_ = false;
            seq = ++nextSeq_;
            pending_.push_back({seq, Command::close});
        }
        wake();
        worker_.join();
        snd_pcm_close(pcm_);
        ::close(wakeFd_);
        return kMmNoError;
    }

    MmResult position(uint64_t& samples) override {
        {
            std::lock_guard lock(m_);
            if (!accepting_)
                return kMmInvalidHandle;
        }
        samples = position_.load(std::memory_order_relaxed);
        return kMmNoError;
    }

    uint32_t xrunCount() const override { return xruns_.load(std::memory_order_relaxed); }
    bool isLost() const override { return lost_.load(std::memory_order_acquire); }

    MmResult timing(StreamTiming& out) override {
        std::lock_guard lock(m_);
        if (!accepting_)
            return kMmInvalidHandle;
        if (!hasReading_)
            return kMmNotSupported;
        out = reading_;
        return kMmNoError;
    }

  private:
    enum class Command { start, stop, pause, reset, close };

    MmResult enqueue(WaveBuffer& b) {
        {
            std::lock_guard lock(m_);
            if (!accepting_)
                return kMmInvalidHandle;
            if (const MmResult r = WaveBufferQueue::admit(b, dead_); r != kMmNoError)
                return r;
            queue_.push_back(&b);
        }
        wake();
        return kMmNoError;
    }

    MmResult post(Command c) {
        std::unique_lock lock(m_);
        if (!accepting_)
            return kMmInvalidHandle;
        const uint64_t seq = ++nextSeq_;
        pending_.push_back({seq, c});
        lock.unlock();
        wake();
        lock.lock();
        done_.wait(lock, [&] { return doneSeq_ >= seq; });
        MmResult r = results_[seq];
        results_.erase(seq);
        return r;
    }

    void wake() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }

    void run() {
        // This thread moves every frame between the card and the buffers: left at the normal
        // priority, a busy machine starved it while the device above it ran at real time, and
        // the card ran dry.
        pthread_setname_np(pthread_self(), "una-alsa");
        applyThreadPriority(currentThreadId(), kTimeCriticalPriority);
        const int pcmFds = std::max(0, snd_pcm_poll_descriptors_count(pcm_));
        std::vector<pollfd> fds(1 + pcmFds);
        // The sound server's plugin can leave its descriptor readable while it has nothing to
        // give (seen after the server fell behind). At real-time priority that loop starved
        // the server it waited for, for a minute and more, so the card may wake this thread
        // at most four times a period.
        using Clock = std::chrono::steady_clock;
        const auto minPcmGap = std::chrono::microseconds(
            setup_.rate ? std::max<int64_t>(1000, static_cast<int64_t>(setup_.period) * 250000 /
                                                      setup_.rate)
                        : 1000);
        Clock::time_point lastPcmWake{};
        for (;;) {
            std::vector<std::pair<uint64_t, Command>> commands;
            {
                std::lock_guard lock(m_);
                commands.swap(pending_);
            }
            bool quit = false;
            for (auto [seq, c] : commands) {
                MmResult r = execute(c);
                quit = quit || c == Command::close;
                {
                    std::lock_guard lock(m_);
                    results_[seq] = r;
                    doneSeq_ = seq;
                }
                done_.notify_all();
            }
            if (quit)
                return;

            bool queued;
            {
                std::lock_guard lock(m_);
                queued = !queue_.empty();
            }
            const bool in = dir_ == WaveDirection::input;
            const bool usePcm = !dead_ && running_ && (in || queued || !written_.empty());
            if (usePcm && transfer())
                continue;
            updatePosition();

            fds[0] = {wakeFd_, POLLIN, 0};
            int count = 1;
            // The timeout only guards against a plugin whose descriptor never fires. Output
            // with nothing more to write waits for its written buffers to be played instead:
            // the descriptor would report free room at once.
            int timeoutMs = usePcm ? 100 : -1;
            if (usePcm && (in || queued)) {
                const auto sinceWake = Clock::now() - lastPcmWake;
                if (sinceWake < minPcmGap)
                    timeoutMs = static_cast<int>(
                        std::chrono::ceil<std::chrono::milliseconds>(minPcmGap - sinceWake).count());
                else if (pcmFds > 0)
                    count += snd_pcm_poll_descriptors(pcm_, &fds[1], pcmFds);
            } else if (usePcm) {
                timeoutMs = untilPlayedMs();
            }
            ::poll(fds.data(), count, timeoutMs);
            if (fds[0].revents & POLLIN) {
                uint64_t v;
                [[maybe_unused]] ssize_t n = ::read(wakeFd_, &v, sizeof v);
            }
            if (count > 1) {
                unsigned short revents = 0;
                const bool woke = std::any_of(fds.begin() + 1, fds.begin() + count,
                                              [](const pollfd& p) { return p.revents != 0; });
                snd_pcm_poll_descriptors_revents(pcm_, &fds[1], count - 1, &revents);
                // The plugin may leave its descriptor readable and still report nothing.
                if (woke)
                    lastPcmWake = Clock::now();
            }
        }
    }

    // Moves what ALSA can take or give right now; true when something moved.
    bool transfer() {
        WaveBuffer* buf = nullptr;
        {
            std::lock_guard lock(m_);
            if (!queue_.empty())
                buf = queue_.front();
        }
        snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
        if (avail < 0)
            return handleError(static_cast<int>(avail));
        const bool in = dir_ == WaveDirection::input;

        if (buf && buf->bufferLength - offset_ < blockAlign_) {
            completeFront();
            return true;
        }
        if (!in && !buf) {
            // Everything is written; a short tail that never filled a period starts here.
            if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED)
                snd_pcm_start(pcm_);
            return false;
        }
        if (in && !buf) {
            // Nobody wants this audio, but the card must keep running to avoid an overrun.
            if (avail == 0)
                return false;
            snd_pcm_sframes_t n = snd_pcm_readi(pcm_, scratch_.data(),
                                                std::min<snd_pcm_uframes_t>(avail, setup_.period));
            if (n < 0)
                return handleError(static_cast<int>(n));
            framesTotal_ += n;
            takeReading();
            return n > 0;
        }
        if (avail == 0) {
            if (!in && snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED)
                snd_pcm_start(pcm_);
            return false;
        }
        const snd_pcm_uframes_t room = (buf->bufferLength - offset_) / blockAlign_;
        const snd_pcm_uframes_t want = std::min<snd_pcm_uframes_t>(avail, room);
        snd_pcm_sframes_t n = in ? snd_pcm_readi(pcm_, buf->data + offset_, want)
                                 : snd_pcm_writei(pcm_, buf->data + offset_, want);
        if (n < 0)
            return handleError(static_cast<int>(n));
        offset_ += static_cast<uint32_t>(n) * blockAlign_;
        framesTotal_ += n;
        if (in)
            takeReading();
        if (buf->bufferLength - offset_ < blockAlign_)
            completeFront();
        if (!in && snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) {
            bool queueEmpty;
            {
                std::lock_guard lock(m_);
                queueEmpty = queue_.empty();
            }
            snd_pcm_sframes_t filled = static_cast<snd_pcm_sframes_t>(setup_.bufferSize) -
                                       std::max<snd_pcm_sframes_t>(0, snd_pcm_avail(pcm_));
            if (queueEmpty || filled >= static_cast<snd_pcm_sframes_t>(setup_.period))
                snd_pcm_start(pcm_);
        }
        return n > 0;
    }

    // Over- and underruns are recovered in place, so the audio keeps its order; anything
    // else means the device is gone and the stream ends.
    bool handleError(int err) {
        if (err == -EAGAIN)
            return false;
        if (err == -EPIPE || err == -ESTRPIPE || err == -EINTR) {
            if (err != -EINTR)
                xruns_.fetch_add(1, std::memory_order_relaxed);
            if (snd_pcm_recover(pcm_, err, 1) < 0) {
                die();
                return false;
            }
            // An underrun means all that was written has been played.
            retireWritten(UINT64_MAX);
            if (dir_ == WaveDirection::input && running_)
                snd_pcm_start(pcm_);
            return true;
        }
        die();
        return false;
    }

    void die() {
        {
            std::lock_guard lock(m_);
            dead_ = true;
        }
        lost_.store(true, std::memory_order_release);
        returnAll();
    }

    void markDone(WaveBuffer* b, uint32_t recorded) {
        platform::markDone(*b, dir_ == WaveDirection::input, recorded);
    }

    // The front buffer is moved completely. A recording is done now; a playback buffer only
    // once the card has played it, so the device's count of queued buffers is what is still
    // to be heard.
    void completeFront() {
        const bool in = dir_ == WaveDirection::input;
        {
            std::lock_guard lock(m_);
            WaveBuffer* b = queue_.front();
            queue_.pop_front();
            if (in)
                markDone(b, offset_);
            else
                written_.push_back({b, framesTotal_});
        }
        offset_ = 0;
        if (in && event_)
            event_->set();
    }

    // Marks done the written buffers whose last frame is at or before `played`.
    void retireWritten(uint64_t played) {
        bool any = false;
        {
            std::lock_guard lock(m_);
            while (!written_.empty() && written_.front().second <= played) {
                markDone(written_.front().first, 0);
                written_.pop_front();
                any = true;
            }
        }
        if (any && event_)
            event_->set();
    }

    // How long until the first written buffer has been played, in ms (1..100).
    int untilPlayedMs() const {
        if (written_.empty() || setup_.rate == 0)
            return 100;
        const uint64_t played = position_.load(std::memory_order_relaxed);
        const uint64_t end = written_.front().second;
        const uint64_t frames = end > played ? end - played : 0;
        return static_cast<int>(std::clamp<uint64_t>(frames * 1000 / setup_.rate + 1, 1, 100));
    }

    void returnAll() {
        bool any = false;
        {
            std::lock_guard lock(m_);
            for (auto& w : written_) {
                markDone(w.first, 0);
                any = true;
            }
            written_.clear();
            for (WaveBuffer* b : queue_) {
                markDone(b, any ? 0 : offset_);
                any = true;
            }
            queue_.clear();
        }
        offset_ = 0;
        if (any && event_)
            event_->set();
    }

    // Where the converter is now, for timing(): frames through it at a monotonic moment taken
    // around the call that tells. Only a running stream has a line; a reading whose two clock
    // reads lie far apart (the thread was preempted) is not kept.
    void takeReading() {
        if (dead_ || snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING)
            return;
        const int64_t before = monotonicNs();
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(pcm_, &delay) < 0)
            return;
        const int64_t after = monotonicNs();
        storeReading(before, after, delay);
    }

    void storeReading(int64_t before, int64_t after, snd_pcm_sframes_t delay) {
        if (after - before > kReadingSpreadNs)
            return;
        const bool in = dir_ == WaveDirection::input;
        const int64_t frames = in ? static_cast<int64_t>(framesTotal_) + delay
                                  : static_cast<int64_t>(framesTotal_) - std::max<snd_pcm_sframes_t>(delay, 0);
        if (frames <= 0)
            return;
        std::lock_guard lock(m_);
        reading_ = {before + (after - before) / 2, static_cast<uint64_t>(frames)};
        hasReading_ = true;
    }

    void forgetReading() {
        std::lock_guard lock(m_);
        hasReading_ = false;
    }

    void updatePosition() {
        if (dir_ == WaveDirection::input || dead_) {
            position_.store(framesTotal_, std::memory_order_relaxed);
            return;
        }
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) {
            // Not started: all that was written is still waiting.
            const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
            delay = avail >= 0 ? static_cast<snd_pcm_sframes_t>(setup_.bufferSize) - avail : 0;
        } else {
            const bool running = snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING;
            const int64_t before = monotonicNs();
            if (snd_pcm_delay(pcm_, &delay) < 0)
                return;
            if (running)
                storeReading(before, monotonicNs(), delay);
        }
        const uint64_t d = static_cast<uint64_t>(std::max<snd_pcm_sframes_t>(delay, 0));
        const uint64_t played = framesTotal_ > d ? framesTotal_ - d : 0;
        position_.store(played, std::memory_order_relaxed);
        retireWritten(played);
    }

    // Written playback audio is gone after a drop, so its buffers come back too.
    void dropAndPrepare() {
        forgetReading();
        snd_pcm_drop(pcm_);
        retireWritten(UINT64_MAX);
        if (snd_pcm_prepare(pcm_) < 0)
            die();
        hwPaused_ = false;
    }

    MmResult execute(Command c) {
        const bool in = dir_ == WaveDirection::input;
        switch (c) {
            case Command::start:
                if (dead_)
                    return kMmNoDriver;
                if (running_)
                    return kMmNoError;
                if (in) {
                    snd_pcm_state_t s = snd_pcm_state(pcm_);
                    if (s != SND_PCM_STATE_PREPARED && snd_pcm_prepare(pcm_) < 0) {
                        die();
                        return kMmNoDriver;
                    }
                    int err = snd_pcm_start(pcm_);
                    if (err < 0)
                        return fromAlsa(err);
                } else if (hwPaused_) {
                    if (snd_pcm_pause(pcm_, 0) < 0)
                        dropAndPrepare();
                    hwPaused_ = false;
                }
                running_ = true;
                return kMmNoError;
            case Command::stop:
                if (!in)
                    return execute(Command::pause);
                if (running_ && !dead_) {
                    // Keep what the card already captured: it belongs in the current buffer.
                    while (transfer()) {
                        if (offset_ == 0)
                            break;
                    }
                    dropAndPrepare();
                }
                running_ = false;
                if (offset_ > 0)
                    completeFront();
                return kMmNoError;
            case Command::pause:
                if (running_ && !dead_) {
                    if (setup_.canPause && snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING &&
                        snd_pcm_pause(pcm_, 1) == 0)
                        hwPaused_ = true;
                    else
                        dropAndPrepare();
                }
                running_ = false;
                return kMmNoError;
            case Command::reset:
            case Command::close:
                if (!dead_)
                    dropAndPrepare();
                if (in)
                    running_ = false;
                returnAll();
                framesTotal_ = 0;
                forgetReading();
                position_.store(0, std::memory_order_relaxed);
                return kMmNoError;
        }
        return kMmError;
    }

    snd_pcm_t* const pcm_;
    const WaveDirection dir_;
    const uint32_t blockAlign_;
    const HwSetup setup_;
    const EventHandle event_;
    const int wakeFd_;

    std::mutex m_;
    std::condition_variable done_;
    std::deque<WaveBuffer*> queue_;
    // Playback buffers handed to ALSA whole, with the frame count at their end, waiting to
    // be played; written by the worker under m_.
    std::deque<std::pair<WaveBuffer*, uint64_t>> written_;
    std::vector<std::pair<uint64_t, Command>> pending_;
    std::map<uint64_t, MmResult> results_;
    uint64_t nextSeq_ = 0;
    uint64_t doneSeq_ = 0;
    bool accepting_ = true;
    bool dead_ = false;  // written by the worker under m_, read by it freely

    // The worker's own.
    bool running_;
    bool hwPaused_ = false;
    uint32_t offset_ = 0;  // bytes already moved in the front buffer
    uint64_t framesTotal_ = 0;
    std::vector<uint8_t> scratch_;

    StreamTiming reading_;     // under m_
    bool hasReading_ = false;  // under m_

    std::atomic<uint64_t> position_{0};
    std::atomic<uint32_t> xruns_{0};
    std::atomic<bool> lost_{false};
    std::thread worker_;
};

}  // namespace

// ALSA's configuration and hint lists are process-global; keep their readers apart.
std::mutex& alsaConfigMutex() {
    static std::mutex m;
    return m;
}

void quietenAlsaOnce() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(silentAlsaErrors); });
}

std::wstring alsaWideText(const std::string& utf8, size_t maxChars) {
    return fromUtf8(utf8, maxChars);
}

std::vector<std::string> alsaDeviceNames(WaveDirection direction) {
    quietenAlsaOnce();
    std::vector<std::string> names;
    for (auto& d : listDevices(direction, nullptr))
        names.push_back(std::move(d.name));
    return names;
}

uint32_t AlsaSoundCard::deviceCount(WaveDirection direction) {
    quietenAlsaOnce();
    return static_cast<uint32_t>(listDevices(direction, nullptr).size());
}

MmResult AlsaSoundCard::caps(WaveDirection direction, int32_t deviceId, WaveCaps& caps) {
    quietenAlsaOnce();
    std::string defaultDescription;
    auto devices = listDevices(direction, &defaultDescription);
    std::string name, description;
    if (deviceId == kWaveMapper) {
        name = "default";
        description = defaultDescription.empty() ? "ALSA default device" : defaultDescription;
    } else if (deviceId >= 0 && static_cast<size_t>(deviceId) < devices.size()) {
        name = devices[deviceId].name;
        description = devices[deviceId].description;
    } else {
        return kMmBadDeviceId;
    }
    caps = WaveCaps{};
    caps.manufacturerId = 0xFFFF;
    caps.productId = deviceId == kWaveMapper ? 0xFFFF : static_cast<uint16_t>(deviceId);
    caps.driverVersion = SND_LIB_VERSION;
    caps.name = fromUtf8(description, kWaveCapsNameMax);
    caps.channels = 2;

    // Only the default device is probed for its formats: opening every listed plugin would
    // try to reach servers (JACK, OSS) that are not there.
    snd_pcm_t* pcm = nullptr;
    if (deviceId != kWaveMapper ||
        snd_pcm_open(&pcm, name.c_str(), alsaStream(direction), SND_PCM_NONBLOCK) < 0)
        return kMmNoError;
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    if (snd_pcm_hw_params_any(pcm, hw) >= 0) {
        static constexpr unsigned rates[] = {11025, 22050, 44100, 48000, 96000};
        for (int r = 0; r < 5; ++r)
            for (unsigned ch : {1u, 2u})
                for (unsigned bits : {8u, 16u}) {
                    auto fmt = bits == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
                    if (formatFits(pcm, hw, fmt, ch, rates[r]))
                        caps.formats |= 1u << (4 * r + (bits == 16 ? 2 : 0) + (ch == 2 ? 1 : 0));
                }
        unsigned maxChannels = 0;
        if (snd_pcm_hw_params_get_channels_max(hw, &maxChannels) == 0 && maxChannels > 0)
            caps.channels = static_cast<uint16_t>(std::min(maxChannels, 0xFFFFu));
    }
    snd_pcm_close(pcm);
    return kMmNoError;
}

MmResult AlsaSoundCard::open(WaveDirection direction, int32_t deviceId, const WaveFormatEx& format,
                             EventHandle toSignal, uint32_t flags,
                             std::unique_ptr<WaveStream>& out) {
    quietenAlsaOnce();
    out.reset();
    std::string name;
    if (!resolveName(direction, deviceId, name))
        return kMmBadDeviceId;
    snd_pcm_format_t alsaFormat;
    if (!alsaFormatOf(format, alsaFormat))
        return kWaveErrBadFormat;

    snd_pcm_t* pcm = nullptr;
    int err = 0;
    // The sound server's plugin moves the audio on a thread it starts here.
    runWithInheritedTimeCritical([&] {
        err = snd_pcm_open(&pcm, name.c_str(), alsaStream(direction), SND_PCM_NONBLOCK);
    });
    if (err < 0)
        return fromAlsa(err);

    if (flags & kWaveFormatQuery) {
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        err = snd_pcm_hw_params_any(pcm, hw);
        bool fits =
            err >= 0 && formatFits(pcm, hw, alsaFormat, format.channels, format.samplesPerSec);
        snd_pcm_close(pcm);
        if (err < 0)
            return fromAlsa(err);
        return fits ? kMmNoError : kWaveErrBadFormat;
    }

    HwSetup setup;
    err = configure(pcm, direction, alsaFormat, format, setup);
    if (err == 0)
        err = snd_pcm_prepare(pcm);
    if (err < 0) {
        snd_pcm_close(pcm);
        return err == -EINVAL ? kWaveErrBadFormat : fromAlsa(err);
    }
    int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        snd_pcm_close(pcm);
        return kMmNoMem;
    }
    out = std::make_unique<AlsaWaveStream>(pcm, direction, format.blockAlign, setup,
                                           std::move(toSignal), wakeFd);
    return kMmNoError;
}

std::vector<DeviceInfo> AlsaSoundCard::deviceList(WaveDirection direction) {
    quietenAlsaOnce();
    std::string defaultDescription;
    auto devices = listDevices(direction, &defaultDescription);
    std::vector<DeviceInfo> list;
    list.push_back({{}, defaultDescription.empty() ? "ALSA default device" : defaultDescription,
                    false, false});
    for (auto& d : devices)
        list.push_back({d.name, std::move(d.description), false, false});
    return list;
}

std::optional<std::string> AlsaSoundCard::errorText(WaveDirection, MmResult code) {
    switch (code) {
        case kWaveErrBadFormat:
            return "unsupported wave format";
        case kWaveErrStillPlaying:
            return "still something playing";
        case kWaveErrUnprepared:
            return "header not prepared";
        case 35:
            return "device is synchronous";
        default:
            break;
    }
    if (code > kAlsaResultBase && code < kAlsaResultBase + 0x10000)
        return std::string(snd_strerror(-static_cast<int>(code - kAlsaResultBase)));
    return std::nullopt;
}

}  // namespace platform
