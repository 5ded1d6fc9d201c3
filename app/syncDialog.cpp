#include "app/syncDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

#include "app/deviceCombo.h"
#include "app/language.h"
#include "app/texts.h"
#include "platform/serverWait.h"

namespace una::app {

SyncDialog::SyncDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("c_form_sync"));
    setModal(false);
    followLanguage(this, Msg::SyncDialogTitle);
    auto* grid = new QGridLayout(this);
    auto* label = new QLabel(this);
    label->setObjectName(QStringLiteral("c_label_syncDevice"));
    followLanguage(label, Msg::SyncDeviceLabel);
    device_ = new DeviceComboBox(platform::WaveDirection::input, this);
    device_->setObjectName(QStringLiteral("c_comboBox_syncDevice"));
    // While a slow sound server is awaited the main window fills the list later.
    if (!platform::soundCardPending())
        device_->fill(deviceEntries(platform::WaveDirection::input), 0);
    listen_ = new QCheckBox(this);
    listen_->setObjectName(QStringLiteral("c_checkBox_syncListen"));
    followLanguage(listen_, Msg::SyncListenCaption);
    measure_ = new QPushButton(this);
    measure_->setObjectName(QStringLiteral("c_button_syncMeasure"));
    followLanguage(measure_, Msg::SyncMeasureCaption);
    follow_ = new QCheckBox(this);
    follow_->setObjectName(QStringLiteral("c_checkBox_syncFollow"));
    followLanguage(follow_, Msg::SyncFollowCaption);
    followLanguageHint(follow_, Msg::SyncFollowHint);
    last_ = new QLabel(this);
    last_->setObjectName(QStringLiteral("c_label_syncLast"));
    said_ = new QLabel(this);
    said_->setObjectName(QStringLiteral("c_label_syncSaid"));
    said_->setWordWrap(true);
    grid->addWidget(label, 0, 0, 1, 2);
    grid->addWidget(device_, 1, 0, 1, 2);
    grid->addWidget(listen_, 2, 0);
    grid->addWidget(measure_, 2, 1);
    grid->addWidget(follow_, 3, 0, 1, 2);
    grid->addWidget(last_, 4, 0, 1, 2);
    grid->addWidget(said_, 5, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    setMinimumWidth(360);

    connect(listen_, &QCheckBox::toggled, this, [this](bool on) {
        if (onListen)
            onListen(on, device_->deviceIdNow());
    });
    connect(measure_, &QPushButton::clicked, this, [this] {
        if (onMeasure)
            onMeasure();
    });
    connect(follow_, &QCheckBox::toggled, this, [this](bool on) {
        if (onFollow)
            onFollow(on);
    });
    showState(false, false, {}, {});
}

void SyncDialog::showState(bool listening, bool follow, const QString& last, const QString& said) {
    // What the program did is shown, not asked again.
    const QSignalBlocker quietListen(listen_);
    const QSignalBlocker quietFollow(follow_);
    listen_->setChecked(listening);
    follow_->setChecked(follow);
    device_->setEnabled(!listening);
    measure_->setEnabled(listening);
    last_->setText(last);
    if (!said.isEmpty())
        said_->setText(said);
}

}  // namespace una::app
