// The PCM converter (manufacturer 1, product 38): sample size, channel count and rate
// between PCM formats of 8, 16, 24 or 32 bits. The rate is changed by linear interpolation,
// which keeps the converter small (the delay chain's resampler is what plays audio); going
// down in rate a low-pass filter comes first, so what the lower rate cannot carry is
// removed instead of folding back as noise (44.1 kHz radio into 8 kHz GSM, say).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/blockCodecDriver.h"

namespace platform {

namespace {

bool usablePcm(const WaveFormatEx& f) {
    const uint32_t bits = f.bitsPerSample;
    return f.formatTag == kWaveFormatPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32) &&
           f.channels > 0 && f.channels <= 8 && f.samplesPerSec >= 1000 &&
           f.samplesPerSec <= 768000 && f.blockAlign == f.channels * bits / 8;
}

// A sample as a value in the 32-bit range.
int32_t readValue(const uint8_t* p, uint32_t bytes) {
    switch (bytes) {
        case 1:
            return (static_cast<int32_t>(p[0]) - 128) << 24;
        case 2:
            return static_cast<int32_t>(static_cast<uint32_t>(p[0] | (p[1] << 8)) << 16);
        case 3:
            return static_cast<int32_t>(static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) << 8);
        default: {
            int32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
    }
}

void writeValue(uint8_t* p, uint32_t bytes, int64_t value) {
    const auto v = static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
    // Rounded to the nearest step of the narrower size, without overflowing at the top.
    const auto rounded = [&](int shift) {
        const int64_t r = (static_cast<int64_t>(v) + (int64_t{1} << (shift - 1))) >> shift;
        return std::min<int64_t>(r, (int64_t{1} << (31 - shift)) - 1);
    };
    switch (bytes) {
        case 1:
            p[0] = static_cast<uint8_t>(rounded(24) + 128);
            break;
        case 2: {
            const auto s = static_cast<uint16_t>(rounded(16));
            p[0] = static_cast<uint8_t>(s);
            p[1] = static_cast<uint8_t>(s >> 8);
            break;
        }
        case 3: {
            const auto s = static_cast<uint32_t>(rounded(8));
            p[0] = static_cast<uint8_t>(s);
            p[1] = static_cast<uint8_t>(s >> 8);
            p[2] = static_cast<uint8_t>(s >> 16);
            break;
        }
        default:
            std::memcpy(p, &v, 4);
            break;
    }
}

class PcmConverter : public CompressionConverter {
  public:
    PcmConverter(const WaveFormatEx& src, const WaveFormatEx& dst)
        : srcChannels_(src.channels),
          dstChannels_(dst.channels),
          srcBytes_(src.bitsPerSample / 8),
          dstBytes_(dst.bitsPerSample / 8),
          srcRate_(src.samplesPerSec),
          dstRate_(dst.samplesPerSec),
          previous_(dst.channels, 0),
          current_(dst.channels, 0) {}

    bool size(uint32_t bytes, bool sourceToDestination, uint32_t& out) const override {
        const uint64_t srcFrame = uint64_t{srcBytes_} * srcChannels_;
        const uint64_t dstFrame = uint64_t{dstBytes_} * dstChannels_;
        uint64_t result;
        if (sourceToDestination) {
            const uint64_t frames = (bytes / srcFrame * dstRate_ + srcRate_ - 1) / srcRate_;
            result = frames * dstFrame;
        } else {
            result = bytes / dstFrame * srcRate_ / dstRate_ * srcFrame;
        }
        if (result > 0xFFFFFFFFu || result == 0)
            return false;
        out = static_cast<uint32_t>(result);
        return true;
    }

