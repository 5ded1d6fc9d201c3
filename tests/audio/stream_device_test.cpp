// ctest-labels: threaded
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/unaMsAcmStreamDevice.h"
#include "audio/unaWaveFormat.h"

using namespace una;
using namespace std::chrono_literals;

namespace {

// A stream device with a pretend platform: open and close complete at once (or never).
class FakeDevice : public unaMsAcmStreamDevice {
  public:
    FakeDevice(bool ownIsSrc, bool inStream, bool outStream, int32_t overNum = 0,
               bool calcVolume = false)
        : unaMsAcmStreamDevice(inStream, outStream, overNum, overNum, calcVolume),
          ownIsSrc_(ownIsSrc) {}

    bool deviceFormatIsSrc() const override { return ownIsSrc_; }

    std::atomic<int> doOpenCalls{0};
    std::atomic<int> doCloseCalls{0};
    bool confirmOpen = true;

  protected:
    MmResult doOpen(uint32_t flags) override {
        ++doOpenCalls;
        const MmResult r = unaMsAcmStreamDevice::doOpen(flags);
        handle = 1;
        if (!confirmOpen)
            openCloseEvent.setState(false);
        return r;
    }
    MmResult doClose(uint32_t timeoutMs) override {
        ++doCloseCalls;
        return unaMsAcmStreamDevice::doClose(timeoutMs);
    }
    MmResult prepareHeader(unaMsAcmDeviceHeader&) override { return 0; }
    MmResult unprepareHeader(unaMsAcmDeviceHeader&) override { return 0; }

  private:
    const bool ownIsSrc_;
};

// A memory stream that notes every write in a shared log.
class LoggingStream : public unaMemoryStream {
  public:
    LoggingStream(std::vector<std::string>& log, std::string name)
        : log_(log), name_(std::move(name)) {}
    using unaMemoryStream::write;
    int32_t write(std::span<const uint8_t> data) override {
        log_.push_back(name_);
        return unaMemoryStream::write(data);
    }

  private:
    std::vector<std::string>& log_;
    std::string name_;
};

unaPtr<FakeDevice> makeOpenDevice(bool ownIsSrc, bool in, bool out, const unaWaveFormat& format,
                                  int32_t overNum = 0) {
    auto d = make<FakeDevice>(ownIsSrc, in, out, overNum);
    d->setFormat(ownIsSrc, format);
    d->setInOverNum(overNum);
    d->setOutOverNum(overNum);
    EXPECT_EQ(d->open(), 0u);
    return d;
}

std::vector<uint8_t> chunk(uint32_t size, uint8_t value) {
    return std::vector<uint8_t>(size, value);
}

}  // namespace

TEST(StreamDevice, ChunkSizesFollowTheFormat) {
    auto d = make<FakeDevice>(false, false, true);
    struct Case {
        uint32_t rate, bits, channels, perSecond, size;
    };
    for (const Case& c :
         {Case{44100, 16, 2, 25, 7056}, Case{11025, 8, 1, 25, 441}, Case{22050, 16, 1, 25, 1764},
          Case{48000, 16, 2, 25, 7680}, Case{44101, 8, 1, 5, 8821}, Case{1010, 8, 1, 10, 101},
          Case{1016, 8, 1, 20, 51}, Case{500, 8, 1, 25, 40}}) {
        ASSERT_TRUE(d->setFormat(false, makePcmFormat(c.rate, c.bits, c.channels)));
        EXPECT_EQ(d->chunksPerSecond, c.perSecond) << c.rate;
        EXPECT_EQ(d->chunkSize, c.size) << c.rate;
    }
    EXPECT_EQ(d->dstFormatText.substr(0, 5), "PCM: ");

    // The other side keeps 25 per second and leaves the device's rate alone.
    ASSERT_TRUE(d->setFormat(false, makePcmFormat(44101, 8, 1)));
    ASSERT_TRUE(d->setFormat(true, makePcmFormat(44100, 16, 2)));
    EXPECT_EQ(d->chunksPerSecond, 5u);
    EXPECT_EQ(d->dstChunkSize, 7056u);
    EXPECT_EQ(d->chunkSize, 8821u);

    unaWaveFormat unaligned = makePcmFormat(8000, 8, 1);
    unaligned->blockAlign = 0;
    ASSERT_TRUE(d->setFormat(false, unaligned));
    EXPECT_EQ(d->chunkSize, 512u) << "no alignment means 512-byte blocks";

    // A compressed format with a known byte rate is sized by it, never re-rated.
    unaWaveFormat gsm(20);
    gsm->formatTag = 49;
    gsm->channels = 1;
    gsm->samplesPerSec = 8000;
    gsm->avgBytesPerSec = 1625;
    gsm->blockAlign = 65;
    gsm->extraSize = 2;
    ASSERT_TRUE(d->setFormat(false, gsm));
    EXPECT_EQ(d->chunksPerSecond, 25u);
    EXPECT_EQ(d->chunkSize, 65u);
    EXPECT_EQ(d->dstFormat.size(), 20u);
    EXPECT_EQ(d->dstFormatText, "GSM: " + formatToText(gsm).substr(5));
}

