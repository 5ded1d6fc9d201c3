// The main window's chrome through its widgets on a 1024 x 768 offscreen screen: the reduced
// and full forms, the opacity bar, skins (chosen, stored, broken, cancelled, default), the
// tray icon with and without a notification area, the popup menus and the links to the site.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFrame>
#include <QMenu>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/mainWindow.h"
#include "app/site.h"
#include "app/skinEngine.h"
#include "app/skinSheet.h"
#include "support/fakeSoundCard.h"
#include "support/iniText.h"
#include "support/soundPeer.h"

// A failing comparison of texts shows them, not their UTF-16 units one by one.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

using namespace una;
using namespace una::app;
using namespace una::test;

namespace {

const std::string kShippedSkins = std::string(UNA_SOURCE_DIR) + "/skins/";

struct SkinDialogCall {
    QString caption;
    QString folder;
    QString filter;
};

struct Popup {
    QString menu;
    QPoint at;
};

class ChromeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/una-chrome-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ini = dir + "/settings.ini";
        unsetenv(kSiteEnvironmentVariable);
    }
    void TearDown() override {
        window.reset();
        unsetenv(kSiteEnvironmentVariable);
        setSiteAddressFromSettings("");
        sound::runCommand("rm -rf '" + dir + "'");
    }

    void open(bool show = true) {
        MainWindowOptions options;
        options.iniFileName = ini;
        options.openUrl = [this](const QUrl& url) { opened.push_back(url.toString()); };
        options.chooseSkinFile = [this](const QString& caption, const QString& folder,
                                        const QString& filter) {
            skinDialogs.push_back({caption, folder, filter});
            return nextSkin;
        };
        options.showMessage = [this](QWidget* owner, const QString& text) {
            EXPECT_EQ(owner, window.get());
            shownMessages.push_back(text);
        };
        if (trayAvailable)
            options.trayAvailable = [this] { return *trayAvailable; };
        // These windows read the site from the settings, so the harness's unreachable one is
        // unset: offline, they never ask the real site for its advertising page.
        options.isConnected = [] { return false; };
        options.popupMenu = [this](QMenu* menu, const QPoint& at) {
            popups.push_back({menu->objectName(), at});
        };
        window = std::make_unique<Tc_form_vo2VazuMain>(options);
        if (show) {
            window->show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        }
    }

    template <class T>
    T* find(const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QAction* item(const char* name) { return find<QAction>(name); }
    QFrame* panelWeb() { return find<QFrame>("PanelWeb"); }
    QWidget* panelPlayRecord() { return find<QWidget>("PanelPlayRecord"); }
    QSlider* opacityBar() { return find<QSlider>("TrackOpaciti"); }
    std::string stored(const char* section, const char* key) {
        return iniValue(readText(ini), section, key).value_or("<missing>");
    }

    ScopedFakeSoundCard card;
    std::string dir;
    std::string ini;
    std::unique_ptr<Tc_form_vo2VazuMain> window;
    std::vector<QString> opened;
    std::vector<SkinDialogCall> skinDialogs;
    std::optional<QString> nextSkin;
    std::vector<QString> shownMessages;
    std::optional<bool> trayAvailable = false;
    std::vector<Popup> popups;
};

