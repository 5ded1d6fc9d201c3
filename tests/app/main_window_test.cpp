// The main window driven through its widgets, found by their object names, on the scripted
// sound card: first-run defaults, the delay controls, the control states of the chain, the
// device lists, the file rules, the format dialog, and closing (also by SIGTERM) while the
// chain runs.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "app/formatDialog.h"
#include "app/mainWindow.h"
#include "app/quitSignals.h"
#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveSoftwareDevice.h"
#include "support/fakeSoundCard.h"
#include "support/soundPeer.h"

using namespace una;
using namespace una::app;
using platform::WaveDirection;

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The value of key in section of an ini text; none when missing.
std::optional<std::string> iniValue(const std::string& text, const std::string& section,
                                    const std::string& key) {
    std::istringstream lines(text);
    std::string line, current;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 1 && line.front() == '[' && line.back() == ']')
            current = line.substr(1, line.size() - 2);
        else if (current == section && line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return std::nullopt;
}

platform::WaveCaps caps(const wchar_t* name) {
    platform::WaveCaps c;
    c.name = name;
    c.channels = 2;
    return c;
}

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/una-window-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ini = dir + "/settings.ini";
    }
    void TearDown() override {
        window.reset();
        sound::runCommand("rm -rf '" + dir + "'");
    }

    void open() {
        MainWindowOptions options;
        options.iniFileName = ini;
        options.chooseSaveFile = [this]() -> std::optional<QString> {
            ++chooserCalls;
            return nextChoice;
        };
        window = std::make_unique<Tc_form_vo2VazuMain>(options);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    template <class T>
    T* find(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QAction* action(const char* name) { return find<QAction>(name); }
    QDoubleSpinBox* delayEdit() { return find<QDoubleSpinBox>("Currencys"); }
    QSlider* slider() { return find<QSlider>("tracksegons"); }
    QTimer* delayTimer() { return find<QTimer>("Timersegons"); }
    QString statusMessage() { return find<QStatusBar>("c_statusBar_main")->currentMessage(); }

    // Types text into the delay edit and confirms it with Enter, which hands the focus to
    // the slider; then the focus goes on to the file name, as a user's Tab would take it.
    void typeDelay(const QString& text) {
        QLineEdit* line = delayEdit()->findChild<QLineEdit*>();
        ASSERT_NE(line, nullptr);
        delayEdit()->setFocus();
        ASSERT_TRUE(delayEdit()->hasFocus());
        line->clear();
        QTest::keyClicks(line, text);
        QTest::keyClick(line, Qt::Key_Return);
        EXPECT_TRUE(slider()->hasFocus());
        find<QLineEdit>("c_edit_waveInFile")->setFocus();
    }

    bool waitState(ChainState state, int timeoutMs = 5000) {
        return QTest::qWaitFor([&] { return window->chain().state() == state; }, timeoutMs);
    }

    ScopedFakeSoundCard card;
    std::string dir;
    std::string ini;
    std::unique_ptr<Tc_form_vo2VazuMain> window;
    std::optional<QString> nextChoice;
    int chooserCalls = 0;
};

TEST_F(MainWindowTest, FirstRunShowsTheDefaultsAndSavesThemAtClose) {
    open();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("  Sorvalen Software v.1.11"));
    EXPECT_EQ(window->size(), QSize(600, 458));

    auto* playback = find<QComboBox>("c_comboBox_playbackDevice");
    auto* recording = find<QComboBox>("c_comboBox_recordingDevice");
    ASSERT_EQ(playback->count(), 2);
    EXPECT_EQ(playback->currentIndex(), 0);
    EXPECT_EQ(playback->itemData(0).toInt(), 9);
    EXPECT_EQ(playback->itemText(1), QStringLiteral("Fake Out"));
    EXPECT_EQ(playback->itemData(1).toInt(), 10);
    EXPECT_EQ(recording->currentIndex(), 0);
    EXPECT_EQ(recording->itemText(0), QStringLiteral("Fake Mapper In"));

    EXPECT_TRUE(find<QLabel>("c_staticText_outFormat")->text().contains(QStringLiteral("Stereo")));
    EXPECT_TRUE(find<QLabel>("c_staticText_inFormat")->text().startsWith(QStringLiteral("PCM")));
    EXPECT_TRUE(find<QCheckBox>("c_checkBox_loop2Playback")->isChecked());
    EXPECT_FALSE(find<QCheckBox>("c_checkBox_saveIn2File")->isChecked());
    EXPECT_TRUE(find<QLineEdit>("c_edit_waveInFile")->text().isEmpty());
    // Shown in Spanish, which changes the design's "*.Wav".
    EXPECT_EQ(find<QCheckBox>("c_checkBox_saveIn2File")->text(),
              QStringLiteral("&Grabar en Fichero *.wav"));
    EXPECT_EQ(delayEdit()->toolTip(), QStringLiteral("Ajuste a milesima. 0,1 - 160s"));
    EXPECT_EQ(find<QToolButton>("SpeedButton1")->toolTip(),
              QStringLiteral("Seleccionar dispositivo entrada"));
    EXPECT_FALSE(find<QToolButton>("c_sb_waveOutStart")->isVisible());
    EXPECT_FALSE(find<QToolButton>("c_sb_waveOutStop")->isVisible());
    EXPECT_TRUE(find<QToolButton>("c_sb_waveInStart")->isVisible());

    // The stored 4 ms shows as 0.0 s, which the exit rule makes 0.1 s.
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 0.1);
    EXPECT_EQ(slider()->maximum(), 160);
    EXPECT_EQ(slider()->value(), 1);

    EXPECT_EQ(window->statusPanelText(1), QStringLiteral("Not connected"));
    EXPECT_EQ(window->statusPanelText(2), QStringLiteral("V.1"));
    EXPECT_FALSE(window->statusPanelText(3).isEmpty());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->statusPanelText(0).startsWith(QStringLiteral("Mem: ")); }, 2000));
    EXPECT_TRUE(window->statusPanelText(0).endsWith(QStringLiteral(" KB")));
    for (const char* bar : {"c_progressBar_outLeft", "c_progressBar_outRight",
                            "c_progressBar_inLeft", "c_progressBar_inRight"}) {
        EXPECT_EQ(find<QProgressBar>(bar)->value(), 0) << bar;
        EXPECT_EQ(find<QProgressBar>(bar)->maximum(), 300) << bar;
        EXPECT_EQ(find<QProgressBar>(bar)->orientation(), Qt::Vertical) << bar;
    }
    EXPECT_EQ(find<QTimer>("c_timer_update")->interval(), 200);
    EXPECT_TRUE(find<QTimer>("c_timer_update")->isActive());
    EXPECT_FALSE(delayTimer()->isActive());
    EXPECT_TRUE(delayTimer()->isSingleShot());

    window->close();
    const std::string saved = readText(ini);
    EXPECT_EQ(iniValue(saved, "waveOut", "deviceId"), "4294967295");
    EXPECT_EQ(iniValue(saved, "waveIn", "deviceId"), "4294967295");
    EXPECT_EQ(iniValue(saved, "waveIn", "pcmSamplesPerSecond"), "44100");
    EXPECT_EQ(iniValue(saved, "waveIn", "saveToFile"), "0");
    EXPECT_EQ(iniValue(saved, "delay", "delaysec"), "100");
    EXPECT_EQ(iniValue(saved, "form", "width"), "600");
    EXPECT_EQ(iniValue(saved, "form", "language"), "");
    EXPECT_FALSE(iniValue(saved, "main", "initialSaveDir"));
    EXPECT_FALSE(iniValue(saved, "delay", "delayms"));
    EXPECT_EQ(saved.find("[presets]"), std::string::npos);
    EXPECT_EQ(saved.find("[sync]"), std::string::npos);
}

