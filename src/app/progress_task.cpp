// ProgressTask: a job on the thread pool, a modal progress dialog on the GUI thread.
#include "app/progress_task.h"

#include <QFutureWatcher>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <mutex>
#include <string>

#include "app/control_window.h"

namespace velquor::app {
namespace {

constexpr int kBarScale = 1000;
constexpr int kPollIntervalMs = 100;

// Escape and the close box mean Cancel too, but the dialog must stay up until the job
// has returned: only ProgressTask closes it.
class JobProgressDialog final : public QProgressDialog {
public:
    using QProgressDialog::QProgressDialog;
    void reject() override { emit canceled(); }
};

}  // namespace

struct ProgressTask::SharedState {
    std::stop_source stop;
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> total{0};
    std::mutex whatMutex;
    std::string what;
};

namespace {

class SharedProgressSink final : public support::ProgressSink {
public:
    using Store = std::function<void(std::uint64_t, std::uint64_t, std::string_view)>;
    explicit SharedProgressSink(Store store) : m_store(std::move(store)) {}
    void progress(std::uint64_t done, std::uint64_t total, std::string_view what) override {
        m_store(done, total, what);
    }

private:
    Store m_store;
};

}  // namespace

ProgressTask* ProgressTask::start(QWidget* owner, const QString& label, Work work, Done done) {
    auto* task = new ProgressTask(owner, label, std::move(done));
    task->launch(std::move(work));
    return task;
}

ProgressTask::ProgressTask(QWidget* owner, const QString& label, Done done)
    : QObject(owner),
      m_state(std::make_shared<SharedState>()),
      m_label(label),
      m_done(std::move(done)) {
    auto* dialog = new JobProgressDialog(owner);
    m_dialog = dialog;
    dialog->setWindowTitle(applicationTitle());
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setLabelText(label);
    m_bar = new QProgressBar(dialog);
    dialog->setBar(m_bar);
    m_bar->setRange(0, kBarScale);
    m_bar->setValue(0);
    // Restarts the dialog's own show timer, now that the bar sits at its minimum.
    dialog->setMinimumDuration(kShowDelayMs);
    // By default Cancel hides the dialog at once; here it only asks the job to stop.
    QObject::disconnect(dialog, SIGNAL(canceled()), dialog, SLOT(cancel()));
    connect(dialog, &QProgressDialog::canceled, this, &ProgressTask::cancel);

    m_pollTimer = new QTimer(this);
    m_pollTimer->setInterval(kPollIntervalMs);
    connect(m_pollTimer, &QTimer::timeout, this, &ProgressTask::showProgress);
}

ProgressTask::~ProgressTask() {
    if (m_future.isRunning()) {
        m_state->stop.request_stop();
        m_future.waitForFinished();
    }
    if (m_dialog) delete m_dialog.data();
}

void ProgressTask::launch(Work work) {
    auto* watcher = new QFutureWatcher<void>(m_dialog);
    connect(watcher, &QFutureWatcher<void>::finished, this, &ProgressTask::onJobFinished);
    std::shared_ptr<SharedState> state = m_state;
    m_future = QtConcurrent::run([state, work = std::move(work)]() {
        SharedProgressSink sink(
            [&state](std::uint64_t done, std::uint64_t total, std::string_view what) {
                state->done.store(done, std::memory_order_relaxed);
                state->total.store(total, std::memory_order_relaxed);
                std::lock_guard lock(state->whatMutex);
                if (state->what != what) state->what.assign(what);
            });
        try {
            work(sink, state->stop.get_token());
        } catch (...) {
            // The result stays empty; the caller reports an unexpected failure.
        }
    });
    watcher->setFuture(m_future);
    m_pollTimer->start();
}

bool ProgressTask::isRunning() const {
    return m_done != nullptr;
}

void ProgressTask::cancel() {
    if (m_cancelled || !isRunning()) return;
    m_cancelled = true;
    m_state->stop.request_stop();
    if (m_dialog) {
        m_dialog->setLabelText(tr("Cancelling…"));
        // Disabled rather than removed: this runs inside the button's own click.
        for (QPushButton* button : m_dialog->findChildren<QPushButton*>()) {
            button->setEnabled(false);
        }
    }
}

void ProgressTask::showProgress() {
    if (!m_dialog || m_cancelled) return;
    const std::uint64_t total = m_state->total.load(std::memory_order_relaxed);
    const std::uint64_t done = m_state->done.load(std::memory_order_relaxed);
    if (total == 0) {
        m_bar->setRange(0, 0);
    } else {
        m_bar->setRange(0, kBarScale);
        const std::uint64_t clamped = done < total ? done : total;
        m_bar->setValue(static_cast<int>(clamped * kBarScale / total));
    }
    std::string what;
    {
        std::lock_guard lock(m_state->whatMutex);
        what = m_state->what;
    }
    const QString text = what.empty() ? m_label : QString::fromStdString(what);
    if (m_dialog->labelText() != text) m_dialog->setLabelText(text);
}

void ProgressTask::onJobFinished() {
    m_pollTimer->stop();
    if (m_dialog) {
        m_dialog->hide();
        m_dialog->deleteLater();
    }
    Done done = std::move(m_done);
    m_done = nullptr;
    done(m_cancelled);
    emit finished();
    deleteLater();
}

}  // namespace velquor::app
