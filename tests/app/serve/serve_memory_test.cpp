// Serve to phones across restarts and in front of hostile peers, driven offscreen: it proposes
// the folder, port, address, log and allowed peers of its last use (and the phones that had
// fetched show fetched once it serves again), proposes a run's en/ folder and asks, Enter
// serving en/, when the plain folder is chosen; it shows a peer's bytes escaped, when each
// problem happened, and local times with their offset in the table and the saved report.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include "app/kit/inputs/input_history.h"
#include "app/kit/window/keyboard_access.h"
#include "app/main_window/velquor_dlg.h"
#include "app/results/row_table_actions.h"
#include "app/serve/serve_dialog.h"
#include "app/serve/serve_phones_model.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"
#include "time_zone.h"

using namespace velquor::app;
using velquor::testing::q;
using velquor::testing::readFile;
using velquor::testing::RealMessagesPrompter;
using velquor::testing::runCommand;
using velquor::testing::TempDir;
using velquor::testing::TimeZone;
using velquor::testing::waitFor;
using velquor::testing::writeFile;

namespace {

constexpr const char* kPhone = "001a2b3c4d5e";

std::string curlCode(std::uint16_t port, const std::string& path, const std::string& options = {}) {
    return runCommand("curl -s -o /dev/null -w '%{http_code}' " + options +
                      " http://127.0.0.1:" + std::to_string(port) + path);
}

QString cell(const QTableView& table, int row, int column) {
    return table.model()->index(row, column).data().toString();
}

// A run that encrypted: the plain files in out/, their copies in out/en/.
void writeEncryptingRun(const TempDir& dir) {
    std::filesystem::create_directories(dir / "out" / "en");
    writeFile(dir / "out" / "001A2B3C4D5E.xml", "<Password>secret</Password>\n");
    writeFile(dir / "out" / "en" / "001A2B3C4D5E.xml", "encrypted\n");
}

// Opens Serve to phones from a new main window whose output folder is out/ (AES Key not
// ticked, as after a restart: the key is never remembered).
ServeDialog* openFromMainWindow(CVelquorDlg& window, const TempDir& dir) {
    window.setControlText(kOutputDirEdit, q(dir / "out") + '/');
    window.menuCommand(kServeMenuCommand)->trigger();
    return window.findChild<ServeDialog*>();
}

// The history of this test alone, forgotten after.
class StateFile {
public:
    explicit StateFile(const TempDir& dir) { InputHistory::setStateFile(q(dir / "state.conf")); }
    ~StateFile() { InputHistory::setStateFile(QString()); }
};

}  // namespace

class ServeMemoryTest : public QObject {
    Q_OBJECT

private slots:
    void aReopenedWindowProposesTheLastUseAndItsPhonesStayFetched() {
        TempDir dir;
        writeEncryptingRun(dir);
        StateFile state(dir);
        const QString encrypted = q(dir / "out" / "en");
        const QString log = q(dir / "site-fetches.csv");
        std::uint16_t port = 0;
        {
            ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            ServeDialog* dialog = openFromMainWindow(window, dir);
            QVERIFY(dialog != nullptr);
            // The run made en/: that is what is proposed, with its own log beside it.
            QCOMPARE(QDir::cleanPath(dialog->folderEdit()->text()), encrypted);
            QCOMPARE(dialog->logEdit()->text(), q(dir / "out" / "en-fetch-log.csv"));
            dialog->logEdit()->setText(log);
            dialog->portBox()->setValue(0);
            dialog->addressEdit()->setText("127.0.0.1");
            dialog->allowEdit()->setText("127.0.0.0/8");
            QVERIFY(dialog->startServing());
            QVERIFY(prompter.messages().empty());
            port = dialog->port();
            QCOMPARE(curlCode(port, "/prov/001A2B3C4D5E.xml"), std::string("200"));
            QVERIFY(waitFor([&] { return cell(*dialog->table(), 0, 2) == "fetched"; }));
            dialog->close();
            QCOMPARE(curlCode(port, "/001A2B3C4D5E.xml"), std::string("000"));
        }
        {
            ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            ServeDialog* dialog = openFromMainWindow(window, dir);
            QCOMPARE(QDir::cleanPath(dialog->folderEdit()->text()), encrypted);
            QCOMPARE(dialog->logEdit()->text(), log);
            // The port the server had, not the "any free port" asked: the phones were told it.
            QCOMPARE(dialog->portBox()->value(), int(port));
            QCOMPARE(dialog->addressEdit()->text(), QString("127.0.0.1"));
            QCOMPARE(dialog->allowEdit()->text(), QString("127.0.0.0/8"));
            // Before it serves, the phones show as the log of last time left them.
            QCOMPARE(dialog->table()->model()->rowCount(), 1);
            QCOMPARE(cell(*dialog->table(), 0, ServePhonesModel::kStatus), QString("fetched"));
            QVERIFY(dialog->startServing());
            QCOMPARE(dialog->port(), port);
            QTableView& table = *dialog->table();
            QVERIFY(waitFor([&] { return table.model()->rowCount() == 1; }));
            QCOMPARE(cell(table, 0, ServePhonesModel::kMac), QString(kPhone));
            QCOMPARE(cell(table, 0, ServePhonesModel::kStatus), QString("fetched"));
            dialog->close();
        }
        // Another site's output folder is proposed with its own log; the port stays.
        std::filesystem::create_directories(dir / "other");
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        window.setControlText(kOutputDirEdit, q(dir / "other"));
        window.menuCommand(kServeMenuCommand)->trigger();
        auto* dialog = window.findChild<ServeDialog*>();
        QCOMPARE(dialog->folderEdit()->text(), q(dir / "other"));
        QCOMPARE(dialog->logEdit()->text(), q(dir / "other-fetch-log.csv"));
        QCOMPARE(dialog->portBox()->value(), int(port));
    }

