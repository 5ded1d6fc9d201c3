#include "app/mainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QShowEvent>
#include <QSlider>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "app/delayAdjust.h"
#include "app/delayAdjustPanel.h"
#include "app/delaySteering.h"
#include "app/delaySync.h"
#include "app/delayTapPanel.h"
#include "app/delayValue.h"
#include "app/deviceCombo.h"
#include "app/deviceList.h"
#include "app/formatDialog.h"
#include "app/mainSettings.h"
#include "app/remoteLink.h"
#include "app/remotePanel.h"
#include "app/saveEncoding.h"
#include "app/site.h"
#include "app/skinEngine.h"
#include "app/stationDialog.h"
#include "app/windowChrome.h"
#include "app/texts.h"
#include "audio/unaMsAcmStreamDevice.h"
#include "audio/unaWaveInDevice.h"
#include "audio/unaWaveOutDevice.h"
#include "foundation/unaIniFile.h"
#include "stream/stationList.h"

namespace una::app {

// The delay edit: seconds with one decimal place. Enter hands the focus on (which runs the
// exit rule); leaving the edit runs the exit rule.
class DelayEdit : public QDoubleSpinBox {
  public:
    using QDoubleSpinBox::QDoubleSpinBox;
    std::function<void()> onReturn;
    std::function<void()> onExit;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && onReturn) {
            onReturn();
            return;
        }
        QDoubleSpinBox::keyPressEvent(event);
    }
    void focusOutEvent(QFocusEvent* event) override {
        QDoubleSpinBox::focusOutEvent(event);  // takes the typed text first
        if (onExit)
            onExit();
    }
};

// The delay slider in tenths of a second; its focus tells a user's move from the window's.
class DelaySlider : public QSlider {
  public:
    using QSlider::QSlider;
    std::function<void()> onEnter;
    std::function<void()> onExit;

  protected:
    void focusInEvent(QFocusEvent* event) override {
        if (onEnter)
            onEnter();
        QSlider::focusInEvent(event);
    }
    void focusOutEvent(QFocusEvent* event) override {
        if (onExit)
            onExit();
        QSlider::focusOutEvent(event);
    }
};

namespace {

inline constexpr char kWavFilter[] = "WAV files (*.wav)|*.wav|All files (*.*)|*.*";
inline constexpr char kMakerNotice[] = "© Sorvalen Software";

// Qt widgets are owned by their parents; this is the one place that makes them.
template <class W, class... Args>
W* child(QObject* parent, const char* name, Args&&... args) {
    W* widget = new W(std::forward<Args>(args)...);
    widget->setParent(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

template <class W>
W* childWidget(QWidget* parent, const char* name) {
    W* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* groupTitle(QWidget* parent, const char* name) {
    auto* label = childWidget<QLabel>(parent, name);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QFrame* groupFrame(QWidget* parent, const char* name) {
    auto* frame = childWidget<QFrame>(parent, name);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Sunken);
    return frame;
}

QComboBox* deviceList(QWidget* parent, const char* name, platform::WaveDirection direction) {
    auto* list = new DeviceComboBox(direction, parent);
    list->setObjectName(QString::fromLatin1(name));
    list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    list->setMinimumContentsLength(20);
    return list;
}

QToolButton* toolButton(QWidget* parent, const char* name, QStyle::StandardPixmap icon,
                        const char* hint) {
    auto* button = childWidget<QToolButton>(parent, name);
    button->setIcon(parent->style()->standardIcon(icon));
    if (hint)
        button->setToolTip(QString::fromUtf8(hint));
    button->setAutoRaise(false);
    return button;
}

// A button that runs an action and follows its enabled state, keeping its own hint.
void bindButton(QToolButton* button, QAction* action) {
    QObject::connect(button, &QToolButton::clicked, action, &QAction::trigger);
    QObject::connect(action, &QAction::changed, button,
                     [button, action] { button->setEnabled(action->isEnabled()); });
    button->setEnabled(action->isEnabled());
}

QProgressBar* meterBar(QWidget* parent, const char* name) {
    auto* bar = childWidget<QProgressBar>(parent, name);
    bar->setOrientation(Qt::Vertical);
    bar->setRange(0, kMeterMax);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setFixedWidth(14);
    // The bars fill the height of their group instead of asking for their own.
    bar->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Ignored);
    bar->setMinimumHeight(40);
    return bar;
}

// Two bars side by side with "L" and "R" under them.
QWidget* meterPair(QWidget* parent, QProgressBar* left, QProgressBar* right) {
    auto* pair = new QWidget(parent);
    auto* grid = new QGridLayout(pair);
    grid->setContentsMargins(6, 0, 0, 0);
    grid->setHorizontalSpacing(3);
    grid->setVerticalSpacing(1);
    grid->addWidget(left, 0, 0, Qt::AlignHCenter);
    grid->addWidget(right, 0, 1, Qt::AlignHCenter);
    auto* l = new QLabel(QStringLiteral("L"), pair);
    auto* r = new QLabel(QStringLiteral("R"), pair);
    for (QLabel* label : {l, r}) {
        label->setAlignment(Qt::AlignHCenter);
        QFont font = label->font();
        font.setPointSizeF(font.pointSizeF() * 0.8);
        label->setFont(font);
    }
    grid->addWidget(l, 1, 0);
    grid->addWidget(r, 1, 1);
    grid->setRowStretch(0, 1);
    return pair;
}

void setMeter(QProgressBar* bar, int32_t position) {
    // 32767 measures 301; the bar would ignore a value past its range instead of showing full.
    bar->setValue(std::clamp<int32_t>(position, 0, kMeterMax));
}

// The process-wide card when it is one that knows stations (the program installs one at start).
std::shared_ptr<stream::StationSoundCard> stationCard() {
    return std::dynamic_pointer_cast<stream::StationSoundCard>(platform::soundCard());
}

std::string trimmed(const QString& text) {
    return text.trimmed().toStdString();
}

// A folder kept in the settings, possibly written on another system (".\" is the default).
QString settingsFolder(const std::string& stored) {
    QString folder = QString::fromStdString(stored);
    folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return QDir::currentPath();
    return QFileInfo(folder).absoluteFilePath();
}

}  // namespace

QStringList qtNameFilters(const QString& delphiFilter) {
    QStringList parts = delphiFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString text = parts[i];
        if (!text.contains(QLatin1Char('(')))
            text += QStringLiteral(" (") +
                    QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) +
                    QLatin1Char(')');
        filters << text;
    }
    return filters;
}

