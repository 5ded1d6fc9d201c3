#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/alsaMixer.h"

using namespace platform;
using namespace platform::alsa;

namespace {

ElementSide side(bool volume, bool sw, std::vector<int> channels, long min = 0, long max = 31) {
    ElementSide s;
    s.volume = volume;
    s.sw = sw;
    s.channels = std::move(channels);
    s.volumeMin = min;
    s.volumeMax = max;
    return s;
}

ElementFacts playbackElement(const std::string& name, std::vector<int> channels = {0, 1}) {
    ElementFacts e;
    e.name = name;
    e.playback = side(true, true, std::move(channels));
    return e;
}

ElementFacts captureElement(const std::string& name, bool volume, bool sw, bool exclusive = false,
                            std::vector<int> channels = {0, 1}) {
    ElementFacts e;
    e.name = name;
    e.capture = side(volume, sw, std::move(channels), 0, 63);
    e.capture.switchExclusive = exclusive;
    return e;
}

std::wstring nameOfConnection(const Destination& d, size_t k) {
    return d.sources[d.sources.size() - 1 - k].info.name;
}

const Line& connection(const Destination& d, size_t k) {
    return d.sources[d.sources.size() - 1 - k];
}

const Control* controlOfType(const Line& l, uint32_t type) {
    for (const auto& c : l.controls)
        if (c.info.controlType == type)
            return &c;
    return nullptr;
}

void expectUniqueIds(const std::vector<Destination>& layout) {
    std::set<uint32_t> controls, lines;
    for (const auto& d : layout) {
        EXPECT_TRUE(lines.insert(d.line.info.lineId).second);
        for (const auto& c : d.line.controls)
            EXPECT_TRUE(controls.insert(c.info.controlId).second);
        for (const auto& s : d.sources) {
            EXPECT_TRUE(lines.insert(s.info.lineId).second);
            EXPECT_EQ(s.info.controls, s.controls.size());
            for (const auto& c : s.controls)
                EXPECT_TRUE(controls.insert(c.info.controlId).second);
        }
    }
    EXPECT_EQ(controls.count(0), 0u);
}

// The line id that each list item selects, as connection indices of the destination.
std::vector<size_t> itemConnections(const Destination& d, const Control& list) {
    std::vector<size_t> out;
    for (const auto& t : list.texts)
        for (size_t k = 0; k < d.sources.size(); ++k)
            if (connection(d, k).info.lineId == t.param1)
                out.push_back(k);
    return out;
}

TEST(AlsaMixerLayout, CardWithAnEnumeratedCaptureSource) {
    ElementFacts master = playbackElement("Master");
    master.playback.switchJoined = true;
    ElementFacts source;
    source.name = "Input Source";
    source.enumerated = true;
    source.enumCapture = true;
    source.enumItems = {"Mic", "Line", "Internal Mic"};
    const std::vector<ElementFacts> elems = {
        master,
        playbackElement("Headphone"),
        playbackElement("PCM"),
        captureElement("Capture", true, true),
        source,
        captureElement("Digital", true, false),
        captureElement("mic", true, true, false, {0}),
    };
    const auto layout = buildLayout(elems);
    ASSERT_EQ(layout.size(), 2u);
    expectUniqueIds(layout);

    const Destination& play = layout[0];
    EXPECT_EQ(play.line.info.componentType, kMixerDstSpeakers);
    EXPECT_EQ(play.line.info.targetType, kMixerTargetWaveOut);
    ASSERT_EQ(play.line.controls.size(), 2u);
    const Control* volume = controlOfType(play.line, kMixerControlTypeVolume);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->info.flags & kMixerControlFlagUniform, 0u);  // per channel
    EXPECT_EQ(volume->info.maximum, 31u);
    const Control* mute = controlOfType(play.line, kMixerControlTypeMute);
    ASSERT_NE(mute, nullptr);
    EXPECT_NE(mute->info.flags & kMixerControlFlagUniform, 0u);  // joined switch
    ASSERT_EQ(play.sources.size(), 2u);
    EXPECT_EQ(nameOfConnection(play, 0), L"Headphone");
    EXPECT_EQ(nameOfConnection(play, 1), L"PCM");
    EXPECT_EQ(connection(play, 1).info.componentType, kMixerSrcWaveOut);
    EXPECT_EQ(connection(play, 0).info.source, 1u);  // runs the other way