    MmResult convert(std::span<const uint8_t> src, std::span<uint8_t> dst, uint32_t flags,
                     uint32_t& srcUsed, uint32_t& dstUsed) override {
        if (flags & kAcmConvertStart)
            reset();
        const uint32_t srcFrame = srcBytes_ * srcChannels_;
        const uint32_t dstFrame = dstBytes_ * dstChannels_;
        const size_t inFrames = src.size() / srcFrame;
        const size_t outRoom = dst.size() / dstFrame;
        size_t in = 0, out = 0;
        if (srcRate_ == dstRate_) {
            const size_t n = std::min(inFrames, outRoom);
            for (; in < n; ++in, ++out) {
                mixFrame(src.data() + in * srcFrame, current_);
                putFrame(dst.data() + out * dstFrame, current_);
            }
        } else {
            // Output frame k lies at phase_ between the previous input frame and the current
            // one; each input frame is taken only when every output before it fits.
            while (in < inFrames) {
                if (!primed_) {
                    mixFrame(src.data() + in * srcFrame, previous_);
                    lowPass(previous_);
                    primed_ = true;
                    ++in;
                    continue;
                }
                size_t needed = 0;
                for (uint64_t p = phase_; p < kOne; p += step_)
                    ++needed;
                // Left for the next call whole: the filter must see each frame once.
                if (out + needed > outRoom)
                    break;
                mixFrame(src.data() + in * srcFrame, current_);
                lowPass(current_);
                for (; phase_ < kOne; phase_ += step_, ++out) {
                    uint8_t* at = dst.data() + out * dstFrame;
                    for (uint32_t c = 0; c < dstChannels_; ++c) {
                        const int64_t a = previous_[c], b = current_[c];
                        const auto fraction = static_cast<int64_t>(phase_ >> 16);
                        const int64_t v = a + (((b - a) * fraction) >> 16);
                        writeValue(at + c * dstBytes_, dstBytes_, v);
                    }
                }
                phase_ -= kOne;
                previous_.swap(current_);
                ++in;
            }
        }
        srcUsed = static_cast<uint32_t>(in * srcFrame);
        dstUsed = static_cast<uint32_t>(out * dstFrame);
        return kMmNoError;
    }

    void reset() override {
        phase_ = 0;
        primed_ = false;
        step_ = (uint64_t{srcRate_} << 32) / dstRate_;
        if (dstRate_ < srcRate_ && taps_.empty())
            designLowPass();
        std::fill(history_.begin(), history_.end(), 0.0);
        historyAt_ = 0;
    }

  private:
    static constexpr uint64_t kOne = uint64_t{1} << 32;

    // One source frame in the destination's channel layout: mono is copied to every
    // channel, more channels into mono are averaged, otherwise channels are taken in order
    // (missing ones silent).
    void mixFrame(const uint8_t* frame, std::vector<int32_t>& into) const {
        if (dstChannels_ == 1 && srcChannels_ > 1) {
            int64_t sum = 0;
            for (uint32_t c = 0; c < srcChannels_; ++c)
                sum += readValue(frame + c * srcBytes_, srcBytes_);
            into[0] = static_cast<int32_t>(sum / srcChannels_);
            return;
        }
        for (uint32_t c = 0; c < dstChannels_; ++c) {
            const uint32_t from = srcChannels_ == 1 ? 0 : c;
            into[c] = from < srcChannels_ ? readValue(frame + from * srcBytes_, srcBytes_) : 0;
        }
    }
    void putFrame(uint8_t* at, const std::vector<int32_t>& values) const {
        for (uint32_t c = 0; c < dstChannels_; ++c)
            writeValue(at + c * dstBytes_, dstBytes_, values[c]);
    }

    // A windowed-sinc low-pass at 45 % of the lower rate (Blackman window): about 70 dB
    // down past the new Nyquist frequency, a delay of half its length in source frames.
    void designLowPass() {
        constexpr int kTaps = 63;
        const double cutoff = 0.45 * dstRate_ / srcRate_;  // in cycles per source frame
        taps_.resize(kTaps);
        double sum = 0;
        for (int k = 0; k < kTaps; ++k) {
            const double m = k - (kTaps - 1) / 2.0;
            const double sinc = m == 0 ? 2 * cutoff : std::sin(2 * M_PI * cutoff * m) / (M_PI * m);
            const double x = 2 * M_PI * k / (kTaps - 1);
            const double window = 0.42 - 0.5 * std::cos(x) + 0.08 * std::cos(2 * x);
            taps_[k] = sinc * window;
            sum += taps_[k];
        }
        for (double& t : taps_)
            t /= sum;
        history_.assign(taps_.size() * dstChannels_, 0.0);
    }

