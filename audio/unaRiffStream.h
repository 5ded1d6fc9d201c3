#pragma once
// The WAV file writer: a software device that appends the audio it receives to a RIFF/WAVE
// file and completes the file's size fields when it closes.

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "audio/unaWaveCodecSource.h"
#include "audio/unaWaveSoftwareDevice.h"
#include "foundation/unaRIFile.h"
#include "foundation/unaStream.h"
#include "platform/waveFormat.h"

namespace una {

// Bytes of the format record that go into the "fmt " chunk: 16 for PCM, 18 + extraSize
// otherwise.
uint32_t wavFormatSize(const platform::WaveFormatEx& format);

// The header bytes in front of the samples: "RIFF", riffSize, "WAVE", "fmt ", the format
// record, "data", dataSize. The format record is read for wavFormatSize bytes. With
// factFrames a "fact" chunk holding it goes before "data" (compressed files carry one).
std::vector<uint8_t> wavHeader(const platform::WaveFormatEx& format, uint32_t riffSize,
                               uint32_t dataSize, const uint32_t* factFrames = nullptr);

// The frames that dataBytes of the format hold, for the "fact" chunk: whole blocks times the
// frames of a block where the record tells them, else by the byte rate.
uint32_t wavFramesInData(const platform::WaveFormatEx& format, uint32_t dataBytes);

// The largest sample byte count whose sizes still fit the 32-bit fields of a file with a header
// of headerBytes, in whole blocks of blockAlign bytes.
uint32_t wavMaxDataBytes(uint32_t headerBytes, uint32_t blockAlign);

// The name of the n-th file of a recording that outgrew one file: "match.wav" gives
// "match-2.wav", "match-3.wav"...; a name without an extension gets the number at its end.
// Index 1 (or 0) is the name itself.
std::string wavContinuationName(const std::string& fileName, uint32_t index);

// Removes the continuation files of an earlier recording under fileName: "name-2.wav",
// "name-3.wav"... in sequence, up to the first that is missing or is no WAV file of its own
// (a symbolic link, a folder, anything not RIFF/WAVE), which stays with all after it. The
// number removed.
uint32_t removeWavContinuations(const std::string& fileName);

// Modes.
inline constexpr int32_t kRiffModeWriting = 1;
inline constexpr int32_t kRiffModeReading = 2;
inline constexpr int32_t kRiffModeNoCodec = 3;
inline constexpr int32_t kRiffModeCodecFailed = 4;
inline constexpr int32_t kRiffModeBadFile = 5;  // not a WAV file this stream can read

// How often, at most this many ms apart, a recording's size fields are brought up to date on
// the disk, so a killed program or a power cut leaves a readable file.
inline constexpr uint32_t kWavSizePatchMs = 500;

// Writes the audio it receives into a WAV file, or reads one. Writing: open truncates the
// file and writes the header,
// the worker appends every chunk and, every kWavSizePatchMs, makes the data durable and then
// makes the size fields say so; close (or freeing) writes what is still waiting, lets the
// codecs convert their last partial block, and completes the sizes. A recording that
// reaches the largest size the 32-bit fields can describe goes on in "name-2.wav",
// "name-3.wav" and so on, each a complete file, with no byte lost or repeated between them;
// a recording that overwrites "name.wav" removes those of the recording it replaces.
// Formats other than PCM go through codec devices that the driver list makes; the file then
// also carries a "fact" chunk. Reading: open starts delivering the file's audio as PCM chunks
// (decoded by a codec when the file is compressed) to the consumers and the callback, as
// fast as they take it, until the data ends.
// Threading: providers write from their workers; only this device's worker (and the codecs'
// workers) touch the audio; open and close run on the owner's thread while it is stopped.
class unaRiffStream : public unaWaveSoftwareDevice {
  public:
    // Writing format (PCM) into a file of formatTag; tags other than PCM need a driver list.
    unaRiffStream(std::string fileName, const WaveFormatEx* format, uint32_t formatTag = 1,
                  unaWaveCodecSource* driverList = nullptr);
    // Reading fileName; compressed files need a driver list.
    unaRiffStream(std::string fileName, unaWaveCodecSource* driverList);
    // Prepares the file for writing or reading; the mode it gives is kept in `mode`.
    void afterConstruction() override;
    void beforeDestruction() override;

