#include <gtest/gtest.h>
#include <poll.h>

#include <memory>
#include <vector>

#include "dsp_mixer_codec/unaMsMixer.h"
#include "support/fakeMixer.h"

using namespace una;
using namespace platform;

namespace {

using Values = std::vector<uint32_t>;

struct Model {
    std::shared_ptr<FakeMixer> fake = std::make_shared<FakeMixer>();
    unaPtr<unaMsMixerSystem> system;

    unaMsMixerSystem& make() {
        system = una::make<unaMsMixerSystem>(true, fake);
        return *system;
    }
};

// A card of the usual kind: playback (speakers) with a wave and a CD source, recording
// (waveIn) with line, microphone and CD sources chosen by a mux.
struct Card {
    Model m;
    uint32_t mixer = 0;
    uint32_t playVolume = 0, playMute = 0, waveVolume = 0;
    uint32_t recVolume = 0, mux = 0, lineVolume = 0, lineMute = 0, micVolume = 0, micMute = 0;
    uint32_t lineId = 0, micId = 0, cdId = 0;

    Card() {
        FakeMixer& f = *m.fake;
        mixer = f.addMixer(L"Test Card");
        f.addDestination(mixer, kMixerDstSpeakers, L"Volume Control", 2, kMixerTargetWaveOut);
        f.addDestination(mixer, kMixerDstWaveIn, L"Recording Control", 2, kMixerTargetWaveIn);
        const uint32_t play = f.destinationLineId(mixer, 0);
        const uint32_t rec = f.destinationLineId(mixer, 1);
        playVolume = f.addVolume(mixer, play, 0, 65535, {65535, 65535});
        playMute = f.addMute(mixer, play, false);
        const uint32_t wave = f.addSource(mixer, 0, kMixerSrcWaveOut, L"Wave");
        f.addSource(mixer, 0, kMixerSrcCompactDisc, L"CD Audio");
        waveVolume = f.addVolume(mixer, wave, 0, 65535, {1000, 1000});
        // Platform source order: CD, microphone, line; connections run the other way.
        cdId = f.addSource(mixer, 1, kMixerSrcCompactDisc, L"CD");
        micId = f.addSource(mixer, 1, kMixerSrcMicrophone, L"Microphone");
        lineId = f.addSource(mixer, 1, kMixerSrcLine, L"Line In");
        recVolume = f.addVolume(mixer, rec, 0, 65535, {65535, 65535});
        mux = f.addMux(mixer, rec, {cdId, micId, lineId}, 1);
        lineVolume = f.addVolume(mixer, lineId, 0, 65535, {0, 0});
        lineMute = f.addMute(mixer, lineId, true);
        micVolume = f.addVolume(mixer, micId, 0, 65535, {30000, 30000});
        micMute = f.addMute(mixer, micId, false);
        f.setWaveDevices(mixer, 3, 2);
    }
};

bool readable(const std::vector<pollfd>& watched) {
    std::vector<pollfd> fds = watched;
    return !fds.empty() && ::poll(fds.data(), fds.size(), 0) > 0;
}

TEST(MixerModel, WithoutMixersEverythingIsEmptyOrNone) {
    Model m;
    auto& s = m.make();
    EXPECT_EQ(s.getMixerCount(), 0);
    EXPECT_EQ(s.getMixer(0), nullptr);
    EXPECT_FALSE(s.selectMixer(0, [](uint32_t) {}));
    EXPECT_EQ(s.currentMixer(), nullptr);
    EXPECT_EQ(s.getWaveDeviceIndex(true, false), -2);
    EXPECT_EQ(s.getWaveDeviceIndex(false, true), -2);
    EXPECT_EQ(s.getMixerName(), L"");
    EXPECT_EQ(s.getLineCount(), 0);
    EXPECT_EQ(s.getDestinationIndex(false), -1);
    EXPECT_EQ(s.getDestinationIndex(true), -1);
    EXPECT_EQ(s.getConnectionCount(0), 0);
    EXPECT_EQ(s.getLine(0, -1), nullptr);
    EXPECT_EQ(s.getDestinationName(0, false), L"");
    EXPECT_EQ(s.getLineVolume(0, -1), -1);
    EXPECT_FALSE(s.setLineVolume(0, -1, 50));
    EXPECT_EQ(s.getLineMute(0, -1), -1);
    EXPECT_EQ(s.getRecordingSource(), -1);
    EXPECT_FALSE(s.selectRecordingSource(0, true));
    EXPECT_EQ(s.findConnection(0, kMixerSrcMicrophone, true), -1);
    EXPECT_TRUE(s.notificationDescriptors().empty());
    EXPECT_EQ(s.dispatchNotifications(), 0);
}

TEST(MixerModel, EnumerationOnlyWhenAskedAndOnce) {
    Card c;
    auto lazy = una::make<unaMsMixerSystem>(false, c.m.fake);
    EXPECT_EQ(lazy->getMixerCount(), 0);
    lazy->ensureEnumerated();
    EXPECT_EQ(lazy->getMixerCount(), 1);
    c.m.fake->addMixer(L"Second");
    lazy->ensureEnumerated();
    EXPECT_EQ(lazy->getMixerCount(), 1);
    lazy->enumDevices();
    EXPECT_EQ(lazy->getMixerCount(), 2);
}

TEST(MixerModel, NamesLinesAndConnectionsOfTheCurrentMixer) {
    Card c;
    auto& s = c.m.make();
    ASSERT_EQ(s.getMixerCount(), 1);
    ASSERT_TRUE(s.selectMixer(0));
    EXPECT_EQ(s.getMixerName(), L"Test Card");
    EXPECT_EQ(s.getLineCount(), 2);
    EXPECT_EQ(s.getDestinationName(1, false), L"Recording Control");
    EXPECT_EQ(s.getDestinationName(1, true), L"Recording Contr");  // 15 characters
    ASSERT_EQ(s.getConnectionCount(1), 3);
    EXPECT_EQ(s.getLineName(1, 0, false), L"Line In");
    EXPECT_EQ(s.getLineName(1, 1, false), L"Microphone");
    EXPECT_EQ(s.getLineName(1, 2, false), L"CD");
    EXPECT_EQ(s.getLineName(1, 3, false), L"");
    EXPECT_EQ(s.getLine(1, 0)->getConnectionCount(), 0);
    EXPECT_EQ(s.getLine(1, 0)->getConnection(0), nullptr);
    EXPECT_EQ(s.getConnectionCount(5), 0);
    EXPECT_EQ(s.findConnection(1, kMixerSrcMicrophone), 1);
    EXPECT_EQ(s.findConnection(1, kMixerSrcAnalog), -1);
    EXPECT_EQ(s.getVolumeControlId(1, 0), static_cast<int32_t>(c.lineVolume));
    EXPECT_EQ(s.getMuteControlId(1, 1), static_cast<int32_t>(c.micMute));
    EXPECT_EQ(s.getVolumeControlId(1, 2), -1);
    EXPECT_EQ(s.getVolumeControlId(0, -1), static_cast<int32_t>(c.playVolume));
}

TEST(MixerModel, TwoHundredConnectionsExposeTheHighest128SourcesFirst) {
    Model m;
    FakeMixer& f = *m.fake;
    f.addMixer(L"Big");
    f.addDestination(0, kMixerDstWaveIn, L"Rec");
    for (int i = 0; i < 200; ++i)
        f.addSource(0, 0, kMixerSrcLine, L"Source " + std::to_wstring(i));
    auto& s = m.make();
    ASSERT_TRUE(s.selectMixer(0));
    ASSERT_EQ(s.getConnectionCount(0), 128);
    EXPECT_EQ(s.getLine(0, 0)->record().source, 199u);
    EXPECT_EQ(s.getLineName(0, 0, false), L"Source 199");
    EXPECT_EQ(s.getLine(0, 127)->record().source, 72u);
    EXPECT_EQ(s.getLine(0, 128), nullptr);
}

TEST(MixerModel, MostControlsPicksTheRichestMicrophoneFirstOfEqual) {
    Model m;
    FakeMixer& f = *m.fake;
    f.addMixer(L"Mics");
    f.addDestination(0, kMixerDstWaveIn, L"Rec");
    const uint32_t last = f.addSource(0, 0, kMixerSrcMicrophone, L"Last");    // connection 3
    const uint32_t rich = f.addSource(0, 0, kMixerSrcMicrophone, L"Rich");    // connection 2
    const uint32_t plain = f.addSource(0, 0, kMixerSrcMicrophone, L"Plain");  // connection 1
    f.addSource(0, 0, kMixerSrcLine, L"Line");                                // connection 0
    for (uint32_t id : {last, rich}) {
        f.addVolume(0, id, 0, 100, {1});
        f.addMute(0, id, false);
    }
    f.addVolume(0, plain, 0, 100, {1});
    auto& s = m.make();
    ASSERT_TRUE(s.selectMixer(0));
    EXPECT_EQ(s.findConnection(0, kMixerSrcMicrophone, false), 1);
    EXPECT_EQ(s.findConnection(0, kMixerSrcMicrophone, true), 2);
    EXPECT_EQ(s.getLineName(0, 2, false), L"Rich");
}

// Two-channel mux that is not uniform: values are item-major per channel.
struct StereoMux : ::testing::Test {
    Model m;
    uint32_t mux = 0;
    void SetUp() override {
        FakeMixer& f = *m.fake;
        f.addMixer(L"Mux");
        f.addDestination(0, kMixerDstWaveIn, L"Rec", 2);
        std::vector<uint32_t> ids;
        for (int i = 0; i < 4; ++i)
            ids.push_back(f.addSource(0, 0, kMixerSrcLine, L"S" + std::to_wstring(i)));
        mux = f.addMux(0, f.destinationLineId(0, 0), ids, 0, 2);
        f.changeFromOutside(0, mux, {1, 0, 0, 0, 0, 1, 0, 0});
    }
    unaMsMixerControl* control(unaMsMixerSystem& s) {
        return s.getControl(0, -1, kMixerControlClassList, kMixerControlTypeMux);
    }
};

TEST_F(StereoMux, SelectingInChannelZeroKeepsChannelOneAsLastRead) {
    auto& s = m.make();
    ASSERT_TRUE(s.selectMixer(0));
    unaMsMixerControl* c = control(s);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->detailsChannels(), 2u);
    EXPECT_EQ(c->detailsItems(), 4u);
    EXPECT_TRUE(c->getBoolValue(1, 1));  // the last read
    // Another program changes channel 1 after that read; the write does not know it.
    m.fake->changeFromOutside(0, mux, {1, 0, 0, 0, 0, 0, 0, 1});
    m.fake->clearWrites();
    EXPECT_TRUE(c->setBoolValue(true, 0, 2));
    ASSERT_EQ(m.fake->writes().size(), 1u);
    EXPECT_EQ(m.fake->writes()[0].values, (Values{0, 0, 1, 0, 0, 1, 0, 0}));
}