TEST_F(MainWindowTest, DelayEditAndSliderKeepInStep) {
    writeText(ini, "[delay]\r\ndelaysec=12500\r\n");
    open();
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 12.5);
    EXPECT_EQ(slider()->maximum(), 120);
    EXPECT_EQ(slider()->value(), 120);  // the rule's 121 stops at the end of the slider

    typeDelay(QStringLiteral("200"));
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 160.0);
    EXPECT_EQ(slider()->maximum(), 1600);
    typeDelay(QStringLiteral("0"));
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 0.1);
    EXPECT_EQ(slider()->maximum(), 160);
    EXPECT_EQ(slider()->value(), 1);
    typeDelay(QStringLiteral("3.4"));
    EXPECT_EQ(slider()->value(), 31);

    // The edit keeps one decimal: 0.04 reads back as 0.0, 0.05 as 0.1.
    delayEdit()->setValue(0.04);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 0.0);
    delayEdit()->setValue(0.05);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 0.1);

    // Only a slider that has the focus moves the edit.
    delayEdit()->setValue(3.0);
    slider()->setValue(70);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 3.0);
    slider()->setFocus();
    QTest::keyClick(slider(), Qt::Key_Right);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 7.1);
    // Leaving the edit by the focus runs the rule too.
    delayEdit()->setFocus();
    delayEdit()->setValue(9.3);
    slider()->setFocus();
    EXPECT_EQ(slider()->maximum(), 90);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 9.3);
}

TEST_F(MainWindowTest, StartChecksADelayThatWasTypedButNotConfirmed) {
    open();
    for (auto [typed, expectedMs] : {std::pair{"500", 160000}, {"0", 100}, {"-3", 100}}) {
        QLineEdit* line = delayEdit()->findChild<QLineEdit*>();
        line->clear();
        QTest::keyClicks(line, QString::fromLatin1(typed));
        action("ac_openIn")->trigger();
        EXPECT_TRUE(delayTimer()->isActive()) << typed;
        // The playback side opens ahead of the delay, at once for short ones.
        EXPECT_EQ(delayTimer()->interval(), std::max(1, expectedMs - 4500)) << typed;
        EXPECT_DOUBLE_EQ(delayEdit()->value(), expectedMs / 1000.0) << typed;
        action("ac_closeIn")->trigger();
    }
}

