// How the phones prove themselves in Serve to phones, driven offscreen: the HTTPS certificate
// and key, the phones' CA files (several, added one at a time), the credentials file, the
// sheet's passwords (only with a sheet) and serving without credentials become the server's
// options; they are kept for the next use, save serving without credentials, which is chosen
// anew each time. A phone refused for want of proof shows why and what to do, escaped.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTest>

#include "app/kit/inputs/input_history.h"
#include "app/main_window/velquor_dlg.h"
#include "app/results/row_table_actions.h"
#include "app/serve/serve_dialog.h"
#include "app/serve/serve_phones_model.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "serve/log/fetch_record.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::q;
using velquor::testing::readFile;
using velquor::testing::runCommand;
using velquor::testing::shellQuote;
using velquor::testing::TempDir;
using velquor::testing::waitFor;
using velquor::testing::writeFile;

namespace {

QString cell(const QTableView& table, int row, int column, int role = Qt::DisplayRole) {
    return table.model()->index(row, column).data(role).toString();
}

std::string quoted(const std::filesystem::path& path) {
    return shellQuote(path.string());
}

// A lab's phones' CA, a phone certificate it issued naming 001A2B3C4D5E, and this server's own
// certificate, made with OpenSSL in dir; false when one could not be made.
bool makeLabCertificates(const TempDir& dir) {
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
    int status = 0;
    for (const std::string& command :
         {"openssl req -x509 " + ec + "-days 2 -subj '/CN=Lab phones CA' -keyout " +
              quoted(dir / "ca.key") + " -out " + quoted(dir / "ca.pem"),
          "openssl req " + ec + "-subj /CN=001A2B3C4D5E -keyout " + quoted(dir / "phone.key") +
              " -out " + quoted(dir / "phone.csr"),
          "openssl x509 -req -days 2 -in " + quoted(dir / "phone.csr") + " -CA " +
              quoted(dir / "ca.pem") + " -CAkey " + quoted(dir / "ca.key") +
              " -CAcreateserial -out " + quoted(dir / "phone.pem"),
          "openssl req -x509 " + ec +
              "-days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
              quoted(dir / "server.key") + " -out " + quoted(dir / "server.pem")}) {
        runCommand(command + " 2>&1", &status);
        if (status != 0) return false;
    }
    return true;
}

// The history of this test alone, forgotten after.
class StateFile {
public:
    explicit StateFile(const TempDir& dir) { InputHistory::setStateFile(q(dir / "state.conf")); }
    ~StateFile() { InputHistory::setStateFile(QString()); }
};

// A fetch log of the version with the proof and the refusal, records given.
void writeLog(const std::filesystem::path& path,
              const std::vector<velquor::serve::FetchRecord>& records) {
    std::string text = velquor::serve::fetchLogHeader() + "\r\n";
    for (const auto& record : records) text += velquor::serve::fetchLogLine(record);
    writeFile(path, text);
}

velquor::serve::FetchRecord logged(const std::string& mac, int status, const std::string& proof,
                                   const std::string& refusal) {
    velquor::serve::FetchRecord record;
    record.time = velquor::serve::Clock::now();
    record.peer = "10.0.0.7";
    record.method = "GET";
    record.path = "/" + mac + ".xml";
    record.mac = mac;
    record.file = status == 200 ? mac + ".xml" : "";
    record.status = status;
    record.completed = true;
    record.proof = proof;
    record.refusal = refusal;
    return record;
}

}  // namespace