    // Closes, then sets the formats and the file name up again; the new mode (1 when ready,
    // 3 without a driver for the tag, 4 when the codec cannot be set up).
    int32_t openForWriting(std::string fileName, const WaveFormatEx* format, uint32_t formatTag);
    // Closes and reads the file's layout; 2 when ready, 3 or 4 as above, 5 for a file that is
    // not a WAV file this stream can read (no "fmt " or "data", no channels, block size 0).
    int32_t openForReading(std::string fileName);
    // Sample bytes written (or read) since open, over all the files of the recording.
    int64_t getPosition() override { return dataBytes.load(); }
    // Reading: the whole data has been delivered.
    bool endOfData() const { return endOfData_.load(); }
    // The file's format (the compressed record for a compressed file).
    const unaWaveFormat& fileFormat() const { return fileFormat_; }

    // Makes each file of the next recording hold at most limit sample bytes (rounded down to
    // whole blocks, never above what the header can hold) before the next file begins. For
    // tests: real recordings use the whole 4 GiB.
    void setDataLimit(uint32_t limit);
    uint32_t getDataLimit() const { return writing ? dataLimit.load() : requestedLimit; }

    std::atomic<int32_t> mode{kRiffModeWriting};
    // Over every file of a recording: past 4 GiB a 32-bit count would restart the position.
    std::atomic<uint64_t> dataBytes{0};
    const std::string& fileName() const { return fileName_; }
    // Files the current (or last) recording has begun: 1, or more after the size limit.
    uint32_t fileCount() const { return fileCount_.load(); }
    // Chunks of the current (or last) recording that never reached the file: dropped on the
    // way in, refused by a busy codec, or left unconverted by a driver that took nothing.
    uint32_t lostChunks() const;

  protected:
    // 11 when the mode is not 1 or the file can be neither opened nor created.
    MmResult afterOpen() override;
    void afterClose(MmResult result) override;
    // False when nothing could be written (a write failure, or no next file could be made).
    bool onHeader(unaWaveHeader* header, bool deviceEvent) override;
    // Reading delivers the file format's chunks on the other side.
    bool deviceFormatIsSrc() const override { return !reading_; }

  private:
    bool writeStep();
    bool readStep();
    // Moves what the last codec has converted into the file; false when a write failed.
    bool drainCodec();
    // Hands n bytes of the working buffer to the first codec; counts them lost when it stays
    // busy.
    void handToCodec(uint32_t n);
    void closeCodecs();
    // Truncates the file (opened already) and writes a header that describes it empty.
    bool startFile();
    // Appends sample bytes, going on in the next file at the size limit; false when a write
    // failed or no next file could be begun.
    bool appendData(const uint8_t* data, uint32_t size);
    // The data durable first, then sizes that claim no more than that (final: the sizes
    // are written even when the disk would not confirm the data).
    void patchSizes(bool final);
    void finishFile();

    std::string fileName_;
    int32_t dataSizePos = 0;
    unaWaveFormat format_;
    uint32_t formatTag_;
    unaWaveCodecSource* driverList_;
    bool reading_ = false;
    std::vector<unaPtr<unaMsAcmStreamDevice>> codecs_;  // first takes PCM, last gives the file's
    std::vector<uint8_t> codecBuffer;
    unaWaveFormat fileFormat_;
    unaPtr<unaRIFile> source_;  // reading
    const uint8_t* sourceData_ = nullptr;
    uint32_t sourceSize_ = 0;
    uint32_t sourceAt_ = 0;
    std::atomic<bool> endOfData_{false};
    uint32_t idlePasses_ = 0;
    unaPtr<unaFileStream> file;
    std::vector<uint8_t> buffer;
    bool writing = false;
    uint32_t headerBytes = 0;
    uint32_t requestedLimit = 0xFFFFFFFFu;
    std::atomic<uint32_t> dataLimit{0};
    std::atomic<uint32_t> fileCount_{0};
    std::atomic<uint32_t> lostHandovers_{0};
    uint32_t fileDataBytes = 0;     // worker: sample bytes in the current file
    uint32_t patchedDataBytes = 0;  // worker: what the current file's header says
    int32_t factPos = 0;            // 0: the file has no "fact" chunk
    int64_t lastPatchNs = 0;
};

}  // namespace una
