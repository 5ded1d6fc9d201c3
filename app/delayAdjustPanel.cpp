#include "app/delayAdjustPanel.h"

#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QShortcut>
#include <QToolButton>

#include "app/delayAdjust.h"
#include "app/texts.h"

namespace una::app {

DelayAdjustPanel::DelayAdjustPanel(QWidget* parent, QWidget* window) : QWidget(parent) {
    setObjectName(QStringLiteral("c_panel_delayAdjust"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    heard_ = new QLabel(this);
    heard_->setObjectName(QStringLiteral("c_label_delayHeard"));
    auto button = [this](const char* name, const char* text, int steps) {
        auto* b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(name));
        b->setText(QString::fromUtf8(text));
        b->setAutoRaise(true);
        connect(b, &QToolButton::clicked, this, [this, steps] {
            if (onStep)
                onStep(steps);
        });
        return b;
    };
    // A point, like the delay edit and the heard figure beside them, in both languages.
    down_ = button("c_speedButton_delayDown", "−0.1", -1);
    up_ = button("c_speedButton_delayUp", "+0.1", 1);
    row->addWidget(heard_, 1);
    row->addWidget(down_);
    row->addWidget(up_);
    const auto shortcut = [this, window](QKeySequence keys, int steps) {
        auto* s = new QShortcut(keys, window);
        s->setContext(Qt::WindowShortcut);
        connect(s, &QShortcut::activated, this, [this, steps] {
            if (onStep)
                onStep(steps);
        });
    };
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Minus), -1);
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Plus), 1);
    // Where "+" needs Shift, Ctrl and the key beside it does the same.
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_Equal), 1);
    show(DelayLine::Figures{}, {});
}

void DelayAdjustPanel::show(const DelayLine::Figures& figures, const std::string& languageCode) {
    if (language_ != languageCode) {
        language_ = languageCode;
        down_->setToolTip(QString::fromStdString(msg(Msg::DelayDownHint, languageCode)));
        up_->setToolTip(QString::fromStdString(msg(Msg::DelayUpHint, languageCode)));
    }
    const std::string seconds = delayHeardSeconds(figures.playing ? figures : DelayLine::Figures{});
    heard_->setText(QString::fromStdString(msg(Msg::DelayHeard, languageCode, {seconds})));
}

}  // namespace una::app
