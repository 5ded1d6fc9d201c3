// ctest-labels: threaded
// The driver list and the codec device on a compression manager with scripted drivers:
// enumeration and its caching, details read on demand, the search by tag, format buffers,
// and the codec's chunking, START flag, carry-over and modes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "dsp_mixer_codec/unaMsAcm.h"
#include "dsp_mixer_codec/unaMsAcmCodec.h"
#include "platform/builtinCompression.h"

using namespace una;
using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kScriptTag = 0x99;

// What the scripted converter saw, shared with the test.
struct Script {
    std::mutex lock;
    std::vector<uint32_t> convertFlags;
    std::vector<std::vector<uint8_t>> sources;
    uint32_t leaveUnused = 0;   // source bytes each conversion leaves
    bool sizeKnown = true;
};

class ScriptedConverter : public CompressionConverter {
  public:
    explicit ScriptedConverter(Script& script) : script_(script) {}
    bool size(uint32_t bytes, bool, uint32_t& out) const override {
        out = bytes;
        return script_.sizeKnown;
    }
    MmResult convert(std::span<const uint8_t> src, std::span<uint8_t> dst, uint32_t flags,
                     uint32_t& srcUsed, uint32_t& dstUsed) override {
        std::lock_guard guard(script_.lock);
        script_.convertFlags.push_back(flags);
        script_.sources.emplace_back(src.begin(), src.end());
        srcUsed = static_cast<uint32_t>(src.size()) - std::min<uint32_t>(script_.leaveUnused, static_cast<uint32_t>(src.size()));
        dstUsed = std::min<uint32_t>(srcUsed, static_cast<uint32_t>(dst.size()));
        std::memcpy(dst.data(), src.data(), dstUsed);
        return kMmNoError;
    }

  private:
    Script& script_;
};

// A driver of one tag (besides PCM) with a scripted converter between 16-bit PCM and it.
class ScriptedDriver : public CompressionDriver {
  public:
    ScriptedDriver(Script& script, uint16_t mid, uint16_t pid, uint32_t maxFormatSize)
        : script_(script), mid_(mid), pid_(pid), maxFormatSize_(maxFormatSize) {}

    void details(AcmDriverDetailsW& out) const override {
        out.mid = mid_;
        out.pid = pid_;
        out.formatTagCount = 2;
        out.shortName[0] = u'S';
        out.features[0] = u'\u00e9';
    }
    std::vector<AcmFormatTagDetails> formatTags() const override {
        AcmFormatTagDetails pcm, scripted;
        pcm.formatTag = 1;
        scripted.formatTagIndex = 1;
        scripted.formatTag = kScriptTag;
        return {pcm, scripted};
    }
    std::vector<FormatBytes> formats(uint32_t tag) const override {
        if (tag == 1)
            return {pcmRecord(8000, 16, 1)};
        FormatBytes coded = pcmRecord(8000, 16, 1);
        asFormat(coded).formatTag = kScriptTag;
        return {coded};
    }
    uint32_t maxFormatSize() const override { return maxFormatSize_; }
    MmResult suggest(const WaveFormatEx& src, const WaveFormatEx& given, uint32_t flags,
                     FormatBytes& out) const override {
        lastSuggestFlags = flags;
        lastSuggestRate = given.samplesPerSec;
        out = pcmRecord(src.samplesPerSec, 16, src.channels);
        if (src.formatTag == 1)
            asFormat(out).formatTag = kScriptTag;
        return kMmNoError;
    }
    MmResult open(const WaveFormatEx&, const WaveFormatEx&, bool query,
                  std::unique_ptr<CompressionConverter>& out) const override {
        if (!query)
            out = std::make_unique<ScriptedConverter>(script_);
        return kMmNoError;
    }

    mutable uint32_t lastSuggestFlags = 0;
    mutable uint32_t lastSuggestRate = 0;

  private:
    Script& script_;
    uint16_t mid_, pid_;
    uint32_t maxFormatSize_;
};

// The built-in manager over scripted drivers, counting the calls the caching rules are
// about and able to play an old platform without wide texts or to fail details once.
class CountingCompression : public BuiltinCompression {
  public:
    using BuiltinCompression::BuiltinCompression;
    uint32_t platformId() override { return narrowOnly ? 1 : 2; }
    MmResult driverDetailsW(AcmId id, AcmDriverDetailsW& d, uint32_t f) override {
        ++detailCalls;
        if (failDetails > 0) {
            --failDetails;
            return kMmError;
        }
        return BuiltinCompression::driverDetailsW(id, d, f);
    }
    MmResult formatTagEnum(AcmId h, AcmFormatTagDetails& d,
                           const std::function<bool(AcmId, const AcmFormatTagDetails&)>& cb,
                           uint32_t f) override {
        ++tagEnumCalls;
        return BuiltinCompression::formatTagEnum(h, d, cb, f);
    }
    MmResult formatEnum(AcmId h, AcmFormatDetails& d,
                        const std::function<bool(AcmId, const AcmFormatDetails&)>& cb,
                        uint32_t f) override {
        bufferSizes.push_back(d.format ? 18u + d.format->extraSize : 0u);
        return BuiltinCompression::formatEnum(h, d, cb, f);
    }

