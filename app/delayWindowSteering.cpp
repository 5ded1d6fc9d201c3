// The main window's part in steering the delay: the tap and preset row, and the commands it
// and the step buttons give, carried out by DelaySteering as the headless program's are.
#include <QStatusBar>

#include <chrono>

#include "app/delayPresets.h"
#include "app/delaySteering.h"
#include "app/delaySync.h"
#include "app/delayTapPanel.h"
#include "app/delayValue.h"
#include "app/deviceCombo.h"
#include "app/mainSettings.h"
#include "app/mainWindow.h"
#include "app/syncDialog.h"
#include "app/texts.h"
#include "foundation/unaIniFile.h"
#include "foundation/unaText.h"
#include "platform/serverWait.h"

namespace una::app {

namespace {

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void Tc_form_vo2VazuMain::buildDelaySteering(QWidget* parent) {
    delayTaps_ = new DelayTapPanel(parent, this);
    steering_ = std::make_unique<DelaySteering>(
        0, [this](double seconds, bool exact) { return applyDelay(seconds, exact); });
    delayTaps_->onCommand = [this](const DelayCommand& command) { runDelayCommand(command); };
    delayTaps_->onKeep = [this](const QString& name) { keepDelayPreset(name); };
    delayTaps_->onForget = [this](const QString& name) { forgetDelayPreset(name); };

    sync_ = std::make_unique<DelaySync>(chain_);
    syncDialog_ = new SyncDialog(this);
    delayTaps_->onSync = [this] {
        syncDialog_->show();
        syncDialog_->raise();
    };
    syncDialog_->onListen = [this](bool on, int32_t deviceId) {
        std::string said;
        if (on)
            sync_->start(deviceId, syncDialog_->deviceList()->currentText().toStdString(),
                         languageCode, said);
        else
            sync_->stop();
        showSync(QString::fromStdString(said));
    };
    syncDialog_->onMeasure = [this] { sync_->measureNow(); };
    syncDialog_->onFollow = [this](bool on) {
        sync_->setFollow(on);
        showSync({});
    };
}

void Tc_form_vo2VazuMain::restoreSync(const MainSettings& stored) {
    syncDeviceStored_ = stored.syncDeviceName;
    if (!platform::soundCardPending())
        fillSyncDeviceList();
    sync_->setFollow(stored.syncFollow);
    showSync({});
}

void Tc_form_vo2VazuMain::fillSyncDeviceList() {
    const auto entries = deviceEntries(platform::WaveDirection::input);
    syncDialog_->deviceList()->fill(entries, chooseStored(entries, syncDeviceStored_, -1).index);
}

void Tc_form_vo2VazuMain::keepSync(MainSettings& current) const {
    // A list not filled yet (the sound server still awaited) keeps the stored choice.
    current.syncDeviceName = syncDialog_->deviceList()->count() == 0
                                 ? syncDeviceStored_
                                 : syncDialog_->deviceList()->selectedKey();
    current.syncFollow = sync_->follow();
}

void Tc_form_vo2VazuMain::showSync(const QString& said) {
    QString last = QString::fromStdString(
        sync_->lastText(languageCode) + "; " +
        msg(sync_->follow() ? Msg::SyncFollowOn : Msg::SyncFollowOff, languageCode));
    syncDialog_->showState(sync_->listening(), sync_->follow(), last, said);
    if (!said.isEmpty())
        delayTaps_->say(said);
}

void Tc_form_vo2VazuMain::runDelayCommand(const DelayCommand& command) {
    if (!steering_)
        return;
    // The edit may have been typed in since: that is the delay the command starts from.
    steering_->set(delaySetMs());
    // A press from the phone counts from when it arrived, not from when the window got to it.
    const int64_t atNs = command.receivedNs ? command.receivedNs : steadyNowNs();
    const std::string said = steering_->handle(command, atNs, languageCode);
    // Steps speak through the delay shown; everything else says what it did.
    if (command.kind != DelayCommand::Kind::Step)
        delayTaps_->say(QString::fromStdString(said));
    showDelaySteering();
}

void Tc_form_vo2VazuMain::loadDelayPresets() {
    if (!settings_)
        return;
    std::vector<DelayPreset> presets = una::app::loadDelayPresets(*settings_);
    delayTaps_->setPresets(presets);
    steering_->setPresets(std::move(presets));
}

void Tc_form_vo2VazuMain::keepDelayPreset(const QString& typed) {
    const auto name = presetName(typed.toStdString());
    if (!name) {
        delayTaps_->say(QString::fromStdString(
            msg(Msg::PresetNameRefused, languageCode, {typed.toStdString()})));
        return;
    }
    const uint32_t ms = delaySetMs();
    if (!settings_ || !una::app::keepDelayPreset(*settings_, *name, ms))
        return;
    loadDelayPresets();
    delayTaps_->say(
        QString::fromStdString(msg(Msg::PresetKept, languageCode, {*name, delaySetText(ms)})));
}

void Tc_form_vo2VazuMain::forgetDelayPreset(const QString& name) {
    if (!settings_ || !una::app::forgetDelayPreset(*settings_, name.toStdString()))
        return;
    loadDelayPresets();
    delayTaps_->say(QString::fromStdString(
        msg(Msg::PresetForgotten, languageCode, {trimView(name.toStdString())})));
}

void Tc_form_vo2VazuMain::showDelaySteering() {
    if (!steering_)
        return;
    if (sync_) {
        const bool wasListening = sync_->listening();
        const auto said = sync_->poll(steadyNowNs(), languageCode,
                                      [this](double seconds) { return applyDelay(seconds, true); });
        for (const std::string& sentence : said)
            showSync(QString::fromStdString(sentence));
        // A measurement that changed nothing is shown as the last one all the same.
        if (said.empty() && (syncDialog_->isVisible() || wasListening != sync_->listening()))
            showSync({});
    }
    delayTaps_->showDelay(delaySetMs(), steering_->taps().canUndo());
    // A lone press forgotten after a minute takes its invitation with it.
    const bool waitingSaid =
        delayTaps_->said() == QString::fromStdString(msg(Msg::TapRadioWaiting, languageCode)) ||
        delayTaps_->said() == QString::fromStdString(msg(Msg::TapTvWaiting, languageCode));
    if (waitingSaid && !steering_->taps().waiting(steadyNowNs()))
        delayTaps_->say({});
}

}  // namespace una::app
