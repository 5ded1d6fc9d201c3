// What the sound server says about where its streams are, the way the program's sound-server
// backend asks it: a playback stream into tv and a recording of tv.monitor (44.1 kHz stereo,
// the backend's buffer sizes), each asked for its timing every 5 ms. Prints, per stream, how
// often the figures move, the latencies they include, how far the backend's reckoning of the
// converter's position strays from a straight line, and where it sat early in the run against
// where it settled. Run it on PulseAudio and on PipeWire's pulse service to compare them.
//   bench_pulse_timing [seconds [rate [scale]]]   default 20 s at 44100 Hz, scale 1
// `scale` multiplies the buffer sizes as a long delay's longer chunks do (5 from a delay of 4 s).
#include <pulse/pulseaudio.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/cyclePosition.h"

namespace {

int64_t nowNs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

struct Reading {
    int64_t monoNs;   // the server's stamp, on the monotonic clock
    int64_t ageNs;    // how old that stamp was when the answer came
    int64_t index;    // bytes: read index (playback) or write index (recording)
    double sinkUs, sourceUs, transportUs;
    bool playing;
};

pa_threaded_mainloop* gLoop;
uint32_t gRate = 44100;
int64_t gPlayed = 0;    // frames written
int64_t gRecorded = 0;  // frames read
std::vector<int64_t> gClicksPlayed, gClicksHeard;
int64_t gPeakAt = -1;
int gPeak = 0;

void signalLoop(pa_stream*, int, void*) { pa_threaded_mainloop_signal(gLoop, 0); }

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void report(const char* name, const std::vector<Reading>& r, bool playback, double rate,
            int frameBytes) {
    // The converter's position as the backend reckons it from one answer.
    auto frames = [&](const Reading& x) {
        double f = static_cast<double>(x.index / frameBytes);
        if (playback)
            return x.playing ? f - x.sinkUs * rate / 1e6 : f;
        return f + (x.sourceUs - x.sinkUs) * rate / 1e6;
    };
    std::vector<double> steps, ages, sinkUs, sourceUs, transportUs;
    int moved = 0;
    for (size_t i = 0; i < r.size(); ++i) {
        ages.push_back(static_cast<double>(r[i].ageNs) / 1e6);
        sinkUs.push_back(r[i].sinkUs / 1000);
        sourceUs.push_back(r[i].sourceUs / 1000);
        transportUs.push_back(r[i].transportUs / 1000);
        if (i > 0 && r[i].index != r[i - 1].index) {
            ++moved;
            steps.push_back(static_cast<double>(r[i].index - r[i - 1].index) / frameBytes);
        }
    }
    auto range = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        char t[96];
        std::snprintf(t, sizeof t, "%.2f..%.2f (median %.2f)", v.front(), v.back(), v[v.size() / 2]);
        return std::string(t);
    };
    std::printf("%s: %zu answers, the index moved in %d (steps median %.0f frames)\n", name,
                r.size(), moved, median(steps));
    std::printf("  sink latency ms %s; source latency ms %s; transport ms %s; answer age ms %s\n",
                range(sinkUs).c_str(), range(sourceUs).c_str(), range(transportUs).c_str(),
                range(ages).c_str());
    // A line through the second half at the nominal rate: where each reading sits against it.
    const int64_t t0 = r.front().monoNs;
    std::vector<double> off;
    for (const Reading& x : r)
        off.push_back(frames(x) - static_cast<double>(x.monoNs - t0) * rate / 1e9);
    const double settled = median(std::vector<double>(off.begin() + static_cast<long>(off.size() / 2), off.end()));
    std::vector<double> dev;
    for (size_t i = off.size() / 2; i < off.size(); ++i)
        dev.push_back(std::abs(off[i] - settled) / rate * 1000);
    std::sort(dev.begin(), dev.end());
    std::printf("  second half against its median: |dev| median %.2f ms, 95 %% %.2f, max %.2f\n",
                dev[dev.size() / 2], dev[dev.size() * 95 / 100], dev.back());
    const double bounds[] = {0.25, 0.5, 1, 2, 5, 10, 20, 40, 1e9};
    std::printf("  median position against the settled one, ms, by seconds since the start:");
    double from = 0;
    for (double to : bounds) {
        std::vector<double> part;
        for (size_t i = 0; i < r.size(); ++i) {
            const double s = static_cast<double>(r[i].monoNs - t0) / 1e9;
            if (s >= from && s < to)
                part.push_back(off[i] - settled);
        }
        if (!part.empty())
            std::printf(" %g-%g: %+.2f", from, to, median(part) / rate * 1000);
        from = to;
    }
    std::printf("\n");
}

