// The Serve to phones window driven offscreen: it serves the folder, its table turns a phone
// fetched once curl has fetched its file (over HTTP or TFTP), the filters and the counts follow,
// Copy and Save take the rows shown, and Stop and closing the window free the port. From the main
// window it serves the output folder, or its en folder when AES Key is ticked.
#include "app/serve/serve_dialog.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTest>

#include "app/kit/window/keyboard_access.h"
#include "app/main_window/velquor_dlg.h"
#include "app/results/row_table_actions.h"
#include "app/serve/serve_phones_model.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::q;
using velquor::testing::readFile;
using velquor::testing::runCommand;
using velquor::testing::TempDir;
using velquor::testing::waitFor;
using velquor::testing::writeFile;

namespace {

int curlStatus(std::uint16_t port, const std::string& path) {
    return std::atoi(runCommand("curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:" +
                                std::to_string(port) + path)
                         .c_str());
}

// A UDP port of 127.0.0.1 nobody uses at the moment.
int freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    ::close(fd);
    return ntohs(local.sin_port);
}

QString cell(const QTableView& table, int row, int column) {
    return table.model()->index(row, column).data().toString();
}

}  // namespace

class ServeDialogTest : public QObject {
    Q_OBJECT

private slots:
    void aFetchShowsInTheTableAndStopFreesThePort() {
        TempDir dir;
        std::filesystem::create_directory(dir / "out");
        writeFile(dir / "out" / "001A2B3C4D5E.xml", "<config/>\n");
        writeFile(dir / "out" / "0015650A33FB.xml", "<config/>\n");
        writeFile(dir / "devices.csv",
                  "MAC,Name\n001A2B3C4D5E,Desk\n0015650A33FB,Hall\n001122334455,Lobby\n");
        ScriptedPrompter prompter;
        auto* dialog = new ServeDialog(prompter);
        dialog->setFolder(q(dir / "out"));
        dialog->setSheet(q(dir / "devices.csv"));
        dialog->portBox()->setValue(0);
        dialog->addressEdit()->setText("127.0.0.1");
        dialog->show();
        QVERIFY(dialog->startServing());
        const std::uint16_t port = dialog->port();
        QVERIFY(port != 0);
        QVERIFY(dialog->windowTitle().contains("0 of 3 fetched, 3 waiting"));
        QVERIFY(dialog->warningLabel()->isVisible());
        // The phones are given the one address served on, not every address of this computer.
        QCOMPARE(dialog->urlBox()->count(), 1);
        QCOMPARE(dialog->urlBox()->itemText(0),
                 QString("http://127.0.0.1:%1/").arg(dialog->port()));

        QCOMPARE(curlStatus(port, "/prov/001a2b3c4d5e.xml"), 200);
        QCOMPARE(curlStatus(port, "/001122334455.cfg"), 404);
        QTableView& table = *dialog->table();
        QVERIFY(waitFor([&] { return cell(table, 0, 2) == "fetched"; }));
        QCOMPARE(cell(table, 0, 0), QString("001a2b3c4d5e"));
        QCOMPARE(cell(table, 0, 1), QString("001A2B3C4D5E.xml"));
        QCOMPARE(cell(table, 0, ServePhonesModel::kCount), QString("1"));
        QCOMPARE(cell(table, 0, ServePhonesModel::kPeer), QString("127.0.0.1"));
        QVERIFY(waitFor([&] { return cell(table, 2, 2) == "asked, not found"; }));
        QCOMPARE(cell(table, 2, 1), QString("001122334455.cfg"));
        QVERIFY(dialog->windowTitle().contains("1 of 3 fetched, 1 waiting, problems: 1"));

        RowTableActions& actions = *dialog->rowActions();
        dialog->shownBox()->setCurrentIndex(3);  // problems
        QCOMPARE(table.model()->rowCount(), 1);
        dialog->shownBox()->setCurrentIndex(1);  // waiting
        QCOMPARE(table.model()->rowCount(), 1);
        QCOMPARE(cell(table, 0, 0), QString("0015650a33fb"));
        QCOMPARE(velquor::app::withoutAltKey(actions.copyButton()->text()),
                 QString("Copy shown (1)"));
        dialog->shownBox()->setCurrentIndex(0);
        QCOMPARE(velquor::app::withoutAltKey(actions.saveButton()->text()), QString("Save all…"));

        // The filter box finds a MAC in the spelling a technician reads off a phone, within
        // the kind of phone shown; Copy and Save take the rows it shows.
        QTest::keyClicks(actions.filterBox(), "00:15:65");
        QCOMPARE(table.model()->rowCount(), 1);
        QCOMPARE(cell(table, 0, 0), QString("0015650a33fb"));
        actions.copyRows();
        QCOMPARE(QGuiApplication::clipboard()->text().section('\n', 0, 1),
                 QString("MAC\tFile\tStatus\tProof\tFirst fetch\tLast request\tFetches\tPeer\t"
                         "User agent\n0015650a33fb\t\twaiting\t\t\t\t0\t\t"));
        dialog->shownBox()->setCurrentIndex(2);  // fetched
        QCOMPARE(table.model()->rowCount(), 0);
        dialog->shownBox()->setCurrentIndex(0);
        actions.filterBox()->clear();
        QCOMPARE(table.model()->rowCount(), 3);

        prompter.queueFile(q(dir / "phones.csv"));
        QVERIFY(actions.saveReport());
        const std::string report = readFile(dir / "phones.csv");
        QVERIFY(report.find("\r\n001a2b3c4d5e,fetched,001A2B3C4D5E.xml,") != std::string::npos);
        QVERIFY(report.find("\r\n0015650a33fb,waiting,") != std::string::npos);

        QTest::mouseClick(dialog->stopButton(), Qt::LeftButton);
        QVERIFY(!dialog->isServing());
        QCOMPARE(curlStatus(port, "/001a2b3c4d5e.xml"), 0);
        QVERIFY(dialog->serveButton()->isEnabled());

        // Serving again on the same log starts from what it says; closing stops it.
        QVERIFY(dialog->startServing());
        QVERIFY(dialog->windowTitle().contains("1 of 3 fetched"));
        const std::uint16_t again = dialog->port();
        dialog->close();
        QCOMPARE(curlStatus(again, "/001a2b3c4d5e.xml"), 0);
    }

