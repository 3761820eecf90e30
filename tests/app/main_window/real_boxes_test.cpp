// The main window's commands with real message boxes, answered as a person answers them: by a
// click on the box that is on top. Each command runs once with a job that ends before the
// progress dialog's show delay and once with one that ends after it; a box that a person could
// not reach (a progress dialog above it) fails the test instead of hanging it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/kit/progress/progress_dialog.h"
#include "app/main_window/velquor_dlg.h"
#include "app_test_support.h"
#include "room_main.h"
#include "temp_dir.h"

using velquor::app::CVelquorDlg;
using velquor::app::JobProgressDialog;
using velquor::testing::anyProgressDialogVisible;
using velquor::testing::clickControl;
using velquor::testing::kTemplate;
using velquor::testing::MessageBoxClicker;
using velquor::testing::q;
using velquor::testing::RealMessagesPrompter;
using velquor::testing::ShowDelay;
using velquor::testing::TempDir;
using velquor::testing::waitFor;
using velquor::testing::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr int kNeverShown = 600000;
constexpr int kShownAtOnce = 0;
// Shorter than a person takes to read a box, longer than the quick jobs here take.
constexpr int kShownWhileTheBoxIsRead = 250;
constexpr int kReadingTimeMs = 600;

// A named pipe as a command's input holds the command in its open until the test writes it,
// so the test knows the command is still running. Whatever happens, the command is let go.
class HeldInput {
public:
    explicit HeldInput(const fs::path& path) : m_path(path) {
        m_made = ::mkfifo(path.c_str(), 0600) == 0;
    }
    ~HeldInput() { release(""); }
    HeldInput(const HeldInput&) = delete;
    HeldInput& operator=(const HeldInput&) = delete;

    bool made() const { return m_made; }
    // Hands content to the command once it waits in the open; false when it never did.
    bool release(const char* content) {
        if (!m_made || m_released) return false;
        int fd = -1;
        // Opening without waiting succeeds only once the command has the pipe open.
        const bool waiting = waitFor(
            [&] { return (fd = ::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; },
            10000);
        if (!waiting) return false;
        m_released = true;
        const auto size = static_cast<ssize_t>(std::strlen(content));
        const bool written = ::write(fd, content, static_cast<std::size_t>(size)) == size;
        ::close(fd);
        return written;
    }

private:
    fs::path m_path;
    bool m_made = false;
    bool m_released = false;
};

}  // namespace

class RealBoxesTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_dir = std::make_unique<TempDir>();
        m_prompter = std::make_unique<RealMessagesPrompter>();
        m_window = std::make_unique<CVelquorDlg>(*m_prompter);
        m_window->show();
        // Large enough that the job outlasts a show delay of zero.
        writeFile(*m_dir / "phone.xml", std::string(8 << 20, 'x'));
        writeFile(*m_dir / "template.xml", kTemplate);
        std::string sheet = "MAC,Name,User,Auth,Password,Proxy,Port\n";
        for (int i = 1; i <= 5; ++i) {
            sheet += "0015650000" + std::to_string(10 + i) + ",Desk,200" + std::to_string(i) +
                     ",a,pw,sip.lan,5060\n";
        }
        writeFile(*m_dir / "devices.csv", sheet);
    }
    void cleanup() {
        m_window.reset();
        m_prompter.reset();
        m_dir.reset();
    }

    void encryptThenDecrypt_data() { delays(); }
    void encryptThenDecrypt() {
        QFETCH(int, delay);
        ShowDelay showDelay(delay);
        MessageBoxClicker clicker;
        clicker.setReadingTimeMs(kReadingTimeMs);
        m_prompter->files.queueFile(q(*m_dir / "phone.xml"));
        QVERIFY(clickControl(*m_window, 1001));
        m_window->setControlText(1003, "key");
        m_prompter->files.queueFile(q(*m_dir / "phone.enc"));
        runAndWait(1005);
        m_prompter->files.queueFile(q(*m_dir / "phone.enc"));
        QVERIFY(clickControl(*m_window, 1001));
        m_prompter->files.queueFile(q(*m_dir / "phone.out"));
        runAndWait(1018);
        QCOMPARE(clicker.seenTexts(), (QStringList{"Success !", "Success !"}));
        QCOMPARE(clicker.unreachable(), QStringList());
        QVERIFY(fs::file_size(*m_dir / "phone.out") >= fs::file_size(*m_dir / "phone.xml"));
    }

    void encryptIntoAMissingFolderShowsTheError_data() { delays(); }
    void encryptIntoAMissingFolderShowsTheError() {
        QFETCH(int, delay);
        ShowDelay showDelay(delay);
        MessageBoxClicker clicker;
        clicker.setReadingTimeMs(kReadingTimeMs);
        m_prompter->files.queueFile(q(*m_dir / "phone.xml"));
        QVERIFY(clickControl(*m_window, 1001));
        m_window->setControlText(1003, "key");
        m_prompter->files.queueFile(q(*m_dir / "nowhere" / "phone.enc"));
        runAndWait(1005);
        QCOMPARE(clicker.seenTexts(), QStringList{"File open error"});
        QCOMPARE(clicker.unreachable(), QStringList());
    }

    void generateAndItsFailures_data() { delays(); }
    void generateAndItsFailures() {
        QFETCH(int, delay);
        ShowDelay showDelay(delay);
        MessageBoxClicker clicker;
        clicker.setReadingTimeMs(kReadingTimeMs);
        writeFile(*m_dir / "broken.xml", "<Config><Ext1>");
        const fs::path out = *m_dir / "out";
        fs::create_directory(out);
        int run = 0;
        struct Case {
            fs::path sheet;
            fs::path xmlTemplate;
        };
        const Case cases[] = {
            {*m_dir / "devices.csv", *m_dir / "template.xml"},
            {*m_dir / "devices.csv", *m_dir / "missing.xml"},
            {*m_dir / "devices.csv", *m_dir / "broken.xml"},
            {*m_dir / "missing.csv", *m_dir / "template.xml"},
        };
        for (const Case& c : cases) {
            // A folder of its own each time: no run replaces the files of the one before.
            const fs::path folder = run++ == 0 ? out : out / std::to_string(run);
            fs::create_directories(folder);
            m_window->setControlText(1010, q(c.sheet));
            m_window->setControlText(1007, q(c.xmlTemplate));
            m_window->setControlText(1015, q(folder) + '/');
            runAndWait(1014);
        }
        const QStringList texts = clicker.seenTexts();
        QCOMPARE(texts.size(), 4);
        QCOMPARE(texts[0], QString("Success !"));
        QVERIFY2(texts[1].contains("missing.xml"), qPrintable(texts[1]));
        QVERIFY2(texts[2].contains("broken.xml"), qPrintable(texts[2]));
        QVERIFY2(texts[3].contains("missing.csv"), qPrintable(texts[3]));
        QCOMPARE(clicker.unreachable(), QStringList());
        QVERIFY(fs::exists(out / "001565000011.xml"));
    }

    // A command still running once its dialog is up: its closing box waits until the dialog
    // has gone, on any machine.
    void theClosingBoxOfACommandFollowsItsDialog() {
        ShowDelay showDelay(kShownAtOnce);
        MessageBoxClicker clicker;
        HeldInput input(*m_dir / "phone.fifo");
        QVERIFY(input.made());
        m_prompter->files.queueFile(q(*m_dir / "phone.fifo"));
        QVERIFY(clickControl(*m_window, 1001));
        m_window->setControlText(1003, "key");
        m_prompter->files.queueFile(q(*m_dir / "phone.enc"));
        QSignalSpy finished(m_window.get(), &CVelquorDlg::commandFinished);
        QVERIFY(clickControl(*m_window, 1005));
        QVERIFY(waitFor(anyProgressDialogVisible, 10000));
        QVERIFY(input.release(kTemplate));
        QVERIFY(finished.count() > 0 || finished.wait(20000));
        QCOMPARE(clicker.seenTexts(), QStringList{"Success !"});
        QVERIFY(!clicker.seen()[0].progressDialogShown);
        QVERIFY(fs::file_size(*m_dir / "phone.enc") >= std::strlen(kTemplate));
    }

    // MD5 shows no box of its own: what matters is that no progress dialog comes up after it
    // and that the next command's box is reachable.
    void md5LeavesTheWindowFreeForTheNextBox_data() { delays(); }
    void md5LeavesTheWindowFreeForTheNextBox() {
        QFETCH(int, delay);
        ShowDelay showDelay(delay);
        MessageBoxClicker clicker;
        clicker.setReadingTimeMs(kReadingTimeMs);
        m_window->setControlText(1021, q(*m_dir / "phone.xml"));
        runAndWait(1025);
        QCOMPARE(m_window->controlText(1023).size(), 32);
        // Once the command's task is gone with its dialog, no show delay can bring one up.
        QVERIFY(waitFor([] { return !velquor::testing::anyProgressDialogLeft(); }, 10000));
        m_window->setControlText(1010, QString());
        QVERIFY(clickControl(*m_window, 1014));  // refused at once: a field is empty
        QVERIFY(waitFor([&] { return clicker.seen().size() == 1; }, 10000));
        QCOMPARE(clicker.unreachable(), QStringList());
    }

private:
    static void delays() {
        QTest::addColumn<int>("delay");
        QTest::newRow("job ends before the show delay") << kNeverShown;
        QTest::newRow("job ends after the show delay") << kShownAtOnce;
        QTest::newRow("show delay runs out while the box is read") << kShownWhileTheBoxIsRead;
    }

    // Clicks a command's button and waits for the command and every box it raised to end;
    // afterwards no progress dialog may be left on screen.
    void runAndWait(int buttonId) {
        QSignalSpy finished(m_window.get(), &CVelquorDlg::commandFinished);
        QVERIFY(clickControl(*m_window, buttonId));
        QVERIFY(finished.count() > 0 || finished.wait(20000));
        QVERIFY(!anyProgressDialogVisible());
    }

    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<RealMessagesPrompter> m_prompter;
    std::unique_ptr<CVelquorDlg> m_window;
};

VELQUOR_ROOM_TEST(RealBoxesTest)
#include "real_boxes_test.moc"
