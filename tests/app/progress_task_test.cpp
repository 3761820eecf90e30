// The background runner: results arrive on the GUI thread, progress reaches the bar, Cancel
// stops the job but keeps the dialog up until the job has returned.
#include "app/progress_task.h"

#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "app_test_support.h"

using velquor::app::ProgressTask;
using velquor::app::runWithProgress;
using velquor::support::ProgressSink;
using velquor::testing::waitFor;
using namespace std::chrono_literals;

class ProgressTaskTest : public QObject {
    Q_OBJECT

private slots:
    void resultArrivesOnTheGuiThreadWithoutAFlashingDialog() {
        QWidget owner;
        std::optional<int> seen;
        bool onGuiThread = false;
        bool wasCancelled = true;
        QThread* jobThread = nullptr;
        QPointer<ProgressTask> task = runWithProgress<int>(
            &owner, "adding",
            [&jobThread](ProgressSink&, std::stop_token) {
                jobThread = QThread::currentThread();
                return 42;
            },
            [&](std::optional<int> result, bool cancelled) {
                seen = result;
                wasCancelled = cancelled;
                onGuiThread = QThread::currentThread() == qApp->thread();
            });
        QVERIFY(waitFor([&] { return seen.has_value(); }));
        QCOMPARE(*seen, 42);
        QVERIFY(!wasCancelled);
        QVERIFY(onGuiThread);
        QVERIFY(jobThread != qApp->thread());
        QVERIFY(waitFor([&] { return task.isNull(); }));
    }

    void progressReachesTheBarAndCancelWaitsForTheJob() {
        QWidget owner;
        owner.show();
        std::atomic<bool> stopSeen{false};
        std::atomic<bool> release{false};
        bool done = false;
        bool wasCancelled = false;
        ProgressTask* task = ProgressTask::start(
            &owner, "working",
            [&](ProgressSink& sink, std::stop_token stop) {
                sink.progress(250, 1000, "row 7");
                while (!stop.stop_requested()) std::this_thread::sleep_for(5ms);
                stopSeen = true;
                while (!release) std::this_thread::sleep_for(5ms);
            },
            [&](bool cancelled) {
                done = true;
                wasCancelled = cancelled;
            });
        QPointer<QProgressDialog> dialog = task->dialog();
        QVERIFY(waitFor([&] { return dialog->isVisible(); }));
        QVERIFY(dialog->isModal());
        auto* bar = dialog->findChild<QProgressBar*>();
        QVERIFY(waitFor([&] { return bar->value() == 250; }));
        QCOMPARE(dialog->labelText(), QString("row 7"));

        QPushButton* cancel = dialog->findChild<QPushButton*>();
        QVERIFY(cancel);
        cancel->click();
        QVERIFY(waitFor([&] { return stopSeen.load(); }));
        QTest::qWait(100);
        QVERIFY(dialog->isVisible());  // the job has not returned yet
        QVERIFY(!done);
        release = true;
        QVERIFY(waitFor([&] { return done; }));
        QVERIFY(wasCancelled);
        QVERIFY(waitFor([&] { return dialog.isNull(); }));
    }

    void escapeOnTheDialogCancelsToo() {
        QWidget owner;
        owner.show();
        bool wasCancelled = false;
        bool done = false;
        ProgressTask* task = ProgressTask::start(
            &owner, "working",
            [](ProgressSink&, std::stop_token stop) {
                while (!stop.stop_requested()) std::this_thread::sleep_for(5ms);
            },
            [&](bool cancelled) {
                done = true;
                wasCancelled = cancelled;
            });
        QProgressDialog* dialog = task->dialog();
        QVERIFY(waitFor([&] { return dialog->isVisible(); }));
        QTest::keyClick(dialog, Qt::Key_Escape);
        QVERIFY(waitFor([&] { return done; }));
        QVERIFY(wasCancelled);
    }

    void aThrowingJobGivesAnEmptyResult() {
        QWidget owner;
        bool done = false;
        std::optional<int> seen = 1;
        runWithProgress<int>(
            &owner, "failing",
            [](ProgressSink&, std::stop_token) -> int { throw std::runtime_error("boom"); },
            [&](std::optional<int> result, bool) {
                seen = result;
                done = true;
            });
        QVERIFY(waitFor([&] { return done; }));
        QVERIFY(!seen.has_value());
    }

    void destroyingTheOwnerStopsAndWaitsForTheJob() {
        auto owner = std::make_unique<QWidget>();
        std::atomic<bool> finished{false};
        bool doneCalled = false;
        ProgressTask::start(
            owner.get(), "working",
            [&](ProgressSink&, std::stop_token stop) {
                while (!stop.stop_requested()) std::this_thread::sleep_for(5ms);
                finished = true;
            },
            [&](bool) { doneCalled = true; });
        QTest::qWait(20);
        owner.reset();
        QVERIFY(finished);
        QVERIFY(!doneCalled);
    }
};

QTEST_MAIN(ProgressTaskTest)
#include "progress_task_test.moc"
