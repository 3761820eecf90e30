// Why a file could not be read or written, as the window words it: real failures of the
// sheet reader, the template, the encryption and the generation run, from real files in a
// temporary folder. In English each is the core's message byte for byte; in Chinese the
// sentence is translated, its paths and the system's own reason kept as they are, and a
// reason inside a longer one (an earlier error, a fixed word) translated too.
#include <QCoreApplication>
#include <QTest>
#include <QTranslator>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "app/language/core_texts.h"
#include "app/language/window_language.h"
#include "app/main_window/velquor_dlg.h"
#include "app_test_support.h"
#include "crypto/config_file.h"
#include "generator/run/generation_job.h"
#include "generator/template/config_template.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "sheet/sheet_reader.h"
#include "support/atomic_file.h"
#include "support/progress.h"
#include "support/reporter.h"
#include "temp_dir.h"

using namespace velquor;
using velquor::app::coreReason;
using velquor::app::coreText;
using velquor::testing::clickControl;
using velquor::testing::runCommand;
using velquor::testing::TempDir;
using velquor::testing::waitFor;
using velquor::testing::writeFile;
namespace fs = std::filesystem;

namespace {

const char* kTemplate =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Config><Ext1 Enable=\"Disable\"><SIPSettings><SIPPort>5060</SIPPort></SIPSettings>"
    "</Ext1></Config>\n";

const char* kSheet =
    "MAC,Name,User,Auth,Password,Proxy,Port\n"
    "001565A1B2C1,Reception,2001,2001,pw1,sip.lan,5060\n";

void useChinese() {
    QCOMPARE(app::installWindowLanguage(QStringLiteral("zh_CN"),
                                        {QStringLiteral(VELQUOR_TRANSLATIONS_DIR)}),
             QStringLiteral("zh_CN"));
}

void useEnglish() {
    for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}

support::Error sheetError(const fs::path& path) {
    sheet::SheetReader reader;
    auto opened = reader.Open(path.string());
    return opened ? support::Error{} : opened.error();
}

support::Error templateError(const fs::path& path) {
    auto loaded = generator::ConfigTemplate::LoadTemplate(path.string());
    return loaded ? support::Error{} : loaded.error();
}

support::Error encryptError(const fs::path& input, const fs::path& output, bool decrypt) {
    support::NullReporter reporter;
    const auto run = decrypt ? crypto::DecryptConfigFile : crypto::EncryptConfigFile;
    auto status = run(input.string(), output.string(), "key", reporter, {});
    return status ? support::Error{} : status.error();
}

// Checks a failure in both languages: the English unchanged, the Chinese holding the words
// it must and none of the English pattern's, what was given as it was.
void checkWorded(const support::Error& error, const std::string& english,
                 const QStringList& chineseHas, const QStringList& englishGone) {
    QCOMPARE(QString::fromStdString(error.message), QString::fromStdString(english));
    QCOMPARE(coreText(error), QString::fromStdString(english));
    useChinese();
    const QString chinese = coreText(error);
    useEnglish();
    for (const QString& part : chineseHas) {
        QVERIFY2(chinese.contains(part), qPrintable(chinese + " lacks " + part));
    }
    for (const QString& word : englishGone) {
        QVERIFY2(!chinese.contains(word), qPrintable(chinese + " keeps " + word));
    }
}

QString q(const fs::path& path) {
    return QString::fromStdString(path.string());
}

}  // namespace

class FileReasonsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { useEnglish(); }

    // A reason standing alone in a box starts with a capital; one that an argument begins (a
    // file's name, a MAC) keeps the argument as it is spelt.
    void aCoreReasonAsASentenceStartsWithACapitalUnlessANameBeginsIt() {
        const support::Error unwritable = support::errnoError(
            support::ErrorCode::Io, "cannot write %1: %2", "/site/a.xml", EACCES);
        QVERIFY2(
            app::coreSentence(unwritable).startsWith(QStringLiteral("Cannot write /site/a.xml: ")),
            qPrintable(app::coreSentence(unwritable)));
        QVERIFY(app::coreText(unwritable).startsWith(QStringLiteral("cannot write")));
        const support::Phrase named{"%1 is not a MAC file", {"devices.csv"}};
        QCOMPARE(app::coreSentence(named), QStringLiteral("devices.csv is not a MAC file"));
        QCOMPARE(app::coreSentence("file open error"), QStringLiteral("File open error"));
        QCOMPARE(app::coreSentence("aa:bb:cc:dd:ee:ff add failed!"),
                 QStringLiteral("aa:bb:cc:dd:ee:ff add failed!"));
    }

    // A sheet that is missing, no workbook at all, or not UTF-8: the file named, the reason
    // from inside the reader (two levels deep) in Chinese too.
    void aSheetThatCannotBeRead() {
        TempDir dir;
        const fs::path missing = dir / "missing.xlsx";
        checkWorded(sheetError(missing), "cannot read \"" + missing.string() + "\": no such file",
                    {"无法读取", q(missing)}, {"cannot read", "no such file"});

        const fs::path notZip = dir / "devices.xlsx";
        writeFile(notZip, "MAC,Name\n001565A1B2C1,x\n");
        checkWorded(sheetError(notZip),
                    "cannot read \"" + notZip.string() +
                        "\": it is not an .xlsx workbook (not a zip archive)",
                    {"无法读取", q(notZip), ".xlsx", "zip"}, {"cannot read", "not a zip archive"});

        const fs::path latin1 = dir / "devices.csv";
        writeFile(latin1, "MAC,Name\n001565A1B2C1,Caf\xe9\n");
        checkWorded(sheetError(latin1),
                    "cannot read \"" + latin1.string() +
                        "\": line 2 is not UTF-8 text; save the file as CSV UTF-8",
                    {"无法读取", q(latin1), "2", "UTF-8"}, {"cannot read", "save the file"});

        // Three levels: the file, the part inside it, the XML library's line and message.
        const fs::path damaged = dir / "damaged.xlsx";
        int status = -1;
        runCommand(
            "python3 -c \"import sys, zipfile; zipfile.ZipFile(sys.argv[1], 'w')"
            ".writestr('xl/workbook.xml', '<workbook><sheets>')\" '" +
                damaged.string() + "'",
            &status);
        QCOMPARE(status, 0);
        const support::Error broken = sheetError(damaged);
        const std::string start = "cannot read \"" + damaged.string() +
                                  "\": xl/workbook.xml is not well-formed XML (line ";
        QVERIFY2(broken.message.starts_with(start), broken.message.c_str());
        checkWorded(broken, broken.message, {"无法读取", q(damaged), "xl/workbook.xml", "第 1 行"},
                    {"cannot read", "well-formed"});

        const fs::path folder = dir / "sheets.csv";
        fs::create_directory(folder);
        checkWorded(sheetError(folder),
                    "cannot read \"" + folder.string() + "\": it is a folder, not a file",
                    {q(folder), "文件夹"}, {"folder", "not a file"});
    }

    // A template missing (the system's own reason kept as given) or empty.
    void aTemplateThatCannotBeLoaded() {
        TempDir dir;
        const fs::path missing = dir / "template.xml";
        checkWorded(templateError(missing),
                    "cannot load the template: cannot open '" + missing.string() +
                        "': No such file or directory",
                    {"模板", q(missing), "No such file or directory"},
                    {"cannot load", "cannot open"});

        writeFile(missing, "");
        checkWorded(templateError(missing),
                    "cannot load the template " + missing.string() + ": the file is empty",
                    {"模板", q(missing), "空"}, {"cannot load", "empty"});
    }

    // Encrypt into a folder that is not there, and decrypt what is no encrypted file.
    void anEncryptionThatCannotBeDone() {
        TempDir dir;
        const fs::path input = dir / "config.xml";
        writeFile(input, kTemplate);
        const fs::path output = dir / "none" / "config.enc";
        checkWorded(encryptError(input, output, false),
                    "cannot write output file " + output.string() + ": cannot create a file in " +
                        (dir / "none").string() + ": No such file or directory",
                    {q(output), q(dir / "none"), "No such file or directory"},
                    {"cannot write", "cannot create"});

        // As the window shows it: the product's short text and caption, the reason beneath.
        useChinese();
        app::ScriptedPrompter prompter;
        {
            app::CVelquorDlg window(prompter);
            window.setControlText(1003, "key");
            prompter.queueFile(q(input));
            QVERIFY(clickControl(window, 1001));
            prompter.queueFile(q(output));
            QVERIFY(clickControl(window, 1005));
            QVERIFY(waitFor([&] { return !window.isBusy(); }));
        }
        useEnglish();
        QCOMPARE(prompter.messages().size(), std::size_t(1));
        const app::MessageRequest& box = prompter.messages()[0];
        QCOMPARE(box.text, QStringLiteral("文件打开错误"));
        QCOMPARE(box.caption, QStringLiteral("错误"));
        QVERIFY2(box.details.startsWith(QStringLiteral("无法写入输出文件 ") + q(output)),
                 qPrintable(box.details));

        const fs::path shortFile = dir / "short.enc";
        writeFile(shortFile, "12345");
        checkWorded(encryptError(shortFile, dir / "out.xml", true),
                    shortFile.string() +
                        " is not an encrypted configuration file: its size (5 bytes) is not a "
                        "multiple of 16",
                    {q(shortFile), "5", "16", "加密"}, {"is not an encrypted", "multiple"});

        // A failure with no short text of the product's is the box's text, in Chinese too.
        useChinese();
        app::ScriptedPrompter decrypting;
        {
            app::CVelquorDlg window(decrypting);
            window.setControlText(1003, "key");
            decrypting.queueFile(q(shortFile));
            QVERIFY(clickControl(window, 1001));
            decrypting.queueFile(q(dir / "out.xml"));
            QVERIFY(clickControl(window, 1018));
            QVERIFY(waitFor([&] { return !window.isBusy(); }));
        }
        useEnglish();
        QCOMPARE(decrypting.messages().size(), std::size_t(1));
        const QString& refused = decrypting.messages()[0].text;
        QVERIFY2(refused.startsWith(q(shortFile)) && !refused.contains(QStringLiteral("multiple")),
                 qPrintable(refused));
    }

    // The output folder cannot be made; a device file that would replace the run's own
    // template is left alone, its row's reason naming the template in Chinese too.
    void aGenerationThatCannotWrite() {
        TempDir dir;
        writeFile(dir / "devices.csv", kSheet);
        writeFile(dir / "template.xml", kTemplate);
        writeFile(dir / "taken", "a file where the folder should be");
        generator::GenerationRequest request;
        request.templatePath = (dir / "template.xml").string();
        request.sheetPath = (dir / "devices.csv").string();
        request.outputFolder = (dir / "taken" / "out").string();
        support::NullProgress progress;
        auto blocked = generator::runGeneration(request, progress, {});
        QVERIFY(!blocked);
        QVERIFY(blocked.error().message.starts_with("cannot create the output folder " +
                                                    request.outputFolder + ": "));
        checkWorded(blocked.error(), blocked.error().message, {q(request.outputFolder), "文件夹"},
                    {"cannot create"});

        // The device file's name, then the template put where that file would go.
        request.outputFolder = dir.path().string();
        request.dryRun = true;
        auto checked = generator::runGeneration(request, progress, {});
        QVERIFY(checked && checked->devices.size() == 1);
        const fs::path deviceFile = dir / checked->devices[0].fileName;
        fs::copy_file(dir / "template.xml", deviceFile);
        request.templatePath = deviceFile.string();
        request.dryRun = false;
        auto run = generator::runGeneration(request, progress, {});
        QVERIFY(run && run->devices.size() == 1);
        const generator::DeviceResult& row = run->devices[0];
        QCOMPARE(QString::fromStdString(row.reason),
                 QStringLiteral("row 2: its file would replace the template; it was left alone"));
        QCOMPARE(coreReason(row.reason, row.reasonPhrase), QString::fromStdString(row.reason));
        useChinese();
        const QString chinese = coreReason(row.reason, row.reasonPhrase);
        useEnglish();
        QVERIFY2(chinese.contains("2") && chinese.contains(QStringLiteral("模板")) &&
                     !chinese.contains("template") && !chinese.contains("row"),
                 qPrintable(chinese));
    }
};

VELQUOR_ROOM_TEST(FileReasonsTest)
#include "file_reasons_test.moc"