    bool narrowOnly = false;
    int failDetails = 0;
    int detailCalls = 0;
    int tagEnumCalls = 0;
    std::vector<uint32_t> bufferSizes;
};

// Installs a manager for one test and the built-in one again afterwards.
class AcmTest : public ::testing::Test {
  protected:
    std::shared_ptr<CountingCompression> install(std::vector<std::unique_ptr<CompressionDriver>> drivers) {
        auto manager = std::make_shared<CountingCompression>(std::move(drivers));
        setCompression(manager);
        return manager;
    }
    void TearDown() override { setCompression(nullptr); }
    Script script;
};

std::vector<std::unique_ptr<CompressionDriver>> drivers(Script& script, uint32_t maxFormatSize = 18) {
    std::vector<std::unique_ptr<CompressionDriver>> list;
    list.push_back(std::make_unique<ScriptedDriver>(script, 7, 7, maxFormatSize));
    list.push_back(makePcmConverterDriver());
    list.push_back(std::make_unique<ScriptedDriver>(script, 8, 8, maxFormatSize));
    return list;
}

bool waitFor(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

}  // namespace

TEST_F(AcmTest, WithoutDriversTheListIsEmptyAndNoTagIsFound) {
    install({});
    auto acm = make<unaMsAcm>();
    EXPECT_EQ(acm->enumDrivers(0), 0u);
    EXPECT_EQ(acm->driverCount(), 0u);
    for (uint32_t tag : {1u, 6u, 7u, 0x11u, 0x31u})
        EXPECT_EQ(acm->findDriverByFormatTag(tag), nullptr) << tag;
    EXPECT_EQ(acm->getDriver(0), nullptr);
}

TEST_F(AcmTest, TheSearchByTagFindsThePcmConverterByItsIdsAndOthersInListOrder) {
    auto manager = install(drivers(script));
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    ASSERT_EQ(acm->driverCount(), 3u);
    EXPECT_EQ(acm->findDriverByFormatTag(1), acm->getDriver(1)) << "manufacturer 1, product 38";
    EXPECT_EQ(acm->findDriverByFormatTag(kScriptTag), acm->getDriver(0)) << "the first in order";
    EXPECT_EQ(acm->findDriverByFormatTag(0x55), nullptr);
    EXPECT_EQ(acm->findDriverByMidPid(8, 8), acm->getDriver(2));

    // A second enumDrivers builds the list anew.
    acm->enumDrivers(0);
    EXPECT_EQ(acm->driverCount(), 3u);
}

TEST_F(AcmTest, DetailsAreReadOnDemandAgainAfterAFailureAndWidenedFromNarrowOnes) {
    auto manager = install(drivers(script));
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    EXPECT_EQ(manager->detailCalls, 0) << "nothing read before it is asked for";
    unaMsAcmDriver* driver = acm->getDriver(0);
    manager->failDetails = 1;
    driver->getDetails();
    EXPECT_FALSE(driver->detailsValid());
    EXPECT_EQ(driver->getDetails().mid, 7);
    EXPECT_TRUE(driver->detailsValid());
    const int calls = manager->detailCalls;
    driver->getDetails();
    EXPECT_EQ(manager->detailCalls, calls) << "read once";

    manager->narrowOnly = true;
    acm->enumDrivers(0);
    const auto& narrow = acm->getDriver(2)->getDetails();
    EXPECT_EQ(narrow.pid, 8);
    EXPECT_EQ(narrow.shortName[0], u'S');
    EXPECT_EQ(narrow.features[0], u'?') << "a character beyond ASCII does not survive the narrow call";
}

TEST_F(AcmTest, ASecondEnumerationWithTheSameRequestDoesNotAskThePlatformAgain) {
    auto manager = install(drivers(script));
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    unaMsAcmDriver* driver = acm->getDriver(0);
    EXPECT_EQ(driver->enumFormats(0, false, nullptr, false), 0u);
    EXPECT_EQ(manager->tagEnumCalls, 1);
    EXPECT_EQ(driver->formatTagCount(), 2u);
    EXPECT_EQ(driver->formatCount(), 2u);
    driver->enumFormats(0, false, nullptr, false);
    EXPECT_EQ(manager->tagEnumCalls, 1);
    driver->enumFormats(0, true, nullptr, false);
    EXPECT_EQ(manager->tagEnumCalls, 2) << "force";
    driver->enumFormats(0, false, nullptr, true);
    EXPECT_EQ(manager->tagEnumCalls, 3) << "tags only is another request";
    EXPECT_EQ(driver->formatCount(), 0u);
    EXPECT_EQ(driver->formatTagCount(), 2u);
    driver->enumFormats(platform::kAcmFormatEnumNChannels, false, nullptr, true);
    EXPECT_EQ(manager->tagEnumCalls, 4) << "other flags";
}

