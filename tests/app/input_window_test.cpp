// The input-selection window driven through its widgets on scripted mixers and a scripted
// sound card: the lists and labels a mixer gives, the messages for a mixer without a recording
// device, the volume bars and mute boxes with changes made outside, the test recording and
// the recording-volume panel.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <map>
#include <memory>
#include <vector>

#include "app/inputWindow.h"
#include "app/inputWindowRules.h"
#include "app/language.h"
#include "audio/unaWaveInDevice.h"
#include "dsp_mixer_codec/unaMsMixer.h"
#include "support/fakeMixer.h"
#include "support/fakeSoundCard.h"

using namespace una;
using namespace una::app;
using namespace platform;

namespace {

using Values = std::vector<uint32_t>;

struct Message {
    QString caption;
    QString text;
};

// Mixer 0, "Test Card": playback (speakers) with a named and an unnamed source, recording
// (waveIn) with three sources chosen by a mux: "Line In" (volume, muted), an unnamed one with
// no controls, "Microphone" (volume, not muted). Mixer 1 has no recording wave device.
// Mixer 2 is laid out as PulseAudio's plugin shows itself: two destinations, no sources.
struct Cards {
    std::shared_ptr<FakeMixer> fake = std::make_shared<FakeMixer>();
    uint32_t playVolume = 0, playMute = 0, waveVolume = 0, waveMute = 0, silentVolume = 0;
    uint32_t recVolume = 0, mux = 0, lineVolume = 0, lineMute = 0, micVolume = 0, micMute = 0;
    uint32_t lineId = 0, auxId = 0, micId = 0;
    uint32_t pulsePlayVolume = 0, pulsePlayMute = 0, pulseRecVolume = 0, pulseRecMute = 0;

    void addTestCard() {
        FakeMixer& f = *fake;
        const uint32_t m = f.addMixer(L"Test Card");
        f.addDestination(m, kMixerDstSpeakers, L"Volume Control", 2, kMixerTargetWaveOut);
        f.addDestination(m, kMixerDstWaveIn, L"Recording Control", 2, kMixerTargetWaveIn);
        const uint32_t play = f.destinationLineId(m, 0);
        const uint32_t rec = f.destinationLineId(m, 1);
        playVolume = f.addVolume(m, play, 0, 65535, {65535, 65535});
        playMute = f.addMute(m, play, false);
        // Connections run against the platform order: the last source added is connection 0.
        const uint32_t silent = f.addSource(m, 0, kMixerSrcSynthesizer, L"");
        const uint32_t wave = f.addSource(m, 0, kMixerSrcWaveOut, L"Wave");
        waveVolume = f.addVolume(m, wave, 0, 65535, {6554, 6554});
        waveMute = f.addMute(m, wave, true);
        silentVolume = f.addVolume(m, silent, 0, 65535, {0, 0});
        micId = f.addSource(m, 1, kMixerSrcMicrophone, L"Microphone");
        auxId = f.addSource(m, 1, kMixerSrcAuxiliary, L"");
        lineId = f.addSource(m, 1, kMixerSrcLine, L"Line In");
        recVolume = f.addVolume(m, rec, 0, 65535, {32768, 32768});
        mux = f.addMux(m, rec, {micId, auxId, lineId}, 2);
        lineVolume = f.addVolume(m, lineId, 0, 65535, {13107, 13107});
        lineMute = f.addMute(m, lineId, true);
        micVolume = f.addVolume(m, micId, 0, 65535, {45875, 45875});
        micMute = f.addMute(m, micId, false);
        f.setWaveDevices(m, 0, 0);
    }

    void addCardWithoutWaveIn() {
        FakeMixer& f = *fake;
        const uint32_t m = f.addMixer(L"Modem");
        f.addDestination(m, kMixerDstSpeakers, L"Speaker", 1, kMixerTargetWaveOut);
        f.addVolume(m, f.destinationLineId(m, 0), 0, 100, {50});
        f.setWaveDevices(m, -1, 0);
    }

