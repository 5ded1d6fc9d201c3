// ctest-labels: sound
// The input-selection window on the private PulseAudio server, through ALSA's pulse control
// plugin ("Master" and "Capture"): the bars write what other programs read, changes made by
// other programs move the bars and boxes without being written back, and the test recording
// shows the levels of a tone played into the recorded source.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QProgressBar>
#include <QSlider>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/inputWindow.h"
#include "audio/unaWaveInDevice.h"
#include "platform/alsaMixer.h"
#include "support/soundPeer.h"

using namespace una;
using namespace una::app;
using namespace platform;
namespace snd = una::sound;

namespace {

std::string output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen((command + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (size_t n = std::fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// ALSA's mixers with a log of every value the window writes.
class WriteLoggingMixer final : public AudioMixer {
  public:
    struct Write {
        uint32_t mixer;
        uint32_t controlId;
    };
    std::vector<Write> writes;

    uint32_t mixerCount() override { return alsa_.mixerCount(); }
    MmResult caps(uint32_t mixer, MixerCaps& out) override { return alsa_.caps(mixer, out); }
    MmResult destinationInfo(uint32_t mixer, uint32_t destination, MixerLineInfo& out) override {
        return alsa_.destinationInfo(mixer, destination, out);
    }
    MmResult sourceInfo(uint32_t mixer, uint32_t destination, uint32_t source,
                        MixerLineInfo& out) override {
        return alsa_.sourceInfo(mixer, destination, source, out);
    }
    MmResult lineControls(uint32_t mixer, uint32_t lineId,
                          std::vector<MixerControlInfo>& out) override {
        return alsa_.lineControls(mixer, lineId, out);
    }
    MmResult getValues(uint32_t mixer, uint32_t controlId, uint32_t channels, uint32_t items,
                       uint32_t detailsSize, std::span<uint8_t> out) override {
        return alsa_.getValues(mixer, controlId, channels, items, detailsSize, out);
    }
    MmResult getListTexts(uint32_t mixer, uint32_t controlId, uint32_t channels, uint32_t items,
                          std::vector<MixerListText>& out) override {
        return alsa_.getListTexts(mixer, controlId, channels, items, out);
    }
    MmResult setValues(uint32_t mixer, uint32_t controlId, uint32_t channels, uint32_t items,
                       uint32_t detailsSize, std::span<const uint8_t> values) override {
        writes.push_back({mixer, controlId});
        return alsa_.setValues(mixer, controlId, channels, items, detailsSize, values);
    }
    MmResult open(uint32_t mixer, std::unique_ptr<MixerNotifier>& out) override {
        return alsa_.open(mixer, out);
    }
    MmResult mixerOfWaveDevice(int32_t waveDevice, WaveDirection direction,
                               uint32_t& mixer) override {
        return alsa_.mixerOfWaveDevice(waveDevice, direction, mixer);
    }
    int32_t waveDeviceOfMixer(uint32_t mixer, WaveDirection direction) override {
        return alsa_.waveDeviceOfMixer(mixer, direction);
    }
    int32_t preferredWaveDevice(WaveDirection direction) override {
        return alsa_.preferredWaveDevice(direction);
    }

  private:
    AlsaAudioMixer alsa_;
};

class InputWindowOnSoundServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!snd::serverAvailable())
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
        setenv("PULSE_SOURCE", "radio.monitor", 1);
        ASSERT_EQ(restoreServer(), 0);
        InputWindowOptions options;
        options.mixer = mixer;
        options.showError = [this](QWidget*, const QString&, const QString& text) {
            messages.push_back(text);
        };
        window = std::make_unique<Tc_form_main>(nullptr, options);
        QComboBox* mixers = find<QComboBox>("c_comboBox_mixerIndex");
        const int pulse = mixers->findText(QStringLiteral("PulseAudio"));
        ASSERT_GE(pulse, 0) << "no PulseAudio mixer among " << mixers->count();
        mixers->setCurrentIndex(pulse);
        emit mixers->activated(pulse);
        // What choosing the mixer wrote or stirred up has passed.
        QTest::qWait(300);
        mixer->writes.clear();
        messages.clear();
    }

    void TearDown() override {
        window.reset();
        tone.reset();
        if (!toneFile.empty())
            std::remove(toneFile.c_str());
        if (snd::serverAvailable()) {
            EXPECT_EQ(restoreServer(), 0);
        }
    }

    // Later sound tests record and play through the same source and sink.
    static int restoreServer() {
        return snd::runCommand(
            "pactl set-source-volume @DEFAULT_SOURCE@ 100% && "
            "pactl set-source-mute @DEFAULT_SOURCE@ 0 && "
            "pactl set-sink-volume @DEFAULT_SINK@ 100% && pactl set-sink-mute @DEFAULT_SINK@ 0");
    }

    template <class T>
    T* find(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    std::shared_ptr<WriteLoggingMixer> mixer = std::make_shared<WriteLoggingMixer>();
    std::unique_ptr<Tc_form_main> window;
    std::vector<QString> messages;
    std::unique_ptr<snd::PeerProcess> tone;
    std::string toneFile;
};

TEST_F(InputWindowOnSoundServer, TheRecordingBarSetsTheServersSourceVolume) {
    QSlider* inMain = find<QSlider>("c_trackBar_inMain");
    ASSERT_TRUE(inMain->isEnabled());
    EXPECT_EQ(inMain->value(), 100);
    EXPECT_EQ(find<QSlider>("c_trackBar_outMain")->value(), 100);
    EXPECT_TRUE(find<QAction>("a_record")->isEnabled());

    inMain->setValue(50);
    EXPECT_FALSE(mixer->writes.empty());
    const std::string volume = output("pactl get-source-volume @DEFAULT_SOURCE@");
    EXPECT_NE(volume.find("/  50% /"), std::string::npos) << volume;
    const std::string capture = output("amixer -D pulse sget Capture");
    EXPECT_NE(capture.find("[50%]"), std::string::npos) << capture;
    // The notification of our own write leaves the bar where the user put it.
    QTest::qWait(300);
    EXPECT_EQ(inMain->value(), 50);
}

TEST_F(InputWindowOnSoundServer, OtherProgramsChangesMoveBarsAndBoxesWithoutWritingBack) {
    QSlider* inMain = find<QSlider>("c_trackBar_inMain");
    QSlider* outMain = find<QSlider>("c_trackBar_outMain");
    QCheckBox* inMute = find<QCheckBox>("c_checkBox_inMute");
    QCheckBox* outMute = find<QCheckBox>("c_checkBox_outMute");
    ASSERT_TRUE(inMute->isEnabled());
    EXPECT_FALSE(inMute->isChecked());
    ASSERT_TRUE(outMute->isEnabled());
    EXPECT_FALSE(outMute->isChecked());

    ASSERT_EQ(snd::runCommand("pactl set-source-volume @DEFAULT_SOURCE@ 30%"), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return inMain->value() == 30; }, 10000)) << inMain->value();
    ASSERT_EQ(snd::runCommand("pactl set-source-mute @DEFAULT_SOURCE@ 1"), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return inMute->isChecked(); }, 10000));
    EXPECT_TRUE(inMute->isEnabled());
    ASSERT_EQ(snd::runCommand("amixer -q -D pulse sset Master 40%"), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return outMain->value() == 40; }, 10000))
        << outMain->value();
    ASSERT_EQ(snd::runCommand("amixer -q -D pulse sset Master mute"), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return outMute->isChecked(); }, 10000));

    QTest::qWait(300);
    EXPECT_TRUE(mixer->writes.empty()) << mixer->writes.size() << " writes, the first to control "
                                       << mixer->writes.front().controlId;
    const std::string volume = output("pactl get-source-volume @DEFAULT_SOURCE@");
    EXPECT_NE(volume.find("/  30% /"), std::string::npos) << volume;

    // The user's click on the box unmutes the source.
    inMute->click();
    EXPECT_EQ(mixer->writes.size(), 1u);
    EXPECT_NE(output("pactl get-source-mute @DEFAULT_SOURCE@").find("no"), std::string::npos);
}

