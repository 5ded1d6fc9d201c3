// The language switch through the widgets of both windows: every caption and hint in the
// design texts, in Spanish and in English; the banner lines; the codes that change nothing and
// the one kept in the settings; the input window's line labels and messages; and the texts
// that other parts of the program register to follow the switch.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QStatusBar>
#include <QTest>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/inputWindow.h"
#include "app/language.h"
#include "app/mainWindow.h"
#include "app/site.h"
#include "audio/unaWaveInDevice.h"
#include "platform/mixer.h"
#include "support/fakeMixer.h"
#include "support/fakeSoundCard.h"
#include "support/iniText.h"
#include "support/soundPeer.h"

using namespace una;
using namespace una::app;
using namespace una::test;

namespace {

// The customer's table, written out here on its own so that a slip in the program's copy
// shows. design nullptr: the control keeps what it was built with.
struct Expected {
    char window;  // 'M' main, 'I' input
    const char* component;
    bool hint;
    const char* design;
    const char* es;
    const char* uk;
};

const Expected kExpected[] = {
    {'M', "PdfManual", true, "Manual de instrucciones", "Manual de instrucciones",
     "Manual of instructions"},
    {'M', "TrackOpaciti", true, "% Opacidad", "% Opacidad", "% Opacity"},
    {'M', "SpeedMin", true, "Minimizar en barra de tareas", "Minimizar en barra de tareas",
     "Minimize on task bar"},
    {'M', "LoadBtn", false, "&Load Skin", "&Cargar Skin", "&Load Skin"},
    {'M', "LoadBtn", true, "Cambiar caratula (skin)", "Cambiar caratula (skin)", "Change skin"},
    {'M', "LalbelRep", false, "Reproducir", "Reproducir", "Play"},
    {'M', "Labelsave", false, "Grabar", "Grabar", "Save"},
    {'M', "Labelret", false, "Retraso", "Retraso", "Delay"},
    {'M', "Maximizar1", false, "M&aximizar", "M&aximizar", "M&aximize"},
    {'M', "Minimizar1", false, "&Minimizar", "&Minimizar", "&Minimize"},
    {'M', "LoadSkin1", false, "&Load Skin", "&Cargar Skin", "&Load Skin"},
    {'M', "DefaultSkin1", false, "&Default Skin", "&Skin por defecto", "&Skin default"},
    {'M', "Intensity1", false, "&Opaco 50%", "&Opaco 50%", "&Opacity 50%"},
    {'M', "Idioma1", false, "&Idioma", "&Idioma", "&Language"},
    {'M', "Sortir1", false, "&Salir", "&Salir", "&Exit"},
    {'M', "Speedlang", false, "L&anguage", "Idioma", "Language"},
    {'M', "Speedlang", true, "", "Cambiar idioma", "Change Language"},
    {'M', "c_sb_waveOutStart", true, nullptr, "Reproducir playback", "Play playback"},
    {'M', "c_sb_waveOutStop", true, nullptr, "Parar playback", "Stop playback"},
    {'M', "c_comboBox_playbackDevice", true, "Seleccionar dispositivo de salida",
     "Seleccionar dispositivo de salida", "Select output device"},
    {'M', "c_comboBox_recordingDevice", true, "Seleccionar dispositivo de entrada",
     "Seleccionar dispositivo de entrada", "Select input device"},
    {'M', "c_sb_waveInStart", true, "Empezar a grabar", "Empezar a grabar", "Go to start/delay"},
    {'M', "c_sb_waveInStop", true, "Parar grabación", "Parar grabación", "Stop delay"},
    {'M', "c_checkBox_loop2Playback", false, "Grabar y reproducir &directamente",
     "Grabar y reproducir &directamente", "Save and play &directly"},
    {'M', "c_checkBox_saveIn2File", false, "&Grabar en Fichero *.Wav",
     "&Grabar en Fichero *.wav", "&Save to file *.wav"},
    {'M', "Currencys", true, "Ajuste a milesima. 0,1 - 160s", "Ajuste a milesima. 0,1 - 160s",
     "Adjuste delay 0,1 - 160s"},
    {'M', "LabelSeg", false, "(Puedes agregar más segundos en la casilla de edición)",
     "(Puede agregar más segundos en la casilla de edición)",
     "(You can add more seconds in the edit box)"},
    {'I', "Tc_form_main", false, "Seleccionar Entrada", "Seleccionar Entrada", "Input select"},
    {'I', "Label5", false, "Entrada:", "Entrada", "Input"},
    {'I', "c_label_out", false, nullptr, "Linea de playback", "Playback Line"},
    {'I', "c_label_in", false, nullptr, "Linea de entrada", "Recording Source Line"},
    {'I', "c_checkBox_micForce", false, "Force to Microphone", "Forzar a microfono",
     "Force to Microphone"},
    {'I', "Label1", false, "Dispositivo entrada", "Dispositivo de entrada", "Input device"},
    {'I', "c_checkBox_inMute", false, "Mu&ted", "&Enmudecer", "&Muted"},
    {'I', "c_checkBox_outMute", false, "&Muted", "&Enmudecer", "&Muted"},
    {'I', "Label3", false, "Left", "Izquierda", "Left"},
    {'I', "Label4", false, "Right", "Derecha", "Right"},
    {'I', "c_button_recStart", false, "Prue&ba", "Prue&ba", "Te&st"},
    {'I', "c_button_recStop", false, "&Parar", "&Parar", "&Stop"},
    {'I', "ImageMixer", true, "Control Mixer", "Abrir Mezclador (solo xp)",
     "Open mixer (only xp)"},
};

const char* const kBannerEs[] = {
    nullptr,  // the site's address
    "",
    "Sorvalen Software ha sido concebido para",
    "solucionar el retardo de la voz al escuchar",
    "una transmisión deportiva por la radio y al",
    "mismo tiempo contemplarla por televisión.",
    "El retardo de la imagen causado por la TV Digital",
    "es de unos segundos en relación a la radio en directo.",
};
const char* const kBannerUk[] = {
    nullptr,
    "¿Would you like to listen Your Favorite Radio ",
    "Broadcasters Call Games In Sync With Your TV?",
    "Now, with \"Sorvalen\"",
    "you can delay the radio audio to exactly match",
    "what you´re watching. (Soccer, Basquetball, F1... etc..)",
    "We have three products some for hardware",
    "and other one for software.",
};

QString shown(QObject* object, bool hint) {
    if (auto* action = qobject_cast<QAction*>(object))
        return hint ? action->toolTip() : action->text();
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return QStringLiteral("<not a widget>");
    if (hint)
        return widget->toolTip();
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    return widget->windowTitle();
}

// One mixer whose recording side has a named and an unnamed source.
std::shared_ptr<FakeMixer> oneCard() {
    auto fake = std::make_shared<FakeMixer>();
    const uint32_t m = fake->addMixer(L"Card");
    fake->addDestination(m, platform::kMixerDstSpeakers, L"Volume Control", 2,
                         platform::kMixerTargetWaveOut);
    fake->addDestination(m, platform::kMixerDstWaveIn, L"Recording Control", 2,
                         platform::kMixerTargetWaveIn);
    fake->addVolume(m, fake->destinationLineId(m, 0), 0, 65535, {65535});
    const uint32_t unnamed = fake->addSource(m, 1, platform::kMixerSrcAuxiliary, L"");
    const uint32_t line = fake->addSource(m, 1, platform::kMixerSrcLine, L"Line In");
    fake->addVolume(m, fake->destinationLineId(m, 1), 0, 65535, {32768});
    fake->addMux(m, fake->destinationLineId(m, 1), {unnamed, line}, 1);
    fake->setWaveDevices(m, 0, 0);
    return fake;
}

class LanguageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/una-language-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ini = dir + "/settings.ini";
    }
    void TearDown() override {
        closeBoth();
        sound::runCommand("rm -rf '" + dir + "'");
    }

    // Both windows as start-up makes them; the main window is not shown yet.
    void create(std::shared_ptr<FakeMixer> mixer = oneCard()) {
        MainWindowOptions options;
        options.iniFileName = ini;
        options.trayAvailable = [] { return false; };
        mainWindow = std::make_unique<Tc_form_vo2VazuMain>(options);
        InputWindowOptions inputOptions;
        inputOptions.mixer = std::move(mixer);
        inputOptions.showError = [this](QWidget*, const QString& caption, const QString& text) {
            messages.push_back(caption + QStringLiteral(" | ") + text);
        };
        input = std::make_unique<Tc_form_main>(nullptr, inputOptions);
        mainWindow->setInputWindow(input.get());
    }
    void show() {
        mainWindow->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(mainWindow.get()));
    }
    void closeBoth() {
        mainWindow.reset();
        input.reset();
    }

    QObject* component(const Expected& row) {
        QObject* window = row.window == 'M' ? static_cast<QObject*>(mainWindow.get()) : input.get();
        if (window->objectName() == QLatin1String(row.component))
            return window;
        return window->findChild<QObject*>(QLatin1String(row.component));
    }
    QAction* action(const char* name) { return mainWindow->findChild<QAction*>(name); }
    QString panel1() { return mainWindow->findChild<QLabel*>("Panel1")->text(); }

    // Every row shows the column's text; design rows without a design text are skipped.
    void expectColumn(int column, const char* when) {
        for (const Expected& row : kExpected) {
            const char* text = column == 0 ? row.design : column == 1 ? row.es : row.uk;
            if (!text)
                continue;
            QObject* target = component(row);
            ASSERT_NE(target, nullptr) << row.component;
            EXPECT_EQ(shown(target, row.hint).toStdString(), text)
                << when << ": " << row.component << (row.hint ? " hint" : " caption");
        }
    }
    void expectBanner(const char* const* lines, const char* when) {
        EXPECT_EQ(mainWindow->bannerLines[0].toStdString(), siteAddress()) << when;
        for (size_t i = 1; i < kBannerLines; ++i)
            EXPECT_EQ(mainWindow->bannerLines[i].toStdString(), lines[i]) << when << " line " << i;
    }

    ScopedFakeSoundCard card;
    std::string dir;
    std::string ini;
    std::unique_ptr<Tc_form_vo2VazuMain> mainWindow;
    std::unique_ptr<Tc_form_main> input;
    std::vector<QString> messages;
};

