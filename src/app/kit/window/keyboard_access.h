// Keyboard access to every window of the program: Alt alone and F10 take the keyboard to a
// window's menu bar, and each command of a window (a menu-bar command, a button, a check box, a
// field through its label) has an Alt key of its own there, in every language. A text written
// with its '&' keeps that letter; the others get the first free letter of their words, or,
// in a script without Latin letters, a free one after the text: "文件(&F)".
#pragma once

#include <QChar>
#include <QString>

class QAbstractButton;
class QApplication;
class QWidget;

namespace velquor::app {

// For the application: the menu bars answer Alt and F10, and every window of the program gets
// its Alt keys (assignAltKeys) when it is shown, as do the boxes QtPrompter asks with.
void enableKeyboardAccess(QApplication& app);

// Gives the labels of window's fields their fields as buddies, then every command of window
// without an Alt key (or with one another command there took first) a free one.
void assignAltKeys(QWidget& window);

// The letter after text's '&' (a "&&" is a plain '&'), upper case; a null QChar when none.
QChar altKeyOf(const QString& text);
// text without its '&' marks, and without a "(&X)" added after it.
QString withoutAltKey(const QString& text);

// Sets a button's text that changes while its window is open ("Copy selected (3)"), keeping
// the Alt key the button was given.
void setTextKeepingAltKey(QAbstractButton& button, const QString& text);

}  // namespace velquor::app
