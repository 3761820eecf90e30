// velquor: the desktop program. Everything lives in velquor_app; this only starts it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/main_window/velquor_app.h"
#include "support/atomic_file.h"
#include "support/version.h"

namespace {

// Qt aborts with a terse message when it finds no display; say what to do instead.
bool displayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

constexpr const char* kUsage =
    "usage: velquor [--help | --version] [Qt options...]\n"
    "Opens the Velquor window. The same jobs run from a shell with velquor-cli.\n";

// --help and --version answer without a display, so they work over ssh and in scripts.
bool answeredWithoutWindow(int argc, char** argv) {
    if (argc != 2) return false;
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("velquor %s\n", velquor::support::kVersion);
    } else if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, stdout);
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    velquor::support::ignoreFileSizeSignal();
    if (answeredWithoutWindow(argc, argv)) return 0;
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
