#include "audio/unaRiffStream.h"

#include <cstring>

namespace una {

namespace {

void putTag(std::vector<uint8_t>& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

void putUint32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

uint32_t wavFormatSize(const platform::WaveFormatEx& format) {
    return format.formatTag == platform::kWaveFormatPcm ? platform::kPcmFormatRecordSize
                                                        : 18u + format.extraSize;
}

std::vector<uint8_t> wavHeader(const platform::WaveFormatEx& format, uint32_t riffSize,
                               uint32_t dataSize) {
    const uint32_t fmtSize = wavFormatSize(format);
    std::vector<uint8_t> out;
    out.reserve(28 + fmtSize);
    putTag(out, "RIFF");
    putUint32(out, riffSize);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    putUint32(out, fmtSize);
    const auto* record = reinterpret_cast<const uint8_t*>(&format);
    out.insert(out.end(), record, record + fmtSize);
    putTag(out, "data");
    putUint32(out, dataSize);
    return out;
}

uint32_t wavMaxDataBytes(uint32_t headerBytes, uint32_t blockAlign) {
    // The RIFF size counts everything after its own 8 bytes and must fit 32 bits.
    uint64_t limit = 0xFFFFFFFFull - (headerBytes > 8 ? headerBytes - 8 : 0);
    if (blockAlign > 1)
        limit -= limit % blockAlign;
    return static_cast<uint32_t>(limit);
}

}  // namespace una

namespace una {

namespace {

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool writeUint32At(unaFileStream& file, int32_t position, uint32_t value) {
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return file.seek(position, true) == position && file.write(bytes, 4) == 4;
}

}  // namespace

unaRiffStream::unaRiffStream(std::string fileName, const WaveFormatEx* format, uint32_t formatTag,
                             unaMsAcm* driverList)
    : unaWaveSoftwareDevice(false, false, 0),
      fileName_(std::move(fileName)),
      formatTag_(formatTag),
      driverList_(driverList) {
    duplicateFormat(format, format_);
}

void unaRiffStream::afterConstruction() {
    unaWaveSoftwareDevice::afterConstruction();
    const unaWaveFormat format = format_;
    mode = openForWriting(fileName_, format.get(), formatTag_);
}

int32_t unaRiffStream::openForWriting(std::string fileName, const WaveFormatEx* format,
                                      uint32_t formatTag) {
    close(10000);
    file.reset();
    dataBytes = 0;
    fileName_ = std::move(fileName);
    int32_t result = kRiffModeNoCodec;
    if (format) {
        duplicateFormat(format, format_);
        formatTag_ = formatTag;
        setPcmFormat(format->samplesPerSec, format->bitsPerSample, format->channels);
        // Compressed files would need a codec from driverList_; this program writes PCM only.
        if (formatTag == platform::kWaveFormatPcm) {
            setFormat(false, format);
            result = kRiffModeWriting;
        }
    }
    mode = result;
    if (result == kRiffModeWriting && !trimmed(fileName_).empty())
        file = make<unaFileStream>();
    return result;
}

void unaRiffStream::setDataLimit(uint32_t limit) {
    requestedLimit = limit;
}

MmResult unaRiffStream::afterOpen() {
    MmResult result = unaWaveSoftwareDevice::afterOpen();
    if (result == kMmResultOk && mode != kRiffModeWriting)
        result = kMmResultInvalidParam;
    if (result != kMmResultOk)
        return result;
    dstChunkSize = chunkSize.load();
    buffer.assign(chunkSize, 0);
    idleWaitMs = 10;
    dataBytes = 0;
    writing = false;
    if (!file || !dstFormat ||
        !file->open(fileName_, kFileRead | kFileWrite, 0, false, kFileShareRead | kFileShareWrite))
        return kMmResultInvalidParam;
    file->clear();
    const std::vector<uint8_t> header = wavHeader(*dstFormat.get(), 0, 0);
    if (file->write(header.data(), static_cast<uint32_t>(header.size())) !=
        static_cast<int32_t>(header.size())) {
        file->close();
        return kMmResultInvalidParam;
    }
    headerBytes = static_cast<uint32_t>(header.size());
    dataSizePos = static_cast<int32_t>(headerBytes) - 4;
    dataLimit = std::min(requestedLimit, wavMaxDataBytes(headerBytes, dstFormat->blockAlign));
    writing = true;
    return kMmResultOk;
}

bool unaRiffStream::onHeader(unaWaveHeader* header, bool deviceEvent) {
    if (!unaWaveSoftwareDevice::onHeader(header, deviceEvent) || !writing)
        return false;
    const uint32_t n = takeInput(buffer.data(), static_cast<uint32_t>(buffer.size()));
    if (n == 0)
        return true;
    // The size fields cannot describe more; what does not fit is dropped, never wrapped.
    const uint32_t room = dataLimit - std::min(dataLimit.load(), dataBytes.load());
    const uint32_t toWrite = std::min(n, room);
    if (toWrite == 0)
        return false;
    const int32_t written = file->write(buffer.data(), toWrite);
    if (written <= 0)
        return false;
    dataBytes += static_cast<uint32_t>(written);
    return true;
}

bool unaRiffStream::flush(bool /*waitAll*/) {
    if (isOpen() && writing && inStream())
        inStream()->clear();
    return true;
}

void unaRiffStream::afterClose(MmResult result) {
    unaWaveSoftwareDevice::afterClose(result);
    if (!writing)
        return;
    writing = false;
    // Counted rather than asked of the file, whose size query stops at 2 GB.
    const uint32_t data = dataBytes;
    writeUint32At(*file, 4, headerBytes - 8 + data);
    writeUint32At(*file, dataSizePos, data);
    file->close();
}

}  // namespace una
