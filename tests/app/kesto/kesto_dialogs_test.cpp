// The login, user, device and password-change dialogs as the operator meets them, against a
// real kestod on loopback; message boxes and file dialogs are answered by a ScriptedPrompter.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "app/kesto/change_password_dialog.h"
#include "app/kesto/device_dialog.h"
#include "app/kesto/kesto_login_dialog.h"
#include "app/kesto/user_dialog.h"
#include "app/kit/inputs/input_history.h"
#include "app/kit/window/keyboard_access.h"
#include "app_test_support.h"
#include "kestod_fixture.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::testing::clickControl;
using velquor::testing::controlAs;
using velquor::testing::KestodFixture;
using velquor::testing::runAndWait;

namespace {

void makeOperatorOn(const KestodFixture& server, const char* name, const char* password) {
    QVERIFY(
        velquor::testing::makeOperator(server.endpoint(), server.chiefPassword(), name, password));
}

struct Shown {
    QString text;
    QString caption;
    MessageButtons buttons;
};

QList<Shown> shown(const ScriptedPrompter& prompter) {
    QList<Shown> list;
    for (const auto& message : prompter.messages()) {
        list.append(Shown{message.text, message.caption, message.buttons});
    }
    return list;
}

void type(ControlWindow& window, int id, const QString& text) {
    auto* edit = controlAs<QLineEdit>(window, id);
    QVERIFY(edit != nullptr);
    edit->setText(text);
}

void typeServer(CDevice& device, const QString& text) {
    controlAs<QComboBox>(device, kServerCombo)->setEditText(text);
}

// Two OKs (a mismatch, then the change) and a Cancel, checking the dialog on the way.
void driveChangePassword(CChangePassword& change) {
    QCOMPARE(change.windowTitle(), QStringLiteral("Change password"));
    QCOMPARE(change.userName(), std::string("jane"));
    for (int id : {kNewPasswordEdit, kConfirmPasswordEdit}) {
        QCOMPARE(controlAs<QLineEdit>(change, id)->echoMode(), QLineEdit::Password);
    }
    change.show();
    type(change, kNewPasswordEdit, "new-pw");
    type(change, kConfirmPasswordEdit, "New-pw");
    QVERIFY(runAndWait(change, kChangePasswordOkButton));
    type(change, kConfirmPasswordEdit, "new-pw");
    QVERIFY(runAndWait(change, kChangePasswordOkButton));
    QVERIFY(change.isVisible());
    QVERIFY(clickControl(change, kChangePasswordCancelButton));
    QVERIFY(!change.isVisible());
    QCOMPARE(change.result(), int(QDialog::Rejected));
}

}  // namespace

class KestoDialogsTest : public QObject {
    Q_OBJECT

private slots:
    void loginDialogLooksAsTheOperatorKnowsIt();
    void loginChoosesTheDialogByTheExactName();
    void refusedLoginKeepsTheDialogAndNameAndEmptiesThePassword();
    void cancelSendsNothing();
    void userDialogAddsAndDeletes();
    void deviceDialogAddsAsksAndDeletes();
    void deviceDialogSummarisesFailures();
    void changePasswordStaysOpenAndTakesEffect();
    void loginRemembersTheNameButNeverThePassword();
    void aServerTextWhoseWarningWasCancelledIsNotRemembered();
};

void KestoDialogsTest::loginDialogLooksAsTheOperatorKnowsIt() {
    ScriptedPrompter prompter;
    kestologin login(prompter);
    QCOMPARE(login.windowTitle(), QStringLiteral("Kesto login"));
    for (int id : {kLoginUserEdit, kLoginPasswordEdit}) {
        auto* box = controlAs<QLineEdit>(login, id);
        QVERIFY(box != nullptr);
        QCOMPARE(box->maxLength(), 64);
    }
    QCOMPARE(controlAs<QLineEdit>(login, kLoginUserEdit)->echoMode(), QLineEdit::Normal);
    QCOMPARE(controlAs<QLineEdit>(login, kLoginPasswordEdit)->echoMode(), QLineEdit::Password);
    QCOMPARE(login.controlText(kLoginOkButton), QStringLiteral("确定"));
    QCOMPARE(login.controlText(kLoginCancelButton), QStringLiteral("取消"));
    QVERIFY(controlAs<QPushButton>(login, kLoginOkButton)->isDefault());
    type(login, kLoginUserEdit, QString(70, 'u'));
    QCOMPARE(login.controlText(kLoginUserEdit).size(), 64);
}

