// ctest-labels: sound
// The windows while the sound server is slow to start: they show at once with the wait in the
// status bar, what needs the card waits, and once the server answers all is as usual.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/inputWindow.h"
#include "app/mainWindow.h"
#include "platform/serverWait.h"
#include "platform/soundCard.h"
#include "support/soundPeer.h"

namespace snd = una::sound;
using namespace una::app;

namespace {

TEST(WindowServerWait, TheWindowShowsWhileTheServerIsAwaitedAndWorksOnceItAnswers) {
    if (!snd::serverAvailable())
        GTEST_SKIP() << "no private sound server (UNA_SOUND_SERVER unset); run test.sh";
    const std::string dir = snd::tempPath("late-pulse");
    std::filesystem::create_directories(dir);
    const std::string address = "unix:" + dir + "/native";
    setenv("PULSE_SERVER", address.c_str(), 1);
    unsetenv("UNA_SOUND_BACKEND");
    platform::setSoundCard(nullptr);
    platform::chooseSoundCardInBackground();

    const std::string ini = snd::tempPath("server-wait") + ".ini";
    {
        MainWindowOptions options;
        options.iniFileName = ini;
        // Nothing listens yet, so the choice waits: building the windows must not.
        Tc_form_vo2VazuMain window(options);
        InputWindowOptions inputOptions;
        inputOptions.showError = [](QWidget*, const QString&, const QString&) {};
        Tc_form_main inputWindow(&window, inputOptions);
        window.setInputWindow(&inputWindow);
        window.show();
        ASSERT_TRUE(platform::soundCardPending());
        auto* start = window.findChild<QToolButton*>("c_sb_waveInStart");
        auto* inputButton = window.findChild<QToolButton*>("SpeedButton1");
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return window.findChild<QStatusBar*>("c_statusBar_main")->currentMessage().contains(QString::fromStdString(address));
        }, 3000));
        EXPECT_FALSE(start->isEnabled());
        EXPECT_FALSE(inputButton->isEnabled());
        EXPECT_FALSE(window.chain().hasDevices());

        snd::PeerProcess server(
            "XDG_RUNTIME_DIR=" + dir + " PULSE_RUNTIME_PATH=" + dir +
            " exec pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit "
            "--use-pid-file=no --log-target=stderr --load='module-native-protocol-unix socket=" +
            dir + "/native' --load='module-null-sink sink_name=late' 2>/dev/null");
        ASSERT_TRUE(QTest::qWaitFor([&] { return start->isEnabled(); }, 15000));
        EXPECT_EQ(platform::soundCard()->backendName().find("ALSA"), std::string::npos)
            << platform::soundCard()->backendName();
        EXPECT_TRUE(window.chain().hasDevices());
        EXPECT_TRUE(inputButton->isEnabled());
        EXPECT_GT(window.findChild<QComboBox*>("c_comboBox_playbackDevice")->count(), 0);

        // Started as before: it records from the late server.
        start->click();
        EXPECT_TRUE(window.chain().isInOpen());
        window.findChild<QToolButton*>("c_sb_waveInStop")->click();
        window.close();
    }
    platform::setSoundCard(nullptr);
    std::filesystem::remove_all(dir);
    std::filesystem::remove(ini);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
