#pragma once
// The stations dialog: the internet radio stations the recording device list ends with, each
// a name and an address, added, changed and removed. Every accepted edit is handed to
// onChanged at once (the window keeps and applies it); a refused one says why and changes
// nothing. Modal. User-interface thread only.

#include <QDialog>

#include <functional>
#include <vector>

#include "app/stationEdits.h"
#include "app/stationTexts.h"
#include "stream/stationSoundCard.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace una::app {

class StationDialog : public QDialog {
  public:
    StationDialog(QWidget* parent, std::vector<stream::Station> stations);

    // Returns what to say when the edits could not be kept (empty when they were).
    std::function<std::string(const StationEdits& edits)> onChanged;
    const StationEdits& edits() const { return edits_; }

    // The sentence shown under the list: what was refused last, or nothing.
    QString said() const;

  private:
    void showStations(int select);
    void showSelected();
    void add();
    void change();
    void remove();
    // Says why an edit was refused, or clears the line and hands the edits on.
    void done(const StationEdits::Result& result, int select);

    StationEdits edits_;
    QListWidget* list_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLineEdit* address_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* change_ = nullptr;
    QPushButton* remove_ = nullptr;
    QLabel* said_ = nullptr;
};

// The sentence for a refused edit in the language of the code; "" for none.
std::string stationRefusalText(const StationEdits::Result& result, std::string_view code);

}  // namespace una::app