Tc_form_vo2VazuMain::Tc_form_vo2VazuMain(MainWindowOptions options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)) {
    languageCode.clear();  // until FormCreate loads it
    setObjectName(QStringLiteral("Tc_form_vo2VazuMain"));
    setWindowTitle(QString::fromLatin1(kMainCaption));
    buildActions();
    buildWidgets();
    installFormatDialog(this, [this](platform::WaveDirection direction) {
        return selectedDeviceId(direction == platform::WaveDirection::input
                                    ? c_comboBox_recordingDevice
                                    : c_comboBox_playbackDevice);
    });
    FormCreate();
}

Tc_form_vo2VazuMain::~Tc_form_vo2VazuMain() {
    FormDestroy();
    installFormatDialog(nullptr, {});
    // The children outlive this part of the window: the focus moving while they are deleted
    // must not call back into handlers that are gone.
    tracksegons->onEnter = nullptr;
    tracksegons->onExit = nullptr;
    Currencys->onExit = nullptr;
    Currencys->onReturn = nullptr;
    delayAdjust_->onStep = nullptr;
    steering_.reset();
    for (QObject* object : findChildren<QObject*>())
        object->disconnect(this);
}

void Tc_form_vo2VazuMain::buildActions() {
    auto action = [this](const char* name, const char* text, void (Tc_form_vo2VazuMain::*run)()) {
        QAction* a = child<QAction>(this, name, QString::fromUtf8(text));
        addAction(a);
        if (run)
            connect(a, &QAction::triggered, this, [this, run] { (this->*run)(); });
        return a;
    };
    ac_openIn = action("ac_openIn", "Start recording", &Tc_form_vo2VazuMain::ac_openInExecute);
    ac_closeIn = action("ac_closeIn", "Stop recording", &Tc_form_vo2VazuMain::ac_closeInExecute);
    ac_openOut = action("ac_openOut", "Start playback", &Tc_form_vo2VazuMain::ac_openOutExecute);
    ac_closeOut = action("ac_closeOut", "Stop playback", &Tc_form_vo2VazuMain::ac_closeOutExecute);
    ac_chooseIn = action("ac_chooseIn", "", &Tc_form_vo2VazuMain::ac_chooseInExecute);
    followLanguage(ac_chooseIn, Msg::ChooseRecordingFormat);
    ac_chooseOut = action("ac_chooseOut", "", &Tc_form_vo2VazuMain::ac_chooseOutExecute);
    followLanguage(ac_chooseOut, Msg::ChoosePlaybackFormat);
    // Kept for a multi-channel mixer; executing it does nothing.
    ac_addChannel = action("ac_addChannel", "Add new wave channel", nullptr);
    ac_closeIn->setEnabled(false);
    ac_closeOut->setEnabled(false);
    ac_addChannel->setEnabled(false);
}

