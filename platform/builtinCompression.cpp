#include "platform/builtinCompression.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

constexpr AcmId kFirstDriverId = 0x100;

template <size_t N, size_t M>
void narrow(char (&to)[N], const char16_t (&from)[M]) {
    size_t i = 0;
    for (; i + 1 < N && i < M && from[i]; ++i)
        to[i] = from[i] < 0x80 ? static_cast<char>(from[i]) : '?';
    to[i] = 0;
}

}  // namespace

BuiltinCompression::BuiltinCompression() {
    drivers_.push_back(makePcmConverterDriver());
    drivers_.push_back(makeImaAdpcmDriver());
    drivers_.push_back(makeG711Driver());
    drivers_.push_back(makeGsmDriver());
}

BuiltinCompression::BuiltinCompression(std::vector<std::unique_ptr<CompressionDriver>> drivers)
    : drivers_(std::move(drivers)) {}

BuiltinCompression::~BuiltinCompression() = default;

const CompressionDriver* BuiltinCompression::driverOf(AcmId object, size_t* index) {
    size_t found = drivers_.size();
    if (object >= kFirstDriverId && object < kFirstDriverId + drivers_.size()) {
        found = object - kFirstDriverId;
    } else {
        std::lock_guard guard(lock_);
        if (auto it = handles_.find(object); it != handles_.end())
            found = it->second;
    }
    if (found >= drivers_.size())
        return nullptr;
    if (index)
        *index = found;
    return drivers_[found].get();
}

BuiltinCompression::Stream* BuiltinCompression::streamOf(AcmId stream) {
    std::lock_guard guard(lock_);
    auto it = streams_.find(stream);
    return it == streams_.end() ? nullptr : &it->second;
}

MmResult BuiltinCompression::driverEnum(const std::function<bool(AcmId, uint32_t)>& callback,
                                        uint32_t /*flags*/) {
    if (!callback)
        return kMmInvalidParam;
    for (size_t i = 0; i < drivers_.size(); ++i) {
        AcmDriverDetailsW details;
        drivers_[i]->details(details);
        if (!callback(kFirstDriverId + i, details.support))
            break;
    }
    return kMmNoError;
}

MmResult BuiltinCompression::driverDetailsW(AcmId driverId, AcmDriverDetailsW& details,
                                            uint32_t /*flags*/) {
    const CompressionDriver* driver = driverOf(driverId);
    if (!driver)
        return kMmInvalidHandle;
    if (details.size < sizeof(AcmDriverDetailsW))
        return kMmInvalidParam;
    details = AcmDriverDetailsW{};
    driver->details(details);
    return kMmNoError;
}

MmResult BuiltinCompression::driverDetailsA(AcmId driverId, AcmDriverDetailsA& details,
                                            uint32_t flags) {
    AcmDriverDetailsW wide;
    const MmResult result = driverDetailsW(driverId, wide, flags);
    if (result != kMmNoError)
        return result;
    if (details.size < sizeof(AcmDriverDetailsA))
        return kMmInvalidParam;
    details.type = wide.type;
    details.component = wide.component;
    details.mid = wide.mid;
    details.pid = wide.pid;
    details.acmVersion = wide.acmVersion;
    details.driverVersion = wide.driverVersion;
    details.support = wide.support;
    details.formatTagCount = wide.formatTagCount;
    details.filterTagCount = wide.filterTagCount;
    narrow(details.shortName, wide.shortName);
    narrow(details.longName, wide.longName);
    narrow(details.copyright, wide.copyright);
    narrow(details.licensing, wide.licensing);
    narrow(details.features, wide.features);
    return kMmNoError;
}

MmResult BuiltinCompression::driverOpen(AcmId& handle, AcmId driverId, uint32_t /*flags*/) {
    handle = 0;
    if (driverId < kFirstDriverId || driverId >= kFirstDriverId + drivers_.size())
        return kMmInvalidHandle;
    std::lock_guard guard(lock_);
    handle = nextHandle_++;
    handles_[handle] = driverId - kFirstDriverId;
    return kMmNoError;
}