void KestoDialogsTest::loginChoosesTheDialogByTheExactName() {
    KestodFixture server;
    makeOperatorOn(server, "Chief", "other-pass");
    for (auto [name, password, expectUser] :
         {std::tuple{"chief", server.chiefPassword().c_str(), true},
          std::tuple{"Chief", "other-pass", false}}) {
        ScriptedPrompter prompter;
        kestologin login(prompter, server.endpoint());
        QString opened;
        std::string handedName;
        bool loginHidden = false;
        login.setModalRunner([&](QDialog& dialog) {
            opened = dialog.windowTitle();
            if (auto* device = qobject_cast<CDevice*>(&dialog)) handedName = device->userName();
            loginHidden = !login.isVisible();
            return 0;
        });
        login.show();
        type(login, kLoginUserEdit, QString::fromUtf8(name));
        type(login, kLoginPasswordEdit, QString::fromUtf8(password));
        QVERIFY(runAndWait(login, kLoginOkButton));
        QVERIFY(prompter.messages().empty());
        QCOMPARE(login.result(), int(QDialog::Accepted));
        QVERIFY(loginHidden);
        QCOMPARE(opened,
                 expectUser
                     ? QStringLiteral("User — chief @ 127.0.0.1:%1").arg(server.ports()[1])
                     : QStringLiteral("Device — Chief @ 127.0.0.1:%1").arg(server.ports()[2]));
        if (!expectUser) QCOMPARE(handedName, std::string("Chief"));
    }
}

void KestoDialogsTest::refusedLoginKeepsTheDialogAndNameAndEmptiesThePassword() {
    KestodFixture server;
    ScriptedPrompter prompter;
    kestologin login(prompter, server.endpoint());
    bool opened = false;
    login.setModalRunner([&](QDialog&) { return opened = true, 0; });
    login.show();
    type(login, kLoginUserEdit, "chief");
    type(login, kLoginPasswordEdit, "wrong");
    QVERIFY(runAndWait(login, kLoginOkButton));
    QCOMPARE(prompter.messages().size(), std::size_t(1));
    QCOMPARE(prompter.messages()[0].text, QStringLiteral("Login failed!"));
    QCOMPARE(prompter.messages()[0].caption, QStringLiteral("Login"));
    QVERIFY(login.isVisible());
    QVERIFY(!opened);
    QCOMPARE(login.controlText(kLoginUserEdit), QStringLiteral("chief"));
    QVERIFY(login.controlText(kLoginPasswordEdit).isEmpty());
    QCOMPARE(login.focusWidget(), login.control(kLoginPasswordEdit));
}

void KestoDialogsTest::cancelSendsNothing() {
    KestodFixture server;
    ScriptedPrompter prompter;
    kestologin login(prompter, server.endpoint());
    bool opened = false;
    login.setModalRunner([&](QDialog&) { return opened = true, 0; });
    login.show();
    type(login, kLoginUserEdit, "chief");
    type(login, kLoginPasswordEdit, QString::fromStdString(server.chiefPassword()));
    QVERIFY(clickControl(login, kLoginCancelButton));
    QCOMPARE(login.result(), int(QDialog::Rejected));
    QVERIFY(!opened);
    QVERIFY(prompter.messages().empty());
    server.stop();
    QVERIFY(server.log().find("LOGIN") == std::string::npos);
}

