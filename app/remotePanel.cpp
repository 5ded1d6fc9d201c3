#include "app/remotePanel.h"

#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>

#include "app/language.h"
#include "app/remoteLink.h"
#include "foundation/unaIniFile.h"
#include "remote/remoteQr.h"

namespace una::app {

namespace {

// Light modules white, dark black, with the quiet zone of four modules a reader expects.
QPixmap qrPixmap(const remote::QrModules& code, int pixelsPerModule) {
    constexpr int kQuiet = 4;
    const int side = code.size + 2 * kQuiet;
    QImage image(side, side, QImage::Format_Mono);
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            image.setPixel(x, y, code.at(x - kQuiet, y - kQuiet) ? 1 : 0);
    return QPixmap::fromImage(image.scaled(side * pixelsPerModule, side * pixelsPerModule));
}

}  // namespace

RemotePanel::RemotePanel(QWidget* parent, RemoteControl& control)
    : QDialog(parent), control_(control) {
    setObjectName("RemotePanel");
    followLanguage(this, Msg::RemoteMenu);
    auto* layout = new QVBoxLayout(this);
    enabled_ = new QCheckBox(this);
    enabled_->setObjectName("RemoteEnabled");
    followLanguage(enabled_, Msg::RemoteEnable);
    homeNetwork_ = new QCheckBox(this);
    homeNetwork_->setObjectName("RemoteHomeNetwork");
    followLanguage(homeNetwork_, Msg::RemoteHomeNetwork);
    hint_ = new QLabel(this);
    hint_->setObjectName("RemoteHint");
    hint_->setWordWrap(true);
    code_ = new QLabel(this);
    code_->setObjectName("RemoteCode");
    code_->setAlignment(Qt::AlignCenter);
    address_ = new QLabel(this);
    address_->setObjectName("RemoteAddress");
    address_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    newToken_ = new QPushButton(this);
    newToken_->setObjectName("RemoteNewToken");
    followLanguage(newToken_, Msg::RemoteNewToken);
    for (QWidget* widget : std::initializer_list<QWidget*>{enabled_, homeNetwork_, hint_, code_,
                                                           address_, newToken_})
        layout->addWidget(widget);

    connect(enabled_, &QCheckBox::toggled, this, [this](bool on) {
        control_.setEnabled(on);
        refresh();
    });
    connect(homeNetwork_, &QCheckBox::toggled, this, [this](bool on) {
        control_.setHomeNetwork(on);
        refresh();
    });
    connect(newToken_, &QPushButton::clicked, this, [this] {
        control_.renewToken();
        refresh();
    });
    onLanguageSwitch(this, [this](std::string_view) { refresh(); });
    refresh();
}

void RemotePanel::refresh() {
    const QSignalBlocker blockEnabled(enabled_), blockHome(homeNetwork_);
    enabled_->setChecked(control_.isRunning() || control_.settings().enabled);
    homeNetwork_->setChecked(control_.settings().homeNetwork);
    const std::string& code = programLanguageCode();
    const std::string address = control_.pageAddress();
    newToken_->setEnabled(control_.isRunning());
    if (address.empty()) {
        hint_->setText(QString::fromStdString(
            control_.problem().empty() ? msg(Msg::RemoteOff, code)
                                       : msg(Msg::RemoteNotStarted, code, {control_.problem()})));
        code_->clear();
        address_->clear();
        return;
    }
    hint_->setText(QString::fromStdString(msg(Msg::RemoteOpenOnPhone, code)));
    code_->setPixmap(qrPixmap(remote::qrModules(address), 4));
    address_->setText(QString::fromStdString(address));
}

RemoteControl::RemoteControl(QObject* parent, unaIniAbstractStorage& settings,
                             std::function<remote::RemoteState()> state,
                             std::function<void(const DelayCommand&)> perform)
    : QObject(parent), ini_(settings), state_(std::move(state)), perform_(std::move(perform)) {
    settings_.load(ini_);
    kept_ = settings_;
    wake_ = new QSocketNotifier(server_.wakeFd(), QSocketNotifier::Read, this);
    connect(wake_, &QSocketNotifier::activated, this, [this] { takeCommands(); });
    // Often enough for the pages to follow the delay heard as it settles.
    publish_ = new QTimer(this);
    publish_->setInterval(250);
    connect(publish_, &QTimer::timeout, this, [this] { server_.publish(state_()); });
    if (settings_.enabled)
        restart();
}

RemoteControl::~RemoteControl() {
    delete panel_;  // it refers to this object
    server_.stop();
}

bool RemoteControl::restart() {
    server_.stop();
    publish_->stop();
    problem_.clear();
    if (settings_.ensureToken())
        settings_.saveToken(ini_);
    if (settings_.token.empty()) {
        problem_ = "the system gave no random numbers for a key";
        return false;
    }
    const auto host = remoteListenHost(settings_.homeNetwork, problem_);
    if (!host || !server_.start({*host, settings_.port, settings_.token, remotePageHtml()},
                                problem_))
        return false;
    server_.publish(state_());
    publish_->start();
    return true;
}

bool RemoteControl::setEnabled(bool on) {
    settings_.enabled = kept_.enabled = on;
    save();
    if (!on) {
        server_.stop();
        publish_->stop();
        problem_.clear();
        return true;
    }
    return restart();
}

bool RemoteControl::setHomeNetwork(bool on) {
    settings_.homeNetwork = kept_.homeNetwork = on;
    save();
    return !isRunning() || restart();
}

void RemoteControl::renewToken() {
    settings_.token.clear();
    settings_.ensureToken();
    save();
    server_.setToken(settings_.token);
}

void RemoteControl::enableForThisRun(uint16_t port) {
    if (port != 0)
        settings_.port = port;
    settings_.enabled = true;
    restart();
}

void RemoteControl::save() {
    kept_.token = settings_.token;
    kept_.save(ini_);
}

void RemoteControl::takeCommands() {
    for (const DelayCommand& command : server_.takeCommands())
        perform_(command);
    // The pages see the change at once, not at the next tick.
    server_.publish(state_());
}

void RemoteControl::showPanel(QWidget* parent) {
    if (!panel_)
        panel_ = new RemotePanel(parent, *this);
    panel_->refresh();
    panel_->show();
    panel_->raise();
}

}  // namespace una::app
