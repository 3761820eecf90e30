// The Settings dialog over temporary configuration folders: what it shows from the per-user and
// the system file, what it saves (and leaves out), a value it refuses, and "Test connection"
// against a real kestod and against a port where nothing listens.
#include "app/main_window/settings_dialog.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <string>

#include "app/kesto/device_dialog.h"
#include "app/kesto/kesto_login_dialog.h"
#include "app/kesto/kesto_session.h"
#include "app/main_window/velquor_dlg.h"
#include "app_test_support.h"
#include "kestod_fixture.h"
#include "room_main.h"
#include "scripted_prompter.h"
#include "temp_dir.h"

using namespace velquor::app;
using velquor::settings::SettingsPaths;
using velquor::testing::controlAs;
using velquor::testing::KestodFixture;
using velquor::testing::readFile;
using velquor::testing::runAndWait;
using velquor::testing::TempDir;
using velquor::testing::writeFile;

namespace {

struct Folders {
    Folders() {
        paths.systemFolder = dir / "etc";
        paths.userFolder = dir / "home" / "velquor";
        std::filesystem::create_directories(paths.systemFolder);
        std::filesystem::create_directories(paths.userFolder);
    }
    TempDir dir;
    SettingsPaths paths;
};

QLineEdit* field(SettingsDialog& dialog, int id) {
    return controlAs<QLineEdit>(dialog, id);
}

// The environment of a window started with only a per-user file to go by.
class ConfigHome {
public:
    explicit ConfigHome(const TempDir& dir) {
        std::filesystem::create_directories(dir / "config" / "velquor");
        std::filesystem::create_directories(dir / "etc");
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        ::setenv("VELQUOR_SYSTEM_CONFIG_DIR", (dir / "etc").c_str(), 1);
        m_file = dir / "config" / "velquor" / "velquor.conf";
    }
    ~ConfigHome() {
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("VELQUOR_SYSTEM_CONFIG_DIR");
    }
    void write(const KestodFixture& server, const std::string& address) const {
        const auto& ports = server.ports();
        writeFile(m_file, "[kesto]\naddress = " + address +
                              "\nports = " + std::to_string(ports[0]) + "," +
                              std::to_string(ports[1]) + "," + std::to_string(ports[2]) +
                              "\nca-file = " + server.caCertPath().string() + "\n");
    }

private:
    std::filesystem::path m_file;
};

// Port 1 on loopback: nothing listens there, so a connection is refused at once.
constexpr const char* kDeadPorts = "1,1,1";

}  // namespace

class SettingsDialogTest : public QObject {
    Q_OBJECT

private slots:
    void showsTheUserFileAndWhatAnEmptyFieldInherits() {
        Folders folders;
        writeFile(folders.paths.systemFile(), "[kesto]\naddress = kesto.site.example\njobs = 4\n");
        writeFile(folders.paths.userFile(), "[kesto]\nports = 5000,5001,5002\n");
        ScriptedPrompter prompter;
        SettingsDialog dialog(prompter, folders.paths);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Settings"));
        QVERIFY(prompter.messages().empty());
        QCOMPARE(field(dialog, kSettingsPortsEdit)->text(), QStringLiteral("5000,5001,5002"));
        QCOMPARE(field(dialog, kSettingsAddressEdit)->text(), QString());
        QCOMPARE(field(dialog, kSettingsAddressEdit)->placeholderText(),
                 QStringLiteral("kesto.site.example (system file)"));
        QVERIFY(field(dialog, kSettingsJobsEdit)->placeholderText().startsWith("4 "));
        QVERIFY(
            field(dialog, kSettingsConnectTimeoutEdit)->placeholderText().endsWith("(built in)"));
    }

    // What is typed is saved; a field emptied leaves its key out, so the system file applies
    // again; keys and sections the dialog does not manage survive.
    void savesTypedValuesAndDropsEmptiedOnes() {
        Folders folders;
        writeFile(folders.paths.systemFile(), "[kesto]\naddress = kesto.site.example\n");
        writeFile(folders.paths.userFile(), "# mine\n[kesto]\njobs = 2\n[elsewhere]\nkeep = yes\n");
        ScriptedPrompter prompter;
        SettingsDialog dialog(prompter, folders.paths);
        dialog.show();
        field(dialog, kSettingsAddressEdit)->setText("kesto.example.com");
        field(dialog, kSettingsPortsEdit)->setText("6000,6001,6002");
        field(dialog, kSettingsConnectTimeoutEdit)->setText("2.5");
        field(dialog, kSettingsJobsEdit)->clear();
        QVERIFY(velquor::testing::clickControl(dialog, kSettingsOkButton));
        QVERIFY(prompter.messages().empty());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        auto loaded = velquor::settings::loadSettings({}, folders.paths);
        QVERIFY(loaded.ok());
        QCOMPARE(loaded->effective.address.value, std::string("kesto.example.com"));
        QCOMPARE(loaded->effective.ports.value[2], std::uint16_t(6002));
        QCOMPARE(loaded->effective.connectTimeout.value.count(), 2500);
        QVERIFY(!loaded->user.jobs.has_value());
        const std::string file = readFile(folders.paths.userFile());
        QVERIFY(file.find("keep = yes") != std::string::npos);
        QVERIFY(file.find("# mine") != std::string::npos);
    }

