// The window's language: which of the window's translations the desktop's languages (or the
// language setting) ask for, and the translators installed for it, ours and Qt's own for its
// standard buttons and dialogs. With no translation for the language the window keeps its
// original English texts, and Qt's buttons stay English with them.
#pragma once

#include <QString>
#include <QStringList>

namespace velquor::app {

// Where velquor_<language>.qm files are looked for: beside the program (a build folder),
// then <prefix>/share/velquor/translations for the installed program.
QStringList translationFolders();

// The languages with a velquor_<language>.qm in those folders ("zh_CN"), sorted; not English,
// whose file only gives the original texts their plural forms.
QStringList availableTranslations(const QStringList& folders = translationFolders());

// The translation to load for the languages asked for, in order of preference (as
// QLocale::uiLanguages gives them, "zh-Hans-CN" or "zh_CN"): the first one that the window's
// own language (English) or one of the translations answers. Empty means the original texts.
// A translation answers a language when both name the same language in the same script, so
// zh_TW (traditional) never gets zh_CN (simplified).
QString chooseTranslation(const QStringList& asked, const QStringList& available);

// The languages a setting asks for: the desktop's for "auto" (or an empty setting), else the
// language it names.
QStringList languagesAsked(const QString& setting);

// The plural forms of the original English texts ("1 device row", "2 device rows"), built into
// the program; every window installs them when it is made, the first time or after they were
// removed. A translation installed later takes precedence.
void installSourcePlurals();

// Installs the translators for setting on the application and returns the translation chosen
// (empty for the original texts). Called once, before the first window is built.
QString installWindowLanguage(const QString& setting,
                              const QStringList& folders = translationFolders());

}  // namespace velquor::app