TEST_F(MainWindowTest, ControlsFollowTheChainThroughItsStates) {
    writeText(ini, "[delay]\r\ndelaysec=300\r\n");
    open();
    auto* playback = find<QComboBox>("c_comboBox_playbackDevice");
    auto* recording = find<QComboBox>("c_comboBox_recordingDevice");
    auto* save = find<QCheckBox>("c_checkBox_saveIn2File");
    auto* edit = find<QLineEdit>("c_edit_waveInFile");
    auto* browse = find<QToolButton>("c_speedButton_inFileOpen");
    auto* startButton = find<QToolButton>("c_sb_waveInStart");
    auto* stopButton = find<QToolButton>("c_sb_waveInStop");

    auto expectIdle = [&](const char* when) {
        EXPECT_EQ(window->chain().state(), ChainState::Idle) << when;
        EXPECT_TRUE(action("ac_openIn")->isEnabled()) << when;
        EXPECT_TRUE(startButton->isEnabled()) << when;
        EXPECT_FALSE(action("ac_closeIn")->isEnabled()) << when;
        EXPECT_FALSE(stopButton->isEnabled()) << when;
        EXPECT_TRUE(action("ac_openOut")->isEnabled()) << when;
        EXPECT_FALSE(action("ac_closeOut")->isEnabled()) << when;
        EXPECT_FALSE(action("ac_addChannel")->isEnabled()) << when;
        EXPECT_TRUE(action("ac_chooseIn")->isEnabled()) << when;
        EXPECT_TRUE(action("ac_chooseOut")->isEnabled()) << when;
        for (QWidget* w : std::initializer_list<QWidget*>{playback, recording, save, edit, browse,
                                                          slider(), delayEdit()})
            EXPECT_TRUE(w->isEnabled()) << when << " " << w->objectName().toStdString();
        EXPECT_FALSE(delayTimer()->isActive()) << when;
    };
    expectIdle("at start");

    // Delaying: the recording side is locked, the playback side still free.
    startButton->click();
    ASSERT_EQ(window->chain().state(), ChainState::Delaying);
    EXPECT_TRUE(delayTimer()->isActive());
    EXPECT_EQ(delayTimer()->interval(), 1);
    EXPECT_FALSE(action("ac_openIn")->isEnabled());
    EXPECT_TRUE(action("ac_closeIn")->isEnabled());
    EXPECT_TRUE(stopButton->isEnabled());
    EXPECT_FALSE(action("ac_chooseIn")->isEnabled());
    for (QWidget* w : std::initializer_list<QWidget*>{recording, save, edit, browse, slider(),
                                                      delayEdit()})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(playback->isEnabled());
    EXPECT_TRUE(action("ac_chooseOut")->isEnabled());

    // Running: the timer fired and the playback side is locked too.
    ASSERT_TRUE(waitState(ChainState::Running));
    EXPECT_FALSE(delayTimer()->isActive());
    EXPECT_TRUE(action("ac_closeOut")->isEnabled());
    EXPECT_TRUE(action("ac_addChannel")->isEnabled());
    EXPECT_FALSE(action("ac_openOut")->isEnabled());
    EXPECT_FALSE(action("ac_chooseOut")->isEnabled());
    EXPECT_FALSE(playback->isEnabled());

    stopButton->click();
    expectIdle("after stop");

    // Recording only: nothing will play, so no timer and the playback side stays free.
    find<QCheckBox>("c_checkBox_loop2Playback")->setChecked(false);
    startButton->click();
    EXPECT_EQ(window->chain().state(), ChainState::RecordingOnly);
    EXPECT_FALSE(delayTimer()->isActive());
    EXPECT_TRUE(playback->isEnabled());
    EXPECT_TRUE(action("ac_openOut")->isEnabled());
    QTest::qWait(500);
    EXPECT_EQ(card->openCount(WaveDirection::output), 1u);  // only the earlier run's
    stopButton->click();
    expectIdle("after recording only");
}

TEST_F(MainWindowTest, StopDuringTheDelayCancelsThePlaybackStart) {
    writeText(ini, "[delay]\r\ndelaysec=9000\r\n");
    open();
    action("ac_openIn")->trigger();
    auto in = card->waitStream(WaveDirection::input);
    ASSERT_NE(in, nullptr);
    in->complete(3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->chain().heldBytes() > 0; }, 3000));
    auto* inLeft = find<QProgressBar>("c_progressBar_inLeft");
    EXPECT_TRUE(QTest::qWaitFor([&] { return inLeft->value() > 0; }, 2000));
    EXPECT_EQ(find<QProgressBar>("c_progressBar_outLeft")->value(), 0);
    action("ac_closeIn")->trigger();
    EXPECT_EQ(window->chain().heldBytes(), 0u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return inLeft->value() == 0; }, 2000));
    QTest::qWait(1000);
    EXPECT_EQ(card->openCount(WaveDirection::output), 0u);
    EXPECT_EQ(window->chain().state(), ChainState::Idle);
}

TEST_F(MainWindowTest, ARecorderThatFailsToOpenLeavesTheChainIdleAndSaysWhy) {
    open();
    card->setErrorText(4, "the device is busy");
    card->failNextOpen(4);
    action("ac_openIn")->trigger();
    EXPECT_EQ(window->chain().state(), ChainState::Idle);
    EXPECT_TRUE(statusMessage().contains(QStringLiteral("the device is busy")))
        << statusMessage().toStdString();
    EXPECT_FALSE(delayTimer()->isActive());
    EXPECT_TRUE(action("ac_openIn")->isEnabled());
    EXPECT_FALSE(action("ac_closeIn")->isEnabled());
    EXPECT_TRUE(slider()->isEnabled());
    EXPECT_TRUE(delayEdit()->isEnabled());

    // The next start that works clears the message.
    action("ac_openIn")->trigger();
    EXPECT_EQ(window->chain().state(), ChainState::Delaying);
    EXPECT_TRUE(statusMessage().isEmpty());
}

