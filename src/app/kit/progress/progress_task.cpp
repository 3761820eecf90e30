// ProgressTask: a job on the thread pool, a modal progress dialog on the GUI thread.
#include "app/kit/progress/progress_task.h"

#include <QFutureWatcher>
#include <QTimer>
#include <QWidget>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <mutex>
#include <string>

#include "app/language/core_texts.h"

namespace velquor::app {
namespace {

constexpr int kPollIntervalMs = 100;
std::atomic<int> g_showDelayMs{300};

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

struct ProgressTask::SharedState {
    std::stop_source stop;
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> total{0};
    std::mutex whatMutex;
    std::string what;
};

int ProgressTask::showDelayMs() {
    return g_showDelayMs.load();
}

void ProgressTask::setShowDelayMs(int milliseconds) {
    g_showDelayMs.store(milliseconds);
}

ProgressTask* ProgressTask::start(QWidget* owner, const QString& label, Work work, Done done,
                                  ProgressDetail detail) {
    auto* task = new ProgressTask(owner, label, std::move(done), detail);
    task->launch(std::move(work));
    return task;
}

ProgressTask::ProgressTask(QWidget* owner, const QString& label, Done done, ProgressDetail detail)
    : QObject(owner),
      m_state(std::make_shared<SharedState>()),
      m_dialog(new JobProgressDialog(label, owner)),
      m_showTimer(new QTimer(this)),
      m_pollTimer(new QTimer(this)),
      m_detail(detail),
      m_done(std::move(done)) {
    connect(m_dialog, &JobProgressDialog::cancelRequested, this, &ProgressTask::cancel);
    m_showTimer->setSingleShot(true);
    connect(m_showTimer, &QTimer::timeout, this, &ProgressTask::showDialog);
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
    auto* watcher = new QFutureWatcher<void>(this);
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
    m_showTimer->start(showDelayMs());
}

bool ProgressTask::isRunning() const {
    return m_done != nullptr;
}

void ProgressTask::cancel() {
    if (m_cancelled || !isRunning()) return;
    m_cancelled = true;
    m_state->stop.request_stop();
    if (m_dialog) m_dialog->showCancelling();
}

QWidget* ProgressTask::prepareForPrompt() {
    if (!isRunning() || !m_dialog) return nullptr;
    showDialog();
    return m_dialog;
}

void ProgressTask::showDialog() {
    m_showTimer->stop();
    if (!isRunning() || !m_dialog || m_dialog->isVisible()) return;
    showProgress();
    m_dialog->show();
}

void ProgressTask::showProgress() {
    if (!m_dialog || m_cancelled) return;
    const std::uint64_t total = m_state->total.load(std::memory_order_relaxed);
    const std::uint64_t done = m_state->done.load(std::memory_order_relaxed);
    m_dialog->setProgress(done, total);
    std::string what;
    {
        std::lock_guard lock(m_state->whatMutex);
        what = m_state->what;
    }
    // A label of the core ("devices") in the window's language; a file name as it is.
    m_dialog->setDetailText(detailText(done, total, coreText(std::string_view(what))));
}

QString ProgressTask::detailText(std::uint64_t done, std::uint64_t total,
                                 const QString& what) const {
    switch (m_detail) {
        case ProgressDetail::None:
            return QString();
        case ProgressDetail::Path:
            return what;
        case ProgressDetail::Item: {
            if (total == 0) return what;
            // The item named is the one just finished: its place is the count done so far.
            // Plain digits, as the run's summary and report write its counts.
            const QString place = tr("%1 of %2").arg(QString::number(done), QString::number(total));
            return what.isEmpty() ? place : what + QStringLiteral(" (") + place + ')';
        }
    }
    return QString();
}

void ProgressTask::onJobFinished() {
    // First of all: nothing may bring the dialog up once the job is over.
    m_showTimer->stop();
    m_pollTimer->stop();
    Done done = std::move(m_done);
    m_done = nullptr;
    if (m_dialog) {
        const bool wasShown = m_dialog->isVisible();
        m_dialog->hide();
        m_dialog->deleteLater();
        // The keyboard goes back to the window the command ran in, not to wherever the window
        // manager puts it once the dialog has gone.
        auto* owner = qobject_cast<QWidget*>(parent());
        if (wasShown && owner && owner->isVisible()) owner->window()->activateWindow();
    }
    done(m_cancelled);
    emit finished();
    deleteLater();
}

}  // namespace velquor::app
