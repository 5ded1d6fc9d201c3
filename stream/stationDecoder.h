#pragma once
// The thread that listens to one station: it follows the station's playlists to its stream,
// decodes it with FFmpeg's libraries, converts the sound to the format the chain records in,
// and hands it on with the time it arrived. A drop, a stall of more than 2 s or a fault makes
// it connect again after 1, 2, 4 ... 30 s, for as long as it lives; its state and the
// station's title are kept on the status board.
//
// The sink is called on the decoder's thread only; the destructor stops and joins it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "stream/stationSoundCard.h"

namespace una::stream {

class StationStatusBoard;

struct DecodedFormat {
    uint32_t rate = 44100;
    uint32_t channels = 2;
    uint32_t bits = 16;  // 8 (unsigned), 16 or 32 (signed)
};

class StationDecoder {
  public:
    struct Sink {
        // A connection has begun; what follows may have a gap before it. `segmented`: the
        // stream comes a segment at a time (HLS).
        std::function<void(int64_t ns, bool segmented)> connected;
        // The connection is over (dropped, ended, failed or stopped).
        std::function<void(int64_t ns)> ended;
        // Whole frames of audio in the decoded format that arrived at `ns` (CLOCK_MONOTONIC).
        std::function<void(std::span<const uint8_t> audio, int64_t ns)> audio;
        // Segments only, where the station stamps them: seconds of audio the sender makes per
        // second of its clock. Called from a thread of its own.
        std::function<void(double pace)> senderPace;
    };

    StationDecoder(std::string url, const DecodedFormat& format,
                   std::shared_ptr<StationStatusBoard> board, Sink sink);
    ~StationDecoder();
    StationDecoder(const StationDecoder&) = delete;
    StationDecoder& operator=(const StationDecoder&) = delete;

    // Stops at the next check (within a fraction of a second) and joins the thread.
    void stop();

    // Test and benchmark settings: the pauses between connections are multiplied by this.
    static void setPauseScale(double scale);
    // Test setting: how long a connection may take to answer and start (10 s).
    static void setConnectTimeout(double seconds);

  private:
    void run();
    struct Fault {
        StationFault code = StationFault::none;
        std::string detail;
    };
    // One connection, until it ends; its fault says why it ended. `played` tells whether
    // sound came. True when sound came.
    bool session(Fault& fault, bool& played);
    bool waitFor(double seconds);

    const std::string url_;
    const DecodedFormat format_;
    const std::shared_ptr<StationStatusBoard> board_;
    const Sink sink_;
    std::atomic<bool> stopping_{false};
    std::mutex m_;
    std::condition_variable wake_;
    std::thread thread_;
};

}  // namespace una::stream