TEST(StreamDevice, WriteRespectsStateAndInputLimit) {
    const unaWaveFormat format = makePcmFormat(8000, 8, 1);  // 320-byte chunks
    auto closed = make<FakeDevice>(true, true, false, 10);
    closed->setFormat(true, format);
    const auto c = chunk(320, 1);
    EXPECT_EQ(closed->write(c.data(), 320), 0u);
    EXPECT_EQ(closed->getDataAvailable(true), 0u);
    EXPECT_EQ(closed->inLostBytes, 0u) << "a closed device loses the bytes without counting";

    auto d = makeOpenDevice(true, true, false, format, 10);
    EXPECT_EQ(d->inOverBytes, 3200u);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(d->write(c.data(), 320), 320u) << "chunk " << i + 1;
    EXPECT_EQ(d->write(c.data(), 320), 0u) << "the 12th chunk is over the limit";
    EXPECT_EQ(d->inLostBytes, 320u);
    EXPECT_EQ(d->getDataAvailable(true), 11u * 320);

    uint8_t buf[320];
    EXPECT_EQ(d->takeInput(buf, 320), 320u);
    EXPECT_EQ(d->inBytes, 320u);
    EXPECT_EQ(d->takeInput(buf, 0), 0u);
    EXPECT_EQ(d->write(c.data(), 320), 320u) << "ten waiting again: not over the limit";
    EXPECT_EQ(d->write(c.data(), 320), 0u);
    EXPECT_EQ(d->inLostBytes, 640u);
    EXPECT_EQ(d->takeInput(buf, 320), 320u);

    d->closing = true;
    EXPECT_EQ(d->write(c.data(), 320), 0u) << "a closing device refuses data";
    d->flushing = true;
    EXPECT_GT(d->write(c.data(), 1), 0u) << "except its own flush";
    d->closing = false;
    d->flushing = false;

    EXPECT_EQ(d->close(), 0u);
    EXPECT_EQ(d->write(c.data(), 320), 0u);
}