TEST_F(InputWindowOnSoundServer, TheTestRecordingShowsTheLevelsOfATonePlayedIntoTheSource) {
    toneFile = snd::tempPath("input-window-tone");
    ASSERT_TRUE(snd::writeFile(toneFile, snd::tone(440, 12000, 44100, 20)));
    tone = std::make_unique<snd::PeerProcess>(
        "exec pacat -p --raw -d radio --format=s16le --rate=44100 --channels=2 "
        "--latency-msec=250 < " +
            toneFile,
        snd::PeerProcess::Pace::steady);
    window->show();
    find<QAction>("a_record")->trigger();
    ASSERT_TRUE(messages.empty()) << messages.front().toStdString();
    ASSERT_TRUE(window->recorder()->isOpen());
    auto* left = find<QProgressBar>("c_progressBar_left");
    auto* right = find<QProgressBar>("c_progressBar_right");
    // A sine of peak 12000 has an RMS of 8485: 242 on the bars.
    EXPECT_TRUE(QTest::qWaitFor([&] { return left->value() > 200 && right->value() > 200; },
                                10000))
        << left->value() << " " << right->value();
    EXPECT_LE(left->value(), 260);
    find<QAction>("a_stop")->trigger();
    EXPECT_FALSE(window->recorder()->isOpen());
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