    void lowPass(std::vector<int32_t>& frame) {
        if (taps_.empty())
            return;
        const size_t n = taps_.size();
        for (uint32_t c = 0; c < dstChannels_; ++c) {
            double* ring = history_.data() + c * n;
            ring[historyAt_] = frame[c];
            double acc = 0;
            size_t at = historyAt_;
            for (size_t k = 0; k < n; ++k) {
                acc += taps_[k] * ring[at];
                at = at == 0 ? n - 1 : at - 1;
            }
            frame[c] = static_cast<int32_t>(std::clamp(std::lround(acc), long{INT32_MIN}, long{INT32_MAX}));
        }
        historyAt_ = (historyAt_ + 1) % n;
    }

    uint32_t srcChannels_, dstChannels_, srcBytes_, dstBytes_, srcRate_, dstRate_;
    std::vector<double> taps_;
    std::vector<double> history_;  // per channel a ring of the last taps_.size() frames
    size_t historyAt_ = 0;
    std::vector<int32_t> previous_;
    std::vector<int32_t> current_;
    uint64_t phase_ = 0;
    uint64_t step_ = 0;
    bool primed_ = false;
};

class PcmConverterDriver : public CompressionDriver {
  public:
    void details(AcmDriverDetailsW& out) const override {
        out.type = 0x63647561;  // "audc"
        out.mid = 1;
        out.pid = 38;
        out.acmVersion = kAcmVersion;
        out.driverVersion = 0x01000000;
        out.support = kAcmDriverSupportConverter;
        out.formatTagCount = 1;
        putWide(out.shortName, u"PCM Converter");
        putWide(out.longName, u"PCM Converter");
        putWide(out.copyright, u"Part of RuzizavuVodideza");
        putWide(out.features, u"Converts PCM audio between sample sizes, channel counts and "
                              u"sample rates.");
    }

    std::vector<AcmFormatTagDetails> formatTags() const override {
        AcmFormatTagDetails pcm;
        pcm.formatTag = kWaveFormatPcm;
        pcm.formatSize = kPcmFormatRecordSize;
        pcm.support = kAcmDriverSupportConverter;
        pcm.standardFormats = static_cast<uint32_t>(formats(kWaveFormatPcm).size());
        std::strncpy(pcm.name, "PCM", sizeof pcm.name - 1);
        return {pcm};
    }

    std::vector<FormatBytes> formats(uint32_t tag) const override {
        std::vector<FormatBytes> result;
        if (tag != kWaveFormatPcm)
            return result;
        for (uint32_t rate : {8000u, 11025u, 16000u, 22050u, 32000u, 44100u, 48000u, 96000u})
            for (uint32_t bits : {8u, 16u, 24u, 32u})
                for (uint32_t channels : {1u, 2u})
                    result.push_back(pcmRecord(rate, bits, channels));
        return result;
    }

    uint32_t maxFormatSize() const override { return kPcmFormatRecordSize; }

    MmResult suggest(const WaveFormatEx& src, const WaveFormatEx& given, uint32_t flags,
                     FormatBytes& out) const override {
        if (!usablePcm(src) ||
            ((flags & kAcmFormatSuggestWFormatTag) && given.formatTag != kWaveFormatPcm))
            return kAcmErrNotPossible;
        const uint32_t rate =
            flags & kAcmFormatSuggestNSamplesPerSec ? given.samplesPerSec : src.samplesPerSec;
        const uint32_t channels =
            flags & kAcmFormatSuggestNChannels ? given.channels : src.channels;
        const uint32_t bits =
            flags & kAcmFormatSuggestWBitsPerSample ? given.bitsPerSample : src.bitsPerSample;
        FormatBytes record = pcmRecord(rate, bits, channels);
        if (!usablePcm(asFormat(record)))
            return kAcmErrNotPossible;
        out = std::move(record);
        return kMmNoError;
    }

    MmResult open(const WaveFormatEx& src, const WaveFormatEx& dst, bool query,
                  std::unique_ptr<CompressionConverter>& out) const override {
        if (!usablePcm(src) || !usablePcm(dst))
            return kAcmErrNotPossible;
        if (!query) {
            auto converter = std::make_unique<PcmConverter>(src, dst);
            converter->reset();
            out = std::move(converter);
        }
        return kMmNoError;
    }
};

}  // namespace

std::unique_ptr<CompressionDriver> makePcmConverterDriver() {
    return std::make_unique<PcmConverterDriver>();
}

}  // namespace platform
