#pragma once
// The main window: device and format choice, the delay controls, the level meters and the
// status bar, driving a DelayChain. Its handlers keep the names the components' events have
// (`ac_openInExecute`, `tracksegonsChange`, ...). Everything here belongs to the
// user-interface thread; the chain's workers never call into the window.

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/delayChain.h"
#include "app/meters.h"

class QAction;
class QCheckBox;
class QComboBox;
class QDialog;
class QDoubleSpinBox;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QSlider;
class QStatusBar;
class QTimer;
class QToolButton;

namespace una {
class unaIniFile;
}

namespace una::app {

class DelayAdjustPanel;
class DelayEdit;
class DelaySlider;

inline constexpr int kDesignWidth = 600;
inline constexpr int kDesignHeight = 458;
inline constexpr char kMainCaption[] = "  Sorvalen Software v.1.11";

struct MainWindowOptions {
    // The settings file; empty for the program's own.
    std::string iniFileName;
    // Runs the WAV file dialog and gives the chosen name, or none when the user cancelled.
    // Empty: the window's own c_saveDialog_main.
    std::function<std::optional<QString>()> chooseSaveFile;
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

    DelayChain& chain() { return chain_; }
    const DelayChain& chain() const { return chain_; }
    // The texts of the status bar's four panels (0 memory, 1 connection, 2 version, 3 maker).
    QString statusPanelText(int panel) const;
    const std::string& settingsFileName() const;

    // Loads the settings and creates the devices; run once by the constructor.
    void FormCreate();
    // Saves the settings, then stops the chain and frees the devices. Runs once.
    void FormDestroy();

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
    void tracksegonsEnter() { sliderActive = true; }
    void tracksegonsExit() { sliderActive = false; }

    void c_comboBox_playbackDeviceChange();
    void c_comboBox_recordingDeviceChange();
    void c_speedButton_inFileOpenClick();
    void c_edit_waveInFileChange();
    void c_checkBox_saveIn2FileClick();
    void SpeedButton1Click();

    void c_timer_updateTimer();
    void updateMeters(ChainSide side);

    // Program-wide values that the language switch fills.
    std::string languageCode;
    std::array<QString, kBannerLines> bannerLines;
    double programVersion = 1.0;
    bool adFound = false;
    // The skin engine's file, kept for the next save.
    std::string skinFile;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildWidgets();
    void buildActions();
    void fillDeviceLists();
    void showProblem(const ChainProblem& problem);
    int32_t selectedDeviceId(const QComboBox* list) const;
    std::optional<QString> runSaveDialog();

    MainWindowOptions options_;
    DelayChain chain_;
    std::unique_ptr<unaIniFile> settings_;
    bool destroyed_ = false;

    // The chain's fields that the settings keep.
    int32_t outDeviceId = -1;
    int32_t inDeviceId = -1;
    unaPcmFormat outFormat{44100, 16, 2};
    unaPcmFormat inFormat{44100, 16, 2};
    std::string outFileName;
    std::string inFileName;
    bool sliderActive = false;
    // True while the window itself moves the slider: such moves never reach the edit.
    bool settingSlider_ = false;
    uint32_t captionPhase = 0;

    QDialog* inputWindow_ = nullptr;

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
    QCheckBox* c_checkBox_loop2Playback = nullptr;
    QCheckBox* c_checkBox_saveIn2File = nullptr;
    QLineEdit* c_edit_waveInFile = nullptr;
    QToolButton* c_speedButton_inFileOpen = nullptr;
    DelaySlider* tracksegons = nullptr;
    DelayEdit* Currencys = nullptr;
    QLabel* LabelSeg = nullptr;
    DelayAdjustPanel* delayAdjust_ = nullptr;
    QProgressBar* c_progressBar_outLeft = nullptr;
    QProgressBar* c_progressBar_outRight = nullptr;
    QProgressBar* c_progressBar_inLeft = nullptr;
    QProgressBar* c_progressBar_inRight = nullptr;
    QStatusBar* c_statusBar_main = nullptr;
    std::array<QLabel*, 4> statusPanels_{};
    QFileDialog* c_saveDialog_main = nullptr;
    QTimer* Timersegons = nullptr;
    QTimer* c_timer_update = nullptr;

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
