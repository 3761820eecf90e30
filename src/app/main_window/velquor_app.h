// CVelquorApp: the application object. It starts the program: the main window is shown
// modally and the program ends when it closes.
#pragma once

#include <QApplication>

namespace velquor::app {

class CVelquorApp : public QApplication {
    Q_OBJECT

public:
    CVelquorApp(int& argc, char** argv);

    // Runs the main window until it is closed; returns the program's exit status.
    int run();
};

}  // namespace velquor::app