TEST_F(ChromeTest, ReducingAndRestoringOnA1024By768Screen) {
    open();
    ASSERT_EQ(window->screen()->geometry().size(), QSize(1024, 768));
    EXPECT_EQ(window->minimumSize(), QSize(190, 440));
    EXPECT_EQ(window->maximumSize(), QSize(800, 600));
    EXPECT_FALSE(window->isReduced());
    EXPECT_FALSE(item("Maximizar1")->isVisible());
    // The showing after reducing applies the language again.
    find<QToolButton>("LoadBtn")->setText(QStringLiteral("stale"));

    find<QToolButton>("SpeedMin")->click();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isReduced());
    EXPECT_EQ(window->x(), 834);  // 1024 - 185 - 5
    EXPECT_EQ(window->y(), 1);
    EXPECT_EQ(window->height(), 500);
    EXPECT_EQ(window->width(), 190);  // the panel's 185, held at the window's minimum
    EXPECT_EQ(window->minimumHeight(), 320);
    EXPECT_FALSE(panelPlayRecord()->isVisible());
    EXPECT_FALSE(find<QStatusBar>("c_statusBar_main")->isVisible());
    EXPECT_EQ(panelWeb()->contentsMargins(), QMargins(0, 0, 0, 0));
    EXPECT_FALSE(item("Minimizar1")->isVisible());
    EXPECT_TRUE(item("Maximizar1")->isVisible());
    EXPECT_EQ(find<QToolButton>("LoadBtn")->text(), QStringLiteral("&Cargar Skin"));

    // Without a tray icon the window itself restores: its popup menu, or a double click.
    emit window->customContextMenuRequested(QPoint(20, 20));
    ASSERT_EQ(popups.size(), 1u);
    EXPECT_EQ(popups[0].menu, QStringLiteral("Menu"));
    QTest::mouseDClick(window->centralWidget(), Qt::LeftButton);
    EXPECT_FALSE(window->isReduced());

    item("Minimizar1")->trigger();
    ASSERT_TRUE(window->isReduced());
    item("Maximizar1")->trigger();
    EXPECT_EQ(window->x(), 212);  // 512 - 300
    EXPECT_EQ(window->y(), 164);  // 384 - 220
    EXPECT_EQ(window->size(), QSize(600, 460));
    EXPECT_EQ(window->minimumHeight(), 460);
    EXPECT_TRUE(panelPlayRecord()->isVisible());
    EXPECT_TRUE(find<QStatusBar>("c_statusBar_main")->isVisible());
    EXPECT_EQ(panelWeb()->contentsMargins(), QMargins(5, 5, 5, 5));
    EXPECT_TRUE(item("Minimizar1")->isVisible());
    EXPECT_FALSE(item("Maximizar1")->isVisible());
}

TEST_F(ChromeTest, AWindowClosedReducedStartsAtTheRightEdgeInItsFullForm) {
    open();
    item("Minimizar1")->trigger();
    window->close();
    EXPECT_EQ(stored("form", "left"), "834");
    EXPECT_EQ(stored("form", "top"), "1");
    EXPECT_EQ(stored("form", "width"), "190");
    EXPECT_EQ(stored("form", "height"), "500");

    window.reset();
    open();
    EXPECT_EQ(window->x(), 834);
    EXPECT_EQ(window->height(), 500);
    EXPECT_EQ(window->width(), 600);  // 190 is below the stored width's threshold
    EXPECT_TRUE(panelPlayRecord()->isVisible());
    EXPECT_FALSE(window->isReduced());
}

TEST_F(ChromeTest, OpacityIsOffExactlyAtTheTopOfTheBar) {
    open();
    QSlider* bar = opacityBar();
    EXPECT_EQ(bar->minimum(), 100);
    EXPECT_EQ(bar->maximum(), 255);
    EXPECT_EQ(bar->tickInterval(), 30);
    EXPECT_EQ(bar->value(), 255);
    EXPECT_FALSE(window->alphaBlend());
    EXPECT_EQ(window->windowOpacity(), 1.0);

    bar->setValue(254);
    EXPECT_TRUE(window->alphaBlend());
    EXPECT_EQ(window->alphaBlendValue(), 254);
    EXPECT_LT(window->windowOpacity(), 1.0);
    bar->setValue(255);
    EXPECT_FALSE(window->alphaBlend());
    EXPECT_EQ(window->windowOpacity(), 1.0);

    item("Intensity1")->trigger();
    EXPECT_EQ(bar->value(), 175);
    EXPECT_TRUE(window->alphaBlend());
    EXPECT_EQ(window->alphaBlendValue(), 175);
    EXPECT_NEAR(window->windowOpacity(), 175 / 255.0, 0.01);
    bar->setValue(100);  // the floor: still visible
    EXPECT_NEAR(window->windowOpacity(), 100 / 255.0, 0.01);
}

