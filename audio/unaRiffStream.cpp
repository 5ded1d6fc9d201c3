#include "audio/unaRiffStream.h"

#include <algorithm>
#include <cstring>

#include "foundation/unaTime.h"

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

std::string wavContinuationName(const std::string& fileName, uint32_t index) {
    if (index <= 1)
        return fileName;
    const size_t slash = fileName.find_last_of('/');
    const size_t dot = fileName.find_last_of('.');
    // A dot in a folder name or at the start of the name ("./x", ".wav") is no extension.
    const bool hasExtension = dot != std::string::npos && dot > 0 &&
                              (slash == std::string::npos || dot > slash + 1);
    const size_t at = hasExtension ? dot : fileName.size();
    return fileName.substr(0, at) + "-" + std::to_string(index) + fileName.substr(at);
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
    fileCount_ = 0;
    if (!file || !dstFormat ||
        !file->open(fileName_, kFileRead | kFileWrite, 0, false, kFileShareRead | kFileShareWrite))
        return kMmResultInvalidParam;
    fileCount_ = 1;
    if (!startFile()) {
        file->close();
        return kMmResultInvalidParam;
    }
    const uint32_t align = std::max<uint32_t>(dstFormat->blockAlign, 1);
    uint32_t limit = std::min(requestedLimit, wavMaxDataBytes(headerBytes, align));
    limit -= limit % align;
    dataLimit = std::max(limit, align);
    writing = true;
    return kMmResultOk;
}

bool unaRiffStream::startFile() {
    file->clear();
    // A header that describes the empty file: readers take the file as it is at any moment.
    const std::vector<uint8_t> empty = wavHeader(*dstFormat.get(), 0, 0);
    headerBytes = static_cast<uint32_t>(empty.size());
    const std::vector<uint8_t> header = wavHeader(*dstFormat.get(), headerBytes - 8, 0);
    if (file->write(header.data(), headerBytes) != static_cast<int32_t>(headerBytes))
        return false;
    dataSizePos = static_cast<int32_t>(headerBytes) - 4;
    fileDataBytes = 0;
    patchedDataBytes = 0;
    lastPatchNs = markTime();
    return true;
}

bool unaRiffStream::appendData(const uint8_t* data, uint32_t size) {
    while (size > 0) {
        if (fileDataBytes >= dataLimit) {
            // The next file opens only after this one is complete, so a kill between the two
            // leaves every file whole.
            finishFile();
            const uint32_t next = fileCount_ + 1;
            if (!file->open(wavContinuationName(fileName_, next), kFileRead | kFileWrite, 0, false,
                            kFileShareRead | kFileShareWrite))
                return false;
            fileCount_ = next;
            if (!startFile())
                return false;
        }
        const uint32_t toWrite = std::min(size, dataLimit - fileDataBytes);
        const int32_t written = file->write(data, toWrite);
        if (written != static_cast<int32_t>(toWrite)) {
            // A part of a chunk (a full disk) would shift every later frame: cut it off.
            file->truncateAt(int64_t{headerBytes} + fileDataBytes);
            return false;
        }
        const auto n = static_cast<uint32_t>(written);
        fileDataBytes += n;
        dataBytes += n;
        data += n;
        size -= n;
    }
    return true;
}

void unaRiffStream::patchSizes(bool final) {
    lastPatchNs = markTime();
    if (patchedDataBytes == fileDataBytes || !file->isOpen())
        return;
    // While recording, sizes never claim bytes that a power cut could still take away; at
    // the end they say what was written in any case.
    if (!file->sync() && !final)
        return;
    // Counted rather than asked of the file, whose size query stops at 2 GB.
    const uint32_t data = fileDataBytes;
    if (writeUint32At(*file, 4, headerBytes - 8 + data) && writeUint32At(*file, dataSizePos, data))
        patchedDataBytes = data;
    file->seek(0, false);
}

void unaRiffStream::finishFile() {
    patchSizes(true);
    file->close();
}

bool unaRiffStream::onHeader(unaWaveHeader* header, bool deviceEvent) {
    if (!unaWaveSoftwareDevice::onHeader(header, deviceEvent) || !writing)
        return false;
    const uint32_t n = takeInput(buffer.data(), static_cast<uint32_t>(buffer.size()));
    bool result = true;
    if (n > 0)
        result = appendData(buffer.data(), n);
    if (file->isOpen() && elapsedMs(lastPatchNs) >= kWavSizePatchMs)
        patchSizes(false);
    return result;
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
    finishFile();
}

}  // namespace una
