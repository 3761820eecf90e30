// The results view: Generate with real boxes ends with its completion box and then every row
// in the view, whose saved report is byte for byte the CLI's --report of the same run; the
// filter, sorting and Copy over a run of 20,000 rows; a report that cannot be saved.
#include "app/results/results_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <filesystem>
#include <string>

#include "app/kit/window/keyboard_access.h"
#include "app/main_window/velquor_dlg.h"
#include "app_test_support.h"
#include "report_readback.h"
#include "room_main.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::clickControl;
using velquor::testing::kTemplate;
using velquor::testing::MessageBoxClicker;
using velquor::testing::q;
using velquor::testing::readFile;
using velquor::testing::RealMessagesPrompter;
using velquor::testing::runProgram;
using velquor::testing::shellQuote;
using velquor::testing::TempDir;
using velquor::testing::waitFor;
using velquor::testing::writeFile;
namespace fs = std::filesystem;

namespace {

// Every tenth row failed, with a reason; rows out of order so sorting has work to do.
RunResults manyRows(int count) {
    RunResults results;
    results.title = "results";
    results.placeHeader = "Row";
    results.counts = QStringLiteral("%1 rows").arg(count);
    results.report.header = {"row", "mac", "outcome", "reason"};
    for (int i = count; i >= 1; --i) {
        const bool failed = i % 10 == 0;
        const QString mac = QStringLiteral("0015650%1").arg(i, 5, 10, QChar('0'));
        const char* outcome = failed ? "failed" : "written";
        const char* reason = failed ? "the MAC cell is not a MAC address" : "";
        results.rows.push_back(
            ResultRow{i + 1, QString::number(i + 1), mac, QString(), outcome, reason, failed});
        results.report.rows.push_back({std::to_string(i + 1), mac.toStdString(), outcome, reason});
    }
    return results;
}

}  // namespace

class ResultsViewTest : public QObject {
    Q_OBJECT

private slots:
    void generateListsEveryRowAndSavesTheCliReport() {
        TempDir dir;
        writeFile(dir / "template.xml", kTemplate);
        writeFile(dir / "devices.csv",
                  "MAC,Name,User,Auth,Password,Proxy,Port\n"
                  "001565A1B2C1,Reception,2001,2001,pw1,sip.lan,5060\n"
                  "../escape,Bad,1,1,p,sip.lan,5060\n"
                  "001565A1B2C2,Sales,2002,2002,pw2,sip.lan,5062\n"
                  "bad/2,Bad,1,1,p,sip.lan,5060\n");
        const QString out = q(dir / "out") + '/';
        RealMessagesPrompter prompter;
        CVelquorDlg window(prompter);
        window.show();
        window.setControlText(kMacAccountEdit, q(dir / "devices.csv"));
        window.setControlText(kTemplateEdit, q(dir / "template.xml"));
        window.setControlText(kOutputDirEdit, out);
        MessageBoxClicker clicker({QMessageBox::Yes, QMessageBox::Ok});
        QVERIFY(clickControl(window, kGenerateButton));
        ResultsView* view = nullptr;
        QVERIFY(waitFor([&] { return (view = window.findChild<ResultsView*>()) != nullptr; }));

        // The product's summary stays the box's text; the counts and the folder go beneath.
        QVERIFY(!clicker.seen().isEmpty());
        const SeenBox last{clicker.seen().last().text, clicker.seen().last().informativeText};
        QVERIFY2(last.text.startsWith("2 of 4 device rows written."), qPrintable(last.text));
        QVERIFY2(last.details.contains("2 written, 2 refused") && last.details.contains(out),
                 qPrintable(last.details));
        QVERIFY(view->countsText().contains("2 written, 2 refused"));
        QCOMPARE(view->visibleRowCount(), 4);
        view->failuresOnlyBox()->setChecked(true);
        QCOMPARE(view->visibleRowCount(), 2);
        QCOMPARE(view->table()->model()->index(0, 1).data().toString(), QString("../escape"));
        QVERIFY(!view->table()->model()->index(0, 3).data().toString().isEmpty());

        view->failuresOnlyBox()->setChecked(false);  // Save takes the shown rows
        prompter.files.queueFile(q(dir / "window.csv"));
        view->saveButton()->click();
        const auto cli =
            runProgram(VELQUOR_CLI_BINARY,
                       "generate --template " + shellQuote((dir / "template.xml").string()) +
                           " --sheet " + shellQuote((dir / "devices.csv").string()) + " --out " +
                           shellQuote(out.toStdString()) + " --report " +
                           shellQuote((dir / "cli.csv").string()));
        QVERIFY2(fs::exists(dir / "cli.csv"), cli.output.c_str());
        QCOMPARE(readFile(dir / "window.csv"), readFile(dir / "cli.csv"));
        QCOMPARE(clicker.unreachable(), QStringList());
    }