    const Destination& rec = layout[1];
    EXPECT_EQ(rec.line.info.destination, 1u);
    EXPECT_EQ(rec.line.info.componentType, kMixerDstWaveIn);
    EXPECT_EQ(rec.line.info.connections, 4u);
    // The enum's items first, the same-named element attached to its item, then the rest.
    ASSERT_EQ(rec.sources.size(), 4u);
    EXPECT_EQ(nameOfConnection(rec, 0), L"Mic");
    EXPECT_EQ(nameOfConnection(rec, 1), L"Line");
    EXPECT_EQ(nameOfConnection(rec, 2), L"Internal Mic");
    EXPECT_EQ(nameOfConnection(rec, 3), L"Digital");
    EXPECT_EQ(connection(rec, 0).controls.size(), 2u);
    EXPECT_EQ(connection(rec, 0).info.channels, 1u);
    EXPECT_EQ(connection(rec, 0).info.componentType, kMixerSrcMicrophone);
    EXPECT_EQ(connection(rec, 1).controls.size(), 0u);
    EXPECT_EQ(connection(rec, 2).info.componentType, kMixerSrcMicrophone);
    EXPECT_EQ(connection(rec, 3).controls.size(), 1u);

    ASSERT_EQ(rec.line.controls.size(), 3u);
    EXPECT_EQ(rec.line.info.controls, 3u);
    const Control* list = controlOfType(rec.line, kMixerControlTypeMux);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->kind, Kind::enumSource);
    EXPECT_EQ(list->info.items, 3u);
    EXPECT_EQ(list->info.flags, kMixerControlFlagUniform | kMixerControlFlagMultiple);
    EXPECT_EQ(itemConnections(rec, *list), (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(list->texts[2].name, "Internal Mic");
    EXPECT_EQ(list->texts[0].param2, kMixerSrcMicrophone);
}

TEST(AlsaMixerLayout, CaptureSwitchesMakeTheListMuxOnlyWhenExclusive) {
    ElementFacts mic = captureElement("Mic", true, true, true);
    mic.playback = side(true, true, {0, 1});  // also heard on playback
    std::vector<ElementFacts> elems = {
        playbackElement("Master"),
        mic,
        captureElement("Line", false, true, true),
        captureElement("Capture", true, false),
        captureElement("Aux", true, false),
        captureElement("CD", true, true, true),
    };
    auto layout = buildLayout(elems);
    ASSERT_EQ(layout.size(), 2u);
    expectUniqueIds(layout);
    EXPECT_EQ(nameOfConnection(layout[0], 0), L"Mic");
    const Destination& rec = layout[1];
    ASSERT_EQ(rec.sources.size(), 4u);
    EXPECT_EQ(nameOfConnection(rec, 2), L"Aux");
    const Control* list = controlOfType(rec.line, kMixerControlTypeMux);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->kind, Kind::switchList);
    // Aux has no switch and stays out of the list.
    EXPECT_EQ(itemConnections(rec, *list), (std::vector<size_t>{0, 1, 3}));
    // The switches are still the sources' mutes.
    EXPECT_NE(controlOfType(connection(rec, 1), kMixerControlTypeMute), nullptr);
    EXPECT_EQ(controlOfType(connection(rec, 1), kMixerControlTypeVolume), nullptr);

    elems[2].capture.switchExclusive = false;
    layout = buildLayout(elems);
    EXPECT_EQ(controlOfType(layout[1].line, kMixerControlTypeMux), nullptr);
    ASSERT_NE(controlOfType(layout[1].line, kMixerControlTypeMixer), nullptr);
}

