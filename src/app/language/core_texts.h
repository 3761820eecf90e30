// The core's texts in the window's language. The core writes English and marks the texts a
// person may read in the window (support/translatable.h); these look the English up in the
// window's translation (context "core") and fill in the same arguments. A text with no entry,
// such as a system's message, is shown as the core wrote it.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <string_view>

#include "support/result.h"
#include "support/translatable.h"

namespace velquor::app {

// A fixed text of the core ("Login failed!", "added"), or a product text whose "%s" the core
// has filled ("00:11:22:33:44:55 add failed!"): the pattern is translated, the filling kept.
QString coreText(std::string_view english);
QString coreText(const support::Phrase& phrase);
// An error's phrase when it has one, else its message as one of the texts above.
QString coreText(const support::Error& error);
// A row's reason: its phrase when it has one that still says the English, else the English as
// one of the texts above (a phrase the English was changed after is not used).
QString coreReason(const std::string& english, const support::Phrase& phrase);
// The same texts standing as a sentence of their own (a box's text, or a line beneath it): the
// core words its reasons as clauses for the middle of the command line's sentences ("cannot
// read …"), the window starts them with a capital, unless an argument begins them (a file's or
// a user's name stays as it is spelt).
QString coreSentence(std::string_view english);
QString coreSentence(const support::Phrase& phrase);
QString coreSentence(const support::Error& error);
QString coreSentenceReason(const std::string& english, const support::Phrase& phrase);
// Whether the window has a translation of the core's texts (one is installed).
bool coreTextsTranslated();

// pattern (a text already translated) with its %1 to %9 filled from arguments in one pass, so
// that an argument holding "%2" is never filled in again; a marker with no argument stays.
// Chinese and Japanese put no space between words: a space the translation keeps between a
// marker and a word of such a script is left out when the argument's end beside it is one
// too ("MAC 地址框中的"), and kept beside a Latin name or a number ("macs.xlsx 中的").
QString fillArguments(const QString& pattern, const QStringList& arguments);

}  // namespace velquor::app
