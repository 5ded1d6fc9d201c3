#include "support/monitorProbe.h"

#include <cmath>
#include <cstdlib>
#include <deque>
#include <limits>

#include "platform/alsaSoundCard.h"
#include "support/echoRuler.h"
#include "support/soundPeer.h"

namespace una::sound {

namespace {

// Short buffers, so a completion time says closely when its frames were captured.
constexpr uint32_t kBufferMs = 10;
constexpr size_t kBuffers = 24;

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct MonitorProbe::Impl {
    std::shared_ptr<platform::Event> event = std::make_shared<platform::Event>(false, false);
    std::unique_ptr<platform::WaveStream> stream;
    std::vector<std::vector<uint8_t>> memory;
    std::vector<std::unique_ptr<platform::WaveBuffer>> buffers;
};

MonitorProbe::MonitorProbe(std::string source, uint32_t rate)
    : source_(std::move(source)), rate_(rate), impl_(std::make_unique<Impl>()) {}

MonitorProbe::~MonitorProbe() {
    stop();
}

bool MonitorProbe::start() {
    platform::WaveFormatEx f{};
    f.formatTag = platform::kWaveFormatPcm;
    f.channels = 2;
    f.samplesPerSec = rate_;
    f.bitsPerSample = 16;
    f.blockAlign = 4;
    f.avgBytesPerSec = rate_ * 4;
    const char* before = std::getenv("PULSE_SOURCE");
    const std::string saved = before ? before : "";
    setenv("PULSE_SOURCE", source_.c_str(), 1);
    platform::AlsaSoundCard card;
    const auto result = card.open(platform::WaveDirection::input, platform::kWaveMapper, f,
                                  impl_->event, platform::kCallbackEvent, impl_->stream);
    if (before)
        setenv("PULSE_SOURCE", saved.c_str(), 1);
    else
        unsetenv("PULSE_SOURCE");
    if (result != platform::kMmNoError || !impl_->stream)
        return false;
    const uint32_t bytes = rate_ * kBufferMs / 1000 * 4;
    for (size_t i = 0; i < kBuffers; ++i) {
        impl_->memory.emplace_back(bytes);
        auto b = std::make_unique<platform::WaveBuffer>();
        b->data = impl_->memory.back().data();
        b->bufferLength = bytes;
        impl_->stream->prepare(*b);
        impl_->stream->addBuffer(*b);
        impl_->buffers.push_back(std::move(b));
    }
    if (impl_->stream->start() != platform::kMmNoError)
        return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void MonitorProbe::run() {
    std::deque<size_t> order;
    for (size_t i = 0; i < impl_->buffers.size(); ++i)
        order.push_back(i);
    uint64_t frames = 0;
    while (!stopping_) {
        impl_->event->wait(50);
        while (!order.empty() && impl_->buffers[order.front()]->isFlagSet(platform::kWhdrDone)) {
            const double now = nowSeconds();
            platform::WaveBuffer& b = *impl_->buffers[order.front()];
            const auto* s = reinterpret_cast<const int16_t*>(b.data);
            const size_t n = b.bytesRecorded / 2;
            frames += n / 2;
            {
                std::lock_guard lock(m_);
                samples_.insert(samples_.end(), s, s + n);
                // Only full buffers: a short one was cut off by a stop, not by the card.
                if (b.bytesRecorded == b.bufferLength) {
                    const double start = now - static_cast<double>(frames) / rate_;
                    if (!any_ || start < earliest_)
                        earliest_ = start;
                    if (!any_ || start > latest_)
                        latest_ = start;
                    any_ = true;
                    completions_.push_back({now, frames});
                }
            }
            if (stopping_ || impl_->stream->addBuffer(b) != platform::kMmNoError)
                return;
            order.push_back(order.front());
            order.pop_front();
        }
    }
}

void MonitorProbe::stop() {
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    if (impl_->stream) {
        std::lock_guard lock(m_);
        xruns_ = impl_->stream->xrunCount();
        impl_->stream->close();
        impl_->stream.reset();
    }
}

std::vector<int16_t> MonitorProbe::samples() const {
    std::lock_guard lock(m_);
    return samples_;
}

double MonitorProbe::frameTime(size_t frame) const {
    std::lock_guard lock(m_);
    if (!any_)
        return std::numeric_limits<double>::quiet_NaN();
    return earliest_ + static_cast<double>(frame) / rate_;
}

double MonitorProbe::localFrameTime(double frame, double spanSeconds) const {
    std::lock_guard lock(m_);
    double earliest = std::numeric_limits<double>::quiet_NaN();
    for (const Completion& c : completions_) {
        const auto end = static_cast<double>(c.frames);
        if (end < frame)
            continue;
        if (end > frame + spanSeconds * rate_)
            break;
        const double start = c.seconds - end / rate_;
        if (!(start >= earliest))
            earliest = start;
    }
    return earliest + frame / rate_;
}

double MonitorProbe::timeLost(double from, double to) const {
    std::lock_guard lock(m_);
    // The line at a moment is the earliest start among the buffers of the next second, as in
    // localFrameTime(); its steps between the moments are the time lost or gained. Only whole
    // seconds of buffers give a close line, and a stream's first half second settles.
    constexpr double kSpan = 1.0, kStep = 0.05, kSettle = 0.5;
    double low = 0, high = 0;
    bool any = false;
    size_t first = 0;
    if (completions_.empty())
        return 0;
    from = std::max(from, completions_.front().seconds + kSettle);
    to = std::min(to, completions_.back().seconds - kSpan);
    for (double t = from; t <= to; t += kStep) {
        while (first < completions_.size() && completions_[first].seconds < t)
            ++first;
        double line = std::numeric_limits<double>::infinity();
        for (size_t i = first; i < completions_.size() && completions_[i].seconds < t + kSpan; ++i)
            line = std::min(line, completions_[i].seconds -
                                      static_cast<double>(completions_[i].frames) / rate_);
        if (!std::isfinite(line))
            continue;
        low = any ? std::min(low, line) : line;
        high = any ? std::max(high, line) : line;
        any = true;
    }
    return high - low;
}

double MonitorProbe::completionSpread() const {
    std::lock_guard lock(m_);
    return latest_ - earliest_;
}

double MonitorProbe::ratePpm() const {
    std::lock_guard lock(m_);
    if (completions_.size() < 2 ||
        completions_.back().seconds - completions_.front().seconds < 2.0)
        return std::numeric_limits<double>::quiet_NaN();
    double mt = 0, my = 0;
    for (const Completion& c : completions_) {
        mt += c.seconds;
        my += static_cast<double>(c.frames);
    }
    const auto n = static_cast<double>(completions_.size());
    mt /= n;
    my /= n;
    double sxx = 0, sxy = 0;
    for (const Completion& c : completions_) {
        sxx += (c.seconds - mt) * (c.seconds - mt);
        sxy += (c.seconds - mt) * (static_cast<double>(c.frames) - my);
    }
    return (sxy / sxx / rate_ - 1.0) * 1e6;
}

namespace {

// The program's trim waits a second for an error to hold; a stall shows in its readings some
// chunks later.
constexpr double kCorrectionSeconds = 1.5;

}  // namespace

std::vector<double> graphTimeLost(const MonitorProbe& probe, const std::vector<double>& heard,
                                  double delay) {
    std::vector<double> near(heard.size(), 0.0);
    if (!serverResamples())
        return near;
    const std::vector<Echo> echoes = findEchoes(probe.samples(), probe.rate());
    if (echoes.empty())
        return near;
    // Where the echoes were on the clock is needed to a few chunks only: from the first one
    // (the burst itself) on in the sink's frames.
    double begin = probe.localFrameTime(echoes.front().frame);
    for (size_t k = 0; k < heard.size(); ++k) {
        const double end = begin + heard[k];
        near[k] = probe.timeLost(begin - delay - kCorrectionSeconds, end);
        begin = end;
    }
    return near;
}

bool graphStalledBefore(const MonitorProbe& probe, double at, double delay) {
    return serverResamples() &&
           !(probe.timeLost(at - delay - kCorrectionSeconds, at) <= kGraphStall);
}

double probeNow() {
    return nowSeconds();
}

size_t firstSoundFrame(const std::vector<int16_t>& stereo, size_t from) {
    const size_t frames = stereo.size() / 2;
    for (size_t i = from; i < frames; ++i)
        if (stereo[2 * i] != 0 || stereo[2 * i + 1] != 0)
            return i;
    return frames;
}

}  // namespace una::sound
