// A file dragged from the desktop's file manager and dropped on a path field fills it as the
// field's Browse would; anything else dropped there is refused, and read-only fields stay so.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include "app/kesto/device_dialog.h"
#include "app/main_window/velquor_dlg.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::controlAs;

namespace {

// Drags urls over field and drops them as a file manager does; true when the field took them.
bool dropOn(QWidget* field, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    // File managers offer the paths as text too, which a plain line edit would paste.
    QStringList asText;
    for (const QUrl& url : urls) asText << url.toString();
    data.setText(asText.join('\n'));
    const QPoint centre = field->rect().center();
    QDragEnterEvent enter(centre, Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, &data,
                          Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(field, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(centre), Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, &data,
                    Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(field, &drop);
    return drop.isAccepted();
}

QUrl fileUrl(const std::filesystem::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

}  // namespace

class PathDropTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_dir = std::make_unique<velquor::testing::TempDir>();
        m_file = *m_dir / "phone config.xml";
        velquor::testing::writeFile(m_file, "<cfg/>");
        std::filesystem::create_directory(*m_dir / "out");
    }
    void cleanup() { m_dir.reset(); }

    void aDroppedFileFillsEachFileFieldOfTheMainWindow() {
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        const QString path = QString::fromStdString(m_file.string());
        for (int id : {kInputFileEdit, kTemplateEdit, kMacAccountEdit, kMd5FileEdit}) {
            QVERIFY2(dropOn(window.control(id), {fileUrl(m_file)}),
                     qPrintable(QString::number(id)));
            QCOMPARE(window.controlText(id), path);
        }
        // The Input File field is what Encrypt and Decrypt read, as after Browse.
        QCOMPARE(window.inputFilePath(), path);
        QVERIFY(prompter.fileDialogs().empty());
    }

    void theInputFileFieldStillTakesNoTyping() {
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto* field = controlAs<QLineEdit>(window, kInputFileEdit);
        QVERIFY(dropOn(field, {fileUrl(m_file)}));
        QVERIFY(field->isReadOnly());
        field->setFocus();
        QTest::keyClicks(field, "typed");
        QTest::keyClick(field, Qt::Key_Backspace);
        QCOMPARE(field->text(), QString::fromStdString(m_file.string()));
    }

    void theOutputFieldTakesAFolderWithOneSeparatorAndNothingElse() {
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        QWidget* field = window.control(kOutputDirEdit);
        QVERIFY(!dropOn(field, {fileUrl(m_file)}));
        QVERIFY(window.controlText(kOutputDirEdit).isEmpty());
        QVERIFY(dropOn(field, {fileUrl(*m_dir / "out")}));
        QCOMPARE(window.controlText(kOutputDirEdit),
                 QString::fromStdString((*m_dir / "out").string()) + '/');
    }

    void whatIsNotOneLocalFileIsRefused() {
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        const auto other = *m_dir / "other.xml";
        velquor::testing::writeFile(other, "<cfg/>");
        const QList<QList<QUrl>> refused = {
            {fileUrl(*m_dir / "out")},              // a folder where a file is wanted
            {fileUrl(m_file), fileUrl(other)},      // two files for one field
            {QUrl("https://example.com/cfg.xml")},  // not a local file
            {fileUrl(*m_dir / "missing.xml")},      // gone before it was dropped
        };
        for (const QList<QUrl>& urls : refused) {
            for (int id : {kInputFileEdit, kTemplateEdit}) {
                dropOn(window.control(id), urls);
                QVERIFY2(window.controlText(id).isEmpty(), qPrintable(urls.first().toString()));
            }
        }
        QVERIFY(window.inputFilePath().isEmpty());
        // The digest is the program's answer, not a path to fill.
        QVERIFY(!dropOn(window.control(kMd5DigestEdit), {fileUrl(m_file)}));
        QVERIFY(window.controlText(kMd5DigestEdit).isEmpty());
    }

    void aDroppedFileIsTheDeviceDialogsMacFile() {
        ScriptedPrompter prompter;
        CDevice device(prompter, "alice");
        QVERIFY(dropOn(device.control(kMacFileEdit), {fileUrl(m_file)}));
        QCOMPARE(device.controlText(kMacFileEdit), QString::fromStdString(m_file.string()));
    }

private:
    std::unique_ptr<velquor::testing::TempDir> m_dir;
    std::filesystem::path m_file;
};

VELQUOR_ROOM_TEST(PathDropTest)
#include "path_drop_test.moc"
