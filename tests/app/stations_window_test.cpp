// Internet stations in the window: the dialog's rules, the recording device list that ends
// with the stations and keeps its choice through their edits and a restart, what the
// recording format's place says while a station records, and the phone page's state.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <unistd.h>
#include <filesystem>

#include "app/delayChain.h"
#include "app/deviceCombo.h"
#include "app/mainWindow.h"
#include "app/remoteLink.h"
#include "app/remoteServer.h"
#include "app/stationDialog.h"
#include "foundation/unaIniFile.h"
#include "stream/stationList.h"
#include "support/fakeSoundCard.h"

using namespace una;
using namespace una::app;
using Refusal = StationEdits::Refusal;
using State = stream::StationStatus::State;

namespace {

// Beyond what the window's test below does with them.
TEST(StationEdits, NamesAreOneLineAndAnAddressBelongsToOneStation) {
    StationEdits edits(std::vector<stream::Station>{{"Uno", "http://radio.example/uno"}});
    EXPECT_TRUE(edits.add("  Dos ", " https://radio.example/dos.m3u8 "));
    EXPECT_EQ(edits.stations()[1].name, "Dos");
    EXPECT_EQ(edits.add("a\nb", "http://x.example").refusal, Refusal::nameMissing);
    EXPECT_EQ(edits.add("Tres", "file:///etc/passwd").refusal, Refusal::addressRefused);
    EXPECT_EQ(edits.add("Tres", "http://radio.example/uno").detail, "Uno");  // its key is taken
    EXPECT_EQ(edits.change(0, "dos", "http://radio.example/uno").refusal, Refusal::nameTaken);
    EXPECT_EQ(edits.keyAfter("alsa_input.usb"), "alsa_input.usb");
}

TEST(StationTexts, AFaultIsSaidInSpanishAndAFailedAttemptStaysInSight) {
    using stream::StationFault;
    EXPECT_EQ(
        stationStatusText({State::connecting, "", "the station's server refused the connection",
                           StationFault::refused},
                          "es"),
        "No se pudo recibir la emisora: el servidor de la emisora rechazó la conexión; "
        "probando de nuevo...");
    // The network library's own words stay as they came.
    EXPECT_EQ(stationFaultSaid({State::failed, "", "the station cannot be reached (I/O error)",
                                StationFault::unreachable},
                               "es"),
              "no se puede llegar a la emisora (I/O error)");
    for (auto f = static_cast<int>(StationFault::notFound);
         f <= static_cast<int>(StationFault::playlistEmpty); ++f) {
        const stream::StationStatus failed{State::failed, "", "x", static_cast<StationFault>(f)};
        EXPECT_NE(stationFaultSaid(failed, "es"), "x") << f;
    }
    // The least delay that holds the lag, beside what the player holds, and no more.
    stream::StationStatus lagging{State::playing, "", ""};
    lagging.lagSeconds = 2.09;
    EXPECT_EQ(stationLagWarning(lagging, 2.3, "uk"),
              "The station's audio arrives up to 2.1 s late: set a delay of at least 2.4 s");
    EXPECT_EQ(stationLagWarning(lagging, 2.4, "uk"), "");
    lagging.lagSeconds = 0;  // not measured yet
    EXPECT_EQ(stationLagWarning(lagging, 0.1, "uk"), "");
}

TEST(StationTexts, ThePageSaysReconnectingOnlyWhileTheChainRuns) {
    const stream::StationStatus reconnecting{State::reconnecting, "", ""};
    EXPECT_EQ(remoteStateName(ChainState::Running, reconnecting), "reconnecting");
    EXPECT_EQ(remoteStateName(ChainState::Idle, reconnecting), "stopped");
    EXPECT_EQ(remoteStateName(ChainState::Running, stream::StationStatus{State::playing, "", ""}),
              "running");
    EXPECT_NE(remotePageTexts("uk").find("\"reconnecting\":\"Reconnecting the station\""),
              std::string::npos);
}

class StationsWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::setSoundCard(card_); }
    void TearDown() override {
        window_.reset();
        std::filesystem::remove(ini_);
    }

    void open(MainWindowOptions options = {}) {
        options.iniFileName = ini_;
        window_ = std::make_unique<Tc_form_vo2VazuMain>(std::move(options));
    }
    DeviceComboBox* recording() {
        return window_->findChild<DeviceComboBox*>("c_comboBox_recordingDevice");
    }
    void choose(const QString& name) {
        const int index = recording()->findText(name);
        ASSERT_GE(index, 0) << name.toStdString();
        recording()->setCurrentIndex(index);
        emit recording()->activated(index);
    }
    // Opens the stations dialog from the window and runs `steps` in it, then closes it.
    void inDialog(const std::function<void(StationDialog*)>& steps) {
        auto* poll = new QTimer(window_.get());
        QObject::connect(poll, &QTimer::timeout, [poll, steps] {
            auto* dialog = dynamic_cast<StationDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            poll->stop();
            poll->deleteLater();
            steps(dialog);
            dialog->accept();
        });
        poll->start(10);
        window_->findChild<QToolButton*>("c_sb_stations")->click();
    }
    static void edit(StationDialog* dialog, const char* button, const QString& name,
                     const QString& address) {
        dialog->findChild<QLineEdit*>("c_edit_stationName")->setText(name);
        dialog->findChild<QLineEdit*>("c_edit_stationAddress")->setText(address);
        dialog->findChild<QPushButton*>(button)->click();
    }
    static QListWidget* list(StationDialog* dialog) {
        return dialog->findChild<QListWidget*>("c_list_stations");
    }

    ScopedFakeSoundCard fake_;  // the inner card: the mapper and "Fake In"
    std::shared_ptr<stream::StationSoundCard> card_ =
        std::make_shared<stream::StationSoundCard>(platform::soundCard());
    std::string ini_ = std::filesystem::temp_directory_path() /
                       ("una-stations-" + std::to_string(::getpid()) + ".ini");
    std::unique_ptr<Tc_form_vo2VazuMain> window_;
};