    // Twenty thousand rows: the filter, a numeric sort on the first column and Copy of a
    // selection all work on the model, never on a widget per row.
    void aLargeRunFiltersSortsAndCopies() {
        ScriptedPrompter prompter;
        ResultsView view(prompter, manyRows(20000));
        view.show();
        QCOMPARE(view.visibleRowCount(), 20000);
        QCOMPARE(view.table()->indexWidget(view.table()->model()->index(0, 0)), nullptr);
        QCOMPARE(view.table()->model()->index(0, 0).data().toString(), QString("2"));
        QCOMPARE(view.table()->model()->index(8, 0).data().toString(), QString("10"));
        view.failuresOnlyBox()->setChecked(true);
        QCOMPARE(view.visibleRowCount(), 2000);
        view.table()->selectRow(1);
        view.copyButton()->click();
        QCOMPARE(QApplication::clipboard()->text(),
                 QString("Row\tMAC\tOutcome\tReason\n"
                         "21\t001565000020\tfailed\tthe MAC cell is not a MAC address\n"));
        view.table()->clearSelection();
        view.failuresOnlyBox()->setChecked(false);
        QCOMPARE(view.visibleRowCount(), 20000);
    }

    // The filter box finds a phone's row by its MAC in any spelling, whole or in part, by the
    // row's number, or by a word of any column; it works with Problems only, and Copy takes
    // what it shows.
    void theFilterFindsAMacInAnySpellingOrARow() {
        ScriptedPrompter prompter;
        ResultsView view(prompter, manyRows(20000));
        view.show();
        const auto shownFor = [&view](const QString& typed) {
            view.filterBox()->setText(typed);
            return view.visibleRowCount();
        };
        for (const char* spelling :
             {"00:15:65:00:00:42", "00-15-65-00-00-42", " 0015.6500.0042 ", "00:15:65:00:00:42"}) {
            QCOMPARE(shownFor(spelling), 1);
            QCOMPARE(view.table()->model()->index(0, 1).data().toString(), QString("001565000042"));
        }
        QCOMPARE(shownFor("00:00:42"), 1);  // a part of a MAC
        QCOMPARE(shownFor("0015650000A"), 0);
        QCOMPARE(shownFor("43"), 1);  // a row, not every MAC holding 43
        QCOMPARE(view.table()->model()->index(0, 1).data().toString(), QString("001565000042"));
        QCOMPARE(shownFor("NOT A MAC"), 2000);  // a word of the reason
        view.failuresOnlyBox()->setChecked(true);
        QCOMPARE(shownFor("00:15:65:00:00:42"), 0);  // row 43 was written
        QCOMPARE(shownFor("00:15:65:00:00:40"), 1);
        view.copyButton()->click();
        QVERIFY(
            QApplication::clipboard()->text().endsWith("\n41\t001565000040\tfailed\t"
                                                       "the MAC cell is not a MAC address\n"));
        view.failuresOnlyBox()->setChecked(false);
        QCOMPARE(shownFor(""), 20000);
    }