TEST_F(MainWindowTest, AWavFileThatCannotBeCreatedIsReportedWhileTheChainRuns) {
    open();
    find<QLineEdit>("c_edit_waveInFile")->setText(QString::fromStdString(dir + "/no/such/x.wav"));
    action("ac_openIn")->trigger();
    EXPECT_EQ(window->chain().state(), ChainState::Delaying);
    EXPECT_FALSE(window->chain().isSaving());
    EXPECT_TRUE(statusMessage().contains(QStringLiteral("no se está grabando nada")))
        << statusMessage().toStdString();
}

TEST_F(MainWindowTest, DeviceListsSelectTheStoredDeviceOrTheLast) {
    card->setDevices(WaveDirection::output, {caps(L"Speakers"), caps(L"Headphones")});
    card->setDevices(WaveDirection::input, {caps(L"Line in"), caps(L"Microphone")});
    writeText(ini,
              "[waveOut]\r\ndeviceId=7\r\n[waveIn]\r\ndeviceId=0\r\n");
    open();
    auto* playback = find<QComboBox>("c_comboBox_playbackDevice");
    auto* recording = find<QComboBox>("c_comboBox_recordingDevice");
    ASSERT_EQ(playback->count(), 3);
    EXPECT_EQ(playback->currentIndex(), 2);
    EXPECT_EQ(playback->currentText(), QStringLiteral("Headphones"));
    EXPECT_EQ(recording->currentIndex(), 1);
    EXPECT_EQ(recording->currentText(), QStringLiteral("Line in"));

    // The recording list's choice is what the recorder opens; the stored 7 stays until the
    // user picks another playback item.
    recording->setCurrentIndex(2);
    emit recording->activated(2);
    window->close();
    std::string saved = readText(ini);
    EXPECT_EQ(iniValue(saved, "waveOut", "deviceId"), "7");
    EXPECT_EQ(iniValue(saved, "waveIn", "deviceId"), "1");

    window.reset();
    open();
    playback = find<QComboBox>("c_comboBox_playbackDevice");
    playback->setCurrentIndex(0);
    emit playback->activated(0);
    action("ac_openIn")->trigger();
    ASSERT_NE(card->waitStream(WaveDirection::input), nullptr);
    EXPECT_EQ(window->chain().waveIn()->deviceId, 1);
    window->close();
    EXPECT_EQ(iniValue(readText(ini), "waveOut", "deviceId"), "4294967295");
}

TEST_F(MainWindowTest, FileNameAndCheckBoxRules) {
    open();
    auto* save = find<QCheckBox>("c_checkBox_saveIn2File");
    auto* edit = find<QLineEdit>("c_edit_waveInFile");

    QTest::keyClicks(edit, QStringLiteral("take.wav"));
    EXPECT_TRUE(save->isChecked());
    edit->clear();
    EXPECT_FALSE(save->isChecked());
    QTest::keyClicks(edit, QStringLiteral(" "));  // blanks alone are no name
    EXPECT_FALSE(save->isChecked());
    EXPECT_EQ(chooserCalls, 0);
    edit->clear();

    // Checking the box without a name asks for one; cancelling leaves it unchecked.
    nextChoice.reset();
    save->click();
    EXPECT_EQ(chooserCalls, 1);
    EXPECT_FALSE(save->isChecked());

    const QString chosen = QString::fromStdString(dir + "/sub/take.wav");
    nextChoice = chosen;
    save->click();
    EXPECT_EQ(chooserCalls, 2);
    EXPECT_TRUE(save->isChecked());
    EXPECT_EQ(edit->text(), chosen);
    // The folder of the chosen file is written at once, with its separator.
    EXPECT_EQ(iniValue(readText(ini), "main", "initialSaveDir"), dir + "/sub/");

    // Choosing the same name again with the box unchecked checks it.
    save->setChecked(false);
    find<QToolButton>("c_speedButton_inFileOpen")->click();
    EXPECT_TRUE(save->isChecked());

    window->close();
    std::string saved = readText(ini);
    EXPECT_EQ(iniValue(saved, "waveIn", "fileName"), chosen.toStdString());
    EXPECT_EQ(iniValue(saved, "waveIn", "saveToFile"), "-1");
}

TEST_F(MainWindowTest, StoredSavingWithoutANameAsksForOneAtStartUp) {
    writeText(ini, "[waveIn]\r\nsaveToFile=-1\r\nfileName=\r\n");
    nextChoice.reset();
    open();
    EXPECT_EQ(chooserCalls, 1);
    EXPECT_FALSE(find<QCheckBox>("c_checkBox_saveIn2File")->isChecked());
}