    void addPulseLike() {
        FakeMixer& f = *fake;
        const uint32_t m = f.addMixer(L"PulseAudio");
        f.addDestination(m, kMixerDstSpeakers, L"Playback", 2, kMixerTargetWaveOut);
        f.addDestination(m, kMixerDstWaveIn, L"Recording", 2, kMixerTargetWaveIn);
        const uint32_t play = f.destinationLineId(m, 0);
        const uint32_t rec = f.destinationLineId(m, 1);
        pulsePlayVolume = f.addVolume(m, play, 0, 65536, {65536, 65536});
        pulsePlayMute = f.addMute(m, play, false);
        pulseRecVolume = f.addVolume(m, rec, 0, 65536, {32768, 32768});
        pulseRecMute = f.addMute(m, rec, true);
        f.setWaveDevices(m, 0, 0);
    }
};

class InputWindowTest : public ::testing::Test {
  protected:
    void open() {
        // The window's messages in the language whose texts these tests read.
        programLanguageCode() = "uk";
        InputWindowOptions options;
        options.mixer = cards.fake;
        options.showError = [this](QWidget* owner, const QString& caption, const QString& text) {
            EXPECT_EQ(owner ? owner->objectName() : QString(), QStringLiteral("Tc_form_main"));
            messages.push_back({caption, text});
        };
        options.findExecutable = [this](const QString& name) {
            auto it = installed.find(name);
            return it == installed.end() ? QString() : it->second;
        };
        options.startProgram = [this](const QString& program, const QStringList& arguments) {
            started.push_back(QStringList{program} + arguments);
            return startSucceeds;
        };
        window = std::make_unique<Tc_form_main>(nullptr, options);
    }

