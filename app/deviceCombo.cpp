#include "app/deviceCombo.h"

namespace una::app {

DeviceComboBox::DeviceComboBox(platform::WaveDirection direction, QWidget* parent)
    : QComboBox(parent), direction_(direction) {}

void DeviceComboBox::fill(const std::vector<DeviceEntry>& entries, int index) {
    clear();
    for (const DeviceEntry& entry : entries) {
        addItem(QString::fromStdString(entry.name), entry.data);
        setItemData(count() - 1, QString::fromStdString(entry.key), kKeyRole);
        // Long names are cut by the list's width; the whole name stays readable here.
        setItemData(count() - 1, QString::fromStdString(entry.name), Qt::ToolTipRole);
    }
    setCurrentIndex(index >= 0 && index < count() ? index : 0);
}

void DeviceComboBox::refresh() {
    const std::string key = selectedKey();
    const auto entries = deviceEntries(direction_);
    fill(entries, key.empty() ? currentIndex() : std::max(0, indexOfKey(entries, key)));
}

std::string DeviceComboBox::selectedKey() const {
    return currentData(kKeyRole).toString().toStdString();
}

int32_t DeviceComboBox::deviceIdNow() const {
    const std::string key = selectedKey();
    if (key.empty()) {
        const QVariant data = currentData();
        return data.isValid() ? deviceIdFromData(data.toInt()) : platform::kWaveMapper;
    }
    const auto entries = deviceEntries(direction_);
    const int32_t index = indexOfKey(entries, key);
    return index < 0 ? platform::kWaveMapper : deviceIdFromIndex(index);
}

void DeviceComboBox::showPopup() {
    refresh();
    QComboBox::showPopup();
}

}  // namespace una::app
