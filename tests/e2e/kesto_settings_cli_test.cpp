// velquor-cli kesto driven by the settings files alone: a kestod whose certificate names
// "localhost", reached by that name on ports taken from a per-user or a system file, with no
// --address/--ports/--cafile; the CA certificate found where the lookup says; the same server
// reached under a name its certificate does not carry refused with a reason naming both.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "kesto_e2e_support.h"
#include "scripted_tls_server.h"

#ifndef VELQUOR_CLI_BINARY
#error "VELQUOR_CLI_BINARY must name the velquor-cli program"
#endif

namespace velquor::testing {
namespace {

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

class SettingsCliTest : public ::testing::Test {
protected:
    SettingsCliTest() {
        makeOperator(server, "alice", "pw");
        std::filesystem::create_directories(userFolder);
        std::filesystem::create_directories(systemFolder);
        std::filesystem::create_directories(work);
    }

    std::string portsText() const {
        const auto& ports = server.ports();
        return std::to_string(ports[0]) + "," + std::to_string(ports[1]) + "," +
               std::to_string(ports[2]);
    }

    // velquor-cli in the work folder with only the temporary settings folders to go by.
    CliRun cli(const std::string& arguments, const std::string& stdinText = "") {
        writeFile(dir / "stdin", stdinText);
        const std::string command =
            "cd " + shellQuote(work.string()) +
            " && XDG_CONFIG_HOME=" + shellQuote((dir / "xdg").string()) +
            " VELQUOR_SYSTEM_CONFIG_DIR=" + shellQuote(systemFolder.string()) + " setsid -w " +
            shellQuote(VELQUOR_CLI_BINARY) + " " + arguments + " < " +
            shellQuote((dir / "stdin").string()) + " 2> " + shellQuote((dir / "stderr").string());
        CliRun run;
        run.out = runCommand(command, &run.status);
        run.err = readFile(dir / "stderr");
        return run;
    }

