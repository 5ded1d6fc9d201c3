#pragma once
// The small window for listening to the TV: which input hears it, listening on or off, a
// measurement now, following through the match, and the last measurement with what came of
// it. It only shows and asks; the main window carries the requests out (DelaySync). Not
// modal. User-interface thread only.

#include <QDialog>

#include <cstdint>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;

namespace una::app {

class DeviceComboBox;

class SyncDialog : public QDialog {
  public:
    explicit SyncDialog(QWidget* parent);

    // Listening switched on (with the chosen device's id now) or off.
    std::function<void(bool on, int32_t deviceId)> onListen;
    std::function<void()> onMeasure;
    std::function<void(bool on)> onFollow;

    // The state to show: whether it listens and follows, the last measurement, and the
    // sentence about what the last one did (empty: keep the one shown).
    void showState(bool listening, bool follow, const QString& last, const QString& said);

    DeviceComboBox* deviceList() const { return device_; }

  private:
    DeviceComboBox* device_ = nullptr;
    QCheckBox* listen_ = nullptr;
    QPushButton* measure_ = nullptr;
    QCheckBox* follow_ = nullptr;
    QLabel* last_ = nullptr;
    QLabel* said_ = nullptr;
};

}  // namespace una::app