TEST_F(ChromeTest, ASkinChosenInTheDialogIsAppliedKeptAndLoadedAtTheNextStart) {
    open();
    EXPECT_TRUE(window->skinEngine().active());
    EXPECT_FALSE(window->skinEngine().skinApplied());
    EXPECT_TRUE(qApp->styleSheet().isEmpty());

    const QString noche = QString::fromStdString(kShippedSkins + "noche.skn");
    nextSkin = noche;
    find<QToolButton>("LoadBtn")->click();
    ASSERT_EQ(skinDialogs.size(), 1u);
    EXPECT_EQ(skinDialogs[0].folder, QCoreApplication::applicationDirPath());
    EXPECT_TRUE(skinDialogs[0].filter.contains(QStringLiteral("*.skn")));
    EXPECT_TRUE(skinDialogs[0].filter.contains(QStringLiteral("*.SKN")));
    EXPECT_TRUE(window->skinEngine().skinApplied());
    EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("#1b1e23")));

    // The menu item runs the same dialog; another skin replaces the first at once.
    nextSkin = QString::fromStdString(kShippedSkins + "dia.skn");
    item("LoadSkin1")->trigger();
    EXPECT_EQ(skinDialogs.size(), 2u);
    EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("#2e7d32")));

    window->close();
    EXPECT_EQ(stored("skin", "skin"), kShippedSkins + "dia.skn");
    window.reset();
    qApp->setStyleSheet(QString());
    open();
    EXPECT_TRUE(window->skinEngine().skinApplied());
    EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("#2e7d32")));
}

TEST_F(ChromeTest, CancellingTheSkinDialogStillSwitchesSkinningOn) {
    writeText(ini, "[skin]\r\nskin=" + kShippedSkins + "noche.skn\r\n");
    open();
    window->skinEngine().setActive(false);
    EXPECT_TRUE(qApp->styleSheet().isEmpty());

    nextSkin.reset();
    find<QToolButton>("LoadBtn")->click();
    EXPECT_EQ(skinDialogs.size(), 1u);
    EXPECT_TRUE(window->skinEngine().active());
    EXPECT_EQ(window->skinEngine().skinFile().toStdString(), kShippedSkins + "noche.skn");
    EXPECT_TRUE(window->skinEngine().skinApplied());
}

TEST_F(ChromeTest, ASkinThatCannotBeReadOrParsedLeavesTheBuiltInLookQuietly) {
    const std::string broken = dir + "/broken.skn";
    for (const std::string& contents :
         {std::string("QWidget { color: red;\n"), std::string("\x89PNG\r\n\x1a\n\0\0", 10),
          std::string("QWidget { color: red; } }")}) {
        writeText(broken, contents);
        writeText(ini, "[skin]\r\nskin=" + broken + "\r\n");
        qApp->setStyleSheet(QStringLiteral("QWidget { color: blue; }"));  // a previous look
        open();
        EXPECT_TRUE(window->skinEngine().active());
        EXPECT_FALSE(window->skinEngine().skinApplied());
        EXPECT_TRUE(qApp->styleSheet().isEmpty());
        EXPECT_TRUE(shownMessages.empty());
        window->close();
        // The name stays, as the user chose it.
        EXPECT_EQ(stored("skin", "skin"), broken);
        window.reset();
    }

    // A missing file, a folder, a file past the size limit.
    writeText(dir + "/huge.skn", "QWidget { color: red; }\n" + std::string(kMaxSkinBytes, ' '));
    for (const std::string& name : {dir + "/none.skn", dir, dir + "/huge.skn"}) {
        writeText(ini, "[skin]\r\nskin=" + name + "\r\n");
        open(false);
        EXPECT_FALSE(window->skinEngine().skinApplied()) << name;
        EXPECT_TRUE(qApp->styleSheet().isEmpty()) << name;
        window.reset();
    }
}

TEST_F(ChromeTest, TheDefaultSkinSaysToRestartForgetsTheSkinAndCloses) {
    writeText(ini, "[skin]\r\nskin=" + kShippedSkins + "noche.skn\r\n");
    open();
    ASSERT_TRUE(window->skinEngine().skinApplied());
    item("DefaultSkin1")->trigger();
    ASSERT_EQ(shownMessages.size(), 1u);
    EXPECT_EQ(shownMessages[0], QStringLiteral("Debe reeniciar el programa..."));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(stored("skin", "skin"), "");
}

