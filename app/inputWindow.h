#pragma once
// The input-selection window: picks the sound card's mixer, the line that feeds the recording,
// the volumes and mutes of the recording and playback lines, and makes a test recording shown
// on two level bars. Created once at start-up and shown modally from the main window.
// Everything here runs on the user-interface thread: the mixer's change notifications arrive
// there through socket notifiers; only the test recorder's worker updates the levels that the
// timer reads.

#include <QDialog>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/inputWindowRules.h"
#include "foundation/unaObject.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSlider;
class QSocketNotifier;
class QTimer;
class QToolButton;

namespace platform {
class AudioMixer;
}

namespace una {
class unaMsMixerSystem;
class unaWaveInDevice;
}  // namespace una

namespace una::app {

struct InputWindowOptions {
    // The mixers to show; null for the process-wide ones.
    std::shared_ptr<platform::AudioMixer> mixer;
    // Shows an error message box owned by the window. Empty: QMessageBox::critical.
    std::function<void(QWidget* owner, const QString& caption, const QString& text)> showError;
    // A program's full path, empty when not installed. Empty: QStandardPaths::findExecutable.
    std::function<QString(const QString& name)> findExecutable;
    // Starts a program without waiting for it; false when it could not start.
    // Empty: QProcess::startDetached.
    std::function<bool(const QString& program, const QStringList& arguments)> startProgram;
};

class Tc_form_main : public QDialog {
  public:
    // Builds the widgets and runs formCreate (which may already show a message of step 6).
    explicit Tc_form_main(QWidget* parent = nullptr, InputWindowOptions options = {});
    // Runs formDestroy.
    ~Tc_form_main() override;
    Tc_form_main(const Tc_form_main&) = delete;
    Tc_form_main& operator=(const Tc_form_main&) = delete;

    void formCreate();
    void formShow();
    // Stops the level timer; the window may always close.
    bool formCloseQuery();
    // Frees the mixer system, then the test recorder. Runs once.
    void formDestroy();

    void a_recordExecute();
    void a_stopExecute();
    void c_timer_updateTimer();
    void c_comboBox_mixerIndexChange();
    void c_comboBox_inConnChange();
    void c_comboBox_outConnChange();
    void c_voumeBar_change(QSlider* bar);
    void c_checkBox_inMuteClick();
    void c_checkBox_outMuteClick();
    void c_checkBox_micForceClick();
    void ImageMixerClick();
    // The mixer's control-change notification: the id of a control another program (or this
    // one) changed.
    void mixerControlChangeMessage(uint32_t controlId);

    // Read-only views for the tests and the main window.
    unaMsMixerSystem* mixer() const { return mixerSystem.get(); }
    unaWaveInDevice* recorder() const { return testWaveIn.get(); }
    int32_t recordingDestination() const { return inDest; }
    int32_t playbackDestination() const { return outDest; }
    int32_t recordingConnection() const { return inConn; }
    int32_t playbackConnection() const { return outConn; }
    const BarBinding& barBinding(int tag) const { return barBindings.at(tag); }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildWidgets();
    void selectMixerIndex(int32_t index);
    void bindBar(QSlider* bar, int32_t dest, bool allowDestinationLine, int32_t conn);
    bool refreshBar(QSlider* bar, int64_t controlId);
    void onControlChange(int64_t controlId);
    void refreshMute(QCheckBox* box, int32_t dest, int32_t conn);
    void updateTestControls();
    void makeTestWaveIn(int32_t deviceId);
    void watchNotifications();
    void unwatchNotifications();
    void showError(const QString& caption, const QString& text);

    InputWindowOptions options_;
    unaPtr<unaWaveInDevice> testWaveIn;
    unaPtr<unaMsMixerSystem> mixerSystem;
    int32_t inDest = -1;
    int32_t outDest = -1;
    int32_t inConn = -1;
    int32_t outConn = -1;
    std::array<BarBinding, 4> barBindings{};
    bool destroying_ = false;
    bool centred_ = false;
    std::vector<QSocketNotifier*> notifiers_;

    // Widgets, owned by their Qt parents.
    QLabel* Label5 = nullptr;
    QComboBox* c_comboBox_mixerIndex = nullptr;
    QToolButton* ImageMixer = nullptr;
    QLabel* c_label_out = nullptr;
    QSlider* c_trackBar_outMain = nullptr;
    QComboBox* c_comboBox_outConn = nullptr;
    QSlider* c_trackBar_out = nullptr;
    QCheckBox* c_checkBox_outMute = nullptr;
    QLabel* c_label_in = nullptr;
    QSlider* c_trackBar_inMain = nullptr;
    QCheckBox* c_checkBox_micForce = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* c_comboBox_inConn = nullptr;
    QSlider* c_trackBar_in = nullptr;
    QCheckBox* c_checkBox_inMute = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QProgressBar* c_progressBar_left = nullptr;
    QProgressBar* c_progressBar_right = nullptr;
    QPushButton* c_button_recStart = nullptr;
    QPushButton* c_button_recStop = nullptr;
    QAction* a_record = nullptr;
    QAction* a_stop = nullptr;
    QTimer* c_timer_update = nullptr;
};

}  // namespace una::app
