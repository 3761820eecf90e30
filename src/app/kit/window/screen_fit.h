// Windows that fit the screen they open on: at 125 % on a 1366x768 laptop or at 200 % on a
// 1920x1080 screen a window's natural size can be taller than the screen. The content that can
// grow (the main window's groups, a dialog's form) sits in a FittingScrollArea, which asks for
// its whole content when there is room and scrolls when there is not; fitToScreen() bounds the
// window's size and minimum size by the screen's available area.
#pragma once

#include <QScrollArea>
#include <QSize>

class QLayout;
class QWidget;

namespace velquor::app {

class FittingScrollArea final : public QScrollArea {
    Q_OBJECT

public:
    // Takes the layout's widgets as the scrolled content; the area itself takes no focus, so
    // the window's tab order is its controls' alone.
    explicit FittingScrollArea(QLayout* content, QWidget* parent = nullptr);
    // Stops following the focus first: the widgets deleted after this move it, and by then this
    // is no longer a FittingScrollArea.
    ~FittingScrollArea() override;

    // The whole content, so a window with room shows everything without scrolling.
    QSize sizeHint() const override;
    // The content's own minimum, at most limit (when fitToScreen has set one).
    QSize minimumSizeHint() const override;

    // The largest minimum this area may ask for, so the window's minimum fits the screen.
    void setMinimumLimit(const QSize& limit);

private:
    // A control that takes the focus by Tab or a click is scrolled into view.
    void revealFocused(QWidget* focused);

    QSize m_minimumLimit;
    QMetaObject::Connection m_focusFollower;
};

// Resizes window to its natural size or the room its screen has, whichever is smaller, and
// keeps its minimum within that room. Call before the window is shown.
void fitToScreen(QWidget* window);

}  // namespace velquor::app