MmResult BuiltinCompression::driverClose(AcmId handle, uint32_t /*flags*/) {
    std::lock_guard guard(lock_);
    return handles_.erase(handle) ? kMmNoError : kMmInvalidHandle;
}

intptr_t BuiltinCompression::sendDriverMessage(AcmId handle, uint32_t message, intptr_t param1,
                                               intptr_t param2) {
    return driverMessage(handle, message, param1, param2);
}

intptr_t BuiltinCompression::driverMessage(AcmId handle, uint32_t message, intptr_t param1,
                                           intptr_t param2) {
    size_t index = 0;
    const CompressionDriver* driver = driverOf(handle, &index);
    if (!driver)
        return kMmInvalidHandle;
    switch (message) {
        case kAcmdmDriverDetails: {
            auto* details = reinterpret_cast<AcmDriverDetailsW*>(param1);
            if (!details || details->size < sizeof(AcmDriverDetailsW))
                return kMmInvalidParam;
            *details = AcmDriverDetailsW{};
            driver->details(*details);
            return kMmNoError;
        }
        case kAcmdmFormatSuggest: {
            auto* request = reinterpret_cast<AcmDrvFormatSuggest*>(param1);
            if (!request || !request->source || !request->destination)
                return kMmInvalidParam;
            return suggestWith(*driver, request->source, request->destination,
                               request->destinationSize, request->flags);
        }
        case kAcmdmStreamOpen: {
            auto* instance = reinterpret_cast<AcmDrvStreamInstance*>(param1);
            if (!instance)
                return kMmInvalidParam;
            std::unique_ptr<CompressionConverter> converter;
            const MmResult result = openWith(index, instance->source, instance->destination,
                                             instance->openFlags, converter);
            if (result != kMmNoError || !converter)
                return result;
            std::lock_guard guard(lock_);
            const AcmId id = nextHandle_++;
            streams_[id] = Stream{std::move(converter), index};
            instance->driverData = id;
            return kMmNoError;
        }
        case kAcmdmStreamClose: {
            auto* instance = reinterpret_cast<AcmDrvStreamInstance*>(param1);
            return instance ? streamClose(instance->driverData, 0) : kMmInvalidParam;
        }
        case kAcmdmStreamSize: {
            auto* instance = reinterpret_cast<AcmDrvStreamInstance*>(param1);
            auto* size = reinterpret_cast<AcmDrvStreamSize*>(param2);
            if (!instance || !size)
                return kMmInvalidParam;
            const bool fromSource = (size->flags & kAcmStreamSizeDestination) == 0;
            uint32_t out = 0;
            const MmResult result = streamSize(
                instance->driverData, fromSource ? size->sourceLength : size->destinationLength,
                out, size->flags);
            if (result == kMmNoError)
                (fromSource ? size->destinationLength : size->sourceLength) = out;
            return result;
        }
        case kAcmdmStreamConvert: {
            auto* instance = reinterpret_cast<AcmDrvStreamInstance*>(param1);
            auto* header = reinterpret_cast<AcmDrvStreamHeader*>(param2);
            Stream* stream = instance ? streamOf(instance->driverData) : nullptr;
            if (!stream || !header)
                return kMmInvalidParam;
            if ((header->sourceLength && !header->source) ||
                (header->destinationLength && !header->destination))
                return kMmInvalidParam;
            header->sourceLengthUsed = header->destinationLengthUsed = 0;
            return stream->converter->convert({header->source, header->sourceLength},
                                              {header->destination, header->destinationLength},
                                              header->convertFlags, header->sourceLengthUsed,
                                              header->destinationLengthUsed);
        }
        case kAcmdmStreamReset: {
            auto* instance = reinterpret_cast<AcmDrvStreamInstance*>(param1);
            return instance ? streamReset(instance->driverData, 0) : kMmInvalidParam;
        }
        default:
            // Preparing headers is the manager's business, not this kind of driver's.
            return kMmNotSupported;
    }
}