void Tc_form_vo2VazuMain::buildWidgets() {
    resize(kDesignWidth, kDesignHeight);
    setMinimumSize(kMinWidth, kMinHeightFull);
    setMaximumSize(kMaxWidth, kMaxHeight);

    // The client area: PanelPlayRecord with every control on the left, PanelWeb on the right.
    auto* central = childWidget<QWidget>(this, "central");
    setCentralWidget(central);
    auto* body = new QHBoxLayout(central);
    body->setContentsMargins(8, 6, 8, 4);
    body->setSpacing(6);

    PanelPlayRecord = childWidget<QWidget>(central, "PanelPlayRecord");
    auto* play = new QVBoxLayout(PanelPlayRecord);
    play->setContentsMargins(0, 0, 0, 0);
    play->setSpacing(3);
    body->addWidget(PanelPlayRecord, 1);

    // The advertising panel's place on the right; hidden until it has something to show.
    // Its content goes into its layout.
    PanelWeb = childWidget<QFrame>(central, "PanelWeb");
    PanelWeb->setFixedWidth(kPanelWebWidth);
    PanelWeb->setFrameShape(QFrame::StyledPanel);
    PanelWeb->setContentsMargins(kPanelWebBorder, kPanelWebBorder, kPanelWebBorder,
                                 kPanelWebBorder);
    auto* webLayout = new QVBoxLayout(PanelWeb);
    webLayout->setContentsMargins(0, 0, 0, 0);
    PanelWeb->hide();
    body->addWidget(PanelWeb);
    buildAdvertPanel();

    // Header: the logo, the manual, the opacity bar, the skin, language and reduce buttons.
    Panellogo = childWidget<QFrame>(PanelPlayRecord, "Panellogo");
    play->addWidget(Panellogo);
    buildChrome();

    // Playback.
    LalbelRep = groupTitle(PanelPlayRecord, "LalbelRep");
    play->addWidget(LalbelRep);
    QFrame* playFrame = groupFrame(PanelPlayRecord, "groupPlayback");
    auto* playGrid = new QGridLayout(playFrame);
    playGrid->setContentsMargins(6, 4, 6, 4);
    playGrid->setSpacing(4);
    c_comboBox_playbackDevice =
        deviceList(playFrame, "c_comboBox_playbackDevice", platform::WaveDirection::output);
    c_sb_waveOutChoose =
        toolButton(playFrame, "c_sb_waveOutChoose", QStyle::SP_FileDialogDetailedView, nullptr);
    followLanguageHint(c_sb_waveOutChoose, Msg::ChoosePlaybackFormat);
    c_sb_waveOutStart = toolButton(playFrame, "c_sb_waveOutStart", QStyle::SP_MediaPlay, nullptr);
    c_sb_waveOutStart->setToolTip(ac_openOut->text());
    c_sb_waveOutStop = toolButton(playFrame, "c_sb_waveOutStop", QStyle::SP_MediaStop, nullptr);
    c_sb_waveOutStop->setToolTip(ac_closeOut->text());
    // The playback side is started and stopped only with the whole chain.
    c_sb_waveOutStart->hide();
    c_sb_waveOutStop->hide();
    c_staticText_outFormat = childWidget<QLabel>(playFrame, "c_staticText_outFormat");
    c_progressBar_outLeft = meterBar(playFrame, "c_progressBar_outLeft");
    c_progressBar_outRight = meterBar(playFrame, "c_progressBar_outRight");
    playGrid->addWidget(c_comboBox_playbackDevice, 0, 0);
    playGrid->addWidget(c_sb_waveOutChoose, 0, 1);
    playGrid->addWidget(c_sb_waveOutStart, 0, 2);
    playGrid->addWidget(c_sb_waveOutStop, 0, 3);
    playGrid->addWidget(c_staticText_outFormat, 1, 0, 1, 2);
    playGrid->addWidget(meterPair(playFrame, c_progressBar_outLeft, c_progressBar_outRight), 0, 4,
                        3, 1);
    playGrid->setColumnStretch(0, 1);
    playGrid->setRowStretch(2, 1);
    play->addWidget(playFrame);

    // Recording.
    Labelsave = groupTitle(PanelPlayRecord, "Labelsave");
    play->addWidget(Labelsave);
    QFrame* recFrame = groupFrame(PanelPlayRecord, "groupRecording");
    auto* recGrid = new QGridLayout(recFrame);
    recGrid->setContentsMargins(6, 4, 6, 4);
    recGrid->setSpacing(4);
    c_comboBox_recordingDevice =
        deviceList(recFrame, "c_comboBox_recordingDevice", platform::WaveDirection::input);
    SpeedButton1 = toolButton(recFrame, "SpeedButton1", QStyle::SP_MediaVolume, nullptr);
    followLanguageHint(SpeedButton1, Msg::InputSelectHint);
    c_sb_waveInChoose =
        toolButton(recFrame, "c_sb_waveInChoose", QStyle::SP_FileDialogDetailedView, nullptr);
    followLanguageHint(c_sb_waveInChoose, Msg::ChooseRecordingFormat);
    c_sb_stations = toolButton(recFrame, "c_sb_stations", QStyle::SP_DriveNetIcon, nullptr);
    followLanguageHint(c_sb_stations, Msg::StationsHint);
    c_staticText_inFormat = childWidget<QLabel>(recFrame, "c_staticText_inFormat");
    // A station's title may be long: it is cut by the window, whole in the hint.
    c_staticText_inFormat->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    c_checkBox_loop2Playback = childWidget<QCheckBox>(recFrame, "c_checkBox_loop2Playback");
    c_checkBox_loop2Playback->setChecked(true);
    c_checkBox_saveIn2File = childWidget<QCheckBox>(recFrame, "c_checkBox_saveIn2File");
    c_edit_waveInFile = childWidget<QLineEdit>(recFrame, "c_edit_waveInFile");
    c_comboBox_saveEncoding = childWidget<QComboBox>(recFrame, "c_comboBox_saveEncoding");
    for (SaveEncoding encoding : kAllSaveEncodings)
        c_comboBox_saveEncoding->addItem(QString::fromUtf8(saveEncodingCaption(encoding).data()),
                                         QString::fromUtf8(saveEncodingName(encoding).data()));
    followLanguageHint(c_comboBox_saveEncoding, Msg::SaveEncodingHint);
    c_speedButton_inFileOpen = toolButton(recFrame, "c_speedButton_inFileOpen",
                                          QStyle::SP_DialogSaveButton, nullptr);
    followLanguageHint(c_speedButton_inFileOpen, Msg::ChooseFileHint);
    c_progressBar_inLeft = meterBar(recFrame, "c_progressBar_inLeft");
    c_progressBar_inRight = meterBar(recFrame, "c_progressBar_inRight");
    auto* recButtons = new QHBoxLayout;
    recButtons->setSpacing(4);
    recButtons->addWidget(SpeedButton1);
    recButtons->addWidget(c_sb_waveInChoose);
    recButtons->addWidget(c_sb_stations);
    recGrid->addWidget(c_comboBox_recordingDevice, 0, 0);
    recGrid->addLayout(recButtons, 0, 1);
    recGrid->addWidget(c_staticText_inFormat, 1, 0, 1, 2);
    recGrid->addWidget(c_checkBox_loop2Playback, 2, 0, 1, 2);
    recGrid->addWidget(c_checkBox_saveIn2File, 3, 0, 1, 2);
    recGrid->addWidget(c_edit_waveInFile, 4, 0);
    recGrid->addWidget(c_speedButton_inFileOpen, 4, 1, Qt::AlignLeft);
    recGrid->addWidget(c_comboBox_saveEncoding, 5, 0);
    recGrid->addWidget(meterPair(recFrame, c_progressBar_inLeft, c_progressBar_inRight), 0, 2, 7,
                       1);
    recGrid->setColumnStretch(0, 1);
    recGrid->setRowStretch(6, 1);
    play->addWidget(recFrame);

    // Delay.
    Labelret = groupTitle(PanelPlayRecord, "Labelret");
    play->addWidget(Labelret);
    QFrame* delayFrame = groupFrame(PanelPlayRecord, "groupDelay");
    auto* delayGrid = new QGridLayout(delayFrame);
    delayGrid->setContentsMargins(6, 4, 6, 4);
    delayGrid->setSpacing(4);
    Panel1 = childWidget<QLabel>(delayFrame, "Panel1");
    Panel1->setStyleSheet(QStringLiteral("QLabel { color: grey; font-weight: bold; }"));
    Panel1->setMinimumHeight(Panel1->fontMetrics().height());
    tracksegons = childWidget<DelaySlider>(delayFrame, "tracksegons");
    tracksegons->setOrientation(Qt::Horizontal);
    tracksegons->setRange(1, kSliderDesignMax);
    tracksegons->setValue(5);
    tracksegons->setSingleStep(1);
    tracksegons->setPageStep(10);
    tracksegons->setTickPosition(QSlider::TicksBelow);
    tracksegons->setTickInterval(10);
    tracksegons->setFocusPolicy(Qt::WheelFocus);
    Currencys = childWidget<DelayEdit>(delayFrame, "Currencys");
    Currencys->setDecimals(1);
    // Wide enough that a typed 500 or -3 reaches the exit rule instead of being refused.
    Currencys->setRange(-9999.9, 99999.9);
    Currencys->setSingleStep(0.1);
    Currencys->setSuffix(QStringLiteral(" s"));
    Currencys->setGroupSeparatorShown(true);
    Currencys->setKeyboardTracking(true);
    Currencys->setAlignment(Qt::AlignRight);
    Currencys->setFixedWidth(
        Currencys->fontMetrics().horizontalAdvance(QStringLiteral("00,000.0 s")) + 40);
    LabelSeg = childWidget<QLabel>(delayFrame, "LabelSeg");
    c_sb_waveInStart = toolButton(delayFrame, "c_sb_waveInStart", QStyle::SP_MediaPlay, nullptr);
    c_sb_waveInStop = toolButton(delayFrame, "c_sb_waveInStop", QStyle::SP_MediaStop, nullptr);
    for (QToolButton* button : {c_sb_waveInStart, c_sb_waveInStop}) {
        button->setIconSize(QSize(24, 24));
        button->setMinimumSize(44, 34);
    }
    delayGrid->addWidget(Panel1, 0, 0, 1, 4);
    delayGrid->addWidget(tracksegons, 1, 0);
    delayGrid->addWidget(Currencys, 1, 1);
    delayGrid->addWidget(c_sb_waveInStart, 1, 2, 2, 1);
    delayGrid->addWidget(c_sb_waveInStop, 1, 3, 2, 1);
    delayGrid->addWidget(LabelSeg, 2, 0, 1, 2);
    delayAdjust_ = new DelayAdjustPanel(delayFrame, this);
    delayAdjust_->onStep = [this](int steps) { delayStep(steps); };
    delayGrid->addWidget(delayAdjust_, 3, 0, 1, 2);
    buildDelaySteering(delayFrame);
    delayGrid->addWidget(delayTaps_, 4, 0, 1, 4);
    delayGrid->setColumnStretch(0, 1);
    play->addWidget(delayFrame);
    play->addStretch(1);

    bindButton(c_sb_waveOutChoose, ac_chooseOut);
    bindButton(c_sb_waveInChoose, ac_chooseIn);
    bindButton(c_sb_waveOutStart, ac_openOut);
    bindButton(c_sb_waveOutStop, ac_closeOut);
    bindButton(c_sb_waveInStart, ac_openIn);
    bindButton(c_sb_waveInStop, ac_closeIn);

    // Status bar: memory, connection, version, maker.
    c_statusBar_main = childWidget<QStatusBar>(this, "c_statusBar_main");
    setStatusBar(c_statusBar_main);
    static constexpr int widths[] = {100, 150, 50, 0};
    static constexpr Qt::Alignment aligns[] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignRight,
                                               Qt::AlignRight};
    for (int i = 0; i < 4; ++i) {
        auto* panel = childWidget<QLabel>(c_statusBar_main,
                                          ("c_statusBar_main_panel" + std::to_string(i)).c_str());
        panel->setAlignment(aligns[i] | Qt::AlignVCenter);
        if (widths[i])
            panel->setMinimumWidth(widths[i]);
        else  // the notice gives way when the window is narrow
            panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        c_statusBar_main->addWidget(panel, i == 3 ? 1 : 0);
        statusPanels_[i] = panel;
    }
    statusPanels_[1]->setText(QStringLiteral("Not connected"));
    statusPanels_[3]->setText(QString::fromUtf8(kMakerNotice));

    showDesignTexts(this, UiWindow::Main);
    // A problem on show in the status bar is said again in the new language.
    onLanguageSwitch(this, [this](std::string_view code) {
        if (shownProblem_ && !c_statusBar_main->currentMessage().isEmpty())
            c_statusBar_main->showMessage(
                QString::fromStdString(chainProblemText(shownProblem_, code)));
    });

    // The WAV file dialog.
    c_saveDialog_main = childWidget<QFileDialog>(this, "c_saveDialog_main");
    c_saveDialog_main->setAcceptMode(QFileDialog::AcceptSave);
    c_saveDialog_main->setFileMode(QFileDialog::AnyFile);
    c_saveDialog_main->setDefaultSuffix(QStringLiteral("wav"));
    c_saveDialog_main->setNameFilters(qtNameFilters(QString::fromLatin1(kWavFilter)));
    c_saveDialog_main->setOption(QFileDialog::DontConfirmOverwrite, false);
    c_saveDialog_main->setOption(QFileDialog::ReadOnly, false);
    c_saveDialog_main->setSizeGripEnabled(true);

    // Timers.
    Timersegons = child<QTimer>(this, "Timersegons");
    Timersegons->setSingleShot(true);
    connect(Timersegons, &QTimer::timeout, this, [this] { ac_openOutExecute(); });
    c_timer_update = child<QTimer>(this, "c_timer_update");
    c_timer_update->setInterval(200);
    connect(c_timer_update, &QTimer::timeout, this, [this] { c_timer_updateTimer(); });

    // Events.
    connect(c_comboBox_playbackDevice, &QComboBox::activated, this,
            [this] { c_comboBox_playbackDeviceChange(); });
    connect(c_comboBox_recordingDevice, &QComboBox::activated, this,
            [this] { c_comboBox_recordingDeviceChange(); });
    connect(c_edit_waveInFile, &QLineEdit::textChanged, this,
            [this] { c_edit_waveInFileChange(); });
    connect(c_checkBox_saveIn2File, &QCheckBox::toggled, this,
            [this] { c_checkBox_saveIn2FileClick(); });
    connect(c_speedButton_inFileOpen, &QToolButton::clicked, this,
            [this] { c_speedButton_inFileOpenClick(); });
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    connect(c_sb_stations, &QToolButton::clicked, this, [this] { c_sb_stationsClick(); });
    connect(tracksegons, &QSlider::valueChanged, this, [this] { tracksegonsChange(); });
    tracksegons->onEnter = [this] { tracksegonsEnter(); };
    tracksegons->onExit = [this] { tracksegonsExit(); };
    Currencys->onExit = [this] { CurrencysExit(); };
    Currencys->onReturn = [this] {
        // Leaving the edit runs the rule. Without the focus to leave (or in a window that is
        // not active, where it cannot move) it runs here, before the slider takes the focus:
        // a focused slider would copy its clamped position back into the edit.
        if (!Currencys->hasFocus())
            CurrencysExit();
        tracksegons->setFocus(Qt::OtherFocusReason);
        if (Currencys->hasFocus())
            CurrencysExit();
    };
}

