// ctest-labels: sound
// Devices as a user meets them, on the private sound server: the lists by description, a
// choice kept by name across a restart in which the devices moved, a saved device that is
// missing, a device plugged in while the window is open, and one that is lost while running.
// The rules underneath are checked first without any server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QStatusBar>
#include <QTest>

#include <fstream>
#include <sstream>
#include <thread>

#include "app/deviceCombo.h"
#include "app/deviceList.h"
#include "app/headless.h"
#include "app/mainSettings.h"
#include "app/mainWindow.h"
#include "foundation/unaIniFile.h"
#include "support/soundPeer.h"

using namespace una;
using namespace una::app;
using platform::WaveDirection;
namespace snd = una::sound;

namespace {

std::vector<DeviceEntry> threeDevices() {
    return deviceEntries(std::vector<platform::DeviceInfo>{
        {"", "Default (TV)", false}, {"radio", "Radio input", false}, {"tv", "TV", false}});
}

TEST(DeviceChoice, AStoredNameWinsOverItsOldPositionAndAMissingOneFallsBackToTheDefault) {
    const auto entries = threeDevices();
    EXPECT_EQ(deviceIdFromData(entries[2].data), 1);
    EXPECT_EQ(entries[2].key, "tv");
    // Found by name, wherever it is now.
    EXPECT_EQ(chooseStored(entries, "tv", 0).index, 2);
    EXPECT_FALSE(chooseStored(entries, "tv", 0).missing);
    // Settings of older versions carry no name: the id rule, beyond the list the last device.
    EXPECT_EQ(chooseStored(entries, "", 0).index, 1);
    EXPECT_EQ(chooseStored(entries, "", 7).index, 2);
    EXPECT_EQ(chooseStored(entries, "", -1).index, 0);
    // A name that is not there: the default, and the caller is told, whatever the id says.
    EXPECT_EQ(chooseStored(entries, "usb-card", 1).index, 0);
    EXPECT_TRUE(chooseStored(entries, "usb-card", 1).missing);
    // A card that cannot be reached still gives the mapper's item.
    EXPECT_EQ(deviceEntries(std::vector<platform::DeviceInfo>{}).size(), 1u);
    EXPECT_EQ(deviceEntries(std::vector<platform::DeviceInfo>{{"", "", false}, {"x", "", false}})[1].name,
              "Device 0");
}

TEST(DeviceChoice, TheNameIsSavedBesideTheIdAndOnlyWhenItFitsOnOneLine) {
    const std::string file = snd::tempPath("names") + ".ini";
    {
        unaIniFile ini(file, true, 1000, "settings");
        MainSettings settings;
        settings.outDeviceId = 3;
        settings.outDeviceName = "alsa_output.usb-Focusrite.analog-stereo";
        settings.inDeviceName = "bad\nname";
        settings.save(ini);
    }
    unaIniFile ini(file, true, 1000, "settings");
    MainSettings loaded;
    loaded.load(ini);
    EXPECT_EQ(loaded.outDeviceId, 3);
    EXPECT_EQ(loaded.outDeviceName, "alsa_output.usb-Focusrite.analog-stereo");
    EXPECT_EQ(loaded.inDeviceName, "");
    EXPECT_EQ(loaded.inDeviceId, -1);
    std::remove(file.c_str());
}

#define REQUIRE_SERVER()                                                                     \
    do {                                                                                     \
        if (!snd::serverAvailable())                                                         \
            GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh"; \
    } while (0)

// A null sink of the test's own with a description, unloaded at the end of the scope.
struct Sink {
    Sink(const std::string& name, const std::string& description) {
        module = snd::loadModule("module-null-sink " + snd::nullSinkArguments(name, description));
        EXPECT_GE(module, 0);
    }
    ~Sink() { unload(); }
    void unload() {
        if (module >= 0)
            snd::unloadModule(module);
        module = -1;
    }
    int module = -1;
};

QStringList itemTexts(const QComboBox* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i);
    return texts;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class WindowOnServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ini = snd::tempPath("window") + ".ini";
        platform::setSoundCard(nullptr);
    }
    void TearDown() override {
        window.reset();
        std::remove(ini.c_str());
    }
    void open() {
        MainWindowOptions options;
        options.iniFileName = ini;
        window = std::make_unique<Tc_form_vo2VazuMain>(options);
        window->show();
    }
    void close() { window.reset(); }
    DeviceComboBox* list(const char* name) {
        return static_cast<DeviceComboBox*>(window->findChild<QComboBox*>(name));
    }
    QString status() { return window->findChild<QStatusBar*>("c_statusBar_main")->currentMessage(); }
    void choose(QComboBox* combo, const QString& text) {
        const int index = combo->findText(text);
        ASSERT_GE(index, 0) << text.toStdString();
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }

    std::string ini;
    std::unique_ptr<Tc_form_vo2VazuMain> window;
};

