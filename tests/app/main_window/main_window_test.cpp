// The main window as the user meets it: its controls, groups, tab order, menu, keys, and the
// browse and Copy commands, driven through the real widgets.
#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/kit/window/keyboard_access.h"
#include "app/main_window/velquor_dlg.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"

using velquor::app::CVelquorDlg;
using velquor::app::ScriptedPrompter;
using velquor::testing::clickControl;
using velquor::testing::controlAs;

namespace {

enum class Kind { Edit, ReadOnlyEdit, Button, Label, CheckBox, GroupBox };

struct ExpectedControl {
    int id;
    Kind kind;
    const char* text;
    const char* group;
};

const ExpectedControl kExpectedControls[] = {
    {1000, Kind::ReadOnlyEdit, "", "Encrypt Configuration"},
    {1001, Kind::Button, "Browse", "Encrypt Configuration"},
    {1002, Kind::Label, "AES Key:", "Encrypt Configuration"},
    {1003, Kind::Edit, "", "Encrypt Configuration"},
    {1005, Kind::Button, "Encrypt", "Encrypt Configuration"},
    {1006, Kind::Label, "Template:", "MAC-CFG"},
    {1007, Kind::Edit, "", "MAC-CFG"},
    {1008, Kind::Button, "Browse", "MAC-CFG"},
    {1009, Kind::Label, "MAC-ACCOUNT:", "MAC-CFG"},
    {1010, Kind::Edit, "", "MAC-CFG"},
    {1011, Kind::Button, "Browse", "MAC-CFG"},
    {1013, Kind::Edit, "", "MAC-CFG"},
    {1014, Kind::Button, "Generate", "MAC-CFG"},
    {1015, Kind::Edit, "", "MAC-CFG"},
    {1016, Kind::Button, "Browse", "MAC-CFG"},
    {1017, Kind::CheckBox, "AES Key", "MAC-CFG"},
    {1018, Kind::Button, "Decrypt", "Encrypt Configuration"},
    {1019, Kind::GroupBox, "MD5", nullptr},
    {1020, Kind::Label, "File:", "MD5"},
    {1021, Kind::Edit, "", "MD5"},
    {1022, Kind::Button, "Browse", "MD5"},
    {1023, Kind::ReadOnlyEdit, "", "MD5"},
    {1024, Kind::Label, "MD5:", "MD5"},
    {1025, Kind::Button, "Generate MD5", "MD5"},
    {1026, Kind::Button, "Copy", "MD5"},
};

const int kExpectedTabOrder[] = {1000, 1001, 1003, 1005, 1007, 1008, 1010, 1011, 1013,
                                 1014, 1015, 1016, 1017, 1018, 1021, 1022, 1023, 1025};

const int kEditIds[] = {1000, 1003, 1007, 1010, 1013, 1015, 1021, 1023};

bool hasKind(QWidget* widget, Kind kind) {
    switch (kind) {
        case Kind::Edit:
        case Kind::ReadOnlyEdit: {
            auto* edit = qobject_cast<QLineEdit*>(widget);
            return edit && edit->isReadOnly() == (kind == Kind::ReadOnlyEdit);
        }
        case Kind::Button:
            return qobject_cast<QPushButton*>(widget) != nullptr;
        case Kind::Label:
            return qobject_cast<QLabel*>(widget) != nullptr;
        case Kind::CheckBox:
            return qobject_cast<QCheckBox*>(widget) != nullptr;
        case Kind::GroupBox:
            return qobject_cast<QGroupBox*>(widget) != nullptr;
    }
    return false;
}

QString groupOf(QWidget* widget) {
    for (QWidget* parent = widget->parentWidget(); parent; parent = parent->parentWidget()) {
        if (auto* group = qobject_cast<QGroupBox*>(parent)) return group->title();
    }
    return QString();
}

int idOf(QWidget* widget) {
    return widget ? widget->property(velquor::app::ControlWindow::kControlIdProperty).toInt() : 0;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_prompter = std::make_unique<ScriptedPrompter>();
        m_window = std::make_unique<CVelquorDlg>(*m_prompter);
    }
    void cleanup() {
        m_window.reset();
        m_prompter.reset();
    }

    void everyControlHasItsIdKindTextAndGroup() {
        for (const ExpectedControl& expected : kExpectedControls) {
            QWidget* widget = m_window->control(expected.id);
            QVERIFY2(widget, qPrintable(QString::number(expected.id)));
            QVERIFY2(hasKind(widget, expected.kind), qPrintable(QString::number(expected.id)));
            QCOMPARE(m_window->controlText(expected.id), QString::fromUtf8(expected.text));
            if (expected.group) QCOMPARE(groupOf(widget), QString::fromUtf8(expected.group));
        }
        QCOMPARE(m_window->controlIds().size(), qsizetype(std::size(kExpectedControls)));
    }

