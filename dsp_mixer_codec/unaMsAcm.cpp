#include "dsp_mixer_codec/unaMsAcm.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dsp_mixer_codec/unaMsAcmCodec.h"

namespace una {

namespace {

constexpr uint32_t kPlatformWide = 1;  // platform ids above this have the wide-text calls

template <size_t N, size_t M>
void widen(char16_t (&to)[N], const char (&from)[M], size_t maxChars) {
    size_t i = 0;
    for (; i < maxChars && i + 1 < N && i < M && from[i]; ++i)
        to[i] = static_cast<unsigned char>(from[i]);
    to[i] = 0;
}

std::string trimmedName(std::string name) {
    const size_t first = name.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return name.substr(first, name.find_last_not_of(' ') - first + 1);
}

}  // namespace

// -- objects --

void unaMsAcmObject::release() {
    format_.reset();
    details.format = nullptr;
    details.formatSize = 0;
}

unaMsAcmFormat::unaMsAcmFormat(unaMsAcmDriver* driver, unaMsAcmFormatTag* tag)
    : unaMsAcmObject(driver, tag) {
    kind = kAcmObjectFormat;
}

unaMsAcmFormat::unaMsAcmFormat(unaMsAcmDriver* driver, unaMsAcmFormatTag* tag,
                               const platform::AcmFormatDetails& enumerated)
    : unaMsAcmObject(driver, tag) {
    kind = kAcmObjectFormat;
    details = enumerated;
    const uint32_t given = enumerated.format ? enumerated.formatSize : 0;
    const uint32_t size = std::max<uint32_t>(18, given);
    format_ = unaWaveFormat(size);
    if (given)
        std::memcpy(format_.get(), enumerated.format, given);
    format_->extraSize = static_cast<uint16_t>(size - 18);
    details.format = format_.get();
    details.formatSize = size;
}

// -- unaMsAcmDriver --

unaMsAcmDriver::unaMsAcmDriver(unaMsAcm* acm, std::string fileName, uint32_t support,
                               platform::AcmId driverId)
    : driverId_(driverId),
      direct_(!trimmedName(fileName).empty()),
      fileName_(trimmedName(std::move(fileName))),
      support_(support),
      acm_(acm) {
    if (direct_)
        handle_ = driverId;
}

void unaMsAcmDriver::afterConstruction() {
    unaObject::afterConstruction();
    uint32_t value = 0;
    maxFormatSize_ = platform::compression()->metrics(driverId_, platform::kAcmMetricMaxSizeFormat,
                                                      value) == kMmResultOk
                         ? static_cast<int32_t>(value)
                         : 0;
}

void unaMsAcmDriver::beforeDestruction() {
    close();
    unaObject::beforeDestruction();
}

MmResult unaMsAcmDriver::open() {
    if (isOpen())
        return kMmResultOk;
    platform::AcmId handle = 0;
    const MmResult result = platform::compression()->driverOpen(handle, driverId_, 0);
    handle_ = result == kMmResultOk ? handle : 0;
    formatsEnumerated_ = false;
    return result;
}

MmResult unaMsAcmDriver::close() {
    if (direct_ || !isOpen())
        return kMmResultOk;
    const MmResult result = platform::compression()->driverClose(handle_, 0);
    handle_ = 0;
    return result;
}

platform::AcmId unaMsAcmDriver::getHandle() {
    if (!isOpen())
        open();
    return handle_;
}

const platform::AcmDriverDetailsW& unaMsAcmDriver::getDetails() {
    if (detailsValid_)
        return details_;
    auto manager = platform::compression();
    details_ = platform::AcmDriverDetailsW{};
    MmResult result;
    if (direct_) {
        result = static_cast<MmResult>(manager->sendDriverMessage(
            handle_, platform::kAcmdmDriverDetails, reinterpret_cast<intptr_t>(&details_), 0));
    } else if (manager->platformId() > kPlatformWide) {
        result = manager->driverDetailsW(driverId_, details_, 0);
    } else {
        platform::AcmDriverDetailsA narrow;
        result = manager->driverDetailsA(driverId_, narrow, 0);
        if (result == kMmResultOk) {
            details_.type = narrow.type;
            details_.component = narrow.component;
            details_.mid = narrow.mid;
            details_.pid = narrow.pid;
            details_.acmVersion = narrow.acmVersion;
            details_.driverVersion = narrow.driverVersion;
            details_.support = narrow.support;
            details_.formatTagCount = narrow.formatTagCount;
            details_.filterTagCount = narrow.filterTagCount;
            details_.icon = narrow.icon;
            widen(details_.shortName, narrow.shortName, 31);
            widen(details_.longName, narrow.longName, 127);
            widen(details_.copyright, narrow.copyright, 79);
            widen(details_.licensing, narrow.licensing, 127);
            widen(details_.features, narrow.features, 511);
        }
    }
    detailsValid_ = result == kMmResultOk;
    return details_;
}

intptr_t unaMsAcmDriver::sendMessage(uint32_t message, intptr_t param1, intptr_t param2) {
    auto manager = platform::compression();
    if (direct_)
        return manager->sendDriverMessage(handle_, message, param1, param2);
    return manager->driverMessage(getHandle(), message, param1, param2);
}

MmResult unaMsAcmDriver::suggestFormat(const WaveFormatEx* src, WaveFormatEx* dst,
                                       uint32_t flags) {
    if (!src || !dst)
        return kMmResultInvalidParam;
    flags |= platform::kAcmFormatSuggestNSamplesPerSec;
    dst->samplesPerSec = src->samplesPerSec;
    const auto sizeOf = [](const WaveFormatEx* f) {
        return f->formatTag == platform::kWaveFormatPcm ? 18u : 18u + f->extraSize;
    };
    if (direct_) {
        platform::AcmDrvFormatSuggest request;
        request.flags = flags;
        request.source = const_cast<WaveFormatEx*>(src);
        request.sourceSize = sizeOf(src);
        request.destination = dst;
        request.destinationSize = sizeOf(dst);
        return static_cast<MmResult>(sendMessage(platform::kAcmdmFormatSuggest,
                                                 reinterpret_cast<intptr_t>(&request), 0));
    }
    const uint32_t dstSize =
        dst->formatTag == platform::kWaveFormatPcm ? platform::kPcmFormatRecordSize
                                                   : 18u + dst->extraSize;
    return platform::compression()->formatSuggest(handle_, src, dst, dstSize, flags);
}

MmResult unaMsAcmDriver::enumFormats(uint32_t flags, bool force, const WaveFormatEx* enumTemplate,
                                     bool tagsOnly) {
    if (formatsEnumerated_ && !force && flags == enumeratedFlags_ && tagsOnly == tagsOnly_)
        return kMmResultOk;
    const MmResult opened = open();
    if (opened != kMmResultOk)
        return opened;
    formats_.clear();
    formatTags_.clear();
    template_ = WaveFormatEx{};
    if (enumTemplate)
        std::memcpy(&template_, enumTemplate, sizeof template_);
    enumFlags_ = flags;
    tagsOnly_ = tagsOnly;

    auto manager = platform::compression();
    const uint32_t bufferSize = static_cast<uint32_t>(std::max<int32_t>(18, maxFormatSize_));
    platform::AcmFormatTagDetails tagDetails;
    const MmResult result = manager->formatTagEnum(
        handle_, tagDetails,
        [&](platform::AcmId handle, const platform::AcmFormatTagDetails& found) {
            formatTags_.push_back(make<unaMsAcmFormatTag>(this, found));
            unaMsAcmFormatTag* tag = formatTags_.back().get();
            if (tagsOnly_)
                return true;
            unaWaveFormat buffer(bufferSize);
            buffer->formatTag = static_cast<uint16_t>(found.formatTag);
            buffer->channels = template_.channels;
            buffer->samplesPerSec = template_.samplesPerSec;
            buffer->bitsPerSample = template_.bitsPerSample;
            buffer->extraSize = static_cast<uint16_t>(bufferSize - 18);
            platform::AcmFormatDetails details;
            details.formatTag = found.formatTag;
            details.format = buffer.get();
            // The buffer's true size: a driver that reports less than 18 still gets 18.
            details.formatSize = bufferSize;
            manager->formatEnum(
                handle, details,
                [&](platform::AcmId, const platform::AcmFormatDetails& format) {
                    formats_.push_back(make<unaMsAcmFormat>(this, tag, format));
                    return true;
                },
                enumFlags_);
            return true;
        },
        0);
    if (result == kMmResultOk) {
        formatsEnumerated_ = true;
        enumeratedFlags_ = flags;
    }
    return result;
}

unaMsAcmFormatTag* unaMsAcmDriver::getFormatTag(uint32_t index) const {
    return index < formatTags_.size() ? formatTags_[index].get() : nullptr;
}

unaMsAcmFormat* unaMsAcmDriver::getFormat(uint32_t index) const {
    return index < formats_.size() ? formats_[index].get() : nullptr;
}

// -- unaMsAcm --

unaMsAcm::unaMsAcm() : version_(platform::compression()->version()) {}

MmResult unaMsAcm::enumDrivers(uint32_t flags) {
    drivers_.clear();
    return platform::compression()->driverEnum(
        [this](platform::AcmId driverId, uint32_t support) {
            addDriver(driverId, support);
            return true;
        },
        flags);
}

void unaMsAcm::addDriver(platform::AcmId driverId, uint32_t support) {
    drivers_.push_back(make<unaMsAcmDriver>(this, std::string(), support, driverId));
}

unaMsAcmDriver* unaMsAcm::getDriver(uint32_t index) const {
    return index < drivers_.size() ? drivers_[index].get() : nullptr;
}

unaMsAcmDriver* unaMsAcm::findDriverByMidPid(uint16_t mid, uint16_t pid) {
    for (const auto& driver : drivers_) {
        const platform::AcmDriverDetailsW& details = driver->getDetails();
        if (driver->detailsValid() && details.mid == mid && details.pid == pid)
            return driver.get();
    }
    return nullptr;
}

unaMsAcmDriver* unaMsAcm::findDriverByFormatTag(uint32_t tag) {
    if (tag == platform::kWaveFormatPcm)
        return findDriverByMidPid(1, 38);
    for (const auto& driver : drivers_) {
        driver->enumFormats(0, false, nullptr, true);
        for (uint32_t i = 0; i < driver->formatTagCount(); ++i)
            if (driver->getFormatTag(i)->details.formatTag == tag)
                return driver.get();
    }
    return nullptr;
}

int32_t unaMsAcm::makeEncoder(const WaveFormatEx& pcm, uint32_t tag,
                              std::vector<unaPtr<unaMsAcmStreamDevice>>& chain) {
    chain.clear();
    unaMsAcmDriver* driver = findDriverByFormatTag(tag);
    if (!driver)
        return kCodecNoDriver;
    auto direct = make<unaMsAcmCodec>(driver);
    if (direct->setFormatsByTag(true, &pcm, tag)) {
        chain.push_back(std::move(direct));
        return kCodecReady;
    }
    unaMsAcmDriver* converter = findDriverByFormatTag(platform::kWaveFormatPcm);
    if (!converter)
        return kCodecFailed;

    std::vector<unaPcmFormat> candidates = {{pcm.samplesPerSec, 16, pcm.channels},
                                            {pcm.samplesPerSec, 16, 1}};
    driver->enumFormats(0, false, nullptr, false);
    std::vector<unaPcmFormat> standard;
    for (uint32_t i = 0; i < driver->formatCount(); ++i) {
        const WaveFormatEx* f = driver->getFormat(i)->getFormat();
        if (f && f->formatTag == tag)
            standard.push_back({f->samplesPerSec, 16, f->channels});
    }
    const auto distance = [&](const unaPcmFormat& f) {
        return std::abs(static_cast<int64_t>(f.samplesPerSec) - pcm.samplesPerSec) * 16 +
               (f.channels == pcm.channels ? 0 : 1);
    };
    std::stable_sort(standard.begin(), standard.end(),
                     [&](const unaPcmFormat& a, const unaPcmFormat& b) {
                         return distance(a) < distance(b);
                     });
    candidates.insert(candidates.end(), standard.begin(), standard.end());

    for (const unaPcmFormat& candidate : candidates) {
        const unaWaveFormat between = makePcmFormat(candidate);
        auto codec = make<unaMsAcmCodec>(driver);
        if (!codec->setFormatsByTag(true, between.get(), tag))
            continue;
        auto first = make<unaMsAcmCodec>(converter);
        first->setFormat(true, &pcm);
        first->setFormat(false, between.get());
        first->addConsumer(codec.get(), true);
        chain.push_back(std::move(first));
        chain.push_back(std::move(codec));
        return kCodecReady;
    }
    return kCodecFailed;
}

int32_t unaMsAcm::makeDecoder(const WaveFormatEx& coded, unaPtr<unaMsAcmStreamDevice>& codec) {
    codec.reset();
    unaMsAcmDriver* driver = findDriverByFormatTag(coded.formatTag);
    if (!driver)
        return kCodecNoDriver;
    auto made = make<unaMsAcmCodec>(driver);
    if (!made->setFormatSuggestPcm(false, &coded))
        return kCodecFailed;
    codec = std::move(made);
    return kCodecReady;
}

}  // namespace una
