// ctest-labels: sound
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/echoRuler.h"
#include "support/monitorProbe.h"
#include "support/soundPeer.h"

namespace snd = una::sound;
using namespace std::chrono_literals;

namespace {

const std::string kProgram = UNA_BINARY_DIR "/app/ruzizavuvodideza";
constexpr uint32_t kRate = 44100;

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A status line at the delay set (as printed, "2.0") with a delay heard within 2 ms of it.
bool heardNear(const std::string& output, const std::string& delaySet) {
    return snd::heardNear(output, "delay " + delaySet + " s, heard ", std::stod(delaySet));
}
// How a numbered signal came through a recording. Frames are classified against the number
// expected next: a frame that carries it is intact; a jump forward means frames went missing;
// a jump back means frames came twice or out of order (a second copy shows this way too).
// Silence inside the signal is what a sink plays when it underruns.
struct Followed {
    bool found = false;
    int64_t origin = 0;  // recording frame where signal frame 0 is
    uint32_t intact = 0;
    uint32_t missing = 0;    // frames skipped by forward jumps
    uint32_t backwards = 0;  // jumps back
    uint32_t silent = 0;     // silent frames between the first and the last sound

    bool whole(uint32_t frames) const {
        return found && intact == frames && missing == 0 && backwards == 0 && silent == 0;
    }
};

Followed follow(const std::vector<int16_t>& stereo) {
    Followed f;
    const int64_t total = static_cast<int64_t>(stereo.size() / 2);
    auto silent = [&](int64_t i) { return stereo[2 * i] == 0 && stereo[2 * i + 1] == 0; };
    int64_t first = 0;
    while (first < total && silent(first))
        ++first;
    int64_t last = total;
    while (last > first && silent(last - 1))
        --last;
    if (first == last)
        return f;
    f.found = true;
    const uint32_t firstNumber = static_cast<uint32_t>(stereo[2 * first]) & 0x7FFF;
    f.origin = first - firstNumber;
    f.missing = firstNumber;
    uint32_t expected = firstNumber;
    for (int64_t i = first; i < last; ++i) {
        if (silent(i)) {
            ++f.silent;
            continue;
        }
        const uint32_t number = static_cast<uint32_t>(stereo[2 * i]) & 0x7FFF;
        const bool pair = stereo[2 * i + 1] == static_cast<int16_t>(~stereo[2 * i]);
        const uint32_t ahead = (number - expected) & 0x7FFF;
        if (pair && ahead == 0) {
            ++f.intact;
        } else if (pair && ahead < 0x4000) {
            f.missing += ahead;
            ++f.intact;
        } else {
            ++f.backwards;
        }
        expected = (number + 1) & 0x7FFF;
    }
    return f;
}

// The program as a user runs it, with its output in files.
struct ProgramRun {
    explicit ProgramRun(const std::string& stem)
        : out(snd::tempPath(stem + "-out")),
          err(snd::tempPath(stem + "-err")),
          rc(snd::tempPath(stem + "-rc")),
          settings(snd::tempPath(stem + "-settings") + ".ini") {}
    ~ProgramRun() {
        for (const std::string& f : {out, err, rc, settings})
            std::remove(f.c_str());
    }
    // The shell command that runs the program with args and keeps its exit code.
    std::string command(const std::string& args) const {
        return "PULSE_SOURCE=radio.monitor PULSE_SINK=tv '" + kProgram + "' " + args + " > '" +
               out + "' 2> '" + err + "'; echo $? > '" + rc + "'";
    }
    int exitCode() const {
        const std::string text = readText(rc);
        return text.empty() ? -1000 : std::atoi(text.c_str());
    }
    const std::string out, err, rc, settings;
};

int runNow(const ProgramRun& run, const std::string& args) {
    snd::runCommand(run.command(args));
    return run.exitCode();
}

TEST(HeadlessCommandLine, HelpVersionAndBadArguments) {
    ProgramRun run("cli");
    EXPECT_EQ(runNow(run, "--help"), 0);
    EXPECT_NE(readText(run.out).find("--headless"), std::string::npos);
    EXPECT_EQ(runNow(run, "--version"), 0);
    EXPECT_EQ(readText(run.out), "RuzizavuVodideza v.1.11\n");

    for (const std::string args :
         {"--headless --delay soon", "--headless --delay 500", "--headless --duration -1",
          "--headless --status-every -5", "--headless --status-every 1.5", "--status-every 60",
          "--frobnicate", "--delay 2", "--headless --in", "--headless --in 9999 --duration 1",
          "--headless --preset Nowhere"}) {
        EXPECT_EQ(runNow(run, args + " --settings '" + run.settings + "'"), 2) << args;
        const std::string message = readText(run.err);
        EXPECT_NE(message.find("ruzizavuvodideza: "), std::string::npos) << args;
        EXPECT_EQ(message.find("terminate"), std::string::npos) << args;
        EXPECT_EQ(readText(run.out).find("Recording"), std::string::npos) << args;
    }
}

class HeadlessOnSoundServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!snd::serverAvailable())
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
        radioKeeper = std::make_unique<snd::PeerProcess>(
            "exec pacat -p --raw -d radio --latency-msec=10 /dev/zero");
        tvKeeper = std::make_unique<snd::PeerProcess>(
            "exec pacat -p --raw -d tv --latency-msec=10 /dev/zero");
        // Until the sinks have settled to the keepers' low latency their figures keep
        // changing, and the program, following them, would splice the signal.
        snd::waitSinksSettled({"radio", "tv"}, 50000, 5000);
    }
    std::unique_ptr<snd::PeerProcess> radioKeeper, tvKeeper;
};

