// Helpers for the GUI tests.
#include "app_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "app/kit/progress/progress_dialog.h"
#include "app/kit/progress/progress_task.h"
#include "app/results/results_view.h"
#include "provisioning/kesto_operations.h"

namespace velquor::testing {

bool clickControl(const app::ControlWindow& window, int id) {
    auto* button = qobject_cast<QAbstractButton*>(window.control(id));
    if (!button) return false;
    button->click();
    return true;
}

bool runAndWait(app::ControlWindow& window, int buttonId) {
    QSignalSpy finished(&window, &app::ControlWindow::commandFinished);
    if (!clickControl(window, buttonId)) return false;
    if (finished.count() == 0 && !finished.wait(30000)) return false;
    // A command may go on with a step of its own once the first has ended (a question asked
    // on what it found, then the request).
    return waitFor([&window] { return !window.isBusy(); });
}

bool anyProgressDialogVisible() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<app::JobProgressDialog*>(widget) && widget->isVisible()) return true;
    }
    return false;
}

bool anyProgressDialogLeft() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<app::JobProgressDialog*>(widget)) return true;
    }
    return false;
}

bool makeOperator(const provisioning::KestoEndpoint& endpoint, const std::string& chiefPassword,
                  const char* name, const char* password) {
    support::NullReporter quiet;
    return provisioning::login(endpoint, "chief", chiefPassword, quiet).ok() &&
           provisioning::addUser(endpoint, name, password, password, quiet).ok() &&
           provisioning::login(endpoint, name, password, quiet).ok();
}

bool waitFor(const std::function<bool()>& predicate, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(10);
    }
    return true;
}

bool servePostedEvents() {
    const QObject context;  // the timer goes with it if the wait fails
    bool served = false;
    QTimer::singleShot(0, &context, [&served] { served = true; });
    return waitFor([&served] { return served; });
}

namespace {
// A box's text as the operator reads and copies it: without the joiners that keep its paths on
// one line.
QString asWritten(const QString& shown) {
    return QString(shown).remove(QChar(0x2060));
}

constexpr int kPollMs = 20;
// Set on a box once its misplacement is on record, so it is reported once whichever clicker
// sees it first.
constexpr const char* kMisplacementRecorded = "velquorMisplacementRecorded";

bool anyResultsViewVisible() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<app::ResultsView*>(widget) && widget->isVisible()) return true;
    }
    return false;
}

// The task whose dialog this is still runs its job. A dialog's task is a sibling: both belong
// to the window the command runs in.
bool commandStillRuns(const app::JobProgressDialog& dialog) {
    QObject* window = dialog.parent();
    if (window == nullptr) return true;  // no way to tell: nothing to hold against the box
    for (auto* task : window->findChildren<app::ProgressTask*>(Qt::FindDirectChildrenOnly)) {
        if (task->dialog() == &dialog) return task->isRunning();
    }
    return false;
}

}  // namespace

QString misplacement(const QMessageBox& box) {
    auto* owner = qobject_cast<app::JobProgressDialog*>(box.parentWidget());
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<app::JobProgressDialog*>(widget);
        if (dialog && dialog != owner && dialog->isVisible()) {
            return owner ? QStringLiteral("another command's progress dialog is on screen")
                         : QStringLiteral("a progress dialog is on screen and not its owner");
        }
    }
    if (owner == nullptr) return {};
    // A dialog that shows itself later comes up above the box it owns.
    if (!owner->isVisible()) return QStringLiteral("its progress dialog is not on screen");
    if (!commandStillRuns(*owner)) {
        return QStringLiteral("it opened on the progress dialog of a command that has ended");
    }
    return {};
}

MessageBoxClicker::MessageBoxClicker(std::initializer_list<QMessageBox::StandardButton> answers)
    : m_answers(answers), m_timer(new QTimer) {
    QObject::connect(m_timer, &QTimer::timeout, [this] { poll(); });
    m_timer->start(kPollMs);
}

MessageBoxClicker::~MessageBoxClicker() {
    delete m_timer;
    failTheTestOnFaults();
}

void MessageBoxClicker::failTheTestOnFaults() const {
    if (QTest::currentTestFunction() == nullptr || QTest::currentTestFailed()) return;
    QStringList faults;
    for (const QString& text : m_unreachable) faults << QStringLiteral("unreachable: ") + text;
    faults << m_misplaced;
    if (faults.isEmpty()) return;
    const QByteArray message =
        ("Boxes a person would not find on top:\n" + faults.join('\n')).toUtf8();
    QTest::qFail(message.constData(), __FILE__, __LINE__);
}