TEST_F(StereoMux, FalseChangesNothingAndANegativeChannelSelectsInEvery) {
    auto& s = m.make();
    ASSERT_TRUE(s.selectMixer(0));
    unaMsMixerControl* c = control(s);
    ASSERT_NE(c, nullptr);
    m.fake->clearWrites();
    EXPECT_TRUE(c->setBoolValue(false, 0, 0));
    ASSERT_EQ(m.fake->writes().size(), 1u);
    EXPECT_EQ(m.fake->writes()[0].values, (Values{1, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_TRUE(c->setBoolValue(true, -1, 3));
    EXPECT_EQ(m.fake->writes().back().values, (Values{0, 0, 0, 1, 0, 0, 0, 1}));
    // Out of range: nothing stored, the array still goes out once.
    EXPECT_TRUE(c->setBoolValue(true, 0, 9));
    EXPECT_EQ(m.fake->writes().back().values, (Values{0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(m.fake->writes().size(), 3u);
}

TEST_F(StereoMux, UpdatesNestAndWriteOnceAtTheEnd) {
    auto& s = m.make();
    ASSERT_TRUE(s.selectMixer(0));
    unaMsMixerControl* c = control(s);
    m.fake->clearWrites();
    c->beginUpdate();
    c->setValue(1, 1, 2);
    c->setValue(0, 1, 1);
    EXPECT_TRUE(m.fake->writes().empty());
    EXPECT_TRUE(c->endUpdate());
    ASSERT_EQ(m.fake->writes().size(), 1u);
    EXPECT_EQ(m.fake->writes()[0].values, (Values{1, 0, 0, 0, 0, 0, 1, 0}));
}

TEST(MixerModel, VolumeInPercentOverFullScaleBounds) {
    Card c;
    auto& s = c.m.make();
    ASSERT_TRUE(s.selectMixer(0));
    c.m.fake->clearWrites();
    EXPECT_TRUE(s.setLineVolume(1, 0, 50));
    // Channel 0 first, then channel 1: two writes.
    ASSERT_EQ(c.m.fake->writes().size(), 2u);
    EXPECT_EQ(c.m.fake->writes()[0].values, (Values{32750, 0}));
    EXPECT_EQ(c.m.fake->writes()[1].values, (Values{32750, 32750}));
    EXPECT_EQ(s.getLineVolume(1, 0), 50);
    EXPECT_EQ(s.getLineVolume(1, 1), 46);  // 30000 of 65535
    c.m.fake->changeFromOutside(0, c.lineVolume, {65535, 0});
    EXPECT_EQ(s.getLineVolume(1, 0), 50);  // the mean of both channels, read afresh
    c.m.fake->changeFromOutside(0, c.lineVolume, {0, 0});
    EXPECT_EQ(s.getLineVolume(1, 0), 0);
    EXPECT_TRUE(s.setLineVolume(1, 0, 100));
    EXPECT_EQ(c.m.fake->values(0, c.lineVolume), (Values{65500, 65500}));
    EXPECT_EQ(s.getLineVolume(1, 0), 100);
    EXPECT_EQ(s.getLineVolume(1, 2), -1);
    EXPECT_FALSE(s.setLineVolume(1, 2, 50));
}

TEST(MixerModel, VolumeOfCoarseOffsetAndOneChannelFaders) {
    Model m;
    FakeMixer& f = *m.fake;
    f.addMixer(L"Odd");
    f.addDestination(0, kMixerDstWaveIn, L"Rec", 2);
    const uint32_t coarse = f.addSource(0, 0, kMixerSrcLine, L"Coarse");  // connection 2
    const uint32_t offset = f.addSource(0, 0, kMixerSrcLine, L"Offset");  // connection 1
    const uint32_t mono = f.addSource(0, 0, kMixerSrcLine, L"Mono", 1);   // connection 0
    const uint32_t coarseVolume = f.addVolume(0, coarse, 0, 31, {0, 0});
    const uint32_t offsetVolume = f.addVolume(0, offset, 100, 1100, {100, 100});
    MixerControlInfo info;
    info.controlType = kMixerControlTypeVolume;
    info.maximum = 65535;
    const uint32_t monoVolume = f.addControl(0, mono, info, 1, {6553});
    auto& s = m.make();
    ASSERT_TRUE(s.selectMixer(0));

    // Whole hundredths of 31 would be 0: the fader must still move.
    EXPECT_TRUE(s.setLineVolume(0, 2, 50));
    EXPECT_EQ(f.values(0, coarseVolume), (Values{16, 16}));
    EXPECT_EQ(s.getLineVolume(0, 2), 52);
    EXPECT_TRUE(s.setLineVolume(0, 2, 100));
    EXPECT_EQ(f.values(0, coarseVolume), (Values{31, 31}));
    EXPECT_EQ(s.getLineVolume(0, 2), 100);

    // Counted from the lower bound both ways.
    EXPECT_EQ(s.getLineVolume(0, 1), 0);
    EXPECT_TRUE(s.setLineVolume(0, 1, 50));
    EXPECT_EQ(f.values(0, offsetVolume), (Values{600, 600}));
    EXPECT_EQ(s.getLineVolume(0, 1), 50);
    EXPECT_TRUE(s.setLineVolume(0, 1, 250));  // clamped
    EXPECT_EQ(f.values(0, offsetVolume), (Values{1100, 1100}));

    // One channel, not uniform: channel 1 reads as channel 0, and only one write goes out.
    EXPECT_EQ(s.getLineVolume(0, 0), 10);
    f.clearWrites();
    EXPECT_TRUE(s.setLineVolume(0, 0, 20));
    ASSERT_EQ(f.writes().size(), 1u);
    EXPECT_EQ(f.writes()[0].values, (Values{13100}));
    EXPECT_EQ(s.getLineVolume(0, 0), 20);
    (void)monoVolume;
}

TEST(MixerModel, MuteAndLinesWithoutOne) {
    Model m;
    FakeMixer& f = *m.fake;
    f.addMixer(L"Mutes");
    f.addDestination(0, kMixerDstSpeakers, L"Out", 2, kMixerTargetWaveOut);
    const uint32_t quiet = f.addSource(0, 0, kMixerSrcWaveOut, L"No mute");    // connection 1
    const uint32_t stereo = f.addSource(0, 0, kMixerSrcLine, L"Stereo mute");  // connection 0
    f.addVolume(0, quiet, 0, 100, {50});
    const uint32_t mute = f.addMute(0, stereo, false, 2);
    auto& s = m.make();
    ASSERT_TRUE(s.selectMixer(0));

    EXPECT_EQ(s.getMuteControlId(0, 1), -1);
    EXPECT_EQ(s.getLineMute(0, 1), -1);
    f.clearWrites();
    EXPECT_FALSE(s.setLineMute(0, 1, true));
    EXPECT_TRUE(f.writes().empty());

    EXPECT_EQ(s.getLineMute(0, 0), 0);
    EXPECT_TRUE(s.setLineMute(0, 0, true));
    ASSERT_EQ(f.writes().size(), 1u);  // every channel in one write
    EXPECT_EQ(f.values(0, mute), (Values{1, 1}));
    EXPECT_EQ(s.getLineMute(0, 0), 1);
    f.changeFromOutside(0, mute, {0, 1});
    EXPECT_EQ(s.getLineMute(0, 0), 0);  // channel 0 speaks for the line
}

TEST(MixerModel, RecordingSourceFollowsTheMuxBothWays) {
    Card c;
    auto& s = c.m.make();
    ASSERT_TRUE(s.selectMixer(0));
    // The mux has CD, microphone, line with the microphone on: connection 1.
    EXPECT_EQ(s.getRecordingSource(), 1);
    c.m.fake->clearWrites();
    EXPECT_TRUE(s.selectRecordingSource(0));
    ASSERT_EQ(c.m.fake->writes().size(), 1u);
    EXPECT_EQ(c.m.fake->values(0, c.mux), (Values{0, 0, 1}));
    EXPECT_EQ(s.getRecordingSource(), 0);
    c.m.fake->changeFromOutside(0, c.mux, {1, 0, 0});
    EXPECT_EQ(s.getRecordingSource(), 2);
    c.m.fake->changeFromOutside(0, c.mux, {0, 0, 0});
    EXPECT_EQ(s.getRecordingSource(), -1);
    EXPECT_FALSE(s.selectRecordingSource(7, true));
}

TEST(MixerModel, WithoutAListASourceIsUnmutedOnlyWhenAsked) {
    Model m;
    FakeMixer& f = *m.fake;
    f.addMixer(L"No mux");
    f.addDestination(0, kMixerDstWaveIn, L"Rec");
    const uint32_t mic = f.addSource(0, 0, kMixerSrcMicrophone, L"Mic");
    const uint32_t mute = f.addMute(0, mic, true);
    auto& s = m.make();
    ASSERT_TRUE(s.selectMixer(0));
    EXPECT_EQ(s.getRecordingSource(), -1);
    EXPECT_FALSE(s.selectRecordingSource(0, false));
    EXPECT_EQ(f.values(0, mute), (Values{1}));
    EXPECT_FALSE(s.selectRecordingSource(0, true));
    EXPECT_EQ(f.values(0, mute), (Values{0}));
}

struct Destinations {
    uint32_t component;
    uint32_t target;
};

int32_t destinationOf(const std::vector<Destinations>& lines, bool playback,
                      int32_t noFallback = 0) {
    Model m;
    m.fake->addMixer(L"Fall-backs");
    for (const auto& l : lines)
        m.fake->addDestination(0, l.component, L"Dest", 2, l.target);
    auto& s = m.make();
    s.selectMixer(0);
    return s.getDestinationIndex(playback, noFallback);
}

TEST(MixerModel, DestinationsByTypeAndTheirFallBacks) {
    const Destinations speakers{kMixerDstSpeakers, 0}, waveIn{kMixerDstWaveIn, 0},
        line{kMixerDstLine, 0}, headphones{kMixerDstHeadphones, 0}, other{0x99, 0},
        toWaveIn{0x99, kMixerTargetWaveIn}, toWaveOut{0x99, kMixerTargetWaveOut};
    // By component type, then target type.
    EXPECT_EQ(destinationOf({speakers, waveIn}, false), 1);
    EXPECT_EQ(destinationOf({speakers, line, waveIn}, false), 2);
    EXPECT_EQ(destinationOf({speakers, line}, false), 1);
    EXPECT_EQ(destinationOf({toWaveIn, speakers}, false), 0);
    EXPECT_EQ(destinationOf({other, headphones}, true), 1);
    EXPECT_EQ(destinationOf({toWaveOut, waveIn}, true), 0);
    // Speakers at 0 and one that matches no recording rule: recording is 1.
    EXPECT_EQ(destinationOf({speakers, other}, false), 1);
    EXPECT_EQ(destinationOf({speakers, other}, false, 1), -1);
    // Recording found above 0: playback takes 0.
    EXPECT_EQ(destinationOf({other, waveIn}, true), 0);
    // Recording found at 0: playback is 1 when there is one.
    EXPECT_EQ(destinationOf({waveIn, other}, true), 1);
    EXPECT_EQ(destinationOf({waveIn}, true), -1);
    // Neither matches: recording 1, playback 0.
    EXPECT_EQ(destinationOf({other, other}, false), 1);
    EXPECT_EQ(destinationOf({other, other}, true), 0);
    // A lone unmatched destination is the playback one; recording has none to take.
    EXPECT_EQ(destinationOf({other}, true), 0);
    EXPECT_EQ(destinationOf({other}, false), -1);
    EXPECT_EQ(destinationOf({}, false), -1);
}

TEST(MixerModel, WaveDeviceOfTheCurrentMixer) {
    Card c;
    FakeMixer& f = *c.m.fake;
    f.addMixer(L"No wave");
    f.addDestination(1, kMixerDstWaveIn, L"Rec");
    auto& s = c.m.make();
    ASSERT_TRUE(s.selectMixer(0));
    EXPECT_EQ(s.getWaveDeviceIndex(true, false), 3);
    EXPECT_EQ(s.getWaveDeviceIndex(false, false), 2);
    EXPECT_EQ(s.getMixerIdOfWaveDevice(3, true), 0);
    EXPECT_EQ(s.getMixerIdOfWaveDevice(4, true), -1);
    // The preferred device belongs to this mixer: mapperCheck says -1.
    EXPECT_EQ(s.getWaveDeviceIndex(true, true), 3);
    f.setPreferredWaveDevice(WaveDirection::input, 3);
    EXPECT_EQ(s.getPreferredWaveDevice(-1, true), 3);
    EXPECT_EQ(s.getPreferredWaveDevice(5, true), 5);
    EXPECT_EQ(s.getMixerIdOfWaveDevice(-1, true), 0);
    EXPECT_EQ(s.getWaveDeviceIndex(true, true), -1);
    ASSERT_TRUE(s.selectMixer(1));
    EXPECT_EQ(s.getWaveDeviceIndex(true, false), -3);
    EXPECT_FALSE(s.selectMixer(2));
    EXPECT_EQ(s.getWaveDeviceIndex(true, false), -2);
}

TEST(MixerModel, NotificationsReachTheCallbackOfTheCurrentMixerOnly) {
    Card c;
    FakeMixer& f = *c.m.fake;
    f.addMixer(L"Other");
    auto& s = c.m.make();
    std::vector<uint32_t> told;
    // Reading the names opens each mixer without a callback: nothing to watch.
    ASSERT_TRUE(s.selectMixer(1));
    EXPECT_TRUE(s.getMixer(1)->isOpen());
    EXPECT_TRUE(s.notificationDescriptors().empty());
    ASSERT_TRUE(s.selectMixer(0, [&](uint32_t id) { told.push_back(id); }));
    EXPECT_FALSE(s.getMixer(1)->isOpen());
    EXPECT_EQ(f.openNotifiers(1), 0);
    EXPECT_EQ(f.openNotifiers(0), 1);
    auto fds = s.notificationDescriptors();
    ASSERT_FALSE(fds.empty());
    EXPECT_FALSE(readable(fds));

    f.changeFromOutside(0, c.micVolume, {1, 1});
    f.changeFromOutside(0, c.mux, {0, 0, 1});
    f.changeFromOutside(0, c.micVolume, {2, 2});
    EXPECT_TRUE(readable(fds));
    EXPECT_EQ(s.dispatchNotifications(), 2);
    EXPECT_EQ(told, (std::vector<uint32_t>{c.micVolume, c.mux}));
    EXPECT_FALSE(readable(fds));
    EXPECT_EQ(s.dispatchNotifications(), 0);

    // Choosing the same mixer again closes and reopens it.
    ASSERT_TRUE(s.selectMixer(0));
    EXPECT_EQ(f.openNotifiers(0), 1);
    EXPECT_TRUE(s.notificationDescriptors().empty());
    f.changeFromOutside(0, c.micVolume, {3, 3});
    told.clear();
    s.dispatchNotifications();
    EXPECT_TRUE(told.empty());

    c.m.system.reset();
    EXPECT_EQ(f.openNotifiers(0), 0);
}

TEST(MixerModel, ACallbackThatChangesTheMixerStopsTheDispatch) {
    Card c;
    c.m.fake->addMixer(L"Other");
    auto& s = c.m.make();
    int calls = 0;
    ASSERT_TRUE(s.selectMixer(0, [&](uint32_t) {
        ++calls;
        s.selectMixer(1);
    }));
    c.m.fake->changeFromOutside(0, c.micVolume, {1, 1});
    c.m.fake->changeFromOutside(0, c.lineVolume, {1, 1});
    EXPECT_EQ(s.dispatchNotifications(), 1);
    EXPECT_EQ(calls, 1);
}

TEST(MixerModel, FailedReadsLeaveZerosAndListTextsAreFetchedLater) {
    Card c;
    FakeMixer& f = *c.m.fake;
    f.failListTexts = true;
    auto& s = c.m.make();
    ASSERT_TRUE(s.selectMixer(0));
    unaMsMixerControl* mux = s.getControl(1, -1, kMixerControlClassList, kMixerControlTypeMux);
    ASSERT_NE(mux, nullptr);
    EXPECT_TRUE(mux->listItemNames().empty());
    f.failListTexts = false;
    EXPECT_EQ(s.getRecordingSource(), 1);  // the texts arrive with this read
    EXPECT_EQ(mux->listItemNames(), (std::vector<std::string>{"CD", "Microphone", "Line In"}));

    f.failValueReads = true;
    EXPECT_EQ(s.getLineVolume(1, 1), 0);
    EXPECT_EQ(s.getLineMute(0, -1), 0);
    EXPECT_EQ(s.getRecordingSource(), -1);
    f.failValueReads = false;
    EXPECT_EQ(s.getLineVolume(1, 1), 46);
}

TEST(MixerModel, ControlRecordsAndFlags) {
    Card c;
    auto& s = c.m.make();
    ASSERT_TRUE(s.selectMixer(0));
    unaMsMixerControl* mux = s.getControl(1, -1, kMixerControlClassList, kMixerControlTypeMux);
    ASSERT_NE(mux, nullptr);
    EXPECT_TRUE(mux->hasFlag(kMixerControlFlagUniform));
    EXPECT_TRUE(mux->hasFlag(kMixerControlFlagMultiple));
    EXPECT_FALSE(mux->hasFlag(-1));
    EXPECT_EQ(mux->controlUnits(), kMixerControlUnitsBoolean);
    EXPECT_EQ(mux->multipleItemCount(), 3);
    EXPECT_EQ(mux->detailsChannels(), 1u);
    ASSERT_NE(mux->getListItem(0, 2), nullptr);
    EXPECT_EQ(mux->getListItem(0, 2)->param1, c.lineId);
    EXPECT_EQ(mux->getListItem(1, 2), mux->getListItem(0, 2));  // uniform: channel 0
    EXPECT_EQ(mux->getListItem(0, 3), nullptr);
    unaMsMixerControl* volume =
        s.getControl(1, 0, kMixerControlClassFader, kMixerControlTypeVolume);
    ASSERT_NE(volume, nullptr);
    EXPECT_FALSE(volume->hasFlag(kMixerControlFlagMultiple));
    EXPECT_EQ(volume->detailsChannels(), 2u);
    EXPECT_EQ(volume->controlUnits(), kMixerControlUnitsUnsigned);
    EXPECT_EQ(s.getControl(1, 0, kMixerControlClassSwitch, kMixerControlTypeVolume), nullptr);
}

}  // namespace