TEST_F(HeadlessOnSoundServer, ListsBothDeviceDirections) {
    ProgramRun run("list");
    EXPECT_EQ(runNow(run, "--list-devices"), 0);
    const std::string text = readText(run.out);
    const size_t playback = text.find("Playback devices");
    const size_t recording = text.find("Recording devices");
    ASSERT_NE(playback, std::string::npos) << text;
    ASSERT_NE(recording, std::string::npos) << text;
    EXPECT_NE(text.find("   -1  ", playback), std::string::npos);
    EXPECT_NE(text.find("   -1  ", recording), std::string::npos);
}

// A device named instead of numbered, as a service gives it; the status lines can be spaced
// out (0: none) for a log that keeps everything.
TEST_F(HeadlessOnSoundServer, DevicesByNameAndStatusEvery) {
    ProgramRun run("names");
    const std::string common = " --settings '" + run.settings + "' --no-save --delay 0.5 ";
    EXPECT_EQ(runNow(run,
                     "--headless --in radio.monitor --out 'TV speakers' --duration 1.5 "
                     "--status-every 0" +
                         common),
              0)
        << readText(run.err);
    std::string out = readText(run.out);
    EXPECT_NE(out.find("Recording from device 0 "), std::string::npos) << out;
    EXPECT_NE(out.find("playing on device 1 "), std::string::npos) << out;
    EXPECT_EQ(out.find(" s] "), std::string::npos) << "no status lines:\n" << out;

    EXPECT_EQ(
        runNow(run, "--headless --in 'monitor of tv' --duration 2.5 --status-every 2" + common), 0)
        << readText(run.err);
    out = readText(run.out);
    EXPECT_NE(out.find("Recording from device 1 "), std::string::npos) << out;
    EXPECT_NE(out.find("[   2.0 s] "), std::string::npos) << out;
    EXPECT_EQ(out.find("[   1.0 s] "), std::string::npos) << out;

    for (const auto& [args, message] :
         {std::pair{"--in 'Monitor of'", "more than one recording device"},
          std::pair{"--out nowhere", "no playback device named \"nowhere\""}}) {
        EXPECT_EQ(runNow(run, "--headless --duration 1 " + std::string(args) + common), 2);
        EXPECT_NE(readText(run.err).find(message), std::string::npos) << readText(run.err);
        EXPECT_EQ(readText(run.out).find("Recording"), std::string::npos);
    }
}