QStringList MessageBoxClicker::seenTexts() const {
    QStringList texts;
    for (const SeenMessageBox& box : m_seen) texts << box.text;
    return texts;
}

void MessageBoxClicker::poll() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            checkPlacement(box);
        }
    }
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        box && box->isVisible()) {
        m_waitingBox = nullptr;
        if (box != m_readBox) {
            m_readBox = box;
            m_readMs = 0;
        }
        m_readMs += kPollMs;
        if (m_readMs > m_readingMs) answer(box);
        return;
    }
    QMessageBox* visible = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) visible = box;
    }
    if (visible == nullptr) {
        m_waitingBox = nullptr;
        return;
    }
    if (visible != m_waitingBox) {
        m_waitingBox = visible;
        m_waitedMs = 0;
        return;
    }
    m_waitedMs += kPollMs;
    if (m_waitedMs >= kUnreachableAfterMs) unblock(visible);
}

void MessageBoxClicker::checkPlacement(QMessageBox* box) {
    if (box->property(kMisplacementRecorded).toBool()) return;
    const QString fault = misplacement(*box);
    if (fault.isEmpty()) return;
    box->setProperty(kMisplacementRecorded, true);
    m_misplaced << asWritten(box->text()) + QStringLiteral(": ") + fault;
}

namespace {

// A box whose buttons are words of our own (Show rows / Continue / Cancel) is answered Yes
// by its accepting button of our own words; OK is never taken for Yes.
QAbstractButton* buttonFor(QMessageBox* box, QMessageBox::StandardButton wanted) {
    if (QAbstractButton* button = box->button(wanted)) return button;
    if (wanted != QMessageBox::Yes) return nullptr;
    for (QAbstractButton* button : box->buttons()) {
        if (box->buttonRole(button) == QMessageBox::AcceptRole &&
            box->standardButton(button) == QMessageBox::NoButton) {
            return button;
        }
    }
    return nullptr;
}

}  // namespace

void MessageBoxClicker::answer(QMessageBox* box) {
    for (QMessageBox::StandardButton wanted : m_answers) {
        if (QAbstractButton* button = buttonFor(box, wanted)) {
            m_seen.append(SeenMessageBox{box->windowTitle(), asWritten(box->text()),
                                         asWritten(box->informativeText()),
                                         anyProgressDialogVisible(), anyResultsViewVisible()});
            m_readBox = nullptr;
            button->click();
            return;
        }
    }
}

void MessageBoxClicker::unblock(QMessageBox* box) {
    m_unreachable << asWritten(box->text());
    m_waitingBox = nullptr;
    while (QWidget* above = QApplication::activeModalWidget()) {
        if (above == box) break;
        above->hide();
    }
    answer(box);
}

app::Answer RealMessagesPrompter::message(QWidget* owner, const app::MessageRequest& request) {
    return m_real.message(owner, request);
}

std::optional<QString> RealMessagesPrompter::openFile(QWidget* owner, const QString& title,
                                                      const QString& filter,
                                                      const QString& folder) {
    return files.openFile(owner, title, filter, folder);
}

std::optional<QString> RealMessagesPrompter::saveFile(QWidget* owner, const QString& title,
                                                      const QString& filter, const QString& folder,
                                                      QString* chosenFilter) {
    return files.saveFile(owner, title, filter, folder, chosenFilter);
}

std::optional<QString> RealMessagesPrompter::existingDirectory(QWidget* owner, const QString& title,
                                                               const QString& folder) {
    return files.existingDirectory(owner, title, folder);
}

std::optional<QString> RealMessagesPrompter::password(QWidget* owner, const QString& caption,
                                                      const QString& text) {
    // While a command's progress dialog is up, a box on anything else is beneath it.
    if (anyProgressDialogVisible() && qobject_cast<app::JobProgressDialog*>(owner) == nullptr) {
        misplacedPasswordBoxes << text;
    }
    return files.password(owner, caption, text);
}

ShowDelay::ShowDelay(int milliseconds) : m_saved(app::ProgressTask::showDelayMs()) {
    app::ProgressTask::setShowDelayMs(milliseconds);
}

ShowDelay::~ShowDelay() {
    app::ProgressTask::setShowDelayMs(m_saved);
}

SilentListener::SilentListener() {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_fd, 64);
    socklen_t length = sizeof address;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
}

SilentListener::~SilentListener() {
    ::close(m_fd);
}

}  // namespace velquor::testing