void KestoDialogsTest::userDialogAddsAndDeletes() {
    KestodFixture server;
    velquor::support::NullReporter quiet;
    QVERIFY(
        velquor::provisioning::login(server.endpoint(), "chief", server.chiefPassword(), quiet));
    ScriptedPrompter prompter;
    CUser user(prompter, server.endpoint());
    user.show();
    QCOMPARE(user.windowTitle(),
             QStringLiteral("User — chief @ 127.0.0.1:%1").arg(server.ports()[1]));
    QCOMPARE(controlAs<QLineEdit>(user, kUserPasswordEdit)->echoMode(), QLineEdit::Password);
    QCOMPARE(controlAs<QLineEdit>(user, kUserConfirmEdit)->echoMode(), QLineEdit::Password);

    type(user, kUserNameEdit, "gina");
    type(user, kUserPasswordEdit, "Pass");
    type(user, kUserConfirmEdit, "pass");
    QVERIFY(runAndWait(user, kAddUserButton));
    type(user, kUserConfirmEdit, "Pass");
    QVERIFY(runAndWait(user, kAddUserButton));
    // Each deletion is confirmed first: the first No sends nothing.
    prompter.queueAnswer(Answer::No);
    QVERIFY(runAndWait(user, kDeleteUserButton));
    prompter.queueAnswer(Answer::Yes);
    QVERIFY(runAndWait(user, kDeleteUserButton));
    prompter.queueAnswer(Answer::Yes);
    QVERIFY(runAndWait(user, kDeleteUserButton));
    QVERIFY(user.isVisible());
    QCOMPARE(user.controlText(kUserNameEdit), QStringLiteral("gina"));

    const QStringList expected{
        "Password different! ",   "Add user successed!", "Delete user gina?",  "Delete user gina?",
        "Delete user successed!", "Delete user gina?",   "Delete user failed!"};
    QCOMPARE(prompter.messageTexts(), expected);
    QCOMPARE(prompter.messages()[0].caption, QStringLiteral("Add user"));
    QVERIFY(prompter.messages()[2].buttons == MessageButtons::YesNoDefaultNo);
    QCOMPARE(prompter.messages()[4].caption, QStringLiteral("Delete user"));
}

void KestoDialogsTest::deviceDialogAddsAsksAndDeletes() {
    KestodFixture server;
    makeOperatorOn(server, "hank", "pw");
    velquor::testing::TempDir dir;
    const auto file = dir / "macs.csv";
    velquor::testing::writeFile(file,
                                "02:aa:00:00:00:01,02:aa:00:00:00:02\n"
                                "02:aa:00:00:00:03,02:aa:00:00:00:04\n"
                                "02:aa:00:00:00:05,02:aa:00:00:00:06\n");
    ScriptedPrompter prompter;
    CDevice device(prompter, "hank", server.endpoint());
    device.show();
    // The title names the port the dialog sends to, unless it is the product's.
    QCOMPARE(device.windowTitle(),
             QStringLiteral("Device — hank @ 127.0.0.1:%1").arg(server.ports()[2]));
    velquor::provisioning::KestoEndpoint usual;
    usual.address = "127.0.0.1";
    QCOMPARE(CDevice(prompter, "hank", usual).windowTitle(),
             QStringLiteral("Device — hank @ 127.0.0.1"));
    auto* changePassword = device.menuCommand(kChangePasswordMenuCommand);
    QVERIFY(changePassword != nullptr);
    QCOMPARE(velquor::app::withoutAltKey(changePassword->text()),
             QStringLiteral("Change password"));
    auto* combo = controlAs<QComboBox>(device, kServerCombo);
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->count(), 0);

    typeServer(device, "https://prov.example/a");
    prompter.queueFile(QString::fromStdString(file.string()));
    QVERIFY(clickControl(device, kBrowseMacFileButton));
    QCOMPARE(device.controlText(kMacFileEdit), QString::fromStdString(file.string()));
    QCOMPARE(combo->currentText(), QStringLiteral("https://prov.example/a"));
    // Only what the reader reads is offered.
    QCOMPARE(prompter.fileDialogs().back().filter,
             QStringLiteral("Spreadsheets (*.xlsx *.xlsm *.csv)"));

    QVERIFY(runAndWait(device, kAddDeviceButton));
    QCOMPARE(prompter.messageTexts(), QStringList{"Add device completely!"});
    QCOMPARE(prompter.messages()[0].caption, QStringLiteral("Add device"));
    QCOMPARE(combo->count(), 0);

    prompter.clearRecords();
    prompter.queueAnswer(Answer::Yes);
    prompter.queueAnswer(Answer::No);
    prompter.queueAnswer(Answer::YesToAll);
    QVERIFY(runAndWait(device, kAddDeviceButton));
    const auto messages = shown(prompter);
    QCOMPARE(messages.size(), 4);
    QCOMPARE(messages[0].text, QStringLiteral("02:aa:00:00:00:01 exist,replace it?"));
    QCOMPARE(messages[0].caption, QStringLiteral("Add device"));
    QVERIFY(messages[0].buttons == MessageButtons::YesNoYesToAllNoToAll);
    QCOMPARE(messages[2].text, QStringLiteral("02:aa:00:00:00:03 exist,replace it?"));
    // One replacement declined is not a failure: the run ends with the completion text.
    QCOMPARE(messages[3].text, QStringLiteral("Add device completely!"));
    QVERIFY(device.lastSummary().has_value());
    QCOMPARE(device.lastSummary()->count(velquor::provisioning::MacOutcome::Replaced),
             std::size_t(5));

    // An empty Server text is warned about before an Add, whose Cancel sends nothing; a
    // Delete names the MACs alone and asks nothing about it.
    typeServer(device, QString());
    prompter.clearRecords();
    QVERIFY(clickControl(device, kAddDeviceButton));
    QVERIFY(!device.isBusy());
    QCOMPARE(prompter.messageTexts(),
             QStringList{"The Server text is empty: the phones will be sent nowhere"});
    QVERIFY(prompter.messages()[0].buttons == MessageButtons::ContinueCancel);
    QCOMPARE(device.lastSummary()->count(velquor::provisioning::MacOutcome::Replaced),
             std::size_t(5));

    prompter.clearRecords();
    prompter.queueAnswer(Answer::Yes);
    QVERIFY(runAndWait(device, kDeleteDeviceButton));
    const QString question = QStringLiteral("Deregister the 6 devices of macs.csv from %1?")
                                 .arg(QString::fromStdString(server.endpoint().address));
    QCOMPARE(prompter.messageTexts(), (QStringList{question, "Delete device completely!"}));
    QVERIFY(prompter.messages()[0].buttons == MessageButtons::YesNoDefaultNo);
    QCOMPARE(prompter.messages()[1].caption, QStringLiteral("Delete device"));
}

