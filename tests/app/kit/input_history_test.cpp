// What the windows remember between runs: the state file's form, where it lives, what happens
// to a damaged one, and the main window's and Device dialog's inputs across a close and a
// reopen, with the XDG folders in a temporary place.
#include "app/kit/inputs/input_history.h"

#include <sys/stat.h>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QTest>
#include <algorithm>

#include "app/kesto/device_dialog.h"
#include "app/main_window/velquor_dlg.h"
#include "app/results/row_table_actions.h"
#include "app/site/site_table_view.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::controlAs;
using velquor::testing::runAndWait;

namespace {

const char* const kAesKey = "Aes-Key-Never-Stored";
const char* const kGenerateKey = "Generate-Key-Never-Stored";

QStringList serverList(const CDevice& device) {
    auto* combo = controlAs<QComboBox>(device, kServerCombo);
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    return items;
}

}  // namespace

class InputHistoryTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_dir = std::make_unique<velquor::testing::TempDir>();
        qputenv("XDG_STATE_HOME", QByteArray::fromStdString((*m_dir / "state").string()));
        InputHistory::setStateFile(InputHistory::defaultStateFile());
    }
    void cleanup() {
        InputHistory::setStateFile(QString());
        qunsetenv("XDG_STATE_HOME");
        m_dir.reset();
    }

    void theStateFileFollowsXdgStateHome() {
        QCOMPARE(InputHistory::stateFile(),
                 QString::fromStdString((*m_dir / "state/velquor/state.conf").string()));
        const QString home = QDir::homePath() + "/.local/state/velquor/state.conf";
        qputenv("XDG_STATE_HOME", "relative/state");  // not absolute: to be ignored
        QCOMPARE(InputHistory::defaultStateFile(), home);
        qunsetenv("XDG_STATE_HOME");
        QCOMPARE(InputHistory::defaultStateFile(), home);
    }

    void everyPathComesBackAsItWentInAFolderOnlyTheUserCanRead() {
        const QStringList awkward = {"/plain/path",
                                     "/with space/and=equals",
                                     "/back\\slash\\",
                                     "/semi;colon, and comma",
                                     "/new\nline\r\tand\x01control",
                                     QString::fromUtf8("/日本/ü"),
                                     "#not-a-comment",
                                     ";not-a-comment-either",
                                     "[not-a-section]",
                                     "  leading and trailing  ",
                                     "\"double\" and 'single' quotes",
                                     "@ByteArray(not-one)",
                                     "%41\\x41"};
        InputHistory::update([&](InputHistory& history) {
            for (int i = 0; i < awkward.size(); ++i) {
                history.setField(QStringLiteral("field-%1").arg(i), awkward[i]);
                history.rememberServer(awkward[i]);
            }
            history.rememberFolderOf(history_key::kTemplate, "/" + awkward[9] + "/t.xml");
        });
        const InputHistory loaded = InputHistory::load();
        for (int i = 0; i < awkward.size(); ++i) {
            QCOMPARE(loaded.field(QStringLiteral("field-%1").arg(i)), awkward[i]);
        }
        QStringList newestFirst = awkward;
        std::reverse(newestFirst.begin(), newestFirst.end());
        QCOMPARE(loaded.servers(), newestFirst);
        QCOMPARE(loaded.folder(history_key::kTemplate), "/" + awkward[9]);

        const QFileInfo folder(QFileInfo(InputHistory::stateFile()).absolutePath());
        QCOMPARE(folder.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // No lock or temporary file is left beside it.
        QCOMPARE(QDir(folder.filePath()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"state.conf"});
    }

    void serversAreMostRecentFirstWithoutRepeatsAndAtMostTwenty() {
        InputHistory history;
        for (int i = 0; i < 30; ++i) history.rememberServer(QStringLiteral("s%1").arg(i));
        history.rememberServer("s15");
        history.rememberServer(QString());
        QCOMPARE(history.servers().size(), InputHistory::kMaxServers);
        QCOMPARE(history.servers().first(), QString("s15"));
        QCOMPARE(history.servers()[1], QString("s29"));
        QCOMPARE(history.servers().count("s15"), 1);
    }

    void aDamagedStateFileIsIgnoredWithAWarning_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("binary") << QByteArray("\x00\xff\x13garbage", 11);
        QTest::newRow("no header") << QByteArray("[fields]\nmac-file=/a\n");
        QTest::newRow("later version") << QByteArray("[General]\nversion=9\n");
        QTest::newRow("line without a key")
            << QByteArray("[General]\nversion=1\n[fields]\njust text\n");
        QTest::newRow("unclosed section") << QByteArray("[General]\nversion=1\n[fields\n");
        QTest::newRow("not UTF-8")
            << QByteArray("[General]\nversion=1\n[fields]\nmac-file=/\xc3\x28\n");
        QTest::newRow("a list for a path")
            << QByteArray("[General]\nversion=1\n[fields]\nmac-file=/a, /b\n");
        QTest::newRow("bytes for a folder")
            << QByteArray("[General]\nversion=1\n[folders]\ntemplate=@ByteArray(/a)\n");
        QTest::newRow("server count not a number")
            << QByteArray("[General]\nversion=1\n[servers]\n1\\server=s\nsize=many\n");
        QTest::newRow("server missing")
            << QByteArray("[General]\nversion=1\n[servers]\n1\\server=s\nsize=2\n");
        QTest::newRow("too large") << QByteArray(2 << 20, 'x');
    }
    void aDamagedStateFileIsIgnoredWithAWarning() {
        QFETCH(QByteArray, content);
        QDir().mkpath(QFileInfo(InputHistory::stateFile()).absolutePath());
        QFile file(InputHistory::stateFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("state.conf"));
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        QVERIFY(window.controlText(kTemplateEdit).isEmpty());
        // ... and the next close writes a sound one.
        window.setControlText(kTemplateEdit, "/t.xml");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("state.conf"));
        window.reject();
        QCOMPARE(InputHistory::load().field(history_key::kTemplate), QString("/t.xml"));
    }

    // A FIFO would block the reading and the window would never appear; a file another user
    // could have written would fill the fields with his paths. Either is passed over, the
    // window opens, and a box says why.
    void aFifoOrAPlantedStateFileIsPassedOverAndSaidInTheWindow() {
        const QString stateFile = InputHistory::stateFile();
        QDir().mkpath(QFileInfo(stateFile).absolutePath());
        QVERIFY(::mkfifo(QFile::encodeName(stateFile).constData(), 0600) == 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is a FIFO, not a file"));
        {
            ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            window.show();
            QVERIFY(velquor::testing::waitFor([&] { return !prompter.messages().empty(); }));
            QCOMPARE(prompter.messageTexts(), QStringList{"The remembered inputs were not used."});
            QVERIFY2(prompter.messages()[0].details.contains(stateFile + " is a FIFO, not a file"),
                     qPrintable(prompter.messages()[0].details));
        }
        QFile::remove(stateFile);

        QFile planted(stateFile);
        QVERIFY(planted.open(QIODevice::WriteOnly));
        planted.write("[General]\nversion=1\n[fields]\ntemplate=/planted/t.xml\n");
        planted.close();
        QVERIFY(::chmod(QFile::encodeName(stateFile).constData(), 0666) == 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("writable by every user"));
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        window.show();
        QVERIFY(window.controlText(kTemplateEdit).isEmpty());
        QVERIFY(velquor::testing::waitFor([&] { return !prompter.messages().empty(); }));
        QVERIFY2(prompter.messages()[0].details.contains("writable by every user"),
                 qPrintable(prompter.messages()[0].details));
    }

    void theMainWindowsPathsSurviveAReopenButNoKey() {
        const QString folder = QString::fromStdString((*m_dir / "cfg").string());
        QVERIFY(QDir().mkpath(folder));
        {
            ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            prompter.queueFile(folder + "/in.xml");
            window.OnBrowseInputFile();
            prompter.queueFile(folder + "/template.xml");
            window.OnBrowseTemplate();
            window.setControlText(kMacAccountEdit, "/sheets/macs.xlsx");
            window.setControlText(kOutputDirEdit, "/out/");
            window.setControlText(kMd5FileEdit, "/fw/image.bin");
            window.setControlText(kAesKeyEdit, kAesKey);
            window.setControlText(kGenerateKeyEdit, kGenerateKey);
            window.reject();
        }
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        QCOMPARE(window.controlText(kInputFileEdit), folder + "/in.xml");
        QCOMPARE(window.inputFilePath(), folder + "/in.xml");
        QCOMPARE(window.controlText(kTemplateEdit), folder + "/template.xml");
        QCOMPARE(window.controlText(kMacAccountEdit), QString("/sheets/macs.xlsx"));
        QCOMPARE(window.controlText(kOutputDirEdit), QString("/out/"));
        QCOMPARE(window.controlText(kMd5FileEdit), QString("/fw/image.bin"));
        QVERIFY(window.controlText(kAesKeyEdit).isEmpty());
        QVERIFY(window.controlText(kGenerateKeyEdit).isEmpty());
        // Each Browse opens where its last choice was made.
        window.OnBrowseTemplate();
        QCOMPARE(prompter.fileDialogs().back().folder, folder);
        window.OnBrowseMd5File();
        QVERIFY(prompter.fileDialogs().back().folder.isEmpty());

        const std::string state =
            velquor::testing::readFile(InputHistory::stateFile().toStdString());
        QVERIFY(state.find(kAesKey) == std::string::npos);
        QVERIFY(state.find(kGenerateKey) == std::string::npos);
    }

    // Forgetting asks first (No by default); it empties the file and keeps what the fields
    // show for the work at hand, which closing does not remember again unless it was changed.
    void forgetHistoryAsksEmptiesTheFileAndKeepsTheFields() {
        {
            ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            window.setControlText(kTemplateEdit, "/t.xml");
            window.setControlText(kMd5FileEdit, "/fw/image.bin");
            window.reject();
        }
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        QCOMPARE(window.controlText(kTemplateEdit), QString("/t.xml"));
        prompter.queueAnswer(Answer::No);
        window.menuCommand(kForgetHistoryMenuCommand)->trigger();
        QCOMPARE(prompter.messages().size(), std::size_t(1));
        QCOMPARE(prompter.messages()[0].buttons, MessageButtons::YesNoDefaultNo);
        QVERIFY(QFile::exists(InputHistory::stateFile()));

        prompter.queueAnswer(Answer::Yes);
        window.menuCommand(kForgetHistoryMenuCommand)->trigger();
        QVERIFY(!QFile::exists(InputHistory::stateFile()));
        QCOMPARE(window.controlText(kTemplateEdit), QString("/t.xml"));
        QCOMPARE(window.controlText(kMd5FileEdit), QString("/fw/image.bin"));
        window.setControlText(kMd5FileEdit, "/fw/other.bin");  // chosen after forgetting
        window.reject();
        CVelquorDlg reopened(prompter);
        QVERIFY(reopened.controlText(kTemplateEdit).isEmpty());
        QCOMPARE(reopened.controlText(kMd5FileEdit), QString("/fw/other.bin"));
    }

    // The batch fails (nothing listens), but what it was run with is remembered.
    void theDevicesMacFileAndServersSurviveAReopen() {
        velquor::provisioning::KestoEndpoint nowhere;
        nowhere.address = "127.0.0.1";
        nowhere.devicePort = 9;  // discard: nothing listens there on a test machine
        const auto macs = *m_dir / "macs.csv";
        velquor::testing::writeFile(macs, "02:00:00:00:00:01\n");
        for (const char* server : {"https://a.example/", "https://b.example/"}) {
            ScriptedPrompter prompter;
            CDevice device(prompter, "alice", nowhere);
            controlAs<QLineEdit>(device, kMacFileEdit)
                ->setText(QString::fromStdString(macs.string()));
            controlAs<QComboBox>(device, kServerCombo)->setEditText(server);
            QVERIFY(runAndWait(device, kAddDeviceButton));
        }
        ScriptedPrompter prompter;
        CDevice device(prompter, "alice", nowhere);
        QCOMPARE(device.controlText(kMacFileEdit), QString::fromStdString(macs.string()));
        QCOMPARE(serverList(device), (QStringList{"https://b.example/", "https://a.example/"}));
        QCOMPARE(controlAs<QComboBox>(device, kServerCombo)->currentText(),
                 QString("https://b.example/"));
    }

    // A file dialog with nothing remembered for its kind starts beside the input it goes with
    // (the field's file, the file being encrypted); once one of its kind was taken, there;
    // a remembered folder that is gone is passed over.
    void aFileDialogStartsWhereItsKindWasTakenElseBesideTheInput() {
        QDir().mkpath(QString::fromStdString((*m_dir / "sheets").string()));
        QDir().mkpath(QString::fromStdString((*m_dir / "outputs").string()));
        const QString sheets = QString::fromStdString((*m_dir / "sheets").string());
        const QString outputs = QString::fromStdString((*m_dir / "outputs").string());
        const QString input = sheets + "/site.cfg";
        velquor::testing::writeFile(input.toStdString(), "x");

        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        window.setControlText(kMacAccountEdit, sheets + "/devices.xlsx");
        prompter.queueFile(outputs + "/devices.xlsx");
        QVERIFY(velquor::testing::clickControl(window, kBrowseMacAccountButton));
        QCOMPARE(prompter.fileDialogs().back().folder, sheets);
        prompter.queueFileCancel();
        QVERIFY(velquor::testing::clickControl(window, kBrowseMacAccountButton));
        QCOMPARE(prompter.fileDialogs().back().folder, outputs);

        InputHistory history;
        history.rememberFolderOf(history_key::kReport, outputs + "/gone/r.csv");
        QCOMPARE(history.startFolder(history_key::kReport, {input}), sheets);
        QCOMPARE(history.startFolder(history_key::kConfigOutput, {}), QString());
    }

    // The template, the sheet and the output folder are one job's: with nothing remembered for
    // its kind, each dialog starts beside the file just picked for the job; the Save of the
    // site table's rows, which are the sheet's, starts beside the sheet.
    void aJobsDialogsStartBesideItsOtherFilesAndSaveBesideTheSheet() {
        const QString site = QString::fromStdString((*m_dir / "site").string());
        QVERIFY(QDir().mkpath(site));
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        prompter.queueFile(site + "/phones.xml");
        QVERIFY(velquor::testing::clickControl(window, kBrowseTemplateButton));
        QCOMPARE(window.controlText(kTemplateEdit), site + "/phones.xml");
        for (int browse : {kBrowseMacAccountButton, kBrowseOutputDirButton}) {
            prompter.queueFileCancel();
            QVERIFY(velquor::testing::clickControl(window, browse));
            QCOMPARE(prompter.fileDialogs().back().folder, site);
        }

        const QString sheets = QString::fromStdString((*m_dir / "sheets").string());
        QVERIFY(QDir().mkpath(sheets));
        window.setControlText(kMacAccountEdit, sheets + "/devices.csv");
        window.menuCommand(kSiteTableMenuCommand)->trigger();
        auto* actions = window.findChild<SiteTableView*>()->findChild<RowTableActions*>();
        prompter.queueFileCancel();
        QVERIFY(!actions->saveReport());
        QCOMPARE(prompter.fileDialogs().back().folder, sheets);
    }

    void nothingIsRememberedWithoutAStateFile() {
        InputHistory::setStateFile(QString());
        {
            ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            window.setControlText(kTemplateEdit, "/t.xml");
            window.reject();
        }
        QVERIFY(!QFile::exists(InputHistory::defaultStateFile()));
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        QVERIFY(window.controlText(kTemplateEdit).isEmpty());
    }

private:
    std::unique_ptr<velquor::testing::TempDir> m_dir;
};

VELQUOR_ROOM_TEST(InputHistoryTest)
#include "input_history_test.moc"