// Reads a WAV file's "fmt " and "data" chunks; false when it is not a complete RIFF file.
struct WavInfo {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;
    std::string data;
};
bool readWav(const std::string& path, WavInfo& info) {
    std::string all = readText(path);
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | static_cast<uint8_t>(all[at + i]);
        return v;
    };
    if (all.size() < 12 || all.compare(0, 4, "RIFF") != 0 || all.compare(8, 4, "WAVE") != 0 ||
        u32(4) != all.size() - 8)
        return false;
    bool haveFormat = false, haveData = false;
    for (size_t at = 12; at + 8 <= all.size();) {
        std::string id = all.substr(at, 4);
        uint32_t size = u32(at + 4);
        if (at + 8 + size > all.size())
            return false;
        if (id == "fmt ") {
            info.channels = static_cast<uint16_t>(u32(at + 10) & 0xFFFF);
            info.rate = u32(at + 12);
            info.bits = static_cast<uint16_t>(u32(at + 22) & 0xFFFF);
            haveFormat = true;
        } else if (id == "data") {
            info.data = all.substr(at + 8, size);
            haveData = true;
        }
        at += 8 + size + (size & 1);
    }
    return haveFormat && haveData;
}

TEST_F(MainWindowTest, ClosingWhileRunningSavesStopsAndCompletesTheFile) {
    const std::string wav = dir + "/radio.wav";
    writeText(ini, "[delay]\r\ndelaysec=200\r\n[waveIn]\r\nsaveToFile=-1\r\nfileName=" + wav +
                       "\r\n");
    open();
    ASSERT_TRUE(find<QCheckBox>("c_checkBox_saveIn2File")->isChecked());
    action("ac_openIn")->trigger();
    auto in = card->waitStream(WaveDirection::input);
    ASSERT_NE(in, nullptr);
    ASSERT_TRUE(window->chain().isSaving());
    ASSERT_TRUE(waitState(ChainState::Running));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(in->waitQueued([](size_t n) { return n > 0; }));
        in->complete(1);
    }
    // Let the recorder's and the writer's workers pass the chunks on.
    QTest::qWait(500);

    window->close();
    EXPECT_TRUE(in->isClosed());
    EXPECT_TRUE(card->stream(WaveDirection::output)->isClosed());
    EXPECT_EQ(iniValue(readText(ini), "delay", "delaysec"), "200");
    EXPECT_EQ(iniValue(readText(ini), "waveIn", "saveToFile"), "-1");

    WavInfo info;
    ASSERT_TRUE(readWav(wav, info));
    EXPECT_EQ(info.rate, 44100u);
    EXPECT_EQ(info.channels, 2u);
    EXPECT_EQ(info.bits, 16u);
    // The fake card records byte k as k mod 256: the file holds the recording whole, in order.
    ASSERT_EQ(info.data.size(), 10u * 7056u);
    for (size_t k = 0; k < info.data.size(); ++k)
        ASSERT_EQ(static_cast<uint8_t>(info.data[k]), static_cast<uint8_t>(k)) << k;
    if (sound::runCommand("command -v sox >/dev/null") == 0) {
        EXPECT_EQ(sound::runCommand("sox --i '" + wav + "' >/dev/null"), 0);
    }
}

// The encoding list under the file name: restored from the settings, locked while recording,
// used for the file, and saved again.
TEST_F(MainWindowTest, TheStoredEncodingWritesTheFileAndIsKept) {
    const std::string wav = dir + "/radio-ulaw.wav";
    writeText(ini, "[delay]\r\ndelaysec=200\r\n[waveIn]\r\nsaveToFile=-1\r\nfileName=" + wav +
                       "\r\nsaveEncoding=ulaw\r\n");
    open();
    auto* encoding = find<QComboBox>("c_comboBox_saveEncoding");
    EXPECT_EQ(encoding->currentData().toString(), QStringLiteral("ulaw"));
    EXPECT_EQ(encoding->count(), 5);
    EXPECT_FALSE(encoding->toolTip().isEmpty());
    action("ac_openIn")->trigger();
    auto in = card->waitStream(WaveDirection::input);
    ASSERT_NE(in, nullptr);
    EXPECT_FALSE(encoding->isEnabled()) << "the encoding of a running recording stays";
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(in->waitQueued([](size_t n) { return n > 0; }));
        in->complete(1);
    }
    QTest::qWait(500);
    action("ac_closeIn")->trigger();
    EXPECT_TRUE(encoding->isEnabled());
    // u-law: one byte a sample, tag 7 in the "fmt " chunk.
    const std::string file = readText(wav);
    ASSERT_GT(file.size(), 40u);
    EXPECT_EQ(static_cast<uint8_t>(file[20]), 7);
    EXPECT_EQ(file.size(), 58u + 10u * 7056u / 2);

    encoding->setCurrentIndex(encoding->findData(QStringLiteral("gsm")));
    window->close();
    EXPECT_EQ(iniValue(readText(ini), "waveIn", "saveEncoding"), "gsm");
}

TEST_F(MainWindowTest, SigtermClosesTheWindowLikeItsCloseBox) {
    const std::string wav = dir + "/late.wav";
    writeText(ini, "[delay]\r\ndelaysec=5000\r\n");
    open();
    find<QLineEdit>("c_edit_waveInFile")->setText(QString::fromStdString(wav));
    action("ac_openIn")->trigger();
    auto in = card->waitStream(WaveDirection::input);
    ASSERT_NE(in, nullptr);
    in->complete(2);

    auto quit = QuitSignals::install([&](int) { closeLikeCloseBox(window.get()); });
    ASSERT_NE(quit, nullptr);
    ASSERT_EQ(raise(SIGTERM), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 3000));
    EXPECT_TRUE(in->isClosed());
    EXPECT_EQ(iniValue(readText(ini), "delay", "delaysec"), "5000");
    WavInfo info;
    EXPECT_TRUE(readWav(wav, info));
}

