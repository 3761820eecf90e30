// The keyboard reaches every command: each window's buttons, check boxes, labelled fields and
// menu commands have Alt keys of their own, in English and in Chinese; F10 and Alt alone take
// the keyboard to the menu bar; the site table and Serve to phones are ordinary windows that a
// dialog of the main window does not block.
#include "app/kit/window/keyboard_access.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QSet>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <QWindow>
#include <memory>
#include <vector>

#include "app/kesto/change_password_dialog.h"
#include "app/kesto/device_dialog.h"
#include "app/kesto/kesto_login_dialog.h"
#include "app/kesto/kesto_reporting.h"
#include "app/kesto/user_dialog.h"
#include "app/language/window_language.h"
#include "app/main_window/settings_dialog.h"
#include "app/main_window/velquor_dlg.h"
#include "app/serve/serve_dialog.h"
#include "app/site/site_table_view.h"
#include "app_test_support.h"
#include "room_main.h"
#include "scripted_prompter.h"

using velquor::app::altKeyOf;
using velquor::app::CVelquorDlg;

namespace {

// What is wrong with the Alt keys of window, shown: a command without one, a key two commands
// share, a form label that leads to no field.
QStringList altKeyFaults(QWidget& window) {
    QStringList faults;
    QMap<QChar, QString> owners;
    auto take = [&](const QString& text, const QWidget* owner) {
        if (owner != nullptr && owner->window() != &window) return;
        const QChar key = altKeyOf(text);
        if (key.isNull()) {
            faults << QStringLiteral("no Alt key: %1").arg(text);
        } else if (owners.contains(key)) {
            faults << QStringLiteral("%1 and %2 share Alt+%3").arg(owners[key], text, key);
        } else {
            owners.insert(key, text);
        }
    };
    for (QMenuBar* bar : window.findChildren<QMenuBar*>()) {
        if (bar->window() != &window) continue;
        for (QAction* action : bar->actions()) take(action->text(), nullptr);
    }
    for (QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
        if (!button->text().isEmpty()) take(button->text(), button);
    }
    for (QFormLayout* form : window.findChildren<QFormLayout*>()) {
        for (int row = 0; row < form->rowCount(); ++row) {
            QLayoutItem* item = form->itemAt(row, QFormLayout::LabelRole);
            auto* label = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
            if (label == nullptr || label->window() != &window) continue;
            if (label->buddy() == nullptr)
                faults << QStringLiteral("no field: %1").arg(label->text());
            take(label->text(), label);
        }
    }
    return faults;
}

}  // namespace

class KeyboardAccessTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
    }

    void everyWindowGivesEachCommandItsOwnAltKeyInEitherLanguage() {
        for (const char* language : {"en", "zh_CN"}) {
            cleanup();
            velquor::app::installWindowLanguage(QString::fromLatin1(language),
                                                {QStringLiteral(VELQUOR_TRANSLATIONS_DIR)});
            velquor::app::ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            window.show();
            window.menuCommand(velquor::app::kSiteTableMenuCommand)->trigger();
            window.menuCommand(velquor::app::kServeMenuCommand)->trigger();
            std::vector<std::unique_ptr<QWidget>> dialogs;
            dialogs.emplace_back(new velquor::app::kestologin(prompter, {}, &window));
            dialogs.emplace_back(new velquor::app::CUser(prompter, {}, &window));
            dialogs.emplace_back(new velquor::app::CDevice(prompter, "alice", {}, &window));
            dialogs.emplace_back(new velquor::app::CChangePassword(prompter, "alice", {}, &window));
            dialogs.emplace_back(new velquor::app::SettingsDialog(prompter, {}, &window));
            std::vector<QWidget*> windows{&window, window.findChild<velquor::app::SiteTableView*>(),
                                          window.findChild<velquor::app::ServeDialog*>()};
            for (auto& dialog : dialogs) {
                dialog->show();
                windows.push_back(dialog.get());
            }
            for (QWidget* shown : windows) {
                QVERIFY(shown != nullptr);
                const QStringList faults = altKeyFaults(*shown);
                QVERIFY2(faults.isEmpty(), qPrintable(QStringLiteral("%1 (%2): %3")
                                                          .arg(shown->windowTitle(), language,
                                                               faults.join(QStringLiteral("; ")))));
            }
            if (QString::fromLatin1(language) == QStringLiteral("zh_CN")) {
                QCOMPARE(window.menuCommand(velquor::app::kSettingsMenuCommand)->text(),
                         QStringLiteral("设置(&S)"));
            }
        }
    }

    void f10AndAltAloneTakeTheKeyboardToTheMenuBarAndBack() {
        velquor::app::ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto* bar = window.findChild<QMenuBar*>();
        QWidget* field = window.control(velquor::app::kInputFileEdit);
        field->setFocus();

        QTest::keyClick(field, Qt::Key_F10);
        QVERIFY(bar->hasFocus());
        QCOMPARE(bar->activeAction(), window.menuCommand(velquor::app::kKestoMenuCommand));
        QTest::keyClick(bar, Qt::Key_Right);
        QCOMPARE(bar->activeAction(), window.menuCommand(velquor::app::kSettingsMenuCommand));
        QTest::keyClick(bar, Qt::Key_Escape);
        QVERIFY(field->hasFocus());
        QVERIFY(window.isVisible());

        // Alt pressed and released alone, then the command's letter: Forget history asks.
        QTest::keyPress(field, Qt::Key_Alt, Qt::AltModifier);
        QTest::keyRelease(field, Qt::Key_Alt, Qt::NoModifier);
        QVERIFY(bar->hasFocus());
        QTest::keyClick(bar, Qt::Key_H);
        QCOMPARE(prompter.messages().size(), std::size_t(1));
        QVERIFY(prompter.messages()[0].text.startsWith(QStringLiteral("Forget")));
        QCOMPARE(bar->activeAction(), nullptr);
        QVERIFY(field->hasFocus());

        // Alt held for Alt+key is no way into the menu bar.
        QTest::keyPress(field, Qt::Key_Alt, Qt::AltModifier);
        QTest::keyClick(field, Qt::Key_X, Qt::AltModifier);
        QTest::keyRelease(field, Qt::Key_Alt, Qt::NoModifier);
        QVERIFY(!bar->hasFocus());
    }

    // The window manager may put them beneath the main window; the main window's own dialogs
    // (the Device dialog after a login) leave them usable.
    void theSiteTableAndServeToPhonesAreOrdinaryWindowsNoDialogBlocks() {
        velquor::app::ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        window.show();
        window.menuCommand(velquor::app::kSiteTableMenuCommand)->trigger();
        window.menuCommand(velquor::app::kServeMenuCommand)->trigger();
        auto* site = window.findChild<velquor::app::SiteTableView*>();
        auto* serve = window.findChild<velquor::app::ServeDialog*>();
        for (QWidget* beside : {static_cast<QWidget*>(site), static_cast<QWidget*>(serve)}) {
            QVERIFY(beside->isVisible());
            QCOMPARE(beside->windowType(), Qt::Window);
            QCOMPARE(beside->windowHandle()->transientParent(), nullptr);
        }
        QCOMPARE(window.windowType(), Qt::Window);

        auto* sheet = qobject_cast<QLineEdit*>(site->findChildren<QLineEdit*>().front());
        sheet->clear();
        sheet->setFocus();
        velquor::app::CDevice device(prompter, "alice", {}, &window);
        QTimer::singleShot(0, &device, [&] {
            // Typed into the site table's window as the window system would deliver it.
            QTest::keyClick(site->windowHandle(), Qt::Key_A);
            device.reject();
        });
        velquor::app::execModal()(device);
        QCOMPARE(sheet->text(), QStringLiteral("a"));
    }
};

VELQUOR_ROOM_TEST(KeyboardAccessTest)
#include "keyboard_access_test.moc"