void Tc_form_vo2VazuMain::FormCreate() {
    programVersion = 1.0;
    adFound = false;
    statusPanels_[2]->setText(QString::fromStdString(versionPanelText(programVersion)));

    settings_ = std::make_unique<unaIniFile>(options_.iniFileName, true, 1000, "settings");
    MainSettings stored;
    stored.load(*settings_);

    outDeviceId = stored.outDeviceId;
    outDeviceName = stored.outDeviceName;
    outFormat = stored.outFormat;
    outFileName = stored.outFileName;

    inDeviceId = stored.inDeviceId;
    inDeviceName = stored.inDeviceName;
    inFormat = stored.inFormat;
    inFileName = stored.inFileName;
    c_edit_waveInFile->setText(QString::fromStdString(stored.inFileName));
    c_checkBox_saveIn2File->setChecked(stored.saveToFile);
    const SaveEncoding encoding =
        parseSaveEncoding(stored.saveEncoding).value_or(SaveEncoding::Pcm);
    c_comboBox_saveEncoding->setCurrentIndex(c_comboBox_saveEncoding->findData(
        QString::fromUtf8(saveEncodingName(encoding).data())));

    Currencys->setValue(stored.delaySeconds());
    CurrencysExit();
    // Loaded only when it agrees with the edit's value, so it is the same delay, finer.
    exactDelayMs_ = stored.exactDelayMs;

    languageCode = stored.language;
    resize(stored.widthApplies() ? static_cast<int32_t>(stored.width) : width(),
           stored.heightApplies() ? static_cast<int32_t>(stored.height) : height());
    move(stored.left, stored.top);

    // Before the lists are filled: a station chosen last time is found by its key.
    stations_ = stream::loadStations(*settings_);
    if (platform::soundCardPending()) {
        awaitSoundCard();
    } else {
        chain_.setupDevices(inFormat, outFormat);
        c_staticText_outFormat->setText(QString::fromStdString(chain_.outFormatText()));
        c_staticText_inFormat->setText(QString::fromStdString(chain_.inFormatText()));
        useStations();
        fillDeviceLists();
        // The server the choice waited for, unless a missing device is said already.
        const std::string said = serverWaitMessage(platform::serverWaitState(), languageCode);
        if (!said.empty() && c_statusBar_main->currentMessage().isEmpty())
            c_statusBar_main->showMessage(QString::fromStdString(said));
    }
    updateControls(ChainSide::Playback);
    updateControls(ChainSide::Recording);

    c_saveDialog_main->setDirectory(settingsFolder(stored.initialSaveDir));
    loadDelayPresets();
    restoreSync(stored);
    // Read only: a packager's address must not be frozen into every user's file.
    setSiteAddressFromSettings(stored.site);

    c_timer_update->start();

    createChrome(QString::fromStdString(stored.skin));

    remote_ = std::make_unique<RemoteControl>(
        nullptr, *settings_,
        [this] {
            return remoteStateOf(chain_, delaySetMs() / 1000.0, languageCode,
                                 {steering_.get(), sync_.get(), delayTaps_->said().toStdString()});
        },
        [this](const DelayCommand& command) { remoteCommand(command); });
    if (options_.remotePort)
        remote_->enableForThisRun(*options_.remotePort);
}

