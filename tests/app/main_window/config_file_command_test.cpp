// Encrypt and Decrypt as the user runs them: browse an input, type a key, choose an output,
// read the outcome — on real files, checked against openssl, failures never called success.
#include <QTest>
#include <filesystem>
#include <string>

#include "app/main_window/velquor_dlg.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using velquor::app::Answer;
using velquor::app::CVelquorDlg;
using velquor::app::MessageButtons;
using velquor::app::MessageRequest;
using velquor::app::Prompter;
using velquor::app::QtPrompter;
using velquor::app::ScriptedPrompter;
using velquor::testing::clickControl;
using velquor::testing::readFile;
using velquor::testing::RealMessagesPrompter;
using velquor::testing::runCommand;
using velquor::testing::shellQuote;
using velquor::testing::TempDir;
using velquor::testing::waitFor;
using velquor::testing::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kPlainConfig =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><Ext1 Enable=\"Enable\">"
    "<DisplayName>Reception</DisplayName></Ext1></Config>\n";

QString qPath(const fs::path& path) {
    return QString::fromStdString(path.string());
}

std::string hexKey(const std::string& keyText) {
    std::string key = keyText.substr(0, 16);
    key.resize(16, '\0');
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : key) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

}  // namespace

class ConfigFileCommandTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_dir = std::make_unique<TempDir>();
        m_prompter = std::make_unique<ScriptedPrompter>();
        m_window = std::make_unique<CVelquorDlg>(*m_prompter);
        // An empty key is asked about first; the tests that do not look at that have a key.
        m_window->setControlText(1003, "key");
    }
    void cleanup() {
        m_window.reset();
        m_prompter.reset();
        m_dir.reset();
    }

    void encryptThenDecryptGivesTheFileBackAndMatchesOpenssl() {
        const fs::path plain = *m_dir / "phone.xml";
        const fs::path encrypted = *m_dir / "phone.enc";
        const fs::path decrypted = *m_dir / "phone.out.xml";
        writeFile(plain, kPlainConfig);
        const std::string key = "s3cret-key-of-more-than-16";
        m_window->setControlText(1003, QString::fromStdString(key));

        m_prompter->queueAnswer(Answer::Yes);  // its first 16 bytes are used
        runCommand(1001, 1005, plain, encrypted);
        QCOMPARE(m_prompter->messageTexts(),
                 (QStringList{"The AES key is 26 bytes long: only its first 16 bytes are used.",
                              "Success !"}));
        QCOMPARE(m_prompter->messages()[1].caption, QString("Velquor"));
        QCOMPARE(m_prompter->fileDialogs().back().kind, ScriptedPrompter::FileDialogKind::Save);
        QCOMPARE(m_prompter->fileDialogs().back().filter,
                 QString("Configuration files (*.xml);;All files (*)"));
        const std::string ciphertext = readFile(encrypted);
        QCOMPARE(ciphertext.size(), (kPlainConfig.size() + 15) / 16 * 16);

        int status = -1;
        const std::string opensslPlain =
            velquor::testing::runCommand("openssl enc -d -aes-128-ecb -nopad -K " + hexKey(key) +
                                             " -in " + shellQuote(encrypted.string()),
                                         &status);
        QCOMPARE(status, 0);
        std::string padded = kPlainConfig;
        padded.resize(ciphertext.size(), '\0');
        QVERIFY(opensslPlain == padded);

        m_prompter->clearRecords();
        m_prompter->queueAnswer(Answer::Yes);
        runCommand(1001, 1018, encrypted, decrypted);
        QCOMPARE(m_prompter->messageTexts().back(), QString("Success !"));
        QVERIFY(readFile(decrypted) == kPlainConfig);
    }

    void outputNameIsKeptExactlyAsChosen() {
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        runCommand(1001, 1005, plain, *m_dir / "no-extension");
        QVERIFY(fs::exists(*m_dir / "no-extension"));
        QVERIFY(!fs::exists(*m_dir / "no-extension.xml"));
    }

    void anUnreadableInputShowsItsErrorAndNoSuccess() {
        const fs::path plain = *m_dir / "gone.xml";
        writeFile(plain, kPlainConfig);
        m_prompter->queueFile(qPath(plain));
        QVERIFY(clickControl(*m_window, 1001));
        fs::remove(plain);

        for (int button : {1005, 1018}) {
            m_prompter->clearRecords();
            m_prompter->queueFile(qPath(*m_dir / "out.xml"));
            QVERIFY(clickControl(*m_window, button));
            QVERIFY(waitFor([&] { return !m_window->isBusy(); }));
            const QStringList texts = m_prompter->messageTexts();
            QVERIFY2(!texts.contains("Success !"), qPrintable(texts.join('|')));
            QCOMPARE(texts, QStringList{button == 1005 ? "File open error" : "File open error !"});
            QCOMPARE(m_prompter->messages()[0].caption, QString("error"));
            QVERIFY(!fs::exists(*m_dir / "out.xml"));
        }
    }

    void anUnwritableOutputShowsItsErrorAndNoSuccess() {
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        runCommand(1001, 1005, plain, *m_dir / "missing-folder" / "out.xml");
        const QStringList texts = m_prompter->messageTexts();
        QVERIFY2(!texts.isEmpty() && !texts.contains("Success !"), qPrintable(texts.join('|')));
        QCOMPARE(texts.last(), QString("File open error"));
        // The detailed reason travels with the short text.
        QVERIFY(!m_prompter->messages().back().details.isEmpty());
    }

    void theInputItselfAsOutputIsRefusedAndKept() {
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        fs::create_directory(*m_dir / "sub");
        runCommand(1001, 1005, plain, *m_dir / "sub" / ".." / "phone.xml");
        const QStringList texts = m_prompter->messageTexts();
        QCOMPARE(texts.size(), 1);
        QVERIFY(texts[0] != "Success !");
        QVERIFY(!texts[0].isEmpty());
        QVERIFY(readFile(plain) == kPlainConfig);
    }

    void withoutAnInputFileTheUserIsToldAndNoDialogOpens() {
        for (int button : {1005, 1018}) {
            m_prompter->clearRecords();
            QVERIFY(clickControl(*m_window, button));
            QVERIFY(!m_window->isBusy());
            QCOMPARE(m_prompter->messages().size(), std::size_t(1));
            QVERIFY(m_prompter->messages()[0].text.contains("input file"));
            QVERIFY(m_prompter->fileDialogs().empty());
        }
    }

    void typedTextInTheInputFieldIsNeverUsed() {
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        m_window->setControlText(1000, qPath(*m_dir / "other.xml"));
        QVERIFY(clickControl(*m_window, 1005));
        QVERIFY(m_prompter->fileDialogs().empty());  // still no input chosen
    }

    void cancellingTheSaveDialogDoesNothing() {
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        m_prompter->queueFile(qPath(plain));
        QVERIFY(clickControl(*m_window, 1001));
        m_prompter->queueFileCancel();
        QVERIFY(clickControl(*m_window, 1005));
        QVERIFY(!m_window->isBusy());
        QVERIFY(m_prompter->messages().empty());
        QCOMPARE(std::distance(fs::directory_iterator(m_dir->path()), fs::directory_iterator()), 1);
    }

    void successAndFailureShowUpInRealMessageBoxes() {
        RealMessagesPrompter prompter;
        CVelquorDlg window(prompter);
        window.setControlText(1003, "key");
        window.show();
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        prompter.files.queueFile(qPath(plain));
        QVERIFY(clickControl(window, 1001));

        velquor::testing::MessageBoxClicker clicker;
        prompter.files.queueFile(qPath(*m_dir / "real.enc"));
        QVERIFY(clickControl(window, 1005));
        QVERIFY(waitFor([&] { return !window.isBusy(); }));
        prompter.files.queueFile(qPath(*m_dir / "nowhere" / "real.enc"));
        QVERIFY(clickControl(window, 1005));
        QVERIFY(waitFor([&] { return !window.isBusy(); }));

        QCOMPARE(clicker.seen().size(), 2);
        QCOMPARE(clicker.seen()[0].text, QString("Success !"));
        QCOMPARE(clicker.seen()[0].title, QString("Velquor"));
        QCOMPARE(clicker.seen()[1].text, QString("File open error"));
        QCOMPARE(clicker.seen()[1].title, QString("error"));
        QVERIFY(fs::exists(*m_dir / "real.enc"));
    }

    // The all-zero key stays usable (files made with it must open), but never unasked: No
    // does nothing at all, Yes goes on, and the file opens again with an empty key.
    void anEmptyKeyIsAskedAboutOnce() {
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        m_window->setControlText(1003, QString());
        m_prompter->queueFile(qPath(plain));
        QVERIFY(clickControl(*m_window, 1001));
        QVERIFY(clickControl(*m_window, 1005));
        QCOMPARE(m_prompter->messageTexts(),
                 QStringList{"The AES key is empty: the all-zero key will be used."});
        QVERIFY(m_prompter->messages()[0].buttons == velquor::app::MessageButtons::YesNoDefaultNo);
        QCOMPARE(m_prompter->fileDialogs().size(), std::size_t(1));  // no save dialog after No

        m_prompter->clearRecords();
        m_prompter->queueAnswer(Answer::Yes);
        runCommand(1001, 1005, plain, *m_dir / "zero.enc");
        m_prompter->queueAnswer(Answer::Yes);
        runCommand(1001, 1018, *m_dir / "zero.enc", *m_dir / "zero.xml");
        const QString question = "The AES key is empty: the all-zero key will be used.";
        QCOMPARE(m_prompter->messageTexts(),
                 (QStringList{question, "Success !", question, "Success !"}));
        QVERIFY(readFile(*m_dir / "zero.xml") == kPlainConfig);
    }

    // A key past 16 bytes is cut to them by the file format: never without a word. No does
    // nothing at all; Yes writes a file that opens with the first 16 bytes alone.
    void aLongKeyIsAskedAboutBeforeItIsCut() {
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        m_window->setControlText(1003, "Site-Key-2026-Q4-Long");
        m_prompter->queueFile(qPath(plain));
        QVERIFY(clickControl(*m_window, 1001));
        QVERIFY(clickControl(*m_window, 1005));
        const QString question = "The AES key is 21 bytes long: only its first 16 bytes are used.";
        QCOMPARE(m_prompter->messageTexts(), QStringList{question});
        QVERIFY(m_prompter->messages()[0].buttons == velquor::app::MessageButtons::YesNoDefaultNo);
        QCOMPARE(m_prompter->fileDialogs().size(), std::size_t(1));  // no save dialog after No

        m_prompter->clearRecords();
        m_prompter->queueAnswer(Answer::Yes);
        runCommand(1001, 1005, plain, *m_dir / "long.enc");
        QCOMPARE(m_prompter->messageTexts(), (QStringList{question, "Success !"}));
        m_window->setControlText(1003, "Site-Key-2026-Q4");
        m_prompter->clearRecords();
        runCommand(1001, 1018, *m_dir / "long.enc", *m_dir / "long.xml");
        QCOMPARE(m_prompter->messageTexts(), QStringList{"Success !"});
        QVERIFY(readFile(*m_dir / "long.xml") == kPlainConfig);
    }

    // A wrong key decrypts to noise without an error: the window asks before anything is
    // written, names the good file that would be replaced, and No keeps it byte for byte.
    void aWrongKeyIsAskedAboutBeforeTheGoodFileIsReplaced() {
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        runCommand(1001, 1005, plain, *m_dir / "phone.enc");
        m_window->setControlText(1003, "another key");
        m_prompter->clearRecords();
        runCommand(1001, 1018, *m_dir / "phone.enc", plain);  // "No", the cautious answer
        QCOMPARE(m_prompter->messageTexts(),
                 QStringList{"The result does not look like a configuration file: the key may "
                             "be wrong. Write it anyway?"});
        const MessageRequest& asked = m_prompter->messages()[0];
        QCOMPARE(asked.buttons, MessageButtons::YesNoDefaultNo);
        QVERIFY2(asked.details.contains(qPath(plain)), qPrintable(asked.details));
        QCOMPARE(readFile(plain), kPlainConfig);

        // Yes writes the noise, as asked, and the command is done.
        m_prompter->clearRecords();
        m_prompter->queueAnswer(Answer::Yes);
        runCommand(1001, 1018, *m_dir / "phone.enc", *m_dir / "noise.xml");
        QCOMPARE(m_prompter->messageTexts().size(), 2);
        QCOMPARE(m_prompter->messageTexts()[1], QString("Success !"));
        QVERIFY2(!m_prompter->messages()[0].details.contains("noise.xml"), "nothing to replace");
        QVERIFY(fs::file_size(*m_dir / "noise.xml") > 0);
        QVERIFY(readFile(*m_dir / "noise.xml") != kPlainConfig);
    }

    // Encrypting what is encrypted already would give a file that decrypts to the first
    // encryption: asked first, and No writes nothing.
    void encryptingAnEncryptedFileIsAskedAbout() {
        const fs::path plain = *m_dir / "phone.xml";
        writeFile(plain, kPlainConfig);
        runCommand(1001, 1005, plain, *m_dir / "phone.enc");
        writeFile(*m_dir / "twice.enc", "earlier");
        m_prompter->clearRecords();
        runCommand(1001, 1005, *m_dir / "phone.enc", *m_dir / "twice.enc");
        QCOMPARE(m_prompter->messageTexts(),
                 QStringList{qPath(*m_dir / "phone.enc") +
                             " does not look like a configuration file: it may be encrypted "
                             "already. Encrypt it anyway?"});
        QCOMPARE(readFile(*m_dir / "twice.enc"), std::string("earlier"));
    }

    // A size that is not whole 16-byte blocks cannot be this format: refused, nothing written.
    void aFileOfTheWrongSizeIsNotDecrypted() {
        const fs::path odd = *m_dir / "odd.bin";
        writeFile(odd, std::string(33, 'x'));
        runCommand(1001, 1018, odd, *m_dir / "odd.xml");
        const QStringList texts = m_prompter->messageTexts();
        QVERIFY2(!texts.isEmpty() && !texts.contains("Success !"), qPrintable(texts.join('|')));
        const QString said = texts.join(' ') + m_prompter->messages().back().details;
        QVERIFY2(said.contains("16"), qPrintable(said));
        QVERIFY(!fs::exists(*m_dir / "odd.xml"));
    }

private:
    // Browses input with browseButton, then runs commandButton saving to output.
    void runCommand(int browseButton, int commandButton, const fs::path& input,
                    const fs::path& output) {
        m_prompter->queueFile(qPath(input));
        QVERIFY(clickControl(*m_window, browseButton));
        m_prompter->queueFile(qPath(output));
        QVERIFY(clickControl(*m_window, commandButton));
        QVERIFY(waitFor([&] { return !m_window->isBusy(); }));
    }

    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    std::unique_ptr<CVelquorDlg> m_window;
};

VELQUOR_ROOM_TEST(ConfigFileCommandTest)
#include "config_file_command_test.moc"
