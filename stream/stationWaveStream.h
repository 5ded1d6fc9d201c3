#pragma once
// A station opened as a recording device. The decoder's audio is numbered as a card numbers
// what its converter captures: the live edge (see LiveEdge) says which frame the sender was
// making at each moment, timing() reports it, and every decoded frame keeps its place on that
// line however late or bunched it arrived. After a reconnect the new audio is put where the
// edge says, and the frames between are silence. Queued buffers are filled whole, in order,
// as soon as audio is there for them.
//
// Every operation is safe from any thread; one mutex guards the buffers, the held audio and
// the edge. The decoder's thread adds audio; it is joined before the stream goes.

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/soundCard.h"
#include "stream/liveEdge.h"
#include "stream/stationDecoder.h"

namespace una::stream {

class StationStatusBoard;

class StationWaveStream final : public platform::WaveStream {
  public:
    // Starts connecting at once. The format must be PCM of 8, 16 or 32 bits.
    StationWaveStream(std::string url, const platform::WaveFormatEx& format,
                      platform::EventHandle toSignal, std::shared_ptr<StationStatusBoard> board);
    ~StationWaveStream() override;

    platform::WaveDirection direction() const override { return platform::WaveDirection::input; }
    platform::MmResult prepare(platform::WaveBuffer& buffer) override;
    platform::MmResult unprepare(platform::WaveBuffer& buffer) override;
    platform::MmResult addBuffer(platform::WaveBuffer& buffer) override;
    // kMmNotSupported: a station only records.
    platform::MmResult write(platform::WaveBuffer& buffer) override;
    platform::MmResult start() override;
    platform::MmResult stop() override;
    platform::MmResult pause() override;
    platform::MmResult reset() override;
    platform::MmResult close() override;
    platform::MmResult position(uint64_t& samples) override;
    uint32_t xrunCount() const override;
    // The live edge now; kMmNotSupported until the first connection's burst is in, so the
    // chain tags what it holds on the edge that burst shows (it tags again on the first reading).
    platform::MmResult timing(platform::StreamTiming& out) override;

  private:
    void connected(int64_t ns, bool segmented);
    void ended(int64_t ns);
    void arrived(std::span<const uint8_t> audio, int64_t ns);
    // Moves what is held into the queued buffers; true when one came back done.
    bool deliverLocked();
    void appendLocked(std::span<const uint8_t> audio);
    void appendSilenceLocked(uint64_t frames);
    void placeReconnectLocked();
    void traceLocked(char what, int64_t ns);
    void noteLagLocked(int64_t ns);

    const platform::WaveFormatEx format_;
    const uint32_t frameBytes_;
    const platform::EventHandle event_;
    std::shared_ptr<StationStatusBoard> board_;

    mutable std::mutex m_;
    std::deque<platform::WaveBuffer*> queue_;
    std::vector<uint8_t> held_;  // audio not yet in a buffer, from heldStart_ on
    size_t heldStart_ = 0;
    uint64_t produced_ = 0;   // frames numbered so far (audio and silence)
    uint64_t delivered_ = 0;  // frames handed over in buffers, or skipped
    // Frames numbered but never handed over (before a reset, or while nothing recorded): the
    // numbers the chain sees start after them.
    uint64_t skipped_ = 0;
    LiveEdge edge_;
    int64_t firstArrivalNs_ = 0;  // 0 until the first audio
    int64_t burstEndsNs_ = 0;     // a connection's burst is no lag; it is in by then
    // The worst lag of each 10 s, the newest bin at lagBin_.
    std::array<double, 12> lagBins_{};
    int64_t lagBin_ = 0;
    bool started_ = false;
    bool closed_ = false;
    uint32_t overruns_ = 0;
    // After a reconnect the first audio waits until its burst is over, to be placed whole.
    bool placing_ = false;
    int64_t placingSinceNs_ = 0;
    int64_t placingLastNs_ = 0;
    std::vector<uint8_t> placingAudio_;

    // UNA_STATION_TRACE=FILE: every arrival and the edge then, to find why a delay moved.
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> trace_;

    std::unique_ptr<StationDecoder> decoder_;
};

}  // namespace una::stream
