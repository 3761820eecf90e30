// List devices and Check MAC file against a real kestod: the table holds exactly the account's
// devices, the filter finds a MAC however it is typed, Save writes what the CLI's listing
// writes, and a check gives each MAC of a file its outcome, another account's phone included.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTest>
#include <string>

#include "app/kesto/device_dialog.h"
#include "app/kesto/device_table_view.h"
#include "app/kit/window/keyboard_access.h"
#include "app_test_support.h"
#include "kestod_fixture.h"
#include "room_main.h"
#include "scripted_prompter.h"
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

// Adds the MAC file's devices as user, through the dialog.
bool addAs(const KestodFixture& server, const char* user, const std::filesystem::path& file) {
    if (!velquor::testing::makeOperator(server.endpoint(), server.chiefPassword(), user, "pw")) {
        return false;
    }
    RealMessagesPrompter prompter;
    CDevice device(prompter, user, server.endpoint());
    controlAs<QComboBox>(device, kServerCombo)->setEditText(kServerText);
    controlAs<QLineEdit>(device, kMacFileEdit)->setText(q(file));
    MessageBoxClicker clicker;
    return runAndWait(device, kAddDeviceButton) &&
           clicker.seenTexts() == QStringList{"Add device completely!"};
}

QStringList column(const DeviceTableView& view, int column) {
    QStringList cells;
    const QAbstractItemModel* shown = view.table()->model();
    for (int row = 0; row < shown->rowCount(); ++row) {
        cells << shown->index(row, column).data().toString();
    }
    return cells;
}

}  // namespace

class DeviceTableTest : public QObject {
    Q_OBJECT

private slots:
    // A server text holding an escape sequence and a line break is shown escaped, so it cannot
    // repaint the table or forge a row; Save keeps its bytes, as the CLI's --csv does.
    void aServerTextsControlCharactersAreShownEscapedAndSavedAsSent() {
        const std::string hostile = "https://p/\x1b[2J\r\n02cc00000009  https://evil/";
        const DeviceTable table =
            listingTable({{"02cc00000001", hostile, "2026-12-09T01:23:45Z"}}, QString(), "kesto");
        QCOMPARE(table.rows.at(0)[1],
                 QString("https://p/\\x1b[2J\\x0d\\x0a02cc00000009  https://evil/"));
        QCOMPARE(table.report.rows.at(0).at(1), hostile);
    }

    // A listing of thousands shows as many rows as its height holds lines of text: each row
    // is one line at the font's height, not the style's roomy default.
    void aListingsRowsAreOneLineHigh() {
        std::vector<velquor::provisioning::RegisteredDevice> devices(
            200, {"02cc00000001", "https://p/", "2026-12-09T01:23:45Z"});
        ScriptedPrompter prompter;
        DeviceTableView view(prompter, listingTable(devices, QString(), "kesto"));
        view.show();
        const int line = view.table()->fontMetrics().height();
        QVERIFY2(view.table()->rowHeight(0) < line + line / 2,
                 qPrintable(QString::number(view.table()->rowHeight(0))));
    }

    void aListingShowsTheAccountsOwnDevicesFiltersThemAndSavesTheCliListing() {
        KestodFixture server;
        TempDir dir;
        writeFile(dir / "hank.csv", "02:CC:00:00:00:02\n02-cc-00-00-00-01\n02cc0000000a\n");
        writeFile(dir / "ivy.csv", "02:ee:00:00:00:01\n");
        QVERIFY(addAs(server, "hank", dir / "hank.csv"));
        QVERIFY(addAs(server, "ivy", dir / "ivy.csv"));

        RealMessagesPrompter prompter;
        CDevice device(prompter, "hank", server.endpoint());
        device.show();
        MessageBoxClicker clicker;
        QVERIFY(runAndWait(device, kListDevicesButton));
        auto* view = device.findChild<DeviceTableView*>();
        QVERIFY(view);
        QCOMPARE(column(*view, 0), (QStringList{"02cc00000001", "02cc00000002", "02cc0000000a"}));
        QCOMPARE(column(*view, 1), QStringList(3, kServerText));
        // The server's UTC time in the one form of every table: local, with its offset.
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$")
                     .match(column(*view, 2)[0])
                     .hasMatch(),
                 qPrintable(column(*view, 2)[0]));
        QCOMPARE(view->countsText(),
                 QStringLiteral("3 devices registered to this account on 127.0.0.1."));
        QVERIFY(view->deleteButton()->isHidden() || !view->deleteButton()->isEnabled());

