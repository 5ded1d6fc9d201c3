#pragma once
// The sound card as the wave devices see it: device lists and capabilities, and open streams
// that take prepared buffers, fill or play them in queue order and hand them back marked done,
// signalling an event each time. The real card is ALSA; tests put a scripted one in its place.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/waveFormat.h"

namespace platform {

// The multimedia result codes; 0 is success.
using MmResult = uint32_t;
inline constexpr MmResult kMmNoError = 0;
inline constexpr MmResult kMmError = 1;
inline constexpr MmResult kMmBadDeviceId = 2;
inline constexpr MmResult kMmAllocated = 4;
inline constexpr MmResult kMmInvalidHandle = 5;
inline constexpr MmResult kMmNoDriver = 6;
inline constexpr MmResult kMmNoMem = 7;
inline constexpr MmResult kMmNotSupported = 8;
inline constexpr MmResult kMmInvalidParam = 11;
inline constexpr MmResult kWaveErrBadFormat = 32;  // "unsupported wave format"
inline constexpr MmResult kWaveErrStillPlaying = 33;
inline constexpr MmResult kWaveErrUnprepared = 34;
// Codes from kAlsaResultBase up are the sound card's own: base + the negated ALSA error.
inline constexpr MmResult kAlsaResultBase = 0x10000;

// Open flags.
inline constexpr uint32_t kWaveFormatQuery = 1;  // test the format only; no stream is kept
inline constexpr uint32_t kWaveAllowSync = 2;
inline constexpr uint32_t kWaveMapped = 4;
inline constexpr uint32_t kWaveFormatDirect = 8;
inline constexpr uint32_t kCallbackEvent = 0x50000;
// The stream's rate may be changed slightly while it runs (WaveStream::setRate). Costs a
// resampler in the sound server even at equal rates, so the audio is no longer bit-exact.
inline constexpr uint32_t kWaveVariableRate = 0x1000000;

// The wave mapper: the system's preferred device.
inline constexpr int32_t kWaveMapper = -1;

// Buffer flag bits.
inline constexpr uint32_t kWhdrDone = 1;
inline constexpr uint32_t kWhdrPrepared = 2;
inline constexpr uint32_t kWhdrBeginLoop = 4;
inline constexpr uint32_t kWhdrEndLoop = 8;
inline constexpr uint32_t kWhdrInQueue = 16;

// One wave buffer descriptor. The owner sets data and bufferLength; while the buffer is in a
// stream's queue the stream's thread writes bytesRecorded and then flags (release), so an owner
// that sees kWhdrDone (acquire) may read bytesRecorded and the data.
struct WaveBuffer {
    WaveBuffer() = default;
    WaveBuffer(const WaveBuffer&) = delete;
    WaveBuffer& operator=(const WaveBuffer&) = delete;