    // Copy and Save take the same rows, and their buttons say which: all, the shown ones
    // under the filter, the selected ones. A name typed without an extension gets that of the
    // chosen file type, and an existing file of that name is asked about, since the save
    // dialog asked only about the name as typed.
    void saveTakesTheRowsCopyTakesAndNamesTheFileType() {
        TempDir dir;
        ScriptedPrompter prompter;
        ResultsView view(prompter, manyRows(30));
        QCOMPARE(velquor::app::withoutAltKey(view.copyButton()->text()), QString("Copy all"));
        QCOMPARE(velquor::app::withoutAltKey(view.saveButton()->text()), QString("Save all…"));
        view.failuresOnlyBox()->setChecked(true);
        QCOMPARE(velquor::app::withoutAltKey(view.copyButton()->text()), QString("Copy shown (3)"));
        QCOMPARE(velquor::app::withoutAltKey(view.saveButton()->text()),
                 QString("Save shown (3)…"));

        prompter.queueFile(q(dir / "failures"));
        QVERIFY(view.saveReport());
        QCOMPARE(readFile(dir / "failures.csv"),
                 std::string("row,mac,outcome,reason\r\n"
                             "11,001565000010,failed,the MAC cell is not a MAC address\r\n"
                             "21,001565000020,failed,the MAC cell is not a MAC address\r\n"
                             "31,001565000030,failed,the MAC cell is not a MAC address\r\n"));
        QVERIFY(!prompter.fileDialogs().back().filter.isEmpty());
        const QString workbookFilter = prompter.fileDialogs().back().filter.split(";;").last();
        QVERIFY2(workbookFilter.contains("*.xlsx"), qPrintable(workbookFilter));

        view.table()->selectRow(1);
        QCOMPARE(velquor::app::withoutAltKey(view.copyButton()->text()),
                 QString("Copy selected (1)"));
        QCOMPARE(velquor::app::withoutAltKey(view.saveButton()->text()),
                 QString("Save selected (1)…"));
        view.copyButton()->click();
        prompter.queueFile(q(dir / "picked"), workbookFilter);
        QVERIFY(view.saveReport());
        const auto book = velquor::testing::readWorkbook(dir / "picked.xlsx");
        QVERIFY2(book.ok, book.output.c_str());
        QCOMPARE(book.cells.size(), std::size_t(4 + 4));  // the header and the one row
        QCOMPARE(QString::fromStdString(book.at(2, 2)->text), QString("001565000020"));
        QVERIFY(QApplication::clipboard()->text().contains("001565000020"));
        QVERIFY(!QApplication::clipboard()->text().contains("001565000010"));

        // picked.xlsx exists now: saving to "picked" again asks, and No leaves it.
        const std::string before = readFile(dir / "picked.xlsx");
        prompter.queueFile(q(dir / "picked"), workbookFilter);
        QVERIFY(!view.saveReport());
        QCOMPARE(prompter.messageTexts().size(), 1);
        QVERIFY(prompter.messageTexts()[0].contains("picked.xlsx"));
        QCOMPARE(prompter.messages()[0].buttons, MessageButtons::YesNoDefaultNo);
        QCOMPARE(readFile(dir / "picked.xlsx"), before);
    }

    // A row a stopped run never reached needs a second look as much as a failed one: the
    // failures filter keeps both, and Save under the filter writes both.
    void cancelledRowsAreShownByTheProblemsFilter() {
        velquor::generator::GenerationReport report;
        using velquor::generator::DeviceOutcome;
        const auto row = [](int at, const char* mac, DeviceOutcome outcome) {
            velquor::generator::DeviceResult device;
            device.row = at;
            device.mac = mac;
            device.outcome = outcome;
            return device;
        };
        report.devices = {row(2, "001565000001", DeviceOutcome::Written),
                          row(3, "bad/mac", DeviceOutcome::Failed),
                          row(4, "001565000003", DeviceOutcome::Cancelled)};
        report.cancelled = true;
        TempDir dir;
        ScriptedPrompter prompter;
        ResultsView view(prompter, generationResults(report, "/o/"));
        view.failuresOnlyBox()->setChecked(true);
        QCOMPARE(view.visibleRowCount(), 2);
        QCOMPARE(view.table()->model()->index(1, 1).data().toString(), QString("001565000003"));
        prompter.queueFile(q(dir / "left.csv"));
        QVERIFY(view.saveReport());
        const std::string csv = readFile(dir / "left.csv");
        QVERIFY2(csv.find(",cancelled,") != std::string::npos, csv.c_str());
        QVERIFY2(csv.find(",written,") == std::string::npos, csv.c_str());
    }