// A loopback from the radio's monitor straight into the TV sink for the scope: what goes into
// the radio then also reaches tv.monitor at once, so one recorder sees the signal going in
// and coming out on one time base. Two recorders would not do: each starts an unknown time
// after it was asked to, up to a second on a busy machine.
class RadioLoopback {
  public:
    RadioLoopback() {
        const std::string idFile = snd::tempPath("loopback-id");
        if (snd::runCommand("pactl load-module module-loopback source=radio.monitor sink=tv "
                            "latency_msec=20 > '" +
                            idFile + "'") == 0)
            module_ = std::atoi(readText(idFile).c_str());
        std::remove(idFile.c_str());
    }
    ~RadioLoopback() {
        if (module_ > 0)
            snd::runCommand("pactl unload-module " + std::to_string(module_));
    }
    RadioLoopback(const RadioLoopback&) = delete;
    RadioLoopback& operator=(const RadioLoopback&) = delete;
    bool loaded() const { return module_ > 0; }

  private:
    int module_ = -1;
};

// One run of the program: a numbered signal goes into the radio while tv.monitor is recorded.
// The recording holds the signal twice: first through the loopback (its onset is the time the
// signal went in; the loopback resamples, so its samples are not exact), then as the program
// played it.
struct DelayAttempt {
    bool referenceFound = false;
    Followed heard;  // the program's copy
    double delay = 0;
    std::string output;
};

DelayAttempt runDelayAttempt(uint32_t numberedFrames) {
    DelayAttempt attempt;
    ProgramRun run("delay");
    const std::string tvFile = snd::tempPath("headless-tv");
    const std::string signalFile = snd::tempPath("headless-signal");
    // Silence around the signal: a new stream's first milliseconds may not reach the monitor.
    const uint32_t leadIn = kRate * 3 / 10;
    std::vector<int16_t> signal(leadIn * 2, 0);
    const std::vector<int16_t> numbered = snd::numberedFrames(0, numberedFrames);
    signal.insert(signal.end(), numbered.begin(), numbered.end());
    signal.insert(signal.end(), leadIn * 2, 0);
    EXPECT_TRUE(snd::writeFile(signalFile, signal));

    snd::PeerProcess tvRecorder(
        "exec parec --raw --format=s16le --rate=44100 --channels=2 --latency-msec=10 "
        "-d tv.monitor > '" +
        tvFile + "'");
    std::this_thread::sleep_for(500ms);

    snd::PeerProcess program(
        run.command("--headless --delay 2 --duration 7 --no-save "
                    "--settings '" +
                    run.settings + "'"));
    EXPECT_TRUE(eventually(
        [&] { return readText(run.out).find("Recording from") != std::string::npos; }, 10s))
        << readText(run.out) << readText(run.err);
    // The signal comes well after the first audible frame.
    std::this_thread::sleep_for(1200ms);
    snd::PeerProcess player(
        "exec pacat -p --raw -d radio --format=s16le --rate=44100 --channels=2 "
        "--latency-msec=200 < '" +
        signalFile + "'");
    EXPECT_TRUE(program.waitExit(20000));
    player.waitExit(2000);
    std::this_thread::sleep_for(300ms);
    tvRecorder.stop();

    attempt.output = readText(run.out);
    EXPECT_EQ(run.exitCode(), 0) << attempt.output << readText(run.err);
    EXPECT_EQ(readText(run.err), "");
    EXPECT_NE(attempt.output.find("Playback started after 2.0 s"), std::string::npos)
        << attempt.output;
    // The player opened at once and plays silence until the first frame is due.
    EXPECT_NE(attempt.output.find("] Running, delay 2.0 s, heard - s, held "), std::string::npos)
        << attempt.output;
    EXPECT_TRUE(heardNear(attempt.output, "2.0")) << attempt.output;
    EXPECT_NE(attempt.output.find("\nDropouts: recording "), std::string::npos) << attempt.output;
    EXPECT_NE(attempt.output.find("Stopped"), std::string::npos) << attempt.output;

    const std::vector<int16_t> tv = snd::readFile(tvFile);
    for (const std::string& f : {tvFile, signalFile})
        std::remove(f.c_str());
    size_t onset = 0;
    while (onset + 1 < tv.size() / 2 && tv[2 * onset] == 0 && tv[2 * onset + 1] == 0)
        ++onset;
    attempt.referenceFound = onset + 1 < tv.size() / 2;
    if (!attempt.referenceFound)
        return attempt;
    // The program's copy starts a delay after the reference, well after the reference ended.
    const size_t after = std::min(tv.size() / 2, onset + numberedFrames + kRate / 4);
    attempt.heard = follow(std::vector<int16_t>(tv.begin() + 2 * after, tv.end()));
    attempt.delay = static_cast<double>(static_cast<int64_t>(after) + attempt.heard.origin -
                                        static_cast<int64_t>(onset)) /
                    kRate;
    return attempt;
}

