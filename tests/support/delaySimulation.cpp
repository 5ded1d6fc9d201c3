#include "support/delaySimulation.h"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <deque>
#include <limits>
#include <numbers>
#include <random>

#include "audio/unaWaveResampler.h"

namespace una::sim {

namespace {

constexpr double kAmplitude = 30000.0;
constexpr double kOrigin = 1.0;          // the monotonic clock's value when the recorder opens
constexpr double kCaptureBuffer = 0.2;   // a machine stall longer than this overruns the card
constexpr uint32_t kLeadChunks = 3;      // silence the chain gives the player when it opens
constexpr uint32_t kPlayerChunks = 14;   // the player's input, its buffers and the card's
constexpr double kNever = std::numeric_limits<double>::infinity();

int64_t toNs(double seconds) {
    return static_cast<int64_t>(std::llround(seconds * 1e9));
}

struct Pending {
    uint64_t frame = 0;
    double captured = 0;  // when the chunk's first frame was captured
    double delay = 0;     // the delay asked for when it was played
};

}  // namespace

Result simulate(const Setup& s, double settledAfter) {
    Result result;
    const double inRate = s.inRate * (1.0 + s.inPpm * 1e-6);
    const double outRate = s.outRate * (1.0 + s.outPpm * 1e-6);
    const double tickInterval = 0.04 / (1.0 + s.timerPpm * 1e-6);
    const uint32_t inChunk = s.inRate / 25, outChunk = s.outRate / 25;
    const uint32_t channels = s.channels;

    DelayLine line({s.inRate, s.outRate, channels, 16, outChunk}, s.tuning);
    double delay = s.delaySeconds;
    line.setDelay(toNs(delay));

    std::mt19937 random(s.seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);

    // The recording card: frame k (counted as delivered) was captured at
    // segmentOrigin + (k - segmentStart) / inRate; an overrun starts a new segment.
    uint64_t delivered = 0, segmentStart = 0;
    double segmentOrigin = kOrigin;
    auto capturedAt = [&](uint64_t k) {
        return segmentOrigin + static_cast<double>(k - segmentStart) / inRate;
    };

    waveChunk src, dst;
    src.setFormat(s.inRate, 16, channels);
    src.resize(inChunk);
    dst.setFormat(s.outRate, 16, channels);
    dst.resize(outChunk);

    // The player and the playback card.
    const double opensAt = kOrigin + s.delaySeconds + s.startLateSeconds;
    uint64_t given = 0;       // frames accepted by the player
    double consumed = 0;      // frames the card has taken
    double cardTime = opensAt;
    bool running = false, started = false, audible = false;
    std::deque<Pending> pending;
    double errorSum = 0;

    auto stallEnd = [&](double t, bool captureSide) {
        for (const Stall& st : s.stalls) {
            const double from = kOrigin + st.at, to = from + st.seconds;
            if ((st.machine || !captureSide) && t >= from && t < to)
                return to;
        }
        return t;
    };
    auto excluded = [&](double heard) {
        if (heard < kOrigin + settledAfter)
            return true;
        for (const Stall& st : s.stalls) {
            const double from = kOrigin + st.at, to = from + st.seconds;
            if (heard >= from && heard < to + 1.0)
                return true;
            // What the card captured around a stall of the machine is heard a delay later,
            // with the gap the stall left in the recording.
            const double captured = heard - delay;
            if (st.machine && captured >= from - 0.1 && captured < to + 1.0)
                return true;
        }
        for (const DelayChange& c : s.changes)
            if (heard >= kOrigin + c.at && heard < kOrigin + c.at + 1.0)
                return true;
        return false;
    };
    auto measure = [&](double upTo, double startTime) {
        // Frames below upTo were taken; the first taken at startTime was frame `consumed`.
        while (!pending.empty() && static_cast<double>(pending.front().frame) < upTo) {
            const Pending p = pending.front();
            pending.pop_front();
            const double heard =
                startTime + (static_cast<double>(p.frame) - consumed) / outRate + s.outLatency;
            // In real time: the simulation's clock is the system clock.
            const double period = 1.0 / s.toneHz;
            double error = std::fmod(heard - p.delay - p.captured, period);
            if (error > period / 2)
                error -= period;
            if (error < -period / 2)
                error += period;
            if (std::isnan(result.firstSound))
                result.firstSound = heard - kOrigin;
            if (excluded(heard))
                continue;
            result.maxAbsError = std::max(result.maxAbsError, std::abs(error));
            errorSum += error;
            ++result.measured;
            const auto second = static_cast<size_t>(heard - kOrigin);
            if (result.errorBySecond.size() <= second)
                result.errorBySecond.resize(second + 1, std::nan(""));
            double& worst = result.errorBySecond[second];
            if (std::isnan(worst) || std::abs(error) > std::abs(worst))
                worst = error;
        }
    };
    auto advanceCard = [&](double t) {
        if (!running) {
            cardTime = std::max(cardTime, t);
            return;
        }
        const double can = (t - cardTime) * outRate;
        const double left = static_cast<double>(given) - consumed;
        if (can < left) {
            measure(consumed + can, cardTime);
            consumed += can;
            cardTime = t;
        } else {
            measure(consumed + left, cardTime);
            consumed += left;
            running = false;
            ++result.underruns;
            cardTime = t;
        }
    };

    std::vector<int16_t> frame(channels);
    std::vector<uint8_t> chunkBytes(static_cast<size_t>(outChunk) * channels * 2);
    std::vector<int16_t> chunk(static_cast<size_t>(outChunk) * channels);
    size_t nextChange = 0;

    double nextDelivery = capturedAt(inChunk) + s.inLatency;
    double nextTick = opensAt;
    bool opened = false;
    const double end = kOrigin + s.runSeconds;

    for (;;) {
        const double deliveryAt = stallEnd(nextDelivery, true);
        const double tickAt = stallEnd(nextTick, false);
        const double t = std::min(deliveryAt, tickAt);
        if (t > end)
            break;
        while (nextChange < s.changes.size() && kOrigin + s.changes[nextChange].at <= t) {
            delay = s.changes[nextChange].delaySeconds;
            line.setDelay(toNs(delay));
            ++nextChange;
        }
        advanceCard(t);

        if (deliveryAt <= tickAt) {
            if (deliveryAt > nextDelivery + kCaptureBuffer) {
                // The card overran while the machine stood still: what it captured is lost,
                // and it captures again from now on.
                segmentStart = delivered;
                segmentOrigin = deliveryAt;
                nextDelivery = capturedAt(delivered + inChunk) + s.inLatency;
                continue;
            }
            const double now = deliveryAt;
            const double captured =
                static_cast<double>(segmentStart) + (now - segmentOrigin) * inRate;
            const double late = now < kOrigin + s.inLateUntil ? s.inLateSeconds * inRate : 0.0;
            line.inputTiming({toNs(now), static_cast<uint64_t>(std::max(
                                             0.0, captured - late +
                                                      unit(random) * s.readingNoise * inRate))});
            auto* samples = reinterpret_cast<int16_t*>(src.data.data());
            // The tone turns by a fixed angle per frame: a rotating phasor, exact enough over
            // one chunk and far cheaper than a sine per sample for hours of audio.
            const double phase = 2 * std::numbers::pi * s.toneHz * capturedAt(delivered);
            const double step = 2 * std::numbers::pi * s.toneHz / inRate;
            double sine = std::sin(phase), cosine = std::cos(phase);
            const double stepSin = std::sin(step), stepCos = std::cos(step);
            for (uint32_t k = 0; k < inChunk; ++k) {
                if (s.source) {
                    s.source(delivered + k, samples + k * channels);
                    continue;
                }
                samples[k * channels] = static_cast<int16_t>(std::lround(kAmplitude * sine));
                for (uint32_t c = 1; c < channels; ++c)
                    samples[k * channels + c] = static_cast<int16_t>(std::lround(kAmplitude * cosine));
                const double nextSine = sine * stepCos + cosine * stepSin;
                cosine = cosine * stepCos - sine * stepSin;
                sine = nextSine;
            }
            src.used = src.size;
            const uint32_t bytes = waveResample(src, dst);
            line.hold(std::span<const uint8_t>(dst.data.data(), bytes), delivered);
            delivered += inChunk;
            nextDelivery = std::max(nextDelivery, capturedAt(delivered + inChunk) + s.inLatency);
            if (nextDelivery < now)
                nextDelivery = now;
            continue;
        }

        // A tick of the mixer's timer.
        const double now = tickAt;
        nextTick = now + tickInterval + unit(random) * s.tickJitter * 0.5;
        if (!opened) {
            opened = true;
            given = static_cast<uint64_t>(kLeadChunks) * outChunk;
        }
        if (started) {
            const double idle = running ? 0.0 : std::max(0.0, s.outLatency - (now - cardTime));
            const double late = now < kOrigin + s.outLateUntil ? s.outLateSeconds * outRate : 0.0;
            const double heard = consumed - (running ? s.outLatency : idle) * outRate - late;
            line.outputTiming({toNs(now), static_cast<uint64_t>(std::max(
                                              0.0, heard + unit(random) * s.readingNoise * outRate))});
        }
        const uint32_t rounds = line.chunksForTick(toNs(now), given);
        for (uint32_t r = 0; r < rounds; ++r) {
            line.play(chunkBytes, given);
            std::memcpy(chunk.data(), chunkBytes.data(), chunkBytes.size());
            const bool silent =
                std::all_of(chunk.begin(), chunk.end(), [](int16_t v) { return v == 0; });
            if (!silent)
                audible = true;
            else if (audible)
                ++result.silentChunks;
            if (static_cast<double>(given) - consumed >
                static_cast<double>(kPlayerChunks) * outChunk) {
                ++result.overflows;
                continue;
            }
            if (s.played)
                s.played(given, chunk);
            if (!s.source && channels >= 2) {
                const double left = chunk[0] / kAmplitude, right = chunk[1] / kAmplitude;
                if (std::hypot(left, right) > 0.9) {
                    double phase = std::atan2(left, right);
                    const double period = 1.0 / s.toneHz;
                    pending.push_back({given, phase / (2 * std::numbers::pi) * period, delay});
                }
            }
            given += outChunk;
        }
        if (!running && static_cast<double>(given) - consumed >= 2.0 * outChunk) {
            running = true;
            started = true;
            cardTime = now;
        }
    }
    result.meanError = result.measured ? errorSum / static_cast<double>(result.measured) : 0.0;
    result.figures = line.figures();
    return result;
}

}  // namespace una::sim