    void aWrongValueNamesItsFieldAndSavesNothing() {
        Folders folders;
        ScriptedPrompter prompter;
        SettingsDialog dialog(prompter, folders.paths);
        dialog.show();
        field(dialog, kSettingsAddressEdit)->setText("kesto.example.com");
        field(dialog, kSettingsPortsEdit)->setText("44388,44389");
        QVERIFY(velquor::testing::clickControl(dialog, kSettingsOkButton));
        QCOMPARE(prompter.messages().size(), std::size_t(1));
        QVERIFY2(prompter.messages()[0].text.startsWith("Ports"),
                 qPrintable(prompter.messages()[0].text));
        QVERIFY(prompter.messages()[0].details.startsWith("ports: "));
        QVERIFY(!std::filesystem::exists(folders.paths.userFile()));
        QVERIFY(dialog.result() != int(QDialog::Accepted));
    }

    // A file with a value that cannot be used still opens the dialog, which can repair it.
    void aDamagedFileIsShownAndRepairedBySaving() {
        Folders folders;
        writeFile(folders.paths.userFile(), "[kesto]\nports = many\nfuture-key = 1\n");
        ScriptedPrompter prompter;
        SettingsDialog dialog(prompter, folders.paths);
        QCOMPARE(prompter.messages().size(), std::size_t(1));
        QVERIFY2(prompter.messages()[0].details.contains("ports"),
                 qPrintable(prompter.messages()[0].details));
        field(dialog, kSettingsPortsEdit)->setText("7000,7001,7002");
        QVERIFY(velquor::testing::clickControl(dialog, kSettingsOkButton));
        QVERIFY(velquor::settings::loadSettings({}, folders.paths).ok());
        QVERIFY(readFile(folders.paths.userFile()).find("future-key") != std::string::npos);
    }

    // What the dialog saves always reads back: a CA path of 300 bytes is saved, shown again
    // when the dialog reopens, and read by the settings; a path the file could not keep as it
    // is (a ';' after a space starts a comment there) is refused and nothing is written.
    void whatItSavesReadsBackAndWhatWouldNotIsRefused() {
        Folders folders;
        const QString longPath = QStringLiteral("/srv/") + QString(291, 'c') + ".pem";
        QCOMPARE(longPath.size(), 300);
        {
            ScriptedPrompter prompter;
            SettingsDialog dialog(prompter, folders.paths);
            dialog.show();
            field(dialog, kSettingsCaFileEdit)->setText(longPath);
            QVERIFY(velquor::testing::clickControl(dialog, kSettingsOkButton));
            QCOMPARE(prompter.messageTexts(), QStringList());
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        }
        auto loaded = velquor::settings::loadSettings({}, folders.paths);
        QVERIFY2(loaded.ok(), loaded ? "" : loaded.error().message.c_str());
        QCOMPARE(QString::fromStdString(loaded->effective.caFile.value), longPath);
        {
            ScriptedPrompter prompter;
            SettingsDialog dialog(prompter, folders.paths);
            QCOMPARE(prompter.messageTexts(), QStringList());
            QCOMPARE(field(dialog, kSettingsCaFileEdit)->text(), longPath);
        }

        const std::string before = readFile(folders.paths.userFile());
        ScriptedPrompter prompter;
        SettingsDialog dialog(prompter, folders.paths);
        dialog.show();
        field(dialog, kSettingsCaFileEdit)->setText("/srv/site ;old/ca.pem");
        QVERIFY(velquor::testing::clickControl(dialog, kSettingsOkButton));
        QCOMPARE(prompter.messageTexts(), QStringList{"The settings were not saved."});
        QVERIFY2(prompter.messages()[0].details.contains("ca-file"),
                 qPrintable(prompter.messages()[0].details));
        QCOMPARE(readFile(folders.paths.userFile()), before);
        QVERIFY(dialog.result() != int(QDialog::Accepted));
    }