    // The certificate names localhost and nothing else.
    KestodFixture server{KestodOptions{.address = "localhost"}};
    TempDir dir;
    std::filesystem::path userFolder = dir / "xdg" / "velquor";
    std::filesystem::path systemFolder = dir / "etc";
    std::filesystem::path work = dir / "work";
};

TEST_F(SettingsCliTest, LogsInAndAddsByNameWithPortsAndCaFromTheUserFile) {
    writeFile(userFolder / "velquor.conf", "[kesto]\naddress = localhost\nports = " + portsText() +
                                               "\nca-file = " + server.caCertPath().string() +
                                               "\n");
    auto login = cli("kesto --user chief --password-file - login", server.chiefPassword() + "\n");
    EXPECT_EQ(login.status, 0) << login.err;
    EXPECT_EQ(login.out, "administrator\n");

    const auto file = writeMacFile(dir, "macs.csv", {{"02:00:00:00:61:00"}, {"02:00:00:00:61:01"}});
    auto added =
        cli("kesto --user alice --password-file - device add " + shellQuote(file.string()) +
                " --server-field srv --replace none --report " +
                shellQuote((dir / "report.csv").string()),
            "pw\n");
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(readFile(dir / "report.csv"),
              "row,column,cell,mac,operation,outcome,reason,retry\r\n"
              "1,1,A1,02:00:00:00:61:00,add,added,written as 020000006100,\r\n"
              "2,1,A2,02:00:00:00:61:01,add,added,written as 020000006101,\r\n");

    auto shown = cli("settings");
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("address = localhost"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("user file " + (userFolder / "velquor.conf").string() + ":2"),
              std::string::npos)
        << shown.out;
}

// What `velquor-cli settings` prints is a file that loads again, with the same values; a CA
// path of 300 bytes in it works for a login.
TEST_F(SettingsCliTest, WhatSettingsPrintsLoadsAgainAsTheUsersFile) {
    std::filesystem::path longCa = dir.path();
    while (longCa.string().size() < 290) longCa /= std::string(40, 'c');
    std::filesystem::create_directories(longCa);
    longCa /= "ca.pem";
    std::filesystem::copy_file(server.caCertPath(), longCa);
    writeFile(userFolder / "velquor.conf", "[kesto]\naddress = localhost\nports = " + portsText() +
                                               "\nca-file = " + longCa.string() + "\njobs = 3\n");
    const auto shown = cli("settings");
    ASSERT_EQ(shown.status, 0) << shown.err;
    writeFile(userFolder / "velquor.conf", shown.out);
    const auto again = cli("settings");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.err, "");
    EXPECT_NE(again.out.find("ca-file = " + longCa.string() + "\n"), std::string::npos)
        << again.out;
    EXPECT_NE(again.out.find("jobs = 3\n"), std::string::npos) << again.out;
    const auto login =
        cli("kesto --user chief --password-file - login", server.chiefPassword() + "\n");
    EXPECT_EQ(login.status, 0) << login.err;
}

// A FIFO where a settings file or the CA file should be is named for what it is and never
// read: the command goes on without the file, or fails at once for the CA.
TEST_F(SettingsCliTest, AFifoIsNeverWaitedOn) {
    ASSERT_EQ(::mkfifo((userFolder / "velquor.conf").c_str(), 0600), 0);
    const std::string target = "--address localhost --ports " + portsText() + " ";
    auto login = cli("kesto " + target + "--cafile " + shellQuote(server.caCertPath().string()) +
                         " --user chief --password-file - login",
                     server.chiefPassword() + "\n");
    EXPECT_EQ(login.status, 0) << login.err;
    EXPECT_NE(login.err.find((userFolder / "velquor.conf").string() + " is a FIFO, not a file"),
              std::string::npos)
        << login.err;

    ASSERT_EQ(::mkfifo((dir / "ca.pem").c_str(), 0600), 0);
    login = cli("kesto " + target + "--cafile " + shellQuote((dir / "ca.pem").string()) +
                    " --user chief --password-file - login",
                server.chiefPassword() + "\n");
    EXPECT_EQ(login.status, 1);
    EXPECT_NE(login.err.find((dir / "ca.pem").string() + " is a FIFO, not a file"),
              std::string::npos)
        << login.err;
}

TEST_F(SettingsCliTest, TheSystemFileAloneIsEnoughAndTheCaIsLookedUpBesideIt) {
    writeFile(systemFolder / "velquor.conf",
              "# the site's server\n[kesto]\naddress = localhost\nports = " + portsText() + "\n");
    // No CA file anywhere: the login says where it looked and which setting to use.
    auto nowhere = cli("kesto --user chief --password-file - login", server.chiefPassword() + "\n");
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_NE(nowhere.err.find("Login failed!"), std::string::npos) << nowhere.err;
    for (const auto& place : {std::string("cacert.pem"), (userFolder / "cacert.pem").string(),
                              (systemFolder / "cacert.pem").string(), std::string("ca-file")}) {
        EXPECT_NE(nowhere.err.find(place), std::string::npos) << place << "\n" << nowhere.err;
    }
    std::filesystem::copy_file(server.caCertPath(), systemFolder / "cacert.pem");
    auto found = cli("kesto --user chief --password-file - login", server.chiefPassword() + "\n");
    EXPECT_EQ(found.status, 0) << found.err;

    // The per-user file wins over the system file, the command line over both.
    writeFile(userFolder / "velquor.conf", "[kesto]\nports = 1,2,3\n");
    EXPECT_EQ(
        cli("kesto --user chief --password-file - login", server.chiefPassword() + "\n").status, 1);
    EXPECT_EQ(cli("kesto --ports " + portsText() + " --user chief --password-file - login",
                  server.chiefPassword() + "\n")
                  .status,
              0);
}

TEST_F(SettingsCliTest, ANameTheCertificateDoesNotCarryIsRefusedNamingBoth) {
    writeFile(userFolder / "velquor.conf", "[kesto]\naddress = localhost\nports = " + portsText() +
                                               "\nca-file = " + server.caCertPath().string() +
                                               "\n");
    // The same server, reached by its address: --address wins, --host is its older spelling.
    for (const std::string option : {"--address", "--host"}) {
        SCOPED_TRACE(option);
        auto refused = cli("kesto " + option + " 127.0.0.1 --user chief --password-file - login",
                           server.chiefPassword() + "\n");
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("Login: Login failed! (the certificate of 127.0.0.1:" +
                                   std::to_string(server.loginPort()) +
                                   " is for localhost, not 127.0.0.1)"),
                  std::string::npos)
            << refused.err;
        EXPECT_EQ(refused.out, "") << "standard output holds results only";
        EXPECT_EQ(refused.err.find("Handle the failed verification"), std::string::npos);
    }
    auto verbose = cli("kesto -v --address 127.0.0.1 --user chief --password-file - login",
                       server.chiefPassword() + "\n");
    EXPECT_EQ(verbose.out, "");
    EXPECT_NE(verbose.err.find("Handle the failed verification \n"), std::string::npos)
        << "the diagnostic line, byte for byte, under -v";
    EXPECT_EQ(cli("kesto --address a --host b --user chief login").status, 2);
}