    template <class T>
    T* find(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QSlider* bar(const char* name) { return find<QSlider>(name); }
    QCheckBox* box(const char* name) { return find<QCheckBox>(name); }
    QComboBox* list(const char* name) { return find<QComboBox>(name); }
    QAction* action(const char* name) { return find<QAction>(name); }
    static int tag(const QObject* o) { return o->property("Tag").toInt(); }

    // The user picks an item of a list.
    void choose(const char* listName, int index) {
        QComboBox* l = list(listName);
        l->setCurrentIndex(index);
        emit l->activated(index);
    }

    // Lets the socket notifiers deliver what the fake reported.
    void settle() { QTest::qWait(50); }

    QStringList items(const char* listName) {
        QStringList all;
        QComboBox* l = list(listName);
        for (int i = 0; i < l->count(); ++i)
            all << l->itemText(i);
        return all;
    }

    Cards cards;
    ScopedFakeSoundCard card;
    std::vector<Message> messages;
    std::map<QString, QString> installed;
    std::vector<QStringList> started;
    bool startSucceeds = true;
    std::unique_ptr<Tc_form_main> window;
};

TEST_F(InputWindowTest, WithoutMixersNothingIsOfferedAndTheCreationSaysSo) {
    open();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Seleccionar Entrada"));
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::Tool));
    EXPECT_EQ(list("c_comboBox_mixerIndex")->count(), 0);
    EXPECT_EQ(find<QLabel>("c_label_in")->text(), QStringLiteral("No such line"));
    EXPECT_EQ(find<QLabel>("c_label_out")->text(), QStringLiteral("No such line"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, QStringLiteral("Recording will be disabled"));
    EXPECT_EQ(messages[0].text, QStringLiteral("No mixer device was selected."));
    EXPECT_FALSE(action("a_record")->isEnabled());
    EXPECT_FALSE(action("a_stop")->isEnabled());
    for (const char* name :
         {"c_trackBar_inMain", "c_trackBar_in", "c_trackBar_outMain", "c_trackBar_out"}) {
        EXPECT_FALSE(bar(name)->isEnabled()) << name;
        EXPECT_EQ(bar(name)->value(), 0) << name;
        EXPECT_EQ(bar(name)->maximum(), 100) << name;
    }
    for (const char* name : {"c_comboBox_inConn", "c_comboBox_outConn"}) {
        EXPECT_EQ(list(name)->count(), 0) << name;
        EXPECT_FALSE(list(name)->isEnabled()) << name;
    }
    // No line, so nothing shows as muted on the recording side.
    EXPECT_FALSE(box("c_checkBox_inMute")->isEnabled());
    EXPECT_FALSE(box("c_checkBox_inMute")->isChecked());
    EXPECT_FALSE(box("c_checkBox_outMute")->isEnabled());
    EXPECT_EQ(window->recordingDestination(), -1);
    EXPECT_EQ(window->playbackDestination(), -1);
}

TEST_F(InputWindowTest, ACardShowsItsLinesWithTheirVolumesAndTheChosenSource) {
    cards.addTestCard();
    cards.addPulseLike();
    open();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(items("c_comboBox_mixerIndex"),
              (QStringList{QStringLiteral("Test Card"), QStringLiteral("PulseAudio")}));
    EXPECT_EQ(list("c_comboBox_mixerIndex")->currentIndex(), 0);
    EXPECT_EQ(find<QLabel>("c_label_in")->text(), QStringLiteral("&Recording Control"));
    EXPECT_EQ(find<QLabel>("c_label_out")->text(), QStringLiteral("&Volume Control"));

    // Recording sources: an unnamed one gets a name; the mux's choice (Line In) is selected.
    EXPECT_EQ(items("c_comboBox_inConn"),
              (QStringList{QStringLiteral("Line In"), QStringLiteral("<Untitled Line>"),
                           QStringLiteral("Microphone")}));
    EXPECT_TRUE(list("c_comboBox_inConn")->isEnabled());
    EXPECT_EQ(list("c_comboBox_inConn")->currentIndex(), 0);
    EXPECT_EQ(bar("c_trackBar_inMain")->value(), 50);
    EXPECT_EQ(bar("c_trackBar_in")->value(), 20);
    EXPECT_TRUE(bar("c_trackBar_in")->isEnabled());
    EXPECT_TRUE(box("c_checkBox_inMute")->isEnabled());
    EXPECT_TRUE(box("c_checkBox_inMute")->isChecked());
    EXPECT_EQ(tag(box("c_checkBox_inMute")), static_cast<int>(cards.lineMute));
    // Nothing enables the microphone rule.
    EXPECT_FALSE(box("c_checkBox_micForce")->isEnabled());

    // Playback sources keep their names as they are, an empty one empty; item 0 is chosen.
    EXPECT_EQ(items("c_comboBox_outConn"), (QStringList{QStringLiteral("Wave"), QString()}));
    EXPECT_EQ(list("c_comboBox_outConn")->currentIndex(), 0);
    EXPECT_EQ(bar("c_trackBar_outMain")->value(), 100);
    EXPECT_EQ(bar("c_trackBar_out")->value(), 10);
    EXPECT_TRUE(box("c_checkBox_outMute")->isChecked());
    EXPECT_TRUE(box("c_checkBox_outMute")->isEnabled());

    EXPECT_TRUE(action("a_record")->isEnabled());
    EXPECT_EQ(window->recorder()->deviceId, 0);
    // Reading the card wrote nothing but the recording source, which was already chosen.
    for (const auto& w : cards.fake->writes())
        EXPECT_EQ(w.controlId, cards.mux);
    EXPECT_EQ(cards.fake->values(0, cards.mux), (Values{0, 0, 1}));
}

TEST_F(InputWindowTest, AMixerWithoutARecordingDeviceTurnsTheTestOffUntilAnotherIsChosen) {
    cards.addCardWithoutWaveIn();
    cards.addTestCard();
    open();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, QStringLiteral("Recording will be disabled"));
    EXPECT_EQ(messages[0].text, QStringLiteral("This mixer has no associated waveIn device."));
    EXPECT_FALSE(action("a_record")->isEnabled());
    // One destination that is not a recording one: the recording side has no line.
    EXPECT_EQ(find<QLabel>("c_label_in")->text(), QStringLiteral("No such line"));
    EXPECT_EQ(find<QLabel>("c_label_out")->text(), QStringLiteral("&Speaker"));
    EXPECT_FALSE(bar("c_trackBar_inMain")->isEnabled());
    EXPECT_EQ(bar("c_trackBar_outMain")->value(), 50);

    choose("c_comboBox_mixerIndex", 1);
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_TRUE(action("a_record")->isEnabled());
    EXPECT_EQ(find<QLabel>("c_label_in")->text(), QStringLiteral("&Recording Control"));
    EXPECT_EQ(list("c_comboBox_inConn")->count(), 3);
    // The mute box comes back with the line that has a mute control.
    EXPECT_TRUE(box("c_checkBox_inMute")->isEnabled());
    EXPECT_TRUE(box("c_checkBox_inMute")->isChecked());

    choose("c_comboBox_mixerIndex", 0);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].text, QStringLiteral("This mixer has no associated waveIn device."));
    EXPECT_FALSE(action("a_record")->isEnabled());
    EXPECT_EQ(cards.fake->openNotifiers(1), 0);
    EXPECT_EQ(cards.fake->openNotifiers(0), 1);
}

