// ControlWindow: controls by id, texts by id, and the window's prompts.
#include "app/kit/window/control_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QStringList>
#include <QVBoxLayout>

#include "app/kit/inputs/input_history.h"
#include "app/kit/progress/progress_task.h"
#include "app/kit/window/keyboard_access.h"
#include "app/kit/window/screen_fit.h"
#include "app/language/core_texts.h"
#include "app/language/window_language.h"

namespace velquor::app {

QString applicationTitle() {
    return productTitle();
}

QString productTitle() {
    return QCoreApplication::translate("velquor::app::ControlWindow", "Velquor",
                                       "the product's name, the main window's title");
}

std::string localPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

ControlWindow::ControlWindow(Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter) {
    installSourcePlurals();
    addQuitShortcut(this);
}

void addQuitShortcut(QWidget* window) {
    // Spelled out: the standard Quit binding is empty under some platform themes.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), window);
    QObject::connect(quit, &QShortcut::activated, window, [] {
        for (QWidget* open : QApplication::topLevelWidgets()) {
            auto* controlWindow = qobject_cast<ControlWindow*>(open);
            if (controlWindow && controlWindow->isBusy()) return;
        }
        QApplication::closeAllWindows();
    });
}

void ControlWindow::setVisible(bool visible) {
    if (visible && !isVisible()) fitToScreen(this);
    QDialog::setVisible(visible);
}

QWidget* ControlWindow::control(int id) const {
    return m_controls.value(id, nullptr);
}

QAction* ControlWindow::menuCommand(int id) const {
    return m_menuCommands.value(id, nullptr);
}

QString ControlWindow::controlText(int id) const {
    QWidget* widget = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return withoutAltKey(button->text());
    if (auto* label = qobject_cast<QLabel*>(widget)) return withoutAltKey(label->text());
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
        setTextKeepingAltKey(*button, text);
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
    return m_prompter.message(promptOwner(), request);
}

std::optional<QString> ControlWindow::askPassword(const QString& caption, const QString& text) {
    return m_prompter.password(promptOwner(), caption, text);
}

QWidget* ControlWindow::promptOwner() {
    // A box asked for by a running command sits on its progress dialog, never beneath it.
    if (m_task && m_task->isRunning()) {
        if (QWidget* dialog = m_task->prepareForPrompt()) return dialog;
    }
    return this;
}

std::optional<QString> ControlWindow::chooseOpenFile(std::string_view pairedFilter,
                                                     const QString& title, const QString& purpose,
                                                     const QStringList& besides) {
    const QString folder = InputHistory::load().startFolder(purpose, besides);
    return InputHistory::rememberChoice(
        purpose, m_prompter.openFile(this, title, qtFileFilter(pairedFilter), folder));
}

std::optional<QString> ControlWindow::chooseSaveFile(std::string_view pairedFilter,
                                                     const QString& title, const QString& purpose,
                                                     const QStringList& besides) {
    const QString folder = InputHistory::load().startFolder(purpose, besides);
    return InputHistory::rememberChoice(
        purpose, m_prompter.saveFile(this, title, qtFileFilter(pairedFilter), folder));
}

std::optional<QString> ControlWindow::chooseFolder(const QString& title, const QString& purpose,
                                                   const QStringList& besides) {
    const QString folder = InputHistory::load().startFolder(purpose, besides);
    return InputHistory::rememberChoice(purpose, m_prompter.existingDirectory(this, title, folder));
}

bool ControlWindow::isBusy() const {
    return m_task && m_task->isRunning();
}

ProgressTask* ControlWindow::runningTask() const {
    return isBusy() ? m_task.data() : nullptr;
}

void ControlWindow::startTask(ProgressTask* task) {
    m_task = task;
    connect(task, &ProgressTask::finished, this, [this, task] {
        if (m_task == task) m_task.clear();
        emit commandFinished();
    });
}

void ControlWindow::runReportedRequest(const QString& label, ReportedRequest request,
                                       std::function<void(bool ok)> then, ProgressDetail detail) {
    if (isBusy()) return;
    struct Outcome {
        support::Status status;
        std::vector<support::RecordingReporter::Entry> reports;
        std::vector<std::string> details;
        std::vector<support::Phrase> detailPhrases;
    };
    auto job = [request = std::move(request)](support::ProgressSink& sink, std::stop_token stop) {
        support::RecordingReporter reporter;
        support::Status status = request(reporter, sink, stop);
        return Outcome{std::move(status), reporter.entries(), reporter.details(),
                       reporter.detailPhrases()};
    };
    auto shown = [this, then = std::move(then)](std::optional<Outcome> outcome, bool) {
        if (!outcome) {
            const support::Error failure = support::makeError(
                support::ErrorCode::Internal,
                support::Phrase{
                    VELQUOR_TR_NOOP("core", "The command stopped on an unexpected error."), {}});
            showReports({}, &failure);
            return;
        }
        const bool ok = outcome->status.ok();
        if (!ok && outcome->status.error().code == support::ErrorCode::Cancelled) return;
        showReports(outcome->reports, ok ? nullptr : &outcome->status.error(), outcome->details,
                    outcome->detailPhrases);
        if (then) then(ok);
    };
    startTask(runWithProgress<Outcome>(this, label, std::move(job), std::move(shown), detail));
}

void ControlWindow::showReports(const std::vector<support::RecordingReporter::Entry>& reports,
                                const support::Error* failure,
                                const std::vector<std::string>& details,
                                const std::vector<support::Phrase>& detailPhrases) {
    const QString reason = failure ? coreSentence(*failure) : QString();
    if (reports.empty()) {
        if (failure) {
            messageBox(reason, tr("error"), MessageButtons::Ok, MessageIcon::Warning);
        }
        return;
    }
    const MessageIcon icon = failure ? MessageIcon::Warning : MessageIcon::None;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        // A report that is the failure itself is worded by the failure's phrase.
        const bool isFailure = failure != nullptr && reports[i].text == failure->message;
        const QString text = isFailure ? reason : coreSentence(reports[i].text);
        const bool last = i + 1 == reports.size();
        QStringList lines;
        const bool hasDetail = i < details.size() && !details[i].empty();
        if (hasDetail) {
            lines << coreSentenceReason(
                details[i], i < detailPhrases.size() ? detailPhrases[i] : support::Phrase{});
        }
        // The error often is the detail with what failed before it ("login: " + the reason):
        // one reason, said once. Both are compared as the core wrote them, in English.
        const bool said = hasDetail && failure != nullptr && failure->message.ends_with(details[i]);
        if (last && reason != text && !said) lines << reason;
        lines.removeAll(QString());
        messageBox(text, coreText(reports[i].caption), MessageButtons::Ok, icon, lines.join('\n'));
    }
}