TEST_F(ChromeTest, RelativeSkinNamesAreTakenFromTheProgramFolder) {
    QFile::copy(QString::fromStdString(kShippedSkins + "noche.skn"),
                QString::fromStdString(dir + "/noche.skn"));
    SkinEngine engine(QString::fromStdString(dir));
    engine.setSkinFile(QStringLiteral("noche.skn"));
    EXPECT_FALSE(engine.skinApplied());  // not active yet
    engine.setActive(true);
    EXPECT_TRUE(engine.skinApplied());
    engine.setSkinFile(QString());
    EXPECT_FALSE(engine.skinApplied());
    EXPECT_TRUE(qApp->styleSheet().isEmpty());
}

// Installed, the program is in <prefix>/bin and its skins in <prefix>/share/...; run from its
// build folder, the skins lie beside it.
TEST_F(ChromeTest, ShippedSkinsAreFoundBesideTheProgramOrInItsInstallation) {
    const QString bin = QString::fromStdString(dir + "/bin");
    const QString shared = QString::fromStdString(dir + "/share/ruzizavuvodideza/skins");
    ASSERT_TRUE(QDir().mkpath(bin));
    EXPECT_EQ(shippedSkinFolder(bin), bin) << "no installation: the program's folder";
    ASSERT_TRUE(QDir().mkpath(shared));
    QFile::copy(QString::fromStdString(kShippedSkins + "noche.skn"), shared + "/noche.skn");
    EXPECT_EQ(shippedSkinFolder(bin), shared);
    SkinEngine engine(bin);
    engine.setSkinFile(QStringLiteral("noche.skn"));
    engine.setActive(true);
    EXPECT_TRUE(engine.skinApplied());
    engine.setActive(false);
    QFile::copy(QString::fromStdString(kShippedSkins + "dia.skn"), bin + "/dia.skn");
    EXPECT_EQ(shippedSkinFolder(bin), bin);
}

TEST_F(ChromeTest, WithoutANotificationAreaThereIsNoTrayIconAndNothingIsLost) {
    trayAvailable.reset();  // ask the desktop: the offscreen one has none
    open();
    EXPECT_EQ(window->trayIcon(), nullptr);
    item("Minimizar1")->trigger();
    emit window->customContextMenuRequested(QPoint(5, 5));
    ASSERT_FALSE(popups.empty());
    EXPECT_EQ(popups.back().menu, QStringLiteral("Menu"));
    item("Maximizar1")->trigger();
    EXPECT_FALSE(window->isReduced());
    EXPECT_TRUE(panelPlayRecord()->isVisible());
}

TEST_F(ChromeTest, TheTrayIconCarriesTheMenuAndRestoresOnADoubleClick) {
    trayAvailable = true;
    open();
    QSystemTrayIcon* tray = window->trayIcon();
    ASSERT_NE(tray, nullptr);
    EXPECT_EQ(tray->toolTip(), QStringLiteral("RuzizavuVodideza"));
    EXPECT_EQ(tray->contextMenu(), find<QMenu>("Menu"));

    item("Minimizar1")->trigger();
    emit tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(window->isReduced());
    emit tray->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(window->isReduced());
    EXPECT_EQ(window->pos(), QPoint(212, 164));
}

TEST_F(ChromeTest, ThePopupMenuHoldsItsItemsInOrderAndTheLanguageMenuDropsBelowTheButton) {
    open();
    QStringList names;
    for (QAction* a : find<QMenu>("Menu")->actions())
        names << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
    EXPECT_EQ(names, (QStringList{"Maximizar1", "Minimizar1", "LoadSkin1", "DefaultSkin1",
                                  "Intensity1", "Idioma1", "RemoteMenu1", "-", "Sortir1"}));

    auto* button = find<QToolButton>("Speedlang");
    const QPoint expected = window->pos() + button->mapTo(window.get(), QPoint(0, 0)) +
                            QPoint(0, 45);
    button->click();
    item("Idioma1")->trigger();
    ASSERT_EQ(popups.size(), 2u);
    for (const Popup& p : popups) {
        EXPECT_EQ(p.menu, QStringLiteral("MenuLanguage"));
        EXPECT_EQ(p.at, expected);
    }
}