    void thePlainFolderOfAnEncryptingRunAsksAndEnterServesEn() {
        TempDir dir;
        writeEncryptingRun(dir);
        RealMessagesPrompter prompter;
        ServeDialog dialog(prompter);
        dialog.setFolder(q(dir / "out"));
        dialog.portBox()->setValue(0);
        dialog.addressEdit()->setText("127.0.0.1");
        dialog.show();
        QString defaultButton;
        QString question;
        QTimer enter;
        QObject::connect(&enter, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) return;
            // Without the word joiners that keep a path on one line.
            question = box->text().remove(QChar(0x2060));
            defaultButton = box->defaultButton()
                                ? velquor::app::withoutAltKey(box->defaultButton()->text())
                                : QString();
            QTest::keyClick(box, Qt::Key_Return);
        });
        enter.start(20);
        QVERIFY(dialog.startServing());
        enter.stop();
        QCOMPARE(question, QString("Serve the encrypted copies in en/?"));
        QCOMPARE(defaultButton, QString("Serve en/"));
        QCOMPARE(QDir::cleanPath(dialog.folderEdit()->text()), q(dir / "out" / "en"));
        QCOMPARE(dialog.logEdit()->text(), q(dir / "out" / "en-fetch-log.csv"));
        const std::string body = runCommand(
            "curl -s http://127.0.0.1:" + std::to_string(dialog.port()) + "/001A2B3C4D5E.xml");
        QCOMPARE(QString::fromStdString(body), QString("encrypted\n"));
    }

    void thePlainFilesAreServedOnlyWhenChosenSo() {
        TempDir dir;
        writeEncryptingRun(dir);
        ScriptedPrompter prompter;
        ServeDialog dialog(prompter);
        dialog.setFolder(q(dir / "out"));
        dialog.portBox()->setValue(0);
        dialog.addressEdit()->setText("127.0.0.1");
        QVERIFY(!dialog.startServing());  // the box closed: nothing served
        QVERIFY(!dialog.isServing());
        QCOMPARE(prompter.messages().back().buttons, MessageButtons::ServeEncryptedOrPlain);
        QVERIFY(prompter.messages().back().details.contains(q(dir / "out" / "en")));
        prompter.queueAnswer(Answer::ServePlain);
        QVERIFY(dialog.startServing());
        QCOMPARE(dialog.folderEdit()->text(), q(dir / "out"));
        const std::string body = runCommand(
            "curl -s http://127.0.0.1:" + std::to_string(dialog.port()) + "/001A2B3C4D5E.xml");
        QCOMPARE(QString::fromStdString(body), QString("<Password>secret</Password>\n"));
    }

    void aPeersBytesShowEscapedAndEveryTimeIsLocalWithItsOffset() {
        const TimeZone zone(TimeZone::kCentralEurope);
        TempDir dir;
        std::filesystem::create_directory(dir / "out");
        // A name longer than the column's first width, with the MAC at its end.
        const std::string longName = "site-main-building-third-floor-desk-001a2b3c4d5e.cfg";
        writeFile(dir / "out" / longName, "<config/>\n");
        ScriptedPrompter prompter;
        ServeDialog dialog(prompter);
        dialog.setFileName(
            *velquor::mac::FileNamePattern::parse("site-main-building-third-floor-desk-{mac}.cfg"));
        dialog.setFolder(q(dir / "out"));
        dialog.portBox()->setValue(0);
        dialog.addressEdit()->setText("127.0.0.1");
        dialog.show();
        QVERIFY(dialog.startServing());
        const std::uint16_t port = dialog.port();
        QCOMPARE(curlCode(port, "/" + longName, "-A \"$(printf 'Desk\\033[2J\\177OK')\""),
                 std::string("200"));
        QCOMPARE(curlCode(port, "/0015650A33FB.cfg"), std::string("404"));
        QTableView& table = *dialog.table();
        QVERIFY(waitFor([&] { return table.model()->rowCount() == 2; }));
        QCOMPARE(cell(table, 0, ServePhonesModel::kUserAgent), QString("Desk\\x1b[2J\\x7fOK"));
        QCOMPARE(cell(table, 0, ServePhonesModel::kFile), QString::fromStdString(longName));
        const QModelIndex file = table.model()->index(0, ServePhonesModel::kFile);
        QCOMPARE(file.data(Qt::ToolTipRole).toString(), QString::fromStdString(longName));
        QVERIFY(table.columnWidth(ServePhonesModel::kFile) >=
                table.fontMetrics().horizontalAdvance(QString::fromStdString(longName)));

        const QRegularExpression local(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\+0[12]:00$"));
        QVERIFY2(local.match(cell(table, 0, ServePhonesModel::kFirstFetch)).hasMatch(),
                 qPrintable(cell(table, 0, ServePhonesModel::kFirstFetch)));
        // The problem shows when it happened; it has fetched nothing.
        QCOMPARE(cell(table, 1, ServePhonesModel::kStatus), QString("asked, not found"));
        QVERIFY(cell(table, 1, ServePhonesModel::kFirstFetch).isEmpty());
        QVERIFY(local.match(cell(table, 1, ServePhonesModel::kLastRequest)).hasMatch());

        prompter.queueFile(q(dir / "phones.csv"));
        QVERIFY(dialog.rowActions()->saveReport());
        const QString report = QString::fromStdString(readFile(dir / "phones.csv"));
        const QString firstFetch = cell(table, 0, ServePhonesModel::kFirstFetch);
        QVERIFY2(report.contains("," + firstFetch + "," + firstFetch + ","), qPrintable(report));
    }
};

VELQUOR_ROOM_TEST(ServeMemoryTest)
#include "serve_memory_test.moc"
