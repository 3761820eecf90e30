// Generate in the "MAC-CFG" group end to end: a template and a device sheet in a temporary
// folder, the fields filled as a user would, files checked on disk.
#include <QApplication>
#include <QCheckBox>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <string>

#include "app/main_window/velquor_dlg.h"
#include "app/results/results_view.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using velquor::app::Answer;
using velquor::app::CVelquorDlg;
using velquor::app::ResultsView;
using velquor::app::ScriptedPrompter;
using velquor::testing::clickControl;
using velquor::testing::readFile;
using velquor::testing::runCommand;
using velquor::testing::shellQuote;
using velquor::testing::TempDir;
using velquor::testing::waitFor;
using velquor::testing::writeFile;
namespace fs = std::filesystem;

namespace {

const char* kTemplate =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Config>\n"
    "  <Ext1 Enable=\"Disable\">\n"
    "    <SIPSettings><SIPPort>5060</SIPPort></SIPSettings>\n"
    "    <ProxyandRegistration><Proxy>old</Proxy></ProxyandRegistration>\n"
    "    <SubscriberInformation>\n"
    "      <DisplayName>x</DisplayName><UserID>x</UserID><AuthID>x</AuthID>"
    "<Password>x</Password>\n"
    "    </SubscriberInformation>\n"
    "  </Ext1>\n"
    "</Config>\n";

const char* kSheet =
    "MAC,Name,User,Auth,Password,Proxy,Port\n"
    "001565A1B2C1,Reception,2001,2001,pw1,sip.lan,5060\n"
    "001565A1B2C2,Sales,2002,2002,pw2,sip.lan,5062\n";

QString q(const fs::path& path) {
    return QString::fromStdString(path.string());
}

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

class GenerateCommandTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_dir = std::make_unique<TempDir>();
        m_prompter = std::make_unique<ScriptedPrompter>();
        m_window = std::make_unique<CVelquorDlg>(*m_prompter);
        writeFile(*m_dir / "template.xml", kTemplate);
        writeFile(*m_dir / "devices.csv", kSheet);
    }
    void cleanup() {
        m_window.reset();
        m_prompter.reset();
        m_dir.reset();
    }

    void writesOneFilePerDeviceWithEncryptedCopies() {
        fillFields(*m_dir / "out");
        m_window->setControlText(1013, "devkey");
        qobject_cast<QCheckBox*>(m_window->control(1017))->setChecked(true);
        generate();

        QCOMPARE(m_prompter->messageTexts(), QStringList{"Success !"});
        QCOMPARE(m_window->aesKeyChecked(), 1);
        const std::string first = readFile(*m_dir / "out" / "001565A1B2C1.xml");
        QVERIFY(first.find("<DisplayName>Reception</DisplayName>") != std::string::npos);
        QVERIFY(first.find("<Proxy>sip.lan</Proxy>") != std::string::npos);
        const std::string second = readFile(*m_dir / "out" / "001565A1B2C2.xml");
        QVERIFY(second.find("<SIPPort>5062</SIPPort>") != std::string::npos);

        // The encrypted copy decrypts with openssl to the plain file plus zero padding.
        const fs::path encrypted = *m_dir / "out" / "en" / "001565A1B2C2.xml";
        int status = -1;
        std::string decrypted = runCommand(
            "openssl enc -d -aes-128-ecb -nopad -K 6465766b657900000000000000000000 -in " +
                shellQuote(encrypted.string()),
            &status);
        QCOMPARE(status, 0);
        while (!decrypted.empty() && decrypted.back() == '\0') decrypted.pop_back();
        QVERIFY(decrypted == second);
    }

    void withoutTheAesKeyBoxNoEncryptedFolderAppears() {
        fillFields(*m_dir / "plain");
        generate();
        QCOMPARE(m_prompter->messageTexts(), QStringList{"Success !"});
        QVERIFY(fs::exists(*m_dir / "plain" / "001565A1B2C1.xml"));
        QVERIFY(!fs::exists(*m_dir / "plain" / "en"));
        QCOMPARE(m_window->aesKeyChecked(), 0);
    }

    void aFailingRowEndsWithASummaryInsteadOfSuccess() {
        writeFile(*m_dir / "devices.csv",
                  std::string(kSheet) + "../escape,Bad,1,1,p,sip.lan,5060\n");
        fillFields(*m_dir / "out");
        m_prompter->queueAnswer(Answer::Continue);  // the other rows, despite the refused one
        generate();
        const QStringList texts = m_prompter->messageTexts();
        QCOMPARE(texts.size(), 2);
        QVERIFY(texts[1] != "Success !");
        QVERIFY2(texts[1].contains("row 4: not a MAC address"), qPrintable(texts[1]));
        QVERIFY(fs::exists(*m_dir / "out" / "001565A1B2C1.xml"));
        QVERIFY(!fs::exists(*m_dir / "escape.xml"));
    }

    // A summary that counts rows it does not name points to the results view, which holds
    // every device row and saves the full report.
    void manyFailedRowsAreAllInTheResultsView() {
        std::string sheet = kSheet;
        for (int i = 0; i < 20; ++i) sheet += "bad/" + std::to_string(i) + ",B,1,1,p,s,5060\n";
        writeFile(*m_dir / "devices.csv", sheet);
        fillFields(*m_dir / "out");
        m_prompter->queueFile(q(*m_dir / "report.csv"));
        m_prompter->queueAnswer(Answer::Continue);
        generate();
        const QStringList texts = m_prompter->messageTexts();
        QCOMPARE(texts.size(), 2);
        QVERIFY2(texts[1].startsWith("2 of 22 device rows written."), qPrintable(texts[1]));
        QVERIFY2(texts[1].contains("and 12 more refused rows"), qPrintable(texts[1]));
        const QString details = m_prompter->messages()[1].details;
        QVERIFY2(details.contains("results view") && details.contains(q(*m_dir / "out")),
                 qPrintable(details));
        auto* view = m_window->findChild<ResultsView*>();
        QVERIFY(view);
        QCOMPARE(view->visibleRowCount(), 22);
        QVERIFY(view->saveReport());
        const std::string csv = readFile(*m_dir / "report.csv");
        QCOMPARE(std::count(csv.begin(), csv.end(), '\n'), 23);
    }

    // Cells that are no MAC addresses, and one phone under two spellings: one question before
    // anything is written. Cancel leaves the folder as it was; Show rows lists the findings
    // with nothing done yet; Continue writes the usable rows, named in the plain form.
    void unusableRowsAreAskedAboutOnceBeforeAnythingIsWritten() {
        writeFile(*m_dir / "devices.csv",
                  "MAC,Name,User,Auth,Password,Proxy,Port\n"
                  "00:15:65:A1:B2:C1,Reception,2001,2001,pw1,sip.lan,5060\n"
                  "001565a1b2c1,Sales,2002,2002,pw2,sip.lan,5062\n"
                  "not-a-mac,Lobby,2003,2003,pw3,sip.lan,5060\n"
                  "001565A1B2C4 ,Desk,2004,2004,pw4,sip.lan,5060\n");
        fillFields(*m_dir / "out");
        fs::create_directories(*m_dir / "out");
        writeFile(*m_dir / "out" / "old.txt", "kept");

        generate();  // the cautious answer: Cancel
        QCOMPARE(m_prompter->messageTexts(),
                 QStringList{"2 of 4 rows cannot be used (not MAC addresses: 1, repeated MACs: "
                             "1).\nThe file names mix cases (1 with upper-case letters, 1 with "
                             "lower-case ones), and a phone asks for its file in one case: set "
                             "mac-form to lower or upper (the MAC form in Settings, [devices] of "
                             "velquor.conf, --mac-form of velquor-cli).\nrows 2 and 3 differ in "
                             "DisplayName, UserID, AuthID, Password, SIPPort; row 3 is used"});
        QVERIFY(m_prompter->messages()[0].buttons ==
                velquor::app::MessageButtons::ShowRowsContinueCancel);
        QCOMPARE(filesIn(*m_dir / "out"), std::vector<std::string>{"old.txt"});

        m_prompter->clearRecords();
        m_prompter->queueAnswer(Answer::ShowRows);
        m_prompter->queueAnswer(Answer::Continue);
        int rowsShown = -1;
        bool filesWhileShown = true;
        QTimer::singleShot(0, [&] { closeFindings(rowsShown, filesWhileShown); });
        generate();
        QCOMPARE(rowsShown, 4);
        QVERIFY2(!filesWhileShown, "nothing is written while the findings are shown");
        QCOMPARE(m_prompter->messages().size(), std::size_t(3));
        QVERIFY(fs::exists(*m_dir / "out" / "001565a1b2c1.xml"));
        QVERIFY(fs::exists(*m_dir / "out" / "001565A1B2C4.xml"));
        QVERIFY(!fs::exists(*m_dir / "out" / "00:15:65:A1:B2:C1.xml"));
        QVERIFY(!fs::exists(*m_dir / "out" / "not-a-mac.xml"));
        QVERIFY(readFile(*m_dir / "out" / "001565a1b2c1.xml").find("Sales") != std::string::npos);
        auto* view = m_window->findChild<ResultsView*>();
        QVERIFY(view);
        QCOMPARE(view->table()->model()->headerData(2, Qt::Horizontal).toString(), QString("File"));
        QCOMPARE(view->table()->model()->index(3, 2).data().toString(),
                 QString("001565A1B2C4.xml"));
        QCOMPARE(view->table()->model()->index(3, 1).data().toString(),
                 QString::fromUtf8("001565A1B2C4 "));
    }

    void aTemplateThatCannotBeLoadedIsAnErrorAndWritesNothing() {
        writeFile(*m_dir / "template.xml", "<Config><Ext1>");
        fillFields(*m_dir / "out");
        generate();
        const QStringList texts = m_prompter->messageTexts();
        QCOMPARE(texts.size(), 1);
        QVERIFY(texts[0] != "Success !");
        QVERIFY2(texts[0].contains("template.xml"), qPrintable(texts[0]));
        QVERIFY(!fs::exists(*m_dir / "out" / "001565A1B2C1.xml"));
    }

    // Files of an earlier run are replaced only once the user said so; copies that a run
    // without the key leaves in en/ are mentioned.
    void replacingEarlierFilesIsAskedOnce() {
        fillFields(*m_dir / "out");
        m_window->setControlText(1013, "devkey");
        auto* aesBox = qobject_cast<QCheckBox*>(m_window->control(1017));
        aesBox->setChecked(true);
        generate();
        const fs::path first = *m_dir / "out" / "001565A1B2C1.xml";
        writeFile(first, "kept");

        m_prompter->clearRecords();
        generate();  // answered No
        QCOMPARE(m_prompter->messages().size(), std::size_t(1));
        QVERIFY2(m_prompter->messages()[0].text.contains("files will be replaced"),
                 qPrintable(m_prompter->messages()[0].text));
        QVERIFY(m_prompter->messages()[0].buttons == velquor::app::MessageButtons::YesNoDefaultNo);
        QVERIFY(readFile(first) == "kept");

        m_prompter->clearRecords();
        aesBox->setChecked(false);
        m_prompter->queueAnswer(Answer::Yes);
        generate();
        QCOMPARE(m_prompter->messages().size(), std::size_t(2));
        QVERIFY2(m_prompter->messages()[0].text.contains("encrypted cop"),
                 qPrintable(m_prompter->messages()[0].text));
        QCOMPARE(m_prompter->messages()[1].text, QString("Success !"));
        QVERIFY(readFile(first) != "kept");
    }

    // A phone's file under another spelling is named in a question of its own: Cancel writes
    // nothing, Keep leaves it, Remove takes it away after the run.
    void staleTwinsAreRemovedKeptOrTheRunCancelled() {
        fs::create_directories(*m_dir / "out");
        const fs::path twin = *m_dir / "out" / "001565a1b2c1.xml";
        writeFile(twin, kTemplate);  // an earlier run's file: the same document
        fillFields(*m_dir / "out");
        generate();  // the cautious answer: Cancel
        QCOMPARE(m_prompter->messages().size(), std::size_t(1));
        const auto& question = m_prompter->messages()[0];
        QVERIFY(question.buttons == velquor::app::MessageButtons::RemoveKeepCancel);
        QVERIFY2(question.text.contains("1 file of these phones is under another name, such as "
                                        "001565a1b2c1.xml"),
                 qPrintable(question.text));
        QVERIFY(!fs::exists(*m_dir / "out" / "001565A1B2C1.xml"));

        m_prompter->clearRecords();
        m_prompter->queueAnswer(Answer::Keep);
        generate();
        QVERIFY(fs::exists(*m_dir / "out" / "001565A1B2C1.xml"));
        QVERIFY(fs::exists(twin));

        m_prompter->clearRecords();
        m_prompter->queueAnswer(Answer::Remove);
        m_prompter->queueAnswer(Answer::Yes);  // the files of the last run are replaced
        generate();
        QVERIFY(!fs::exists(twin));
        QVERIFY(fs::exists(*m_dir / "out" / "001565A1B2C1.xml"));
        QVERIFY2(m_prompter->messages().back().details.contains("under another name removed"),
                 qPrintable(m_prompter->messages().back().details));
    }

    void anEmptyKeyWithTheAesBoxTickedIsAskedAbout() {
        fillFields(*m_dir / "out");
        qobject_cast<QCheckBox*>(m_window->control(1017))->setChecked(true);
        generate();  // answered No
        QCOMPARE(m_prompter->messageTexts(),
                 QStringList{"The AES key is empty: the all-zero key will be used."});
        QVERIFY(!fs::exists(*m_dir / "out" / "001565A1B2C1.xml"));
    }

    void aLongKeyWithTheAesBoxTickedIsAskedAboutAndNoWritesNothing() {
        fillFields(*m_dir / "out");
        qobject_cast<QCheckBox*>(m_window->control(1017))->setChecked(true);
        m_window->setControlText(1013, "Site-Key-2026-Q4-Long");
        generate();  // answered No
        QCOMPARE(m_prompter->messageTexts(),
                 QStringList{"The AES key is 21 bytes long: only its first 16 bytes are used."});
        QVERIFY(m_prompter->messages()[0].buttons == velquor::app::MessageButtons::YesNoDefaultNo);
        QVERIFY(!fs::exists(*m_dir / "out"));
    }

    // The fields' findings join the question, its detail saying what Continue then does; a
    // placeholder nothing fills is said before the run, which has nothing to continue.
    void fieldFindingsAreAskedAboutAndARefusedRunOnlyTold() {
        writeFile(*m_dir / "devices.csv",
                  "MAC,Name,User,Auth,Password,Proxy,Port,Vlan\n"
                  "001565A1B2C1,Reception,2001,2001,,sip.lan,5060,10\n"
                  "001565a1b2c1,Reception,2009,2001,,sip.lan,5060,10\n");
        fillFields(*m_dir / "out");
        generate();  // Cancel
        QCOMPARE(m_prompter->messages().size(), std::size_t(1));
        const QString question = m_prompter->messages()[0].text;
        for (const char* line : {"1 of 2 rows cannot be used (repeated MACs).\n",
                                 "1 row has empty cells in fields the template fills",
                                 "\ncolumn H (Vlan) fills nothing: no template has {{Vlan}}\n",
                                 "\nrows 2 and 3 differ in UserID; row 3 is used"}) {
            QVERIFY2(question.contains(QString::fromUtf8(line)), qPrintable(question));
        }
        QVERIFY2(m_prompter->messages()[0].details.startsWith(
                     "Continue writes the files of the other rows"),
                 qPrintable(m_prompter->messages()[0].details));
        QVERIFY(!fs::exists(*m_dir / "out"));

        writeFile(*m_dir / "devices.csv",
                  "MAC,Name,User,Auth,Password,Proxy,Port\n"
                  "001565A1B2C1,Reception,2001,2001,,sip.lan,5060\n");
        m_prompter->clearRecords();
        generate();
        QVERIFY2(
            m_prompter->messages()[0].details.startsWith("Continue writes every row as it stands"),
            qPrintable(m_prompter->messages()[0].details));

        std::string missing = kTemplate;
        missing.insert(missing.rfind("</Config>"), "<TimeZone>{{TimeZone}}</TimeZone>");
        writeFile(*m_dir / "template.xml", missing);
        m_prompter->clearRecords();
        generate();
        QCOMPARE(m_prompter->messages().size(), std::size_t(1));
        const auto& refused = m_prompter->messages()[0];
        QVERIFY(refused.buttons == velquor::app::MessageButtons::Ok);
        QVERIFY2(refused.text.contains("{{TimeZone}} in the template"), qPrintable(refused.text));
        QVERIFY2(refused.details.contains("Password") &&
                     refused.details.contains("Nothing can be written until"),
                 qPrintable(refused.details));
        QVERIFY(!fs::exists(*m_dir / "out"));
    }

    void emptyFieldsAreNamedBeforeAnythingRuns() {
        fillFields(*m_dir / "out");
        m_window->setControlText(1015, QString());
        QVERIFY(clickControl(*m_window, 1014));
        QVERIFY(!m_window->isBusy());
        QCOMPARE(m_prompter->messages().size(), std::size_t(1));
        QVERIFY(m_prompter->messages()[0].text.contains("Out put path"));
        QVERIFY(!fs::exists(*m_dir / "out"));
    }

private:
    // While the findings are open: how many rows they list and whether a device file exists
    // yet; then closes them, as the user would.
    void closeFindings(int& rows, bool& files) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* view = qobject_cast<ResultsView*>(widget);
            if (view == nullptr || !view->isVisible()) continue;
            rows = view->visibleRowCount();
            files = fs::exists(*m_dir / "out" / "001565a1b2c1.xml");
            view->close();  // as its Close button does
            return;
        }
        QTimer::singleShot(20, [&] { closeFindings(rows, files); });
    }

    void fillFields(const fs::path& output) {
        m_window->setControlText(1010, q(*m_dir / "devices.csv"));
        m_window->setControlText(1007, q(*m_dir / "template.xml"));
        m_window->setControlText(1015, q(output) + '/');
    }
    void generate() {
        QVERIFY(clickControl(*m_window, 1014));
        QVERIFY(waitFor([&] { return !m_window->isBusy(); }));
    }

    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    std::unique_ptr<CVelquorDlg> m_window;
};

VELQUOR_ROOM_TEST(GenerateCommandTest)
#include "generate_command_test.moc"
