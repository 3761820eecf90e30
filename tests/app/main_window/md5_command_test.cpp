// The "MD5" group: Generate MD5 fills the read-only digest field from the file named in the
// File field, off the GUI thread, and leaves the field empty whenever no digest was made.
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <string>

#include "app/main_window/velquor_dlg.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using velquor::app::CVelquorDlg;
using velquor::app::ScriptedPrompter;
using velquor::testing::clickControl;
using velquor::testing::runCommand;
using velquor::testing::shellQuote;
using velquor::testing::TempDir;
using velquor::testing::waitFor;
using velquor::testing::writeFile;
namespace fs = std::filesystem;

namespace {

QString md5sumOf(const fs::path& path) {
    int status = -1;
    const std::string line = runCommand("md5sum " + shellQuote(path.string()), &status);
    return status == 0 ? QString::fromStdString(line.substr(0, 32)) : QString("<md5sum failed>");
}

}  // namespace

class Md5CommandTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_dir = std::make_unique<TempDir>();
        m_prompter = std::make_unique<ScriptedPrompter>();
        m_window = std::make_unique<CVelquorDlg>(*m_prompter);
        m_window->show();
    }
    void cleanup() {
        m_window.reset();
        m_prompter.reset();
        m_dir.reset();
    }

    void digestMatchesMd5sumAndFollowsTheFileAsItChanges() {
        const fs::path file = *m_dir / "firmware image.bin";
        writeFile(file, "abc");
        generate(file);
        QCOMPARE(digest(), QString("900150983cd24fb0d6963f7d28e17f72"));

        generate(file);
        QCOMPARE(digest(), QString("900150983cd24fb0d6963f7d28e17f72"));

        writeFile(file, std::string(100000, 'x') + "tail");
        generate(file);
        QCOMPARE(digest(), md5sumOf(file));

        QVERIFY(m_window->control(1026)->isHidden());
        QVERIFY(m_prompter->messages().empty());
        QCOMPARE(m_window->controlText(1021), QString::fromStdString(file.string()));
    }

    void anEmptyFileHasTheDigestOfTheEmptyMessage() {
        const fs::path file = *m_dir / "empty";
        writeFile(file, "");
        generate(file);
        QCOMPARE(digest(), QString("d41d8cd98f00b204e9800998ecf8427e"));
    }

    void noDigestLeavesTheFieldEmptyEvenAfterAnEarlierOne() {
        const fs::path file = *m_dir / "a.txt";
        writeFile(file, "abc");
        generate(file);
        QVERIFY(!digest().isEmpty());

        generate(*m_dir / "missing.txt");
        QVERIFY(digest().isEmpty());
        QVERIFY(m_prompter->messages().empty());
        // The reason is at hand without a message box.
        QVERIFY(m_window->control(1023)->toolTip().contains("missing.txt"));

        generate(file);
        QVERIFY(!digest().isEmpty());
        m_window->setControlText(1021, QString());
        QVERIFY(clickControl(*m_window, 1025));
        QVERIFY(waitFor([&] { return !m_window->isBusy(); }));
        QVERIFY(digest().isEmpty());
    }

    void cancelStopsTheJobAndLeavesTheFieldEmpty() {
        // A sparse file large enough that the digest cannot finish before Cancel.
        const fs::path file = *m_dir / "huge.img";
        writeFile(file, "");
        fs::resize_file(file, std::uintmax_t(64) << 30);
        m_window->setControlText(1021, QString::fromStdString(file.string()));
        QVERIFY(clickControl(*m_window, 1025));
        QVERIFY(m_window->isBusy());
        velquor::app::JobProgressDialog* dialog = m_window->runningTask()->dialog();
        QVERIFY(waitFor([&] { return dialog->isVisible(); }));
        QVERIFY(waitFor([&] { return dialog->bar()->value() > 0; }));  // still served
        // The command's label stays; the file it reads is named beneath it.
        QCOMPARE(dialog->labelText(), QStringLiteral("Computing the MD5 digest…"));
        QCOMPARE(dialog->detailText(), QString::fromStdString(file.string()));

        dialog->cancelButton()->click();
        QVERIFY(waitFor([&] { return !m_window->isBusy(); }, 20000));
        QVERIFY(digest().isEmpty());
        QVERIFY(m_prompter->messages().empty());
    }

private:
    void generate(const fs::path& file) {
        m_window->setControlText(1021, QString::fromStdString(file.string()));
        QVERIFY(clickControl(*m_window, 1025));
        QVERIFY(waitFor([&] { return !m_window->isBusy(); }));
    }
    QString digest() const { return m_window->controlText(1023); }

    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    std::unique_ptr<CVelquorDlg> m_window;
};

VELQUOR_ROOM_TEST(Md5CommandTest)
#include "md5_command_test.moc"