TEST_F(LanguageTest, EveryTextOfBothWindowsInTheDesignThenSpanishThenEnglish) {
    create();
    // Before the first showing the controls carry their design texts (the input window's two
    // line labels already name the mixer's lines).
    expectColumn(0, "design");
    EXPECT_EQ(panel1(), QString());

    // A first run shows Spanish: the showing applies it before the window is visible.
    show();
    expectColumn(1, "first showing");
    expectBanner(kBannerEs, "first showing");
    EXPECT_EQ(panel1().toStdString(), siteAddress());

    action("English1")->trigger();
    expectColumn(2, "English");
    expectBanner(kBannerUk, "English");
    action("Espaol1")->trigger();
    expectColumn(1, "Spanish again");
    expectBanner(kBannerEs, "Spanish again");

    // The language menu: its two items, popped up from the button and from the popup menu.
    auto* languageMenu = mainWindow->findChild<QMenu*>("MenuLanguage");
    ASSERT_NE(languageMenu, nullptr);
    ASSERT_EQ(languageMenu->actions().size(), 2);
    EXPECT_EQ(languageMenu->actions()[0]->text(), QStringLiteral("E&spañol"));
    EXPECT_EQ(languageMenu->actions()[1]->text(), QStringLiteral("&English"));
}

TEST_F(LanguageTest, ACodeOtherThanEsOrUkLeavesTheDesignAndABlankBanner) {
    writeText(ini, "[form]\r\nlanguage=en\r\n");
    create();
    show();
    expectColumn(0, "stored en");
    // Long enough for the banner to pass all eight lines.
    for (int tick = 0; tick < 8 * 43; ++tick) {
        mainWindow->c_timer_updateTimer();
        ASSERT_EQ(panel1(), QString()) << "tick " << tick;
    }
    // Codes are compared exactly.
    mainWindow->applyLanguage("UK");
    mainWindow->applyLanguage("");
    expectColumn(0, "UK and empty");
    mainWindow->close();
    EXPECT_EQ(iniValue(readText(ini), "form", "language"), "en");
}