MmResult BuiltinCompression::formatTagEnum(
    AcmId handle, AcmFormatTagDetails& details,
    const std::function<bool(AcmId, const AcmFormatTagDetails&)>& callback, uint32_t /*flags*/) {
    const CompressionDriver* driver = driverOf(handle);
    if (!driver)
        return kMmInvalidHandle;
    if (details.size < sizeof(AcmFormatTagDetails) || !callback)
        return kMmInvalidParam;
    for (const AcmFormatTagDetails& tag : driver->formatTags()) {
        details = tag;
        if (!callback(handle, details))
            break;
    }
    return kMmNoError;
}

MmResult BuiltinCompression::formatEnum(
    AcmId handle, AcmFormatDetails& details,
    const std::function<bool(AcmId, const AcmFormatDetails&)>& callback, uint32_t flags) {
    const CompressionDriver* driver = driverOf(handle);
    if (!driver)
        return kMmInvalidHandle;
    if (!callback || !details.format || details.formatSize < kPcmFormatRecordSize)
        return kMmInvalidParam;
    WaveFormatEx wanted{};
    std::memcpy(&wanted, details.format, std::min<uint32_t>(details.formatSize, sizeof wanted));
    uint32_t index = 0;
    for (const FormatBytes& record : driver->formats(details.formatTag)) {
        const WaveFormatEx& f = asFormat(record);
        if (((flags & kAcmFormatEnumNChannels) && f.channels != wanted.channels) ||
            ((flags & kAcmFormatEnumNSamplesPerSec) && f.samplesPerSec != wanted.samplesPerSec) ||
            ((flags & kAcmFormatEnumWBitsPerSample) && f.bitsPerSample != wanted.bitsPerSample))
            continue;
        if (!copyRecord(record, details.format, details.formatSize))
            continue;
        details.formatIndex = index++;
        details.support = driver->formatTags().front().support;
        const std::string name = formatDetailsName(f);
        std::strncpy(details.name, name.c_str(), sizeof details.name - 1);
        details.name[sizeof details.name - 1] = 0;
        if (!callback(handle, details))
            break;
    }
    return kMmNoError;
}

MmResult BuiltinCompression::suggestWith(const CompressionDriver& driver, const WaveFormatEx* src,
                                         WaveFormatEx* dst, uint32_t dstSize, uint32_t flags) {
    if (!src || !dst || dstSize < kPcmFormatRecordSize)
        return kMmInvalidParam;
    // The given fields of dst are read from its first 16 bytes only.
    WaveFormatEx given{};
    std::memcpy(&given, dst, kPcmFormatRecordSize);
    FormatBytes out;
    const MmResult result = driver.suggest(*src, given, flags, out);
    if (result != kMmNoError)
        return result;
    return copyRecord(out, dst, dstSize) ? kMmNoError : kAcmErrNotPossible;
}

MmResult BuiltinCompression::formatSuggest(AcmId handle, const WaveFormatEx* src,
                                           WaveFormatEx* dst, uint32_t dstSize, uint32_t flags) {
    if (handle != 0) {
        const CompressionDriver* driver = driverOf(handle);
        return driver ? suggestWith(*driver, src, dst, dstSize, flags) : kMmInvalidHandle;
    }
    MmResult result = kAcmErrNotPossible;
    for (const auto& driver : drivers_)
        if ((result = suggestWith(*driver, src, dst, dstSize, flags)) == kMmNoError)
            break;
    return result;
}

MmResult BuiltinCompression::metrics(AcmId object, uint32_t metric, uint32_t& value) {
    if (metric != kAcmMetricMaxSizeFormat)
        return kMmNotSupported;
    if (object == 0) {
        value = 0;
        for (const auto& driver : drivers_)
            value = std::max(value, driver->maxFormatSize());
        return kMmNoError;
    }
    const CompressionDriver* driver = driverOf(object);
    if (!driver)
        return kMmInvalidHandle;
    value = driver->maxFormatSize();
    return kMmNoError;
}

MmResult BuiltinCompression::openWith(size_t driver, const WaveFormatEx* src,
                                      const WaveFormatEx* dst, uint32_t flags,
                                      std::unique_ptr<CompressionConverter>& out) {
    if (!src || !dst)
        return kMmInvalidParam;
    return drivers_[driver]->open(*src, *dst, (flags & kAcmStreamOpenQuery) != 0, out);
}