TEST_F(AcmTest, ASmallMaximumFormatSizeStillGives18ByteBuffers) {
    auto manager = install(drivers(script, 12));
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    unaMsAcmDriver* driver = acm->getDriver(0);
    EXPECT_EQ(driver->maxFormatSize(), 12);
    driver->enumFormats(0, false, nullptr, false);
    ASSERT_EQ(manager->bufferSizes.size(), 2u);
    for (uint32_t size : manager->bufferSizes)
        EXPECT_EQ(size, 18u) << "18 bytes with extra size 0";
    // Each format is kept as a record of at least 18 bytes whose extra size says so.
    ASSERT_GT(driver->formatCount(), 0u);
    EXPECT_EQ(driver->getFormat(0)->getFormat()->extraSize, 0);
    EXPECT_EQ(driver->getFormat(0)->kind, kAcmObjectFormat);
    EXPECT_EQ(driver->getFormat(0)->tag, driver->getFormatTag(0));
}

TEST_F(AcmTest, SuggestionAlwaysAsksForTheSourceRate) {
    install(drivers(script));
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    unaMsAcmDriver* driver = acm->getDriver(0);
    ASSERT_EQ(driver->open(), 0u);
    const auto src = makePcmFormat(22050, 16, 2);
    auto dst = makePcmFormat(8000, 16, 1);
    dst->formatTag = kScriptTag;
    dst->extraSize = 0;
    EXPECT_EQ(driver->suggestFormat(src.get(), dst.get(), kAcmFormatSuggestWFormatTag), 0u);
    EXPECT_EQ(dst->samplesPerSec, 22050u);
}

TEST_F(AcmTest, CodecWithoutDestinationSizeTakes16ChunksAndStartsOnce) {
    install(drivers(script));
    script.sizeKnown = false;
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    auto codec = make<unaMsAcmCodec>(acm->getDriver(0));
    const auto pcm = makePcmFormat(8000, 16, 1);
    ASSERT_TRUE(codec->setFormatsByTag(true, pcm.get(), kScriptTag));
    EXPECT_EQ(codec->dstFormat->formatTag, kScriptTag);
    ASSERT_EQ(codec->open(false, 10000, 0), 0u);
    EXPECT_EQ(codec->chunkSize.load(), 640u);
    EXPECT_EQ(codec->dstChunkSize.load(), 640u * 16);

    // Input in pieces: nothing is converted until a whole chunk is there.
    std::vector<uint8_t> audio(640 * 3);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(codec->write(audio.data(), 300), 300u);
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard guard(script.lock);
        EXPECT_TRUE(script.sources.empty());
    }
    codec->write(audio.data() + 300, 340);
    codec->write(audio.data() + 640, 1280);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard guard(script.lock);
        return script.sources.size() == 3;
    }));
    codec->close(10000);
    std::lock_guard guard(script.lock);
    EXPECT_EQ(script.convertFlags[0], kAcmConvertBlockAlign | kAcmConvertStart);
    EXPECT_EQ(script.convertFlags[1], kAcmConvertBlockAlign);
    EXPECT_EQ(script.convertFlags[2], kAcmConvertBlockAlign);
    EXPECT_TRUE(script.sources[0] == std::vector<uint8_t>(audio.begin(), audio.begin() + 640));
}

TEST_F(AcmTest, SourceBytesTheDriverLeavesStartTheNextChunk) {
    install(drivers(script));
    script.leaveUnused = 6;
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    auto codec = make<unaMsAcmCodec>(acm->getDriver(0));
    const auto pcm = makePcmFormat(8000, 16, 1);
    ASSERT_TRUE(codec->setFormatsByTag(true, pcm.get(), kScriptTag));
    std::vector<uint8_t> delivered;
    std::mutex lock;
    codec->onDataAvailable = [&](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        std::lock_guard guard(lock);
        delivered.insert(delivered.end(), data.begin(), data.end());
    };
    ASSERT_EQ(codec->open(false, 10000, 0), 0u);
    std::vector<uint8_t> audio(640 * 4);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    for (size_t at = 0; at < audio.size(); at += 640)
        codec->write(audio.data() + at, 640);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard guard(lock);
        return delivered.size() >= 3 * 634;
    }));
    codec->close(10000);
    std::lock_guard guard(script.lock);
    ASSERT_GE(script.sources.size(), 2u);
    // The second chunk begins with the 6 bytes the first conversion left.
    EXPECT_TRUE(std::equal(script.sources[1].begin(), script.sources[1].begin() + 6,
                           audio.begin() + 634));
    EXPECT_TRUE(std::equal(script.sources[1].begin() + 6, script.sources[1].end(),
                           audio.begin() + 640));
    // What comes out is the input in order, nothing lost or doubled.
    std::lock_guard out(lock);
    EXPECT_TRUE(std::equal(delivered.begin(), delivered.end(), audio.begin()));
}

