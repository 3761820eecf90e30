// Device Add and Delete end in the results view, with real boxes answered by a click, against a
// real kestod: the completion box keeps the product's text with the counts beneath it, the view
// lists every MAC address, filters the failures, and saves the very bytes the CLI's --report
// writes for the same run; failures beyond the boxes shown one by one are sent to the view.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <string>

#include "app/kesto/device_dialog.h"
#include "app/results/results_view.h"
#include "app_test_support.h"
#include "kestod_fixture.h"
#include "room_main.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::controlAs;
using velquor::testing::KestodFixture;
using velquor::testing::MessageBoxClicker;
using velquor::testing::q;
using velquor::testing::readFile;
using velquor::testing::RealMessagesPrompter;
using velquor::testing::runAndWait;
using velquor::testing::runProgram;
using velquor::testing::shellQuote;
using velquor::testing::TempDir;
using velquor::testing::writeFile;

namespace {

constexpr const char* kServerText = "https://prov.example/";

// velquor-cli kesto as the operator, against the fixture; returns its exit status.
int runCli(const KestodFixture& server, const TempDir& dir, const std::string& command) {
    writeFile(dir / "password", "pw\n");
    const auto& ports = server.ports();
    const auto run =
        runProgram(VELQUOR_CLI_BINARY,
                   "kesto --host 127.0.0.1 --ports " + std::to_string(ports[0]) + "," +
                       std::to_string(ports[1]) + "," + std::to_string(ports[2]) + " --cafile " +
                       shellQuote(server.caCertPath().string()) + " --user hank --password-file " +
                       shellQuote((dir / "password").string()) + " " + command);
    if (run.status != 0 && run.status != 1) qWarning("%s", run.output.c_str());
    return run.status;
}

ResultsView* resultsOf(const CDevice& device) {
    return device.findChild<ResultsView*>();
}

}  // namespace

class KestoResultsTest : public QObject {
    Q_OBJECT

private slots:
    void deleteListsEveryMacAndSavesTheCliReport() {
        KestodFixture server;
        QVERIFY(velquor::testing::makeOperator(server.endpoint(), server.chiefPassword(), "hank",
                                               "pw"));
        TempDir dir;
        writeFile(dir / "added.csv", "02:cc:00:00:00:01\n02:cc:00:00:00:02\n,02:cc:00:00:00:03\n");
        // Two of these were never registered: the server refuses to delete them.
        writeFile(dir / "deleted.csv",
                  "02:cc:00:00:00:01\n02:cc:00:00:00:09\n,02:cc:00:00:00:03\n"
                  "02:cc:00:00:00:02\n02:cc:00:00:00:0a\n");
        RealMessagesPrompter prompter;
        CDevice device(prompter, "hank", server.endpoint());
        device.show();
        controlAs<QComboBox>(device, kServerCombo)->setEditText(kServerText);
        MessageBoxClicker clicker;

        controlAs<QLineEdit>(device, kMacFileEdit)->setText(q(dir / "added.csv"));
        QVERIFY(runAndWait(device, kAddDeviceButton));
        QCOMPARE(clicker.seenTexts(), QStringList{"Add device completely!"});
        QVERIFY2(clicker.seen()[0].informativeText.contains("3 added") &&
                     clicker.seen()[0].informativeText.contains("3 empty cells, nothing to send"),
                 qPrintable(clicker.seen()[0].informativeText));
        QVERIFY(resultsOf(device));
        QCOMPARE(resultsOf(device)->visibleRowCount(), 3);

        controlAs<QLineEdit>(device, kMacFileEdit)->setText(q(dir / "deleted.csv"));
        MessageBoxClicker confirming({QMessageBox::Yes});  // "Deregister the N devices…?"
        QVERIFY(runAndWait(device, kDeleteDeviceButton));
        const QList<velquor::testing::SeenMessageBox> seen = clicker.seen().mid(1);
        QCOMPARE(seen.size(), 3);
        QCOMPARE(seen[0].text, QStringLiteral("02:cc:00:00:00:09 delete failed!"));
        QCOMPARE(seen[1].text, QStringLiteral("02:cc:00:00:00:0a delete failed!"));
        QVERIFY2(seen[2].text.contains("Failed: 2"), qPrintable(seen[2].text));
        QVERIFY2(seen[2].informativeText.contains("3 deleted, 2 failed"),
                 qPrintable(seen[2].informativeText));
        // Only the latest run's view stays open.
        QCOMPARE(device.findChildren<ResultsView*>().size(), 1);
        ResultsView* view = resultsOf(device);
        QCOMPARE(view->windowTitle(), QStringLiteral("Delete device — results"));
        QCOMPARE(view->visibleRowCount(), 5);
        view->failuresOnlyBox()->setChecked(true);
        QCOMPARE(view->visibleRowCount(), 2);
        QCOMPARE(view->table()->model()->index(0, 0).data().toString(), QStringLiteral("A2"));
        QCOMPARE(view->table()->model()->index(1, 1).data().toString(),
                 QStringLiteral("02:cc:00:00:00:0a"));
        view->failuresOnlyBox()->setChecked(false);  // Save takes the shown rows
        prompter.files.queueFile(q(dir / "window.csv"));
        QVERIFY(view->saveReport());

        // The same run from the CLI, over the same registrations.
        QCOMPARE(runCli(server, dir,
                        "device add " + shellQuote((dir / "added.csv").string()) +
                            " --server-field " + kServerText + " --replace none"),
                 0);
        QCOMPARE(
            runCli(server, dir,
                   "device del " + shellQuote((dir / "deleted.csv").string()) + " --server-field " +
                       kServerText + " --report " + shellQuote((dir / "cli.csv").string())),
            1);
        QCOMPARE(readFile(dir / "window.csv"), readFile(dir / "cli.csv"));
        QCOMPARE(clicker.unreachable(), QStringList());
    }

