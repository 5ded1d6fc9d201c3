#pragma once
// The window's row for finding and keeping the delay: the two tap buttons (radio heard now,
// TV seen now) with their undo, the delay set to the millisecond and what the last command
// did, and the kept delays (presets): pick one, or type a name and keep the delay set under
// it. The panel only shows and asks; the window turns its requests into DelaySteering
// commands. User-interface thread only.

#include <QWidget>

#include <functional>
#include <span>

#include "app/delayAdjust.h"
#include "app/delayPresets.h"

class QComboBox;
class QLabel;
class QToolButton;

namespace una::app {

class DelayTapPanel : public QWidget {
  public:
    // The shortcuts (Ctrl+R, Ctrl+T, Ctrl+Z) act anywhere in `window`.
    DelayTapPanel(QWidget* parent, QWidget* window);

    // A tap, an undo, or a kept delay picked from the list.
    std::function<void(const DelayCommand& command)> onCommand;
    // Keep the delay set under the name typed; forget the kept delay of that name.
    std::function<void(const QString& name)> onKeep;
    std::function<void(const QString& name)> onForget;
    // Open the small window for listening to the TV.
    std::function<void()> onSync;

    // The delay set (to the millisecond) and whether a tapped change can be taken back.
    void showDelay(uint32_t ms, bool canUndo);
    // What the last command did; empty clears it.
    void say(const QString& text);
    QString said() const;
    // The kept delays, in their order; the text typed in the list stays.
    void setPresets(std::span<const DelayPreset> presets);

  private:
    void command(DelayCommand::Kind kind, std::string text = {});

    QToolButton* radio_ = nullptr;
    QToolButton* tv_ = nullptr;
    QToolButton* undo_ = nullptr;
    QLabel* delaySet_ = nullptr;
    QLabel* said_ = nullptr;
    QComboBox* presets_ = nullptr;
    QToolButton* keep_ = nullptr;
    QToolButton* forget_ = nullptr;
    QToolButton* sync_ = nullptr;
    uint32_t shownMs_ = 0;
};

}  // namespace una::app