        // A MAC as printed on the phone's label, separators and capitals, finds its row.
        view->filterBox()->setText(QStringLiteral("02:CC:00:00:00:0A"));
        QCOMPARE(column(*view, 0), QStringList{"02cc0000000a"});
        QCOMPARE(velquor::app::withoutAltKey(view->copyButton()->text()),
                 QStringLiteral("Copy shown (1)"));
        view->filterBox()->setText(QStringLiteral("PROV.example"));
        QCOMPARE(view->visibleRowCount(), 3);
        view->filterBox()->setText(QStringLiteral("02ee"));
        QCOMPARE(view->visibleRowCount(), 0);
        view->filterBox()->clear();

        // Sorting by a column, then Save: the shown order is the file's.
        view->table()->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(column(*view, 0).first(), QStringLiteral("02cc0000000a"));
        view->table()->sortByColumn(0, Qt::AscendingOrder);
        prompter.files.queueFile(q(dir / "window"));  // no extension: .csv is added
        QVERIFY(view->saveReport());

        writeFile(dir / "password", "pw\n");
        const auto& ports = server.ports();
        const auto cli = runProgram(
            VELQUOR_CLI_BINARY, "kesto --host 127.0.0.1 --ports " + std::to_string(ports[0]) + "," +
                                    std::to_string(ports[1]) + "," + std::to_string(ports[2]) +
                                    " --cafile " + shellQuote(server.caCertPath().string()) +
                                    " --user hank --password-file " +
                                    shellQuote((dir / "password").string()) +
                                    " device list --csv " + shellQuote((dir / "cli.csv").string()));
        QCOMPARE(cli.status, 0);
        QCOMPARE(readFile(dir / "window.csv"), readFile(dir / "cli.csv"));
        QCOMPARE(clicker.unreachable(), QStringList());
    }

    void aCheckGivesEveryMacOfTheFileItsOutcome() {
        KestodFixture server;
        TempDir dir;
        writeFile(dir / "hank.csv", "02:cc:00:00:00:01\n02:cc:00:00:00:02\n");
        writeFile(dir / "ivy.csv", "02:ee:00:00:00:01\n");
        QVERIFY(addAs(server, "hank", dir / "hank.csv"));
        QVERIFY(addAs(server, "ivy", dir / "ivy.csv"));
        writeFile(dir / "site.csv",
                  "MAC\n02:CC:00:00:00:02\n02:ee:00:00:00:01\n02:cc:00:00:00:01\n"
                  "02:dd:00:00:00:07\n");

        RealMessagesPrompter prompter;
        CDevice device(prompter, "hank", server.endpoint());
        device.show();
        controlAs<QLineEdit>(device, kMacFileEdit)->setText(q(dir / "site.csv"));
        MessageBoxClicker clicker({QMessageBox::Yes});  // the header, if it is asked about
        QVERIFY(runAndWait(device, kCheckMacFileButton));
        auto* view = device.findChild<DeviceTableView*>();
        QVERIFY(view);
        QCOMPARE(view->windowTitle(), QStringLiteral("Check of site.csv"));
        // In the file's order, each with the server text of a registration of this account.
        QCOMPARE(column(*view, 0),
                 (QStringList{"02cc00000001", "02cc00000002", "02dd00000007", "02ee00000001"}));
        QCOMPARE(column(*view, 1),
                 (QStringList{"registered", "registered", "not registered", "another account"}));
        QCOMPARE(column(*view, 2), (QStringList{kServerText, kServerText, "", ""}));
        QCOMPARE(view->countsText(),
                 QStringLiteral("Registered to you: 2, not registered: 1, registered to another "
                                "account: 1."));
        QVERIFY(view->deleteButton()->isHidden());
        QCOMPARE(clicker.unreachable(), QStringList());
    }
};

VELQUOR_ROOM_TEST(DeviceTableTest)
#include "device_table_test.moc"