    bool isFlagSet(uint32_t bits) const {
        return (flags.load(std::memory_order_acquire) & bits) != 0;
    }
    void setFlag(uint32_t bits, bool on) {
        if (on)
            flags.fetch_or(bits, std::memory_order_acq_rel);
        else
            flags.fetch_and(~bits, std::memory_order_acq_rel);
    }

    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    uint32_t bytesRecorded = 0;
    uintptr_t user = 0;
    std::atomic<uint32_t> flags{0};
    uint32_t loops = 0;
    uintptr_t reserved = 0;
};

// Standard format bits of WaveCaps::formats: rate (11.025, 22.05, 44.1, 48, 96 kHz) x mono or
// stereo x 8 or 16 bits.
inline constexpr uint32_t kWaveFormat1M08 = 0x1, kWaveFormat1S08 = 0x2, kWaveFormat1M16 = 0x4,
                          kWaveFormat1S16 = 0x8;
inline constexpr uint32_t kWaveFormat2M08 = 0x10, kWaveFormat2S08 = 0x20, kWaveFormat2M16 = 0x40,
                          kWaveFormat2S16 = 0x80;
inline constexpr uint32_t kWaveFormat4M08 = 0x100, kWaveFormat4S08 = 0x200, kWaveFormat4M16 = 0x400,
                          kWaveFormat4S16 = 0x800;
inline constexpr uint32_t kWaveFormat48M08 = 0x1000, kWaveFormat48S08 = 0x2000,
                          kWaveFormat48M16 = 0x4000, kWaveFormat48S16 = 0x8000;
inline constexpr uint32_t kWaveFormat96M08 = 0x10000, kWaveFormat96S08 = 0x20000,
                          kWaveFormat96M16 = 0x40000, kWaveFormat96S16 = 0x80000;

inline constexpr uint32_t kWaveCapsSync = 0x10;
inline constexpr size_t kWaveCapsNameMax = 31;

struct WaveCaps {
    uint16_t manufacturerId = 0;
    uint16_t productId = 0;
    uint32_t driverVersion = 0;
    std::wstring name;  // at most kWaveCapsNameMax characters
    uint32_t formats = 0;
    uint16_t channels = 0;
    uint32_t support = 0;  // playback only; kWaveCapsSync
};

enum class WaveDirection { input, output };

// One entry of a device list, as users know the device.
struct DeviceInfo {
    // Stays the same between runs and when other devices come and go (the sound server's or
    // ALSA's own name); empty for the wave mapper and where the card has no such name.
    std::string key;
    std::string description;  // the whole name, UTF-8
    bool monitor = false;     // records what a playback device plays
    bool isDefault = false;   // the device the mapper stands for now (sound server only)
};

// One reading of a stream's clock; see WaveStream::timing.
struct StreamTiming {
    int64_t monotonicNs = 0;  // CLOCK_MONOTONIC, nanoseconds
    uint64_t frames = 0;      // frames through the converter by then

    // Where a stream at this pace, read here, stands at ns.
    double framesBy(int64_t ns, double pace) const {
        return static_cast<double>(frames) + static_cast<double>(ns - monotonicNs) * pace / 1e9;
    }
};

// What the sound server did to an open stream's device, for telling the user.
struct DeviceState {
    bool serverGone = false;  // lost with the whole sound server (it stopped or restarted)
    bool suspended = false;   // the server suspended the device: no audio moves until it wakes
    uint32_t moves = 0;       // times the stream followed the default device to another one
    std::string deviceKey;    // the server's name of the device it is on now; empty: unknown
};

// One open device. Every operation is safe from any thread; the stream's own thread (if any)
// fills or plays the queued buffers. Destroying a stream closes it.
class WaveStream {
  public:
    WaveStream() = default;
    WaveStream(const WaveStream&) = delete;
    WaveStream& operator=(const WaveStream&) = delete;
    virtual ~WaveStream() = default;

    virtual WaveDirection direction() const = 0;

    // Marks the buffer prepared; kMmInvalidParam for a buffer without data but with a length.
    virtual MmResult prepare(WaveBuffer& buffer) = 0;
    // Clears the prepared bit; kWaveErrStillPlaying while the buffer is queued.
    virtual MmResult unprepare(WaveBuffer& buffer) = 0;
    // Queues a prepared buffer for recording (input streams); kWaveErrUnprepared when it is
    // not prepared, kWaveErrStillPlaying when already queued, kMmNotSupported on output.
    virtual MmResult addBuffer(WaveBuffer& buffer) = 0;
    // Queues a prepared buffer for playback (output streams); same failures as addBuffer.
    virtual MmResult write(WaveBuffer& buffer) = 0;

    // Input: begins recording into the queued buffers. Output: resumes after pause.
    virtual MmResult start() = 0;
    // Input: stops recording; the buffer being filled comes back done, the rest stay queued.
    // Output: the same as pause.
    virtual MmResult stop() = 0;
    // Output: holds playback; queued buffers stay queued. kMmNotSupported on input.
    virtual MmResult pause() = 0;
    // Stops at once; every queued buffer comes back done, in queue order. Position restarts.
    virtual MmResult reset() = 0;
    // Resets, then releases the device. Later calls give kMmInvalidHandle.
    virtual MmResult close() = 0;

    // Samples (frames) recorded or played since open or the last reset; kMmInvalidHandle
    // after close.
    virtual MmResult position(uint64_t& samples) = 0;
    // Overruns and underruns recovered so far.
    virtual uint32_t xrunCount() const = 0;

