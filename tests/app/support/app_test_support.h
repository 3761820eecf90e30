// Helpers for the GUI tests: typed access to a window's controls by id, waiting for a
// background command, and answering real modal dialogs from a timer.
#pragma once

#include <QAbstractButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/kit/prompts/prompter.h"
#include "app/kit/window/control_window.h"
#include "provisioning/provisioning_channel.h"
#include "scripted_prompter.h"

namespace velquor::testing {

// A device template small enough to read at a glance, with every element a sheet row fills.
inline constexpr const char* kTemplate =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><Ext1 Enable=\"Disable\">"
    "<SIPSettings><SIPPort>5060</SIPPort></SIPSettings>"
    "<ProxyandRegistration><Proxy>old</Proxy></ProxyandRegistration><SubscriberInformation>"
    "<DisplayName>x</DisplayName><UserID>x</UserID><AuthID>x</AuthID><Password>x</Password>"
    "</SubscriberInformation></Ext1></Config>\n";

// A path as the window's fields show it.
inline QString q(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

template <typename Widget>
Widget* controlAs(const app::ControlWindow& window, int id) {
    return qobject_cast<Widget*>(window.control(id));
}

// Clicks the push button with that id; false when there is none.
bool clickControl(const app::ControlWindow& window, int id);

// Clicks a button whose command runs in the background and waits until it has ended, with
// every box it raised; false when there is no such button or it did not end in 30 s.
bool runAndWait(app::ControlWindow& window, int buttonId);

// True while any command's progress dialog is on screen.
bool anyProgressDialogVisible();
// True while any command's progress dialog exists, shown or not (its task not yet gone).
bool anyProgressDialogLeft();

// Adds an ordinary account as the administrator and logs it in (a server authorises device
// work only after a login from the same address).
bool makeOperator(const provisioning::KestoEndpoint& endpoint, const std::string& chiefPassword,
                  const char* name, const char* password);

// Waits until predicate holds, serving events meanwhile; false after timeoutMs.
bool waitFor(const std::function<bool()>& predicate, int timeoutMs = 30000);

// Serves the GUI thread's events until those already posted and due have been delivered (a
// zero-delay timer queued now fires after them): where a test checks that something did not
// happen, this is the moment that proves it had its turn. False if it did not come in 30 s.
bool servePostedEvents();

// What a real message box looked like when it was answered.
struct SeenMessageBox {
    QString title;
    QString text;
    QString informativeText;
    bool progressDialogShown = false;  // a command's progress dialog was on screen with it
    bool resultsViewShown = false;     // a run's results view was on screen with it
};

// Why a person could not trust box to sit on top of the command it belongs to, or empty when
// it does: while a command runs its boxes open on its progress dialog, which is then on screen,
// and no other progress dialog may be; once the command has ended no progress dialog may be.
QString misplacement(const QMessageBox& box);

// Watches for real modal QMessageBoxes and answers each as a person would: with the first of
// the given buttons the box has, once the box is the active modal window. A box that stays
// visible without being reachable (another modal window above it, as a progress dialog that
// appeared after it) is a fault: after a few seconds it is recorded, the window in the way is
// hidden so the test can end instead of hanging, and the box is answered. Every visible box is
// also checked for its place (see misplacement) for as long as it is open. A clicker that saw
// an unreachable or misplaced box fails the running test when it goes out of scope, so no test
// that answers real boxes can forget to look.
class MessageBoxClicker {
public:
    explicit MessageBoxClicker(std::initializer_list<QMessageBox::StandardButton> answers = {
                                   QMessageBox::Ok});
    explicit MessageBoxClicker(QMessageBox::StandardButton answer) : MessageBoxClicker({answer}) {}
    ~MessageBoxClicker();
    MessageBoxClicker(const MessageBoxClicker&) = delete;
    MessageBoxClicker& operator=(const MessageBoxClicker&) = delete;

    const QList<SeenMessageBox>& seen() const { return m_seen; }
    QStringList seenTexts() const;
    // Boxes that a person could not have reached, by their text.
    const QStringList& unreachable() const { return m_unreachable; }
    // Boxes that opened beneath or beside a progress dialog: their text and what was wrong.
    const QStringList& misplaced() const { return m_misplaced; }
    // How long the "person" reads a box before answering it (0: at once). A timer that
    // misfires while a box is open is only seen when the box stays open a while.
    void setReadingTimeMs(int milliseconds) { m_readingMs = milliseconds; }

    static constexpr int kUnreachableAfterMs = 3000;

private:
    void poll();
    void answer(QMessageBox* box);
    void unblock(QMessageBox* box);
    void checkPlacement(QMessageBox* box);
    void failTheTestOnFaults() const;

    std::vector<QMessageBox::StandardButton> m_answers;
    QList<SeenMessageBox> m_seen;
    QStringList m_unreachable;
    QStringList m_misplaced;
    QMessageBox* m_waitingBox = nullptr;
    int m_waitedMs = 0;
    QMessageBox* m_readBox = nullptr;
    int m_readMs = 0;
    int m_readingMs = 0;
    class QTimer* m_timer;
};

// File dialogs answered from a script, message boxes shown for real (QtPrompter).
class RealMessagesPrompter final : public app::Prompter {
public:
    app::ScriptedPrompter files;
    app::Answer message(QWidget* owner, const app::MessageRequest& request) override;
    std::optional<QString> openFile(QWidget* owner, const QString& title, const QString& filter,
                                    const QString& folder) override;
    std::optional<QString> saveFile(QWidget* owner, const QString& title, const QString& filter,
                                    const QString& folder,
                                    QString* chosenFilter = nullptr) override;
    std::optional<QString> existingDirectory(QWidget* owner, const QString& title,
                                             const QString& folder) override;
    // The password boxes asked for beneath a command's progress dialog, by their text.
    QStringList misplacedPasswordBoxes;
    // From files' queue: the password boxes are scripted.
    std::optional<QString> password(QWidget* owner, const QString& caption,
                                    const QString& text) override;

private:
    app::QtPrompter m_real;
};

// Sets the progress dialog's show delay for one test and puts the usual one back after.
class ShowDelay {
public:
    explicit ShowDelay(int milliseconds);
    ~ShowDelay();
    ShowDelay(const ShowDelay&) = delete;
    ShowDelay& operator=(const ShowDelay&) = delete;

private:
    int m_saved;
};

// Accepts TCP connections on a loopback port and never says a word: a server that hangs
// mid-handshake.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

}  // namespace velquor::testing