TEST_F(ChromeTest, TheLogoAndTheManualOpenTheSiteAndTheExitItemCloses) {
    writeText(ini, "[main]\r\nsite=https://mirror.example/radio/\r\n");
    open();
    find<QToolButton>("Speedlogo")->click();
    find<QToolButton>("PdfManual")->click();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], QStringLiteral("https://mirror.example/radio"));
    EXPECT_EQ(opened[1], QStringLiteral("https://mirror.example/radio/ruzizavuvodideza.pdf"));
    EXPECT_EQ(window->bannerLines[0], QStringLiteral("https://mirror.example/radio"));

    // The environment wins over the settings.
    setenv(kSiteEnvironmentVariable, "https://127.0.0.1:8443", 1);
    find<QToolButton>("PdfManual")->click();
    EXPECT_EQ(opened.back(), QStringLiteral("https://127.0.0.1:8443/ruzizavuvodideza.pdf"));

    item("Sortir1")->trigger();
    EXPECT_FALSE(window->isVisible());
    // Read, never written back: a packager's address is not frozen into the user's file.
    EXPECT_EQ(stored("main", "site"), "https://mirror.example/radio/");
    EXPECT_EQ(readText(ini).find("site=", readText(ini).find("site=") + 1), std::string::npos);
}

TEST(SkinSheet, AcceptsStyleSheetsAndRefusesWhatQtCouldNotParse) {
    for (const char* name : {"noche.skn", "dia.skn"})
        EXPECT_TRUE(isUsableSkinSheet(readText(kShippedSkins + name))) << name;

    for (const char* good : {
             "",
             " \n\t",
             "/* only a comment */",
             "QWidget{color:red}",
             "QPushButton:hover, QLabel#a::item { background: url(\"x;}.png\"); }",
             "QWidget[prop='a{b'] { -qt-background-role: none; color: red }",
             "QWidget { ; ; }",
             "QLabel { font-family: \"Dejavu \\\" Sans\"; }",
             "QLabel { color: rgb(1, 2, 3); } /* end */",
             "QLabel { qproperty-text: \"Baúl\"; }",
         })
        EXPECT_TRUE(isUsableSkinSheet(good)) << good;

    for (const char* bad : {
             "QWidget { color: red;",         // never closed
             "QWidget { color: red; } }",     // stray brace
             "{ color: red; }",               // no selector
             "QWidget { QLabel { } }",        // nested
             "QWidget { color red; }",        // no colon
             "QWidget { color: red; } QLabel",  // a selector without its block
             "QWidget { /* open comment }",
             "QWidget { font: \"open string; }",
             "QWidget { col or: red; }",
             "color: red;",
             "QWidget { \"color\": red; }",
         })
        EXPECT_FALSE(isUsableSkinSheet(bad)) << bad;

    EXPECT_FALSE(isUsableSkinSheet(std::string_view("QWidget { color: red; }\0", 24)));
    EXPECT_FALSE(isUsableSkinSheet("QLabel { color: \xff; }"));         // not UTF-8
    EXPECT_FALSE(isUsableSkinSheet("QLabel { color: \xc0\xae; }"));     // overlong
    EXPECT_FALSE(isUsableSkinSheet("QLabel { color: \xed\xa0\x80; }"));  // a surrogate
    EXPECT_FALSE(isUsableSkinSheet("QLabel { color: \xe2\x82"));         // cut short
    EXPECT_FALSE(isUsableSkinSheet(std::string(kMaxSkinBytes + 1, ' ')));
    EXPECT_TRUE(isUsableSkinSheet(std::string(kMaxSkinBytes, ' ')));
}

}  // namespace

int main(int argc, char** argv) {
    // A 1024 x 768 screen, as the reduce and restore rules are stated for.
    const std::string config = "/tmp/una-chrome-screen-" + std::to_string(getpid()) + ".json";
    writeText(config,
              R"({"synchronousWindowSystemEvents": true, "windowFrameMargins": false,)"
              R"( "screens": [{"name": "screen", "x": 0, "y": 0, "width": 1024,)"
              R"( "height": 768, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + config.c_str());
    QApplication application(argc, argv);
    std::remove(config.c_str());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