void Tc_form_vo2VazuMain::remoteCommand(const DelayCommand& command) {
    switch (command.kind) {
        case DelayCommand::Kind::Step:
            delayStep(command.steps);
            break;
        case DelayCommand::Kind::Start:
            if (ac_openIn->isEnabled())
                ac_openIn->trigger();
            break;
        case DelayCommand::Kind::Stop:
            if (ac_closeIn->isEnabled())
                ac_closeIn->trigger();
            if (ac_closeOut->isEnabled())
                ac_closeOut->trigger();
            break;
        case DelayCommand::Kind::Set:
        case DelayCommand::Kind::TapRadio:
        case DelayCommand::Kind::TapTv:
        case DelayCommand::Kind::Undo:
        case DelayCommand::Kind::Preset:
            runDelayCommand(command);
            break;
        case DelayCommand::Kind::FollowOn:
        case DelayCommand::Kind::FollowOff:
            if (sync_) {
                sync_->setFollow(command.kind == DelayCommand::Kind::FollowOn);
                showSync({});
            }
            break;
        case DelayCommand::Kind::Bad:
            break;
    }
}

void Tc_form_vo2VazuMain::FormDestroy() {
    if (destroyed_)
        return;
    destroyed_ = true;
    c_timer_update->stop();
    remote_.reset();  // no page steers a window that is going away
    if (settings_) {
        MainSettings current;
        current.outDeviceId = outDeviceId;
        current.outDeviceName = outDeviceName;
        current.outFormat = outFormat;
        current.outFileName = outFileName;
        current.inDeviceId = inDeviceId;
        current.inDeviceName = inDeviceName;
        current.inFormat = inFormat;
        current.inFileName = inFileName;
        current.saveToFile = c_checkBox_saveIn2File->isChecked();
        current.saveEncoding = c_comboBox_saveEncoding->currentData().toString().toStdString();
        current.delayMs = MainSettings::delayMsFromSeconds(Currencys->value());
        current.exactDelayMs = exactDelayMs_;
        keepSync(current);
        current.language = languageCode;
        current.width = static_cast<uint32_t>(width());
        current.height = static_cast<uint32_t>(height());
        current.left = x();
        current.top = y();
        current.skin = SkinData1->skinFile().toStdString();
        current.save(*settings_);
        settings_.reset();
    }
    destroyChrome();
    releaseDevices();
}

void Tc_form_vo2VazuMain::closeEvent(QCloseEvent* event) {
    FormDestroy();
    event->accept();
}

