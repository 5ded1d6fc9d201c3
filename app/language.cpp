#include "app/language.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QWidget>

#include <vector>

namespace una::app {

namespace {

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

struct Follower {
    QPointer<QObject> target;
    std::function<void(std::string_view code)> apply;
};

// Registrations in the order they were made; an entry whose object is gone is dropped at the
// next switch.
std::vector<Follower>& followers() {
    static std::vector<Follower> all;
    return all;
}

void add(QObject* target, std::function<void(std::string_view)> apply) {
    std::vector<Follower>& all = followers();
    std::erase_if(all, [](const Follower& f) { return f.target.isNull(); });
    all.push_back({target, std::move(apply)});
}

void follow(QObject* target, std::function<void(std::string_view)> apply) {
    if (!target)
        return;
    apply(programLanguageCode());
    add(target, std::move(apply));
}

// The control a table row names: the window itself or one of its descendants.
QObject* component(QObject* window, std::string_view name) {
    const QString objectName = fromView(name);
    if (window->objectName() == objectName)
        return window;
    return window->findChild<QObject*>(objectName);
}

}  // namespace

std::string& programLanguageCode() {
    static std::string code;
    return code;
}

void setUiText(QObject* target, UiProperty property, const QString& text) {
    if (property == UiProperty::Hint) {
        if (auto* action = qobject_cast<QAction*>(target))
            action->setToolTip(text);
        else if (auto* widget = qobject_cast<QWidget*>(target))
            widget->setToolTip(text);
        return;
    }
    if (auto* action = qobject_cast<QAction*>(target))
        action->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(target))
        button->setText(text);
    else if (auto* label = qobject_cast<QLabel*>(target))
        label->setText(text);
    else if (auto* menu = qobject_cast<QMenu*>(target))
        menu->setTitle(text);
    else if (auto* widget = qobject_cast<QWidget*>(target); widget && widget->isWindow())
        widget->setWindowTitle(text);
}

void followLanguage(QObject* target, Msg caption) {
    follow(target, [target, caption](std::string_view code) {
        setUiText(target, UiProperty::Caption, QString::fromStdString(msg(caption, code)));
    });
}

void followLanguageHint(QObject* target, Msg hint) {
    follow(target, [target, hint](std::string_view code) {
        setUiText(target, UiProperty::Hint, QString::fromStdString(msg(hint, code)));
    });
}

void onLanguageSwitch(QObject* owner, std::function<void(std::string_view code)> onSwitch) {
    if (owner && onSwitch)
        add(owner, std::move(onSwitch));
}

void showDesignTexts(QObject* window, UiWindow which) {
    if (!window)
        return;
    for (const UiText& row : uiTexts())
        if (row.window == which && row.design)
            if (QObject* target = component(window, row.component))
                setUiText(target, row.property, QString::fromUtf8(row.design));
}

bool applyLanguageTexts(std::string_view code, QObject* mainWindow, QObject* inputWindow) {
    if (!isLanguageCode(code))
        return false;
    for (const UiText& row : uiTexts()) {
        QObject* window = row.window == UiWindow::Main ? mainWindow : inputWindow;
        if (!window)
            continue;
        if (QObject* target = component(window, row.component))
            setUiText(target, row.property, fromView(row.text(code)));
    }
    // A copy: a callback may register more (those run from the next switch on) or delete
    // objects whose entries come later.
    const std::vector<Follower> now = followers();
    for (const Follower& f : now)
        if (!f.target.isNull())
            f.apply(code);
    return true;
}

}  // namespace una::app
