// velquor: the desktop program. Everything lives in velquor_app; this only starts it.
#include "app/velquor_app.h"

int main(int argc, char** argv) {
    velquor::app::CVelquorApp app(argc, argv);
    return app.run();
}
