// Windows that stand beside the main window rather than above it.
#pragma once

class QWidget;

namespace velquor::app {

// Makes window an ordinary top-level window the window manager may put beneath the window that
// opened it (not a dialog kept above its owner), though it stays its owner's child: found,
// refreshed and closed with it. Modal dialogs of the owner then block the owner alone.
void makeOrdinaryWindow(QWidget& window);

}  // namespace velquor::app
