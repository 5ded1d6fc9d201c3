#include "stream/stationWaveStream.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "foundation/unaTime.h"
#include "stream/stationStatusBoard.h"

namespace una::stream {

using platform::MmResult;
using platform::WaveBuffer;

namespace {
// Audio kept while no buffer takes it: beyond this the oldest goes.
constexpr double kMaxHeldSeconds = 30;
// A reconnect's burst is gathered this long before it is placed on the edge.
constexpr int64_t kPlacingNs = 1'500'000'000;
// A connection's first burst is in by this long after its first audio.
constexpr int64_t kFirstBurstNs = 500'000'000;
// Lags are measured this long after a connection's first audio, when its burst is long in
// and the edge has settled near enough.
constexpr int64_t kLagFromNs = 5'000'000'000;
constexpr int64_t kLagBinNs = 10'000'000'000;
}  // namespace

StationWaveStream::StationWaveStream(std::string url, const platform::WaveFormatEx& format,
                                     platform::EventHandle toSignal,
                                     std::shared_ptr<StationStatusBoard> board)
    : format_(format),
      frameBytes_(std::max<uint32_t>(1, format.channels * (format.bitsPerSample / 8))),
      event_(std::move(toSignal)),
      board_(std::move(board)),
      edge_(format.samplesPerSec) {
    if (const char* path = std::getenv("UNA_STATION_TRACE"); path && *path)
        trace_.reset(std::fopen(path, "w"));
    StationDecoder::Sink sink;
    sink.connected = [this](int64_t ns, bool segmented) { connected(ns, segmented); };
    sink.ended = [this](int64_t ns) { ended(ns); };
    sink.audio = [this](std::span<const uint8_t> audio, int64_t ns) { arrived(audio, ns); };
    sink.senderPace = [this](double pace) {
        std::lock_guard lock(m_);
        edge_.setStampedRate(pace * format_.samplesPerSec);
        traceLocked('p', markTime());
    };
    decoder_ = std::make_unique<StationDecoder>(
        std::move(url), DecodedFormat{format.samplesPerSec, format.channels, format.bitsPerSample},
        board_, std::move(sink));
}

StationWaveStream::~StationWaveStream() {
    close();
}

void StationWaveStream::connected(int64_t ns, bool segmented) {
    std::lock_guard lock(m_);
    edge_.setSegmented(segmented);
    traceLocked('c', ns);
    if (!edge_.valid())
        return;
    placing_ = true;
    placingSinceNs_ = 0;
    placingLastNs_ = ns;
    placingAudio_.clear();
}

void StationWaveStream::ended(int64_t) {
    // A connection that ends within its burst still brought audio: it is placed now, not
    // forgotten when the next connection begins.
    bool signal = false;
    {
        std::lock_guard lock(m_);
        if (closed_ || !placing_ || placingAudio_.empty())
            return;
        placeReconnectLocked();
        signal = deliverLocked();
    }
    if (signal && event_)
        event_->set();
}

void StationWaveStream::arrived(std::span<const uint8_t> audio, int64_t ns) {
    bool signal = false;
    {
        std::lock_guard lock(m_);
        if (closed_)
            return;
        if (placing_) {
            if (placingSinceNs_ == 0)
                placingSinceNs_ = ns;
            placingLastNs_ = ns;
            placingAudio_.insert(placingAudio_.end(), audio.begin(), audio.end());
            if (ns - placingSinceNs_ >= kPlacingNs)
                placeReconnectLocked();
        } else {
            if (firstArrivalNs_ == 0) {
                firstArrivalNs_ = ns;
                burstEndsNs_ = ns + kLagFromNs;
            }
            if (ns >= burstEndsNs_)
                noteLagLocked(ns);
            appendLocked(audio);
            edge_.arrived(ns, static_cast<double>(produced_));
            traceLocked('a', ns);
        }
        signal = deliverLocked();
    }
    if (signal && event_)
        event_->set();
}

void StationWaveStream::placeReconnectLocked() {
    // The newest audio of the burst is the sender's newest: it goes where the edge is, and
    // what lies between the old audio and the new is silence.
    const uint64_t frames = placingAudio_.size() / frameBytes_;
    const double missing = edge_.edgeAt(placingLastNs_) - static_cast<double>(produced_) -
                           static_cast<double>(frames);
    std::span<const uint8_t> audio(placingAudio_.data(), frames * frameBytes_);
    if (missing > 0) {
        appendSilenceLocked(static_cast<uint64_t>(std::llround(missing)));
    } else {
        // The new connection repeats audio already held: its repeated start goes.
        const uint64_t repeated = std::min<uint64_t>(frames, std::llround(-missing));
        audio = audio.subspan(repeated * frameBytes_);
    }
    appendLocked(audio);
    edge_.arrived(placingLastNs_, static_cast<double>(produced_));
    traceLocked('r', placingLastNs_);
    burstEndsNs_ = placingLastNs_ + kLagFromNs;
    placing_ = false;
    placingAudio_.clear();
    placingAudio_.shrink_to_fit();
}

void StationWaveStream::traceLocked(char what, int64_t ns) {
    if (!trace_)
        return;
    // The edge less the frames in, in ms: how late the newest audio is.
    const double lagMs = edge_.valid()
                             ? (edge_.edgeAt(ns) - static_cast<double>(produced_)) * 1000 /
                                   format_.samplesPerSec
                             : 0;
    std::fprintf(trace_.get(), "%c %lld %llu %.3f %.4f %u %llu\n", what,
                 static_cast<long long>(ns), static_cast<unsigned long long>(produced_), lagMs,
                 edge_.rate(), edge_.moves(), static_cast<unsigned long long>(delivered_));
}

void StationWaveStream::noteLagLocked(int64_t ns) {
    if (!edge_.valid() || !board_)
        return;
    // Just before new audio comes, what is held is as late as it gets.
    const double lag =
        (edge_.edgeAt(ns) - static_cast<double>(produced_)) / format_.samplesPerSec;
    const int64_t bin = ns / kLagBinNs;
    for (int64_t b = std::max(lagBin_ + 1, bin - static_cast<int64_t>(lagBins_.size()) + 1);
         b <= bin; ++b)
        lagBins_[static_cast<size_t>(b) % lagBins_.size()] = 0;
    lagBin_ = std::max(lagBin_, bin);
    double& worst = lagBins_[static_cast<size_t>(bin) % lagBins_.size()];
    worst = std::max(worst, lag);
    board_->setLag(*std::max_element(lagBins_.begin(), lagBins_.end()));
}

void StationWaveStream::appendLocked(std::span<const uint8_t> audio) {
    const size_t frames = audio.size() / frameBytes_;
    held_.insert(held_.end(), audio.begin(), audio.begin() + frames * frameBytes_);
    produced_ += frames;
    const size_t maxBytes =
        static_cast<size_t>(kMaxHeldSeconds * format_.samplesPerSec) * frameBytes_;
    if (held_.size() - heldStart_ > maxBytes) {
        const size_t drop = held_.size() - heldStart_ - maxBytes;
        heldStart_ += drop;
        delivered_ += drop / frameBytes_;
        skipped_ += drop / frameBytes_;
        ++overruns_;
    }
    // Compact once the consumed front is the larger part.
    if (heldStart_ > 0 && heldStart_ >= held_.size() / 2) {
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(heldStart_));
        heldStart_ = 0;
    }
}