TEST_F(MainWindowTest, FormatDialogOffersOnlyWhatTheDeviceAcceptsAndStartsOnTheCurrent) {
    card->setFormatFilter([](const platform::WaveFormatEx& f) {
        return (f.samplesPerSec == 48000 && f.bitsPerSample == 16) ||
               (f.samplesPerSec == 22050 && f.bitsPerSample == 8 && f.channels == 1) ||
               (f.samplesPerSec == 44100 && f.bitsPerSample == 16 && f.channels == 2);
    });
    open();

    // Runs on the dialog once it is up; the test's own steps in the dialog.
    std::function<void(FormatDialog*)> inDialog;
    QString seenTitle;
    auto driveDialog = [&] {
        auto* poll = new QTimer(window.get());
        QObject::connect(poll, &QTimer::timeout, [&, poll] {
            auto* dialog = dynamic_cast<FormatDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            poll->stop();
            poll->deleteLater();
            seenTitle = dialog->windowTitle();
            inDialog(dialog);
        });
        poll->start(10);
    };

    // Starts on the current 44100/16/2; choosing 48000 keeps 16 bits and offers both counts.
    inDialog = [&](FormatDialog* dialog) {
        EXPECT_EQ(dialog->chosenFormat().samplesPerSec, 44100u);
        EXPECT_EQ(dialog->chosenFormat().channels, 2u);
        auto* rates = dialog->findChild<QComboBox*>("formatDialog_rate");
        auto* channels = dialog->findChild<QComboBox*>("formatDialog_channels");
        ASSERT_EQ(rates->count(), 3);
        int at48 = rates->findData(48000u);
        rates->setCurrentIndex(at48);
        emit rates->activated(at48);
        EXPECT_EQ(channels->count(), 2);
        EXPECT_EQ(dialog->chosenFormat().bitsPerSample, 16u);
        channels->setCurrentIndex(channels->findData(1u));
        dialog->accept();
    };
    driveDialog();
    action("ac_chooseOut")->trigger();
    EXPECT_EQ(seenTitle, QStringLiteral("Elegir el formato de reproducción"));
    EXPECT_EQ(window->chain().outFormat().samplesPerSec, 48000u);
    EXPECT_EQ(window->chain().outFormat().channels, 1u);
    EXPECT_TRUE(find<QLabel>("c_staticText_outFormat")->text().contains(QStringLiteral("Mono")));
    EXPECT_EQ(window->chain().inFormat().samplesPerSec, 44100u);

    // Cancelling changes nothing.
    inDialog = [&](FormatDialog* dialog) { dialog->reject(); };
    const QString inText = find<QLabel>("c_staticText_inFormat")->text();
    driveDialog();
    action("ac_chooseIn")->trigger();
    EXPECT_EQ(seenTitle, QStringLiteral("Elegir el formato de grabación"));
    EXPECT_EQ(window->chain().inFormat().samplesPerSec, 44100u);
    EXPECT_EQ(find<QLabel>("c_staticText_inFormat")->text(), inText);

    window->close();
    EXPECT_EQ(iniValue(readText(ini), "waveOut", "pcmSamplesPerSecond"), "48000");
    EXPECT_EQ(iniValue(readText(ini), "waveOut", "pcmNumChannels"), "1");
}

// The fine adjustment works while the chain runs (the slider and the edit stay disabled): the
// buttons and the shortcuts step a tenth, the edit shows it, the chain delays by it, the
// bounds hold, and the last value is what the settings keep.
TEST_F(MainWindowTest, DelayStepsWhileRunningWithinTheBoundsAndAreSaved) {
    writeText(ini, "[delay]\r\ndelaysec=5000\r\n[form]\r\nlanguage=uk\r\n");
    open();
    auto* down = find<QToolButton>("c_speedButton_delayDown");
    auto* up = find<QToolButton>("c_speedButton_delayUp");
    auto* heard = find<QLabel>("c_label_delayHeard");
    // The hints follow the window's language at its next meter tick.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return up->toolTip() == QStringLiteral("Delay 0.1 s longer (Ctrl++)"); }, 2000))
        << up->toolTip().toStdString();
    EXPECT_EQ(down->toolTip(), QStringLiteral("Delay 0.1 s shorter (Ctrl+-)"));

    action("ac_openIn")->trigger();
    ASSERT_TRUE(waitState(ChainState::Delaying));
    EXPECT_FALSE(delayEdit()->isEnabled());
    EXPECT_FALSE(slider()->isEnabled());
    EXPECT_TRUE(up->isEnabled());
    up->click();
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 5.1);
    EXPECT_EQ(window->chain().delayMs(), 5100u);
    QTest::keyClick(window.get(), Qt::Key_Minus, Qt::ControlModifier);
    QTest::keyClick(window.get(), Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 4.9);
    EXPECT_EQ(window->chain().delayMs(), 4900u);
    QTest::keyClick(window.get(), Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(window->chain().delayMs(), 5000u);
    QTest::qWait(300);
    EXPECT_EQ(heard->text(), QStringLiteral("Delay heard: - s"));

    // The bounds: 0.1 s and 160 s.
    action("ac_closeIn")->trigger();
    delayEdit()->setValue(0.2);
    down->click();
    down->click();
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 0.1);
    delayEdit()->setValue(159.9);
    up->click();
    up->click();
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 160.0);
    // Idle, a step keeps the slider in step with the edit too.
    EXPECT_EQ(slider()->maximum(), 1600);
    EXPECT_EQ(slider()->value(), 1600);

    action("ac_openIn")->trigger();
    down->click();
    EXPECT_EQ(window->chain().delayMs(), 159900u);
    window->close();
    EXPECT_EQ(iniValue(readText(ini), "delay", "delaysec"), "159900");
}

