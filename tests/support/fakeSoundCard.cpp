#include "support/fakeSoundCard.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace una {

using platform::MmResult;
using platform::WaveBuffer;
using platform::WaveDirection;

namespace {

// The device side of a fake stream; forwards everything to its control.
class FakeWaveStream final : public platform::WaveStream {
  public:
    explicit FakeWaveStream(std::shared_ptr<FakeStreamControl> control)
        : control_(std::move(control)) {}
    ~FakeWaveStream() override { control_->doCommand("close"); }

    WaveDirection direction() const override { return control_->direction(); }
    MmResult prepare(WaveBuffer& b) override { return control_->doPrepare(b, true); }
    MmResult unprepare(WaveBuffer& b) override { return control_->doPrepare(b, false); }
    MmResult addBuffer(WaveBuffer& b) override { return control_->doQueue(b, false); }
    MmResult write(WaveBuffer& b) override { return control_->doQueue(b, true); }
    MmResult start() override { return control_->doCommand("start"); }
    MmResult stop() override { return control_->doCommand("stop"); }
    MmResult pause() override { return control_->doCommand("pause"); }
    MmResult reset() override { return control_->doCommand("reset"); }
    MmResult close() override { return control_->doCommand("close"); }
    MmResult position(uint64_t& samples) override { return control_->doPosition(samples); }
    MmResult timing(platform::StreamTiming& out) override { return control_->doTiming(out); }
    uint32_t xrunCount() const override { return control_->xruns(); }

  private:
    std::shared_ptr<FakeStreamControl> control_;
};

platform::WaveCaps namedCaps(const wchar_t* name) {
    platform::WaveCaps c;
    c.name = name;
    c.channels = 2;
    c.formats = 0xFFFFF;
    return c;
}

}  // namespace

FakeStreamControl::FakeStreamControl(WaveDirection direction, const platform::WaveFormatEx& format,
                                     platform::EventHandle event, uint32_t flags)
    : direction_(direction), format_(format), event_(std::move(event)), flags_(flags) {}

FakeStreamControl::~FakeStreamControl() {
    stopClock();
}

