// FittingScrollArea and fitToScreen: sizes bounded by the screen's available area.
#include "app/kit/window/screen_fit.h"

#include <QApplication>
#include <QLayout>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QWidget>
#include <algorithm>

namespace velquor::app {
namespace {

// The window manager's frame around a window: measured on a window already shown when there
// is one, otherwise a title bar and borders as the style draws them.
QSize decorationAround(const QWidget* window) {
    for (const QWidget* shown : QApplication::topLevelWidgets()) {
        if (shown == window || !shown->isVisible()) continue;
        const QSize frame = shown->frameGeometry().size() - shown->geometry().size();
        if (frame.width() > 0 || frame.height() > 0) return frame;
    }
    const int border = 2 * window->style()->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth);
    return QSize(border, border + window->style()->pixelMetric(QStyle::PM_TitleBarHeight));
}

QScreen* screenOf(const QWidget* window) {
    if (const QWidget* parent = window->parentWidget()) return parent->screen();
    return window->screen();
}

// An ordinary window (the main window, the site table, Serve to phones), not yet placed, goes
// in the middle of the screen with its title bar on it: before the window manager has framed
// it, Qt would put the window itself where its frame belongs, the title bar above the screen.
void placeOnScreen(QWidget* window, const QScreen& screen) {
    if (window->windowType() != Qt::Window || window->testAttribute(Qt::WA_Moved)) return;
    const QRect available = screen.availableGeometry();
    const QSize frame = decorationAround(window);
    const QSize whole = window->size() + frame;
    const QPoint corner =
        available.topLeft() + QPoint(std::max(0, available.width() - whole.width()) / 2,
                                     std::max(0, available.height() - whole.height()) / 2);
    window->move(corner);
}

}  // namespace

FittingScrollArea::FittingScrollArea(QLayout* content, QWidget* parent) : QScrollArea(parent) {
    auto* inner = new QWidget(this);
    content->setContentsMargins(0, 0, 0, 0);
    inner->setLayout(content);
    setWidget(inner);
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus);
    // The content keeps the window's own background: the area should not show as a panel.
    viewport()->setAutoFillBackground(false);
    inner->setAutoFillBackground(false);
    m_focusFollower = connect(qApp, &QApplication::focusChanged, this,
                              [this](QWidget*, QWidget* focused) { revealFocused(focused); });
}

FittingScrollArea::~FittingScrollArea() {
    disconnect(m_focusFollower);
}

QSize FittingScrollArea::sizeHint() const {
    const int frame = 2 * frameWidth();
    return widget()->sizeHint() + QSize(frame, frame);
}

QSize FittingScrollArea::minimumSizeHint() const {
    const int frame = 2 * frameWidth();
    // Room for the vertical bar, so a short window scrolls down and never also sideways.
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    QSize minimum = widget()->minimumSizeHint() + QSize(frame + bar, frame);
    if (m_minimumLimit.isValid()) minimum = minimum.boundedTo(m_minimumLimit);
    return minimum;
}

void FittingScrollArea::setMinimumLimit(const QSize& limit) {
    if (m_minimumLimit == limit) return;
    m_minimumLimit = limit;
    updateGeometry();
}

void FittingScrollArea::revealFocused(QWidget* focused) {
    if (focused && widget()->isAncestorOf(focused)) ensureWidgetVisible(focused);
}

void fitToScreen(QWidget* window) {
    const QScreen* screen = screenOf(window);
    if (screen == nullptr) return;
    const QSize room = screen->availableGeometry().size() - decorationAround(window);
    for (FittingScrollArea* area : window->findChildren<FittingScrollArea*>()) {
        // What the rest of the window (menu bar, buttons, margins) takes stays; the area
        // gives way.
        const QSize rest = window->sizeHint() - area->sizeHint();
        area->setMinimumLimit((room - rest).expandedTo(QSize(1, 1)));
    }
    if (QLayout* layout = window->layout()) layout->activate();
    // A minimum set by hand (a dialog kept wide for its paths) gives way to the screen too.
    if (window->minimumWidth() > room.width() || window->minimumHeight() > room.height()) {
        window->setMinimumSize(window->minimumSize().boundedTo(room));
    }
    const QSize wanted =
        window->testAttribute(Qt::WA_Resized) ? window->size() : window->sizeHint();
    window->resize(wanted.boundedTo(room).expandedTo(window->minimumSize()));
    placeOnScreen(window, *screen);
}

}  // namespace velquor::app
