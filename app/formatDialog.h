#pragma once
// The format-choice dialog of the main window: it offers the PCM formats (rate, bits,
// channels) that one device of one direction accepts, asking the sound card with query opens,
// and starts on the caller's format. Installed as the audio layer's format chooser. Everything
// here runs on the user-interface thread, except the probe functions, which are safe from any.

#include <QDialog>

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "audio/unaWaveFormat.h"
#include "platform/soundCard.h"

class QComboBox;
class QLabel;

namespace una::app {

// The compression layer's "the user cancelled" result.
inline constexpr MmResult kFormatChoiceCancelled = 515;

// Asks whether the device takes the PCM format; false for any refusal.
using FormatProbeFn =
    std::function<bool(platform::WaveDirection direction, int32_t deviceId, const unaPcmFormat&)>;

// The rates, sizes and channel counts worth offering, in display order.
std::vector<unaPcmFormat> candidatePcmFormats();
// A query open of the process-wide sound card; no stream is kept.
bool probePcmFormat(platform::WaveDirection direction, int32_t deviceId,
                    const unaPcmFormat& format);
// The candidates the device accepts, in candidate order; empty when it accepts none.
std::vector<unaPcmFormat> acceptedPcmFormats(platform::WaveDirection direction, int32_t deviceId,
                                             const FormatProbeFn& probe = probePcmFormat);

// The direction a chooser call is for, from its enumeration flags; output unless the input
// flag alone is set.
platform::WaveDirection directionFromEnumFlags(uint32_t enumFlags);

class FormatDialog : public QDialog {
  public:
    // Offers `accepted` and selects `current` when it is among them (else the first).
    FormatDialog(QWidget* parent, const QString& title, std::vector<unaPcmFormat> accepted,
                 const unaPcmFormat& current);

    // The format the three lists show now; zeros when the device accepts nothing.
    unaPcmFormat chosenFormat() const;
    bool hasFormats() const { return !accepted_.empty(); }

  private:
    void fillRates();
    void fillBits();
    void fillChannels();
    void showDescription();

    std::vector<unaPcmFormat> accepted_;
    QComboBox* rates_ = nullptr;
    QComboBox* bits_ = nullptr;
    QComboBox* channels_ = nullptr;
    QLabel* description_ = nullptr;
    QLabel* note_ = nullptr;
};

// Which device a direction's dialog asks about: the main window answers from its lists.
using FormatDeviceFn = std::function<int32_t(platform::WaveDirection direction)>;

// Installs the chooser that shows FormatDialog over parent (which must outlive the install;
// installFormatDialog(nullptr, {}) removes it). OK fills the record as PCM and gives 0; cancel,
// or a device that accepts nothing, gives kFormatChoiceCancelled and leaves it untouched.
void installFormatDialog(QWidget* parent, FormatDeviceFn deviceFor,
                         FormatProbeFn probe = probePcmFormat);

}  // namespace una::app