TEST_F(InputWindowTest, LinesWithoutMuteControlsShowTheirOwnRule) {
    cards.addTestCard();
    open();
    QCheckBox* inMute = box("c_checkBox_inMute");
    QCheckBox* outMute = box("c_checkBox_outMute");

    // The unnamed recording source has neither volume nor mute: not muted, nothing to change.
    choose("c_comboBox_inConn", 1);
    EXPECT_EQ(window->recordingConnection(), 1);
    EXPECT_FALSE(bar("c_trackBar_in")->isEnabled());
    EXPECT_EQ(bar("c_trackBar_in")->value(), 0);
    EXPECT_FALSE(inMute->isEnabled());
    EXPECT_FALSE(inMute->isChecked());
    EXPECT_EQ(tag(inMute), -1);
    EXPECT_EQ(cards.fake->values(0, cards.mux), (Values{0, 1, 0}));

    // Back to a source with a mute control: the box is usable again and shows its state.
    choose("c_comboBox_inConn", 2);
    EXPECT_TRUE(inMute->isEnabled());
    EXPECT_FALSE(inMute->isChecked());
    EXPECT_EQ(bar("c_trackBar_in")->value(), 70);
    cards.fake->clearWrites();
    inMute->click();
    ASSERT_EQ(cards.fake->writes().size(), 1u);
    EXPECT_EQ(cards.fake->writes()[0].controlId, cards.micMute);
    EXPECT_EQ(cards.fake->values(0, cards.micMute), (Values{1}));

    // The unnamed playback source has a volume but no mute: shown as muted, not usable.
    choose("c_comboBox_outConn", 1);
    EXPECT_TRUE(bar("c_trackBar_out")->isEnabled());
    EXPECT_EQ(bar("c_trackBar_out")->value(), 0);
    EXPECT_FALSE(outMute->isEnabled());
    EXPECT_TRUE(outMute->isChecked());
    choose("c_comboBox_outConn", 0);
    EXPECT_TRUE(outMute->isEnabled());
    cards.fake->clearWrites();
    outMute->click();
    EXPECT_EQ(cards.fake->values(0, cards.waveMute), (Values{0}));
    EXPECT_EQ(cards.fake->writes().size(), 1u);
}

TEST_F(InputWindowTest, MovingABarWritesItsLineAndChangesFromOutsideMoveItWithoutWritingBack) {
    cards.addTestCard();
    open();
    cards.fake->clearWrites();
    bar("c_trackBar_in")->setValue(50);
    ASSERT_EQ(cards.fake->writes().size(), 2u);  // channel 0, then channel 1
    EXPECT_EQ(cards.fake->writes()[0].controlId, cards.lineVolume);
    EXPECT_EQ(cards.fake->values(0, cards.lineVolume), (Values{32750, 32750}));
    // Our own writes come back as notifications too; reading them writes nothing.
    settle();
    EXPECT_EQ(cards.fake->writes().size(), 2u);
    EXPECT_EQ(bar("c_trackBar_in")->value(), 50);

    cards.fake->clearWrites();
    cards.fake->changeFromOutside(0, cards.recVolume, {6554, 6554});
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar("c_trackBar_inMain")->value() == 10; }, 2000));
    cards.fake->changeFromOutside(0, cards.playVolume, {16384, 16384});
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar("c_trackBar_outMain")->value() == 25; }, 2000));
    cards.fake->changeFromOutside(0, cards.lineMute, {0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !box("c_checkBox_inMute")->isChecked(); }, 2000));
    EXPECT_TRUE(box("c_checkBox_inMute")->isEnabled());
    cards.fake->changeFromOutside(0, cards.waveMute, {0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !box("c_checkBox_outMute")->isChecked(); }, 2000));
    settle();
    EXPECT_TRUE(cards.fake->writes().empty());
    EXPECT_EQ(cards.fake->values(0, cards.recVolume), (Values{6554, 6554}));

    // A change of a line that no bar shows moves nothing.
    cards.fake->changeFromOutside(0, cards.silentVolume, {65535, 65535});
    settle();
    EXPECT_EQ(bar("c_trackBar_out")->value(), 10);
}