    void aTftpFetchTurnsThePhoneFetched() {
        TempDir dir;
        std::filesystem::create_directory(dir / "out");
        writeFile(dir / "out" / "001A2B3C4D5E.xml", "<config/>\n");
        writeFile(dir / "devices.csv", "MAC,Name\n001A2B3C4D5E,Desk\n");
        ScriptedPrompter prompter;
        ServeDialog dialog(prompter);
        dialog.setFolder(q(dir / "out"));
        dialog.setSheet(q(dir / "devices.csv"));
        dialog.portBox()->setValue(0);
        dialog.addressEdit()->setText("127.0.0.1");
        // Off at first; a step up turns it on at the phones' factory default, port 69.
        QSpinBox& tftp = *dialog.tftpPortBox();
        QCOMPARE(tftp.value(), 0);
        tftp.stepUp();
        QCOMPARE(tftp.value(), 69);
        tftp.setValue(freeUdpPort());
        QVERIFY(dialog.startServing());
        const QString url = QString("tftp://127.0.0.1:%1/").arg(tftp.value());
        QCOMPARE(dialog.urlBox()->findText(url), 1);

        QCOMPARE(runCommand("curl -s " + url.toStdString() + "001a2b3c4d5e.xml"),
                 std::string("<config/>\n"));
        QTableView& table = *dialog.table();
        QVERIFY(waitFor([&] { return cell(table, 0, 2) == "fetched"; }));
        QCOMPARE(cell(table, 0, 1), QString("001A2B3C4D5E.xml"));
        QVERIFY(dialog.windowTitle().contains("1 of 1 fetched"));
    }

    void wrongFieldsAreRefusedWithTheirReason() {
        TempDir dir;
        ScriptedPrompter prompter;
        ServeDialog dialog(prompter);
        dialog.setFolder(q(dir / "missing"));
        dialog.portBox()->setValue(0);
        dialog.addressEdit()->setText("127.0.0.1");
        QVERIFY(!dialog.startServing());
        QCOMPARE(prompter.messages().back().text, QString("The folder cannot be served."));
        QVERIFY(prompter.messages().back().details.contains("missing"));

        dialog.setFolder(q(dir.path()));
        dialog.allowEdit()->setText("10.0.0.0/8, 10.0.0.0/99");
        QVERIFY(!dialog.startServing());
        QVERIFY(prompter.messages().back().details.contains("10.0.0.0/99"));
        QVERIFY(!dialog.isServing());

        // Plain configuration files to every address, with no phone proving itself.
        std::filesystem::create_directory(dir / "plain");
        writeFile(dir / "plain" / "001A2B3C4D5E.xml", "<config/>\n");
        dialog.setFolder(q(dir / "plain"));
        dialog.allowEdit()->clear();
        dialog.addressEdit()->clear();
        QVERIFY(!dialog.startServing());
        QCOMPARE(prompter.messages().back().text,
                 QString("The plain configuration files would go to anyone who reaches this "
                         "computer."));
        QVERIFY(!dialog.isServing());
    }

    void theMainWindowServesTheEncryptedCopiesOfAnEncryptingRun() {
        TempDir dir;
        std::filesystem::create_directories(dir / "out" / "en");
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        window.setControlText(kOutputDirEdit, q(dir / "out"));
        window.setControlText(kMacAccountEdit, q(dir / "devices.csv"));
        window.control(kAesKeyCheckBox)->setProperty("checked", true);
        QAction* serve = window.menuCommand(kServeMenuCommand);
        QVERIFY(serve != nullptr);
        QCOMPARE(velquor::app::withoutAltKey(serve->text()), QString("Serve to phones"));
        serve->trigger();
        auto* dialog = window.findChild<ServeDialog*>();
        QVERIFY(dialog != nullptr);
        QCOMPARE(QDir::cleanPath(dialog->folderEdit()->text()), q(dir / "out" / "en"));
        QVERIFY(!dialog->isServing());
    }
};

VELQUOR_ROOM_TEST(ServeDialogTest)
#include "serve_dialog_test.moc"
