#include "audio/unaRiffStream.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

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
                               uint32_t dataSize, const uint32_t* factFrames) {
    const uint32_t fmtSize = wavFormatSize(format);
    std::vector<uint8_t> out;
    out.reserve(40 + fmtSize);
    putTag(out, "RIFF");
    putUint32(out, riffSize);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    putUint32(out, fmtSize);
    const auto* record = reinterpret_cast<const uint8_t*>(&format);
    out.insert(out.end(), record, record + fmtSize);
    if (factFrames) {
        putTag(out, "fact");
        putUint32(out, 4);
        putUint32(out, *factFrames);
    }
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

uint32_t wavFramesInData(const platform::WaveFormatEx& format, uint32_t dataBytes) {
    const uint32_t align = format.blockAlign;
    if (align == 0)
        return 0;
    if (format.formatTag != platform::kWaveFormatPcm && format.extraSize >= 2) {
        // The first extra word of IMA ADPCM and GSM records: frames in a block.
        uint16_t framesPerBlock;
        std::memcpy(&framesPerBlock, reinterpret_cast<const uint8_t*>(&format) + 18, 2);
        if (framesPerBlock > 1)
            return dataBytes / align * framesPerBlock;
    }
    if (format.formatTag == platform::kWaveFormatPcm || format.bitsPerSample >= 8)
        return dataBytes / align;
    if (format.avgBytesPerSec == 0)
        return 0;
    return static_cast<uint32_t>(uint64_t{dataBytes} * format.samplesPerSec / format.avgBytesPerSec);
}

uint32_t removeWavContinuations(const std::string& fileName) {
    namespace fs = std::filesystem;
    uint32_t removed = 0;
    for (uint32_t index = 2;; ++index) {
        const std::string name = wavContinuationName(fileName, index);
        std::error_code error;
        // Never through a link: it is no file of ours, and neither is what it points at.
        if (fs::symlink_status(name, error).type() != fs::file_type::regular)
            break;
        char head[12] = {};
        std::ifstream(name, std::ios::binary).read(head, sizeof head);
        if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
            break;
        if (!fs::remove(name, error))
            break;
        ++removed;
    }
    return removed;
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

// Passes (of up to 10 ms) without output after the last input before a read counts as done.
constexpr uint32_t kEndIdlePasses = 10;

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
                             unaWaveCodecSource* driverList)
    : unaWaveSoftwareDevice(false, false, 0),
      fileName_(std::move(fileName)),
      formatTag_(formatTag),
      driverList_(driverList) {
    duplicateFormat(format, format_);
}

unaRiffStream::unaRiffStream(std::string fileName, unaWaveCodecSource* driverList)
    : unaWaveSoftwareDevice(false, false, 0),
      fileName_(std::move(fileName)),
      formatTag_(0),
      driverList_(driverList),
      reading_(true) {}

void unaRiffStream::afterConstruction() {
    unaWaveSoftwareDevice::afterConstruction();
    if (reading_) {
        mode = openForReading(fileName_);
        return;
    }
    const unaWaveFormat format = format_;
    mode = openForWriting(fileName_, format.get(), formatTag_);
}

void unaRiffStream::beforeDestruction() {
    // The codecs' workers must stop before this device's members go.
    close(10000);
    codecs_.clear();
    unaWaveSoftwareDevice::beforeDestruction();
}

int32_t unaRiffStream::openForWriting(std::string fileName, const WaveFormatEx* format,
                                      uint32_t formatTag) {
    close(10000);
    codecs_.clear();
    file.reset();
    source_.reset();
    reading_ = false;
    dataBytes = 0;
    fileName_ = std::move(fileName);
    int32_t result = kRiffModeNoCodec;
    if (format) {
        duplicateFormat(format, format_);
        formatTag_ = formatTag;
        setPcmFormat(format->samplesPerSec, format->bitsPerSample, format->channels);
        if (formatTag == platform::kWaveFormatPcm) {
            setFormat(false, format);
            result = kRiffModeWriting;
        } else if (driverList_) {
            result = driverList_->makeEncoder(*format, formatTag, codecs_);
            if (result == kCodecReady && !codecs_.empty() && codecs_.back()->dstFormat) {
                setFormat(false, codecs_.back()->dstFormat);
                result = kRiffModeWriting;
            } else {
                codecs_.clear();
                if (result == kCodecReady)
                    result = kRiffModeCodecFailed;
            }
        }
    }
    fileFormat_ = dstFormat;
    mode = result;
    if (result == kRiffModeWriting && !trimmed(fileName_).empty())
        file = make<unaFileStream>();
    return result;
}

int32_t unaRiffStream::openForReading(std::string fileName) {
    close(10000);
    codecs_.clear();
    file.reset();
    source_.reset();
    reading_ = true;
    dataBytes = 0;
    fileName_ = std::move(fileName);
    fileFormat_.reset();
    mode = kRiffModeBadFile;
    auto source = make<unaRIFile>(fileName_);
    const unaRIFFChunk* root = source->getRoot();
    if (!source->isRIFF() || root->formType() != "WAVE")
        return mode;
    const unaRIFFChunk* fmt = nullptr;
    const unaRIFFChunk* data = nullptr;
    for (int32_t i = 0; i < root->getSubChunkCount(); ++i) {
        const unaRIFFChunk* chunk = root->getSubChunk(i);
        if (!fmt && chunk->isId("fmt "))
            fmt = chunk;
        else if (!data && chunk->isId("data"))
            data = chunk;
    }
    if (!fmt || !data || fmt->availableSize() < platform::kPcmFormatRecordSize)
        return mode;
    // The record as far as the chunk holds it, extra bytes included; never read past it.
    WaveFormatEx head{};
    std::memcpy(&head, fmt->data(), std::min<uint32_t>(fmt->availableSize(), 18));
    const bool pcm = head.formatTag == platform::kWaveFormatPcm;
    if (pcm || fmt->availableSize() < 18)
        head.extraSize = 0;
    const uint32_t extra = std::min<uint32_t>(head.extraSize, fmt->availableSize() - std::min<uint32_t>(fmt->availableSize(), 18));
    unaWaveFormat record(18 + extra);
    std::memcpy(record.get(), &head, 18);
    record->extraSize = static_cast<uint16_t>(extra);
    if (extra)
        std::memcpy(record.bytes().data() + 18, fmt->data() + 18, extra);
    if (record->channels == 0 || record->blockAlign == 0 || record->samplesPerSec == 0)
        return mode;
    if (pcm) {
        const uint32_t bits = record->bitsPerSample;
        if ((bits != 8 && bits != 16 && bits != 24 && bits != 32) ||
            record->blockAlign != record->channels * bits / 8)
            return mode;
        setFormat(true, record.get());
        setFormat(false, record.get());
        mode = kRiffModeReading;
    } else {
        unaPtr<unaMsAcmStreamDevice> codec;
        const int32_t made =
            driverList_ ? driverList_->makeDecoder(*record.get(), codec) : kCodecNoDriver;
        if (made != kCodecReady || !codec || !codec->dstFormat) {
            mode = made == kCodecReady ? kCodecFailed : made;
            return mode;
        }
        setFormat(true, record.get());
        setFormat(false, codec->dstFormat);
        codecs_.push_back(std::move(codec));
        mode = kRiffModeReading;
    }
    fileFormat_ = record;
    sourceData_ = data->data();
    sourceSize_ = data->availableSize();
    source_ = std::move(source);
    return mode;
}

void unaRiffStream::setDataLimit(uint32_t limit) {
    requestedLimit = limit;
}

MmResult unaRiffStream::afterOpen() {
    MmResult result = unaWaveSoftwareDevice::afterOpen();
    const int32_t ready = reading_ ? kRiffModeReading : kRiffModeWriting;
    if (result == kMmResultOk && mode != ready)
        result = kMmResultInvalidParam;
    if (result != kMmResultOk)
        return result;
    dstChunkSize = chunkSize.load();
    buffer.assign(chunkSize, 0);
    idleWaitMs = 10;
    dataBytes = 0;
    writing = false;
    fileCount_ = 0;
    lostHandovers_ = 0;
    endOfData_ = false;
    sourceAt_ = 0;
    idlePasses_ = 0;
    // The last codec first, so nothing is delivered into a closed device.
    for (auto it = codecs_.rbegin(); it != codecs_.rend(); ++it) {
        if ((*it)->open(false, 10000, 0) != kMmResultOk) {
            closeCodecs();
            return kMmResultInvalidParam;
        }
    }
    if (!codecs_.empty())
        codecBuffer.assign(std::max<uint32_t>(codecs_.back()->dstChunkSize, 1) * 2, 0);
    if (reading_)
        return source_ ? kMmResultOk : kMmResultInvalidParam;
    std::error_code unknown;
    const bool overwriting = std::filesystem::exists(fileName_, unknown);
    if (!file || !dstFormat ||
        !file->open(fileName_, kFileRead | kFileWrite, 0, false, kFileShareRead | kFileShareWrite)) {
        closeCodecs();
        return kMmResultInvalidParam;
    }
    fileCount_ = 1;
    if (!startFile()) {
        file->close();
        closeCodecs();
        return kMmResultInvalidParam;
    }
    // The files the overwritten recording went on in belong to it: left behind, they would
    // read as this one's continuation.
    if (overwriting)
        removeWavContinuations(fileName_);
    const uint32_t align = std::max<uint32_t>(dstFormat->blockAlign, 1);
    uint32_t limit = std::min(requestedLimit, wavMaxDataBytes(headerBytes, align));
    limit -= limit % align;
    dataLimit = std::max(limit, align);
    writing = true;
    return kMmResultOk;
}

void unaRiffStream::closeCodecs() {
    for (auto& codec : codecs_)
        codec->close(10000);
}

bool unaRiffStream::startFile() {
    file->clear();
    const bool compressed = dstFormat->formatTag != platform::kWaveFormatPcm;
    const uint32_t noFrames = 0;
    // A header that describes the empty file: readers take the file as it is at any moment.
    const std::vector<uint8_t> empty =
        wavHeader(*dstFormat.get(), 0, 0, compressed ? &noFrames : nullptr);
    headerBytes = static_cast<uint32_t>(empty.size());
    const std::vector<uint8_t> header =
        wavHeader(*dstFormat.get(), headerBytes - 8, 0, compressed ? &noFrames : nullptr);
    if (file->write(header.data(), headerBytes) != static_cast<int32_t>(headerBytes))
        return false;
    dataSizePos = static_cast<int32_t>(headerBytes) - 4;
    factPos = compressed ? dataSizePos - 8 : 0;
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
    const bool factWritten =
        factPos == 0 || writeUint32At(*file, factPos, wavFramesInData(*dstFormat.get(), data));
    if (writeUint32At(*file, 4, headerBytes - 8 + data) && writeUint32At(*file, dataSizePos, data) &&
        factWritten)
        patchedDataBytes = data;
    file->seek(0, false);
}

void unaRiffStream::finishFile() {
    patchSizes(true);
    file->close();
}

bool unaRiffStream::onHeader(unaWaveHeader* header, bool deviceEvent) {
    if (!unaWaveSoftwareDevice::onHeader(header, deviceEvent))
        return false;
    return reading_ ? readStep() : writeStep();
}

bool unaRiffStream::writeStep() {
    if (!writing)
        return false;
    const uint32_t n = takeInput(buffer.data(), static_cast<uint32_t>(buffer.size()));
    bool result = true;
    if (codecs_.empty()) {
        if (n > 0)
            result = appendData(buffer.data(), n);
    } else {
        if (n > 0)
            handToCodec(n);
        result = drainCodec();
    }
    if (file->isOpen() && elapsedMs(lastPatchNs) >= kWavSizePatchMs)
        patchSizes(false);
    return result;
}

void unaRiffStream::handToCodec(uint32_t n) {
    // The codec's input has no limit: a refusal is only its lock being busy a moment.
    for (int attempt = 0; attempt < 5; ++attempt)
        if (codecs_.front()->write(buffer.data(), n) == n)
            return;
    ++lostHandovers_;
}

uint32_t unaRiffStream::lostChunks() const {
    const auto chunks = [](uint64_t bytes, uint32_t chunk) {
        return static_cast<uint32_t>(chunk ? (bytes + chunk - 1) / chunk : 0);
    };
    uint32_t lost = lostHandovers_.load() + chunks(inBusyBytes + inLostBytes, chunkSize);
    for (const auto& codec : codecs_)
        lost += chunks(codec->inLostBytes, codec->chunkSize);
    return lost;
}

bool unaRiffStream::drainCodec() {
    unaMsAcmStreamDevice& last = *codecs_.back();
    bool result = true;
    for (uint32_t n; (n = last.read(codecBuffer, 0)) > 0;)
        result = appendData(codecBuffer.data(), n) && result;
    return result;
}

bool unaRiffStream::readStep() {
    if (endOfData_)
        return false;
    const uint32_t chunk = chunkSize;
    if (codecs_.empty()) {
        const uint32_t n = std::min(chunk, sourceSize_ - sourceAt_);
        if (n > 0) {
            deliverChunk(sourceData_ + sourceAt_, n);
            sourceAt_ += n;
            dataBytes += n;
        }
        endOfData_ = sourceAt_ >= sourceSize_;
        if (!endOfData_)
            dataInEvent.setState(true);
        return n > 0;
    }
    unaMsAcmStreamDevice& codec = *codecs_.front();
    // A few chunks ahead keep the codec busy without reading the whole file into memory.
    const uint32_t codecChunk = std::max<uint32_t>(codec.chunkSize, 1);
    bool fed = false;
    if (sourceAt_ < sourceSize_ && codec.getDataAvailable(true) < 4 * codecChunk) {
        const uint32_t n = std::min(codecChunk, sourceSize_ - sourceAt_);
        if (codec.write(sourceData_ + sourceAt_, n) == n) {
            sourceAt_ += n;
            dataBytes += n;
            fed = true;
        }
    }
    bool delivered = false;
    for (uint32_t n; (n = codec.read(codecBuffer, 0)) > 0;)
        delivered = deliverChunk(codecBuffer.data(), n) || delivered;
    // The codec converts whole chunks, so a tail shorter than one never comes out; the end is
    // when nothing more came for a while after everything was handed over.
    const bool quiet = !delivered && sourceAt_ >= sourceSize_ &&
                       codec.getDataAvailable(true) < codecChunk &&
                       codec.getDataAvailable(false) == 0;
    idlePasses_ = quiet ? idlePasses_ + 1 : 0;
    if (idlePasses_ >= kEndIdlePasses)
        endOfData_ = true;
    if (delivered || fed)
        dataInEvent.setState(true);
    return delivered;
}

void unaRiffStream::afterClose(MmResult result) {
    unaWaveSoftwareDevice::afterClose(result);
    if (writing) {
        // Everything that reached the writer before the close belongs in the file; the
        // codecs then convert what they still hold as they close.
        for (uint32_t n; (n = takeInput(buffer.data(), static_cast<uint32_t>(buffer.size()))) > 0;) {
            if (codecs_.empty())
                appendData(buffer.data(), n);
            else
                handToCodec(n);
        }
    }
    closeCodecs();
    if (!writing)
        return;
    writing = false;
    if (!codecs_.empty())
        drainCodec();
    finishFile();
}

}  // namespace una