TEST_F(StationsWindowTest, StationsJoinTheListAndTheChoiceFollowsTheirEditsAndARestart) {
    open();
    EXPECT_EQ(recording()->count(), 2);
    inDialog([](StationDialog* dialog) {
        edit(dialog, "c_button_stationAdd", "Radio Uno", "http://127.0.0.1:9/uno");
        edit(dialog, "c_button_stationAdd", "Dos", "https://radio.example/dos.m3u");
        edit(dialog, "c_button_stationAdd", "radio uno", "http://127.0.0.1:9/otra");
        EXPECT_EQ(dialog->said(), "Ya hay una emisora llamada \"Radio Uno\".");
    });
    ASSERT_EQ(recording()->count(), 4);
    EXPECT_EQ(recording()->itemText(3), "Dos");
    EXPECT_EQ(card_->stations().size(), 2u);
    choose("Radio Uno");

    // A new name, then a new address: still the station chosen.
    inDialog([](StationDialog* dialog) {
        list(dialog)->setCurrentRow(0);
        edit(dialog, "c_button_stationChange", "Radio 1", "http://127.0.0.1:9/uno");
        edit(dialog, "c_button_stationChange", "Radio 1", "http://127.0.0.1:9/uno.pls");
    });
    EXPECT_EQ(recording()->currentText(), "Radio 1");
    EXPECT_EQ(recording()->selectedKey(), "station:http://127.0.0.1:9/uno.pls");

    // Choosing a card's device, then editing the stations leaves it alone.
    choose("Fake In");
    inDialog([](StationDialog* dialog) {
        edit(dialog, "c_button_stationAdd", "Tres", "http://127.0.0.1:9/tres");
    });
    EXPECT_EQ(recording()->currentText(), "Fake In");

    choose("Dos");
    window_.reset();  // saves
    card_->setStations({});
    open();
    ASSERT_EQ(card_->stations().size(), 3u);
    EXPECT_EQ(card_->stations()[0].url, "http://127.0.0.1:9/uno.pls");
    EXPECT_EQ(recording()->currentText(), "Dos");

    // The station chosen removed: the default device, and that is what is kept.
    inDialog([](StationDialog* dialog) {
        list(dialog)->setCurrentRow(1);
        dialog->findChild<QPushButton*>("c_button_stationRemove")->click();
        EXPECT_EQ(list(dialog)->count(), 2);
    });
    EXPECT_EQ(recording()->count(), 4);
    window_.reset();
    open();
    EXPECT_EQ(recording()->currentIndex(), 0);
}

// On PipeWire the delay line takes a cycle the graph skipped as lost by both ends; behind the
// stations' card it was told no such thing, and spliced the cycle out and back in.
TEST_F(StationsWindowTest, OnlyTheCardsOwnDevicesShareItsCycles) {
    fake_->setSharesCycles(true);
    card_->setStations({{"Uno", "http://127.0.0.1:9/uno"}});
    EXPECT_TRUE(card_->streamsShareCycles(platform::kWaveMapper));
    EXPECT_TRUE(card_->streamsShareCycles(0));   // "Fake In"
    EXPECT_FALSE(card_->streamsShareCycles(1));  // the station
}

TEST_F(StationsWindowTest, TheRecordingFormatsPlaceShowsTheStationsState) {
    {
        unaIniFile ini(ini_, true, 1000, "settings");
        const stream::Station station{"Radio Uno", "http://127.0.0.1:9/uno"};
        stream::saveStations(ini, std::span(&station, 1));
    }
    std::optional<stream::StationStatus> status;  // the card's, scripted
    MainWindowOptions options;
    options.stationStatus = [&status] { return status; };
    open(std::move(options));
    auto* label = window_->findChild<QLabel*>("c_staticText_inFormat");
    const QString format = label->text();
    auto tick = [this] { window_->c_timer_updateTimer(); };

    status = stream::StationStatus{State::playing, "Gol", ""};
    tick();
    EXPECT_EQ(label->text(), format);  // a card's device is chosen
    choose("Radio Uno");
    tick();
    EXPECT_EQ(label->text(), "En antena: Gol");
    // A lag beyond the delay goes first; the title stays in the hint.
    status->lagSeconds = 170;
    tick();
    EXPECT_TRUE(label->text().startsWith("El audio de la emisora")) << label->text().toStdString();
    EXPECT_EQ(label->toolTip(), "El audio de la emisora llega hasta 170.0 s tarde: ponga un "
                                "retraso de al menos 170.3 s\nEn antena: Gol");
    window_->English1Click();
    status = stream::StationStatus{State::reconnecting, "", "the server closed the connection"};
    tick();
    // Whole in the hint; the label cuts what its width cannot hold.
    EXPECT_EQ(label->toolTip(),
              "The station was lost; reconnecting: the server closed the connection");
    status.reset();
    tick();
    EXPECT_EQ(label->text(), format);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