TEST_F(WindowOnServer, ListsByDescriptionKeepTheChoiceByNameAndSayWhenItIsMissing) {
    REQUIRE_SERVER();
    auto chosen = std::make_unique<Sink>("chosen", "Chosen sink");
    open();
    QComboBox* playback = list("c_comboBox_playbackDevice");
    QComboBox* recording = list("c_comboBox_recordingDevice");
    const QStringList out = itemTexts(playback), in = itemTexts(recording);
    EXPECT_EQ(out.value(0), "Default (TV speakers)");
    EXPECT_TRUE(out.contains("Radio input") && out.contains("TV speakers") &&
                out.contains("Chosen sink"))
        << out.join(", ").toStdString();
    EXPECT_EQ(in.value(0), "Default (Monitor of Radio input)");
    EXPECT_TRUE(in.contains("Monitor of Radio input") && in.contains("Monitor of TV speakers"));
    for (const QString& text : out + in)
        EXPECT_FALSE(text.contains("Plugin") || text.contains("Discard") || text.contains("JACK"))
            << text.toStdString();
    choose(playback, "Chosen sink");
    choose(recording, "Monitor of TV speakers");
    const int chosenId = deviceIdFromIndex(playback->currentIndex());
    close();
    const std::string saved = readText(ini);
    EXPECT_NE(saved.find("deviceName=chosen"), std::string::npos) << saved;
    EXPECT_NE(saved.find("deviceName=tv.monitor"), std::string::npos) << saved;

    // The next start: another sink comes first, so the old position names another device.
    chosen.reset();
    Sink other("other", "Another sink");
    chosen = std::make_unique<Sink>("chosen", "Chosen sink");
    open();
    playback = list("c_comboBox_playbackDevice");
    EXPECT_EQ(playback->currentText(), "Chosen sink");
    EXPECT_NE(deviceIdFromIndex(playback->currentIndex()), chosenId) << "the device moved";
    EXPECT_EQ(list("c_comboBox_recordingDevice")->currentText(), "Monitor of TV speakers");
    EXPECT_TRUE(status().isEmpty()) << status().toStdString();
    close();

    // Unplugged: the default, and the status bar says which device is missing. The saved
    // name stays, so the device is chosen again once it is back.
    chosen.reset();
    open();
    EXPECT_EQ(list("c_comboBox_playbackDevice")->currentIndex(), 0);
    EXPECT_EQ(status(), "El dispositivo de salida guardado \"chosen\" no está; se usa el predeterminado");

    // Plugged in while the window is open: it appears when the list is opened.
    Sink late("late", "Plugged in later");
    playback = list("c_comboBox_playbackDevice");
    EXPECT_FALSE(itemTexts(playback).contains("Plugged in later"));
    playback->showPopup();
    EXPECT_TRUE(itemTexts(playback).contains("Plugged in later"));
    playback->hidePopup();
    close();
    EXPECT_NE(readText(ini).find("deviceName=chosen"), std::string::npos);
}

TEST_F(WindowOnServer, ADeviceLostWhileRunningStopsItsSideAndTheStatusBarSaysWhich) {
    REQUIRE_SERVER();
    Sink speakers("speakers", "Lost speakers");
    Sink source("source", "Lost source");
    open();
    choose(list("c_comboBox_playbackDevice"), "Lost speakers");
    choose(list("c_comboBox_recordingDevice"), "Monitor of Lost source");
    window->findChild<QAction*>("ac_openIn")->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->chain().state() == ChainState::Running; },
                                5000));
    speakers.unload();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window->chain().state() == ChainState::RecordingOnly; }, 3000));
    EXPECT_EQ(status(), "Se perdió el dispositivo de salida \"Lost speakers\"; la reproducción "
                        "se detuvo");
    source.unload();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window->chain().state() == ChainState::Idle; }, 3000));
    EXPECT_EQ(status(), "Se perdió el dispositivo de entrada \"Monitor of Lost source\"; el "
                        "retraso se detuvo");
}

TEST(HeadlessOnServer, ListsAndRunsWithNamesAndSaysWhatItGot) {
    REQUIRE_SERVER();
    platform::setSoundCard(nullptr);
    std::ostringstream lists;
    printDeviceLists(lists);
    const std::string text = lists.str();
    for (const char* line : {"   -1  Default (TV speakers)", "Radio input  [radio]",
                             "TV speakers  [tv]", "   -1  Default (Monitor of Radio input)",
                             "Monitor of TV speakers  [tv.monitor]"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    for (const char* plugin : {"Plugin", "Discard", "JACK", "Open Sound System"})
        EXPECT_EQ(text.find(plugin), std::string::npos) << text;

    // A saved device that is gone: the default, said on the output.
    const std::string settings = snd::tempPath("headless") + ".ini";
    std::ofstream(settings) << "[waveOut]\ndeviceName=unplugged-usb\n";
    Sink speakers("speakers", "Lost speakers");
    int32_t speakersId = -1;
    for (const DeviceEntry& e : deviceEntries(WaveDirection::output))
        if (e.key == "speakers")
            speakersId = deviceIdFromData(e.data);
    ASSERT_GE(speakersId, 0);
    CommandLine options;
    options.action = CommandLine::Action::Headless;
    options.settingsFile = settings;
    options.delaySeconds = 0.2;
    options.durationSeconds = 3;
    options.saveFile = "";
    std::ostringstream out, err;
    int exitCode = -1;
    std::thread run([&] { exitCode = runHeadless(options, out, err); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    speakers.unload();  // not the one playing: nothing happens
    run.join();
    EXPECT_EQ(exitCode, kExitOk) << err.str();
    EXPECT_NE(out.str().find("The saved playback device \"unplugged-usb\" is not there; using "
                             "the default"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("Sound system: pulseaudio; audio threads: real-time"),
              std::string::npos)
        << out.str();

    // The chosen device goes while it plays: the run ends and says which device it was.
    Sink again("speakers", "Lost speakers");
    for (const DeviceEntry& e : deviceEntries(WaveDirection::output))
        if (e.key == "speakers")
            options.outDeviceId = deviceIdFromData(e.data);
    options.durationSeconds = 8;
    std::ostringstream out2, err2;
    std::thread run2([&] { exitCode = runHeadless(options, out2, err2); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    again.unload();
    run2.join();
    EXPECT_EQ(exitCode, kExitFailed);
    EXPECT_NE(err2.str().find("The playback device \"Lost speakers\" was lost"), std::string::npos)
        << err2.str() << out2.str();
    std::remove(settings.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
