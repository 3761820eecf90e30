// Why a Kesto request failed, as the window tells it with real boxes against a real kestod: the
// reason beneath each per-MAC box and in the results view, the lock-out hint after repeated
// refused logins counted by the window, and a batch whose server does not answer, which asks
// Retry or Stop instead of waiting on every row.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <QTranslator>
#include <chrono>
#include <cstdio>
#include <string>

#include "app/kesto/device_dialog.h"
#include "app/kesto/kesto_login_dialog.h"
#include "app/language/window_language.h"
#include "app/results/mac_findings.h"
#include "app/results/results_view.h"
#include "app_test_support.h"
#include "kestod_fixture.h"
#include "provisioning/mac_file.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::SilentListener;
using namespace std::chrono_literals;
using velquor::testing::controlAs;
using velquor::testing::KestodFixture;
using velquor::testing::MessageBoxClicker;
using velquor::testing::RealMessagesPrompter;
using velquor::testing::runAndWait;
using velquor::testing::TempDir;
using velquor::testing::writeFile;

namespace {

QString macFile(const TempDir& dir, int count) {
    std::string macs;
    for (int i = 0; i < count; ++i) {
        char mac[32];
        std::snprintf(mac, sizeof mac, "02:ee:00:00:00:%02x\n", i);
        macs += mac;
    }
    writeFile(dir / "macs.csv", macs);
    return QString::fromStdString((dir / "macs.csv").string());
}

// Back to the English texts for the tests that follow.
void removeWindowLanguage() {
    for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}

}  // namespace

class KestoReasonsTest : public QObject {
    Q_OBJECT

private slots:
    // MAC addresses the server does not have: each refusal says why, in its box and its row.
    void eachFailureCarriesItsReason() {
        KestodFixture server;
        QVERIFY(velquor::testing::makeOperator(server.endpoint(), server.chiefPassword(), "hank",
                                               "pw"));
        TempDir dir;
        RealMessagesPrompter prompter;
        CDevice device(prompter, "hank", server.endpoint());
        controlAs<QComboBox>(device, kServerCombo)->setEditText("https://prov.example/");
        device.show();
        controlAs<QLineEdit>(device, kMacFileEdit)->setText(macFile(dir, 2));
        MessageBoxClicker clicker;
        MessageBoxClicker confirming({QMessageBox::Yes});  // "Deregister the N devices…?"
        QVERIFY(runAndWait(device, kDeleteDeviceButton));
        const auto seen = clicker.seen();
        QCOMPARE(seen.size(), 3);
        for (int i = 0; i < 2; ++i) {
            QVERIFY2(seen[i].text.endsWith("delete failed!"), qPrintable(seen[i].text));
            QVERIFY2(!seen[i].informativeText.isEmpty(), qPrintable(seen[i].text));
        }
        ResultsView* view = device.findChild<ResultsView*>();
        QVERIFY(view);
        // The same reason: a clause in the table, a sentence of its own in the box.
        QString reason = view->table()->model()->index(0, 3).data().toString();
        QVERIFY(reason.front().isLower());
        reason.front() = reason.front().toUpper();
        QCOMPARE(reason, seen[0].informativeText);
        QCOMPARE(clicker.unreachable(), QStringList());
    }

    // The window's counter outlives each login dialog, as the main window keeps it.
    void repeatedRefusedLoginsMentionTheLockOut() {
        KestodFixture server;
        velquor::provisioning::LoginRefusals refusals;
        QStringList details;
        for (int attempt = 0; attempt < velquor::provisioning::LoginRefusals::kSeveral; ++attempt) {
            RealMessagesPrompter prompter;
            kestologin login(prompter, server.endpoint());
            login.setLoginRefusals(&refusals);
            login.show();
            controlAs<QLineEdit>(login, kLoginUserEdit)->setText("chief");
            controlAs<QLineEdit>(login, kLoginPasswordEdit)->setText("wrong");
            MessageBoxClicker clicker;
            QVERIFY(runAndWait(login, kLoginOkButton));
            QCOMPARE(clicker.seenTexts(), QStringList{"Login failed!"});
            details << clicker.seen()[0].informativeText;
        }
        QVERIFY2(details[0].contains("name or password") && !details[0].contains("10"),
                 qPrintable(details[0]));
        // One reason, said once: not again as "login: ..." beneath it.
        QCOMPARE(details[0].count("name or password"), 1);
        QVERIFY2(details.last().contains("10"), qPrintable(details.last()));
    }

