// CVelquorApp: application start-up.
#include "app/main_window/velquor_app.h"

#include "app/kit/inputs/input_history.h"
#include "app/kit/prompts/prompter.h"
#include "app/kit/window/keyboard_access.h"
#include "app/language/window_language.h"
#include "app/main_window/velquor_dlg.h"
#include "settings/kesto_settings.h"

namespace velquor::app {

CVelquorApp::CVelquorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setDesktopFileName(QStringLiteral("velquor"));
}

namespace {

// The language setting of the two files; a file that cannot be read leaves it to the desktop
// (the KESTO menu and the Settings dialog say what is wrong with it).
QString languageSetting() {
    const auto loaded = settings::loadSettings();
    if (!loaded) return QString();
    return QString::fromStdString(loaded->effective.language.value);
}

}  // namespace

int CVelquorApp::run() {
    installWindowLanguage(languageSetting());
    // The installed program remembers its inputs; windows made elsewhere (tests) do not.
    InputHistory::setStateFile(InputHistory::defaultStateFile());
    QtPrompter prompter;
    enableKeyboardAccess(*this);
    CVelquorDlg window(prompter);
    setWindowIcon(window.windowIcon());
    // Shown, not run modally: the windows it opens beside it stay usable while it is open.
    window.show();
    return exec();
}

}  // namespace velquor::app
