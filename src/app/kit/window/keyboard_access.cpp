// Keyboard access: the menu bars' Alt and F10, and an Alt key for every command of a window.
#include "app/kit/window/keyboard_access.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QTextEdit>
#include <functional>
#include <vector>

namespace velquor::app {
namespace {

constexpr const char* kAltKeyProperty = "velquorAltKey";

bool isOwnWindow(const QWidget& widget) {
    if (!widget.isWindow()) return false;
    return QString::fromLatin1(widget.metaObject()->className())
               .startsWith(QLatin1String("velquor::app::")) ||
           qobject_cast<const QMessageBox*>(&widget) != nullptr ||
           qobject_cast<const QInputDialog*>(&widget) != nullptr;
}

QMenuBar* menuBarOf(QWidget* window) {
    if (window == nullptr) return nullptr;
    for (QMenuBar* bar : window->findChildren<QMenuBar*>()) {
        if (bar->window() == window && bar->isVisible() && !bar->actions().isEmpty()) return bar;
    }
    return nullptr;
}

// The menu bar's keyboard mode, entered with F10 or Alt pressed and released alone: Left and
// Right move along the commands, Enter or a command's letter runs it, Escape or Alt again
// gives the keyboard back to the control that had it.
class KeyboardAccessFilter final : public QObject {
public:
    explicit KeyboardAccessFilter(QApplication& app) : QObject(&app) {
        // The control the keyboard goes back to: the last one that had it outside a menu bar
        // (the style's own Alt handling may have moved it to the bar already).
        connect(&app, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
            if (now != nullptr && qobject_cast<QMenuBar*>(now) == nullptr) m_lastFocus = now;
        });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Show:
                if (watched->isWidgetType() && isOwnWindow(*static_cast<QWidget*>(watched)))
                    assignAltKeys(*static_cast<QWidget*>(watched));
                return false;
            case QEvent::ShortcutOverride:
                // Alt+letter may be taken as a shortcut before its key press is seen.
                if (static_cast<QKeyEvent*>(event)->key() != Qt::Key_Alt) m_altAlone = false;
                return false;
            case QEvent::KeyPress:
                return keyPressed(*static_cast<QKeyEvent*>(event));
            case QEvent::KeyRelease:
                return keyReleased(*static_cast<QKeyEvent*>(event));
            case QEvent::MouseButtonPress:
                m_altAlone = false;
                return false;
            default:
                return false;
        }
    }

private:
    bool keyPressed(const QKeyEvent& key) {
        if (key.isAutoRepeat()) return false;
        m_altAlone = key.key() == Qt::Key_Alt;
        if (QMenuBar* bar = activeBar()) return keyInBar(*bar, key);
        if (key.key() == Qt::Key_F10 && key.modifiers() == Qt::NoModifier)
            return enter(QApplication::activeWindow());
        return false;
    }

    bool keyReleased(const QKeyEvent& key) {
        if (key.key() != Qt::Key_Alt || !m_altAlone) return false;
        m_altAlone = false;
        if (QMenuBar* bar = activeBar()) {
            leave(*bar);
            return true;
        }
        return enter(QApplication::activeWindow());
    }

    // The menu bar in keyboard mode: the one that has the keyboard.
    QMenuBar* activeBar() const {
        auto* bar = qobject_cast<QMenuBar*>(QApplication::focusWidget());
        return bar != nullptr && bar == m_bar ? bar : nullptr;
    }

    bool enter(QWidget* window) {
        QMenuBar* bar = menuBarOf(window);
        if (bar == nullptr) return false;
        m_bar = bar;
        m_returnTo = m_lastFocus && m_lastFocus->window() == window ? m_lastFocus.data() : nullptr;
        bar->setFocus(Qt::MenuBarFocusReason);
        bar->setActiveAction(bar->actions().first());
        return true;
    }

    void leave(QMenuBar& bar) {
        bar.setActiveAction(nullptr);
        m_bar = nullptr;
        if (m_returnTo) {
            m_returnTo->setFocus(Qt::MenuBarFocusReason);
        } else {
            bar.clearFocus();
        }
    }

    void run(QMenuBar& bar, QAction* action) {
        leave(bar);
        if (action != nullptr && action->isEnabled()) action->trigger();
    }

