// The Kesto dialogs with real message boxes answered by a click, against a real kestod: boxes
// raised by a running batch before the progress dialog's show delay and after it, and the
// login that a silent server would once have frozen. A box no person could reach fails the
// test instead of hanging it.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "app/kesto/device_dialog.h"
#include "app/kesto/kesto_login_dialog.h"
#include "app/kesto/user_dialog.h"
#include "app/kit/progress/progress_dialog.h"
#include "app/kit/progress/progress_task.h"
#include "app/results/results_view.h"
#include "app_test_support.h"
#include "kestod_fixture.h"
#include "room_main.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::anyProgressDialogVisible;
using velquor::testing::clickControl;
using velquor::testing::controlAs;
using velquor::testing::KestodFixture;
using velquor::testing::MessageBoxClicker;
using velquor::testing::RealMessagesPrompter;
using velquor::testing::runAndWait;
using velquor::testing::ShowDelay;
using velquor::testing::SilentListener;
using velquor::testing::waitFor;

namespace {

void makeOperatorOn(const KestodFixture& server, const char* name, const char* password) {
    QVERIFY(
        velquor::testing::makeOperator(server.endpoint(), server.chiefPassword(), name, password));
}

// A real kestod with one operator, a MAC file of two addresses starting with macPrefix, and
// that operator's Device dialog on screen, as the window would open it after the login.
struct OperatorAtWork {
    OperatorAtWork(const char* name, const std::string& macPrefix)
        : file(dir / "macs.csv"), device(prompter, name, server.endpoint()) {
        makeOperatorOn(server, name, "pw");
        velquor::testing::writeFile(file,
                                    macPrefix + ":00:00:00:01\n" + macPrefix + ":00:00:00:02\n");
        controlAs<QComboBox>(device, kServerCombo)->setEditText("https://prov.example/");
        device.show();
    }
    void chooseMacFile() {
        controlAs<QLineEdit>(device, kMacFileEdit)->setText(QString::fromStdString(file.string()));
    }

    KestodFixture server;
    velquor::testing::TempDir dir;
    std::filesystem::path file;
    RealMessagesPrompter prompter;
    CDevice device;
};

constexpr int kPromptBeforeTheDialog = 600000;
constexpr int kPromptAfterTheDialog = 0;
constexpr int kReadingTimeMs = 400;

}  // namespace

class KestoRealBoxesTest : public QObject {
    Q_OBJECT

private slots:
    void deviceAddReplaceAndDelete_data() { delays(); }
    void deviceAddReplaceAndDelete() {
        QFETCH(int, delay);
        ShowDelay showDelay(delay);
        OperatorAtWork work("hank", "02:aa");
        CDevice& device = work.device;
        work.chooseMacFile();
        MessageBoxClicker clicker({QMessageBox::Yes, QMessageBox::Ok});
        clicker.setReadingTimeMs(kReadingTimeMs);

        QVERIFY(runAndWait(device, kAddDeviceButton));
        QCOMPARE(clicker.seenTexts(), QStringList{"Add device completely!"});
        QVERIFY(runAndWait(device, kAddDeviceButton));  // both exist now: two questions
        QCOMPARE(clicker.seenTexts().mid(1),
                 (QStringList{"02:aa:00:00:00:01 exist,replace it?",
                              "02:aa:00:00:00:02 exist,replace it?", "Add device completely!"}));
        QVERIFY(runAndWait(device, kDeleteDeviceButton));
        const QStringList texts = clicker.seenTexts();
        QVERIFY(texts[texts.size() - 2].startsWith("Deregister the 2 devices of macs.csv from "));
        QCOMPARE(texts.last(), QStringLiteral("Delete device completely!"));
        QCOMPARE(clicker.unreachable(), QStringList());
        QVERIFY(!anyProgressDialogVisible());
    }

