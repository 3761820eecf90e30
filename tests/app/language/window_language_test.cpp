// The window's language: which translation the desktop's languages choose, the original texts
// kept byte for byte without one, and the real windows in Chinese with the translations the
// build made (VELQUOR_TRANSLATIONS_DIR), Qt's own buttons following while the product's two
// Chinese button texts stay.
#include "app/language/window_language.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTranslator>

#include "app/kesto/change_password_dialog.h"
#include "app/kesto/kesto_login_dialog.h"
#include "app/kit/window/keyboard_access.h"
#include "app/language/core_texts.h"
#include "app/main_window/settings_dialog.h"
#include "app/main_window/velquor_dlg.h"
#include "app/results/results_model.h"
#include "app_test_support.h"
#include "provisioning/kesto_operations.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::controlAs;
using velquor::testing::TempDir;

namespace {

const QStringList kFolders{QStringLiteral(VELQUOR_TRANSLATIONS_DIR)};

void removeTranslators() {
    for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}

// Every text the window shows of itself: title, menu, group titles, labels, buttons.
QStringList shownTexts(const QWidget& window) {
    QStringList texts{window.windowTitle()};
    for (const QAction* action : window.findChild<QMenuBar*>()->actions())
        texts << velquor::app::withoutAltKey(action->text());
    for (const QGroupBox* group : window.findChildren<QGroupBox*>()) texts << group->title();
    for (const QLabel* label : window.findChildren<QLabel*>())
        texts << velquor::app::withoutAltKey(label->text());
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
        texts << velquor::app::withoutAltKey(button->text());
    }
    return texts;
}

// The main window's own texts, as the product has them.
const QStringList kOriginalMainWindowTexts{
    "Velquor",      "KESTO",         "Settings",        "Forget history", "Encrypt Configuration",
    "MAC-CFG",      "MD5",           "Input File :",    "AES Key:",       "Template:",
    "MAC-ACCOUNT:", "Out put path:", "File:",           "MD5:",           "Browse",
    "Decrypt",      "Encrypt",       "Generate",        "Generate MD5",   "Copy",
    "AES Key",      "Site table",    "Serve to phones",
};

}  // namespace

class WindowLanguageTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { removeTranslators(); }

    void theDesktopsLanguagesChooseTheTranslation() {
        const QStringList offered{QStringLiteral("zh_CN")};
        const auto choose = [&](const QStringList& asked) {
            return chooseTranslation(asked, offered);
        };
        // Qt's spellings of simplified Chinese, with and without script and territory.
        QCOMPARE(choose({"zh-Hans-CN", "zh-CN", "zh"}), QStringLiteral("zh_CN"));
        QCOMPARE(choose({"zh_CN"}), QStringLiteral("zh_CN"));
        QCOMPARE(choose({"zh-SG"}), QStringLiteral("zh_CN"));
        // Traditional Chinese is another script: the original texts, not simplified ones.
        QCOMPARE(choose({"zh-Hant-TW", "zh-TW"}), QString());
        // English, the C locale or a language without a translation: the original texts.
        QCOMPARE(choose({"C"}), QString());
        QCOMPARE(choose({"en-US", "zh-CN"}), QString());
        QCOMPARE(choose({"fr-FR", "fr"}), QString());
        // A language without a translation gives way to the next one the desktop lists.
        QCOMPARE(choose({"de-DE", "de", "zh-CN"}), QStringLiteral("zh_CN"));
        QCOMPARE(chooseTranslation({"zh-CN"}, {}), QString());

        QCOMPARE(languagesAsked(QStringLiteral("zh_CN")), QStringList{"zh_CN"});
        QCOMPARE(languagesAsked(QStringLiteral("auto")), QLocale::system().uiLanguages());
        // An empty setting is no language of its own: the desktop's.
        QCOMPARE(languagesAsked(QString()), QLocale::system().uiLanguages());
        QCOMPARE(languagesAsked(QStringLiteral("")), QLocale::system().uiLanguages());
    }

    void theBuildMakesTheChineseTranslation() {
        QVERIFY(availableTranslations(kFolders).contains(QStringLiteral("zh_CN")));
        TempDir empty;
        QVERIFY(availableTranslations({QString::fromStdString(empty.path().string())}).isEmpty());
    }

    // Without a translation for the language every text is the product's, byte for byte,
    // and Qt's buttons keep their English with them.
    void theOriginalTextsStayWithoutATranslation() {
        for (const char* setting : {"auto", "en_US", "en", "fr_FR", "zh_TW"}) {
            QCOMPARE(installWindowLanguage(QString::fromLatin1(setting), kFolders), QString());
            ScriptedPrompter prompter;
            CVelquorDlg window(prompter);
            QStringList shown = shownTexts(window);
            shown.removeDuplicates();
            shown.removeAll(QString());  // the icon's label
            QStringList expected = kOriginalMainWindowTexts;
            shown.sort();
            expected.sort();
            QCOMPARE(shown, expected);
            QCOMPARE(coreText(velquor::provisioning::kesto_text::kChangePasswordFailed),
                     QStringLiteral("ChangePasswordr failed !"));
            TempDir dir;
            velquor::settings::SettingsPaths paths{dir / "etc", dir / "home"};
            SettingsDialog settings(prompter, paths);
            QCOMPARE(settings.controlText(kSettingsOkButton), QStringLiteral("OK"));
            QCOMPARE(settings.controlText(kSettingsCancelButton), QStringLiteral("Cancel"));
        }
    }

    void theWindowsSpeakChineseWithTheChineseTranslation() {
        QCOMPARE(installWindowLanguage(QStringLiteral("zh_CN"), kFolders), QStringLiteral("zh_CN"));
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        const QStringList shown = shownTexts(window);
        for (const QString& original : kOriginalMainWindowTexts) {
            // The program's name and the digest's stay as they are in every language.
            if (original == "Velquor" || original == "MD5" || original == "MD5:" ||
                original == "KESTO") {
                continue;
            }
            QVERIFY2(!shown.contains(original), qPrintable(original));
        }
        QCOMPARE(window.controlText(kEncryptButton), QStringLiteral("加密"));

        // Qt's standard buttons in the program's own dialog follow the language...
        TempDir dir;
        velquor::settings::SettingsPaths paths{dir / "etc", dir / "home"};
        SettingsDialog settings(prompter, paths);
        QCOMPARE(settings.controlText(kSettingsOkButton), QStringLiteral("确定"));
        QCOMPARE(settings.controlText(kSettingsCancelButton), QStringLiteral("取消"));
        QVERIFY(settings.windowTitle() != QStringLiteral("Settings"));
        // ...and the product's own two dialogs keep their Chinese buttons.
        kestologin login(prompter);
        QCOMPARE(login.controlText(kLoginOkButton), QStringLiteral("确定"));
        QCOMPARE(login.controlText(kLoginCancelButton), QStringLiteral("取消"));
        CChangePassword change(prompter, "alice");
        QCOMPARE(change.controlText(kChangePasswordOkButton), QStringLiteral("确定"));

        // The core's product texts, fixed and filled, in Chinese; a text with no entry as
        // the core wrote it.
        QVERIFY(coreText(velquor::provisioning::kesto_text::kLoginFailed) !=
                QStringLiteral("Login failed!"));
        const QString filled = coreText(std::string("00:11:22:33:44:55 add failed!"));
        QVERIFY2(filled.contains(QStringLiteral("00:11:22:33:44:55")) &&
                     !filled.contains(QStringLiteral("add failed")),
                 qPrintable(filled));
        QCOMPARE(coreText(std::string_view("cannot open /x: No such file")),
                 QStringLiteral("cannot open /x: No such file"));
        // A text that begins as a pattern's head and ends as its tail where the two overlap
        // ("The server " and " is not answering") is not that pattern filled: it stays as it is.
        QCOMPARE(coreText(std::string_view("The server is not answering")),
                 QStringLiteral("The server is not answering"));
        QCOMPARE(coreText(std::string_view("The server kesto.lan is not answering")),
                 QStringLiteral("服务器 kesto.lan 无响应"));
    }

    // Counts read as English does in every window, one and many, without any translation, and
    // in Chinese with the Chinese one.
    void countsTakeTheirPluralForms() {
        velquor::generator::GenerationReport report;
        report.devices.resize(1);
        report.devices[0].outcome = velquor::generator::DeviceOutcome::Written;
        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);  // as the program: a window is made first
        QCOMPARE(generationCountsText(report, "/o/"),
                 QStringLiteral("1 device row: 1 written. Folder: /o/"));
        report.devices.resize(3);
        report.emptyRows = 1;
        report.encrypted = true;
        QCOMPARE(generationCountsText(report, "/o/"),
                 QStringLiteral("3 device rows: 1 written, 2 failed; 1 empty row skipped. "
                                "Folder: /o/ (encrypted copies in en/)"));
        QCOMPARE(generationSummary(report).section('\n', 0, 1),
                 QStringLiteral("1 of 3 device rows written (with its encrypted copy in \"en\").\n"
                                "1 empty row was skipped: they hold no device."));

        installWindowLanguage(QStringLiteral("zh_CN"), kFolders);
        const QString chinese = generationCountsText(report, "/o/");
        QVERIFY2(chinese.contains(QStringLiteral("3 个设备行")) &&
                     chinese.contains(QStringLiteral("已写入 1")),
                 qPrintable(chinese));
    }

    // A row's reason is worded in the window's language from its phrase, a marked argument
    // (a fixed reason inside it) translated too and the others kept; the report the view saves
    // keeps the English, and so does the view without a translation. A phrase the English was
    // changed after is not used.
    void aRowsReasonIsWordedFromItsPhrase() {
        using velquor::provisioning::MacOutcome;
        velquor::provisioning::DeviceBatchSummary summary;
        summary.results.resize(3);
        summary.results[0].macAddress = "00:11:22:33:44:55";
        summary.results[0].outcome = MacOutcome::Unknown;
        summary.results[0].setReason(
            velquor::support::Phrase{VELQUOR_TR_NOOP("core", "sent, but no reply: %1"),
                                     {"abandoned at the cancel"},
                                     velquor::support::markedArgument(1)});
        summary.results[1].outcome = MacOutcome::Declined;
        summary.results[1].setReason(
            {VELQUOR_TR_NOOP("core", "already registered; not replaced"), {}});
        summary.results[2].outcome = MacOutcome::Failed;
        summary.results[2].macAddress = "00:11:22:33:44:77";
        summary.results[2].setReason(
            velquor::support::Phrase{VELQUOR_TR_NOOP("core", "the server replied \"%1\": %2"),
                                     {"abandoned at the cancel", "registered to another account"},
                                     velquor::support::markedArgument(2)});
        summary.results[2].reason += " (edited)";
        const QStringList english{
            "sent, but no reply: abandoned at the cancel", "already registered; not replaced",
            "the server replied \"abandoned at the cancel\": registered to another account "
            "(edited)"};
        const auto reasons = [&] {
            QStringList shown;
            for (const ResultRow& row : deviceBatchResults(summary, "/m.xlsx").rows) {
                shown << row.reason;
            }
            return shown;
        };
        QCOMPARE(reasons(), english);
        QVERIFY(!coreTextsTranslated());

        installWindowLanguage(QStringLiteral("zh_CN"), kFolders);
        QVERIFY(coreTextsTranslated());
        // The closing box's text, worded by the window from the summary.
        QCOMPARE(deviceBatchSummaryText(summary),
                 QStringLiteral("并非所有设备都已添加。\n失败的 MAC 地址：00:11:22:33:44:77"));
        const QStringList chinese = reasons();
        QVERIFY2(chinese[0].startsWith(QStringLiteral("已发送，但没有应答：")) &&
                     !chinese[0].contains(QStringLiteral("cancel")),
                 qPrintable(chinese[0]));
        QVERIFY2(!chinese[1].contains(QStringLiteral("registered")), qPrintable(chinese[1]));
        QCOMPARE(chinese[2], english[2]);
        const velquor::report::ReportTable table = deviceBatchResults(summary, "/m.xlsx").report;
        QCOMPARE(QString::fromStdString(table.rows[0][6]), english[0]);  // the reason column
        QCOMPARE(QString::fromStdString(table.rows[0][5]),
                 QStringLiteral("unknown (sent, no reply)"));
    }

    // A phrase keeps its arguments as given, even one that looks like a placeholder.
    void aPhraseFillsItsArgumentsOnce() {
        const velquor::support::Phrase phrase{VELQUOR_TR_NOOP("test", "%1 and %2"), {"%2", "b"}};
        QCOMPARE(QString::fromStdString(phrase.english()), QStringLiteral("%2 and b"));
        QCOMPARE(coreText(phrase), QStringLiteral("%2 and b"));
        const velquor::support::Error error =
            velquor::support::makeError(velquor::support::ErrorCode::Io, phrase);
        QCOMPARE(QString::fromStdString(error.message), QStringLiteral("%2 and b"));
        QCOMPARE(coreText(error), QStringLiteral("%2 and b"));
    }

    // Chinese writes no space between words: a name of the window's own in Chinese joins the
    // word after it, where a file's Latin name or a number keeps its space; English is as
    // filled by arg().
    void aChineseNameJoinsTheChineseWordsBesideIt() {
        QCOMPARE(
            fillArguments(QStringLiteral("%1 中的 %2 个"), {QStringLiteral("MAC 地址框"), "3"}),
            QStringLiteral("MAC 地址框中的 3 个"));
        QCOMPARE(fillArguments(QStringLiteral("要从 %2 注销 %1 中的设备吗？"),
                               {QStringLiteral("设备表"), "10.0.0.5"}),
                 QStringLiteral("要从 10.0.0.5 注销设备表中的设备吗？"));
        QCOMPARE(fillArguments(QStringLiteral("在 %1 的登录"), {QStringLiteral("服务器")}),
                 QStringLiteral("在服务器的登录"));
        QCOMPARE(fillArguments(QStringLiteral("%1 中的"), {"macs.xlsx"}),
                 QStringLiteral("macs.xlsx 中的"));
        QCOMPARE(fillArguments(QStringLiteral("%1 and %2 in %3"), {"%2", "b"}),
                 QStringLiteral("%2 and b in %3"));

        installSourcePlurals();
        velquor::provisioning::DeviceBatchSummary summary;
        summary.results.resize(2);
        summary.results[0].outcome = velquor::provisioning::MacOutcome::Skipped;
        summary.results[0].header = true;
        summary.results[1].outcome = velquor::provisioning::MacOutcome::Added;
        QCOMPARE(deviceBatchCountsText(summary, QStringLiteral("the failed rows")),
                 QStringLiteral("1 MAC address in the failed rows: 1 added."));
        installWindowLanguage(QStringLiteral("zh_CN"), kFolders);
        QVERIFY2(deviceBatchCountsText(summary, QStringLiteral("失败的行"))
                     .startsWith(QStringLiteral("失败的行中的 1 个 MAC 地址：")),
                 qPrintable(deviceBatchCountsText(summary, QStringLiteral("失败的行"))));
        QVERIFY(deviceBatchCountsText(summary, QStringLiteral("/m/macs.xlsx"))
                    .startsWith(QStringLiteral("macs.xlsx 中的 1 个 MAC 地址：")));
    }

    // A reason inside a reason keeps its own phrase: the window words each level, and a
    // system's message inside stays as it is. The English is the CLI's, level by level.
    void anErrorsCauseIsWordedByItsOwnPhraseAtAnyDepth() {
        using velquor::support::Phrase;
        const Phrase written{VELQUOR_TR_NOOP("core", "written as %1"), {"001565a1b2c1"}};
        const Phrase row = velquor::support::withReason(
            Phrase{VELQUOR_TR_NOOP("core", "row %1: %2"), {"7"}}, written.english(), written);
        const velquor::support::Error system =
            velquor::support::makeError(velquor::support::ErrorCode::Io, "Permission denied");
        const velquor::support::Error outer = velquor::support::makeError(
            velquor::support::ErrorCode::Io,
            velquor::support::withCause(
                velquor::support::withReason(Phrase{VELQUOR_TR_NOOP("core", "%1 (%2)")},
                                             row.english(), row),
                system));
        const QString english =
            QStringLiteral("row 7: written as 001565a1b2c1 (Permission denied)");
        QCOMPARE(QString::fromStdString(outer.message), english);
        QCOMPARE(coreText(outer), english);

        installWindowLanguage(QStringLiteral("zh_CN"), kFolders);
        QCOMPARE(coreText(outer),
                 QStringLiteral("第 7 行：写为 001565a1b2c1（Permission denied）"));
        // An edited message no longer says what its phrase says: the English is shown.
        velquor::support::Error edited = outer;
        edited.message += ".";
        QCOMPARE(coreReason(edited.message, edited.phrase), english + ".");
    }

    // The choice in Settings is written to [window] and read back as the dialog shows it.
    void theSettingsDialogKeepsTheLanguageChoice() {
        ScriptedPrompter prompter;
        TempDir dir;
        velquor::settings::SettingsPaths paths{dir / "etc", dir / "home"};
        {
            SettingsDialog settings(prompter, paths);
            auto* choice = controlAs<QComboBox>(settings, kSettingsLanguageCombo);
            QCOMPARE(choice->currentData().toString(), QStringLiteral("auto"));
            QVERIFY(choice->findData(QStringLiteral("zh_CN")) >= 0 ||
                    availableTranslations().isEmpty());
            choice->setCurrentIndex(choice->findData(QStringLiteral("en")));
            settings.OnOK();
        }
        const auto loaded = velquor::settings::loadSettings({}, paths);
        QVERIFY(loaded.ok());
        QCOMPARE(loaded->effective.language.value, std::string("en"));
        SettingsDialog again(prompter, paths);
        QCOMPARE(controlAs<QComboBox>(again, kSettingsLanguageCombo)->currentData().toString(),
                 QStringLiteral("en"));
    }
};

VELQUOR_ROOM_TEST(WindowLanguageTest)
#include "window_language_test.moc"