    // A file written with empty values is counted apart in the line above the table, and the
    // "Problems only" filter keeps it with the failed rows.
    void rowsWrittenWithEmptyValuesAreCountedApartAndAreProblems() {
        velquor::generator::GenerationReport report;
        using velquor::generator::DeviceOutcome;
        velquor::generator::DeviceResult full, sparse, failed;
        full.row = 2;
        full.mac = "001565000001";
        full.outcome = DeviceOutcome::Written;
        sparse = full;
        sparse.row = 3;
        sparse.mac = "001565000002";
        sparse.emptyElements = {"SipUser"};
        failed.row = 4;
        failed.mac = "bad";
        failed.outcome = DeviceOutcome::Failed;
        report.devices = {full, sparse, failed};
        ScriptedPrompter prompter;
        ResultsView view(prompter, generationResults(report, "/o/"));
        QVERIFY2(view.countsText().contains("1 written with empty cells"),
                 qPrintable(view.countsText()));
        QCOMPARE(view.failuresOnlyBox()->text(), QString("Problems only"));
        view.failuresOnlyBox()->setChecked(true);
        QCOMPARE(view.visibleRowCount(), 2);
        QCOMPARE(view.table()->model()->index(0, 1).data().toString(), QString("001565000002"));

        // The check before a run shows the row it names for empty cells under Problems only.
        for (auto* device : {&full, &sparse}) device->outcome = DeviceOutcome::Checked;
        report.devices = {full, sparse};
        report.dryRun = true;
        ResultsView checked(prompter, generationResults(report, "/o/"));
        checked.failuresOnlyBox()->setChecked(true);
        QCOMPARE(checked.visibleRowCount(), 1);
        QCOMPARE(checked.table()->model()->index(0, 1).data().toString(), QString("001565000002"));
    }

    // A long reason is shown whole in its column (the table scrolls sideways), not cut short.
    void aLongReasonShowsWhole() {
        RunResults results = manyRows(3);
        const QString reason = QStringLiteral("cannot write /srv/provisioning/phones/site-%1/")
                                   .arg(QString(120, 'x')) +
                               "001565000003.xml: No space left on device";
        results.rows[0].reason = reason;
        results.rows[0].failed = true;
        ScriptedPrompter prompter;
        ResultsView view(prompter, std::move(results));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTableView* table = view.table();
        const int needed = table->fontMetrics().horizontalAdvance(reason);
        const int reasonColumn = table->model()->columnCount() - 1;
        QCOMPARE(table->model()->headerData(reasonColumn, Qt::Horizontal).toString(),
                 QStringLiteral("Reason"));
        QVERIFY2(table->columnWidth(reasonColumn) >= needed,
                 qPrintable(
                     QStringLiteral("%1 < %2").arg(table->columnWidth(reasonColumn)).arg(needed)));
    }

    // Ctrl+Q ends the program from the results view too, as from any of its windows.
    void ctrlQInTheResultsViewClosesEveryWindow() {
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        window.show();
        ResultsView* view = ResultsView::open(window, manyRows(3));
        view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(view));
        QTest::keyClick(view->table(), Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(waitFor([&] { return !window.isVisible(); }, 5000));
    }

    void aReportThatCannotBeSavedSaysSo() {
        TempDir dir;
        ScriptedPrompter prompter;
        ResultsView view(prompter, manyRows(3));
        prompter.queueFile(q(dir / "missing" / "report.csv"));
        QVERIFY(!view.saveReport());
        QCOMPARE(prompter.messageTexts(), QStringList{"The report was not saved."});
        QVERIFY(!prompter.messages()[0].details.isEmpty());
        prompter.queueFileCancel();
        QVERIFY(!view.saveReport());
        QCOMPARE(prompter.messages().size(), std::size_t(1));
    }

private:
    struct SeenBox {
        QString text;
        QString details;
    };
};

VELQUOR_ROOM_TEST(ResultsViewTest)
#include "results_view_test.moc"