TEST_F(MainWindowTest, TapsAndKeptDelaysWorkToTheMillisecondAndSurviveARestart) {
    writeText(ini,
              "[delay]\r\ndelaysec=5000\r\n[form]\r\nlanguage=uk\r\n[presets]\r\nCable=12345\r\n");
    open();
    action("ac_openIn")->trigger();
    ASSERT_TRUE(waitState(ChainState::Delaying));
    auto* undo = find<QToolButton>("c_speedButton_tapUndo");
    auto* said = find<QLabel>("c_label_tapSaid");
    EXPECT_FALSE(undo->isEnabled());
    find<QToolButton>("c_speedButton_tapRadio")->click();
    EXPECT_TRUE(said->text().startsWith(QStringLiteral("Radio marked")))
        << said->text().toStdString();
    QTest::qWait(250);
    QTest::keyClick(window.get(), Qt::Key_T, Qt::ControlModifier);
    const uint32_t tapped = window->chain().delayMs();
    EXPECT_GE(tapped, 5250u);
    EXPECT_LT(tapped, 15000u);
    EXPECT_EQ(window->delaySetMs(), tapped);
    EXPECT_TRUE(said->text().startsWith(QStringLiteral("Delay changed by +")))
        << said->text().toStdString();
    ASSERT_TRUE(undo->isEnabled());
    undo->click();
    EXPECT_EQ(window->chain().delayMs(), 5000u);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 5.0);
    EXPECT_FALSE(undo->isEnabled());

    // A kept delay, picked from the list, keeps its milliseconds; a step moves it by a tenth.
    auto* presets = find<QComboBox>("c_comboBox_delayPreset");
    ASSERT_EQ(presets->count(), 1);
    presets->setCurrentIndex(0);
    emit presets->activated(0);
    EXPECT_EQ(window->chain().delayMs(), 12'345u);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 12.3);
    find<QToolButton>("c_speedButton_delayUp")->click();
    EXPECT_EQ(window->chain().delayMs(), 12'445u);
    EXPECT_EQ(find<QLabel>("c_label_delaySet")->text(), QStringLiteral("Delay set: 12.445 s"));
    presets->setEditText(QStringLiteral("Laptop stream"));
    find<QToolButton>("c_speedButton_presetKeep")->click();
    EXPECT_EQ(presets->count(), 2);
    EXPECT_EQ(iniValue(readText(ini), "presets", "Laptop stream"), "12445");

    window->close();
    const std::string saved = readText(ini);
    EXPECT_EQ(iniValue(saved, "delay", "delaysec"), "12400");
    EXPECT_EQ(iniValue(saved, "delay", "delayms"), "12445");
    window.reset();
    open();
    EXPECT_EQ(window->delaySetMs(), 12'445u);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 12.4);
    // Typed over, the edit's tenth is the delay again.
    typeDelay(QStringLiteral("7.5"));
    EXPECT_EQ(window->delaySetMs(), 7500u);
}

TEST_F(MainWindowTest, ListeningToTheTvFollowsTheChainAndSaysWhyNot) {
    writeText(ini, "[form]\r\nlanguage=uk\r\n");
    open();
    find<QToolButton>("c_speedButton_sync")->click();
    QDialog* dialog = find<QDialog>("c_form_sync");
    ASSERT_TRUE(dialog && dialog->isVisible());
    auto* listen = dialog->findChild<QCheckBox*>(QStringLiteral("c_checkBox_syncListen"));
    auto* follow = dialog->findChild<QCheckBox*>(QStringLiteral("c_checkBox_syncFollow"));
    auto* last = dialog->findChild<QLabel*>(QStringLiteral("c_label_syncLast"));
    auto* said = dialog->findChild<QLabel*>(QStringLiteral("c_label_syncSaid"));
    ASSERT_TRUE(listen && follow && last && said);
    listen->click();
    EXPECT_FALSE(listen->isChecked());
    EXPECT_TRUE(said->text().startsWith(QStringLiteral("Start the delay first")))
        << said->text().toStdString();

    action("ac_openIn")->trigger();
    ASSERT_TRUE(waitState(ChainState::Delaying));
    listen->click();
    EXPECT_TRUE(listen->isChecked());
    EXPECT_TRUE(said->text().startsWith(QStringLiteral("Listening to the TV on")))
        << said->text().toStdString();
    follow->click();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return last->text().endsWith(QStringLiteral("follow on")); }, 2000))
        << last->text().toStdString();
    // Stopping the delay stops listening: nothing is left to compare the TV with.
    action("ac_closeIn")->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !listen->isChecked(); }, 2000));
    EXPECT_EQ(window->chain().state(), ChainState::Idle);}

