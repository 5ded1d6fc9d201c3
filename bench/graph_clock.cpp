// Whether the sound server's graph keeps real time: records a sink's monitor (and plays
// silence into the sink, as the program does) and counts the frames that arrive against
// CLOCK_MONOTONIC. A graph that skips cycles delivers fewer frames than the clock passed; the
// figures are what a listener of the sink would have lost or gained.
//   bench_graph_clock [--seconds N] [--sink NAME] [--rate HZ] [--no-play]
// Prints the time lost over the run and per 100 s, the pace in ppm, the largest single steps,
// and on PipeWire the graph's clock settings.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

double nowSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Options {
    double seconds = 60;
    std::string sink = "tv";
    uint32_t rate = 48000;
    bool play = true;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            o.seconds = std::atof(argv[++i]);
        else if (arg == "--sink" && hasValue)
            o.sink = argv[++i];
        else if (arg == "--rate" && hasValue)
            o.rate = static_cast<uint32_t>(std::atoi(argv[++i]));
        else if (arg == "--no-play")
            o.play = false;
        else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--sink NAME] [--rate HZ] [--no-play]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    return o;
}

pa_simple* openStream(pa_stream_direction_t direction, const std::string& device, uint32_t rate,
                      uint32_t chunkFrames) {
    const pa_sample_spec format{PA_SAMPLE_S16LE, rate, 2};
    pa_buffer_attr attr{};
    const uint32_t chunkBytes = chunkFrames * 4;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = chunkBytes;
    attr.tlength = chunkBytes * 8;
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    int error = 0;
    pa_simple* s = pa_simple_new(nullptr, "bench_graph_clock", direction, device.c_str(),
                                 direction == PA_STREAM_RECORD ? "monitor" : "silence", &format,
                                 nullptr, &attr, &error);
    if (!s)
        std::fprintf(stderr, "cannot open %s: %s\n", device.c_str(), pa_strerror(error));
    return s;
}

// The graph's settings as PipeWire holds them while the streams run (pw-top has no batch mode
// in 0.3.65); empty on another server.
std::string pipewireSettings() {
    const char* kind = std::getenv("UNA_SOUND_SERVER_KIND");
    if (!kind || std::strcmp(kind, "pipewire") != 0)
        return {};
    FILE* p = popen("pw-metadata -n settings 0 2>/dev/null", "r");
    if (!p)
        return {};
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) {
        const std::string line = buffer;
        const auto key = line.find("key:'");
        if (key == std::string::npos)
            continue;
        const auto value = line.find("value:'");
        text += "  " + line.substr(key + 5, line.find('\'', key + 5) - key - 5) + " = " +
                (value == std::string::npos
                     ? std::string("?")
                     : line.substr(value + 7, line.find('\'', value + 7) - value - 7)) +
                "\n";
    }
    pclose(p);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const uint32_t chunkFrames = o.rate / 200;  // 5 ms reads: finer than any graph cycle
    const std::string monitor = o.sink + ".monitor";
    pa_simple* rec = openStream(PA_STREAM_RECORD, monitor, o.rate, chunkFrames);
    if (!rec)
        return 1;
    std::atomic<bool> stop{false};
    std::thread player;
    if (o.play) {
        pa_simple* out = openStream(PA_STREAM_PLAYBACK, o.sink, o.rate, chunkFrames);
        if (!out)
            return 1;
        player = std::thread([out, chunkFrames, &stop] {
            const std::vector<int16_t> silence(chunkFrames * 2, 0);
            int error = 0;
            while (!stop && pa_simple_write(out, silence.data(), silence.size() * 2, &error) >= 0) {
            }
            pa_simple_free(out);
        });
    }

    // Per read: the clock minus the frames' own time. Reads queue behind a graph cycle, so each
    // second's smallest value is the graph's position; a rise is time the graph lost.
    std::vector<int16_t> buffer(chunkFrames * 2);
    const double settle = 2.0;  // the streams' first cycles start late by their own measure
    const double start = nowSeconds();
    double origin = 0;
    uint64_t frames = 0;
    std::vector<double> windowMin;  // one per second after the settling
    int error = 0;
    while (true) {
        if (pa_simple_read(rec, buffer.data(), buffer.size() * 2, &error) < 0) {
            std::fprintf(stderr, "read failed: %s\n", pa_strerror(error));
            break;
        }
        const double t = nowSeconds();
        frames += chunkFrames;
        const double elapsed = t - start;
        if (elapsed < settle) {
            origin = frames;
            continue;
        }
        const double offsetMs = (t - start - settle - (frames - origin) / o.rate) * 1e3;
        const size_t window = static_cast<size_t>(elapsed - settle);
        if (window >= windowMin.size())
            windowMin.push_back(offsetMs);
        else
            windowMin[window] = std::min(windowMin[window], offsetMs);
        if (elapsed >= o.seconds + settle)
            break;
    }
    const std::string settings = pipewireSettings();
    stop = true;
    if (player.joinable())
        player.join();
    pa_simple_free(rec);
    if (windowMin.size() < 3) {
        std::fprintf(stderr, "too short a run\n");
        return 1;
    }

    // The steps between seconds: a skipped cycle shows as a rise of one cycle or more, a
    // steady pace off the clock as the same small slope everywhere.
    const size_t n = windowMin.size() - 1;  // the last second may be partial
    std::vector<double> steps;
    for (size_t i = 1; i < n; ++i)
        steps.push_back(windowMin[i] - windowMin[i - 1]);
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < n; ++i) {
        sx += i;
        sy += windowMin[i];
        sxx += static_cast<double>(i) * i;
        sxy += i * windowMin[i];
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);  // ms per s
    const double lost = windowMin[n - 1] - windowMin[0];
    double stalls = 0, gains = 0;
    int stallCount = 0;
    for (double s : steps) {
        if (s > 2.0) {
            stalls += s;
            ++stallCount;
        }
        if (s < -2.0)
            gains += s;
    }
    std::vector<double> sorted = steps;
    std::sort(sorted.begin(), sorted.end(), [](double a, double b) { return a > b; });

    const char* kind = std::getenv("UNA_SOUND_SERVER_KIND");
    std::printf("server %s, %s at %u Hz%s, %zu s against CLOCK_MONOTONIC\n",
                kind ? kind : "pulseaudio", monitor.c_str(), o.rate,
                o.play ? " (silence played into the sink)" : "", n - 1);
    std::printf("lost %.2f ms in all, %.1f ms per 100 s, pace %+.0f ppm (a fit over seconds)\n",
                lost, lost * 100.0 / (n - 1), -slope * 1e3);
    std::printf("steps over 2 ms: %d, %.2f ms lost in them; %.2f ms gained in steps back\n",
                stallCount, stalls, std::fabs(gains));
    std::printf("largest steps (ms):");
    for (size_t i = 0; i < std::min<size_t>(5, sorted.size()); ++i)
        std::printf(" %+.2f", sorted[i]);
    std::printf("\n");
    if (!settings.empty())
        std::printf("PipeWire's settings during the run:\n%s", settings.c_str());
    return 0;
}
