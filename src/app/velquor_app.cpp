// CVelquorApp: application start-up.
#include "app/velquor_app.h"

#include "app/input_history.h"
#include "app/prompter.h"
#include "app/velquor_dlg.h"

namespace velquor::app {

CVelquorApp::CVelquorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setDesktopFileName(QStringLiteral("velquor"));
}

int CVelquorApp::run() {
    // The installed program remembers its inputs; windows made elsewhere (tests) do not.
    InputHistory::setStateFile(InputHistory::defaultStateFile());
    QtPrompter prompter;
    CVelquorDlg window(prompter);
    setWindowIcon(window.windowIcon());
    window.exec();
    return 0;
}

}  // namespace velquor::app