    // A sheet's header row is listed with the results but counted as no MAC address: not in
    // the summary, not among the outcomes, not in the question before a deletion.
    void aHeaderRowIsNoMacAddressInAnyCount() {
        KestodFixture server;
        QVERIFY(velquor::testing::makeOperator(server.endpoint(), server.chiefPassword(), "hank",
                                               "pw"));
        TempDir dir;
        writeFile(dir / "headed.csv", "MAC\n02:ee:00:00:00:01\n02:ee:00:00:00:02\n");
        RealMessagesPrompter prompter;
        CDevice device(prompter, "hank", server.endpoint());
        controlAs<QComboBox>(device, kServerCombo)->setEditText(kServerText);
        device.show();
        controlAs<QLineEdit>(device, kMacFileEdit)->setText(q(dir / "headed.csv"));
        MessageBoxClicker clicker({QMessageBox::Yes, QMessageBox::Ok});
        QVERIFY(runAndWait(device, kAddDeviceButton));
        QCOMPARE(clicker.seenTexts(), QStringList{"Add device completely!"});
        QCOMPARE(clicker.seen()[0].informativeText,
                 QStringLiteral("2 MAC addresses in headed.csv: 2 added."));
        QCOMPARE(resultsOf(device)->visibleRowCount(), 3);  // the header's row among them

        QVERIFY(runAndWait(device, kDeleteDeviceButton));
        QCOMPARE(clicker.seenTexts().mid(1),
                 (QStringList{QStringLiteral("Deregister the 2 devices of headed.csv from %1?")
                                  .arg(QString::fromStdString(server.endpoint().address)),
                              "Delete device completely!"}));
        QCOMPARE(clicker.seen()[2].informativeText,
                 QStringLiteral("2 MAC addresses in headed.csv: 2 deleted."));
        QCOMPARE(clicker.unreachable(), QStringList());
    }

    // The core shows five failures one by one; the summary's detail says where the others are.
    void failuresBeyondTheBoxesAreInTheResultsView() {
        KestodFixture server;
        QVERIFY(velquor::testing::makeOperator(server.endpoint(), server.chiefPassword(), "hank",
                                               "pw"));
        TempDir dir;
        std::string macs;
        for (int i = 0; i < 8; ++i) macs += "02:dd:00:00:00:0" + std::to_string(i) + "\n";
        writeFile(dir / "macs.csv", macs);
        RealMessagesPrompter prompter;
        CDevice device(prompter, "hank", server.endpoint());
        controlAs<QComboBox>(device, kServerCombo)->setEditText("https://prov.example/");
        device.show();
        controlAs<QLineEdit>(device, kMacFileEdit)->setText(q(dir / "macs.csv"));
        MessageBoxClicker clicker;
        MessageBoxClicker confirming({QMessageBox::Yes});  // "Deregister the N devices…?"
        QVERIFY(runAndWait(device, kDeleteDeviceButton));
        const QStringList texts = clicker.seenTexts();
        QCOMPARE(texts.size(), 6);
        QCOMPARE(texts[4], QStringLiteral("02:dd:00:00:00:04 delete failed!"));
        const QString summaryDetails = clicker.seen()[5].informativeText;
        QVERIFY2(summaryDetails.contains("3 of the 8 failures") &&
                     summaryDetails.contains("results view"),
                 qPrintable(summaryDetails));
        QVERIFY(resultsOf(device));
        resultsOf(device)->failuresOnlyBox()->setChecked(true);
        QCOMPARE(resultsOf(device)->visibleRowCount(), 8);
        QCOMPARE(clicker.unreachable(), QStringList());
    }
};

VELQUOR_ROOM_TEST(KestoResultsTest)
#include "kesto_results_test.moc"
