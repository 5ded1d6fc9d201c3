#pragma once
// The phone remote in the window: RemoteControl runs the server from the settings, carries
// the phone's commands to the window on its own thread and publishes what the pages show;
// its panel shows the address as a QR code and as text, turns the remote on and off and makes
// a new key. User-interface thread only.

#include <QDialog>
#include <QPointer>

#include <functional>
#include <memory>

#include "app/delayAdjust.h"
#include "app/remoteServer.h"
#include "remote/remoteSettings.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QSocketNotifier;
class QTimer;

namespace una {
class unaIniAbstractStorage;
}

namespace una::app {

class RemoteControl;

class RemotePanel : public QDialog {
  public:
    RemotePanel(QWidget* parent, RemoteControl& control);
    // Shows the address (or why there is none) as it is now.
    void refresh();

  private:
    RemoteControl& control_;
    QCheckBox* enabled_ = nullptr;
    QCheckBox* homeNetwork_ = nullptr;
    QLabel* hint_ = nullptr;
    QLabel* code_ = nullptr;
    QLabel* address_ = nullptr;
    QPushButton* newToken_ = nullptr;
};

class RemoteControl : public QObject {
  public:
    // `settings` outlives this object; `state` and `perform` are called on this thread.
    RemoteControl(QObject* parent, unaIniAbstractStorage& settings,
                  std::function<remote::RemoteState()> state,
                  std::function<void(const DelayCommand&)> perform);
    ~RemoteControl() override;

    // Turns the remote on or off and keeps the choice; on gives false when it could not start
    // (see problem()).
    bool setEnabled(bool on);
    bool setHomeNetwork(bool on);
    // A new key, kept; every page opened with the old one is refused and its stream ends.
    void renewToken();
    // --remote PORT for this run: on, on that port (0: the stored one), not kept.
    void enableForThisRun(uint16_t port);

    const remote::RemoteSettings& settings() const { return settings_; }
    bool isRunning() const { return server_.isRunning(); }
    std::string pageAddress() const { return server_.pageAddress(); }
    const std::string& problem() const { return problem_; }

    void showPanel(QWidget* parent);

  private:
    bool restart();
    void save();
    void takeCommands();

    unaIniAbstractStorage& ini_;
    std::function<remote::RemoteState()> state_;
    std::function<void(const DelayCommand&)> perform_;
    remote::RemoteSettings settings_;
    // What the settings file keeps, which a run's --remote does not change.
    remote::RemoteSettings kept_;
    RemoteServer server_;
    std::string problem_;
    QSocketNotifier* wake_ = nullptr;
    QTimer* publish_ = nullptr;
    QPointer<RemotePanel> panel_;
};

}  // namespace una::app