TEST(StreamDevice, DeliverGoesToCallbackConsumersThenOutput) {
    const unaWaveFormat format = makePcmFormat(8000, 8, 1);
    std::vector<std::string> log;
    auto provider = make<FakeDevice>(false, false, true);
    provider->setFormat(false, format);
    provider->assignStream(false, unaPtr<unaAbstractStream>(make<LoggingStream>(log, "out")));
    EXPECT_TRUE(provider->ownsOutStream);
    EXPECT_TRUE(provider->outIsMemory);

    // Borrowed streams outlive the devices that use them.
    auto firstIn = make<LoggingStream>(log, "first");
    auto secondIn = make<LoggingStream>(log, "second");
    auto first = makeOpenDevice(true, true, false, format);
    auto second = makeOpenDevice(true, true, false, format);
    first->assignStream(true, firstIn.get());
    second->assignStream(true, secondIn.get());
    EXPECT_FALSE(first->ownsInStream);

    EXPECT_EQ(provider->addConsumer(first.get()), 0);
    EXPECT_EQ(provider->addConsumer(second.get()), 1);
    EXPECT_EQ(provider->addConsumer(first.get()), -1) << "chained once only";
    EXPECT_EQ(provider->addConsumer(nullptr), -1);
    EXPECT_EQ(first->getProviderCount(), 1u);

    std::vector<uint8_t> seen;
    provider->onDataAvailable = [&](unaMsAcmStreamDevice& device, std::span<const uint8_t> data) {
        EXPECT_EQ(&device, provider.get());
        log.push_back("callback");
        seen.assign(data.begin(), data.end());
    };
    std::vector<uint8_t> data(320);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_TRUE(provider->deliverChunk(data.data(), 320));
    EXPECT_FALSE(provider->deliverChunk(data.data(), 0));
    EXPECT_EQ(log, (std::vector<std::string>{"callback", "first", "second", "out"}));
    EXPECT_EQ(seen, data);
    EXPECT_EQ(provider->outBytes, 320u);

    std::vector<uint8_t> back(320);
    EXPECT_EQ(first->takeInput(back.data(), 320), 320u);
    EXPECT_EQ(back, data);
    std::vector<uint8_t> small(100);
    EXPECT_EQ(provider->read(small, 0), 100u) << "the first chunk, cut to the buffer";
    EXPECT_EQ(provider->getDataAvailable(false), 220u);
    std::vector<uint8_t> rest(1000);
    EXPECT_EQ(provider->read(rest, 0), 220u);
    EXPECT_EQ(provider->read(rest, 0), 0u);

    EXPECT_TRUE(provider->removeConsumer(first.get()));
    EXPECT_FALSE(provider->removeConsumer(first.get()));
    EXPECT_EQ(first->getProviderCount(), 0u);
    EXPECT_EQ(provider->getConsumerCount(), 1u);

    // Chaining with detach leaves the output to the consumers alone.
    EXPECT_EQ(provider->addConsumer(first.get(), true), 1);
    EXPECT_EQ(provider->outStream(), nullptr);
    log.clear();
    EXPECT_TRUE(provider->deliverChunk(data.data(), 320));
    EXPECT_EQ(log, (std::vector<std::string>{"callback", "second", "first"}));
    EXPECT_EQ(provider->read(rest, 0), 0u);
    first->close();
    second->close();
}

TEST(StreamDevice, OutputLimitDropsWholeChunks) {
    auto d = make<FakeDevice>(false, false, true, 2);
    d->setFormat(false, makePcmFormat(8000, 8, 1));
    EXPECT_EQ(d->outOverBytes, 640u);
    const auto c = chunk(320, 3);
    for (int i = 0; i < 4; ++i)
        d->deliverChunk(c.data(), 320);
    EXPECT_EQ(d->getDataAvailable(false), 3u * 320);
    EXPECT_EQ(d->outLostBytes, 320u);
    EXPECT_EQ(d->outBytes, 4u * 320) << "dropped output still counts as delivered";
}

TEST(StreamDevice, VolumesPerChannel) {
    auto d = make<FakeDevice>(true, true, false, 0, true);
    d->setFormat(true, makePcmFormat(8000, 16, 2));
    std::vector<int16_t> samples;
    for (int i = 0; i < 160; ++i) {
        samples.push_back(1000);
        samples.push_back(static_cast<int16_t>(i % 2 ? -2000 : 2000));
    }
    EXPECT_TRUE(d->measureChunk(reinterpret_cast<const uint8_t*>(samples.data()), 640));
    EXPECT_EQ(d->getVolume(0), 1000);
    EXPECT_EQ(d->getVolume(1), 2000);
    EXPECT_EQ(d->getVolume(256), 1000) << "channels wrap at 256";
    EXPECT_EQ(d->getVolume(257), 2000);
    samples.assign(320, 0);
    d->measureChunk(reinterpret_cast<const uint8_t*>(samples.data()), 640);
    EXPECT_EQ(d->getVolume(0), 0);
    EXPECT_EQ(d->prevVolume[0], 1000);

    d->setCalcVolume(false);
    samples.assign(320, 500);
    d->measureChunk(reinterpret_cast<const uint8_t*>(samples.data()), 640);
    EXPECT_EQ(d->getVolume(0), 0) << "volume is measured only when asked for";

    const uint8_t bytes8[] = {128, 0, 128, 0};
    EXPECT_EQ(waveGetVolume(bytes8, 2, 8, false, 0, 2), 0);
    EXPECT_EQ(waveGetVolume(bytes8, 2, 8, false, 1, 2), 32768);
    EXPECT_EQ(waveGetVolume(bytes8, 2, 8, false, 2, 2), 0) << "channel beyond the count";
    EXPECT_EQ(waveGetVolume(bytes8, 0, 8, false, 0, 2), 0);
    EXPECT_EQ(waveGetVolume(bytes8, 2, 8, false, 0, 0), 0);
    const int16_t ramp[] = {100, 100, 300, 300};
    EXPECT_EQ(waveGetVolume(reinterpret_cast<const uint8_t*>(ramp), 4, 16, true, 0, 1), 112)
        << "differences 100, 0, 200, 0";
    const int32_t big[] = {2000000000, -2000000000, 2000000000, -2000000000};
    EXPECT_EQ(waveGetVolume(reinterpret_cast<const uint8_t*>(big), 4, 32, false, 0, 1), 2000000000)
        << "32-bit squares must not overflow the sum";

    d->setCalcVolume(true);
    ASSERT_TRUE(d->open() == 0);
    d->measureChunk(reinterpret_cast<const uint8_t*>(samples.data()), 640);
    EXPECT_EQ(d->getVolume(0), 500);
    d->close();
    EXPECT_EQ(d->getVolume(0), 0) << "close clears the levels";
}

