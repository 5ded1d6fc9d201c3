#pragma once
// The stream device: a worker thread that moves audio in chunks from its input (the platform
// or its input stream) to its output (callback, consumer devices, output stream), and the
// buffer headers it queues with the platform and takes back strictly in queue order.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "audio/unaWaveFormat.h"
#include "foundation/unaEvent.h"
#include "foundation/unaGate.h"
#include "foundation/unaList.h"
#include "foundation/unaStream.h"
#include "foundation/unaThread.h"

namespace una {

class unaMsAcmStreamDevice;
class unaDspDLibRoot;
class unaDSPLibAutomat;
class unaDspDProcessor;

// A buffer handed to the platform and given back when done. Its owning device's worker
// queues and takes it up; the header's gate guards its teardown against a late user.
class unaMsAcmDeviceHeader : public unaObject {
  public:
    explicit unaMsAcmDeviceHeader(unaMsAcmStreamDevice* device);
    // Unprepares the buffer when its gate can be had within 100 ms.
    void beforeDestruction() override;

    virtual bool isFlagSet(uint32_t flag) const = 0;
    virtual void setFlag(uint32_t flag, bool on) = 0;
    // The device's prepareHeader; 6 (no driver) without a device.
    virtual MmResult prepare();
    // The device's unprepareHeader; 6 without a device.
    virtual MmResult unprepare();
    // Takes the device's next sequence number; call right before handing it to the platform.
    virtual void markQueued();
    virtual bool isDone() const = 0;
    virtual bool isInQueue() const = 0;

    bool enter(uint32_t timeoutMs) { return gate.enter(timeoutMs); }
    void leave() { gate.leave(); }

    unaMsAcmStreamDevice* const device;
    int32_t sequence = 0;
    bool numbered = true;
    bool handled = true;
    unaInProcessGate gate;
};

// Flags of the silence gate's volume threshold mode and of its off mode.
inline constexpr int32_t kSilenceOff = 0;
inline constexpr int32_t kSilenceVolume = 1;
inline constexpr int32_t kSilenceDsp = 2;

inline constexpr uint32_t kMaxVolumeChannels = 256;

// RMS of one channel of interleaved samples (8-bit unsigned, 16- or 32-bit signed); 0 when
// samples or channels is 0 or channel is not below channels.
int32_t waveGetVolume(const uint8_t* data, uint32_t samples, uint32_t bits, bool delta,
                      uint32_t channel, uint32_t channels);
// A level meter position, about 100 per decade of RMS above 32; 0 for -1 and below 32.
int32_t volumeToMeter(int32_t volume);

// The base of every audio source and sink. Threading: the application thread constructs,
// sets formats, opens, closes and chains (chaining and formats under the thread's gate,
// open/close under openCloseGate); the device's worker processes and delivers; providers'
// workers call `write`. Counters and volumes are atomics that any thread may read.
class unaMsAcmStreamDevice : public unaThread {
  public:
    using DataCallback =
        std::function<void(unaMsAcmStreamDevice& device, std::span<const uint8_t> data)>;
    // May change passFlag; the chunk passes when it is true afterwards.
    using ThresholdCallback = std::function<void(unaMsAcmStreamDevice& device, bool& passFlag)>;

    unaMsAcmStreamDevice(bool createInStream, bool createOutStream, int32_t inOverNum,
                         int32_t outOverNum, bool calcVolume);
    ~unaMsAcmStreamDevice() override;
    void afterConstruction() override;
    // Closes, unhooks from every provider and consumer, stops the worker and frees the
    // headers while the most derived class still answers.
    void beforeDestruction() override;

    // Copies the format into one side and sizes its chunks; false when the gate stays busy.
    virtual bool setFormat(bool isSrc, const WaveFormatEx* format);
    bool setFormat(bool isSrc, const unaWaveFormat& format) {
        return setFormat(isSrc, format.get());
    }
    // Chunks a second the device aims for, 5 to 25 (the default): fewer, longer chunks wake
    // its worker less often where the delay leaves room for them. Sizes both sides' chunks
    // again; false when the gate stays busy. Takes effect at the next open.
    bool setChunksPerSecond(uint32_t wanted);
    // 0 on success (also when already open); 12 when the open/close gate stays busy or the
    // platform never confirms; otherwise the platform's result.
    virtual MmResult open(bool query = false, uint32_t timeoutMs = 10000, uint32_t flags = 0);
    // 0 on success (also when closed); 12 when the gate stays busy or the platform never
    // confirms; otherwise the platform's result.
    virtual MmResult close(uint32_t timeoutMs = 10000);
    bool isOpen() const { return handle.load() != 0; }

