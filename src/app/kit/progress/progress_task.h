// ProgressTask: runs one long job off the GUI thread behind a modal progress dialog with a
// Cancel button. The job gets a ProgressSink and a stop_token; Cancel requests the stop and
// the dialog stays up until the job has actually returned, so nothing else can start while
// it winds down. Progress is polled a few times a second instead of signalled per chunk.
//
// The dialog appears only when the job is still running after the show delay, and never once
// the job has ended. A message box asked for while the job runs must open above the dialog,
// never beneath it: prepareForPrompt() shows the dialog at once and hands it out as the box's
// owner, so the box is the topmost modal window whatever the timing.
#pragma once

#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

#include "app/kit/progress/progress_dialog.h"
#include "support/progress.h"

class QTimer;
class QWidget;

namespace velquor::app {

class ProgressTask : public QObject {
    Q_OBJECT

public:
    using Work = std::function<void(support::ProgressSink&, std::stop_token)>;
    // cancelled: the user pressed Cancel before the job returned.
    using Done = std::function<void(bool cancelled)>;

    // The task deletes itself after done has run.
    static ProgressTask* start(QWidget* owner, const QString& label, Work work, Done done,
                               ProgressDetail detail = ProgressDetail::None);

    // How long a job runs before its dialog appears, so quick jobs do not flash a window.
    static int showDelayMs();
    // For tests that must see both sides of the delay.
    static void setShowDelayMs(int milliseconds);

    ~ProgressTask() override;

    JobProgressDialog* dialog() const { return m_dialog; }
    // True from start until the job has returned (done() already sees false).
    bool isRunning() const;
    void cancel();

    // Called on the GUI thread just before a box opens while the job runs: shows the dialog
    // now (so it cannot appear later on top of the box) and returns it as the box's owner.
    // nullptr once the job has ended.
    QWidget* prepareForPrompt();

signals:
    void finished();

private:
    struct SharedState;

    ProgressTask(QWidget* owner, const QString& label, Done done, ProgressDetail detail);
    void launch(Work work);
    void showDialog();
    void showProgress();
    QString detailText(std::uint64_t done, std::uint64_t total, const QString& what) const;
    void onJobFinished();

    std::shared_ptr<SharedState> m_state;
    QPointer<JobProgressDialog> m_dialog;
    QTimer* m_showTimer = nullptr;
    QTimer* m_pollTimer = nullptr;
    ProgressDetail m_detail;
    Done m_done;
    QFuture<void> m_future;
    bool m_cancelled = false;
};

// Runs job(sink, stop) -> R in the background and hands its result to then(result, cancelled)
// on the GUI thread. result is empty only if the job threw.
template <typename R, typename Job, typename Then>
ProgressTask* runWithProgress(QWidget* owner, const QString& label, Job job, Then then,
                              ProgressDetail detail = ProgressDetail::None) {
    auto result = std::make_shared<std::optional<R>>();
    return ProgressTask::start(
        owner, label,
        [result, job = std::move(job)](support::ProgressSink& sink, std::stop_token stop) {
            result->emplace(job(sink, stop));
        },
        [result, then = std::move(then)](bool cancelled) { then(std::move(*result), cancelled); },
        detail);
}

}  // namespace velquor::app