class ServeProofTest : public QObject {
    Q_OBJECT

private slots:
    void theProofFieldsBecomeTheServersOptionsAndAProvenPhoneFetches() {
        TempDir dir;
        QVERIFY(makeLabCertificates(dir));
        std::filesystem::create_directory(dir / "out");
        writeFile(dir / "out" / "001A2B3C4D5E.xml", "<config/>\n");
        writeFile(dir / "phones.csv", "MAC,http-password\n001A2B3C4D5E,desk-secret\n");
        ScriptedPrompter prompter;
        ServeDialog dialog(prompter);
        dialog.setFolder(q(dir / "out"));
        dialog.portBox()->setValue(0);
        dialog.show();

        // The sheet's passwords need a sheet.
        QVERIFY(!dialog.sheetPasswordsBox()->isEnabled());
        dialog.setSheet(q(dir / "phones.csv"));
        QVERIFY(dialog.sheetPasswordsBox()->isEnabled());
        dialog.sheetPasswordsBox()->setChecked(true);

        // CA files are added one at a time; one added twice is there once.
        prompter.queueFile(q(dir / "ca.pem"));
        QTest::mouseClick(dialog.addPhoneCaButton(), Qt::LeftButton);
        prompter.queueFile(q(dir / "ca.pem"));
        QTest::mouseClick(dialog.addPhoneCaButton(), Qt::LeftButton);
        prompter.queueFileCancel();
        QTest::mouseClick(dialog.addPhoneCaButton(), Qt::LeftButton);
        QCOMPARE(dialog.phoneCasEdit()->text(), q(dir / "ca.pem"));
        dialog.phoneCasEdit()->setText(dialog.phoneCasEdit()->text() + "; " + q(dir / "b.pem"));
        dialog.authFileEdit()->setText(" " + q(dir / "site.htdigest") + " ");
        dialog.noAuthBox()->setChecked(true);
        dialog.tlsCertificateEdit()->setText(q(dir / "server.pem"));
        dialog.tlsKeyEdit()->setText(q(dir / "server.key"));

        velquor::serve::ServeOptions options = dialog.proofOptions();
        QCOMPARE(options.phoneCas.size(), std::size_t(2));
        QCOMPARE(options.phoneCas[0], dir / "ca.pem");
        QCOMPARE(options.phoneCas[1], dir / "b.pem");
        QCOMPARE(options.authFile, dir / "site.htdigest");
        QVERIFY(options.sheetPasswords);
        QVERIFY(options.noAuth);
        QCOMPARE(options.tlsCertificate, dir / "server.pem");
        QCOMPARE(options.tlsKey, dir / "server.key");
        // Without the sheet its column is not asked for, whatever the box says.
        dialog.setSheet(QString());
        QVERIFY(!dialog.sheetPasswordsBox()->isEnabled());
        QVERIFY(!dialog.proofOptions().sheetPasswords);
        QVERIFY(dialog.proofOptions().phoneCas.size() == 2);

        // Served over HTTPS: a phone with a certificate of the lab's CA fetches its file.
        dialog.phoneCasEdit()->setText(q(dir / "ca.pem"));
        dialog.authFileEdit()->clear();
        dialog.noAuthBox()->setChecked(false);
        QVERIFY(dialog.startServing());
        for (QWidget* field : std::initializer_list<QWidget*>{
                 dialog.phoneCasEdit(), dialog.addPhoneCaButton(), dialog.authFileEdit(),
                 dialog.noAuthBox(), dialog.sheetPasswordsBox(), dialog.tlsKeyEdit()})
            QVERIFY(!field->isEnabled());
        const std::string code = runCommand(
            "curl -s -o /dev/null -w '%{http_code}' --cacert " + quoted(dir / "server.pem") +
            " --cert " + quoted(dir / "phone.pem") + " --key " + quoted(dir / "phone.key") +
            " https://127.0.0.1:" + std::to_string(dialog.port()) + "/001a2b3c4d5e.xml");
        QCOMPARE(code, std::string("200"));
        QTableView& table = *dialog.table();
        QVERIFY(waitFor([&] { return cell(table, 0, ServePhonesModel::kStatus) == "fetched"; }));
        dialog.stopServing();
        QVERIFY(dialog.phoneCasEdit()->isEnabled());
        QVERIFY(!dialog.sheetPasswordsBox()->isEnabled());  // still no sheet
    }