    virtual std::string getErrorText(MmResult code) { return mmErrorText(code); }
    // Samples passed on the device's own side; 0 without a format.
    virtual int64_t getPosition();
    // Measures the chunk's volumes and asks the silence gate; true = the chunk passes.
    virtual bool measureChunk(const uint8_t* data, uint32_t size);
    virtual bool flush(bool /*waitAll*/) { return true; }
    virtual bool deviceFormatIsSrc() const = 0;
    virtual void setRealTime(bool value) { realTime = value; }

    // Index of the new consumer; -1 when it is none, already chained or the gate stays busy.
    int32_t addConsumer(unaMsAcmStreamDevice* consumer, bool detachOutputStream = false);
    // False when the gate stays busy or the consumer was not chained.
    bool removeConsumer(unaMsAcmStreamDevice* consumer);
    void addProvider(unaMsAcmStreamDevice* device);
    void removeProvider(unaMsAcmStreamDevice* device);
    uint32_t getConsumerCount() const { return consumers->getCount(); }
    uint32_t getProviderCount() const { return providers->getCount(); }

    // Replaces one side's stream (the old one is freed when owned); returns the new stream,
    // none when the gate stays busy. The owning form hands the stream to the device; the
    // plain form borrows it.
    unaAbstractStream* assignStream(bool isInput, unaAbstractStream* stream);
    unaAbstractStream* assignStream(bool isInput, unaPtr<unaAbstractStream> stream);
    unaAbstractStream* assignStream(bool isInput, std::nullptr_t) {
        return assignStream(isInput, static_cast<unaAbstractStream*>(nullptr));
    }
    void releaseStream(bool isInput);
    unaAbstractStream* inStream() const { return inStream_; }
    unaAbstractStream* outStream() const { return outStream_; }

    void setInOverNum(int32_t n);
    void setOutOverNum(int32_t n);
    void setCalcVolume(bool on) { calcVolume = on; }

    // Bytes accepted into the input stream; 0 when closed, closing, without input, over the
    // input limit (the chunk is dropped and counted) or when the stream's lock is busy.
    uint32_t write(const void* data, uint32_t size);
    uint32_t write(std::span<const uint8_t> data) {
        return write(data.data(), static_cast<uint32_t>(data.size()));
    }
    // Bytes taken from the output stream into buffer; size 0 asks for the first waiting chunk
    // of a memory stream. Never more than the buffer holds; 0 without an output stream.
    uint32_t read(std::span<uint8_t> buffer, uint32_t size);
    // 0 without a stream on that side.
    uint32_t getDataAvailable(bool isInput);
    int32_t getVolume(uint32_t channel) const { return volume[channel % kMaxVolumeChannels]; }

    // The worker's next chunk of input; 0 when none came or the silence gate held it back.
    uint32_t takeInput(uint8_t* buffer, uint32_t size);
    // Hands one chunk to the callback, the consumers in order and the output stream; false
    // when it is empty or the silence gate held it back.
    bool deliverChunk(const uint8_t* data, uint32_t size);

    // The first header to take up next: done and next in order (or handled, with ignoreOrder),
    // or merely out of the platform's queue with ignoreQueue; none when there is none.
    unaMsAcmDeviceHeader* findDoneHeader(bool ignoreOrder, bool ignoreQueue);
    // Frees every header once the platform has given it back; for close, after the worker.
    void releaseHeaders();
    // Hands a new header to the device, which owns it from then on; its index, -1 on failure.
    int32_t addHeader(unaPtr<unaMsAcmDeviceHeader> header);
    // Removes and frees one header of this device; false when it was not there.
    bool removeHeader(unaMsAcmDeviceHeader* header);
    uint32_t getHeaderCount() const { return headers->getCount(); }
    unaMsAcmDeviceHeader* getHeader(uint32_t index) const;

    // Swaps lastDoneSequence for sequence when sequence follows it; true when it did.
    bool isNextInOrder(int32_t sequence);

    static MmResult formatChooser(unaWaveFormat& format, std::string_view title, uint32_t style,
                                  uint32_t enumFlags) {
        return una::formatChooser(format, title, style, enumFlags);
    }