    void labelsWithoutIdsAndTheThreeGroupsAreInPlace() {
        QStringList groupTitles;
        for (QGroupBox* group : m_window->findChildren<QGroupBox*>()) {
            groupTitles << group->title();
        }
        QCOMPARE(groupTitles, (QStringList{"Encrypt Configuration", "MAC-CFG", "MD5"}));
        QMap<QString, QString> labelGroups;
        for (QLabel* label : m_window->findChildren<QLabel*>()) {
            labelGroups.insert(label->text(), groupOf(label));
        }
        QCOMPARE(labelGroups.value("Input File :"), QString("Encrypt Configuration"));
        QCOMPARE(labelGroups.value("Out put path:"), QString("MAC-CFG"));
    }

    void windowHasItsTitleCloseBoxAndNoMinimiseOrMaximise() {
        QCOMPARE(m_window->windowTitle(), QString("Velquor"));
        const Qt::WindowFlags flags = m_window->windowFlags();
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(!m_window->windowIcon().pixmap(32, 32).isNull());
    }

    // KESTO first, as it always was, then Settings beside it; both run at a click.
    void menuBarHoldsTheKestoCommandDirectly() {
        auto* menuBar = m_window->findChild<QMenuBar*>();
        QVERIFY(menuBar);
        QVERIFY(menuBar->actions().size() >= 3);
        QAction* kesto = menuBar->actions().first();
        QCOMPARE(velquor::app::withoutAltKey(kesto->text()), QString("KESTO"));
        QVERIFY(kesto->menu() == nullptr);
        QCOMPARE(m_window->menuCommand(32772), kesto);
        QAction* settings = menuBar->actions()[1];
        QCOMPARE(velquor::app::withoutAltKey(settings->text()), QString("Settings"));
        QVERIFY(settings->menu() == nullptr);
        QCOMPARE(m_window->menuCommand(velquor::app::kSettingsMenuCommand), settings);
        // Beside them, also without a drop-down: the command that empties the remembered inputs.
        QAction* forget = m_window->menuCommand(velquor::app::kForgetHistoryMenuCommand);
        QCOMPARE(menuBar->actions()[2], forget);
        QCOMPARE(velquor::app::withoutAltKey(forget->text()), QString("Forget history"));
        QVERIFY(forget->menu() == nullptr);
    }

    void ctrlQClosesTheWindowAndSoEndsTheProgram() {
        bool closedByTheKeys = false;
        QTimer::singleShot(0, m_window.get(), [&] {
            if (QTest::qWaitForWindowActive(m_window.get())) {
                QTest::keyClick(m_window->control(1003), Qt::Key_Q, Qt::ControlModifier);
            }
            closedByTheKeys = !m_window->isVisible();
            if (!closedByTheKeys) m_window->reject();  // the suite must not hang on a failure
        });
        QCOMPARE(m_window->exec(), int(QDialog::Rejected));
        QVERIFY(closedByTheKeys);
    }

    void fieldsStartEmptyAndCopyStaysHidden() {
        showAndActivate();
        for (int id : kEditIds) QVERIFY(m_window->controlText(id).isEmpty());
        QVERIFY(!m_window->control(1026)->isVisible());
        QVERIFY(m_window->control(1025)->isVisible());
        QVERIFY(!controlAs<QCheckBox>(*m_window, 1017)->isChecked());
        QCOMPARE(m_window->aesKeyChecked(), 0);
        QVERIFY(m_window->inputFilePath().isEmpty());
    }