// Each click, played at a known frame and found at a known frame of the recording, passes
// the sink at one moment. The streams' positions give two moments for it; their difference is
// the error a delay placed with them is heard with.
void clickReport(const std::vector<Reading>& play, const std::vector<Reading>& rec, double rate,
                 int frameBytes) {
    for (bool enveloped : {false, true}) {
        auto line = [&](const std::vector<Reading>& r, bool playback) {
            std::vector<std::pair<int64_t, double>> out;
            platform::CyclePosition cycle;
            for (const Reading& x : r) {
                double f = static_cast<double>(x.index / frameBytes);
                f += playback ? (x.playing ? -x.sinkUs * rate / 1e6 : 0)
                              : (x.sourceUs - x.sinkUs) * rate / 1e6;
                if (enveloped) {
                    f = cycle.add(x.monoNs, static_cast<int64_t>(f), rate);
                    if (playback)
                        f -= cycle.cycleFrames(0);
                }
                out.push_back({x.monoNs, f});
            }
            return out;
        };
        // The moment a frame passes, from the readings within a second of it (median).
        auto momentOf = [&](const std::vector<std::pair<int64_t, double>>& l, double frame) {
            std::vector<double> t;
            for (const auto& [ns, f] : l)
                if (std::abs(f - frame) < rate)
                    t.push_back(static_cast<double>(ns) + (frame - f) / rate * 1e9);
            return t.empty() ? std::nan("") : median(t);
        };
        const auto p = line(play, true), q = line(rec, false);
        std::printf("click error ms (%s):", enveloped ? "highest line, playback a cycle back" : "as answered");
        for (size_t i = 0; i < gClicksPlayed.size() && i < gClicksHeard.size(); ++i)
            std::printf(" %+.2f", (momentOf(p, static_cast<double>(gClicksPlayed[i])) -
                                   momentOf(q, static_cast<double>(gClicksHeard[i]))) / 1e6);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    const uint32_t rate = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 44100;
    const uint32_t scale = argc > 3 ? static_cast<uint32_t>(std::clamp(std::atoi(argv[3]), 1, 5)) : 1;
    gRate = rate;
    gLoop = pa_threaded_mainloop_new();
    pa_context* c = pa_context_new(pa_threaded_mainloop_get_api(gLoop), "pulse_timing");
    pa_context_set_state_callback(c, [](pa_context*, void*) { pa_threaded_mainloop_signal(gLoop, 0); },
                                  nullptr);
    pa_threaded_mainloop_lock(gLoop);
    pa_threaded_mainloop_start(gLoop);
    pa_context_connect(c, nullptr, PA_CONTEXT_NOFLAGS, nullptr);
    while (pa_context_get_state(c) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) {
            std::fprintf(stderr, "no sound server\n");
            return 2;
        }
        pa_threaded_mainloop_wait(gLoop);
    }
    pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, rate, 2};
    const int frameBytes = 4;
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    pa_buffer_attr attr{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                        static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                        static_cast<uint32_t>(-1)};
    // As the backend: 20 ms fragments, or whole chunks of 40 ms times the scale.
    attr.fragsize = static_cast<uint32_t>(
        pa_usec_to_bytes(scale > 1 ? 40000 * scale : 20000, &sampleFormat));
    pa_stream* rec = pa_stream_new(c, "timing recording", &sampleFormat, nullptr);
    pa_stream_set_read_callback(rec, [](pa_stream* s, size_t, void*) {
        const void* data;
        size_t n;
        while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &n) == 0 && n > 0) {
            const auto* x = static_cast<const int16_t*>(data);
            for (size_t i = 0; data && i < n / 4; ++i, ++gRecorded) {
                const int v = std::abs(static_cast<int>(x[2 * i]));
                if (v > 8000 && v > gPeak && (gPeakAt < 0 || gRecorded - gPeakAt < 200)) {
                    gPeak = v;
                    gPeakAt = gRecorded;
                }
                if (gPeakAt >= 0 && gRecorded - gPeakAt > 2000) {
                    gClicksHeard.push_back(gPeakAt);
                    gPeakAt = -1;
                    gPeak = 0;
                }
            }
            if (!data)
                gRecorded += static_cast<int64_t>(n / 4);
            pa_stream_drop(s);
        }
    }, nullptr);
    pa_stream_connect_record(rec, "tv.monitor", &attr, flags);
    pa_buffer_attr playAttr = attr;
    playAttr.fragsize = static_cast<uint32_t>(-1);
    playAttr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(80000 * scale, &sampleFormat));
    playAttr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(20000 * scale, &sampleFormat));
    playAttr.prebuf = playAttr.minreq;
    pa_stream* play = pa_stream_new(c, "timing playback", &sampleFormat, nullptr);
    pa_stream_set_write_callback(play, [](pa_stream* s, size_t n, void*) {
        std::vector<int16_t> frames(n / 2, 0);
        for (size_t i = 0; i < n / 4; ++i, ++gPlayed)
            if (gPlayed > 0 && gPlayed % gRate == 0) {
                frames[2 * i] = frames[2 * i + 1] = 30000;
                gClicksPlayed.push_back(gPlayed);
            }
        pa_stream_write(s, frames.data(), n / 4 * 4, nullptr, 0, PA_SEEK_RELATIVE);
    }, nullptr);
    pa_stream_connect_playback(play, "tv", &playAttr, flags, nullptr, nullptr);
    std::vector<Reading> recReadings, playReadings;
    const int64_t end = nowNs(CLOCK_MONOTONIC) + static_cast<int64_t>(seconds * 1e9);
    while (nowNs(CLOCK_MONOTONIC) < end) {
        for (pa_stream* s : {play, rec}) {
            if (pa_stream_get_state(s) != PA_STREAM_READY)
                continue;
            pa_operation* op = pa_stream_update_timing_info(s, signalLoop, nullptr);
            while (op && pa_operation_get_state(op) == PA_OPERATION_RUNNING)
                pa_threaded_mainloop_wait(gLoop);
            if (op)
                pa_operation_unref(op);
            const pa_timing_info* t = pa_stream_get_timing_info(s);
            if (!t)
                continue;
            const int64_t stamp = static_cast<int64_t>(t->timestamp.tv_sec) * 1'000'000'000 +
                                  static_cast<int64_t>(t->timestamp.tv_usec) * 1000;
            const int64_t realNow = nowNs(CLOCK_REALTIME);
            Reading x{nowNs(CLOCK_MONOTONIC) - (realNow - stamp), realNow - stamp,
                      s == play ? t->read_index : t->write_index,
                      static_cast<double>(t->sink_usec), static_cast<double>(t->source_usec),
                      static_cast<double>(t->transport_usec), t->playing != 0};
            (s == play ? playReadings : recReadings).push_back(x);
        }
        pa_threaded_mainloop_unlock(gLoop);
        timespec pauseFor{0, 5'000'000};
        nanosleep(&pauseFor, nullptr);
        pa_threaded_mainloop_lock(gLoop);
    }
    pa_stream_disconnect(play);
    pa_stream_disconnect(rec);
    pa_threaded_mainloop_unlock(gLoop);
    pa_threaded_mainloop_stop(gLoop);
    std::printf("%.0f s at %u Hz, buffers x%u\n", seconds, rate, scale);
    if (playReadings.size() > 10)
        report("playback into tv", playReadings, true, rate, frameBytes);
    if (recReadings.size() > 10)
        report("recording of tv.monitor", recReadings, false, rate, frameBytes);
    clickReport(playReadings, recReadings, rate, frameBytes);
    return 0;
}