    // -- fields; counters are written by the worker and read anywhere without locks --
    std::atomic<uintptr_t> handle{0};
    std::atomic<uint64_t> inBytes{0};
    std::atomic<uint64_t> outBytes{0};
    std::atomic<uint64_t> silentBytes{0};
    std::atomic<bool> closing{false};
    std::atomic<bool> flushing{false};
    std::atomic<bool> realTime{false};
    std::atomic<uint32_t> chunkSize{0};
    std::atomic<uint32_t> dstChunkSize{0};
    std::atomic<uint32_t> chunksPerSecond{25};
    std::atomic<uint32_t> wantedChunksPerSecond{25};
    bool flushOnClose = false;
    std::atomic<uint32_t> queuedHeaders{0};
    std::string srcFormatText;
    std::string dstFormatText;
    std::atomic<int32_t> inOverNum{0};
    std::atomic<int32_t> outOverNum{0};
    std::atomic<uint32_t> inOverBytes{0};
    std::atomic<uint32_t> outOverBytes{0};
    std::atomic<uint64_t> inLostBytes{0};
    std::atomic<uint64_t> outLostBytes{0};
    // Bytes `write` put into the input stream since open, and bytes it dropped because the
    // stream's lock stayed busy: together with inLostBytes, everything providers offered. The
    // delay chain places audio by these counts.
    std::atomic<uint64_t> inAcceptedBytes{0};
    std::atomic<uint64_t> inBusyBytes{0};
    bool ownsInStream = false;
    bool ownsOutStream = false;
    bool inIsMemory = false;
    bool outIsMemory = false;
    std::atomic<int32_t> waitTimeout{0};
    std::atomic<bool> calcVolume{false};
    std::array<std::atomic<int32_t>, kMaxVolumeChannels> volume{};
    std::array<std::atomic<int32_t>, kMaxVolumeChannels> prevVolume{};
    DataCallback onDataAvailable;
    std::atomic<int32_t> nextSequence{0};
    std::atomic<int32_t> lastDoneSequence{0};
    unaWaveFormat srcFormat;
    unaWaveFormat dstFormat;
    unaEvent deviceEvent{false, false};
    unaEvent openCloseEvent{false, false};
    unaEvent dataInEvent{false, false};
    unaEvent dataOutEvent{false, false};
    unaInProcessGate openCloseGate;
    std::atomic<uint32_t> silenceHoldMs{100};
    std::atomic<uint32_t> silenceThreshold{0};
    uint32_t silenceStart = 0;
    std::atomic<bool> isSilent{false};
    bool lastNotifiedSilent = false;
    bool forceNotify = false;
    bool passFlag = false;
    // The DSP chain of the silence gate's mode 2: built at construction, given the format at
    // every open, run only in that mode. Touched by the opening thread while the worker is
    // stopped, and by the worker.
    unaPtr<unaDspDLibRoot> dspRoot;
    unaPtr<unaDSPLibAutomat> levelAutomat;
    unaPtr<unaDSPLibAutomat> noiseAutomat;
    unaDspDProcessor* ldHandle = nullptr;
    unaDspDProcessor* ndHandle = nullptr;
    struct DspOutputs {
        std::array<const float*, kMaxVolumeChannels> data{};
        std::array<int32_t, kMaxVolumeChannels> length{};
    };
    DspOutputs levelOutputs;
    DspOutputs noiseOutputs;
    bool dspBound = false;
    std::atomic<int32_t> silenceMode{kSilenceOff};
    ThresholdCallback onThreshold;

  protected:
    void startIn() override;
    void startOut() override;

    // Resets sequence numbers, the input loss count and the streams; 0.
    virtual MmResult doOpen(uint32_t flags);
    virtual MmResult doClose(uint32_t timeoutMs);
    virtual MmResult prepareHeader(unaMsAcmDeviceHeader& header) = 0;
    virtual MmResult unprepareHeader(unaMsAcmDeviceHeader& header) = 0;
    // Resets counters and the silence gate; 0.
    virtual MmResult afterOpen();
    virtual void afterClose(MmResult result);

    // The silence verdict of mode 2: true when no channel's level rises above its noise level.
    // A chunk the chain cannot run (no usable format) is not silent.
    virtual bool dspSilenceVerdict(const uint8_t* data, uint32_t size);
    // Gives the DSP chain the device's PCM format (the other side's when its own is not PCM)
    // after an open; a format the chain cannot take leaves it as it was.
    virtual void configureDsp();

    // The format of the device's own side.
    const unaWaveFormat& ownFormat() const { return deviceFormatIsSrc() ? srcFormat : dstFormat; }

    friend class unaMsAcmDeviceHeader;

  private:
    bool silenceGate(const uint8_t* data, uint32_t size);
    bool notifyThreshold();
    void unhookAll();
    unaAbstractStream* installStream(bool isInput, unaAbstractStream* stream,
                                     unaPtr<unaAbstractStream> owned);

    unaAbstractStream* inStream_ = nullptr;
    unaAbstractStream* outStream_ = nullptr;
    unaPtr<unaAbstractStream> ownedIn_;
    unaPtr<unaAbstractStream> ownedOut_;
    unaPtr<unaObjectList> headers;
    unaPtr<unaList> consumers;
    unaPtr<unaList> providers;
};

}  // namespace una
