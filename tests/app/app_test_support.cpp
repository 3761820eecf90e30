// Helpers for the GUI tests.
#include "app_test_support.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace velquor::testing {

bool clickControl(const app::ControlWindow& window, int id) {
    auto* button = qobject_cast<QAbstractButton*>(window.control(id));
    if (!button) return false;
    button->click();
    return true;
}

bool waitFor(const std::function<bool()>& predicate, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(10);
    }
    return true;
}

MessageBoxClicker::MessageBoxClicker(QMessageBox::StandardButton answer)
    : m_answer(answer), m_timer(new QTimer) {
    QObject::connect(m_timer, &QTimer::timeout, [this] { poll(); });
    m_timer->start(20);
}

MessageBoxClicker::~MessageBoxClicker() {
    delete m_timer;
}

void MessageBoxClicker::poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    QAbstractButton* button = box->button(m_answer);
    if (!button) return;
    m_seen.append(SeenMessageBox{box->windowTitle(), box->text(), box->informativeText()});
    button->click();
}

}  // namespace velquor::testing
