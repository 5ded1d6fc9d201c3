#pragma once
// The main window: device and format choice, the delay controls, the level meters and the
// status bar, driving a DelayChain. Its handlers keep the names the components' events have
// (`ac_openInExecute`, `tracksegonsChange`, ...). Everything here belongs to the
// user-interface thread; the chain's workers never call into the window.

#include <QMainWindow>
#include <QMargins>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/delayChain.h"
#include "app/deviceWatch.h"
#include "app/language.h"
#include "app/meters.h"
#include "stream/stationSoundCard.h"
#include "platform/serverWait.h"

class QAction;
class QCheckBox;
class QComboBox;
class QDialog;
class QDoubleSpinBox;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QSlider;
class QStatusBar;
class QSystemTrayIcon;
class QTimer;
class QToolButton;
class QUrl;

namespace una {
class unaIniFile;
}

namespace una::app {

class AdvertView;
class DelayAdjustPanel;
class DelaySteering;
struct MainSettings;
class DelaySync;
class SyncDialog;
class DelayTapPanel;
struct DelayCommand;
class DelayEdit;
class DelaySlider;
struct DelayCommand;
class RemoteControl;
class SkinEngine;
class TActualitza;

inline constexpr int kDesignWidth = 600;
inline constexpr int kDesignHeight = 458;
inline constexpr char kMainCaption[] = "  Sorvalen Software v." UNA_VERSION;

struct MainWindowOptions {
    // The settings file; empty for the program's own.
    std::string iniFileName;
    // Runs the WAV file dialog and gives the chosen name, or none when the user cancelled.
    // Empty: the window's own c_saveDialog_main.
    std::function<std::optional<QString>()> chooseSaveFile;

    // Window chrome. Each empty one does what the desktop does.
    // Opens a web address in the desktop's browser (QDesktopServices::openUrl).
    std::function<void(const QUrl& url)> openUrl;
    // Runs the skin dialog Dialog1 and gives the chosen file, or none when cancelled.
    std::function<std::optional<QString>(const QString& caption, const QString& folder,
                                         const QString& filter)>
        chooseSkinFile;
    // Shows a message box with a single OK button owned by the window.
    std::function<void(QWidget* owner, const QString& text)> showMessage;
    // Whether the desktop has a notification area (QSystemTrayIcon::isSystemTrayAvailable).
    std::function<bool()> trayAvailable;
    // Pops a menu up at a screen point (QMenu::popup).
    std::function<void(QMenu* menu, const QPoint& at)> popupMenu;
    // Whether the computer is online. Empty: the platform's network state.
    std::function<bool()> isConnected;
    // --remote [PORT]: the phone remote on for this run (0: on the stored port).
    std::optional<uint16_t> remotePort;
    // The state of the station being recorded. Empty: the process-wide card's, when it is one
    // that knows stations.
    std::function<std::optional<stream::StationStatus>()> stationStatus;
};

enum class ChainSide { Playback, Recording };

class Tc_form_vo2VazuMain : public QMainWindow {
  public:
    // Builds the window and runs FormCreate: settings, devices, device lists.
    explicit Tc_form_vo2VazuMain(MainWindowOptions options = {}, QWidget* parent = nullptr);
    // Runs FormDestroy when closing did not.
    ~Tc_form_vo2VazuMain() override;
    Tc_form_vo2VazuMain(const Tc_form_vo2VazuMain&) = delete;
    Tc_form_vo2VazuMain& operator=(const Tc_form_vo2VazuMain&) = delete;

    // The window that SpeedButton1 shows modally; none leaves the button without effect.
    void setInputWindow(QDialog* window);
    // The window that a newer version announced by the advertising page shows modally;
    // none leaves only the closing of this window.
    void setUpdateWindow(TActualitza* window);

    DelayChain& chain() { return chain_; }
    // The phone remote; none before FormCreate and after FormDestroy.
    RemoteControl* remote() { return remote_.get(); }
    const DelayChain& chain() const { return chain_; }
    // The texts of the status bar's four panels (0 memory, 1 connection, 2 version, 3 maker).
    QString statusPanelText(int panel) const;
    const std::string& settingsFileName() const;