TEST_F(AcmTest, CloseConvertsWhatIsLeftAsTheEndAndCountsChunksTheDriverRefused) {
    install(drivers(script));
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    const auto pcm = makePcmFormat(8000, 16, 1);
    auto codec = make<unaMsAcmCodec>(acm->getDriver(0));
    ASSERT_TRUE(codec->setFormatsByTag(true, pcm.get(), kScriptTag));
    std::vector<uint8_t> delivered;
    std::mutex lock;
    codec->onDataAvailable = [&](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        std::lock_guard guard(lock);
        delivered.insert(delivered.end(), data.begin(), data.end());
    };
    ASSERT_EQ(codec->open(false, 10000, 0), 0u);
    std::vector<uint8_t> audio(640 + 300);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<uint8_t>(i * 7);
    codec->write(audio.data(), static_cast<uint32_t>(audio.size()));
    codec->close(10000);
    {
        std::lock_guard guard(script.lock);
        ASSERT_EQ(script.sources.size(), 2u);
        EXPECT_EQ(script.sources[1].size(), 300u) << "the short tail, not a whole chunk";
        EXPECT_EQ(script.convertFlags[1], kAcmConvertEnd);
        EXPECT_EQ(codec->inLostBytes.load(), 0u);
    }
    EXPECT_TRUE(delivered == audio);

    // A driver that takes nothing of a chunk: it is dropped, and counted.
    script.leaveUnused = 100000;
    ASSERT_EQ(codec->open(false, 10000, 0), 0u);
    codec->write(audio.data(), 640);
    ASSERT_TRUE(waitFor([&] { return codec->inLostBytes.load() == 640; }));
    codec->write(audio.data(), 100);
    codec->close(10000);
    EXPECT_EQ(codec->inLostBytes.load(), 740u) << "the tail it refused too";
}

TEST_F(AcmTest, ModesAnswerWithTheirCodes) {
    install(drivers(script));
    auto acm = make<unaMsAcm>();
    acm->enumDrivers(0);
    const auto pcm = makePcmFormat(8000, 16, 1);
    uint32_t out = 0;

    auto noDriver = make<unaMsAcmCodec>(nullptr, false, 0, false, kCodecModeDriverStream);
    EXPECT_FALSE(noDriver->setFormatSuggestPcm(false, pcm.get()));
    EXPECT_FALSE(noDriver->setFormatsByTag(true, pcm.get(), kScriptTag));
    noDriver->setFormat(true, pcm.get());
    noDriver->setFormat(false, pcm.get());
    EXPECT_EQ(noDriver->streamSize(640, out, 0), 6u);
    EXPECT_EQ(noDriver->open(false, 10000, 0), 6u);
    EXPECT_FALSE(noDriver->isOpen());

    auto unsupported = make<unaMsAcmCodec>(acm->getDriver(0), false, 0, false, kCodecModeNotSupported);
    EXPECT_EQ(unsupported->reset(), 8u);
    auto invalid = make<unaMsAcmCodec>(acm->getDriver(0), false, 0, false, 5);
    EXPECT_EQ(invalid->reset(), 11u);

    // Mode 1 reaches the driver through its messages; its size answer is doubled.
    auto messages = make<unaMsAcmCodec>(acm->getDriver(0), false, 0, false, kCodecModeDriverStream);
    ASSERT_TRUE(messages->setFormatsByTag(true, pcm.get(), kScriptTag));
    ASSERT_EQ(messages->open(false, 10000, 0), 0u);
    EXPECT_EQ(messages->dstChunkSize.load(), 1280u);
    std::vector<uint8_t> delivered;
    std::mutex lock;
    messages->onDataAvailable = [&](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
        std::lock_guard guard(lock);
        delivered.insert(delivered.end(), data.begin(), data.end());
    };
    const std::vector<uint8_t> audio(messages->chunkSize * 2, 5);
    messages->write(audio.data(), static_cast<uint32_t>(audio.size()));
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard guard(lock);
        return delivered.size() >= audio.size() / 2;
    }));
    messages->close(10000);
    EXPECT_FALSE(messages->isOpen());
}
