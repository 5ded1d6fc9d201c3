// ctest-labels: threaded
// The phone remote in the window: a press on the page moves the window's delay like its own
// buttons, the key is kept in the settings, and a new key shuts out the old page.
#include <gtest/gtest.h>
#include <httplib.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <fstream>
#include <sstream>

#include "app/mainWindow.h"
#include "app/remotePanel.h"
#include "support/fakeSoundCard.h"
#include "support/soundPeer.h"

using namespace una;
using namespace una::app;

namespace {

std::string tokenOf(const std::string& address) {
    return address.substr(address.find("t=") + 2);
}

uint16_t freePort() {
    RemoteServer probe;
    std::string error;
    EXPECT_TRUE(probe.start({"127.0.0.1", 0, "x", ""}, error));
    return probe.port();
}

TEST(RemoteWindow, APressOnThePageMovesTheWindowsDelay) {
    ScopedFakeSoundCard card;
    char pattern[] = "/tmp/una-remote-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern, ini = dir + "/settings.ini";
    std::string firstToken;
    {
        MainWindowOptions options;
        options.iniFileName = ini;
        options.remotePort = freePort();
        Tc_form_vo2VazuMain window(options);
        ASSERT_NE(window.remote(), nullptr);
        ASSERT_TRUE(window.remote()->isRunning()) << window.remote()->problem();
        const std::string address = window.remote()->pageAddress();
        firstToken = tokenOf(address);
        auto* edit = window.findChild<QDoubleSpinBox*>("Currencys");
        const double before = edit->value();

        httplib::Client page("127.0.0.1", *options.remotePort);
        const httplib::Headers key{{"X-Remote-Token", firstToken}};
        ASSERT_EQ(page.Post("/api/command", key, R"({"command":"step +1"})", "application/json")
                      ->status,
                  200);
        EXPECT_TRUE(QTest::qWaitFor([&] { return edit->value() == before + 1.0; }, 3000));
        EXPECT_TRUE(QTest::qWaitFor([&] {
            const auto state = page.Get("/api/state", key);
            return state && state->body.find("\"delay\":" + std::to_string(int(before + 1))) !=
                                std::string::npos;
        }, 3000));

        // The panel shows the address; its button makes a new key that shuts the page out.
        window.findChild<QAction*>("RemoteMenu1")->trigger();
        auto* panel = window.findChild<RemotePanel*>("RemotePanel");
        ASSERT_NE(panel, nullptr);
        EXPECT_EQ(panel->findChild<QLabel*>("RemoteAddress")->text().toStdString(), address);
        EXPECT_FALSE(panel->findChild<QLabel*>("RemoteCode")->pixmap().isNull());
        panel->findChild<QPushButton*>("RemoteNewToken")->click();
        EXPECT_EQ(page.Get("/api/state", key)->status, 403);
        EXPECT_NE(panel->findChild<QLabel*>("RemoteAddress")->text().toStdString(), address);
        firstToken = tokenOf(window.remote()->pageAddress());
    }
    // The key is kept; the run's --remote did not turn the remote on for good.
    std::ifstream in(ini);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("token=" + firstToken), std::string::npos) << text.str();
    EXPECT_EQ(text.str().find("enabled=-1"), std::string::npos);
    sound::runCommand("rm -rf '" + dir + "'");
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
