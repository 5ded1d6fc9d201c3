#pragma once
// The window's fine adjustment of the delay, which works while the chain runs: a label with
// the delay heard (to the millisecond) and two small buttons, 0.1 s shorter and longer, with
// the shortcuts Ctrl+- and Ctrl++ on the window. User-interface thread only.

#include <QWidget>

#include <functional>
#include <string>

#include "audio/delayLine.h"

class QLabel;
class QToolButton;

namespace una::app {

class DelayAdjustPanel : public QWidget {
  public:
    // The shortcuts act anywhere in `window`.
    DelayAdjustPanel(QWidget* parent, QWidget* window);

    // A press of a button or a shortcut: -1 or +1 tenth of a second.
    std::function<void(int steps)> onStep;

    // Shows the delay heard while the chain plays ("-" otherwise) and the hints in the
    // language of the code.
    void show(const DelayLine::Figures& figures, const std::string& languageCode);

  private:
    QLabel* heard_ = nullptr;
    QToolButton* down_ = nullptr;
    QToolButton* up_ = nullptr;
    std::string language_ = "?";
};

}  // namespace una::app