void Tc_form_vo2VazuMain::setInputWindow(QDialog* window) {
    inputWindow_ = window;
}

QString Tc_form_vo2VazuMain::statusPanelText(int panel) const {
    if (panel < 0 || panel >= static_cast<int>(statusPanels_.size()))
        return {};
    return statusPanels_[static_cast<size_t>(panel)]->text();
}

const std::string& Tc_form_vo2VazuMain::settingsFileName() const {
    static const std::string none;
    return settings_ ? settings_->fileName() : none;
}

void Tc_form_vo2VazuMain::useStations() {
    // The stations join the recording devices once the card they sit beside is chosen.
    stream::installStationSoundCard(stations_);
}

void Tc_form_vo2VazuMain::awaitSoundCard() {
    cardChosen_ = false;
    SpeedButton1->setEnabled(false);
    serverWaitTimer_ = new QTimer(this);
    auto poll = [this] {
        const platform::ServerWaitState state = platform::serverWaitState();
        const bool chosen = !platform::soundCardPending();
        if (state.wait != serverWaitShown_) {
            serverWaitShown_ = state.wait;
            const std::string said = serverWaitMessage(state, languageCode);
            if (!said.empty())
                c_statusBar_main->showMessage(QString::fromStdString(said));
        }
        if (chosen) {
            serverWaitTimer_->stop();
            cardChosen();
        }
    };
    connect(serverWaitTimer_, &QTimer::timeout, this, poll);
    serverWaitTimer_->start(100);
}

void Tc_form_vo2VazuMain::cardChosen() {
    if (cardChosen_ || destroyed_)
        return;
    cardChosen_ = true;
    chain_.setupDevices(inFormat, outFormat);
    c_staticText_outFormat->setText(QString::fromStdString(chain_.outFormatText()));
    c_staticText_inFormat->setText(QString::fromStdString(chain_.inFormatText()));
    useStations();
    fillDeviceLists();
    fillSyncDeviceList();
    SpeedButton1->setEnabled(true);
    updateControls(ChainSide::Playback);
    updateControls(ChainSide::Recording);
}

void Tc_form_vo2VazuMain::fillDeviceLists() {
    struct Side {
        QComboBox* list;
        int32_t storedId;
        const std::string& storedName;
        Msg missing;
    };
    QStringList said;
    for (const Side& side :
         {Side{c_comboBox_playbackDevice, outDeviceId, outDeviceName, Msg::SavedOutMissing},
          Side{c_comboBox_recordingDevice, inDeviceId, inDeviceName, Msg::SavedInMissing}}) {
        auto* list = static_cast<DeviceComboBox*>(side.list);
        const auto entries = deviceEntries(list->direction());
        const StoredChoice choice = chooseStored(entries, side.storedName, side.storedId);
        list->fill(entries, choice.index);
        if (choice.missing)
            said << QString::fromStdString(msg(side.missing, languageCode, {side.storedName}));
    }
    if (!said.isEmpty())
        c_statusBar_main->showMessage(said.join(QStringLiteral(". ")));
}

int32_t Tc_form_vo2VazuMain::selectedDeviceId(const QComboBox* list) const {
    return static_cast<const DeviceComboBox*>(list)->deviceIdNow();
}

// A device (or the server) that went away while its side ran: that side stops, and the user is
// told which. A suspended device or a stream following a new default is said and runs on.
void Tc_form_vo2VazuMain::checkLostDevices() {
    const bool inOpen = chain_.isInOpen(), outOpen = chain_.isOutOpen();
    const bool inLost = inOpen && chain_.waveIn()->isDeviceLost();
    bool stop = false;
    const std::vector<std::string> said = deviceWatch_.poll(
        {inOpen, inLost, inOpen ? chain_.waveIn()->deviceState() : platform::DeviceState{},
         c_comboBox_recordingDevice->currentText().toStdString()},
        {outOpen, outOpen && chain_.waveOut()->isDeviceLost(),
         outOpen ? chain_.waveOut()->deviceState() : platform::DeviceState{},
         c_comboBox_playbackDevice->currentText().toStdString()},
        languageCode, stop);
    if (said.empty())
        return;
    if (stop && inLost)
        ac_closeInExecute();
    else if (stop)
        ac_closeOutExecute();
    QStringList lines;
    for (const std::string& line : said)
        lines << QString::fromStdString(line);
    c_statusBar_main->showMessage(lines.join(QStringLiteral(". ")));
}

void Tc_form_vo2VazuMain::showProblem(const ChainProblem& problem) {
    if (!problem)
        return;
    shownProblem_ = problem;
    c_statusBar_main->showMessage(QString::fromStdString(chainProblemText(problem, languageCode)));
}

void Tc_form_vo2VazuMain::ac_openInExecute() {
    c_statusBar_main->clearMessage();
    // A typed value that was never confirmed must not reach the timer unchecked.
    CurrencysExit();

    ChainStartOptions start;
    start.inDeviceId = selectedDeviceId(c_comboBox_recordingDevice);
    start.loop2Playback = c_checkBox_loop2Playback->isChecked();
    start.saveToFile = c_checkBox_saveIn2File->isChecked();
    start.inFileName = trimmed(QString::fromStdString(inFileName));
    const SaveEncoding encoding =
        parseSaveEncoding(c_comboBox_saveEncoding->currentData().toString().toStdString())
            .value_or(SaveEncoding::Pcm);
    start.saveFormatTag = saveEncodingTag(encoding);
    start.saveEncodingCaption = saveEncodingCaption(encoding);
    start.delaySeconds = exactDelayMs_ ? exactDelayMs_ / 1000.0 : Currencys->value();
    start.exactDelay = exactDelayMs_ != 0;
    ChainStartResult result = chain_.startIn(start);

    Timersegons->stop();
    if (result.playbackDelayMs > 0) {
        Timersegons->setInterval(static_cast<int>(
            std::min<uint32_t>(result.playbackDelayMs, static_cast<uint32_t>(INT32_MAX))));
        Timersegons->start();
    }
    if (chain_.isInOpen()) {
        tracksegons->setEnabled(false);
        Currencys->setEnabled(false);
    }
    showProblem(result.problem);
    updateControls(ChainSide::Recording);
}