TEST_F(InputWindowTest, ARecordingSourceChosenOutsideIsSelectedHere) {
    cards.addTestCard();
    open();
    cards.fake->changeFromOutside(0, cards.mux, {1, 0, 0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return list("c_comboBox_inConn")->currentIndex() == 2; },
                                2000));
    EXPECT_EQ(window->recordingConnection(), 2);
    EXPECT_EQ(bar("c_trackBar_in")->value(), 70);
    EXPECT_EQ(tag(box("c_checkBox_inMute")), static_cast<int>(cards.micMute));
    EXPECT_FALSE(box("c_checkBox_inMute")->isChecked());
    // Choosing Line In here selects it in the mixer's list.
    choose("c_comboBox_inConn", 0);
    EXPECT_EQ(cards.fake->values(0, cards.mux), (Values{0, 0, 1}));
}

TEST_F(InputWindowTest, WithoutSourcesTheBoxesStandForTheDestinationsOwnMutes) {
    cards.addPulseLike();
    open();
    EXPECT_EQ(find<QLabel>("c_label_in")->text(), QStringLiteral("&Recording"));
    EXPECT_FALSE(list("c_comboBox_inConn")->isEnabled());
    EXPECT_FALSE(bar("c_trackBar_in")->isEnabled());
    EXPECT_FALSE(bar("c_trackBar_out")->isEnabled());
    EXPECT_EQ(bar("c_trackBar_inMain")->value(), 50);
    EXPECT_EQ(bar("c_trackBar_outMain")->value(), 100);
    QCheckBox* inMute = box("c_checkBox_inMute");
    QCheckBox* outMute = box("c_checkBox_outMute");
    EXPECT_EQ(tag(inMute), static_cast<int>(cards.pulseRecMute));
    EXPECT_TRUE(inMute->isEnabled());
    EXPECT_TRUE(inMute->isChecked());
    EXPECT_EQ(tag(outMute), static_cast<int>(cards.pulsePlayMute));
    EXPECT_TRUE(outMute->isEnabled());
    EXPECT_FALSE(outMute->isChecked());

    cards.fake->clearWrites();
    inMute->click();
    EXPECT_EQ(cards.fake->values(0, cards.pulseRecMute), (Values{0}));
    outMute->click();
    EXPECT_EQ(cards.fake->values(0, cards.pulsePlayMute), (Values{1}));
    EXPECT_EQ(cards.fake->writes().size(), 2u);

    // The recording volume's change reaches the destination's bar, not the disabled source
    // bar that is bound to the same line.
    cards.fake->clearWrites();
    cards.fake->changeFromOutside(0, cards.pulseRecVolume, {52429, 52429});
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar("c_trackBar_inMain")->value() == 80; }, 2000));
    EXPECT_EQ(bar("c_trackBar_in")->value(), 0);
    bar("c_trackBar_inMain")->setValue(50);
    EXPECT_EQ(cards.fake->values(0, cards.pulseRecVolume), (Values{32750, 32750}));
}

TEST_F(InputWindowTest, TheTestRecordingShowsBothChannelsLevels) {
    cards.addTestCard();
    open();
    auto* timer = find<QTimer>("c_timer_update");
    EXPECT_EQ(timer->interval(), 150);
    EXPECT_FALSE(timer->isActive());
    auto* start = find<QPushButton>("c_button_recStart");
    auto* stop = find<QPushButton>("c_button_recStop");
    EXPECT_EQ(start->text(), QStringLiteral("Prue&ba"));
    EXPECT_EQ(stop->text(), QStringLiteral("&Parar"));
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_EQ(find<QProgressBar>("c_progressBar_left")->maximum(), 300);
    EXPECT_EQ(find<QProgressBar>("c_progressBar_right")->orientation(), Qt::Horizontal);

    window->show();
    EXPECT_TRUE(timer->isActive());
    start->click();
    auto stream = card->waitStream(WaveDirection::input);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->format().samplesPerSec, 44100u);
    EXPECT_EQ(stream->format().bitsPerSample, 16u);
    EXPECT_EQ(stream->format().channels, 2u);
    EXPECT_TRUE(window->recorder()->isOpen());
    EXPECT_FALSE(action("a_record")->isEnabled());
    EXPECT_TRUE(action("a_stop")->isEnabled());

    // Left a square wave of 10000, right one of 1000: RMS 10000 and 1000.
    std::vector<uint8_t> bytes;
    for (int frame = 0; frame < 44100 / 5; ++frame) {
        const int16_t left = (frame / 50) % 2 ? 10000 : -10000;
        const int16_t right = (frame / 50) % 2 ? 1000 : -1000;
        for (int16_t s : {left, right}) {
            bytes.push_back(static_cast<uint8_t>(s & 0xFF));
            bytes.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
        }
    }
    stream->fillRecorded(bytes);
    ASSERT_TRUE(stream->waitQueued([](size_t n) { return n >= 2; }));
    stream->complete(2);
    auto* left = find<QProgressBar>("c_progressBar_left");
    auto* right = find<QProgressBar>("c_progressBar_right");
    ASSERT_TRUE(QTest::qWaitFor([&] { return left->value() > 0; }, 3000));
    EXPECT_EQ(left->value(), 249);  // 100 x log10(10000 / 32)
    EXPECT_EQ(right->value(), 149);

    EXPECT_FALSE(start->isEnabled());
    stop->click();
    EXPECT_FALSE(window->recorder()->isOpen());
    EXPECT_TRUE(action("a_record")->isEnabled());
    EXPECT_FALSE(action("a_stop")->isEnabled());
    EXPECT_TRUE(start->isEnabled());
    window->close();
    EXPECT_FALSE(timer->isActive());
}