TEST_F(LanguageTest, TheChosenLanguageIsKeptAndAFirstRunKeepsItsEmptyCode) {
    create();
    show();
    mainWindow->close();
    EXPECT_EQ(iniValue(readText(ini), "form", "language"), "");

    closeBoth();
    create();
    show();
    action("English1")->trigger();
    mainWindow->close();
    EXPECT_EQ(iniValue(readText(ini), "form", "language"), "uk");

    closeBoth();
    create();
    show();
    expectColumn(2, "stored uk");
    expectBanner(kBannerUk, "stored uk");
    action("Espaol1")->trigger();
    mainWindow->close();
    EXPECT_EQ(iniValue(readText(ini), "form", "language"), "es");
}

TEST_F(LanguageTest, TheInputWindowsLinesAndItemsFollowTheSwitchUntilAnotherMixerIsChosen) {
    create();
    auto* labelIn = input->findChild<QLabel*>("c_label_in");
    auto* labelOut = input->findChild<QLabel*>("c_label_out");
    auto* sources = input->findChild<QComboBox*>("c_comboBox_inConn");
    EXPECT_EQ(labelIn->text(), QStringLiteral("&Recording Control"));
    EXPECT_EQ(labelOut->text(), QStringLiteral("&Volume Control"));
    ASSERT_EQ(sources->count(), 2);
    EXPECT_EQ(sources->itemText(0), QStringLiteral("Line In"));
    EXPECT_EQ(sources->itemText(1), QStringLiteral("<Línea sin nombre>"));

    show();
    EXPECT_EQ(labelIn->text(), QStringLiteral("Linea de entrada"));
    EXPECT_EQ(labelOut->text(), QStringLiteral("Linea de playback"));
    action("English1")->trigger();
    EXPECT_EQ(labelIn->text(), QStringLiteral("Recording Source Line"));
    EXPECT_EQ(labelOut->text(), QStringLiteral("Playback Line"));
    EXPECT_EQ(sources->itemText(0), QStringLiteral("Line In"));
    EXPECT_EQ(sources->itemText(1), QStringLiteral("<Untitled Line>"));

    // The test buttons keep the switched captions while their actions change state.
    auto* start = input->findChild<QAbstractButton*>("c_button_recStart");
    auto* stop = input->findChild<QAbstractButton*>("c_button_recStop");
    start->click();
    ASSERT_TRUE(input->recorder()->isOpen());
    EXPECT_FALSE(start->isEnabled());
    EXPECT_TRUE(stop->isEnabled());
    stop->click();
    EXPECT_TRUE(start->isEnabled());
    EXPECT_EQ(start->text(), QStringLiteral("Te&st"));
    EXPECT_EQ(stop->text(), QStringLiteral("&Stop"));

    // Choosing the mixer again names its lines again.
    auto* mixers = input->findChild<QComboBox*>("c_comboBox_mixerIndex");
    emit mixers->activated(0);
    EXPECT_EQ(labelIn->text(), QStringLiteral("&Recording Control"));
    EXPECT_EQ(labelOut->text(), QStringLiteral("&Volume Control"));
}

