#pragma once
// The automat runs a chain of processors over interleaved PCM chunks: it unpacks each channel
// into a float buffer, runs the chain, and optionally packs the result back into the chunk.
// Channels beyond the first are run by child automats ("channel copies") that carry a copy of
// the chain, rebuilt from the configuration text whenever the chain or format changes.
//
// Threading: every operation takes the automat's gate (3000 ms; 4000 ms at destruction) and
// fails quietly when it cannot. A stream device configures it from the thread that opens the
// device and processes from its worker.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dsp_mixer_codec/unaDspLibRoot.h"
#include "foundation/unaGate.h"
#include "foundation/unaList.h"

namespace una {

inline constexpr int32_t kDspEFail = static_cast<int32_t>(0x80004005u);
// A configuration text describes at most this many processors; more are not created.
inline constexpr int32_t kMaxConfigObjects = 1024;
// The most state (windows, delay lines) the chain a configuration text describes may hold over
// all its channels; a text that asks for more is refused.
inline constexpr uint64_t kMaxConfigStateBytes = uint64_t{256} << 20;

// Interleaved PCM of 8 (unsigned), 16, 24 (in 4-byte containers) or 32 bits (floats) to and
// from one channel of floats. Packing clamps to -1..1 and rounds to nearest.
void unpackPcmChannel(const uint8_t* data, int32_t n, int32_t channel, int32_t bits,
                      int32_t channels, float* out);
void packPcmChannel(const float* in, int32_t n, int32_t channel, int32_t bits, int32_t channels,
                    uint8_t* data);

class unaDSPLibAutomat;

// An automat's processors in chain order; an item may be empty (a configuration entry that
// named no kind). Removing an item destroys its processor through the automat's root.
class unaDSPLibObjectList : public unaList {
  public:
    explicit unaDSPLibObjectList(unaDSPLibAutomat& owner);
    ~unaDSPLibObjectList() override;

    using unaList::add;
    // Index of the new slot (empty for none); -1 when the lock stays busy.
    int32_t add(unaPtr<unaDspDProcessor> processor);
    // None for an empty slot or past the end.
    unaDspHandle getProcessor(uint32_t index) const;

    unaDSPLibAutomat& automat;

  protected:
    void freeItem(unaListItem item) override;
};

class unaDSPLibAutomat : public unaObject {
  public:
    explicit unaDSPLibAutomat(unaDspLibAbstract& root);
    ~unaDSPLibAutomat() override;
    void beforeDestruction() override;

    // The new processor, appended and bound to the work buffers; none for an unknown kind or
    // a busy gate.
    unaDspHandle addProcessor(int32_t kind);
    // 0, or E_FAIL (format kept) for a rate or channel count below 1, a width other than 8,
    // 16, 24 or 32 bits, or a busy gate. Rebuilds the channel copies unless noCopies.
    int32_t setAudioFormat(int32_t samplesPerSec, int32_t bits, int32_t channels,
                           bool noCopies = false);
    // Samples per channel in that many bytes; 0 without a format.
    int32_t bytesToSamples(uint32_t bytes) const;
    // Runs the chain over one chunk: every channel when channel is negative (result 0), or
    // that channel only (its result). Negative when the gate is busy, there is no format or
    // data, or the buffers cannot be set up. writeBack packs each processor's output into the
    // chunk, so the processors act in series on it.
    int32_t processChunk(uint8_t* data, uint32_t bytes, int32_t channel = -1,
                         int32_t maxSamples = -1, bool writeBack = false);
    // The same without writing back, for a chunk that must stay as it is.
    int32_t processChunk(const uint8_t* data, uint32_t bytes, int32_t channel = -1,
                         int32_t maxSamples = -1);
    // The output buffer of a channel and its length: 0, or E_FAIL (out values untouched) for a
    // channel without a copy or a busy gate. The buffer is replaced when the length changes.
    int32_t getChannelOutput(int32_t channel, const float*& data, int32_t& length);
    // The float parameter of the processor at the same place in a channel's chain; false when
    // that channel or processor does not exist or the gate is busy.
    bool getChannelFloatParam(unaDspHandle processor, int32_t channel, uint32_t number,
                              float& value);
    // Set through the root, logged, and passed on to the channel copies; false when the root
    // refuses or the gate is busy.
    bool setFloatParam(unaDspHandle processor, uint32_t number, float value);
    bool setIntParam(unaDspHandle processor, uint32_t number, int32_t value);
    bool setArrayParam(unaDspHandle processor, uint32_t number, const float* data, int32_t count);
    // The chain and its logged parameters as name=value lines; 0, or -1 (text untouched) when
    // the gate is busy.
    int32_t saveConfig(std::string& text);
    // Replaces the chain with the one the text describes. Anything unreadable is skipped: a
    // bad kind leaves an empty slot, a bad value sets nothing. 0; -1 when the gate is busy;
    // E_FAIL, the chain left as it was, when the chain would hold more state over all the
    // channels than kMaxConfigStateBytes.
    int32_t loadConfig(std::string_view text);

    uint32_t processorCount() const { return processors->getCount(); }
    // None for an empty slot or past the end.
    unaDspHandle getProcessor(uint32_t index) const { return processors->getProcessor(index); }
    bool isSplitter(unaDspHandle processor) const;
    uint32_t copyCount() const { return static_cast<uint32_t>(channelCopies.size()); }
    int32_t currentLength() const { return currentLength_; }

    unaDspLibAbstract& root;
    unaInProcessGate gate;
    unaPtr<unaDSPLibObjectList> processors;
    unaPtr<unaStringList> parameterLog;
    std::vector<unaPtr<unaDSPLibAutomat>> channelCopies;
    bool resyncPending = false;
    int32_t samplesPerSec = 0;
    int32_t bitsPerSample = 0;
    int32_t channels = 0;
    int32_t byteShift = 0;

  private:
    // loadConfig without the budget; under the gate.
    void applyConfig(std::string_view text);
    // What stateBytes of the processors add up to over all the channels; under the gate.
    uint64_t stateBytes() const;
    int32_t allocateBuffers(int32_t n, bool force);
    void bindBuffers(unaDspHandle processor);
    int32_t processChannel(uint8_t* data, int32_t channel, int32_t n, bool isCopy, bool writeBack);
    int32_t indexOfProcessor(unaDspHandle processor) const;
    void logParam(unaDspHandle processor, uint32_t number, char type, const void* bytes,
                  size_t size);
    template <class RootSet, class CopySet>
    bool setParam(unaDspHandle processor, uint32_t number, char type, const void* bytes,
                  size_t size, RootSet&& rootSet, CopySet&& copySet);
    int32_t bandCountOf(unaDspHandle processor);

    std::vector<float> input;
    std::vector<float> output;
    int32_t currentLength_ = 0;
    std::vector<std::vector<float>> bandBuffers;
    int32_t bandBufferLength = 0;
};

}  // namespace una
