#include "app/inputWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <poll.h>

#include "app/language.h"
#include "app/meters.h"
#include "audio/unaWaveDevices.h"
#include "audio/unaWaveInDevice.h"
#include "dsp_mixer_codec/unaMsMixer.h"
#include "platform/mixer.h"
#include "platform/serverWait.h"

namespace una::app {

namespace {

constexpr int kLevelTimerMs = 150;
constexpr uint32_t kOpenCloseTimeoutMs = 10000;

// Qt widgets are owned by their parents; this is the one place that makes them.
template <class W>
W* childWidget(QWidget* parent, const char* name) {
    W* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

template <class W>
W* childObject(QObject* parent, const char* name) {
    W* object = new W(parent);
    object->setObjectName(QString::fromLatin1(name));
    return object;
}

QSocketNotifier* socketWatcher(qintptr fd, QSocketNotifier::Type type, QObject* parent) {
    return new QSocketNotifier(fd, type, parent);
}

template <class L>
L* layoutOf(QWidget* owner) {
    return new L(owner);
}

template <class L>
L* subLayout() {
    return new L;
}

// A sentence in the program's language.
QString text(Msg id) {
    return QString::fromStdString(msg(id, programLanguageCode()));
}

// Marks the recording sources shown as "<Untitled Line>", whose text follows the language.
constexpr int kUntitledRole = Qt::UserRole + 1;

QString fromWide(const std::wstring& s) {
    return QString::fromStdWString(s);
}

// The Tag of a bar or a mute box.
int tagOf(const QObject* object) {
    return object->property("Tag").toInt();
}

void setTag(QObject* object, int tag) {
    object->setProperty("Tag", tag);
}

QSlider* volumeBar(QWidget* parent, const char* name, int tag, Qt::Orientation orientation) {
    auto* bar = childWidget<QSlider>(parent, name);
    bar->setOrientation(orientation);
    bar->setRange(0, 100);
    bar->setPageStep(10);
    bar->setTickPosition(orientation == Qt::Vertical ? QSlider::TicksRight : QSlider::TicksBelow);
    bar->setTickInterval(10);
    setTag(bar, tag);
    return bar;
}

QProgressBar* levelBar(QWidget* parent, const char* name) {
    auto* bar = childWidget<QProgressBar>(parent, name);
    bar->setOrientation(Qt::Horizontal);
    bar->setRange(0, kMeterMax);
    bar->setValue(0);
    bar->setTextVisible(false);
    return bar;
}

// A push button that runs the action and follows its enabled state. Its caption is its own:
// the language switch sets it, and the action's changes must not undo that.
QPushButton* actionButton(QWidget* parent, const char* name, QAction* action) {
    auto* button = childWidget<QPushButton>(parent, name);
    auto follow = [button, action] { button->setEnabled(action->isEnabled()); };
    follow();
    QObject::connect(action, &QAction::changed, button, follow);
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    return button;
}

QFrame* groupFrame(QWidget* parent, const char* name) {
    auto* frame = childWidget<QFrame>(parent, name);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Sunken);
    return frame;
}

}  // namespace

Tc_form_main::Tc_form_main(QWidget* parent, InputWindowOptions options)
    : QDialog(parent), options_(std::move(options)) {
    setObjectName(QStringLiteral("Tc_form_main"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    buildWidgets();
    if (!platform::soundCardPending()) {
        formCreate();
        return;
    }
    // Its recorder and mixers read the card, which a slow sound server keeps being chosen: made
    // once the choice is, so the program's windows show meanwhile.
    auto* wait = new QTimer(this);
    connect(wait, &QTimer::timeout, this, [this, wait] {
        if (platform::soundCardPending())
            return;
        wait->stop();
        if (!destroying_)
            formCreate();
    });
    wait->start(100);
}

Tc_form_main::~Tc_form_main() {
    formDestroy();
}

void Tc_form_main::buildWidgets() {
    auto* top = layoutOf<QVBoxLayout>(this);

    // The mixer list and the panel button.
    auto* mixerRow = subLayout<QHBoxLayout>();
    Label5 = childWidget<QLabel>(this, "Label5");
    c_comboBox_mixerIndex = childWidget<QComboBox>(this, "c_comboBox_mixerIndex");
    c_comboBox_mixerIndex->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    c_comboBox_mixerIndex->setMinimumContentsLength(24);
    Label5->setBuddy(c_comboBox_mixerIndex);
    ImageMixer = childWidget<QToolButton>(this, "ImageMixer");
    ImageMixer->setIcon(style()->standardIcon(QStyle::SP_MediaVolume));
    followLanguage(ImageMixer, Msg::MixerPicture);
    ImageMixer->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    ImageMixer->setAutoRaise(true);
    mixerRow->addWidget(Label5);
    mixerRow->addWidget(c_comboBox_mixerIndex, 1);
    mixerRow->addWidget(ImageMixer);
    top->addLayout(mixerRow);

    auto* sides = subLayout<QHBoxLayout>();

    // Playback: the destination's own volume, then the chosen source's volume and mute.
    QFrame* playFrame = groupFrame(this, "groupPlayback");
    auto* playGrid = layoutOf<QGridLayout>(playFrame);
    c_label_out = childWidget<QLabel>(playFrame, "c_label_out");
    c_trackBar_outMain = volumeBar(playFrame, "c_trackBar_outMain", 0, Qt::Vertical);
    c_comboBox_outConn = childWidget<QComboBox>(playFrame, "c_comboBox_outConn");
    c_trackBar_out = volumeBar(playFrame, "c_trackBar_out", 1, Qt::Horizontal);
    c_checkBox_outMute = childWidget<QCheckBox>(playFrame, "c_checkBox_outMute");
    c_label_out->setBuddy(c_trackBar_outMain);
    playGrid->addWidget(c_label_out, 0, 0, 1, 2);
    playGrid->addWidget(c_trackBar_outMain, 1, 0, 4, 1);
    playGrid->addWidget(c_comboBox_outConn, 2, 1);
    playGrid->addWidget(c_trackBar_out, 3, 1);
    playGrid->addWidget(c_checkBox_outMute, 4, 1);
    playGrid->setRowStretch(1, 1);
    playGrid->setColumnStretch(1, 1);

    // Recording: the destination's own volume, the source choice and the source's controls.
    QFrame* recFrame = groupFrame(this, "groupRecording");
    auto* recGrid = layoutOf<QGridLayout>(recFrame);
    c_label_in = childWidget<QLabel>(recFrame, "c_label_in");
    c_trackBar_inMain = volumeBar(recFrame, "c_trackBar_inMain", 2, Qt::Vertical);
    c_checkBox_micForce = childWidget<QCheckBox>(recFrame, "c_checkBox_micForce");
    Label1 = childWidget<QLabel>(recFrame, "Label1");
    c_comboBox_inConn = childWidget<QComboBox>(recFrame, "c_comboBox_inConn");
    Label1->setBuddy(c_comboBox_inConn);
    c_trackBar_in = volumeBar(recFrame, "c_trackBar_in", 3, Qt::Horizontal);
    c_checkBox_inMute = childWidget<QCheckBox>(recFrame, "c_checkBox_inMute");
    c_checkBox_inMute->setChecked(true);
    c_label_in->setBuddy(c_trackBar_inMain);
    recGrid->addWidget(c_label_in, 0, 0, 1, 2);
    recGrid->addWidget(c_trackBar_inMain, 1, 0, 5, 1);
    recGrid->addWidget(c_checkBox_micForce, 1, 1);
    recGrid->addWidget(Label1, 2, 1);
    recGrid->addWidget(c_comboBox_inConn, 3, 1);
    recGrid->addWidget(c_trackBar_in, 4, 1);
    recGrid->addWidget(c_checkBox_inMute, 5, 1);
    recGrid->setColumnStretch(1, 1);

    sides->addWidget(playFrame, 1);
    sides->addWidget(recFrame, 1);
    top->addLayout(sides, 1);

    // The test recording: two level bars and the buttons of its two actions.
    auto* testGrid = subLayout<QGridLayout>();
    Label3 = childWidget<QLabel>(this, "Label3");
    Label4 = childWidget<QLabel>(this, "Label4");
    c_progressBar_left = levelBar(this, "c_progressBar_left");
    c_progressBar_right = levelBar(this, "c_progressBar_right");
    a_record = childObject<QAction>(this, "a_record");
    a_stop = childObject<QAction>(this, "a_stop");
    a_stop->setEnabled(false);
    c_button_recStart = actionButton(this, "c_button_recStart", a_record);
    c_button_recStop = actionButton(this, "c_button_recStop", a_stop);
    testGrid->addWidget(Label3, 0, 0);
    testGrid->addWidget(c_progressBar_left, 0, 1);
    testGrid->addWidget(Label4, 1, 0);
    testGrid->addWidget(c_progressBar_right, 1, 1);
    testGrid->addWidget(c_button_recStart, 0, 2);
    testGrid->addWidget(c_button_recStop, 1, 2);
    testGrid->setColumnStretch(1, 1);
    top->addLayout(testGrid);

    c_timer_update = childObject<QTimer>(this, "c_timer_update");
    c_timer_update->setInterval(kLevelTimerMs);
    c_timer_update->stop();

    showDesignTexts(this, UiWindow::Input);
    onLanguageSwitch(this, [this](std::string_view code) {
        const QString untitled = QString::fromStdString(msg(Msg::UntitledLine, code));
        for (int i = 0; i < c_comboBox_inConn->count(); ++i)
            if (c_comboBox_inConn->itemData(i, kUntitledRole).toBool())
                c_comboBox_inConn->setItemText(i, untitled);
    });

    // Lists react to the user's choice only; the window runs the handlers itself after
    // choosing an item in code.
    connect(c_comboBox_mixerIndex, &QComboBox::activated, this,
            [this] { c_comboBox_mixerIndexChange(); });
    connect(c_comboBox_inConn, &QComboBox::activated, this, [this] { c_comboBox_inConnChange(); });
    connect(c_comboBox_outConn, &QComboBox::activated, this,
            [this] { c_comboBox_outConnChange(); });
    for (QSlider* bar : {c_trackBar_outMain, c_trackBar_out, c_trackBar_inMain, c_trackBar_in})
        connect(bar, &QSlider::valueChanged, this, [this, bar] { c_voumeBar_change(bar); });
    // Every change of the check state, also one made in code, reaches the handlers; they
    // write only while the box is enabled.
    connect(c_checkBox_inMute, &QCheckBox::toggled, this, [this] { c_checkBox_inMuteClick(); });
    connect(c_checkBox_outMute, &QCheckBox::toggled, this, [this] { c_checkBox_outMuteClick(); });
    connect(c_checkBox_micForce, &QCheckBox::clicked, this, [this] { c_checkBox_micForceClick(); });
    connect(a_record, &QAction::triggered, this, [this] { a_recordExecute(); });
    connect(a_stop, &QAction::triggered, this, [this] { a_stopExecute(); });
    connect(c_timer_update, &QTimer::timeout, this, [this] { c_timer_updateTimer(); });
    connect(ImageMixer, &QToolButton::clicked, this, [this] { ImageMixerClick(); });
}

// ---- life cycle

void Tc_form_main::formCreate() {
    makeTestWaveIn(platform::kWaveMapper);
    c_comboBox_mixerIndex->clear();
    mixerSystem = make<unaMsMixerSystem>(true, options_.mixer);
    const int32_t count = mixerSystem->getMixerCount();
    if (count > 0) {
        for (int32_t i = 0; i < count; ++i) {
            mixerSystem->selectMixer(i);
            c_comboBox_mixerIndex->addItem(fromWide(mixerSystem->getMixerName()));
        }
        c_comboBox_mixerIndex->setCurrentIndex(0);
    }
    c_comboBox_mixerIndexChange();
}

void Tc_form_main::formShow() {
    c_timer_update->start();
}

bool Tc_form_main::formCloseQuery() {
    c_timer_update->stop();
    return true;
}

void Tc_form_main::formDestroy() {
    if (destroying_)
        return;
    destroying_ = true;
    c_timer_update->stop();
    unwatchNotifications();
    mixerSystem.reset();
    testWaveIn.reset();
}

void Tc_form_main::showEvent(QShowEvent* event) {
    if (!centred_) {
        centred_ = true;
        adjustSize();
        if (QScreen* s = screen())
            move(s->availableGeometry().center() - rect().center());
    }
    QDialog::showEvent(event);
    formShow();
}

// Esc and the close box both hide a dialog; the timer runs only while it is shown.
void Tc_form_main::hideEvent(QHideEvent* event) {
    c_timer_update->stop();
    QDialog::hideEvent(event);
}

void Tc_form_main::closeEvent(QCloseEvent* event) {
    if (formCloseQuery())
        QDialog::closeEvent(event);
    else
        event->ignore();
}

void Tc_form_main::makeTestWaveIn(int32_t deviceId) {
    if (testWaveIn && testWaveIn->deviceId == deviceId)
        return;
    // The device number is fixed at construction; another device is another recorder.
    testWaveIn.reset();
    testWaveIn = make<unaWaveInDevice>(deviceId, false, false, 1);
    testWaveIn->setPcmFormat(44100, 16, 2);
    testWaveIn->setCalcVolume(true);
}

// ---- the mixer

void Tc_form_main::c_comboBox_mixerIndexChange() {
    selectMixerIndex(c_comboBox_mixerIndex->currentIndex());
}

void Tc_form_main::selectMixerIndex(int32_t index) {
    a_stop->trigger();

    unwatchNotifications();
    c_comboBox_inConn->clear();
    c_comboBox_outConn->clear();
    for (QWidget* w : std::initializer_list<QWidget*>{c_comboBox_inConn, c_comboBox_outConn,
                                                      c_checkBox_micForce, c_trackBar_in,
                                                      c_trackBar_out})
        w->setEnabled(false);
    // Control ids are per mixer: what the bars and boxes stood for on the previous one must
    // not catch this one's changes.
    for (BarBinding& b : barBindings)
        b.controlId = -1;
    setTag(c_checkBox_inMute, -1);
    setTag(c_checkBox_outMute, -1);

    if (index >= 0 && index < mixerSystem->getMixerCount()) {
        mixerSystem->selectMixer(index, [this](uint32_t id) { mixerControlChangeMessage(id); });
        inDest = mixerSystem->getDestinationIndex(false, 0);
        outDest = mixerSystem->getDestinationIndex(true, 0);
        watchNotifications();
    } else {
        mixerSystem->selectMixer(-1);
        bindBar(c_trackBar_inMain, 0, true, -1);
        bindBar(c_trackBar_outMain, 0, true, -1);
        c_comboBox_outConnChange();
        c_comboBox_inConnChange();
        inDest = -1;
        outDest = -1;
    }

    // Recording side.
    if (inDest < 0) {
        c_label_in->setText(text(Msg::NoSuchLine));
        c_trackBar_inMain->setEnabled(false);
        c_trackBar_in->setEnabled(false);
        bindBar(c_trackBar_inMain, 0, false, -1);
        bindBar(c_trackBar_in, 0, false, -1);
        c_trackBar_inMain->setValue(0);
        c_trackBar_in->setValue(0);
        c_comboBox_inConn->clear();
        c_comboBox_inConn->setEnabled(false);
        // No recording line: nothing is muted.
        c_checkBox_inMute->setEnabled(false);
        c_checkBox_inMute->setChecked(false);
    } else {
        c_label_in->setText(QStringLiteral("&") + fromWide(mixerSystem->getDestinationName(inDest, false)));
        bindBar(c_trackBar_inMain, inDest, true, -1);
        const int32_t sources = mixerSystem->getConnectionCount(inDest);
        for (int32_t i = 0; i < sources; ++i) {
            const std::wstring name = mixerSystem->getLineName(inDest, i, false);
            c_comboBox_inConn->addItem(name.empty() ? text(Msg::UntitledLine) : fromWide(name));
            c_comboBox_inConn->setItemData(i, name.empty(), kUntitledRole);
        }
        if (sources > 0) {
            c_comboBox_inConn->setEnabled(true);
            c_checkBox_micForceClick();
        } else {
            // A recording side without sources (PulseAudio's plugin): the mute box stands for
            // the destination's own mute.
            c_comboBox_inConnChange();
        }
    }

    // Playback side.
    if (outDest < 0) {
        c_label_out->setText(text(Msg::NoSuchLine));
        c_trackBar_outMain->setEnabled(false);
        c_trackBar_out->setEnabled(false);
        bindBar(c_trackBar_outMain, 0, false, -1);
        bindBar(c_trackBar_out, 0, false, -1);
        c_trackBar_outMain->setValue(0);
        c_trackBar_out->setValue(0);
        c_comboBox_outConn->clear();
        c_comboBox_outConn->setEnabled(false);
        c_checkBox_outMute->setEnabled(false);
        c_checkBox_outMute->setChecked(true);
    } else {
        c_label_out->setText(QStringLiteral("&") + fromWide(mixerSystem->getDestinationName(outDest, false)));
        bindBar(c_trackBar_outMain, outDest, true, -1);
        const int32_t sources = mixerSystem->getConnectionCount(outDest);
        for (int32_t i = 0; i < sources; ++i)
            c_comboBox_outConn->addItem(fromWide(mixerSystem->getLineName(outDest, i, false)));
        if (sources > 0) {
            c_comboBox_outConn->setEnabled(true);
            c_comboBox_outConn->setCurrentIndex(0);
        }
        c_comboBox_outConnChange();
    }

    const int32_t waveIn = mixerSystem->getWaveDeviceIndex(true, false);
    if (waveIn < 0) {
        a_record->setEnabled(false);
        if (const std::optional<Msg> problem = waveInProblem(waveIn))
            showError(text(Msg::RecordingDisabled), text(*problem));
    } else {
        a_record->setEnabled(true);
        makeTestWaveIn(waveIn);
    }
}

void Tc_form_main::bindBar(QSlider* bar, int32_t dest, bool allowDestinationLine, int32_t conn) {
    BarBinding& b = barBindings.at(tagOf(bar));
    b.dest = dest;
    b.conn = conn;
    b.controlId = mixerSystem->getVolumeControlId(dest, conn);
    b.live = conn >= 0;
    const bool enabled = !(b.controlId < 0 || (conn < 0 && !allowDestinationLine));
    bar->setEnabled(enabled);
    if (enabled)
        onControlChange(b.controlId);
    else
        bar->setValue(0);
}

bool Tc_form_main::refreshBar(QSlider* bar, int64_t controlId) {
    BarBinding& b = barBindings.at(tagOf(bar));
    if (!barStandsFor(b, bar->isEnabled(), controlId))
        return false;
    // Not live while the position follows the mixer, so the move is not written back.
    b.live = false;
    bar->setValue(mixerSystem->getLineVolume(b.dest, b.conn));
    b.live = true;
    return true;
}

void Tc_form_main::onControlChange(int64_t controlId) {
    // A negative id is "no control": nothing of ours stands for it.
    if (controlId < 0)
        return;
    for (QSlider* bar : {c_trackBar_in, c_trackBar_out, c_trackBar_inMain, c_trackBar_outMain})
        if (refreshBar(bar, controlId))
            return;
    if (controlId == tagOf(c_checkBox_inMute)) {
        refreshMute(c_checkBox_inMute, inDest, inConn);
        return;
    }
    if (controlId == tagOf(c_checkBox_outMute)) {
        refreshMute(c_checkBox_outMute, outDest, outConn);
        return;
    }
    const int32_t source = mixerSystem->getRecordingSource();
    if (source >= 0 && source != inConn) {
        c_comboBox_inConn->setCurrentIndex(source);
        c_comboBox_inConnChange();
    }
}

// Disabled while the check state follows the mixer, so the click handler does not write it
// back. A line that has no mute control (any more) leaves the box disabled and unchecked.
void Tc_form_main::refreshMute(QCheckBox* box, int32_t dest, int32_t conn) {
    box->setEnabled(false);
    const int32_t muted = mixerSystem->getLineMute(dest, conn);
    box->setChecked(muted == 1);
    if (muted >= 0)
        box->setEnabled(true);
}

void Tc_form_main::mixerControlChangeMessage(uint32_t controlId) {
    onControlChange(controlId);
}

void Tc_form_main::c_voumeBar_change(QSlider* bar) {
    const BarBinding& b = barBindings.at(tagOf(bar));
    if (b.live)
        mixerSystem->setLineVolume(b.dest, b.conn, bar->value());
}

void Tc_form_main::c_checkBox_inMuteClick() {
    if (c_checkBox_inMute->isEnabled())
        mixerSystem->setLineMute(inDest, inConn, c_checkBox_inMute->isChecked());
}

void Tc_form_main::c_checkBox_outMuteClick() {
    if (c_checkBox_outMute->isEnabled())
        mixerSystem->setLineMute(outDest, outConn, c_checkBox_outMute->isChecked());
}

void Tc_form_main::c_comboBox_inConnChange() {
    inConn = c_comboBox_inConn->currentIndex();
    bindBar(c_trackBar_in, inDest, false, inConn);
    if (inConn >= 0)
        mixerSystem->selectRecordingSource(inConn, false);
    const int32_t mute = mixerSystem->getMuteControlId(inDest, inConn);
    setTag(c_checkBox_inMute, mute);
    // The box follows the line: usable exactly when the line has a mute control (a box once
    // disabled would otherwise never come back), and not muted when it has none.
    if (mute >= 0) {
        c_checkBox_inMute->setEnabled(true);
        onControlChange(mute);
    } else {
        c_checkBox_inMute->setEnabled(false);
        c_checkBox_inMute->setChecked(false);
    }
}

void Tc_form_main::c_comboBox_outConnChange() {
    outConn = c_comboBox_outConn->currentIndex();
    bindBar(c_trackBar_out, outDest, false, outConn);
    // Without sources (outConn -1) the box stands for the destination's own mute.
    const int32_t mute = mixerSystem->getMuteControlId(outDest, outConn);
    setTag(c_checkBox_outMute, mute);
    if (mute >= 0) {
        c_checkBox_outMute->setEnabled(true);
        onControlChange(mute);
    } else {
        // A playback line without a mute control shows as muted.
        c_checkBox_outMute->setEnabled(false);
        c_checkBox_outMute->setChecked(true);
    }
}

void Tc_form_main::c_checkBox_micForceClick() {
    const int32_t source =
        c_checkBox_micForce->isChecked()
            ? mixerSystem->findConnection(inDest, platform::kMixerSrcMicrophone, true)
            : mixerSystem->getRecordingSource();
    c_comboBox_inConn->setCurrentIndex(source);
    c_comboBox_inConnChange();
}

// ---- change notifications

void Tc_form_main::watchNotifications() {
    unwatchNotifications();
    for (const pollfd& p : mixerSystem->notificationDescriptors()) {
        auto watch = [&](QSocketNotifier::Type type) {
            QSocketNotifier* notifier = socketWatcher(p.fd, type, this);
            connect(notifier, &QSocketNotifier::activated, this, [this] {
                if (mixerSystem)
                    mixerSystem->dispatchNotifications();
            });
            notifiers_.push_back(notifier);
        };
        if (p.events & POLLIN)
            watch(QSocketNotifier::Read);
        if (p.events & POLLOUT)
            watch(QSocketNotifier::Write);
        if (p.events & POLLPRI)
            watch(QSocketNotifier::Exception);
    }
}

void Tc_form_main::unwatchNotifications() {
    // The mixer closes the descriptors with the old mixer: stop watching them at once.
    for (QSocketNotifier* n : notifiers_) {
        n->setEnabled(false);
        n->deleteLater();
    }
    notifiers_.clear();
}

// ---- the test recording

void Tc_form_main::a_recordExecute() {
    const MmResult result = testWaveIn->open(false, kOpenCloseTimeoutMs, 0);
    if (!testWaveIn->isOpen()) {
        const std::string reason = getInErrorText(result);
        showError(QGuiApplication::applicationDisplayName(),
                  text(Msg::UnableToOpenWaveIn) + QString::fromStdString(reason));
        return;
    }
    updateTestControls();
}

void Tc_form_main::a_stopExecute() {
    testWaveIn->close(kOpenCloseTimeoutMs);
    updateTestControls();
}

void Tc_form_main::updateTestControls() {
    a_record->setEnabled(!testWaveIn->isOpen());
    a_stop->setEnabled(!a_record->isEnabled());
}

void Tc_form_main::c_timer_updateTimer() {
    if (destroying_ || !testWaveIn)
        return;
    c_progressBar_left->setValue(meterPosition(testWaveIn->getVolume(0)));
    c_progressBar_right->setValue(meterPosition(testWaveIn->getVolume(1)));
}

// ---- the desktop's recording-volume panel

void Tc_form_main::ImageMixerClick() {
    auto find = [this](std::string_view name) {
        const QString program = QString::fromUtf8(name.data(), qsizetype(name.size()));
        const QString path = options_.findExecutable
                                 ? options_.findExecutable(program)
                                 : QStandardPaths::findExecutable(program);
        return path.toStdString();
    };
    const std::optional<ProgramCommand> command = mixerPanelCommand(find);
    bool started = false;
    if (command) {
        QStringList arguments;
        for (const std::string& a : command->arguments)
            arguments << QString::fromStdString(a);
        const QString program = QString::fromStdString(command->program);
        started = options_.startProgram ? options_.startProgram(program, arguments)
                                        : QProcess::startDetached(program, arguments);
    }
    if (!started)
        showError(ImageMixer->toolTip(), text(Msg::NoMixerPanel));
}

void Tc_form_main::showError(const QString& caption, const QString& message) {
    if (options_.showError)
        options_.showError(this, caption, message);
    else
        QMessageBox::critical(this, caption, message);
}

}  // namespace una::app