    void testConnectionShowsTheCertificateOrWhyNot() {
        KestodFixture server;
        Folders folders;
        ScriptedPrompter prompter;
        SettingsDialog dialog(prompter, folders.paths);
        dialog.show();
        const auto& ports = server.ports();
        field(dialog, kSettingsAddressEdit)->setText(QString::fromStdString(server.address()));
        field(dialog, kSettingsPortsEdit)
            ->setText(QStringLiteral("%1,%2,%3").arg(ports[0]).arg(ports[1]).arg(ports[2]));
        field(dialog, kSettingsCaFileEdit)
            ->setText(QString::fromStdString(server.caCertPath().string()));
        QVERIFY(runAndWait(dialog, kSettingsTestButton));
        QCOMPARE(prompter.messages().size(), std::size_t(1));
        const MessageRequest works = prompter.messages()[0];
        QCOMPARE(works.text, QStringLiteral("The connection to %1 works.")
                                 .arg(QString::fromStdString(server.address())));
        QVERIFY2(works.details.contains("Valid until: ") && works.details.contains("Certificate: "),
                 qPrintable(works.details));
        QVERIFY2(works.details.startsWith(QStringLiteral("Login port %1: works\n"
                                                         "Account port %2: works\n"
                                                         "Device port %3: works\n")
                                              .arg(ports[0])
                                              .arg(ports[1])
                                              .arg(ports[2])),
                 qPrintable(works.details));
        // Nothing was saved by testing.
        QVERIFY(!std::filesystem::exists(folders.paths.userFile()));

        // A wrong device port would pass a test of the login port alone, and every Add fail.
        prompter.clearRecords();
        field(dialog, kSettingsPortsEdit)
            ->setText(QStringLiteral("%1,%2,1").arg(ports[0]).arg(ports[1]));
        QVERIFY(runAndWait(dialog, kSettingsTestButton));
        QCOMPARE(prompter.messages().size(), std::size_t(1));
        const MessageRequest oneWrong = prompter.messages()[0];
        QCOMPARE(oneWrong.text, QStringLiteral("%1 does not answer on 1 of its three ports.")
                                    .arg(QString::fromStdString(server.address())));
        QVERIFY2(oneWrong.details.contains(
                     QStringLiteral("Account port %1: works\nDevice port 1: cannot connect to ")
                         .arg(ports[1])),
                 qPrintable(oneWrong.details));

        prompter.clearRecords();
        field(dialog, kSettingsPortsEdit)->setText(kDeadPorts);
        QVERIFY(runAndWait(dialog, kSettingsTestButton));
        QCOMPARE(prompter.messages().size(), std::size_t(1));
        QVERIFY(prompter.messages()[0].text.startsWith("No connection to "));
        QVERIFY2(!prompter.messages()[0].details.isEmpty(),
                 qPrintable(prompter.messages()[0].details));
    }

    // The window's KESTO login goes where the per-user file says, by name, on other ports; the
    // same server under a name its certificate does not carry is refused with the reason.
    void theWindowLogsInByNameFromThePerUserFile() {
        // The certificate names localhost and nothing else.
        KestodFixture server{velquor::testing::KestodOptions{.address = "localhost"}};
        QVERIFY(velquor::testing::makeOperator(server.endpoint(), server.chiefPassword(), "hank",
                                               "pw"));
        TempDir dir;
        ConfigHome home(dir);
        home.write(server, "localhost");
        writeFile(dir / "macs.csv", "02:ff:00:00:00:01\n02:ff:00:00:00:02\n");

        ScriptedPrompter prompter;
        CVelquorDlg window(prompter);
        const auto session = loadKestoSession(window);
        QVERIFY(session.has_value());
        QCOMPARE(session->endpoint.address, std::string("localhost"));
        kestologin login(prompter, session->endpoint, &window);
        QString deviceTitle;
        login.setModalRunner([&](QDialog& dialog) {
            auto* device = qobject_cast<CDevice*>(&dialog);
            if (!device) return 0;
            deviceTitle = device->windowTitle();
            device->show();
            controlAs<QLineEdit>(*device, kMacFileEdit)
                ->setText(QString::fromStdString((dir / "macs.csv").string()));
            controlAs<QComboBox>(*device, kServerCombo)->setEditText("https://prov.example/");
            runAndWait(*device, kAddDeviceButton);
            return 0;
        });
        login.show();
        controlAs<QLineEdit>(login, kLoginUserEdit)->setText("hank");
        controlAs<QLineEdit>(login, kLoginPasswordEdit)->setText("pw");
        QVERIFY(runAndWait(login, kLoginOkButton));
        QCOMPARE(prompter.messageTexts(), QStringList{"Add device completely!"});
        QCOMPARE(deviceTitle,
                 QStringLiteral("Device — hank @ localhost:%1").arg(server.ports()[2]));

        prompter.clearRecords();
        home.write(server, "127.0.0.1");
        const auto byAddress = loadKestoSession(window);
        QVERIFY(byAddress.has_value());
        kestologin refused(prompter, byAddress->endpoint, &window);
        refused.show();
        controlAs<QLineEdit>(refused, kLoginUserEdit)->setText("hank");
        controlAs<QLineEdit>(refused, kLoginPasswordEdit)->setText("pw");
        QVERIFY(runAndWait(refused, kLoginOkButton));
        QCOMPARE(prompter.messageTexts(), QStringList{"Login failed!"});
        const QString why = prompter.messages()[0].details;
        QVERIFY2(why.contains("localhost") && why.contains("127.0.0.1"), qPrintable(why));
    }
};

VELQUOR_ROOM_TEST(SettingsDialogTest)
#include "settings_dialog_test.moc"
