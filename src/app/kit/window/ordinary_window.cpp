// Windows beside the main window; see ordinary_window.h.
#include "app/kit/window/ordinary_window.h"

#include <QEvent>
#include <QWidget>
#include <QWindow>

namespace velquor::app {
namespace {

// Qt ties a child's top-level window to its owner's as it creates it; the tie is cut each time
// the window is shown, before the window system sees it.
class OwnerTieCutter final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (QWindow* handle = static_cast<QWidget*>(watched)->windowHandle())
                handle->setTransientParent(nullptr);
        }
        return false;
    }
};

}  // namespace

void makeOrdinaryWindow(QWidget& window) {
    window.setWindowFlags((window.windowFlags() & ~Qt::WindowType_Mask) | Qt::Window);
    window.installEventFilter(new OwnerTieCutter(&window));
}

}  // namespace velquor::app