    // A refused login says why in the window's language: the product's text and the reason
    // beneath it in Chinese, said once, and byte for byte the English without a translation.
    void aRefusedLoginSaysWhyInTheWindowsLanguage() {
        KestodFixture server;
        const auto refusedLogin = [&] {
            RealMessagesPrompter prompter;
            kestologin login(prompter, server.endpoint());
            login.show();
            controlAs<QLineEdit>(login, kLoginUserEdit)->setText("chief");
            controlAs<QLineEdit>(login, kLoginPasswordEdit)->setText("wrong");
            MessageBoxClicker clicker;
            runAndWait(login, kLoginOkButton);
            return clicker.seen();
        };
        const auto english = refusedLogin();
        QCOMPARE(english.size(), 1);
        QCOMPARE(english[0].text, QStringLiteral("Login failed!"));
        QCOMPARE(english[0].informativeText,
                 QStringLiteral("The server replied \"NO\": the name or password was refused"));

        QCOMPARE(installWindowLanguage(QStringLiteral("zh_CN"),
                                       {QStringLiteral(VELQUOR_TRANSLATIONS_DIR)}),
                 QStringLiteral("zh_CN"));
        const auto chinese = refusedLogin();
        removeWindowLanguage();
        QCOMPARE(chinese.size(), 1);
        QCOMPARE(chinese[0].text, QStringLiteral("登录失败！"));
        QCOMPARE(chinese[0].informativeText, QStringLiteral("服务器应答“NO”：用户名或密码被拒绝"));
    }

    // The rows a MAC file's check leaves out say why in the window's language, their MACs
    // and places kept as they are; without the translation, the CLI's English.
    void macFindingsGiveTheirReasonsInTheWindowsLanguage() {
        velquor::provisioning::MacFile file;
        for (const char* text : {"MAC", "02:EE:00:00:00:01", "02:ee:00:00:01", "02-ee-00-00-00-01",
                                 "02:ee:00:00:00:0g"}) {
            file.cells.push_back({static_cast<int>(file.cells.size()) + 1, 1, text});
        }
        const auto reasons = [&] {
            velquor::provisioning::DeviceBatchSummary summary;
            summary.results =
                velquor::provisioning::checkMacCells(
                    file, velquor::provisioning::DeviceOperation::Add, velquor::mac::Form::Plain)
                    .results;
            const MacFindings findings = deviceFindings(summary, QStringLiteral("macs.csv"));
            QStringList seen;
            for (const ResultRow& row : findings.view.rows) seen << row.reason;
            return seen;
        };
        QCOMPARE(reasons(), (QStringList{"header", "", "10 hex digits, not 12", "repeats row 2",
                                         "'g' is not a hex digit"}));
        QCOMPARE(installWindowLanguage(QStringLiteral("zh_CN"),
                                       {QStringLiteral(VELQUOR_TRANSLATIONS_DIR)}),
                 QStringLiteral("zh_CN"));
        const QStringList chinese = reasons();
        removeWindowLanguage();
        QCOMPARE(chinese, (QStringList{"表头", "", "10 个十六进制数字，应为 12 个", "与第 2 行重复",
                                       "“g”不是十六进制数字"}));
    }

    // Stop leaves the rows unsent, and the whole batch ends long before a row per time-out.
    void aSilentServerAsksRetryOrStop() {
        KestodFixture server;
        SilentListener silent;
        velquor::provisioning::KestoEndpoint endpoint = server.endpoint();
        endpoint.devicePort = silent.port();
        endpoint.timeouts.connect = 1s;
        endpoint.timeouts.exchange = 2s;
        TempDir dir;
        ScriptedPrompter prompter;
        prompter.queueAnswer(Answer::Retry);  // then Stop, the cautious answer
        CDevice device(prompter, "hank", endpoint);
        controlAs<QComboBox>(device, kServerCombo)->setEditText("https://prov.example/");
        device.show();
        controlAs<QLineEdit>(device, kMacFileEdit)->setText(macFile(dir, 40));
        QVERIFY(runAndWait(device, kAddDeviceButton));
        QStringList questions;
        for (const MessageRequest& message : prompter.messages()) {
            if (message.buttons != MessageButtons::RetryStop) continue;
            questions << message.text;
            QVERIFY(!message.details.isEmpty());
            QCOMPARE(message.caption, QStringLiteral("Add device"));
        }
        QCOMPARE(questions, (QStringList{"The server 127.0.0.1 is not answering",
                                         "The server 127.0.0.1 is not answering"}));
        QVERIFY(device.lastSummary().has_value());
        QVERIFY(device.lastSummary()->count(velquor::provisioning::MacOutcome::NotSent) > 0);
        QCOMPARE(device.lastSummary()->count(velquor::provisioning::MacOutcome::Added),
                 std::size_t(0));
    }

    void theNotAnsweringBoxOffersRetryAndStop() {
        SilentListener silent;
        KestodFixture server;
        velquor::provisioning::KestoEndpoint endpoint = server.endpoint();
        endpoint.devicePort = silent.port();
        endpoint.timeouts.connect = 1s;
        TempDir dir;
        RealMessagesPrompter prompter;
        CDevice device(prompter, "hank", endpoint);
        controlAs<QComboBox>(device, kServerCombo)->setEditText("https://prov.example/");
        device.show();
        controlAs<QLineEdit>(device, kMacFileEdit)->setText(macFile(dir, 3));
        MessageBoxClicker clicker({QMessageBox::Abort, QMessageBox::Ok});
        MessageBoxClicker confirming({QMessageBox::Yes});  // "Deregister the N devices…?"
        QVERIFY(runAndWait(device, kDeleteDeviceButton));
        QVERIFY(clicker.seenTexts().contains("The server 127.0.0.1 is not answering"));
        QCOMPARE(clicker.unreachable(), QStringList());
    }
};

VELQUOR_ROOM_TEST(KestoReasonsTest)
#include "kesto_reasons_test.moc"