void StationWaveStream::appendSilenceLocked(uint64_t frames) {
    const uint8_t zero = format_.bitsPerSample == 8 ? 0x80 : 0;
    const uint64_t most = static_cast<uint64_t>(kMaxHeldSeconds * format_.samplesPerSec);
    // Beyond what may be held, silence is only numbered: it would be dropped at once.
    const uint64_t kept = std::min(frames, most);
    delivered_ += frames - kept;
    skipped_ += frames - kept;
    produced_ += frames - kept;
    std::vector<uint8_t> silence(kept * frameBytes_, zero);
    appendLocked(silence);
}

bool StationWaveStream::deliverLocked() {
    bool any = false;
    while (started_ && !queue_.empty()) {
        WaveBuffer* buffer = queue_.front();
        const size_t bytes = buffer->bufferLength / frameBytes_ * frameBytes_;
        if (held_.size() - heldStart_ < bytes)
            break;
        std::memcpy(buffer->data, held_.data() + heldStart_, bytes);
        heldStart_ += bytes;
        delivered_ += bytes / frameBytes_;
        queue_.pop_front();
        buffer->bytesRecorded = static_cast<uint32_t>(bytes);
        buffer->setFlag(platform::kWhdrInQueue, false);
        buffer->setFlag(platform::kWhdrDone, true);
        any = true;
    }
    return any;
}