    bool keyInBar(QMenuBar& bar, const QKeyEvent& key) {
        const QList<QAction*> actions = bar.actions();
        const int at = static_cast<int>(actions.indexOf(bar.activeAction()));
        switch (key.key()) {
            case Qt::Key_Left:
            case Qt::Key_Right: {
                const int step = key.key() == Qt::Key_Right ? 1 : -1;
                const int count = static_cast<int>(actions.size());
                bar.setActiveAction(actions.at(((at < 0 ? 0 : at) + step + count) % count));
                return true;
            }
            case Qt::Key_Return:
            case Qt::Key_Enter:
            case Qt::Key_Space:
            case Qt::Key_Down:
                run(bar, bar.activeAction());
                return true;
            case Qt::Key_Escape:
            case Qt::Key_F10:
                leave(bar);
                return true;
            case Qt::Key_Alt:
                return false;
            default:
                break;
        }
        const QString typed = key.text().toUpper();
        for (QAction* action : actions) {
            if (typed.size() == 1 && altKeyOf(action->text()) == typed.front()) {
                run(bar, action);
                return true;
            }
        }
        return false;
    }

    QPointer<QMenuBar> m_bar;
    QPointer<QWidget> m_returnTo;
    QPointer<QWidget> m_lastFocus;
    bool m_altAlone = false;
};

bool isField(const QWidget* widget) {
    return qobject_cast<const QLineEdit*>(widget) != nullptr ||
           qobject_cast<const QComboBox*>(widget) != nullptr ||
           qobject_cast<const QAbstractSpinBox*>(widget) != nullptr ||
           qobject_cast<const QPlainTextEdit*>(widget) != nullptr ||
           qobject_cast<const QTextEdit*>(widget) != nullptr;
}

// The first field of a form's field cell: the field itself, or the first of a row of a field
// and its buttons.
QWidget* firstField(QLayoutItem* item) {
    if (item == nullptr) return nullptr;
    QLayout* inner = item->layout();
    if (QWidget* widget = item->widget()) {
        if (isField(widget)) return widget;
        inner = widget->layout();
    }
    if (inner == nullptr) return nullptr;
    for (int i = 0; i < inner->count(); ++i) {
        if (QWidget* field = firstField(inner->itemAt(i))) return field;
    }
    return nullptr;
}

void giveBuddy(QLayoutItem* labelItem, QLayoutItem* fieldItem) {
    auto* label = labelItem ? qobject_cast<QLabel*>(labelItem->widget()) : nullptr;
    if (label == nullptr || label->buddy() != nullptr || label->wordWrap()) return;
    if (QWidget* field = firstField(fieldItem)) label->setBuddy(field);
}

// A label names the field after it: in a form's row, in the next cell of a grid's row, or next
// in a row of its own.
void giveLabelsTheirFields(QWidget& window) {
    for (QLayout* layout : window.findChildren<QLayout*>()) {
        if (layout->parentWidget() == nullptr || layout->parentWidget()->window() != &window)
            continue;
        if (auto* form = qobject_cast<QFormLayout*>(layout)) {
            for (int row = 0; row < form->rowCount(); ++row) {
                giveBuddy(form->itemAt(row, QFormLayout::LabelRole),
                          form->itemAt(row, QFormLayout::FieldRole));
            }
        } else if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
            for (int row = 0; row < grid->rowCount(); ++row) {
                for (int column = 0; column + 1 < grid->columnCount(); ++column) {
                    giveBuddy(grid->itemAtPosition(row, column),
                              grid->itemAtPosition(row, column + 1));
                }
            }
        } else if (qobject_cast<QBoxLayout*>(layout) != nullptr) {
            for (int i = 0; i + 1 < layout->count(); ++i) {
                QLayoutItem* next = layout->itemAt(i + 1);
                if (next->widget() != nullptr && isField(next->widget()))
                    giveBuddy(layout->itemAt(i), next);
            }
        }
    }
}

// A command of a window that takes an Alt key: its text, and how to set it.
struct Command {
    QObject* object;
    QString text;
    std::function<void(const QString&)> setText;
};