    // Where the stream's converter is on the monotonic clock: at `when`, `frames` frames had
    // passed the sound card's converter since open or the last reset (input: captured at the
    // ADC, including those not yet handed over in a buffer; output: heard at the DAC, not
    // counting those still on their way). The delay chain fits its clocks to these readings.
    // kMmNotSupported when the card cannot tell; kMmInvalidHandle after close.
    virtual MmResult timing(StreamTiming& out) {
        (void)out;
        return kMmNotSupported;
    }

    // True once the device has gone (unplugged, removed, the sound server ended): every queued
    // buffer has come back done and queueing and start are refused with kMmNoDriver.
    virtual bool isLost() const { return false; }
    // Cards without a server (ALSA, the fakes) report nothing: all fields stay neutral.
    virtual DeviceState deviceState() { return {}; }
    // DeviceState's count of moves alone, cheap enough for every clock reading on a worker.
    virtual uint32_t moveCount() const { return 0; }

    // The device hands over (or takes) audio in chunks of this many milliseconds: the stream
    // may then buffer and wake in steps of about that size rather than its shortest ones.
    // kMmNotSupported when it keeps its own sizes; kMmInvalidHandle after close.
    virtual MmResult setChunkTime(uint32_t ms) {
        (void)ms;
        return kMmNotSupported;
    }

    // Plays or records at this rate from now on, for small corrections of a clock's drift;
    // only for streams opened with kWaveVariableRate. kMmNotSupported otherwise.
    virtual MmResult setRate(uint32_t samplesPerSec) {
        (void)samplesPerSec;
        return kMmNotSupported;
    }
};

// A sound card. Every operation is safe from any thread.
class SoundCard {
  public:
    SoundCard() = default;
    SoundCard(const SoundCard&) = delete;
    SoundCard& operator=(const SoundCard&) = delete;
    virtual ~SoundCard() = default;

    // Number of devices in that direction (the wave mapper not counted); 0 when none.
    virtual uint32_t deviceCount(WaveDirection direction) = 0;
    // Capabilities of device 0..count-1 or kWaveMapper; kMmBadDeviceId for any other id.
    virtual MmResult caps(WaveDirection direction, int32_t deviceId, WaveCaps& caps) = 0;
    // Opens the device with the format; the event (may be null) is signalled whenever a buffer
    // becomes done. With kWaveFormatQuery only tests the format and leaves out empty.
    // Failure: a result code, out stays empty.
    virtual MmResult open(WaveDirection direction, int32_t deviceId, const WaveFormatEx& format,
                          EventHandle toSignal, uint32_t flags,
                          std::unique_ptr<WaveStream>& out) = 0;
    // The card's text for a result code; none when it does not know the code.
    virtual std::optional<std::string> errorText(WaveDirection direction, MmResult code) = 0;

    // The wave mapper's entry, then devices 0..n-1 (entry i is device i - 1), read in one go
    // so that ids and names agree. Names are whole, not cut to the caps' field. This default
    // builds the list from deviceCount and caps, without keys.
    virtual std::vector<DeviceInfo> deviceList(WaveDirection direction);

    // Which sound system the card reaches ("PulseAudio", "ALSA"); for reports.
    virtual std::string backendName() const { return {}; }
    // Whether a recording from input device `inputDeviceId` and the card's playback run on one
    // graph's cycles and read them from it (PipeWire's own protocol): a cycle the graph skips
    // is then lost by both at once, and both readings show it.
    virtual bool streamsShareCycles(int32_t inputDeviceId) {
        (void)inputDeviceId;
        return false;
    }
};

// The process-wide card, chosen at the first call: the desktop's sound server when one
// answers (on PipeWire its own protocol, through its PulseAudio service only where that is
// named by PULSE_SERVER), ALSA otherwise. The environment variable UNA_SOUND_BACKEND=alsa or
// =pulse (PulseAudio's protocol even on PipeWire) forces the choice; =pipewire takes
// PipeWire's own protocol whenever its server answers. Never null.
std::shared_ptr<SoundCard> soundCard();
// Replaces the process-wide card; null makes the next soundCard() choose again.
void setSoundCard(std::shared_ptr<SoundCard> card);

}  // namespace platform
