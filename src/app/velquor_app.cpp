// CVelquorApp: application start-up.
#include "app/velquor_app.h"

#include <QIcon>

#include "app/prompter.h"
#include "app/velquor_dlg.h"

static void initResources() { Q_INIT_RESOURCE(velquor); }

namespace velquor::app {

CVelquorApp::CVelquorApp(int& argc, char** argv) : QApplication(argc, argv) {
    initResources();
    setWindowIcon(QIcon(QStringLiteral(":/velquor/velquor.png")));
    setDesktopFileName(QStringLiteral("velquor"));
}

int CVelquorApp::run() {
    QtPrompter prompter;
    CVelquorDlg window(prompter);
    window.exec();
    return 0;
}

}  // namespace velquor::app