std::vector<Command> commandsOf(QWidget& window) {
    std::vector<Command> commands;
    auto ownedHere = [&window](const QWidget* widget) { return widget->window() == &window; };
    for (QMenuBar* bar : window.findChildren<QMenuBar*>()) {
        if (!ownedHere(bar)) continue;
        for (QAction* action : bar->actions()) {
            if (action->isSeparator() || action->text().isEmpty()) continue;
            commands.push_back(
                {action, action->text(), [action](const QString& text) { action->setText(text); }});
        }
    }
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        if (!ownedHere(widget)) continue;
        if (auto* button = qobject_cast<QAbstractButton*>(widget);
            button && !button->text().isEmpty()) {
            commands.push_back(
                {button, button->text(), [button](const QString& text) { button->setText(text); }});
        } else if (auto* label = qobject_cast<QLabel*>(widget); label && label->buddy()) {
            commands.push_back(
                {label, label->text(), [label](const QString& text) { label->setText(text); }});
        }
    }
    return commands;
}

bool isKeyCharacter(QChar c) {
    return c.unicode() < 128 && c.isLetterOrNumber();
}

// Where a letter goes in plain: at the start of a word first, else anywhere; -1 when nowhere.
int positionFor(const QString& plain, QChar letter) {
    int anywhere = -1;
    for (int i = 0; i < plain.size(); ++i) {
        if (plain[i].toUpper() != letter) continue;
        if (i == 0 || !plain[i - 1].isLetterOrNumber()) return i;
        if (anywhere < 0) anywhere = i;
    }
    return anywhere;
}

// plain with letter as its Alt key: marked where the text has it, else added as "(&X)" before
// a closing colon or ellipsis.
QString markedWith(const QString& plain, QChar letter) {
    const int at = positionFor(plain, letter);
    if (at >= 0) return QString(plain).insert(at, QLatin1Char('&'));
    int end = static_cast<int>(plain.size());
    while (end > 0 && QStringLiteral(":：….").contains(plain[end - 1])) --end;
    return QString(plain).insert(end, QStringLiteral("(&") + letter + QLatin1Char(')'));
}

// The first letter of plain no other command has, word starts first; else the first free
// letter or digit of all.
QChar freeLetter(const QString& plain, const QSet<QChar>& taken) {
    for (const bool wordStartsOnly : {true, false}) {
        for (int i = 0; i < plain.size(); ++i) {
            const QChar c = plain[i].toUpper();
            const bool wordStart = i == 0 || !plain[i - 1].isLetterOrNumber();
            if (isKeyCharacter(c) && (wordStart || !wordStartsOnly) && !taken.contains(c)) return c;
        }
    }
    for (const QChar c : QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")) {
        if (!taken.contains(c)) return c;
    }
    return {};
}

}  // namespace

void enableKeyboardAccess(QApplication& app) {
    app.installEventFilter(new KeyboardAccessFilter(app));
}

QChar altKeyOf(const QString& text) {
    for (int i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != QLatin1Char('&')) continue;
        if (text[i + 1] == QLatin1Char('&')) {
            ++i;
            continue;
        }
        return text[i + 1].toUpper();
    }
    return {};
}

QString withoutAltKey(const QString& text) {
    static const QRegularExpression added(QStringLiteral("\\(&[^&]\\)"));
    QString plain = QString(text).remove(added);
    for (int i = 0; i < plain.size(); ++i) {
        if (plain[i] == QLatin1Char('&')) plain.remove(i, 1);  // "&&" leaves its second '&'
    }
    return plain;
}

void assignAltKeys(QWidget& window) {
    giveLabelsTheirFields(window);
    std::vector<Command> commands = commandsOf(window);
    QSet<QChar> taken;
    std::vector<Command*> unkeyed;
    for (Command& command : commands) {
        const QChar key = altKeyOf(command.text);
        if (!key.isNull() && !taken.contains(key)) {
            taken.insert(key);
            command.object->setProperty(kAltKeyProperty, key);
        } else {
            unkeyed.push_back(&command);
        }
    }
    for (Command* command : unkeyed) {
        const QString plain = withoutAltKey(command->text);
        const QChar key = freeLetter(plain, taken);
        if (key.isNull()) continue;
        taken.insert(key);
        command->object->setProperty(kAltKeyProperty, key);
        command->setText(markedWith(plain, key));
    }
}

void setTextKeepingAltKey(QAbstractButton& button, const QString& text) {
    const QChar key = button.property(kAltKeyProperty).toChar();
    if (!key.isNull() && altKeyOf(text).isNull()) {
        button.setText(markedWith(text, key));
        return;
    }
    button.setText(text);
    // A button given its first text in a window already open takes a free key there.
    if (key.isNull() && button.window()->isVisible() && isOwnWindow(*button.window()))
        assignAltKeys(*button.window());
}

}  // namespace velquor::app