void KestoDialogsTest::deviceDialogSummarisesFailures() {
    KestodFixture server;
    makeOperatorOn(server, "ivan", "pw");
    velquor::testing::TempDir dir;
    const auto file = dir / "macs.csv";
    std::string csv;
    for (int i = 0; i < 8; ++i) csv += "02:bb:00:00:00:0" + std::to_string(i) + "\n";
    velquor::testing::writeFile(file, csv);
    server.stop();

    ScriptedPrompter prompter;
    CDevice device(prompter, "ivan", server.endpoint());
    controlAs<QComboBox>(device, kServerCombo)->setEditText("https://prov.example/");
    device.show();
    type(device, kMacFileEdit, QString::fromStdString(file.string()));
    QVERIFY(runAndWait(device, kAddDeviceButton));
    // A server that is down is asked about once, not reported row by row; Stop leaves every
    // row unsent and the summary says why.
    const QStringList texts = prompter.messageTexts();
    QCOMPARE(texts.size(), 2);
    QCOMPARE(texts[0], QStringLiteral("The server 127.0.0.1 is not answering"));
    QVERIFY(prompter.messages()[0].buttons == MessageButtons::RetryStop);
    QVERIFY2(prompter.messages()[0].details.contains("refused"),
             qPrintable(prompter.messages()[0].details));
    QVERIFY2(texts[1].contains("not answering"), qPrintable(texts[1]));
    QVERIFY2(prompter.messages()[1].details.contains("8 not sent"),
             qPrintable(prompter.messages()[1].details));
    QCOMPARE(device.lastSummary()->count(velquor::provisioning::MacOutcome::NotSent),
             std::size_t(8));
    QVERIFY(!texts.contains("Add device completely!"));

    // A file the reader cannot open is named in the one message, and nothing is sent.
    prompter.clearRecords();
    type(device, kMacFileEdit, QString::fromStdString((dir / "missing.xlsx").string()));
    QVERIFY(runAndWait(device, kDeleteDeviceButton));
    QCOMPARE(prompter.messages().size(), std::size_t(1));
    QVERIFY(prompter.messages()[0].text.contains("missing.xlsx"));
    QCOMPARE(prompter.messages()[0].caption, QStringLiteral("Delete device"));
}

