// Helpers for the GUI tests: typed access to a window's controls by id, waiting for a
// background command, and answering real modal dialogs from a timer.
#pragma once

#include <QAbstractButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QString>
#include <functional>

#include "app/control_window.h"

namespace velquor::testing {

template <typename Widget>
Widget* controlAs(const app::ControlWindow& window, int id) {
    return qobject_cast<Widget*>(window.control(id));
}

// Clicks the push button with that id; false when there is none.
bool clickControl(const app::ControlWindow& window, int id);

// Waits until predicate holds, serving events meanwhile; false after timeoutMs.
bool waitFor(const std::function<bool()>& predicate, int timeoutMs = 30000);

// What a real message box looked like when it was answered.
struct SeenMessageBox {
    QString title;
    QString text;
    QString informativeText;
};

// Watches for real modal QMessageBoxes and answers each with the given button, recording
// what it saw. Lives as long as the test needs it.
class MessageBoxClicker {
public:
    explicit MessageBoxClicker(QMessageBox::StandardButton answer = QMessageBox::Ok);
    ~MessageBoxClicker();
    MessageBoxClicker(const MessageBoxClicker&) = delete;
    MessageBoxClicker& operator=(const MessageBoxClicker&) = delete;

    const QList<SeenMessageBox>& seen() const { return m_seen; }

private:
    void poll();

    QMessageBox::StandardButton m_answer;
    QList<SeenMessageBox> m_seen;
    class QTimer* m_timer;
};

}  // namespace velquor::testing