// A delay chosen on the slider above 8 s (it reaches 16 s while the delay is at most 8 s) used
// to start cut to the whole second: the start's exit rule lowers the slider's maximum to 120
// tenths for 12.3 s, the slider clamps itself, and with the slider still focused that clamp
// came back into the edit as a user's move: 12.0 s.
TEST_F(MainWindowTest, ADelayChosenOnTheSliderAboveEightSecondsStartsWhole) {
    open();
    slider()->setFocus();
    ASSERT_TRUE(slider()->hasFocus());
    slider()->setValue(123);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 12.3);
    action("ac_openIn")->trigger();
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 12.3);
    EXPECT_EQ(window->chain().delayMs(), 12300u);
    EXPECT_EQ(delayTimer()->interval(), 7800);
    EXPECT_EQ(slider()->maximum(), 120);
    // A real move of the slider still reaches the edit.
    action("ac_closeIn")->trigger();
    slider()->setFocus();
    slider()->setValue(95);
    EXPECT_DOUBLE_EQ(delayEdit()->value(), 9.5);
}

// The held audio is in the playback format of the start: another format chosen while it waits
// would play it as noise, so the chain refuses and the status bar says why.
TEST_F(MainWindowTest, PlaybackFormatStaysWhileADelayIsPending) {
    writeText(ini, "[form]\r\nlanguage=uk\r\n");
    open();
    action("ac_openIn")->trigger();
    ASSERT_TRUE(waitState(ChainState::Delaying));
    EXPECT_FALSE(window->chain().setOutFormat({48000, 16, 2}));
    EXPECT_EQ(window->chain().lastProblem().kind, ChainProblem::Kind::OutFormatLocked);
    EXPECT_EQ(window->chain().outFormat().samplesPerSec, 44100u);
    EXPECT_EQ(chainProblemText(window->chain().lastProblem(), "uk"),
              "The playback format cannot change while the delay runs; stop first");
    action("ac_closeIn")->trigger();
    EXPECT_TRUE(window->chain().setOutFormat({48000, 16, 2}));
    EXPECT_EQ(window->chain().outFormat().samplesPerSec, 48000u);
}

// A mixer that cannot open would leave nothing playing and the held audio growing for ever:
// the status bar says so, the holding stops, the recording goes on.
TEST_F(MainWindowTest, AMixerThatFailsToOpenIsShownAndStopsTheHolding) {
    // Long enough that the playback side's timer is still waiting when the test fires it.
    writeText(ini, "[delay]\r\ndelaysec=9000\r\n[form]\r\nlanguage=uk\r\n");
    open();
    action("ac_openIn")->trigger();
    auto in = card->waitStream(WaveDirection::input);
    ASSERT_NE(in, nullptr);
    in->complete(5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->chain().heldBytes() > 0; }, 3000));
    // Someone holds the mixer's open/close gate past its time-out when the timer fires.
    std::atomic<bool> held{false};
    std::thread blocker([&] {
        window->chain().mixer()->openCloseGate.enter(-1);
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1600));
        window->chain().mixer()->openCloseGate.leave();
    });
    while (!held)
        std::this_thread::yield();
    delayTimer()->stop();
    action("ac_openOut")->trigger();
    blocker.join();
    EXPECT_TRUE(statusMessage().startsWith(QStringLiteral("The mixer could not be started")))
        << statusMessage().toStdString();
    EXPECT_EQ(window->chain().heldBytes(), 0u);
    EXPECT_FALSE(window->chain().isOutOpen());
    EXPECT_TRUE(window->chain().isInOpen());
    in->complete(5);
    QTest::qWait(200);
    EXPECT_EQ(window->chain().heldBytes(), 0u);
    action("ac_closeIn")->trigger();
}

TEST(FormatProbe, KeepsTheCandidatesTheDeviceTakesInOrder) {
    auto accepted = acceptedPcmFormats(
        WaveDirection::input, 3,
        [](WaveDirection direction, int32_t deviceId, const unaPcmFormat& f) {
            return direction == WaveDirection::input && deviceId == 3 && f.channels == 1 &&
                   (f.samplesPerSec == 8000 || f.samplesPerSec == 96000) && f.bitsPerSample == 16;
        });
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_EQ(accepted[0].samplesPerSec, 8000u);
    EXPECT_EQ(accepted[1].samplesPerSec, 96000u);
    EXPECT_EQ(directionFromEnumFlags(kFormatEnumInput | kFormatEnumHardware),
              WaveDirection::input);
    EXPECT_EQ(directionFromEnumFlags(kFormatEnumOutput | kFormatEnumHardware),
              WaveDirection::output);

    // A device that accepts nothing gives a dialog whose OK cannot be pressed.
    FormatDialog empty(nullptr, QStringLiteral("x"), {}, {44100, 16, 2});
    EXPECT_FALSE(empty.hasFormats());
    EXPECT_EQ(empty.chosenFormat().samplesPerSec, 0u);
}

TEST(WavFilter, DelphiFilterBecomesQtNameFilters) {
    EXPECT_EQ(qtNameFilters(QStringLiteral("WAV files (*.wav)|*.wav|All files (*.*)|*.*")),
              (QStringList{QStringLiteral("WAV files (*.wav)"),
                           QStringLiteral("All files (*.*)")}));
    EXPECT_EQ(qtNameFilters(QStringLiteral("Sound|*.wav;*.au")),
              (QStringList{QStringLiteral("Sound (*.wav *.au)")}));
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
