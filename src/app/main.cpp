// velquor: the desktop program. Everything lives in velquor_app; this only starts it.
#include <cstdio>
#include <cstdlib>

#include "app/velquor_app.h"

namespace {

// Qt aborts with a terse message when it finds no display; say what to do instead.
bool displayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (!displayAvailable()) {
        std::fputs(
            "velquor: no display found (DISPLAY and WAYLAND_DISPLAY are unset).\n"
            "On a machine without a display, run it under a virtual one: "
            "xvfb-run -a velquor\n",
            stderr);
        return 1;
    }
    velquor::app::CVelquorApp app(argc, argv);
    return app.run();
}
