#pragma once
// A device list of the main window that is read afresh each time it opens, so a card plugged
// in later appears, and that keeps its choice by the device's stable key, not its position.
// Items carry the device id + 10 as their data (as the window's other code expects) and the
// key under kKeyRole. User-interface thread only.

#include <QComboBox>

#include <string>
#include <vector>

#include "app/deviceList.h"
#include "platform/soundCard.h"

namespace una::app {

class DeviceComboBox : public QComboBox {
  public:
    static constexpr int kKeyRole = Qt::UserRole + 1;

    DeviceComboBox(platform::WaveDirection direction, QWidget* parent);

    platform::WaveDirection direction() const { return direction_; }
    // Replaces the items and selects index (0, the mapper, when out of range).
    void fill(const std::vector<DeviceEntry>& entries, int index);
    // Reads the list again; the selected device stays selected, the mapper when it has gone.
    void refresh();
    // The selected item's key; empty for the mapper.
    std::string selectedKey() const;
    // The id to open the selected device with now: looked up again by its key, since ids
    // move when devices come and go; the mapper when it has gone.
    int32_t deviceIdNow() const;

  protected:
    void showPopup() override;

  private:
    const platform::WaveDirection direction_;
};

}  // namespace una::app