TEST(StreamDevice, VolumeToMeter) {
    EXPECT_EQ(volumeToMeter(-1), 0);
    EXPECT_EQ(volumeToMeter(0), 0);
    EXPECT_EQ(volumeToMeter(31), 0);
    EXPECT_EQ(volumeToMeter(32), 0);
    EXPECT_EQ(volumeToMeter(320), 100);
    EXPECT_EQ(volumeToMeter(3200), 200);
    EXPECT_EQ(volumeToMeter(32767), 301);
    EXPECT_EQ(volumeToMeter(32768), 300);
    EXPECT_EQ(volumeToMeter(40000), 300);
}

TEST(StreamDevice, VolumeThresholdSilenceGate) {
    auto d = make<FakeDevice>(true, true, false, 0, true);
    d->setFormat(true, makePcmFormat(8000, 16, 1));
    const std::vector<int16_t> quiet(160, 10);
    const std::vector<int16_t> loud(160, 5000);
    auto q = reinterpret_cast<const uint8_t*>(quiet.data());
    auto l = reinterpret_cast<const uint8_t*>(loud.data());

    EXPECT_TRUE(d->measureChunk(q, 320)) << "mode 0 passes everything";
    d->silenceMode = kSilenceVolume;
    EXPECT_TRUE(d->measureChunk(q, 320)) << "threshold 0 passes everything";

    std::vector<bool> notified;
    d->onThreshold = [&](unaMsAcmStreamDevice&, bool& pass) { notified.push_back(pass); };
    d->silenceThreshold = 100;
    d->silenceHoldMs = 60000;
    EXPECT_TRUE(d->measureChunk(q, 320)) << "a first quiet chunk starts the hold";
    EXPECT_NE(d->silenceStart, 0u);
    EXPECT_TRUE(d->measureChunk(q, 320)) << "inside the hold nothing is examined";
    EXPECT_FALSE(d->isSilent);

    d->silenceHoldMs = 0;
    std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(d->measureChunk(q, 320)) << "quiet after the hold: silent";
    EXPECT_TRUE(d->isSilent);
    EXPECT_EQ(notified, std::vector<bool>{false});

    uint8_t buf[320];
    d->setInOverNum(0);
    ASSERT_EQ(d->open(), 0u);
    d->isSilent = true;  // open re-arms the gate silent and forces a notification
    d->write(q, 320);
    EXPECT_EQ(d->takeInput(buf, 320), 0u);
    EXPECT_EQ(d->silentBytes, 320u);
    EXPECT_EQ(notified.size(), 2u) << "forced notification after open";

    d->write(l, 320);
    EXPECT_EQ(d->takeInput(buf, 320), 320u) << "the first loud chunk opens the gate";
    EXPECT_FALSE(d->isSilent);
    EXPECT_EQ(notified.back(), true);

    d->onThreshold = [&](unaMsAcmStreamDevice&, bool& pass) {
        notified.push_back(pass);
        pass = true;  // the handler may overrule the gate
    };
    d->measureChunk(q, 320);  // starts a hold
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(d->measureChunk(q, 320));
    EXPECT_TRUE(d->isSilent);

    d->silenceThreshold = 0;
    notified.clear();
    EXPECT_TRUE(d->measureChunk(q, 320));
    EXPECT_EQ(notified.size(), 1u) << "switching the gate off tells the listener once";
    EXPECT_TRUE(d->measureChunk(q, 320));
    EXPECT_EQ(notified.size(), 1u);
    d->close();
}

