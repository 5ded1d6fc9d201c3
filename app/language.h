#pragma once
// The language switch: writes the designed texts of the two windows (uiTexts, app/texts.h)
// and every registered text. User-interface thread only.
//
// For a control added beside the designed ones, register its text once, where it is built:
//     followLanguage(button, Msg::MyCaption);      // text (title for a window or menu)
//     followLanguageHint(button, Msg::MyHint);     // tooltip
// It shows the text in the program's language at once and again after every switch. For a
// text made of several parts, or one shown on demand, register a callback:
//     onLanguageSwitch(owner, [owner](std::string_view code) { ... msg(id, code) ... });
// A message shown only when something happens just reads programLanguageCode() then.
// Registrations end with their object.

#include <functional>
#include <string>
#include <string_view>

#include "app/texts.h"

class QObject;
class QString;

namespace una::app {

// The program's language code as stored in the settings ("es", "uk", or anything a settings
// file held; "" on a first run). Program-wide; the main window loads and saves it.
std::string& programLanguageCode();

// Shows the text of id in the program's language now and after every switch.
void followLanguage(QObject* target, Msg caption);
void followLanguageHint(QObject* target, Msg hint);
// Runs onSwitch with the new code after every switch, until owner is destroyed.
void onLanguageSwitch(QObject* owner, std::function<void(std::string_view code)> onSwitch);

// Sets the design column of the table on one window's controls; run once, when it is built.
void showDesignTexts(QObject* window, UiWindow which);

// Writes the texts of code into the main and the input window (either may be null), then runs
// the registered texts. For a code other than "es" and "uk" it changes nothing and returns
// false. Does not change programLanguageCode().
bool applyLanguageTexts(std::string_view code, QObject* mainWindow, QObject* inputWindow);

// Sets a control's caption or hint: a button's, label's or action's text, a menu's or a
// window's title; a widget's or action's tooltip. Other objects are left alone.
void setUiText(QObject* target, UiProperty property, const QString& text);

}  // namespace una::app
