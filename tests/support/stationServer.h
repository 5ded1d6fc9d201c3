#pragma once
// A station of the tests' own on 127.0.0.1 (scripts/station-server.sh): Icecast fed by FFmpeg,
// a live HLS stream from a static web server, a web server of files, or a server whose paths
// misbehave (see the script). Stopped when the object goes. Use from one
// thread.

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "support/soundPeer.h"

namespace una::sound {

class StationServer {
  public:
    enum class Kind { icecast, hls, web, faulty };

    // `source` as the script takes it ("tone", "pulse:radio.monitor"). `senderPpm`: the
    // sender's audio runs that far off real time (as the script's SENDER_PPM).
    StationServer(Kind kind, const std::string& source = "tone", double senderPpm = 0)
        : dir_(tempPath("station")), senderPpm_(senderPpm) {
        runCommand("mkdir -p '" + dir_ + "'");
        static constexpr const char* kModes[] = {"icecast", "hls", "web", "faulty"};
        ok_ = script(kModes[static_cast<int>(kind)], source);
        std::ifstream in(dir_ + "/port");
        in >> port_;
        ok_ = ok_ && port_ > 0;
        std::ifstream pace(dir_ + "/sender-ppm");
        pace >> senderPpm_;
    }
    ~StationServer() {
        script("stop");
        runCommand("rm -rf '" + dir_ + "'");
    }
    StationServer(const StationServer&) = delete;
    StationServer& operator=(const StationServer&) = delete;

    // False when the programs are missing or did not come up.
    static bool available() {
        return runCommand("command -v icecast2 >/dev/null && command -v ffmpeg >/dev/null") == 0;
    }
    bool ok() const { return ok_; }
    // How far off real time the sender runs, as the script could make it.
    double senderPpm() const { return senderPpm_; }
    const std::string& dir() const { return dir_; }
    // Where a web server's files go.
    std::string webDir() const { return dir_ + "/www"; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string streamUrl(bool hls = false) const {
        return base() + (hls ? "/live.m3u8" : "/live.mp3");
    }
    // The feeder stops (listeners lose the stream) or starts again.
    bool cut() { return script("cut"); }
    bool feed(const std::string& source = "tone") { return script("feed", source); }
    // Icecast's title of the stream, as its admin page sets it.
    bool setTitle(const std::string& title) {
        return runCommand("python3 -c \"import urllib.request as u, urllib.parse as p; "
                          "m=u.HTTPPasswordMgrWithDefaultRealm(); "
                          "m.add_password(None, '" + base() + "', 'admin', 'hackme'); "
                          "u.build_opener(u.HTTPBasicAuthHandler(m)).open('" + base() +
                          "/admin/metadata?mount=/live.mp3&mode=updinfo&song=' + "
                          "p.quote('" + title + "'), timeout=5).read()\" >/dev/null 2>&1") == 0;
    }

  private:
    bool script(const std::string& mode, const std::string& source = "tone") {
        return runCommand("SENDER_PPM=" + std::to_string(senderPpm_) + " '" UNA_SOURCE_DIR
                          "/scripts/station-server.sh' " + mode + " '" + dir_ +
                          "' '" + source + "' >>'" + dir_ + "/script.log' 2>&1") == 0;
    }

    std::string dir_;
    double senderPpm_ = 0;
    int port_ = 0;
    bool ok_ = false;
};

// The sink a station's echo goes round: the sender records it, the program plays into it, and
// the rounds are measured on its monitor. Under PulseAudio a null sink of its own at 50 kHz,
// whose frames (20 us each) keep real time, so the sender runs at its nominal rate as a real
// station's does; the radio sink's frames are rounded and run hundreds of ppm fast, a sender
// no station is. Under PipeWire, whose sinks keep the clock, the radio sink.
class EchoSink {
  public:
    EchoSink() {
        if (!serverResamples()) {
            module_ = loadModule("module-null-sink sink_name=stationruler rate=50000 "
                                 "sink_properties=device.description=StationRuler");
            if (module_ >= 0) {
                name_ = "stationruler";
                rate_ = 50000;
            }
        }
        keeper_ = std::make_unique<PeerProcess>("exec pacat -p --raw -d " + name_ +
                                                " --latency-msec=10 /dev/zero");
        waitSinksSettled({name_}, 50000, 5000);
    }
    ~EchoSink() {
        keeper_.reset();
        if (module_ >= 0)
            unloadModule(module_);
    }
    EchoSink(const EchoSink&) = delete;
    EchoSink& operator=(const EchoSink&) = delete;

    const std::string& name() const { return name_; }
    std::string monitor() const { return name_ + ".monitor"; }
    // The sink's own rate: the monitor is recorded at it, without resampling.
    uint32_t rate() const { return rate_; }

  private:
    std::string name_ = "radio";
    uint32_t rate_ = 44100;
    int module_ = -1;
    std::unique_ptr<PeerProcess> keeper_;
};

}  // namespace una::sound