    void theProofIsKeptForTheNextUseButServingWithoutCredentialsIsNot() {
        TempDir dir;
        QVERIFY(makeLabCertificates(dir));
        std::filesystem::create_directory(dir / "out");
        writeFile(dir / "out" / "001A2B3C4D5E.xml", "<config/>\n");
        StateFile state(dir);
        const QString cas = q(dir / "ca.pem") + "; " + q(dir / "second ca.pem");
        {
            ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            window.setControlText(kOutputDirEdit, q(dir / "out"));
            window.menuCommand(kServeMenuCommand)->trigger();
            auto* dialog = window.findChild<ServeDialog*>();
            QVERIFY(dialog != nullptr);
            dialog->portBox()->setValue(0);
            dialog->tlsCertificateEdit()->setText(q(dir / "server.pem"));
            dialog->tlsKeyEdit()->setText(q(dir / "server.key"));
            dialog->phoneCasEdit()->setText(q(dir / "ca.pem"));
            dialog->noAuthBox()->setChecked(true);
            QVERIFY(dialog->startServing());
            dialog->close();
        }
        {
            ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            window.setControlText(kOutputDirEdit, q(dir / "out"));
            window.menuCommand(kServeMenuCommand)->trigger();
            auto* dialog = window.findChild<ServeDialog*>();
            QCOMPARE(dialog->tlsCertificateEdit()->text(), q(dir / "server.pem"));
            QCOMPARE(dialog->tlsKeyEdit()->text(), q(dir / "server.key"));
            QCOMPARE(dialog->phoneCasEdit()->text(), q(dir / "ca.pem"));
            QVERIFY(dialog->authFileEdit()->text().isEmpty());
            QVERIFY(!dialog->noAuthBox()->isChecked());
            // The credentials and the sheet's passwords are kept as the other fields are.
            dialog->phoneCasEdit()->setText(cas);
            dialog->authFileEdit()->setText(q(dir / "site.htdigest"));
            dialog->setSheet(q(dir / "phones.csv"));
            dialog->sheetPasswordsBox()->setChecked(true);
            rememberServeFields(dialog->fields());
            dialog->close();
        }
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        window.setControlText(kOutputDirEdit, q(dir / "out"));
        window.menuCommand(kServeMenuCommand)->trigger();
        auto* dialog = window.findChild<ServeDialog*>();
        QCOMPARE(dialog->phoneCasEdit()->text(), cas);
        QCOMPARE(dialog->authFileEdit()->text(), q(dir / "site.htdigest"));
        QVERIFY(dialog->sheetPasswordsBox()->isChecked());
        // Paths only: nothing of a password, and no standing leave to serve without one.
        const std::string kept = readFile(dir / "state.conf");
        QVERIFY2(kept.find("site.htdigest") != std::string::npos, kept.c_str());
        QVERIFY2(kept.find("no-auth") == std::string::npos, kept.c_str());
    }

    void aRefusedPhoneShowsWhyAndWhatToDo() {
        TempDir dir;
        std::filesystem::create_directory(dir / "out");
        writeLog(dir / "fetches.csv",
                 {logged("001a2b3c4d5e", 200, "cert:001a2b3c4d5e", ""),
                  logged("0015650a33fb", 403, "none",
                         "certificate names 001a2b3c4d5f, asked for 0015650a33fb"),
                  logged("001122334455", 401, "none", "wrong user \x1b[2J"),
                  logged("001122334466", 200, "digest:site", "")});
        ScriptedPrompter prompter;
        ServeDialog dialog(prompter);
        dialog.setFolder(q(dir / "out"));
        dialog.logEdit()->setText(q(dir / "fetches.csv"));
        dialog.showLogOfLastTime();
        QTableView& table = *dialog.table();
        QCOMPARE(table.model()->rowCount(), 4);
        QCOMPARE(cell(table, 0, ServePhonesModel::kProof), QString("cert"));
        QCOMPARE(cell(table, 0, ServePhonesModel::kProof, Qt::ToolTipRole),
                 QString("cert:001a2b3c4d5e"));
        QCOMPARE(cell(table, 3, ServePhonesModel::kProof, Qt::ToolTipRole), QString("digest:site"));
        QCOMPARE(cell(table, 1, ServePhonesModel::kStatus),
                 QString("asked, refused (certificate names 001a2b3c4d5f, asked for "
                         "0015650a33fb)"));
        // Whole: a reason cut short could hide the MAC the certificate names.
        QVERIFY(table.columnWidth(ServePhonesModel::kStatus) >=
                table.fontMetrics().horizontalAdvance(cell(table, 1, ServePhonesModel::kStatus)));
        const QString tip = cell(table, 1, ServePhonesModel::kStatus, Qt::ToolTipRole);
        QVERIFY2(tip.contains("names its MAC"), qPrintable(tip));
        QCOMPARE(cell(table, 1, ServePhonesModel::kProof), QString("none"));
        // What the peer sent acts on nothing; the advice fits the kind of refusal.
        QCOMPARE(cell(table, 2, ServePhonesModel::kStatus),
                 QString("asked, refused (wrong user \\x1b[2J)"));
        QVERIFY(cell(table, 2, ServePhonesModel::kStatus, Qt::ToolTipRole).contains("password"));
        QVERIFY(dialog.windowTitle().contains("problems: 2"));
        dialog.shownBox()->setCurrentIndex(3);  // problems
        QCOMPARE(table.model()->rowCount(), 2);

        prompter.queueFile(q(dir / "phones.csv"));
        QVERIFY(dialog.rowActions()->saveReport());
        const std::string report = readFile(dir / "phones.csv");
        QVERIFY2(report.find(",proof,refusal\r\n") != std::string::npos, report.c_str());
        QVERIFY2(report.find(",none,\"certificate names 001a2b3c4d5f, asked for 0015650a33fb\"") !=
                     std::string::npos,
                 report.c_str());
    }
};

VELQUOR_ROOM_TEST(ServeProofTest)
#include "serve_proof_test.moc"
