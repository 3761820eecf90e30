// The background runner: results arrive on the GUI thread, progress reaches the bar, Cancel
// stops the job but keeps the dialog up until the job has returned.
#include "app/kit/progress/progress_task.h"

#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "app_test_support.h"
#include "room_main.h"

using velquor::app::JobProgressDialog;
using velquor::app::ProgressDetail;
using velquor::app::ProgressTask;
using velquor::app::runWithProgress;
using velquor::support::ProgressSink;
using velquor::testing::misplacement;
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
        QPointer<JobProgressDialog> dialog = task->dialog();
        QVERIFY(waitFor([&] { return dialog->isVisible(); }));
        QVERIFY(dialog->isModal());
        QVERIFY(waitFor([&] { return dialog->bar()->value() == 250; }));
        QCOMPARE(dialog->labelText(), QString("working"));

        dialog->cancelButton()->click();
        QVERIFY(waitFor([&] { return stopSeen.load(); }));
        // Whatever the Cancel click set going on the GUI thread has had its turn.
        QVERIFY(velquor::testing::servePostedEvents());
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
        JobProgressDialog* dialog = task->dialog();
        QVERIFY(waitFor([&] { return dialog->isVisible(); }));
        QTest::keyClick(dialog, Qt::Key_Escape);
        QVERIFY(waitFor([&] { return done; }));
        QVERIFY(wasCancelled);
    }

    // The product's name, as the main window's title has it, not the program file's name.
    void theDialogIsTitledWithTheProductsName() {
        QWidget owner;
        std::atomic<bool> release{false};
        bool done = false;
        ProgressTask* task = ProgressTask::start(
            &owner, "working",
            [&release](ProgressSink&, std::stop_token) {
                while (!release) std::this_thread::sleep_for(5ms);
            },
            [&](bool) { done = true; });
        const QString title = task->dialog()->windowTitle();
        release = true;
        QVERIFY(waitFor([&] { return done; }));
        QCOMPARE(title, QStringLiteral("Velquor"));
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
        std::atomic<bool> started{false};
        std::atomic<bool> finished{false};
        bool doneCalled = false;
        ProgressTask::start(
            owner.get(), "working",
            [&](ProgressSink&, std::stop_token stop) {
                started = true;
                while (!stop.stop_requested()) std::this_thread::sleep_for(5ms);
                finished = true;
            },
            [&](bool) { doneCalled = true; });
        QVERIFY(waitFor([&] { return started.load(); }));
        owner.reset();
        QVERIFY(finished);
        QVERIFY(!doneCalled);
    }

    void itemDetailNamesTheItemAndItsPlaceAndLongTextsKeepTheWidth() {
        QWidget owner;
        owner.show();
        std::atomic<bool> release{false};
        bool done = false;
        const std::string longItem(400, 'x');
        std::atomic<int> step{0};
        ProgressTask* task = ProgressTask::start(
            &owner, "Add device",
            [&](ProgressSink& sink, std::stop_token) {
                sink.progress(12, 300, "001500004604");
                step = 1;
                while (step != 2) std::this_thread::sleep_for(5ms);
                sink.progress(13, 300, longItem);
                while (step != 3) std::this_thread::sleep_for(5ms);
                sink.progress(14, 300, longItem);
                while (!release) std::this_thread::sleep_for(5ms);
            },
            [&](bool) { done = true; }, ProgressDetail::Item);
        JobProgressDialog* dialog = task->dialog();
        QVERIFY(waitFor([&] { return dialog->isVisible() && step == 1; }));
        QVERIFY(waitFor([&] { return dialog->detailText() == "001500004604 (12 of 300)"; }));
        QCOMPARE(dialog->labelText(), QString("Add device"));
        const int width = dialog->width();
        step = 2;
        QVERIFY(waitFor([&] { return dialog->detailText().startsWith("xxxx"); }));
        // The next step shown proves the long text has been laid out and polled past.
        step = 3;
        QVERIFY(waitFor([&] { return dialog->detailText().endsWith("(14 of 300)"); }));
        QCOMPARE(dialog->width(), width);
        QVERIFY(dialog->cancelButton()->geometry().right() < dialog->width());
        release = true;
        QVERIFY(waitFor([&] { return done; }));
    }

    // A job that has ended never brings its dialog up, however the show delay falls.
    void aFinishedJobNeverShowsItsDialog() {
        QWidget owner;
        owner.show();
        ProgressTask::setShowDelayMs(50);
        bool done = false;
        QPointer<ProgressTask> task = ProgressTask::start(
            &owner, "quick", [](ProgressSink&, std::stop_token) {}, [&](bool) { done = true; });
        QPointer<JobProgressDialog> dialog = task->dialog();
        // A timer started after the task's show timer, with twice its delay, fires after it.
        bool showDelayPassed = false;
        QTimer::singleShot(100, Qt::PreciseTimer, &owner, [&] { showDelayPassed = true; });
        QVERIFY(waitFor([&] { return done && showDelayPassed; }));
        QVERIFY(dialog.isNull() || !dialog->isVisible());
        ProgressTask::setShowDelayMs(300);
    }

    // The GUI tests hold every real box to its place with misplacement(): it must find a box
    // beside a running command's dialog or on a dialog not on screen, and pass a box on the
    // dialog and one after the command.
    void theBoxPlacementCheckFindsEveryWrongPlace() {
        velquor::testing::ShowDelay showDelay(600000);
        QWidget owner;
        owner.show();
        std::atomic<bool> release{false};
        QString onTheHiddenDialogAfterTheJob;
        QPointer<ProgressTask> task = ProgressTask::start(
            &owner, "working",
            [&](ProgressSink&, std::stop_token) {
                while (!release) std::this_thread::sleep_for(5ms);
            },
            [&](bool) {
                QMessageBox late(QMessageBox::NoIcon, "t", "late", QMessageBox::Ok, task->dialog());
                late.show();
                onTheHiddenDialogAfterTheJob = misplacement(late);
            });
        auto placeOf = [](QWidget* owner) {
            QMessageBox box(QMessageBox::NoIcon, "t", "box", QMessageBox::Ok, owner);
            box.show();
            return misplacement(box);
        };
        QVERIFY(!placeOf(task->dialog()).isEmpty());  // the dialog would come up above it
        QWidget* dialog = task->prepareForPrompt();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(placeOf(dialog), QString());
        QVERIFY(!placeOf(&owner).isEmpty());
        QVERIFY(!placeOf(nullptr).isEmpty());
        release = true;
        QVERIFY(waitFor([&] { return task.isNull(); }));
        QVERIFY(!onTheHiddenDialogAfterTheJob.isEmpty());
        QCOMPARE(placeOf(&owner), QString());
    }
};

VELQUOR_ROOM_TEST(ProgressTaskTest)
#include "progress_task_test.moc"