    void deviceProblemsReachTheOperator_data() { delays(); }
    void deviceProblemsReachTheOperator() {
        QFETCH(int, delay);
        ShowDelay showDelay(delay);
        OperatorAtWork work("ivan", "02:bb");
        CDevice& device = work.device;
        MessageBoxClicker clicker({QMessageBox::Ok, QMessageBox::Abort});
        clicker.setReadingTimeMs(kReadingTimeMs);

        QVERIFY(runAndWait(device, kAddDeviceButton));  // no file chosen
        QCOMPARE(clicker.seenTexts(), QStringList{"No MAC file was chosen."});
        work.server.stop();
        work.chooseMacFile();
        MessageBoxClicker confirming({QMessageBox::Yes});
        QVERIFY(runAndWait(device, kDeleteDeviceButton));
        QCOMPARE(confirming.seen().size(), 1);
        // The server is down: one Retry/Stop question (answered Stop), then the summary.
        const QStringList texts = clicker.seenTexts();
        QCOMPARE(texts.size(), 3);
        QCOMPARE(texts[1], QStringLiteral("The server 127.0.0.1 is not answering"));
        QVERIFY2(texts[2].contains("not answering"), qPrintable(texts[2]));
        QCOMPARE(clicker.unreachable(), QStringList());
    }

    // MAC addresses the server does not have: each refusal gets its box while the batch runs,
    // on the batch's progress dialog, and the summary follows once the dialog has gone.
    void perMacFailuresOpenOnTheRunningBatch_data() { delays(); }
    void perMacFailuresOpenOnTheRunningBatch() {
        QFETCH(int, delay);
        ShowDelay showDelay(delay);
        OperatorAtWork work("olga", "02:ee");
        CDevice& device = work.device;
        work.chooseMacFile();
        MessageBoxClicker clicker({QMessageBox::Yes, QMessageBox::Ok});
        clicker.setReadingTimeMs(kReadingTimeMs);
        QVERIFY(runAndWait(device, kDeleteDeviceButton));
        const QList<velquor::testing::SeenMessageBox>& seen = clicker.seen();
        QCOMPARE(seen.size(), 4);  // confirmation, two refusals, summary
        for (int refusal : {1, 2}) {
            QVERIFY2(seen[refusal].text.endsWith("delete failed!"), qPrintable(seen[refusal].text));
        }
        QVERIFY2(!seen[3].progressDialogShown, qPrintable(seen[3].text));
        QVERIFY2(!seen[3].resultsViewShown, qPrintable(seen[3].text));
        QVERIFY(device.findChild<ResultsView*>());
        QCOMPARE(clicker.misplaced(), QStringList());
    }

