#include "app/delayTapPanel.h"

#include <QComboBox>
#include <QGridLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QToolButton>

#include "app/delayValue.h"
#include "app/language.h"
#include "app/texts.h"

namespace una::app {

DelayTapPanel::DelayTapPanel(QWidget* parent, QWidget* window) : QWidget(parent) {
    setObjectName(QStringLiteral("c_panel_delayTaps"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(4);
    auto button = [this](const char* name, Msg caption, Msg hint) {
        auto* b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(name));
        followLanguage(b, caption);
        followLanguageHint(b, hint);
        return b;
    };
    radio_ = button("c_speedButton_tapRadio", Msg::TapRadioCaption, Msg::TapRadioHint);
    tv_ = button("c_speedButton_tapTv", Msg::TapTvCaption, Msg::TapTvHint);
    undo_ = button("c_speedButton_tapUndo", Msg::TapUndoCaption, Msg::TapUndoHint);
    undo_->setEnabled(false);
    connect(radio_, &QToolButton::clicked, this, [this] { command(DelayCommand::Kind::TapRadio); });
    connect(tv_, &QToolButton::clicked, this, [this] { command(DelayCommand::Kind::TapTv); });
    connect(undo_, &QToolButton::clicked, this, [this] { command(DelayCommand::Kind::Undo); });

    delaySet_ = new QLabel(this);
    delaySet_->setObjectName(QStringLiteral("c_label_delaySet"));
    said_ = new QLabel(this);
    said_->setObjectName(QStringLiteral("c_label_tapSaid"));
    said_->setWordWrap(true);

    presets_ = new QComboBox(this);
    presets_->setObjectName(QStringLiteral("c_comboBox_delayPreset"));
    presets_->setEditable(true);
    presets_->setInsertPolicy(QComboBox::NoInsert);
    presets_->lineEdit()->setMaxLength(static_cast<int>(kMaxPresetNameLength));
    followLanguageHint(presets_, Msg::PresetListHint);
    // Picking an entry of the list uses it; typing only names the next one to keep.
    connect(presets_, &QComboBox::activated, this, [this](int index) {
        const QString name = presets_->itemText(index);
        if (index >= 0 && name == presets_->currentText())
            command(DelayCommand::Kind::Preset, name.toStdString());
    });
    keep_ = button("c_speedButton_presetKeep", Msg::PresetKeepCaption, Msg::PresetKeepHint);
    connect(keep_, &QToolButton::clicked, this, [this] {
        if (onKeep)
            onKeep(presets_->currentText());
    });
    forget_ = new QToolButton(this);
    forget_->setObjectName(QStringLiteral("c_speedButton_presetForget"));
    forget_->setText(QStringLiteral("×"));
    followLanguageHint(forget_, Msg::PresetForgetHint);
    connect(forget_, &QToolButton::clicked, this, [this] {
        if (onForget)
            onForget(presets_->currentText());
    });

    sync_ = button("c_speedButton_sync", Msg::SyncButtonCaption, Msg::SyncButtonHint);
    connect(sync_, &QToolButton::clicked, this, [this] {
        if (onSync)
            onSync();
    });

    grid->addWidget(radio_, 0, 0);
    grid->addWidget(tv_, 0, 1);
    grid->addWidget(undo_, 0, 2);
    grid->addWidget(delaySet_, 0, 3);
    grid->addWidget(presets_, 0, 4);
    grid->addWidget(keep_, 0, 5);
    grid->addWidget(forget_, 0, 6);
    grid->addWidget(sync_, 0, 7);
    grid->addWidget(said_, 1, 0, 1, 8);
    grid->setColumnStretch(4, 1);

    const auto shortcut = [this, window](QKeySequence keys, DelayCommand::Kind kind) {
        auto* s = new QShortcut(keys, window);
        s->setContext(Qt::WindowShortcut);
        connect(s, &QShortcut::activated, this, [this, kind] { command(kind); });
    };
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_R), DelayCommand::Kind::TapRadio);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_T), DelayCommand::Kind::TapTv);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), DelayCommand::Kind::Undo);

    onLanguageSwitch(this, [this](std::string_view code) {
        delaySet_->setText(
            QString::fromStdString(msg(Msg::DelaySetLabel, code, {delaySetText(shownMs_)})));
    });
}

void DelayTapPanel::command(DelayCommand::Kind kind, std::string text) {
    if (!onCommand)
        return;
    DelayCommand c;
    c.kind = kind;
    c.text = std::move(text);
    onCommand(c);
}

void DelayTapPanel::showDelay(uint32_t ms, bool canUndo) {
    undo_->setEnabled(canUndo);
    if (ms == shownMs_ && !delaySet_->text().isEmpty())
        return;
    shownMs_ = ms;
    delaySet_->setText(
        QString::fromStdString(msg(Msg::DelaySetLabel, programLanguageCode(), {delaySetText(ms)})));
}

void DelayTapPanel::say(const QString& text) {
    said_->setText(text);
}

QString DelayTapPanel::said() const {
    return said_->text();
}

void DelayTapPanel::setPresets(std::span<const DelayPreset> presets) {
    const QString typed = presets_->currentText();
    presets_->clear();
    for (const DelayPreset& preset : presets)
        presets_->addItem(QString::fromStdString(preset.name));
    presets_->setCurrentIndex(-1);
    presets_->setEditText(typed);
}

}  // namespace una::app