    // Loads the settings and creates the devices; run once by the constructor.
    void FormCreate();
    // Saves the settings, then stops the chain and frees the devices. Runs once.
    void FormDestroy();

    // The advertising panel: the page has loaded; 1.5 s later its lines are read for the
    // version marker, which shows the panel, says "Connected", and may offer the update.
    void EmbeddedWB1DocumentComplete();
    void timerpublicitatTimer();

    // Start: the recording side at once, the playback side when Timersegons fires.
    void ac_openInExecute();
    // The playback side (Timersegons' tick, and the hidden ac_openOut).
    void ac_openOutExecute();
    // Stops the whole chain, recorder first.
    void ac_closeInExecute();
    // Stops the playback side.
    void ac_closeOutExecute();
    void ac_chooseOutExecute();
    void ac_chooseInExecute();
    void updateControls(ChainSide side);
    void releaseDevices();

    void CurrencysExit();
    // The fine adjustment (buttons, shortcuts): tenths of a second, also while running.
    void delayStep(int steps);
    void tracksegonsChange();
    // The delay set in ms: to the millisecond when found, tapped or from a preset, else the
    // edit's value after its exit rule.
    uint32_t delaySetMs() const;
    // Taps, undo, kept delays and steps, as the headless program's standard input has them
    // (delayWindowSteering.cpp).
    void runDelayCommand(const DelayCommand& command);
    void keepDelayPreset(const QString& name);
    // The small window for listening to the TV, and what listens (delayWindowSteering.cpp).
    SyncDialog* syncDialog() const { return syncDialog_; }
    DelaySync* delaySync() const { return sync_.get(); }
    void forgetDelayPreset(const QString& name);
    void tracksegonsEnter() { sliderActive = true; }
    void tracksegonsExit() { sliderActive = false; }

    void c_comboBox_playbackDeviceChange();
    void c_comboBox_recordingDeviceChange();
    void c_speedButton_inFileOpenClick();
    void c_edit_waveInFileChange();
    void c_checkBox_saveIn2FileClick();
    void SpeedButton1Click();
    // The stations dialog; each accepted edit is kept, applied to the card and the list.
    void c_sb_stationsClick();
    // The stations the recording device list ends with, as the settings keep them.
    const std::vector<stream::Station>& stations() const { return stations_; }

    void c_timer_updateTimer();
    void updateMeters(ChainSide side);

    // Program-wide values that the language switch fills. languageCode is the program's
    // (programLanguageCode()): the input window and later controls read it too.
    std::string& languageCode = programLanguageCode();
    std::array<QString, kBannerLines> bannerLines;
    double programVersion = 1.0;
    bool adFound = false;

    // ---- language and window chrome (mainWindowChrome.cpp)

    // Applies the language (languageCode, "es" when empty) to both windows, then asks for the
    // advertising page while its marker has not been seen; runs at every showing, before the
    // window is visible.
    void FormShow();
    // The texts of code in both windows and the banner lines; a code other than "es" and
    // "uk" changes nothing.
    void applyLanguage(std::string_view code);
    void Espaol1Click();
    void English1Click();
    // Pops MenuLanguage up at the window's left + Speedlang's left, top + its top + 45.
    void SpeedlangClick();

    // The reduced form: only PanelWeb, at the screen's right edge.
    void Minimizar1Click();
    // The full form, centred on the screen.
    void Maximizar1Click();
    bool isReduced() const;
    // The window's alpha from TrackOpaciti; blending is off exactly at 255.
    void TrackOpacitiChange();
    void Intensity1Click();
    int alphaBlendValue() const { return alphaBlendValue_; }
    bool alphaBlend() const { return alphaBlend_; }