TEST_F(LanguageTest, TheInputWindowsMessagesSpeakTheProgramsLanguage) {
    // No mixers: the creation already says so, in the language the settings hold.
    create(std::make_shared<FakeMixer>());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QStringLiteral("La grabación quedará desactivada | No se ha "
                                          "seleccionado ningún mezclador."));
    EXPECT_EQ(input->findChild<QLabel*>("c_label_in")->text(),
              QStringLiteral("Línea no disponible"));

    closeBoth();
    writeText(ini, "[form]\r\nlanguage=uk\r\n");
    messages.clear();
    create(std::make_shared<FakeMixer>());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0],
              QStringLiteral("Recording will be disabled | No mixer device was selected."));
    EXPECT_EQ(input->findChild<QLabel*>("c_label_in")->text(), QStringLiteral("No such line"));
}

TEST_F(LanguageTest, RegisteredTextsAndTheStatusMessageFollowTheSwitch) {
    create();
    show();
    auto label = std::make_unique<QLabel>();
    auto hinted = std::make_unique<QLabel>();
    followLanguage(label.get(), Msg::NoFileName);
    followLanguageHint(hinted.get(), Msg::LogoHint);
    EXPECT_EQ(label->text(), QStringLiteral("No hay nombre de fichero; no se está grabando nada"));
    EXPECT_EQ(hinted->toolTip(), QStringLiteral("Visitar la web de Sorvalen"));
    std::vector<std::string> switches;
    onLanguageSwitch(label.get(), [&](std::string_view code) { switches.emplace_back(code); });

    card->setErrorText(4, "busy");
    card->failNextOpen(4);
    mainWindow->findChild<QAction*>("ac_openIn")->trigger();
    auto* status = mainWindow->findChild<QStatusBar*>("c_statusBar_main");
    EXPECT_EQ(status->currentMessage(),
              QStringLiteral("No se pudo abrir el dispositivo de entrada: busy"));

    action("English1")->trigger();
    EXPECT_EQ(label->text(), QStringLiteral("No file name given; nothing is being saved"));
    EXPECT_EQ(hinted->toolTip(), QStringLiteral("Visit the Sorvalen web site"));
    EXPECT_EQ(status->currentMessage(),
              QStringLiteral("The recording device could not be opened: busy"));
    EXPECT_EQ(switches, std::vector<std::string>{"uk"});

    // A code that changes nothing runs nothing; a registration ends with its object.
    mainWindow->applyLanguage("en");
    EXPECT_EQ(switches.size(), 1u);
    label.reset();
    action("Espaol1")->trigger();
    EXPECT_EQ(switches.size(), 1u);
    EXPECT_EQ(hinted->toolTip(), QStringLiteral("Visitar la web de Sorvalen"));
}

TEST(Texts, DesignTableRowsNameDistinctControlsAndEveryBannerLineExists) {
    // Each component and property once: a second row would silently win over the first.
    std::vector<std::string> seen;
    for (const UiText& row : uiTexts()) {
        std::string key = std::string(row.component) +
                          (row.property == UiProperty::Hint ? "/hint" : "/caption");
        EXPECT_EQ(std::count(seen.begin(), seen.end(), key), 0) << key;
        seen.push_back(key);
    }
    EXPECT_EQ(seen.size(), std::size(kExpected));
    EXPECT_EQ(bannerText(kBannerLines, "es"), "");
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