namespace {

int64_t monotonicNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void FakeStreamControl::runClock(double ppm, uint32_t latencyFrames,
                                 std::function<void(uint64_t, uint8_t*)> source) {
    stopClock();
    {
        std::lock_guard lock(m_);
        clocked_ = true;
        clockStop_ = false;
        clockRate_ = format_.samplesPerSec * (1.0 + ppm * 1e-6);
        clockLatency_ = latencyFrames;
        clockStartNs_ = clockLastNs_ = monotonicNow();
        clockSource_ = std::move(source);
    }
    clockThread_ = std::thread([this] {
        for (;;) {
            bool any = false;
            {
                std::lock_guard lock(m_);
                if (clockStop_ || closed_)
                    return;
                const size_t before = queue_.size();
                advanceLocked(monotonicNow());
                any = queue_.size() != before;
            }
            if (any)
                signal();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
}

void FakeStreamControl::stopClock() {
    {
        std::lock_guard lock(m_);
        clockStop_ = true;
    }
    if (clockThread_.joinable() && clockThread_.get_id() != std::this_thread::get_id())
        clockThread_.join();
}

void FakeStreamControl::advanceLocked(int64_t nowNs) {
    if (!clocked_ || (!started_ && direction_ == WaveDirection::input))
        return;
    const uint32_t frameBytes = std::max<uint32_t>(1, format_.blockAlign);
    if (direction_ == WaveDirection::input) {
        const double captured = static_cast<double>(nowNs - clockStartNs_) * clockRate_ / 1e9;
        while (!queue_.empty()) {
            WaveBuffer* b = queue_.front();
            const uint32_t frames = b->bufferLength / frameBytes;
            if (static_cast<double>(clockDone_ + frames + clockLatency_) > captured)
                break;
            queue_.erase(queue_.begin());
            for (uint32_t f = 0; f < frames; ++f) {
                uint8_t* at = b->data + static_cast<size_t>(f) * frameBytes;
                if (clockSource_)
                    clockSource_(clockDone_ + f, at);
                else
                    for (uint32_t i = 0; i < frameBytes; ++i)
                        at[i] = static_cast<uint8_t>(recordCounter_++);
            }
            clockDone_ += frames;
            b->bytesRecorded = frames * frameBytes;
            completedBytes_ += b->bytesRecorded;
            b->flags.store((b->flags.load() & ~platform::kWhdrInQueue) | platform::kWhdrDone);
        }
        clockLastNs_ = nowNs;
        return;
    }
    // Output: the converter's side takes frames at the clock's rate while there are any; an
    // empty queue lets the time pass without taking (an underrun).
    double budget = static_cast<double>(nowNs - clockLastNs_) * clockRate_ / 1e9;
    int64_t at = clockLastNs_;
    clockLastNs_ = nowNs;
    while (budget > 0 && !queue_.empty()) {
        WaveBuffer* b = queue_.front();
        const double frames = b->bufferLength / frameBytes;
        if (clockFrontTaken_ == 0)
            heard_.push_back({static_cast<uint64_t>(std::llround(clockTaken_)),
                              at + static_cast<int64_t>(clockLatency_ * 1e9 / clockRate_)});
        const double use = std::min(budget, frames - clockFrontTaken_);
        clockFrontTaken_ += use;
        clockTaken_ += use;
        budget -= use;
        at += static_cast<int64_t>(use * 1e9 / clockRate_);
        if (clockFrontTaken_ >= frames - 1e-6) {
            clockFrontTaken_ = 0;
            clockTaken_ = std::round(clockTaken_);
            queue_.erase(queue_.begin());
            finish(b, std::nullopt);
        }
    }
}

MmResult FakeStreamControl::doTiming(platform::StreamTiming& out) {
    std::lock_guard lock(m_);
    if (closed_)
        return platform::kMmInvalidHandle;
    if (!clocked_)
        return platform::kMmNotSupported;
    const int64_t now = monotonicNow();
    advanceLocked(now);
    if (direction_ == WaveDirection::input) {
        const double captured = static_cast<double>(now - clockStartNs_) * clockRate_ / 1e9;
        out = {now, static_cast<uint64_t>(captured)};
        return captured >= 1 ? platform::kMmNoError : platform::kMmNotSupported;
    }
    const double heard = clockTaken_ - clockLatency_;
    if (heard < 1)
        return platform::kMmNotSupported;
    out = {now, static_cast<uint64_t>(heard)};
    return platform::kMmNoError;
}

int64_t FakeStreamControl::capturedAtNs(uint64_t frame) const {
    std::lock_guard lock(m_);
    return clockStartNs_ + static_cast<int64_t>(static_cast<double>(frame) * 1e9 / clockRate_);
}

std::vector<std::pair<uint64_t, int64_t>> FakeStreamControl::heardTimes() const {
    std::lock_guard lock(m_);
    return heard_;
}

void FakeStreamControl::signal() {
    changed_.notify_all();
    if (event_)
        event_->set();
}

void FakeStreamControl::finish(WaveBuffer* b, std::optional<uint32_t> recordedBytes) {
    if (direction_ == WaveDirection::input) {
        uint32_t n = std::min(b->bufferLength, recordedBytes.value_or(b->bufferLength));
        for (uint32_t i = 0; i < n; ++i) {
            if (!pendingRecord_.empty()) {
                b->data[i] = pendingRecord_.front();
                pendingRecord_.erase(pendingRecord_.begin());
            } else {
                b->data[i] = static_cast<uint8_t>(recordCounter_++);
            }
        }
        b->bytesRecorded = n;
        completedBytes_ += n;
    } else {
        played_.insert(played_.end(), b->data, b->data + b->bufferLength);
        playedLengths_.push_back(b->bufferLength);
        completedBytes_ += b->bufferLength;
    }
    uint32_t f = b->flags.load();
    b->flags.store((f & ~platform::kWhdrInQueue) | platform::kWhdrDone);
}

size_t FakeStreamControl::complete(size_t n, std::optional<uint32_t> recordedBytes) {
    size_t done = 0;
    {
        std::lock_guard lock(m_);
        while (done < n && !queue_.empty()) {
            WaveBuffer* b = queue_.front();
            queue_.erase(queue_.begin());
            finish(b, recordedBytes);
            ++done;
        }
    }
    if (done > 0)
        signal();
    return done;
}

bool FakeStreamControl::completeOutOfOrder(const std::vector<size_t>& positions) {
    {
        std::lock_guard lock(m_);
        std::vector<WaveBuffer*> picked;
        for (size_t p : positions) {
            if (p >= queue_.size())
                return false;
            picked.push_back(queue_[p]);
        }
        for (WaveBuffer* b : picked) {
            queue_.erase(std::find(queue_.begin(), queue_.end(), b));
            finish(b, std::nullopt);
        }
    }
    signal();
    return true;
}

void FakeStreamControl::fillRecorded(std::vector<uint8_t> bytes) {
    std::lock_guard lock(m_);
    pendingRecord_.insert(pendingRecord_.end(), bytes.begin(), bytes.end());
}

size_t FakeStreamControl::queuedCount() const {
    std::lock_guard lock(m_);
    return queue_.size();
}

std::vector<uint32_t> FakeStreamControl::queuedLengths() const {
    std::lock_guard lock(m_);
    std::vector<uint32_t> out;
    for (const WaveBuffer* b : queue_)
        out.push_back(b->bufferLength);
    return out;
}

std::vector<const WaveBuffer*> FakeStreamControl::queued() const {
    std::lock_guard lock(m_);
    return {queue_.begin(), queue_.end()};
}

bool FakeStreamControl::waitQueued(const std::function<bool(size_t)>& pred,
                                   uint32_t timeoutMs) const {
    std::unique_lock lock(m_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return pred(queue_.size()); });
}

std::vector<uint8_t> FakeStreamControl::played() const {
    std::lock_guard lock(m_);
    return played_;
}

std::vector<uint32_t> FakeStreamControl::playedLengths() const {
    std::lock_guard lock(m_);
    return playedLengths_;
}

void FakeStreamControl::failNextQueue(MmResult code) {
    std::lock_guard lock(m_);
    failNext_ = code;
}

void FakeStreamControl::setXruns(uint32_t n) {
    std::lock_guard lock(m_);
    xruns_ = n;
}

void FakeStreamControl::vanish() {
    {
        std::lock_guard lock(m_);
        lost_ = true;
        returnAllLocked();
    }
    signal();
}

uint32_t FakeStreamControl::xruns() const {
    std::lock_guard lock(m_);
    return xruns_;
}

bool FakeStreamControl::isStarted() const {
    std::lock_guard lock(m_);
    return started_;
}

bool FakeStreamControl::isPaused() const {
    std::lock_guard lock(m_);
    return paused_;
}

bool FakeStreamControl::isClosed() const {
    std::lock_guard lock(m_);
    return closed_;
}

size_t FakeStreamControl::calls(const std::string& name) const {
    std::lock_guard lock(m_);
    auto it = calls_.find(name);
    return it == calls_.end() ? 0 : it->second;
}

size_t FakeStreamControl::queueCalls() const {
    std::lock_guard lock(m_);
    return queueCalls_;
}

MmResult FakeStreamControl::doPrepare(WaveBuffer& b, bool on) {
    std::lock_guard lock(m_);
    ++calls_[on ? "prepare" : "unprepare"];
    if (closed_)
        return platform::kMmInvalidHandle;
    if (on && !b.data && b.bufferLength > 0)
        return platform::kMmInvalidParam;
    if (b.isFlagSet(platform::kWhdrInQueue))
        return platform::kWaveErrStillPlaying;
    b.setFlag(platform::kWhdrPrepared, on);
    return platform::kMmNoError;
}

MmResult FakeStreamControl::doQueue(WaveBuffer& b, bool isWrite) {
    {
        std::lock_guard lock(m_);
        ++calls_[isWrite ? "write" : "addBuffer"];
        if (closed_)
            return platform::kMmInvalidHandle;
        if (isWrite != (direction_ == WaveDirection::output))
            return platform::kMmNotSupported;
        if (lost_)
            return platform::kMmNoDriver;
        if (failNext_) {
            MmResult r = *failNext_;
            failNext_.reset();
            return r;
        }
        if (!b.isFlagSet(platform::kWhdrPrepared))
            return platform::kWaveErrUnprepared;
        if (b.isFlagSet(platform::kWhdrInQueue))
            return platform::kWaveErrStillPlaying;
        b.bytesRecorded = 0;
        b.flags.store((b.flags.load() & ~platform::kWhdrDone) | platform::kWhdrInQueue);
        queue_.push_back(&b);
        ++queueCalls_;
    }
    changed_.notify_all();
    return platform::kMmNoError;
}

void FakeStreamControl::returnAllLocked() {
    for (WaveBuffer* b : queue_) {
        b->bytesRecorded = 0;
        uint32_t f = b->flags.load();
        b->flags.store((f & ~platform::kWhdrInQueue) | platform::kWhdrDone);
    }
    queue_.clear();
}

MmResult FakeStreamControl::doCommand(const std::string& name) {
    bool returned = false;
    {
        std::lock_guard lock(m_);
        if (closed_)
            return platform::kMmInvalidHandle;
        ++calls_[name];
        if (name == "start" && lost_)
            return platform::kMmNoDriver;
        if (name == "start") {
            started_ = true;
            paused_ = false;
        } else if (name == "stop") {
            started_ = false;
        } else if (name == "pause") {
            if (direction_ == WaveDirection::input)
                return platform::kMmNotSupported;
            paused_ = true;
        } else if (name == "reset" || name == "close") {
            returned = !queue_.empty();
            returnAllLocked();
            completedBytes_ = 0;
            if (direction_ == WaveDirection::input)
                started_ = false;
            closed_ = name == "close";
        }
    }
    if (returned)
        signal();
    else
        changed_.notify_all();
    return platform::kMmNoError;
}

MmResult FakeStreamControl::doPosition(uint64_t& samples) {
    std::lock_guard lock(m_);
    if (closed_)
        return platform::kMmInvalidHandle;
    samples = format_.blockAlign ? completedBytes_ / format_.blockAlign : 0;
    return platform::kMmNoError;
}

FakeSoundCard::FakeSoundCard() {
    in_.devices = {namedCaps(L"Fake In")};
    out_.devices = {namedCaps(L"Fake Out")};
    in_.mapper = namedCaps(L"Fake Mapper In");
    out_.mapper = namedCaps(L"Fake Mapper Out");
}

void FakeSoundCard::setDevices(WaveDirection direction, std::vector<platform::WaveCaps> devices) {
    std::lock_guard lock(m_);
    side(direction).devices = std::move(devices);
}

void FakeSoundCard::setMapperCaps(WaveDirection direction, platform::WaveCaps caps) {
    std::lock_guard lock(m_);
    side(direction).mapper = std::move(caps);
}

void FakeSoundCard::setFormatFilter(std::function<bool(const platform::WaveFormatEx&)> accept) {
    std::lock_guard lock(m_);
    accept_ = std::move(accept);
}

void FakeSoundCard::failNextOpen(MmResult code) {
    std::lock_guard lock(m_);
    failNextOpen_ = code;
}

void FakeSoundCard::setErrorText(MmResult code, std::string text) {
    std::lock_guard lock(m_);
    texts_[code] = std::move(text);
}

std::shared_ptr<FakeStreamControl> FakeSoundCard::stream(WaveDirection direction) const {
    std::lock_guard lock(m_);
    const auto& s = side(direction).streams;
    return s.empty() ? nullptr : s.back();
}

std::shared_ptr<FakeStreamControl> FakeSoundCard::waitStream(WaveDirection direction, size_t after,
                                                             uint32_t timeoutMs) const {
    std::unique_lock lock(m_);
    const auto& s = side(direction).streams;
    if (!opened_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return s.size() > after; }))
        return nullptr;
    return s.back();
}

size_t FakeSoundCard::openCount(WaveDirection direction) const {
    std::lock_guard lock(m_);
    return side(direction).streams.size();
}

size_t FakeSoundCard::queryCount(WaveDirection direction) const {
    std::lock_guard lock(m_);
    return side(direction).queries;
}

uint32_t FakeSoundCard::deviceCount(WaveDirection direction) {
    std::lock_guard lock(m_);
    return static_cast<uint32_t>(side(direction).devices.size());
}

MmResult FakeSoundCard::caps(WaveDirection direction, int32_t deviceId, platform::WaveCaps& caps) {
    std::lock_guard lock(m_);
    const Side& s = side(direction);
    if (deviceId == platform::kWaveMapper) {
        caps = s.mapper;
        return platform::kMmNoError;
    }
    if (deviceId < 0 || static_cast<size_t>(deviceId) >= s.devices.size())
        return platform::kMmBadDeviceId;
    caps = s.devices[deviceId];
    return platform::kMmNoError;
}

MmResult FakeSoundCard::open(WaveDirection direction, int32_t deviceId,
                             const platform::WaveFormatEx& format, platform::EventHandle toSignal,
                             uint32_t flags, std::unique_ptr<platform::WaveStream>& out) {
    out.reset();
    std::shared_ptr<FakeStreamControl> control;
    {
        std::lock_guard lock(m_);
        Side& s = side(direction);
        if (flags & platform::kWaveFormatQuery)
            ++s.queries;
        if (failNextOpen_) {
            MmResult r = *failNextOpen_;
            failNextOpen_.reset();
            return r;
        }
        if (deviceId != platform::kWaveMapper &&
            (deviceId < 0 || static_cast<size_t>(deviceId) >= s.devices.size()))
            return platform::kMmBadDeviceId;
        if (accept_ && !accept_(format))
            return platform::kWaveErrBadFormat;
        if (flags & platform::kWaveFormatQuery)
            return platform::kMmNoError;
        control =
            std::make_shared<FakeStreamControl>(direction, format, std::move(toSignal), flags);
        s.streams.push_back(control);
    }
    opened_.notify_all();
    out = std::make_unique<FakeWaveStream>(control);
    return platform::kMmNoError;
}

std::optional<std::string> FakeSoundCard::errorText(WaveDirection, MmResult code) {
    std::lock_guard lock(m_);
    auto it = texts_.find(code);
    if (it == texts_.end())
        return std::nullopt;
    return it->second;
}

ScopedFakeSoundCard::ScopedFakeSoundCard() : card_(std::make_shared<FakeSoundCard>()) {
    platform::setSoundCard(card_);
}

ScopedFakeSoundCard::~ScopedFakeSoundCard() {
    platform::setSoundCard(nullptr);
}

}  // namespace una