QPushButton* ControlWindow::addCommandButton(int id, const QString& text) {
    auto* button = registerControl(id, new QPushButton(text, this));
    button->setAutoDefault(false);
    return button;
}

QLineEdit* ControlWindow::addPasswordBox(int id) {
    auto* box = registerControl(id, new QLineEdit(this));
    box->setEchoMode(QLineEdit::Password);
    return box;
}

QHBoxLayout* ControlWindow::addOkCancelRow(int okId, int cancelId, std::function<void()> onOk) {
    auto* ok = registerControl(okId, new QPushButton(QStringLiteral("确定"), this));
    auto* cancel = registerControl(cancelId, new QPushButton(QStringLiteral("取消"), this));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, std::move(onOk));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    return buttonRow({ok, cancel});
}

QHBoxLayout* ControlWindow::addStandardOkCancelRow(int okId, int cancelId,
                                                   std::function<void()> onOk) {
    // Qt's standard buttons, in the order and with the words of the platform and language.
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* ok = registerControl(okId, box->button(QDialogButtonBox::Ok));
    registerControl(cancelId, box->button(QDialogButtonBox::Cancel));
    ok->setDefault(true);
    connect(box, &QDialogButtonBox::accepted, this, std::move(onOk));
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(box);
    return row;
}

QHBoxLayout* ControlWindow::buttonRow(std::initializer_list<QWidget*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QWidget* button : buttons) row->addWidget(button);
    return row;
}

void ControlWindow::layOutForm(QFormLayout* form, QHBoxLayout* buttons, QMenuBar* menuBar) {
    auto* layout = new QVBoxLayout(this);
    if (menuBar) layout->setMenuBar(menuBar);
    // On a small screen the form scrolls; its buttons stay in sight beneath it.
    layout->addWidget(new FittingScrollArea(form, this), 1);
    layout->addLayout(buttons);
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