TEST_F(InputWindowTest, ChoosingAMixerStopsARunningTest) {
    cards.addTestCard();
    cards.addPulseLike();
    open();
    action("a_record")->trigger();
    ASSERT_TRUE(window->recorder()->isOpen());
    choose("c_comboBox_mixerIndex", 1);
    EXPECT_FALSE(window->recorder()->isOpen());
    EXPECT_TRUE(action("a_record")->isEnabled());
    EXPECT_FALSE(action("a_stop")->isEnabled());
}

TEST_F(InputWindowTest, ARecorderThatWillNotOpenSaysWhyAndLeavesTheActions) {
    cards.addTestCard();
    open();
    card->setErrorText(4, "The device is busy.");
    card->failNextOpen(4);
    action("a_record")->trigger();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text,
              QStringLiteral("Unable to open waveIn device, error text: \r\nThe device is busy."));
    EXPECT_FALSE(window->recorder()->isOpen());
    EXPECT_TRUE(action("a_record")->isEnabled());
    EXPECT_FALSE(action("a_stop")->isEnabled());
}

TEST_F(InputWindowTest, ThePictureOpensTheDesktopsRecordingVolumePanel) {
    open();
    messages.clear();
    auto* picture = find<QToolButton>("ImageMixer");
    EXPECT_EQ(picture->toolTip(), QStringLiteral("Control Mixer"));

    picture->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.contains(QStringLiteral("pavucontrol")));
    EXPECT_TRUE(started.empty());

    installed[QStringLiteral("alsamixer")] = QStringLiteral("/usr/bin/alsamixer");
    installed[QStringLiteral("x-terminal-emulator")] = QStringLiteral("/usr/bin/x-terminal-emulator");
    picture->click();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0], (QStringList{"/usr/bin/x-terminal-emulator", "-e", "/usr/bin/alsamixer",
                                       "-V", "capture"}));

    installed[QStringLiteral("pavucontrol")] = QStringLiteral("/usr/bin/pavucontrol");
    picture->click();
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[1], (QStringList{"/usr/bin/pavucontrol", "--tab=4"}));
    EXPECT_EQ(messages.size(), 1u);

    // Found but not started: the user hears of it too.
    startSucceeds = false;
    picture->click();
    EXPECT_EQ(messages.size(), 2u);
}

TEST(MixerPanelCommand, AlsamixerNeedsATerminal) {
    auto only = [](std::vector<std::string> names) {
        return [names](std::string_view name) -> std::string {
            for (const auto& n : names)
                if (n == name)
                    return "/bin/" + n;
            return {};
        };
    };
    EXPECT_FALSE(mixerPanelCommand(only({"alsamixer"})));
    EXPECT_FALSE(mixerPanelCommand(only({"x-terminal-emulator"})));
    auto pulse = mixerPanelCommand(only({"pavucontrol", "alsamixer", "x-terminal-emulator"}));
    ASSERT_TRUE(pulse);
    EXPECT_EQ(pulse->program, "/bin/pavucontrol");
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
