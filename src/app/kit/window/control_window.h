// ControlWindow: the services every window of the program offers its commands — controls
// and menu commands found by their numeric ids, a control's text read and set by id,
// message boxes whose empty caption becomes the application's title, and the file dialogs,
// all asked through a Prompter so tests can answer them — and the one background command a
// window may run at a time, above whose progress dialog every box of that command opens.
#pragma once

#include <QDialog>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <initializer_list>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "app/kit/progress/progress_dialog.h"
#include "app/kit/prompts/prompter.h"
#include "support/progress.h"
#include "support/reporter.h"
#include "support/result.h"

class QAction;
class QFormLayout;
class QHBoxLayout;
class QLineEdit;
class QMenuBar;
class QPushButton;

namespace velquor::app {

class ProgressTask;

// The caption of a box given none: the product's name, "Velquor".
QString applicationTitle();
// The product's name in the window's language: the main window's title, and the progress
// dialogs', which stand for the program rather than for one of its windows.
QString productTitle();
// A path as the file system spells it, for the core's functions, which take 8-bit paths.
std::string localPath(const QString& path);

class ControlWindow : public QDialog {
    Q_OBJECT

public:
    static constexpr const char* kControlIdProperty = "controlId";

    explicit ControlWindow(Prompter& prompter, QWidget* parent = nullptr);

    // nullptr when no control has that id.
    QWidget* control(int id) const;
    QAction* menuCommand(int id) const;
    // Ids in the order the controls were registered.
    QList<int> controlIds() const { return m_controlOrder; }

    // Text of an edit, button, label or group box; empty for an unknown id.
    QString controlText(int id) const;
    void setControlText(int id, const QString& text);

    // An empty caption means the application's title.
    Answer messageBox(const QString& text, const QString& caption = QString(),
                      MessageButtons buttons = MessageButtons::Ok,
                      MessageIcon icon = MessageIcon::None, const QString& details = QString());
    // A password typed in answer to text, asked as messageBox asks; nullopt when declined.
    std::optional<QString> askPassword(const QString& caption, const QString& text);

    // pairedFilter is written as description|pattern| pairs; see qtFileFilter. A dialog with a
    // purpose (a history_key name) opens as InputHistory::startFolder says: where the last one
    // of that purpose was confirmed, else beside the first of besides that is there (the
    // field's path, then the inputs the file goes with).
    std::optional<QString> chooseOpenFile(std::string_view pairedFilter,
                                          const QString& title = QString(),
                                          const QString& purpose = QString(),
                                          const QStringList& besides = {});
    std::optional<QString> chooseSaveFile(std::string_view pairedFilter,
                                          const QString& title = QString(),
                                          const QString& purpose = QString(),
                                          const QStringList& besides = {});
    std::optional<QString> chooseFolder(const QString& title, const QString& purpose = QString(),
                                        const QStringList& besides = {});

    Prompter& prompter() const { return m_prompter; }

    // True while a command runs in the background behind its progress dialog.
    bool isBusy() const;
    ProgressTask* runningTask() const;

    // Every window is sized to fit the screen it opens on.
    void setVisible(bool visible) override;

signals:
    // A background command has ended and shown its outcome.
    void commandFinished();

protected:
    using ReportedRequest =
        std::function<support::Status(support::Reporter&, support::ProgressSink&, std::stop_token)>;

    // Takes the command's task: isBusy() until its job returns, then commandFinished().
    void startTask(ProgressTask* task);
    // Runs request off the GUI thread behind the progress dialog (label), keeping what it
    // reports; when it returns, shows those reports as showReports does and calls then(ok).
    // A cancelled request shows nothing and calls nothing.
    void runReportedRequest(const QString& label, ReportedRequest request,
                            std::function<void(bool ok)> then = {},
                            ProgressDetail detail = ProgressDetail::None);
    // One box per report, with the core's caption and its detail line (details[i], when
    // given, worded from detailPhrases[i] when there is one); the reason behind a failure goes
    // beneath the last of them (or stands alone, captioned "error", when nothing was reported).
    void showReports(const std::vector<support::RecordingReporter::Entry>& reports,
                     const support::Error* failure, const std::vector<std::string>& details = {},
                     const std::vector<support::Phrase>& detailPhrases = {});

    template <typename Widget>
    Widget* registerControl(int id, Widget* widget) {
        addControl(id, widget);
        return widget;
    }
    void registerMenuCommand(int id, QAction* action);

    // The dialogs' building blocks. A command button never turns into the default button by
    // taking the focus: Enter in a field must not press a button the user did not choose.
    QPushButton* addCommandButton(int id, const QString& text);
    // A password box: it never shows what is typed (a shared bench is the risk).
    QLineEdit* addPasswordBox(int id);
    // 确定 (the default button, running onOk) and 取消 (closing the dialog unsent): the two
    // Chinese button texts of the product's login and password dialogs, in every language.
    QHBoxLayout* addOkCancelRow(int okId, int cancelId, std::function<void()> onOk);
    // The same row with Qt's standard OK and Cancel, which follow the window's language: for
    // the program's own dialogs.
    QHBoxLayout* addStandardOkCancelRow(int okId, int cancelId, std::function<void()> onOk);
    // Buttons at the right end of a row.
    static QHBoxLayout* buttonRow(std::initializer_list<QWidget*> buttons);
    // The window's layout: an optional menu bar, the form, then the row of buttons.
    void layOutForm(QFormLayout* form, QHBoxLayout* buttons, QMenuBar* menuBar = nullptr);

    // Enter presses the focused push button, else the window's default button if it has
    // one, and otherwise does nothing: it never closes a window by itself. Escape cancels.
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Where a box goes: on the running command's progress dialog, else on this window.
    QWidget* promptOwner();
    void addControl(int id, QWidget* widget);

    Prompter& m_prompter;
    QHash<int, QWidget*> m_controls;
    QList<int> m_controlOrder;
    QHash<int, QAction*> m_menuCommands;
    QPointer<ProgressTask> m_task;
};

// Ctrl+Q in window closes every window, and so ends the program, unless a command is
// running. Every control window has it; so has any other top-level window of the program.
void addQuitShortcut(QWidget* window);

}  // namespace velquor::app