MmResult StationWaveStream::prepare(WaveBuffer& buffer) {
    std::lock_guard lock(m_);
    if (closed_)
        return platform::kMmInvalidHandle;
    if (!buffer.data && buffer.bufferLength)
        return platform::kMmInvalidParam;
    buffer.setFlag(platform::kWhdrPrepared, true);
    return platform::kMmNoError;
}

MmResult StationWaveStream::unprepare(WaveBuffer& buffer) {
    std::lock_guard lock(m_);
    if (buffer.isFlagSet(platform::kWhdrInQueue))
        return platform::kWaveErrStillPlaying;
    buffer.setFlag(platform::kWhdrPrepared, false);
    return platform::kMmNoError;
}

MmResult StationWaveStream::addBuffer(WaveBuffer& buffer) {
    bool signal = false;
    {
        std::lock_guard lock(m_);
        if (closed_)
            return platform::kMmInvalidHandle;
        if (!buffer.isFlagSet(platform::kWhdrPrepared))
            return platform::kWaveErrUnprepared;
        if (buffer.isFlagSet(platform::kWhdrInQueue))
            return platform::kWaveErrStillPlaying;
        buffer.setFlag(platform::kWhdrDone, false);
        buffer.setFlag(platform::kWhdrInQueue, true);
        buffer.bytesRecorded = 0;
        queue_.push_back(&buffer);
        signal = deliverLocked();
    }
    if (signal && event_)
        event_->set();
    return platform::kMmNoError;
}

MmResult StationWaveStream::write(WaveBuffer&) {
    return platform::kMmNotSupported;
}

MmResult StationWaveStream::start() {
    bool signal = false;
    {
        std::lock_guard lock(m_);
        if (closed_)
            return platform::kMmInvalidHandle;
        started_ = true;
        signal = deliverLocked();
    }
    if (signal && event_)
        event_->set();
    return platform::kMmNoError;
}

MmResult StationWaveStream::stop() {
    std::lock_guard lock(m_);
    if (closed_)
        return platform::kMmInvalidHandle;
    started_ = false;
    return platform::kMmNoError;
}

MmResult StationWaveStream::pause() {
    return platform::kMmNotSupported;
}

MmResult StationWaveStream::reset() {
    bool any = false;
    {
        std::lock_guard lock(m_);
        if (closed_)
            return platform::kMmInvalidHandle;
        started_ = false;
        for (WaveBuffer* buffer : queue_) {
            buffer->bytesRecorded = 0;
            buffer->setFlag(platform::kWhdrInQueue, false);
            buffer->setFlag(platform::kWhdrDone, true);
            any = true;
        }
        queue_.clear();
        // What was numbered so far is behind the new count, which starts at 0.
        held_.clear();
        heldStart_ = 0;
        delivered_ = skipped_ = produced_;
    }
    if (any && event_)
        event_->set();
    return platform::kMmNoError;
}

MmResult StationWaveStream::close() {
    {
        std::lock_guard lock(m_);
        if (closed_)
            return platform::kMmInvalidHandle;
    }
    reset();
    // The decoder may be handing audio over: it is stopped before the stream shuts. Its
    // status goes with it, so the card reports no open station.
    if (decoder_)
        decoder_->stop();
    decoder_.reset();
    board_.reset();
    std::lock_guard lock(m_);
    closed_ = true;
    return platform::kMmNoError;
}

MmResult StationWaveStream::position(uint64_t& samples) {
    std::lock_guard lock(m_);
    if (closed_)
        return platform::kMmInvalidHandle;
    samples = delivered_ - skipped_;
    return platform::kMmNoError;
}

uint32_t StationWaveStream::xrunCount() const {
    std::lock_guard lock(m_);
    return overruns_;
}

MmResult StationWaveStream::timing(platform::StreamTiming& out) {
    std::lock_guard lock(m_);
    if (closed_)
        return platform::kMmInvalidHandle;
    const int64_t now = markTime();
    if (!edge_.valid() || now - firstArrivalNs_ < kFirstBurstNs)
        return platform::kMmNotSupported;
    const double frames = edge_.edgeAt(now) - static_cast<double>(skipped_);
    if (frames < 1)
        return platform::kMmNotSupported;
    out = {now, static_cast<uint64_t>(frames)};
    return platform::kMmNoError;
}

}  // namespace una::stream
