#pragma once
// The WAV file writer: a software device that appends the audio it receives to a RIFF/WAVE
// file and completes the file's size fields when it closes.

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "audio/unaWaveSoftwareDevice.h"
#include "foundation/unaStream.h"
#include "platform/waveFormat.h"

namespace una {

class unaMsAcm;

// Bytes of the format record that go into the "fmt " chunk: 16 for PCM, 18 + extraSize
// otherwise.
uint32_t wavFormatSize(const platform::WaveFormatEx& format);

// The header bytes in front of the samples: "RIFF", riffSize, "WAVE", "fmt ", the format
// record, "data", dataSize. The format record is read for wavFormatSize bytes.
std::vector<uint8_t> wavHeader(const platform::WaveFormatEx& format, uint32_t riffSize,
                               uint32_t dataSize);

// The largest sample byte count whose sizes still fit the 32-bit fields of a file with a header
// of headerBytes, in whole blocks of blockAlign bytes.
uint32_t wavMaxDataBytes(uint32_t headerBytes, uint32_t blockAlign);

// Writer modes.
inline constexpr int32_t kRiffModeWriting = 1;
inline constexpr int32_t kRiffModeNoCodec = 3;
inline constexpr int32_t kRiffModeCodecFailed = 4;

// Writes the audio it receives into a WAV file: open truncates the file and writes the header,
// the worker appends every chunk, close (or freeing) completes the size fields. A recording
// stops growing at the largest data size the 32-bit fields can describe.
// Threading: providers write from their workers; only this device's worker writes samples;
// open and close run on the owner's thread while the worker is stopped.
class unaRiffStream : public unaWaveSoftwareDevice {
  public:
    // Only PCM (tag 1) is written; other tags would need a compression driver from the list.
    unaRiffStream(std::string fileName, const WaveFormatEx* format, uint32_t formatTag = 1,
                  unaMsAcm* driverList = nullptr);
    // Prepares the file for writing; the mode it gives is kept in `mode`.
    void afterConstruction() override;

    // Closes, then sets the formats and the file name up again; the new mode (1 when ready).
    int32_t openForWriting(std::string fileName, const WaveFormatEx* format, uint32_t formatTag);
    // Sample bytes written since open.
    int64_t getPosition() override { return dataBytes.load(); }
    // Drops input not yet written; true.
    bool flush(bool waitAll) override;

    // Makes the file stop growing at limit sample bytes (never above what the header holds).
    void setDataLimit(uint32_t limit);
    uint32_t getDataLimit() const { return writing ? dataLimit.load() : requestedLimit; }

    std::atomic<int32_t> mode{kRiffModeWriting};
    std::atomic<uint32_t> dataBytes{0};
    const std::string& fileName() const { return fileName_; }

  protected:
    // 11 when the mode is not 1 or the file can be neither opened nor created.
    MmResult afterOpen() override;
    void afterClose(MmResult result) override;
    // False when nothing could be written (write failure or the size limit reached).
    bool onHeader(unaWaveHeader* header, bool deviceEvent) override;

  private:
    std::string fileName_;
    int32_t dataSizePos = 0;
    unaWaveFormat format_;
    uint32_t formatTag_;
    unaMsAcm* driverList_;
    unaPtr<unaFileStream> file;
    std::vector<uint8_t> buffer;
    bool writing = false;
    uint32_t headerBytes = 0;
    uint32_t requestedLimit = 0xFFFFFFFFu;
    std::atomic<uint32_t> dataLimit{0};
};

}  // namespace una
