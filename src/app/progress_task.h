// ProgressTask: runs one long job off the GUI thread behind a modal progress dialog with a
// Cancel button. The job gets a ProgressSink and a stop_token; Cancel requests the stop and
// the dialog stays up until the job has actually returned, so nothing else can start while
// it winds down. Progress is polled a few times a second instead of signalled per chunk.
#pragma once

#include <QElapsedTimer>
#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

#include "support/progress.h"

class QProgressBar;
class QTimer;
class QWidget;

namespace velquor::app {

class ProgressTask : public QObject {
    Q_OBJECT

public:
    using Work = std::function<void(support::ProgressSink&, std::stop_token)>;
    // cancelled: the user pressed Cancel before the job returned.
    using Done = std::function<void(bool cancelled)>;

    // The dialog appears only if the job is still running after kShowDelayMs, so quick jobs
    // do not flash a window. The task deletes itself after done has run.
    static ProgressTask* start(QWidget* owner, const QString& label, Work work, Done done);

    static constexpr int kShowDelayMs = 300;

    ~ProgressTask() override;

    QProgressDialog* dialog() const { return m_dialog; }
    bool isRunning() const;
    void cancel();

signals:
    void finished();

private:
    struct SharedState;

    ProgressTask(QWidget* owner, const QString& label, Done done);
    void launch(Work work);
    void showProgress();
    void onJobFinished();

    std::shared_ptr<SharedState> m_state;
    QPointer<QProgressDialog> m_dialog;
    QProgressBar* m_bar = nullptr;
    QTimer* m_pollTimer = nullptr;
    QString m_label;
    Done m_done;
    QFuture<void> m_future;
    bool m_cancelled = false;
};

// Runs job(sink, stop) -> R in the background and hands its result to then(result, cancelled)
// on the GUI thread. result is empty only if the job threw.
template <typename R, typename Job, typename Then>
ProgressTask* runWithProgress(QWidget* owner, const QString& label, Job job, Then then) {
    auto result = std::make_shared<std::optional<R>>();
    return ProgressTask::start(
        owner, label,
        [result, job = std::move(job)](support::ProgressSink& sink, std::stop_token stop) {
            result->emplace(job(sink, stop));
        },
        [result, then = std::move(then)](bool cancelled) { then(std::move(*result), cancelled); });
}

}  // namespace velquor::app