    void LoadBtnClick();
    // Says the program must restart, forgets the skin and closes the window.
    void DefaultSkin1Click();
    void Sortir1Click();
    void SpeedlogoClick();
    void PdfManualClick();
    SkinEngine& skinEngine() { return *SkinData1; }
    // The tray icon; none where the desktop has no notification area.
    QSystemTrayIcon* trayIcon() const { return TrayIcon1; }
    // Where the skin dialog starts: the program's folder.
    const QString& programFolder() const { return programFolder_; }

    // The description lines of the last advertising page, read by timerpublicitatTimer.
    std::vector<std::string> pageLines;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    void buildWidgets();
    void buildAdvertPanel();
    void requestAdvertPage();
    void offerUpdate();
    void buildActions();
    // The header's buttons, the popup menus and the skin engine (mainWindowChrome.cpp).
    void buildChrome();
    // FormCreate's last steps: the stored skin, the program folder, the tray icon.
    void createChrome(const QString& storedSkin);
    void destroyChrome();
    void popup(QMenu* menu, const QPoint& at);
    void fillDeviceLists();
    // While the sound card is chosen in the background (a slow sound server), the window shows
    // at once, the status bar says what is awaited, and what needs the card (the chain's
    // devices, which read its capabilities; the device lists; the buttons that open or test a
    // device) waits until the choice is made.
    void useStations();
    void awaitSoundCard();
    void cardChosen();
    bool cardChosen_ = true;
    QTimer* serverWaitTimer_ = nullptr;
    platform::ServerWait serverWaitShown_ = platform::ServerWait::None;
    void showProblem(const ChainProblem& problem);
    // The recording format, or while a station records its state and title.
    void showInputStatus();
    // False when the stations could not be written to the settings file.
    bool applyStations(const class StationEdits& edits, const std::string& keyAtOpen);
    int32_t selectedDeviceId(const QComboBox* list) const;
    void checkLostDevices();
    std::optional<QString> runSaveDialog();
    // The delay steering and its panel (delayWindowSteering.cpp).
    void buildDelaySteering(QWidget* parent);
    uint32_t applyDelay(double seconds, bool exact);
    void loadDelayPresets();
    void showDelaySteering();
    void showSync(const QString& said);
    void restoreSync(const MainSettings& stored);
    void keepSync(MainSettings& current) const;
    void fillSyncDeviceList();
    std::string syncDeviceStored_;

    MainWindowOptions options_;
    DelayChain chain_;
    DeviceWatch deviceWatch_;
    std::unique_ptr<unaIniFile> settings_;
    std::unique_ptr<RemoteControl> remote_;
    // A command from the phone, done the way the window's own controls do it.
    void remoteCommand(const DelayCommand& command);
    bool destroyed_ = false;

    // The chain's fields that the settings keep.
    int32_t outDeviceId = -1;
    int32_t inDeviceId = -1;
    // The chosen devices' stable keys ("deviceName"); kept as stored until the user chooses.
    std::string outDeviceName;
    std::string inDeviceName;
    unaPcmFormat outFormat{44100, 16, 2};
    unaPcmFormat inFormat{44100, 16, 2};
    std::string outFileName;
    std::string inFileName;
    std::vector<stream::Station> stations_;
    bool sliderActive = false;
    // True while the window itself moves the slider: such moves never reach the edit.
    bool settingSlider_ = false;
    uint32_t captionPhase = 0;

    QDialog* inputWindow_ = nullptr;
    // The problem the status bar shows, so a language switch can say it again.
    ChainProblem shownProblem_;