TEST_F(SettingsCliTest, ABrokenSettingsFileStopsBeforeAnythingIsSentAndNamesTheLine) {
    writeFile(userFolder / "velquor.conf", "[kesto]\naddress = localhost\nports = 1,2\n");
    auto broken = cli("kesto --user chief --password-file - login", server.chiefPassword() + "\n");
    EXPECT_NE(broken.status, 0);
    EXPECT_NE(broken.err.find((userFolder / "velquor.conf").string() + ":3: [kesto] ports:"),
              std::string::npos)
        << broken.err;
    writeFile(userFolder / "velquor.conf", "[kesto]\naddress = localhost\nports = " + portsText() +
                                               "\nca-file = " + server.caCertPath().string() +
                                               "\nretries = 3\n");
    auto warned = cli("kesto --user chief --password-file - login", server.chiefPassword() + "\n");
    EXPECT_EQ(warned.status, 0) << warned.err;
    EXPECT_NE(warned.err.find("warning: " + (userFolder / "velquor.conf").string() +
                              ":5: unknown key 'retries' in [kesto], ignored"),
              std::string::npos)
        << warned.err;
}

TEST_F(SettingsCliTest, ASilentDevicePortStopsTheBatchWithAReportOfWhatWasNotSent) {
    // Logins go to kestod; the device port accepts connections and never speaks.
    provisioning::testing::SilentTcpListener silent;
    const auto& ports = server.ports();
    writeFile(userFolder / "velquor.conf",
              "[kesto]\naddress = localhost\nports = " + std::to_string(ports[0]) + "," +
                  std::to_string(ports[1]) + "," + std::to_string(silent.port()) +
                  "\nca-file = " + server.caCertPath().string() + "\nconnect-timeout = 1\n");
    std::vector<std::vector<std::string>> rows;
    for (const auto& mac : macAddresses(0x62, 30)) rows.push_back({mac});
    const auto file = writeMacFile(dir, "macs.csv", rows);
    auto run = cli("kesto --user alice --password-file - device add " + shellQuote(file.string()) +
                       " --server-field srv --replace none --report " +
                       shellQuote((dir / "report.csv").string()),
                   "pw\n");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(
        run.err.find("The server localhost is not answering: no TLS handshake with localhost:" +
                     std::to_string(silent.port()) + " within 1 s; stopping"),
        std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("Not sent: 30"), std::string::npos) << run.err;
    const std::string report = readFile(dir / "report.csv");
    EXPECT_NE(report.find("30,1,A30,02000000621d,add,not sent,not sent: The server localhost is "
                          "not answering"),
              std::string::npos)
        << report;
}

}  // namespace
}  // namespace velquor::testing