TEST(AlsaMixerLayout, ACaptureOnlyDeviceHasOnlyARecordingDestination) {
    ElementFacts mic = captureElement("Mic", true, true, false, {0});
    mic.capture.volumeMin = -20;
    mic.capture.volumeMax = 20;
    const auto layout = buildLayout({mic});
    ASSERT_EQ(layout.size(), 1u);
    const Destination& rec = layout[0];
    EXPECT_EQ(rec.line.info.destination, 0u);
    EXPECT_EQ(rec.line.info.componentType, kMixerDstWaveIn);
    ASSERT_EQ(rec.sources.size(), 1u);
    const Control* volume = controlOfType(rec.sources[0], kMixerControlTypeVolume);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->info.minimum, 0u);  // offset to start at 0
    EXPECT_EQ(volume->info.maximum, 40u);
    EXPECT_EQ(volume->alsaMin, -20);
    EXPECT_NE(volume->info.flags & kMixerControlFlagUniform, 0u);  // mono
    // Its own list, one item, as the only control of the destination.
    ASSERT_EQ(rec.line.controls.size(), 1u);
    EXPECT_EQ(rec.line.controls[0].info.items, 1u);
    EXPECT_EQ(buildLayout({}).size(), 0u);
}

TEST(AlsaMixerLayout, SecondElementsOfANameAreSourcesWithTheirIndex) {
    ElementFacts second = captureElement("Capture", true, true);
    second.index = 1;
    ElementFacts master = playbackElement("Master");
    master.index = 1;
    const auto layout = buildLayout({captureElement("Capture", true, true), second, master});
    ASSERT_EQ(layout.size(), 2u);
    EXPECT_TRUE(layout[0].line.controls.empty());  // no Master,0
    EXPECT_EQ(nameOfConnection(layout[0], 0), L"Master 1");
    EXPECT_EQ(layout[1].line.controls.size(), 3u);  // volume, mute and the one-item list
    EXPECT_EQ(nameOfConnection(layout[1], 0), L"Capture 1");
}

TEST(AlsaMixerNames, TheCardsOwnDeviceAndTheSourceKinds) {
    const std::vector<std::string> names = {"null",
                                            "default",
                                            "hw:CARD=PCH,DEV=0",
                                            "plughw:CARD=PCH,DEV=0",
                                            "sysdefault:CARD=PCH",
                                            "front:CARD=PCH,DEV=0",
                                            "dsnoop:CARD=PCH,DEV=0",
                                            "hw:CARD=USB,DEV=0",
                                            "front:CARD=Headset,DEV=0"};
    EXPECT_EQ(pickCardDevice(names, "PCH", WaveDirection::input), 4);
    EXPECT_EQ(pickCardDevice(names, "USB", WaveDirection::input), 7);
    EXPECT_EQ(pickCardDevice(names, "Headset", WaveDirection::input), 8);
    EXPECT_EQ(pickCardDevice(names, "PC", WaveDirection::input), -1);
    EXPECT_EQ(pickCardDevice(names, "", WaveDirection::input), -1);
    EXPECT_EQ(cardIdOfDeviceName("plughw:CARD=PCH,DEV=0"), "PCH");
    EXPECT_EQ(cardIdOfDeviceName("sysdefault:CARD=Headset"), "Headset");
    EXPECT_EQ(cardIdOfDeviceName("pulse"), "");
    EXPECT_EQ(componentTypeOfName("Mic Boost"), kMixerSrcMicrophone);
    EXPECT_EQ(componentTypeOfName("Line"), kMixerSrcLine);
    EXPECT_EQ(componentTypeOfName("PCM"), kMixerSrcWaveOut);
    EXPECT_EQ(componentTypeOfName("Headphone"), kMixerSrcUndefined);
    EXPECT_EQ(componentTypeOfName("CD"), kMixerSrcCompactDisc);
}

}  // namespace