TEST(StreamDevice, OpenAndCloseSequences) {
    auto d = make<FakeDevice>(true, true, false);
    d->setFormat(true, makePcmFormat(8000, 8, 1));
    EXPECT_EQ(d->close(), 0u);
    EXPECT_EQ(d->doCloseCalls, 0) << "closing a closed device does nothing";
    EXPECT_EQ(d->open(), 0u);
    EXPECT_TRUE(d->isOpen());
    EXPECT_EQ(d->open(), 0u);
    EXPECT_EQ(d->doOpenCalls, 1) << "opening an open device does nothing";
    EXPECT_EQ(d->close(), 0u);
    EXPECT_FALSE(d->isOpen());
    EXPECT_EQ(d->doCloseCalls, 1);
    EXPECT_FALSE(d->closing);

    d->confirmOpen = false;
    EXPECT_EQ(d->open(false, 50), 12u) << "the platform never confirmed the open";
    EXPECT_FALSE(d->isOpen()) << "and the device was closed again";
    EXPECT_EQ(d->doCloseCalls, 2);
    d->confirmOpen = true;

    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        d->openCloseGate.enter(kInfinite);
        held = true;
        while (!release)
            std::this_thread::sleep_for(5ms);
        d->openCloseGate.leave();
    });
    while (!held)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(d->open(), 12u) << "busy open/close gate";
    EXPECT_EQ(d->doOpenCalls, 2);
    release = true;
    holder.join();
    EXPECT_EQ(d->open(), 0u);
    EXPECT_EQ(d->getPosition(), 0);
}

TEST(StreamDevice, StreamsAndPosition) {
    auto d = make<FakeDevice>(true, true, false);
    d->setFormat(true, makePcmFormat(8000, 16, 2));
    EXPECT_EQ(d->getPosition(), 0) << "no destination format yet";
    d->setFormat(false, makePcmFormat(8000, 16, 2));
    ASSERT_EQ(d->open(), 0u);
    std::vector<uint8_t> c(400, 0);
    d->write(c.data(), 400);
    uint8_t buf[400];
    d->takeInput(buf, 400);
    EXPECT_EQ(d->getPosition(), 100) << "400 bytes of 16-bit stereo";
    d->close();

    auto borrowed = make<unaMemoryStream>(100);
    EXPECT_EQ(d->assignStream(true, borrowed.get()), borrowed.get());
    EXPECT_FALSE(d->ownsInStream);
    d->releaseStream(true);
    EXPECT_EQ(d->inStream(), nullptr);
    EXPECT_EQ(d->getDataAvailable(true), 0u);
    EXPECT_EQ(borrowed->write(c.data(), 4), 4) << "a borrowed stream survives its release";
}

TEST(StreamDevice, DestructionUnhooksFromChain) {
    const unaWaveFormat format = makePcmFormat(8000, 8, 1);
    auto provider = makeOpenDevice(false, false, true, format);
    auto consumer = makeOpenDevice(true, true, false, format);
    auto downstream = makeOpenDevice(true, true, false, format);
    provider->addConsumer(consumer.get());
    consumer->addConsumer(downstream.get());
    EXPECT_EQ(downstream->getProviderCount(), 1u);

    consumer.reset();
    EXPECT_EQ(provider->getConsumerCount(), 0u);
    EXPECT_EQ(downstream->getProviderCount(), 0u);
    const auto c = chunk(320, 9);
    EXPECT_TRUE(provider->deliverChunk(c.data(), 320));

    provider->addConsumer(downstream.get());
    provider.reset();
    EXPECT_EQ(downstream->getProviderCount(), 0u);
}

TEST(StreamDevice, ConsumerFreedWhileProviderDelivers) {
    const unaWaveFormat format = makePcmFormat(8000, 8, 1);
    auto provider = makeOpenDevice(false, false, false, format);
    for (int round = 0; round < 20; ++round) {
        auto consumer = makeOpenDevice(true, true, false, format, 4);
        provider->addConsumer(consumer.get());
        std::atomic<bool> stop{false};
        std::thread worker([&] {
            const auto c = chunk(320, 1);
            while (!stop)
                provider->deliverChunk(c.data(), 320);
        });
        std::this_thread::sleep_for(2ms);
        consumer.reset();
        EXPECT_EQ(provider->getConsumerCount(), 0u);
        stop = true;
        worker.join();
    }
}
