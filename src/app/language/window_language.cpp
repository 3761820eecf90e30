// Choosing and installing the window's translation; see window_language.h.
#include "app/language/window_language.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QTranslator>

#include "settings/kesto_settings.h"

namespace velquor::app {
namespace {

const QString kPrefix = QStringLiteral("velquor_");
// The texts' own language, whose file holds only their plural forms.
const QString kSourceLanguage = QStringLiteral("en");

bool sameLanguageAndScript(const QLocale& asked, const QLocale& offered) {
    return asked.language() == offered.language() && asked.script() == offered.script();
}

// One translator kept for the life of the program; false when the file is not there.
bool install(const QString& fileName, const QStringList& folders) {
    auto* translator = new QTranslator(QCoreApplication::instance());
    for (const QString& folder : folders) {
        if (translator->load(fileName, folder)) {
            QCoreApplication::installTranslator(translator);
            return true;
        }
    }
    delete translator;
    return false;
}

}  // namespace

QStringList translationFolders() {
    const QString programFolder = QCoreApplication::applicationDirPath();
    return {programFolder + QStringLiteral("/translations"),
            QDir::cleanPath(programFolder + QStringLiteral("/../share/velquor/translations"))};
}

QStringList availableTranslations(const QStringList& folders) {
    QStringList languages;
    for (const QString& folder : folders) {
        const QStringList files =
            QDir(folder).entryList({kPrefix + QStringLiteral("*.qm")}, QDir::Files);
        for (const QString& file : files) {
            const QString language = file.mid(kPrefix.size()).chopped(3);
            if (language != kSourceLanguage && !languages.contains(language)) languages << language;
        }
    }
    languages.sort();
    return languages;
}

QString chooseTranslation(const QStringList& asked, const QStringList& available) {
    for (const QString& name : asked) {
        const QLocale locale(name);
        if (locale.language() == QLocale::C || locale.language() == QLocale::English) return {};
        if (locale.language() == QLocale::AnyLanguage) continue;
        for (const QString& offered : available) {
            if (sameLanguageAndScript(locale, QLocale(offered))) return offered;
        }
    }
    return {};
}

QStringList languagesAsked(const QString& setting) {
    if (setting.isEmpty() || setting == QLatin1String(settings::kAutomaticLanguage.data(),
                                                      settings::kAutomaticLanguage.size())) {
        return QLocale::system().uiLanguages();
    }
    return {setting};
}

void installSourcePlurals() {
    static QPointer<QTranslator> installed;
    if (installed || QCoreApplication::instance() == nullptr) return;
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(kPrefix + kSourceLanguage, QStringLiteral(":/velquor/i18n"))) {
        delete translator;
        return;
    }
    QCoreApplication::installTranslator(translator);
    installed = translator;
}

QString installWindowLanguage(const QString& setting, const QStringList& folders) {
    // Beneath the translation, which is searched first.
    installSourcePlurals();
    const QString chosen =
        chooseTranslation(languagesAsked(setting), availableTranslations(folders));
    if (chosen.isEmpty()) return chosen;
    install(kPrefix + chosen, folders);
    // Qt's own buttons and dialogs in the same language (OK, Cancel, the file dialog).
    install(QStringLiteral("qtbase_") + chosen,
            {QLibraryInfo::path(QLibraryInfo::TranslationsPath)});
    return chosen;
}

}  // namespace velquor::app