    void focusStartsInInputFileAndTabFollowsTheTable() {
        showAndActivate();
        QCOMPARE(idOf(QApplication::focusWidget()), 1000);
        QList<int> visited;
        for (std::size_t i = 0; i < std::size(kExpectedTabOrder); ++i) {
            visited << idOf(QApplication::focusWidget());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        visited << idOf(QApplication::focusWidget());
        QList<int> expected(std::begin(kExpectedTabOrder), std::end(kExpectedTabOrder));
        expected << 1000;  // past the last control it wraps round, skipping the hidden Copy
        QCOMPARE(visited, expected);
    }

    void enterInAnEditFieldLeavesTheWindowOpen() {
        showAndActivate();
        for (int id : kEditIds) {
            QWidget* field = m_window->control(id);
            field->setFocus();
            QTest::keyClick(field, Qt::Key_Return);
            QTest::keyClick(field, Qt::Key_Enter, Qt::KeypadModifier);
            QVERIFY2(m_window->isVisible(), qPrintable(QString::number(id)));
        }
        QVERIFY(m_prompter->fileDialogs().empty());
        QVERIFY(m_prompter->messages().empty());
    }

    void enterOnAFocusedButtonPressesIt() {
        showAndActivate();
        QWidget* browse = m_window->control(1008);
        browse->setFocus();
        QTest::keyClick(browse, Qt::Key_Return);
        QCOMPARE(m_prompter->fileDialogs().size(), std::size_t(1));
        QVERIFY(m_window->isVisible());
    }

    void escapeEndsTheModalRunButEnterDoesNot() {
        bool openAfterEnter = false;
        QTimer::singleShot(0, m_window.get(), [&] {
            QWidget* field = m_window->control(1003);
            field->setFocus();
            QTest::keyClick(field, Qt::Key_Return);
            openAfterEnter = m_window->isVisible();
            QTest::keyClick(field, Qt::Key_Escape);
        });
        QCOMPARE(m_window->exec(), int(QDialog::Rejected));
        QVERIFY(openAfterEnter);
    }

    void typingIntoTheInputFileFieldIsNotPossible() {
        showAndActivate();
        QWidget* field = m_window->control(1000);
        QTest::keyClicks(field, "/tmp/typed.xml");
        QVERIFY(m_window->controlText(1000).isEmpty());
        QVERIFY(m_window->inputFilePath().isEmpty());
        // ... and it does not look as if it could: no editable field's background.
        const QPalette look = field->palette();
        QCOMPARE(look.color(QPalette::Base), look.color(QPalette::Window));
        QVERIFY(m_window->control(1003)->palette().color(QPalette::Base) !=
                look.color(QPalette::Base));
    }

    void browseInputFileSetsBothThePathAndTheField() {
        m_prompter->queueFile("/data/configs/phone.xml");
        QVERIFY(clickControl(*m_window, 1001));
        QCOMPARE(m_window->inputFilePath(), QString("/data/configs/phone.xml"));
        QCOMPARE(m_window->controlText(1000), QString("/data/configs/phone.xml"));
        // An encrypted configuration need not be named .xml.
        QCOMPARE(m_prompter->fileDialogs().back().filter,
                 QString("Configuration files (*.xml);;All files (*)"));

        m_prompter->queueFileCancel();
        QVERIFY(clickControl(*m_window, 1001));
        QCOMPARE(m_window->inputFilePath(), QString("/data/configs/phone.xml"));
        QCOMPARE(m_window->controlText(1000), QString("/data/configs/phone.xml"));
    }

    void eachBrowseFillsItsOwnFieldWithItsFilter() {
        struct Case {
            int button;
            int field;
            const char* filter;
        };
        const Case cases[] = {
            {1008, 1007, "XML templates (*.xml)"},
            {1011, 1010, "Spreadsheets (*.xlsx *.xlsm *.csv)"},
            {1022, 1021, "All files (*)"},
        };
        for (const Case& c : cases) {
            const QString path = QString("/srv/in put/%1.file").arg(c.field);
            m_prompter->queueFile(path);
            QVERIFY(clickControl(*m_window, c.button));
            QCOMPARE(m_window->controlText(c.field), path);
            QCOMPARE(m_prompter->fileDialogs().back().kind, ScriptedPrompter::FileDialogKind::Open);
            QCOMPARE(m_prompter->fileDialogs().back().filter, QString(c.filter));

            m_prompter->queueFileCancel();
            QVERIFY(clickControl(*m_window, c.button));
            QCOMPARE(m_window->controlText(c.field), path);
        }
        QVERIFY(m_window->inputFilePath().isEmpty());
        QVERIFY(m_prompter->messages().empty());
    }

    void outputFolderGetsExactlyOneTrailingSeparator() {
        const std::pair<QString, QString> cases[] = {
            {"/home/tech/cfg", "/home/tech/cfg/"},
            {"/home/tech/cfg/", "/home/tech/cfg/"},
            {"/", "/"},
        };
        for (const auto& [chosen, shown] : cases) {
            m_prompter->queueFile(chosen);
            QVERIFY(clickControl(*m_window, 1016));
            QCOMPARE(m_window->controlText(1015), shown);
            QCOMPARE(m_prompter->fileDialogs().back().kind,
                     ScriptedPrompter::FileDialogKind::Folder);
            QCOMPARE(m_prompter->fileDialogs().back().title, QString("Select dir"));
        }
        m_prompter->queueFileCancel();
        QVERIFY(clickControl(*m_window, 1016));
        QCOMPARE(m_window->controlText(1015), QString("/"));
    }

    void copyPutsExactlyTheDigestFieldOnTheClipboard() {
        QClipboard* clipboard = QGuiApplication::clipboard();
        m_window->setControlText(1023, "d41d8cd98f00b204e9800998ecf8427e");
        m_window->setControlText(1021, "/not/this/one");
        m_window->OnCopy();
        QCOMPARE(clipboard->text(), QString("d41d8cd98f00b204e9800998ecf8427e"));

        m_window->setControlText(1023, QString());
        m_window->OnCopy();
        QCOMPARE(clipboard->text(), QString());
        QVERIFY(m_window->control(1026)->isHidden());
    }

    void aesKeyBoxIsTakenOnlyWhenRefreshed() {
        auto* box = controlAs<QCheckBox>(*m_window, 1017);
        box->click();
        QVERIFY(box->isChecked());
        QCOMPARE(m_window->aesKeyChecked(), 0);
        m_window->refreshAesKeyChecked();
        QCOMPARE(m_window->aesKeyChecked(), 1);
        box->click();
        m_window->refreshAesKeyChecked();
        QCOMPARE(m_window->aesKeyChecked(), 0);
    }

private:
    void showAndActivate() {
        m_window->show();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    std::unique_ptr<ScriptedPrompter> m_prompter;
    std::unique_ptr<CVelquorDlg> m_window;
};

VELQUOR_ROOM_TEST(MainWindowTest)
#include "main_window_test.moc"