    // Window chrome, owned by their Qt parents (the skin engine by the window).
    QToolButton* Speedlogo = nullptr;
    QToolButton* PdfManual = nullptr;
    QSlider* TrackOpaciti = nullptr;
    QToolButton* LoadBtn = nullptr;
    QToolButton* Speedlang = nullptr;
    QToolButton* SpeedMin = nullptr;
    QMenu* Menu = nullptr;
    QAction* Maximizar1 = nullptr;
    QAction* Minimizar1 = nullptr;
    QAction* LoadSkin1 = nullptr;
    QAction* DefaultSkin1 = nullptr;
    QAction* Intensity1 = nullptr;
    QAction* Idioma1 = nullptr;
    QAction* Sortir1 = nullptr;
    QMenu* MenuLanguage = nullptr;
    QAction* Espaol1 = nullptr;
    QAction* English1 = nullptr;
    QSystemTrayIcon* TrayIcon1 = nullptr;
    std::unique_ptr<SkinEngine> SkinData1;
    QString programFolder_;
    QMargins bodyMargins_;  // the client area's in the full form
    int alphaBlendValue_ = 255;
    bool alphaBlend_ = false;
    QPointer<TActualitza> updateWindow_;

    // Widgets, owned by their Qt parents.
    QFrame* Panellogo = nullptr;
    QLabel* Panel1 = nullptr;
    QWidget* PanelPlayRecord = nullptr;
    QFrame* PanelWeb = nullptr;
    QLabel* LalbelRep = nullptr;
    QLabel* Labelsave = nullptr;
    QLabel* Labelret = nullptr;
    QComboBox* c_comboBox_playbackDevice = nullptr;
    QComboBox* c_comboBox_recordingDevice = nullptr;
    QLabel* c_staticText_outFormat = nullptr;
    QLabel* c_staticText_inFormat = nullptr;
    QToolButton* c_sb_waveOutChoose = nullptr;
    QToolButton* c_sb_waveInChoose = nullptr;
    QToolButton* c_sb_waveOutStart = nullptr;
    QToolButton* c_sb_waveOutStop = nullptr;
    QToolButton* c_sb_waveInStart = nullptr;
    QToolButton* c_sb_waveInStop = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QToolButton* c_sb_stations = nullptr;
    QCheckBox* c_checkBox_loop2Playback = nullptr;
    QCheckBox* c_checkBox_saveIn2File = nullptr;
    QComboBox* c_comboBox_saveEncoding = nullptr;  // the WAV file's encoding
    QLineEdit* c_edit_waveInFile = nullptr;
    QToolButton* c_speedButton_inFileOpen = nullptr;
    DelaySlider* tracksegons = nullptr;
    DelayEdit* Currencys = nullptr;
    QLabel* LabelSeg = nullptr;
    DelayAdjustPanel* delayAdjust_ = nullptr;
    DelayTapPanel* delayTaps_ = nullptr;
    std::unique_ptr<DelaySteering> steering_;
    // A delay kept to the millisecond, which the one-decimal edit only shows rounded; 0 while
    // the edit's value is the delay.
    uint32_t exactDelayMs_ = 0;
    SyncDialog* syncDialog_ = nullptr;
    std::unique_ptr<DelaySync> sync_;  // declared after chain_: stops listening before it goes
    QProgressBar* c_progressBar_outLeft = nullptr;
    QProgressBar* c_progressBar_outRight = nullptr;
    QProgressBar* c_progressBar_inLeft = nullptr;
    QProgressBar* c_progressBar_inRight = nullptr;
    QStatusBar* c_statusBar_main = nullptr;
    std::array<QLabel*, 4> statusPanels_{};
    QFileDialog* c_saveDialog_main = nullptr;
    QTimer* Timersegons = nullptr;
    QTimer* c_timer_update = nullptr;
    AdvertView* EmbeddedWB1 = nullptr;
    QTimer* timerpublicitat = nullptr;

    QAction* ac_openIn = nullptr;
    QAction* ac_closeIn = nullptr;
    QAction* ac_openOut = nullptr;
    QAction* ac_closeOut = nullptr;
    QAction* ac_chooseIn = nullptr;
    QAction* ac_chooseOut = nullptr;
    QAction* ac_addChannel = nullptr;
};

// The Delphi-style filter "text|pattern|text|pattern" as Qt name filters ("text" entries whose
// patterns Qt reads from their parentheses; a text without any gets " (pattern)").
QStringList qtNameFilters(const QString& delphiFilter);

}  // namespace una::app