void Tc_form_vo2VazuMain::ac_openOutExecute() {
    Timersegons->stop();
    if (!chain_.isOutOpen() && !chain_.openOut(selectedDeviceId(c_comboBox_playbackDevice)) &&
        (chain_.lastProblem().kind == ChainProblem::Kind::PlaybackFailed ||
         chain_.lastProblem().kind == ChainProblem::Kind::MixerFailed))
        showProblem(chain_.lastProblem());
    updateControls(ChainSide::Playback);
}

void Tc_form_vo2VazuMain::ac_closeInExecute() {
    tracksegons->setEnabled(true);
    Currencys->setEnabled(true);
    Timersegons->stop();
    chain_.closeIn();
    updateControls(ChainSide::Playback);
    updateControls(ChainSide::Recording);
}

void Tc_form_vo2VazuMain::ac_closeOutExecute() {
    chain_.closeOut();
    updateControls(ChainSide::Playback);
}

void Tc_form_vo2VazuMain::releaseDevices() {
    if (ac_closeIn->isEnabled())
        ac_closeInExecute();
    if (ac_closeOut->isEnabled())
        ac_closeOutExecute();
    Timersegons->stop();
    chain_.releaseDevices();
}

void Tc_form_vo2VazuMain::updateControls(ChainSide side) {
    if (side == ChainSide::Playback) {
        bool open = chain_.isOutOpen();
        ac_closeOut->setEnabled(open);
        ac_addChannel->setEnabled(open);
        ac_openOut->setEnabled(!open && cardChosen_);
        ac_chooseOut->setEnabled(!open && cardChosen_);
        c_comboBox_playbackDevice->setEnabled(!open);
    } else {
        bool open = chain_.isInOpen();
        ac_closeIn->setEnabled(open);
        ac_openIn->setEnabled(!open && cardChosen_);
        ac_chooseIn->setEnabled(!open && cardChosen_);
        c_comboBox_recordingDevice->setEnabled(!open);
        c_sb_stations->setEnabled(!open);
        c_checkBox_saveIn2File->setEnabled(!open);
        c_edit_waveInFile->setEnabled(!open);
        c_speedButton_inFileOpen->setEnabled(!open);
        c_comboBox_saveEncoding->setEnabled(!open);
    }
}

void Tc_form_vo2VazuMain::CurrencysExit() {
    DelayControls controls = delayExitRule(Currencys->value());
    Currencys->setValue(controls.seconds);
    // A value typed over a delay kept to the millisecond replaces it.
    if (exactDelayMs_ && delayMilliseconds(delayExitRule(exactDelayMs_ / 1000.0).seconds) !=
                             delayMilliseconds(controls.seconds))
        exactDelayMs_ = 0;
    // The slider clamps 12.3 s to 120 tenths; with the slider focused (the user's last touch)
    // that clamp would otherwise come back as a user's move and cut the edit to 12.0 s.
    settingSlider_ = true;
    tracksegons->setMaximum(controls.sliderMax);
    // The slider stops at its maximum: above 8 s it can only shorten the delay.
    tracksegons->setValue(controls.sliderPosition);
    settingSlider_ = false;
}

void Tc_form_vo2VazuMain::delayStep(int steps) {
    DelayCommand step;
    step.kind = DelayCommand::Kind::Step;
    step.steps = steps;
    runDelayCommand(step);
}

uint32_t Tc_form_vo2VazuMain::delaySetMs() const {
    return exactDelayMs_ ? exactDelayMs_ : delayMilliseconds(delayExitRule(Currencys->value()).seconds);
}

uint32_t Tc_form_vo2VazuMain::applyDelay(double seconds, bool exact) {
    const double set = exact ? delayWithinBounds(seconds) : delayExitRule(seconds).seconds;
    const uint32_t ms = delayMilliseconds(set);
    // The edit shows the tenth; the millisecond lives beside it.
    Currencys->setValue(set);
    CurrencysExit();
    exactDelayMs_ = exact && !isWholeTenths(ms) ? ms : 0;
    if (chain_.isInOpen() || chain_.isPlaybackPending())
        exact ? chain_.setDelayExact(set) : chain_.setDelay(set);
    return ms;
}

void Tc_form_vo2VazuMain::tracksegonsChange() {
    if (sliderActive && !settingSlider_)
        Currencys->setValue(delayFromSlider(tracksegons->value()));
}

void Tc_form_vo2VazuMain::c_comboBox_playbackDeviceChange() {
    outDeviceId = deviceIdFromIndex(c_comboBox_playbackDevice->currentIndex());
    outDeviceName = static_cast<DeviceComboBox*>(c_comboBox_playbackDevice)->selectedKey();
}

void Tc_form_vo2VazuMain::c_comboBox_recordingDeviceChange() {
    inDeviceId = deviceIdFromIndex(c_comboBox_recordingDevice->currentIndex());
    inDeviceName = static_cast<DeviceComboBox*>(c_comboBox_recordingDevice)->selectedKey();
}

void Tc_form_vo2VazuMain::ac_chooseOutExecute() {
    unaWaveFormat record = makePcmFormat(outFormat);
    MmResult result = unaMsAcmStreamDevice::formatChooser(
        record, ac_chooseOut->text().toStdString(), kFormatChooseInitToWfx,
        kFormatEnumOutput | kFormatEnumHardware);
    if (result != kMmResultOk || !record)
        return;
    const unaPcmFormat chosen{record->samplesPerSec, record->bitsPerSample, record->channels};
    if (!chain_.setOutFormat(chosen) &&
        chain_.lastProblem().kind == ChainProblem::Kind::OutFormatLocked) {
        showProblem(chain_.lastProblem());
        return;
    }
    outFormat = chosen;
    c_staticText_outFormat->setText(QString::fromStdString(chain_.outFormatText()));
}

void Tc_form_vo2VazuMain::ac_chooseInExecute() {
    unaWaveFormat record = makePcmFormat(inFormat);
    MmResult result = unaMsAcmStreamDevice::formatChooser(
        record, ac_chooseIn->text().toStdString(), kFormatChooseInitToWfx,
        kFormatEnumInput | kFormatEnumHardware);
    if (result != kMmResultOk || !record)
        return;
    inFormat = {record->samplesPerSec, record->bitsPerSample, record->channels};
    chain_.setInFormat(inFormat);
    c_staticText_inFormat->setText(QString::fromStdString(chain_.inFormatText()));
}

