#pragma once
// The update download window: created hidden at start-up and shown modally from the main
// window when a newer version is announced. User-interface thread only.

#include <QDialog>

namespace una::app {

class TActualitza : public QDialog {
  public:
    explicit TActualitza(QWidget* parent = nullptr);
};

}  // namespace una::app