void KestoDialogsTest::changePasswordStaysOpenAndTakesEffect() {
    KestodFixture server;
    makeOperatorOn(server, "jane", "old-pw");
    ScriptedPrompter prompter;
    CDevice device(prompter, "jane", server.endpoint());
    controlAs<QComboBox>(device, kServerCombo)->setEditText("https://prov.example/");
    bool checked = false;
    device.setModalRunner([&](QDialog& dialog) {
        if (auto* change = qobject_cast<CChangePassword*>(&dialog)) {
            driveChangePassword(*change);
            checked = true;
        }
        return dialog.result();
    });
    device.menuCommand(kChangePasswordMenuCommand)->trigger();
    QVERIFY(checked);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(prompter.messageTexts(),
             (QStringList{"Password not eque", "ChangePassword successed! "}));
    QCOMPARE(prompter.messages()[1].caption, QStringLiteral("ChangePassword"));

    velquor::support::NullReporter quiet;
    QVERIFY(!velquor::provisioning::login(server.endpoint(), "jane", "old-pw", quiet));
    QVERIFY(velquor::provisioning::login(server.endpoint(), "jane", "new-pw", quiet));
}

// The name of an accepted login is filled in next time and the password box takes the focus;
// a refused one is not remembered, and no password reaches the state file.
void KestoDialogsTest::loginRemembersTheNameButNeverThePassword() {
    KestodFixture server;
    velquor::testing::TempDir dir;
    InputHistory::setStateFile(QString::fromStdString((dir / "state.conf").string()));
    makeOperatorOn(server, "nora", "Password-Never-Stored");
    for (auto [name, password] : {std::pair{"nora", "Password-Never-Stored"},
                                  std::pair{"olga", "Wrong-Password-Never-Stored"}}) {
        ScriptedPrompter prompter;
        kestologin login(prompter, server.endpoint());
        login.setModalRunner([](QDialog&) { return 0; });
        type(login, kLoginUserEdit, name);
        type(login, kLoginPasswordEdit, password);
        QVERIFY(runAndWait(login, kLoginOkButton));
    }
    ScriptedPrompter prompter;
    kestologin login(prompter, server.endpoint());
    login.show();
    QVERIFY(QTest::qWaitForWindowActive(&login));
    QCOMPARE(login.controlText(kLoginUserEdit), QStringLiteral("nora"));
    QVERIFY(login.controlText(kLoginPasswordEdit).isEmpty());
    QCOMPARE(QApplication::focusWidget(), login.control(kLoginPasswordEdit));
    const std::string state = velquor::testing::readFile(dir / "state.conf");
    QVERIFY(state.find("Never-Stored") == std::string::npos);
    InputHistory::setStateFile(QString());
}

void KestoDialogsTest::aServerTextWhoseWarningWasCancelledIsNotRemembered() {
    velquor::testing::TempDir dir;
    InputHistory::setStateFile(QString::fromStdString((dir / "state.conf").string()));
    ScriptedPrompter prompter;
    CDevice device(prompter, "nora");
    device.show();
    controlAs<QPlainTextEdit>(device, kMacAddressesEdit)->setPlainText("00:11:22:33:44:55");
    typeServer(device, "kesto.example");
    prompter.queueAnswer(Answer::Cancel);
    QVERIFY(clickControl(device, kAddDeviceButton));
    QCOMPARE(prompter.messages().size(), std::size_t(1));
    QCOMPARE(prompter.messages().front().buttons, MessageButtons::ContinueCancel);
    QVERIFY(!device.isBusy());
    QVERIFY(InputHistory::load().servers().isEmpty());
    InputHistory::setStateFile(QString());
}

VELQUOR_ROOM_TEST(KestoDialogsTest)
#include "kesto_dialogs_test.moc"