// The signal comes out once, in order and the chosen delay later. On a loaded machine a
// sound-server stream underruns now and then and the server plays a few milliseconds of
// silence in place of the audio; that is not the program's doing, so a run with such a gap is
// repeated. The two null sinks run on clocks hundreds of ppm apart, so the program trims a
// millisecond now and then (a few crossfaded frames that are no numbered pair).
TEST_F(HeadlessOnSoundServer, DelaysASignalFromRadioToTvByTwoSeconds) {
    if (snd::serverResamples())
        GTEST_SKIP() << "numbered frames do not survive the server's resampling";
    RadioLoopback loopback;
    ASSERT_TRUE(loopback.loaded()) << "pactl could not load module-loopback";
    std::this_thread::sleep_for(500ms);
    constexpr uint32_t kNumbered = kRate * 3 / 2;
    bool whole = false;
    std::string outputs;
    for (int run = 1; run <= 3 && !whole && !HasFailure(); ++run) {
        const DelayAttempt a = runDelayAttempt(kNumbered);
        outputs += a.output;
        std::printf("run %d: %u intact, %u missing, %u silent, %u backwards; delay %.3f s\n", run,
                    a.heard.intact, a.heard.missing, a.heard.silent, a.heard.backwards, a.delay);
        ASSERT_TRUE(a.referenceFound) << "the signal did not reach tv.monitor through the loopback";
        ASSERT_TRUE(a.heard.found) << "nothing came out of the program\n" << a.output;
        EXPECT_LE(a.heard.backwards, kNumbered / 100) << "frames repeated or out of order";
        EXPECT_GE(a.heard.intact, kNumbered * 9 / 10);
        EXPECT_GE(a.delay, 1.95);
        EXPECT_LE(a.delay, 2.4);
        whole = a.heard.found && a.heard.silent == 0 && a.heard.missing <= kNumbered / 100 &&
                a.heard.backwards <= kNumbered / 100;
    }
    EXPECT_TRUE(whole) << "no run brought the signal through whole\n" << outputs;
}

// Frames numbered over 30 bits (the left sample the low 15, the right one more than the rest),
// so a skip of seconds cannot hide behind the numbers wrapping.
// `at`: where in the recording it is.
int64_t firstNumberedFrame(const std::vector<int16_t>& stereo, size_t* at = nullptr) {
    auto number = [&](size_t i) -> int64_t {
        const int16_t left = stereo[2 * i], right = stereo[2 * i + 1];
        return left < 0 || right < 1 ? -1 : (int64_t{right - 1} << 15) | left;
    };
    for (size_t i = 0; i + 1 < stereo.size() / 2; ++i)
        if (number(i) >= 0 && number(i + 1) == number(i) + 1) {
            if (at)
                *at = i;
            return number(i);
        }
    return -1;
}

