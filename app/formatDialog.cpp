#include "app/formatDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

#include "app/language.h"

namespace una::app {

std::vector<unaPcmFormat> candidatePcmFormats() {
    static constexpr uint32_t rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
    static constexpr uint32_t sizes[] = {8, 16, 24, 32};
    std::vector<unaPcmFormat> all;
    for (uint32_t rate : rates)
        for (uint32_t bits : sizes)
            for (uint32_t channels : {1u, 2u})
                all.push_back({rate, bits, channels});
    return all;
}

bool probePcmFormat(platform::WaveDirection direction, int32_t deviceId,
                    const unaPcmFormat& format) {
    unaWaveFormat record = makePcmFormat(format);
    std::unique_ptr<platform::WaveStream> none;
    return platform::soundCard()->open(direction, deviceId, *record.get(), nullptr,
                                       platform::kWaveFormatQuery, none) == platform::kMmNoError;
}

std::vector<unaPcmFormat> acceptedPcmFormats(platform::WaveDirection direction, int32_t deviceId,
                                             const FormatProbeFn& probe) {
    std::vector<unaPcmFormat> accepted;
    for (const unaPcmFormat& format : candidatePcmFormats())
        if (probe(direction, deviceId, format))
            accepted.push_back(format);
    return accepted;
}

platform::WaveDirection directionFromEnumFlags(uint32_t enumFlags) {
    bool input = (enumFlags & kFormatEnumInput) != 0;
    bool output = (enumFlags & kFormatEnumOutput) != 0;
    return input && !output ? platform::WaveDirection::input : platform::WaveDirection::output;
}

namespace {

bool samePcm(const unaPcmFormat& a, const unaPcmFormat& b) {
    return a.samplesPerSec == b.samplesPerSec && a.bitsPerSample == b.bitsPerSample &&
           a.channels == b.channels;
}

QString channelsText(uint32_t channels) {
    if (channels == 1)
        return QStringLiteral("Mono");
    if (channels == 2)
        return QStringLiteral("Stereo");
    return QString::number(channels);
}

// Selects the item carrying value, or the first when none does.
void selectData(QComboBox* box, uint32_t value) {
    int index = box->findData(value);
    box->setCurrentIndex(index >= 0 ? index : 0);
}

// The dialog lives only while it is shown, modally: the language cannot change meanwhile.
QString text(Msg id, std::initializer_list<std::string_view> args = {}) {
    return QString::fromStdString(msg(id, programLanguageCode(), args));
}

uint32_t currentData(const QComboBox* box) {
    return box->count() ? box->currentData().toUInt() : 0;
}

}  // namespace

FormatDialog::FormatDialog(QWidget* parent, const QString& title,
                           std::vector<unaPcmFormat> accepted, const unaPcmFormat& current)
    : QDialog(parent), accepted_(std::move(accepted)) {
    setObjectName(QStringLiteral("formatDialog"));
    setWindowTitle(title);
    setModal(true);

    rates_ = new QComboBox(this);
    rates_->setObjectName(QStringLiteral("formatDialog_rate"));
    bits_ = new QComboBox(this);
    bits_->setObjectName(QStringLiteral("formatDialog_bits"));
    channels_ = new QComboBox(this);
    channels_->setObjectName(QStringLiteral("formatDialog_channels"));
    description_ = new QLabel(this);
    description_->setObjectName(QStringLiteral("formatDialog_description"));
    note_ = new QLabel(this);
    note_->setWordWrap(true);

    auto* form = new QFormLayout;
    form->addRow(text(Msg::SampleRate), rates_);
    form->addRow(text(Msg::BitsPerSample), bits_);
    form->addRow(text(Msg::Channels), channels_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(description_);
    layout->addWidget(note_);
    layout->addWidget(buttons);

    // Start on the caller's format when the device takes it; a refused one is named, so the
    // user sees why the lists start elsewhere.
    unaPcmFormat start = current;
    bool currentAccepted = std::any_of(accepted_.begin(), accepted_.end(),
                                       [&](const unaPcmFormat& f) { return samePcm(f, current); });
    if (accepted_.empty()) {
        note_->setText(text(Msg::NoFormatAccepted));
        buttons->button(QDialogButtonBox::Ok)->setEnabled(false);
    } else if (!currentAccepted) {
        unaWaveFormat record = makePcmFormat(current);
        note_->setText(text(Msg::FormatRefused, {formatToText(record)}));
        start = accepted_.front();
    } else {
        note_->hide();
    }

    fillRates();
    selectData(rates_, start.samplesPerSec);
    fillBits();
    selectData(bits_, start.bitsPerSample);
    fillChannels();
    selectData(channels_, start.channels);
    showDescription();

    connect(rates_, &QComboBox::activated, this, [this] {
        uint32_t bits = currentData(bits_), channels = currentData(channels_);
        fillBits();
        selectData(bits_, bits);
        fillChannels();
        selectData(channels_, channels);
        showDescription();
    });
    connect(bits_, &QComboBox::activated, this, [this] {
        uint32_t channels = currentData(channels_);
        fillChannels();
        selectData(channels_, channels);
        showDescription();
    });
    connect(channels_, &QComboBox::activated, this, [this] { showDescription(); });
}

void FormatDialog::fillRates() {
    rates_->clear();
    for (const unaPcmFormat& f : accepted_)
        if (rates_->findData(f.samplesPerSec) < 0)
            rates_->addItem(QLocale().toString(f.samplesPerSec) + QStringLiteral(" Hz"),
                            f.samplesPerSec);
}

void FormatDialog::fillBits() {
    bits_->clear();
    uint32_t rate = currentData(rates_);
    for (const unaPcmFormat& f : accepted_)
        if (f.samplesPerSec == rate && bits_->findData(f.bitsPerSample) < 0)
            bits_->addItem(QString::number(f.bitsPerSample) + QStringLiteral(" Bit"),
                           f.bitsPerSample);
}

void FormatDialog::fillChannels() {
    channels_->clear();
    uint32_t rate = currentData(rates_), bits = currentData(bits_);
    for (const unaPcmFormat& f : accepted_)
        if (f.samplesPerSec == rate && f.bitsPerSample == bits &&
            channels_->findData(f.channels) < 0)
            channels_->addItem(channelsText(f.channels), f.channels);
}

void FormatDialog::showDescription() {
    unaPcmFormat chosen = chosenFormat();
    if (chosen.samplesPerSec == 0) {
        description_->clear();
        return;
    }
    unaWaveFormat record = makePcmFormat(chosen);
    description_->setText(QString::fromStdString(formatToText(record)));
}

unaPcmFormat FormatDialog::chosenFormat() const {
    return {currentData(rates_), currentData(bits_), currentData(channels_)};
}

void installFormatDialog(QWidget* parent, FormatDeviceFn deviceFor, FormatProbeFn probe) {
    if (!parent) {
        setFormatChooser({});
        return;
    }
    QPointer<QWidget> owner(parent);
    setFormatChooser([owner, deviceFor = std::move(deviceFor), probe = std::move(probe)](
                         unaWaveFormat& format, uint32_t, std::string_view title, uint32_t style,
                         uint32_t enumFlags) -> MmResult {
        if (!owner)
            return kFormatChoiceCancelled;
        platform::WaveDirection direction = directionFromEnumFlags(enumFlags);
        int32_t deviceId = deviceFor ? deviceFor(direction) : platform::kWaveMapper;

        unaPcmFormat current{44100, 16, 2};
        if (format && (style & kFormatChooseInitToWfx))
            current = {format->samplesPerSec, format->bitsPerSample, format->channels};

        std::vector<unaPcmFormat> accepted;
        {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            accepted = acceptedPcmFormats(direction, deviceId, probe);
            QApplication::restoreOverrideCursor();
        }
        FormatDialog dialog(owner, QString::fromUtf8(title.data(), qsizetype(title.size())),
                            std::move(accepted), current);
        if (dialog.exec() != QDialog::Accepted || !dialog.hasFormats())
            return kFormatChoiceCancelled;
        unaPcmFormat chosen = dialog.chosenFormat();
        fillPcmFormat(format, chosen.samplesPerSec, chosen.bitsPerSample, chosen.channels);
        return kMmResultOk;
    });
}

}  // namespace una::app
