// ControlWindow: controls by id, texts by id, and the window's prompts.
#include "app/control_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace velquor::app {

QString applicationTitle() {
    const QString title = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return title.isEmpty() ? QCoreApplication::applicationName() : title;
}

ControlWindow::ControlWindow(Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter) {}

QWidget* ControlWindow::control(int id) const {
    return m_controls.value(id, nullptr);
}

QAction* ControlWindow::menuCommand(int id) const {
    return m_menuCommands.value(id, nullptr);
}

QString ControlWindow::controlText(int id) const {
    QWidget* widget = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
    return QString();
}

void ControlWindow::setControlText(int id, const QString& text) {
    QWidget* widget = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(text);
        // Long paths show their beginning, as a freshly filled field should.
        edit->setCursorPosition(0);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(text);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(text);
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        group->setTitle(text);
    }
}

Answer ControlWindow::messageBox(const QString& text, const QString& caption,
                                 MessageButtons buttons, MessageIcon icon, const QString& details) {
    MessageRequest request{text, caption.isEmpty() ? applicationTitle() : caption, buttons, icon,
                           details};
    return m_prompter.message(this, request);
}

std::optional<QString> ControlWindow::chooseOpenFile(std::string_view pairedFilter,
                                                     const QString& title) {
    return m_prompter.openFile(this, title, qtFileFilter(pairedFilter));
}

std::optional<QString> ControlWindow::chooseSaveFile(std::string_view pairedFilter,
                                                     const QString& title) {
    return m_prompter.saveFile(this, title, qtFileFilter(pairedFilter));
}

std::optional<QString> ControlWindow::chooseFolder(const QString& title) {
    return m_prompter.existingDirectory(this, title);
}

void ControlWindow::registerMenuCommand(int id, QAction* action) {
    action->setProperty(kControlIdProperty, id);
    m_menuCommands.insert(id, action);
}

void ControlWindow::addControl(int id, QWidget* widget) {
    widget->setProperty(kControlIdProperty, id);
    m_controls.insert(id, widget);
    m_controlOrder.append(id);
}

void ControlWindow::keyPressEvent(QKeyEvent* event) {
    const bool plainKey =
        event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier;
    if (!plainKey) {
        QDialog::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter: {
            if (auto* focused = qobject_cast<QPushButton*>(focusWidget())) {
                if (focused->isEnabled()) focused->click();
            } else {
                for (QPushButton* button : findChildren<QPushButton*>()) {
                    if (button->isDefault() && button->isVisible() && button->isEnabled()) {
                        button->click();
                        break;
                    }
                }
            }
            event->accept();
            return;
        }
        case Qt::Key_Escape:
            reject();
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
            return;
    }
}

}  // namespace velquor::app