// The first sound heard is the first audio recorded, so it comes the delay after the start:
// the player opens early enough that its start-up skips nothing. A short delay leaves the
// player no time to spare, and its start is timed on tv.monitor against the program's launch.
TEST_F(HeadlessOnSoundServer, TheFirstSoundHeardIsTheFirstAudioRecorded) {
    ProgramRun run("first");
    const std::string signalFile = snd::tempPath("first-signal");
    const std::string wavFile = snd::tempPath("first-saved") + ".wav";
    std::vector<int16_t> signal(size_t{kRate} * 16 * 2);
    for (uint32_t k = 0; k < signal.size() / 2; ++k) {
        signal[2 * k] = static_cast<int16_t>(k & 0x7FFF);
        signal[2 * k + 1] = static_cast<int16_t>((k >> 15) + 1);
    }
    ASSERT_TRUE(snd::writeFile(signalFile, signal));
    snd::PeerProcess player("exec pacat -p --raw -d radio --format=s16le --rate=44100 "
                            "--channels=2 --latency-msec=20 < '" + signalFile + "'",
                            snd::PeerProcess::Pace::steady);
    snd::MonitorProbe radio("radio.monitor", kRate);
    snd::MonitorProbe tv("tv.monitor", kRate);
    ASSERT_TRUE(radio.start());
    ASSERT_TRUE(tv.start());
    // An idle null sink wakes only every 2 s, and a stream new to it waits for that (the
    // server's own way, no card's): the probe keeps tv awake, as a card playing would be.
    std::this_thread::sleep_for(2500ms);
    for (const double delay : {4.0, 0.5}) {
        SCOPED_TRACE("delay " + std::to_string(delay));
        const size_t from = tv.samples().size() / 2;
        const double launched = std::chrono::duration<double>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count();
        EXPECT_EQ(runNow(run, "--headless --delay " + std::to_string(delay) + " --duration " +
                                  std::to_string(delay + 1) + " --save '" + wavFile +
                                  "' --settings '" + run.settings + "'"),
                  0)
            << readText(run.err);

        std::ifstream wav(wavFile, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(wav)), {});
        std::remove(wavFile.c_str());
        const size_t data = bytes.find("data");
        ASSERT_NE(data, std::string::npos);
        std::vector<int16_t> saved((bytes.size() - data - 8) / 2);
        std::memcpy(saved.data(), bytes.data() + data + 8, saved.size() * 2);
        const std::vector<int16_t> heard = tv.samples();
        size_t heardAt = 0;
        const int64_t firstSaved = firstNumberedFrame(saved);
        const int64_t firstHeard = firstNumberedFrame(
            std::vector<int16_t>(heard.begin() + static_cast<std::ptrdiff_t>(2 * from),
                                 heard.end()),
            &heardAt);
        ASSERT_GE(firstSaved, 0);
        ASSERT_GE(firstHeard, 0) << readText(run.out);
        // The fade-in's few milliseconds, and a chunk recorded before the recorder's clock
        // was read. Told by the frames' numbers, on no clock: more is the start skipped.
        EXPECT_LE(firstHeard - firstSaved, int64_t{kRate} / 20)
            << "the first " << (firstHeard - firstSaved) * 1000 / kRate
            << " ms recorded were not heard\n"
            << readText(run.out);
        // What the user waits: the delay, plus the program's own start until it records.
        // The first sound itself is placed at the delay after the radio played it. Each frame
        // is timed by its probe's buffers around it: a PipeWire graph that lost a cycle since
        // the probes began moves a line drawn over the whole recording by that much.
        const double heardTime = tv.localFrameTime(static_cast<double>(from + heardAt));
        const double wait = heardTime - launched;
        const std::vector<int16_t> played = radio.samples();
        size_t playedAt = 0;
        while (playedAt + 1 < played.size() / 2 &&
               (played[2 * playedAt] != heard[2 * (from + heardAt)] ||
                played[2 * playedAt + 1] != heard[2 * (from + heardAt) + 1]))
            ++playedAt;
        const double first = heardTime - radio.localFrameTime(static_cast<double>(playedAt));
        // A cycle the graph lost while the run was under way moved its sound, the program right.
        const double lost = snd::serverResamples()
                                ? std::max(tv.timeLost(launched, heardTime + 0.1),
                                           radio.timeLost(launched, heardTime + 0.1))
                                : 0;
        std::printf("delay %.1f s: first sound %.3f s after the launch, %.4f s after the radio, "
                    "%.1f ms recorded not heard; graph lost %.2f ms\n",
                    delay, wait, first, (firstHeard - firstSaved) * 1000.0 / kRate, lost * 1000);
        if (lost <= snd::kGraphStall) {
            // From the launch the program's own start-up counts too, which a busy machine
            // under the sanitizers stretched to 0.9 s; a first sound a whole delay late (the
            // 4 s run) is still caught here, the radio's time to the millisecond below.
            EXPECT_GE(wait, delay) << readText(run.out);
            EXPECT_LE(wait, delay + 1.5) << readText(run.out);
            EXPECT_NEAR(first, delay, 0.005) << readText(run.out);
        }
        EXPECT_NE(readText(run.out).find("Dropouts: recording 0, playback 0"), std::string::npos)
            << readText(run.out);
        // What the server still held of this run plays out before the next one starts.
        std::this_thread::sleep_for(500ms);
    }
    tv.stop();
    player.stop();
    std::remove(signalFile.c_str());

    // A sink nobody plays to starts a new stream late, up to 2 s on PulseAudio: the player
    // waits for it, and what it could not take yet was never lost.
    const std::string module =
        snd::commandOutput("pactl load-module module-null-sink sink_name=idle 2>/dev/null");
    ASSERT_FALSE(module.empty());
    std::this_thread::sleep_for(300ms);
    snd::runCommand("PULSE_SOURCE=radio.monitor PULSE_SINK=idle '" + kProgram +
                    "' --headless --delay 0.5 --duration 2.5 --no-save --settings '" +
                    run.settings + "' > '" + run.out + "' 2> '" + run.err + "'");
    snd::runCommand("pactl unload-module " + module);
    EXPECT_NE(readText(run.out).find("Dropouts: recording 0, playback 0"), std::string::npos)
        << readText(run.out) << readText(run.err);
}

