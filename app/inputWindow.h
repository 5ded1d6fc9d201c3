#pragma once
// The input-selection window: the sound card's mixer lines, volumes and a test recording.
// Created once at start-up and shown modally from the main window. User-interface thread only.

#include <QDialog>

namespace una::app {

class Tc_form_main : public QDialog {
  public:
    explicit Tc_form_main(QWidget* parent = nullptr);
};

}  // namespace una::app