    // The closing box of a batch opens once its progress dialog has gone, and when it closes
    // the keyboard is back in the Device dialog: Return and Escape work without a click.
    void theClosingBoxFollowsTheProgressDialogAndFocusReturns_data() { delays(); }
    void theClosingBoxFollowsTheProgressDialogAndFocusReturns() {
        QFETCH(int, delay);
        ShowDelay showDelay(delay);
        OperatorAtWork work("lena", "02:cc");
        CDevice& device = work.device;
        QVERIFY(QTest::qWaitForWindowActive(&device));
        work.chooseMacFile();
        MessageBoxClicker clicker({QMessageBox::Yes, QMessageBox::Ok});
        clicker.setReadingTimeMs(kReadingTimeMs);
        for (int button : {kAddDeviceButton, kAddDeviceButton, kDeleteDeviceButton}) {
            QVERIFY(runAndWait(device, button));
            // The run's results open after its closing box; closing them gives the keyboard
            // back to the Device dialog.
            QTRY_VERIFY(qobject_cast<ResultsView*>(QApplication::activeWindow()));
            QApplication::activeWindow()->close();
            QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget*>(&device));
        }
        const QList<velquor::testing::SeenMessageBox>& seen = clicker.seen();
        QCOMPARE(seen.size(), 6);  // done; two questions, done; confirmation, done
        for (int closing : {0, 3, 5}) {
            QVERIFY2(seen[closing].text.contains("completely!"), qPrintable(seen[closing].text));
            QVERIFY2(!seen[closing].progressDialogShown, qPrintable(seen[closing].text));
            QVERIFY2(!seen[closing].resultsViewShown, qPrintable(seen[closing].text));
        }
        QCOMPARE(clicker.unreachable(), QStringList());
    }

    // No, the default answer, sends nothing: the account and the registrations are still there.
    void deletionsAreConfirmedAndNoSendsNothing() {
        OperatorAtWork work("mona", "02:dd");
        CDevice& device = work.device;
        work.chooseMacFile();
        {
            MessageBoxClicker clicker({QMessageBox::Ok});
            QVERIFY(runAndWait(device, kAddDeviceButton));
        }
        {
            MessageBoxClicker clicker({QMessageBox::No});
            QVERIFY(clickControl(device, kDeleteDeviceButton));
            QVERIFY(!device.isBusy());
            QCOMPARE(clicker.seenTexts(),
                     QStringList{QStringLiteral("Deregister the 2 devices of macs.csv from %1?")
                                     .arg(QString::fromStdString(work.server.endpoint().address))});
            QCOMPARE(clicker.seen()[0].title, QStringLiteral("Delete device"));
        }
        velquor::support::NullReporter quiet;
        QVERIFY(velquor::provisioning::login(work.server.endpoint(), "chief",
                                             work.server.chiefPassword(), quiet));
        CUser user(work.prompter, work.server.endpoint());
        user.show();
        controlAs<QLineEdit>(user, kUserNameEdit)->setText("mona");
        {
            MessageBoxClicker clicker({QMessageBox::No});
            QVERIFY(runAndWait(user, kDeleteUserButton));
            QVERIFY(velquor::testing::waitFor([&] { return !clicker.seen().isEmpty(); }));
            QCOMPARE(clicker.seenTexts(), QStringList{"Delete user mona?"});
        }
        work.server.stop();
        const std::string log = work.server.log();
        QVERIFY2(log.find("DEL") == std::string::npos, log.c_str());
    }

    // A server that takes the connection and never answers: the window stays alive, the
    // progress dialog comes up, and Cancel ends the wait at once without a box.
    void loginToASilentServerCanBeCancelled() {
        ShowDelay showDelay(kPromptAfterTheDialog);
        SilentListener silent;
        KestodFixture server;
        velquor::provisioning::KestoEndpoint endpoint = server.endpoint();
        endpoint.loginPort = silent.port();
        RealMessagesPrompter prompter;
        kestologin login(prompter, endpoint);
        login.setModalRunner([](QDialog&) { return 0; });
        login.show();
        controlAs<QLineEdit>(login, kLoginUserEdit)->setText("chief");
        controlAs<QLineEdit>(login, kLoginPasswordEdit)->setText("whatever");
        MessageBoxClicker clicker;
        QSignalSpy finished(&login, &ControlWindow::commandFinished);
        QVERIFY(clickControl(login, kLoginOkButton));
        QVERIFY(login.isBusy());
        JobProgressDialog* dialog = login.runningTask()->dialog();
        QVERIFY(waitFor([&] { return dialog->isVisible(); }, 5000));
        QCOMPARE(dialog->labelText(), QStringLiteral("Logging in…"));
        dialog->cancelButton()->click();
        QVERIFY(finished.count() > 0 || finished.wait(5000));
        QVERIFY(clicker.seen().isEmpty());
        QVERIFY(login.isVisible());
        QCOMPARE(login.result(), int(QDialog::Rejected));
    }

    // "Login failed!" stays the text; a reason found on this side goes beneath it.
    void aLocalLoginFailureSaysWhy() {
        KestodFixture server;
        velquor::provisioning::KestoEndpoint endpoint = server.endpoint();
        endpoint.caFile = "/nonexistent/cacert.pem";
        RealMessagesPrompter prompter;
        kestologin login(prompter, endpoint);
        login.show();
        controlAs<QLineEdit>(login, kLoginUserEdit)->setText("chief");
        controlAs<QLineEdit>(login, kLoginPasswordEdit)
            ->setText(QString::fromStdString(server.chiefPassword()));
        MessageBoxClicker clicker;
        QVERIFY(runAndWait(login, kLoginOkButton));
        QCOMPARE(clicker.seenTexts(), QStringList{"Login failed!"});
        QVERIFY2(clicker.seen()[0].informativeText.contains("/nonexistent/cacert.pem"),
                 qPrintable(clicker.seen()[0].informativeText));
        QCOMPARE(clicker.unreachable(), QStringList());
    }

private:
    static void delays() {
        QTest::addColumn<int>("delay");
        QTest::newRow("prompt before the progress dialog") << kPromptBeforeTheDialog;
        QTest::newRow("prompt after the progress dialog") << kPromptAfterTheDialog;
        QTest::newRow("show delay runs out while a box is read") << 150;
    }
};

VELQUOR_ROOM_TEST(KestoRealBoxesTest)
#include "kesto_real_boxes_test.moc"