// The program records radio.monitor and plays into radio itself, so a burst played once comes
// back every time it has been round the program: one recording of radio.monitor measures the
// delay heard, on one time base. Lines on standard input change the delay while it runs, the
// last change by a pair of taps, which sets it to the millisecond as the delay finder does.
TEST_F(HeadlessOnSoundServer, TheDelayHeardFollowsTheCommandsOnStandardInput) {
    ProgramRun run("commands");
    const std::string fifo = snd::tempPath("commands-in");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open here, so the program never sees its input end between two commands.
    const int commands = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(commands, 0);
    auto send = [&](std::string_view text) {
        ASSERT_EQ(::write(commands, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    };
    const std::string recording = snd::tempPath("commands-rec");
    const std::string burstFile = snd::tempPath("commands-burst");
    std::vector<int16_t> burst(kRate / 5 * 2, 0);
    const auto shape = snd::echoBurst(kRate);
    burst.insert(burst.end(), shape.begin(), shape.end());
    ASSERT_TRUE(snd::writeFile(burstFile, burst));
    snd::PeerProcess probe(snd::recordCommand("radio.monitor", kRate, recording));
    // The recording counts the sink's frames, which run hundreds of ppm off the system clock
    // on a loaded machine; this recorder times them, so the intervals come out in real time.
    snd::MonitorProbe pace("radio.monitor", kRate);
    pace.start();
    // The sound-server backend plays on the server's default sink.
    snd::runCommand("pactl set-default-sink radio >/dev/null 2>&1");
    struct BackToTv {
        ~BackToTv() { snd::runCommand("pactl set-default-sink tv >/dev/null 2>&1"); }
    } backToTv;
    // Long enough for the tapped delay's echoes even when a loaded machine was slow to say
    // the first delay was heard.
    snd::PeerProcess program("PULSE_SOURCE=radio.monitor PULSE_SINK=radio '" + kProgram +
                             "' --headless --delay 1 --duration 22 --no-save --settings '" +
                             run.settings + "' < '" + fifo + "' > '" + run.out + "' 2> '" +
                             run.err + "'");
    ASSERT_TRUE(
        eventually([&] { return heardNear(readText(run.out), "1.0"); }, 10s))
        << readText(run.out) << readText(run.err);
    std::this_thread::sleep_for(1s);
    snd::runCommand(
        "pacat -p --raw --format=s16le --rate=44100 --channels=2 --latency-msec=50 "
        "-d radio < '" +
        burstFile + "'");
    std::this_thread::sleep_for(3200ms);
    send("delay 1,5\n");
    std::this_thread::sleep_for(3500ms);
    send("-");
    std::this_thread::sleep_for(4300ms);
    // The radio heard before the TV is seen: the delay is that much too short. (Shortening
    // it would skip what is about to be heard, now and then the burst with it.)
    send("radio\n");
    std::this_thread::sleep_for(230ms);
    send("tv\n");
    EXPECT_TRUE(program.waitExit(20000));
    probe.stop();
    pace.stop();
    ::close(commands);
    const std::string output = readText(run.out);
    EXPECT_NE(output.find("Delay set to 1.5 s"), std::string::npos) << output;
    EXPECT_NE(output.find("Delay set to 1.4 s"), std::string::npos) << output;
    EXPECT_TRUE(heardNear(output, "1.4")) << output;
    EXPECT_EQ(readText(run.err), "");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(output, found,
                                  std::regex("Delay changed by \\+0\\.\\d+ s, now (1\\.\\d+) s")))
        << output;
    const double tapped = std::stod(found[1]);

    double ppm = pace.ratePpm();
    // A pace from a recorder that lost audio, none at all, or from a PipeWire monitor: the
    // sink's frames as they are.
    if (pace.xruns() != 0 || snd::serverResamples() || !(std::abs(ppm) < 2000))
        ppm = 0;
    auto intervals = snd::echoIntervals(snd::findEchoes(snd::readFile(recording), kRate), kRate);
    for (double& interval : intervals)
        interval /= 1 + ppm * 1e-6;
    for (const std::string& f : {fifo, recording, burstFile})
        std::remove(f.c_str());
    std::map<double, int> exact;
    std::string listed;
    // One a stall of a PipeWire graph moved counts for the delay it is within one cycle of.
    const std::vector<double> lost = snd::graphTimeLost(pace, intervals, tapped);
    for (size_t k = 0; k < intervals.size(); ++k) {
        const bool nearStall = !(lost[k] <= snd::kGraphStall);
        listed += std::to_string(intervals[k]) +
                  (nearStall ? " (graph lost " + std::to_string(lost[k] * 1000) + " ms) " : " ");
        for (double delay : {1.0, 1.5, 1.4, tapped})
            if (std::abs(intervals[k] - delay) < (nearStall ? 0.025 : 0.002))
                ++exact[delay];
    }
    std::printf("echoes (tapped delay %.3f s): %s\n", tapped, listed.c_str());
    // An echo under way at a change comes round once at neither delay.
    for (double delay : {1.0, 1.5, 1.4, tapped})
        EXPECT_GE(exact[delay], 2) << delay << " s: " << listed << "(sink " << ppm << " ppm)";
}

// SIGTERM ends the run like Ctrl-C: the recorder stops first and the WAV file is completed,
// and the closing line says what it holds.
TEST_F(HeadlessOnSoundServer, SignalStopsTheRunAndCompletesTheWavFile) {
    ProgramRun run("signal");
    const std::string wav = snd::tempPath("headless-save") + ".wav";
    const std::string pidFile = snd::tempPath("headless-pid");
    snd::PeerProcess program("PULSE_SOURCE=radio.monitor PULSE_SINK=tv '" + kProgram +
                             "' --headless --delay 0.5 --save '" + wav +
                             "' --save-codec ulaw --settings '" +
                             run.settings + "' > '" + run.out + "' 2> '" + run.err +
                             "' & echo $! > '" + pidFile + "'; wait $!; echo $? > '" + run.rc +
                             "'");
    // Three seconds in: the sound server may take a second or more to deliver the recording.
    ASSERT_TRUE(eventually(
        [&] { return readText(run.out).find("3.0 s] Running") != std::string::npos; }, 15s))
        << readText(run.out) << readText(run.err);
    const int pid = std::atoi(readText(pidFile).c_str());
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(program.waitExit(20000));

    const std::string out = readText(run.out);
    EXPECT_EQ(run.exitCode(), 0) << out << readText(run.err);
    EXPECT_NE(out.find("Signal received, stopping"), std::string::npos) << out;
    EXPECT_NE(out.find(", saving 0\n"), std::string::npos) << out;
    EXPECT_EQ(snd::runCommand("sox --i '" + wav + "' > /dev/null"), 0);
    const std::string seconds = snd::tempPath("headless-seconds");
    ASSERT_EQ(snd::runCommand("sox --i -D '" + wav + "' > '" + seconds + "'"), 0);
    EXPECT_GT(std::atof(readText(seconds).c_str()), 0.5);
    // u-law stereo: two bytes a frame.
    ASSERT_EQ(snd::runCommand("sox --i -s '" + wav + "' > '" + seconds + "'"), 0);
    EXPECT_NE(out.find("Saved " + std::to_string(std::atoll(readText(seconds).c_str()) * 2) +
                       " bytes of audio to " + wav),
              std::string::npos)
        << out;
    for (const std::string& f : {wav, pidFile, seconds})
        std::remove(f.c_str());
}

// What the sound server does under a running delay is said, and the run copes: a suspended
// playback sink (PulseAudio says so; PipeWire resumes a linked sink at once and says nothing,
// so there the run must simply go on), then, on PipeWire, the whole server restarted as at a
// session change: the run ends with the server named as the cause and the WAV file complete.
TEST_F(HeadlessOnSoundServer, ServerFaultsAreSaidAndTheWavFileCompletes) {
    const bool pipeWire = snd::serverResamples();
    ProgramRun run("faults");
    const std::string wav = snd::tempPath("headless-faults") + ".wav";
    snd::PeerProcess program(run.command(
        "--headless --delay 0.5 --in radio.monitor --out tv --duration " +
        std::string(pipeWire ? "30" : "8") + " --save '" + wav + "' --settings '" +
        run.settings + "'"));
    auto said = [&](const std::string& text) {
        return eventually([&] { return readText(run.err).find(text) != std::string::npos; }, 10s);
    };
    auto ranFor = [&](const std::string& seconds) {
        return eventually(
            [&] { return readText(run.out).find(seconds + " s] Running") != std::string::npos; },
            15s);
    };
    ASSERT_TRUE(ranFor("2.0")) << readText(run.out) << readText(run.err);
    ASSERT_EQ(snd::runCommand("pactl suspend-sink tv 1"), 0);
    if (!pipeWire) {
        EXPECT_TRUE(said("The sound server suspended \"TV speakers\"")) << readText(run.err);
    }
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(snd::runCommand("pactl suspend-sink tv 0"), 0);
    if (pipeWire) {
        ASSERT_TRUE(ranFor("6.0")) << readText(run.out) << readText(run.err);
        ASSERT_EQ(snd::runCommand("bash -c '. " UNA_SOURCE_DIR
                                  "/scripts/sound-server.sh && pipewire_server_restart'"),
                  0);
    } else {
        EXPECT_TRUE(said("\"TV speakers\" is running again")) << readText(run.err);
    }
    ASSERT_TRUE(program.waitExit(20000));
    const std::string out = readText(run.out);
    const std::string err = readText(run.err);
    EXPECT_EQ(run.exitCode(), pipeWire ? 1 : 0) << out << err;
    EXPECT_EQ(err.find("The sound server stopped or restarted") != std::string::npos, pipeWire)
        << err;
    EXPECT_EQ(err.find("was lost"), std::string::npos) << err;
    const std::string seconds = snd::tempPath("headless-faults-seconds");
    ASSERT_EQ(snd::runCommand("sox --i -D '" + wav + "' > '" + seconds + "'"), 0);
    EXPECT_GT(std::atof(readText(seconds).c_str()), 4.0) << out;
    EXPECT_NE(out.find("Saved "), std::string::npos) << out;
    for (const std::string& f : {wav, seconds})
        std::remove(f.c_str());
}

}  // namespace