std::optional<QString> Tc_form_vo2VazuMain::runSaveDialog() {
    for (;;) {
        if (c_saveDialog_main->exec() != QDialog::Accepted ||
            c_saveDialog_main->selectedFiles().isEmpty())
            return std::nullopt;
        QString name = c_saveDialog_main->selectedFiles().front();
        QFileInfo info(name);
        if (info.absoluteDir().exists())
            return name;
        const std::string folder = QDir::toNativeSeparators(info.absolutePath()).toStdString();
        QMessageBox::warning(
            this, c_saveDialog_main->windowTitle(),
            QString::fromStdString(msg(Msg::FolderMissing, languageCode, {folder})));
    }
}

void Tc_form_vo2VazuMain::c_speedButton_inFileOpenClick() {
    std::optional<QString> chosen =
        options_.chooseSaveFile ? options_.chooseSaveFile() : runSaveDialog();
    if (!chosen || chosen->trimmed().isEmpty())
        return;
    inFileName = chosen->toStdString();
    if (c_edit_waveInFile->text() == *chosen)
        c_edit_waveInFileChange();  // the same name again still checks the box
    else
        c_edit_waveInFile->setText(*chosen);
    QString folder = QFileInfo(*chosen).absolutePath();
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    c_saveDialog_main->setDirectory(folder);
    if (settings_)
        MainSettings::saveInitialSaveDir(*settings_, folder.toStdString());
}

void Tc_form_vo2VazuMain::c_edit_waveInFileChange() {
    inFileName = c_edit_waveInFile->text().toStdString();
    // Blanks alone are no name: counting them would pop the file dialog up while typing.
    c_checkBox_saveIn2File->setChecked(!trimmed(c_edit_waveInFile->text()).empty());
}

void Tc_form_vo2VazuMain::c_checkBox_saveIn2FileClick() {
    if (c_checkBox_saveIn2File->isChecked() && trimmed(c_edit_waveInFile->text()).empty()) {
        c_checkBox_saveIn2File->setChecked(false);
        c_speedButton_inFileOpenClick();
    }
}

void Tc_form_vo2VazuMain::SpeedButton1Click() {
    if (inputWindow_)
        inputWindow_->exec();
}

void Tc_form_vo2VazuMain::c_sb_stationsClick() {
    // The choice to follow through the edits; the stored one stays while the user's choice
    // is no station (a device missing since the last run is still wanted back).
    const std::string keyAtOpen =
        static_cast<DeviceComboBox*>(c_comboBox_recordingDevice)->selectedKey();
    StationDialog dialog(this, stations_);
    dialog.onChanged = [this, &keyAtOpen](const StationEdits& edits) {
        return applyStations(edits, keyAtOpen)
                   ? std::string()
                   : msg(Msg::StationNotSaved, languageCode, {settingsFileName()});
    };
    dialog.exec();
}

bool Tc_form_vo2VazuMain::applyStations(const StationEdits& edits, const std::string& keyAtOpen) {
    stations_ = edits.stations();
    const bool saved = !settings_ || stream::saveStations(*settings_, stations_);
    if (auto card = stationCard())
        card->setStations(stations_);
    auto* list = static_cast<DeviceComboBox*>(c_comboBox_recordingDevice);
    const auto entries = deviceEntries(list->direction());
    if (!isStationKey(keyAtOpen)) {
        // The cards' devices come first and keep their places.
        list->fill(entries, list->currentIndex());
        return saved;
    }
    list->fill(entries, std::max(0, indexOfKey(entries, edits.keyAfter(keyAtOpen))));
    c_comboBox_recordingDeviceChange();
    return saved;
}

void Tc_form_vo2VazuMain::showInputStatus() {
    // The card has a status only while a station is open; the choice keeps a station opened
    // elsewhere (the TV's input of the delay finder) out of the recording's place.
    std::optional<stream::StationStatus> status;
    if (isStationKey(static_cast<DeviceComboBox*>(c_comboBox_recordingDevice)->selectedKey())) {
        if (options_.stationStatus)
            status = options_.stationStatus();
        else if (auto card = stationCard())
            status = card->inputStatus();
    }
    // A delay too short for the station's lag runs dry now and then: that goes before the title.
    const std::string lag =
        status ? stationLagWarning(*status, chain_.delayMs() / 1000.0, languageCode) : "";
    const QString text = QString::fromStdString(
        status ? (lag.empty() ? lag : lag + "\n") + stationStatusText(*status, languageCode)
               : chain_.inFormatText());
    // A long title ends in "…" at the label's width (again at each tick, so after a resize too).
    const QString shown =
        status ? c_staticText_inFormat->fontMetrics().elidedText(
                     text.section('\n', 0, 0), Qt::ElideRight,
                     std::max(c_staticText_inFormat->width(), 200))
               : text;
    if (c_staticText_inFormat->text() != shown)
        c_staticText_inFormat->setText(shown);
    c_staticText_inFormat->setToolTip(status ? text : QString());
}

void Tc_form_vo2VazuMain::c_timer_updateTimer() {
    statusPanels_[0]->setText(QString::fromStdString(memoryPanelText()));
    checkLostDevices();
    showInputStatus();
    updateMeters(ChainSide::Playback);
    updateMeters(ChainSide::Recording);
    delayAdjust_->show(chain_.delayFigures(), languageCode);
    showDelaySteering();
    Panel1->setText(bannerLines[nextBannerLine(captionPhase)]);
}

void Tc_form_vo2VazuMain::updateMeters(ChainSide side) {
    ChainMeters meters = chain_.meters();
    if (side == ChainSide::Playback) {
        setMeter(c_progressBar_outLeft, meters.outLeft);
        setMeter(c_progressBar_outRight, meters.outRight);
    } else {
        setMeter(c_progressBar_inLeft, meters.inLeft);
        setMeter(c_progressBar_inRight, meters.inRight);
    }
}

}  // namespace una::app