MmResult BuiltinCompression::streamOpen(AcmId& stream, AcmId driver, const WaveFormatEx* src,
                                        const WaveFormatEx* dst, const void* /*filter*/,
                                        uintptr_t /*callback*/, uintptr_t /*instance*/,
                                        uint32_t flags) {
    stream = 0;
    if (!src || !dst)
        return kMmInvalidParam;
    std::vector<size_t> candidates;
    if (driver != 0) {
        size_t index = 0;
        if (!driverOf(driver, &index))
            return kMmInvalidHandle;
        candidates.push_back(index);
    } else {
        for (size_t i = 0; i < drivers_.size(); ++i)
            candidates.push_back(i);
    }
    MmResult result = kAcmErrNotPossible;
    for (size_t index : candidates) {
        std::unique_ptr<CompressionConverter> converter;
        result = openWith(index, src, dst, flags, converter);
        if (result != kMmNoError)
            continue;
        if (flags & kAcmStreamOpenQuery)
            return kMmNoError;
        std::lock_guard guard(lock_);
        stream = nextHandle_++;
        streams_[stream] = Stream{std::move(converter), index};
        return kMmNoError;
    }
    return result;
}

MmResult BuiltinCompression::streamClose(AcmId stream, uint32_t /*flags*/) {
    std::unique_ptr<CompressionConverter> closing;
    std::lock_guard guard(lock_);
    auto it = streams_.find(stream);
    if (it == streams_.end())
        return kMmInvalidHandle;
    closing = std::move(it->second.converter);
    streams_.erase(it);
    return kMmNoError;
}

MmResult BuiltinCompression::streamSize(AcmId stream, uint32_t input, uint32_t& output,
                                        uint32_t flags) {
    Stream* s = streamOf(stream);
    if (!s)
        return kMmInvalidHandle;
    if (input == 0)
        return kMmInvalidParam;
    return s->converter->size(input, (flags & kAcmStreamSizeDestination) == 0, output)
               ? kMmNoError
               : kAcmErrNotPossible;
}

MmResult BuiltinCompression::streamPrepareHeader(AcmId stream, AcmStreamHeader& header,
                                                 uint32_t /*flags*/) {
    if (!streamOf(stream))
        return kMmInvalidHandle;
    if (header.size != kAcmStreamHeaderSize || (header.sourceLength && !header.source) ||
        (header.destinationLength && !header.destination))
        return kMmInvalidParam;
    header.status = (header.status | kAcmHdrPrepared | kAcmHdrDone) & ~kAcmHdrInQueue;
    return kMmNoError;
}

MmResult BuiltinCompression::streamUnprepareHeader(AcmId stream, AcmStreamHeader& header,
                                                   uint32_t /*flags*/) {
    if (!streamOf(stream))
        return kMmInvalidHandle;
    if (header.status & kAcmHdrInQueue)
        return kAcmErrBusy;
    if (!(header.status & kAcmHdrPrepared))
        return kAcmErrUnprepared;
    header.status &= ~kAcmHdrPrepared;
    return kMmNoError;
}

MmResult BuiltinCompression::streamConvert(AcmId stream, AcmStreamHeader& header,
                                           uint32_t flags) {
    Stream* s = streamOf(stream);
    if (!s)
        return kMmInvalidHandle;
    if (!(header.status & kAcmHdrPrepared))
        return kAcmErrUnprepared;
    header.status = (header.status | kAcmHdrInQueue) & ~kAcmHdrDone;
    header.sourceLengthUsed = header.destinationLengthUsed = 0;
    const MmResult result = s->converter->convert(
        {header.source, header.sourceLength}, {header.destination, header.destinationLength},
        flags, header.sourceLengthUsed, header.destinationLengthUsed);
    header.status = (header.status | kAcmHdrDone) & ~kAcmHdrInQueue;
    return result;
}

MmResult BuiltinCompression::streamReset(AcmId stream, uint32_t /*flags*/) {
    Stream* s = streamOf(stream);
    if (!s)
        return kMmInvalidHandle;
    s->converter->reset();
    return kMmNoError;
}

}  // namespace platform
