// velquor-cli kesto against a real kestod: each command, its output and its exit status.
#include <gtest/gtest.h>

#include <regex>

#include "child_process.h"
#include "kesto_e2e_support.h"
#include "listen_queue.h"
#include "process_checks.h"
#include "scripted_tls_server.h"
#include "workbook_builder.h"

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

class KestoCliTest : public ::testing::Test {
protected:
    // Runs "velquor-cli kesto <server options> <arguments>" with stdinText on standard input,
    // detached from any terminal so that nothing can be asked interactively.
    CliRun kesto(const std::string& arguments, const std::string& stdinText = "") {
        writeFile(dir / "stdin", stdinText);
        const auto& ports = server.ports();
        const std::string command =
            "setsid -w " + shellQuote(VELQUOR_CLI_BINARY) + " kesto --host 127.0.0.1 --ports " +
            std::to_string(ports[0]) + "," + std::to_string(ports[1]) + "," +
            std::to_string(ports[2]) + " --cafile " + shellQuote(server.caCertPath().string()) +
            " " + arguments + " < " + shellQuote((dir / "stdin").string()) + " 2> " +
            shellQuote((dir / "stderr").string());
        CliRun run;
        run.out = runCommand(command, &run.status);
        run.err = readFile(dir / "stderr");
        return run;
    }
    std::string chief() const { return "--user chief --password-file - "; }
    std::string chiefPassword() const { return server.chiefPassword() + "\n"; }

    KestodFixture server;
    TempDir dir;
};

TEST_F(KestoCliTest, LoginPrintsTheRoleAndFailsOnARefusal) {
    makeOperator(server, "Chief", "pw");
    auto chiefLogin = kesto(chief() + "login", chiefPassword());
    EXPECT_EQ(chiefLogin.status, 0) << chiefLogin.err;
    EXPECT_NE(chiefLogin.out.find("administrator\n"), std::string::npos);

    writeFile(dir / "pw", "pw\n");
    auto other =
        kesto("--user Chief --password-file " + shellQuote((dir / "pw").string()) + " login");
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_NE(other.out.find("operator\n"), std::string::npos);

    auto refused = kesto(chief() + "login", "wrong\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Login: Login failed!"), std::string::npos);
    EXPECT_EQ(refused.out.find("administrator"), std::string::npos);
}

TEST_F(KestoCliTest, UserAdministrationAndPasswordChange) {
    auto added = kesto(chief() + "user add dave --new-password-file -", chiefPassword() + "d-1\n");
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_NE(added.err.find("Add user successed!"), std::string::npos);
    auto again = kesto(chief() + "user add dave --new-password-file -", chiefPassword() + "d-1\n");
    EXPECT_EQ(again.status, 1);

    auto changed =
        kesto("--user dave --password-file - passwd --new-password-file -", "d-1\nd-2\n");
    EXPECT_EQ(changed.status, 0) << changed.err;
    EXPECT_EQ(kesto("--user dave --password-file - login", "d-1\n").status, 1);
    EXPECT_EQ(kesto("--user dave --password-file - login", "d-2\n").status, 0);

    // A missing line is not an empty password; without a terminal nothing is asked either.
    auto missing = kesto("--user dave --password-file - passwd --new-password-file -", "d-2\n");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("new password expected on standard input, found none"),
              std::string::npos)
        << missing.err;
    auto unasked = kesto("--user dave passwd --new-password-file -", "d-3\n");
    EXPECT_EQ(unasked.status, 1);
    EXPECT_NE(unasked.err.find("no terminal to ask for the password"), std::string::npos)
        << unasked.err;
    EXPECT_EQ(kesto("--user dave --password-file - login", "d-2\n").status, 0);

    auto removed = kesto(chief() + "user del dave", chiefPassword());
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(kesto("--user dave --password-file - login", "d-2\n").status, 1);
}

TEST_F(KestoCliTest, DeviceAddReplaceDeleteAndReport) {
    makeOperator(server, "erin", "pw");
    const auto macs = macAddresses(7, 4);
    const auto file = writeMacFile(dir, "macs.csv", {{macs[0], macs[1]}, {macs[2], ""}});
    const std::string device = "--user erin --password-file - device ";
    const std::string fileArg = shellQuote(file.string());
    const std::string report = shellQuote((dir / "report.csv").string());

    auto first =
        kesto(device + "add " + fileArg + " --server-field srv --replace none --report " + report,
              "pw\n");
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(readFile(dir / "report.csv"),
              "row,column,cell,mac,operation,outcome,reason,retry\r\n1,1,A1," + macs[0] +
                  ",add,added,,\r\n1,2,B1," + macs[1] + ",add,added,,\r\n2,1,A2," + macs[2] +
                  ",add,added,,\r\n");

    auto skipped = kesto(device + "add " + fileArg + " --server-field srv --replace none", "pw\n");
    EXPECT_EQ(skipped.status, 0) << "MACs left alone are not failures: " << skipped.err;
    EXPECT_NE(skipped.err.find("Not replaced (already registered): 3"), std::string::npos);
    auto replaced = kesto(device + "add " + fileArg + " --server-field srv2 --replace all", "pw\n");
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_NE(replaced.err.find("Replaced: 3"), std::string::npos);
    EXPECT_NE(server.runTool({"devices"}).find("srv2"), std::string::npos);

    auto deleted =
        kesto(device + "del " + fileArg + " --server-field srv --report " + report, "pw\n");
    EXPECT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_NE(readFile(dir / "report.csv").find(",delete,deleted,,\r\n"), std::string::npos);
    auto deletedAgain = kesto(device + "del " + fileArg + " --server-field srv", "pw\n");
    EXPECT_EQ(deletedAgain.status, 1);
    EXPECT_NE(deletedAgain.err.find(macs[0] + " delete failed!"), std::string::npos);
}

TEST_F(KestoCliTest, UsageErrorsAreFoundBeforeAnythingIsSent) {
    const auto file = writeMacFile(dir, "macs.csv", {{"02:00:00:00:08:00"}});
    const std::string fileArg = shellQuote(file.string());
    EXPECT_EQ(kesto(chief() + "device add " + fileArg, chiefPassword()).status, 2)
        << "--server-field is required";
    EXPECT_EQ(
        kesto(chief() + "device add " + fileArg + " --server-field s", chiefPassword()).status, 2)
        << "asking needs a terminal";
    EXPECT_EQ(kesto(chief() + "device add " + fileArg + " --server-field s --replace some",
                    chiefPassword())
                  .status,
              2);
    EXPECT_EQ(kesto(chief() + "device add " + fileArg +
                        " --server-field s --replace all --report " + fileArg,
                    chiefPassword())
                  .status,
              2)
        << "the report must not overwrite the MAC file";
    EXPECT_EQ(kesto(chief() + "user add", chiefPassword()).status, 2);
    EXPECT_EQ(kesto("login", "").status, 2) << "--user is required";
    // The chief's password is the server's to set; the command says where, sends nothing.
    auto chiefPasswd = kesto(chief() + "passwd --new-password-file -", chiefPassword() + "x\n");
    EXPECT_EQ(chiefPasswd.status, 2);
    EXPECT_NE(chiefPasswd.err.find("kestod passwd"), std::string::npos) << chiefPasswd.err;
    EXPECT_TRUE(requestsOnPort(server, server.loginPort()).empty());

    auto noFile =
        kesto("--user chief --password-file " + shellQuote((dir / "none").string()) + " login");
    EXPECT_EQ(noFile.status, 1);
    EXPECT_NE(noFile.err.find("none"), std::string::npos);
}

TEST_F(KestoCliTest, JobsIsCheckedAndLeavesTheOutcomeAsOneAtATime) {
    makeOperator(server, "gina", "pw");
    const auto macs = macAddresses(10, 12);
    std::vector<std::vector<std::string>> rows;
    for (const auto& mac : macs) rows.push_back({mac});
    rows.insert(rows.begin() + 2, {macs[0], macs[5]});  // repeats meet "EXIST"
    const auto file = shellQuote(writeMacFile(dir, "macs.csv", rows).string());
    const std::string device = "--user gina --password-file - device ";
    const auto reportTo = [this](const std::string& name) {
        return " --report " + shellQuote((dir / name).string());
    };

    // The two logins makeOperator made (chief's and gina's), once kestod has logged them.
    const auto logins = requestsOnPort(server, server.loginPort(), 2).size();
    for (const char* jobs : {"0", "65", "4x", ""}) {
        SCOPED_TRACE(jobs);
        auto refused =
            kesto(device + "add " + file + " --server-field s --replace none --jobs '" + jobs + "'",
                  "pw\n");
        EXPECT_EQ(refused.status, 2);
        EXPECT_NE(refused.err.find("--jobs"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(requestsOnPort(server, server.loginPort()).size(), logins) << "nothing is sent";

    auto one = kesto(
        device + "add " + file + " --server-field s --replace none --jobs 1" + reportTo("one.csv"),
        "pw\n");
    EXPECT_EQ(kesto(device + "del " + file + " --server-field s --jobs 1", "pw\n").status, 0)
        << "the repeated rows are skipped, not sent twice";
    auto many = kesto(device + "add " + file + " --server-field s --replace none --jobs 64" +
                          reportTo("many.csv"),
                      "pw\n");
    EXPECT_EQ(many.status, one.status);
    EXPECT_EQ(many.err, one.err);
    EXPECT_EQ(readFile(dir / "many.csv"), readFile(dir / "one.csv"));
    EXPECT_NE(readFile(dir / "one.csv").find(macs[0] + ",add,skipped,repeats cell A1"),
              std::string::npos)
        << readFile(dir / "one.csv");
}

TEST_F(KestoCliTest, StoppedServerIsAFailure) {
    makeOperator(server, "frank", "pw");
    const auto file = writeMacFile(dir, "macs.csv", {{"02:00:00:00:09:00"}});
    // The login happens first; then the server goes away before the device requests.
    server.stop();
    auto run = kesto("--user frank --password-file - device add " + shellQuote(file.string()) +
                         " --server-field s --replace all",
                     "pw\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Login failed!"), std::string::npos);
}

// Standard output holds results only: the channel's diagnostic lines of a batch whose device
// port is closed go to standard error, and only with -v.
TEST_F(KestoCliTest, DiagnosticsOfAFailedBatchAreOnStandardErrorWithVerboseOnly) {
    makeOperator(server, "grace", "pw");
    const auto file = writeMacFile(dir, "macs.csv", {{"02:00:00:00:0a:01"}, {"02:00:00:00:0a:02"}});
    const provisioning::testing::ClosedPort closed;
    const auto& ports = server.ports();
    const std::string closedDevicePort = "--ports " + std::to_string(ports[0]) + "," +
                                         std::to_string(ports[1]) + "," +
                                         std::to_string(closed.port()) + " ";
    const std::string batch =
        "device add " + shellQuote(file.string()) + " --server-field s --replace all";
    const CliRun quiet =
        kesto(closedDevicePort + "--user grace --password-file - " + batch, "pw\n");
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err.find("BIO_do_connect"), std::string::npos) << quiet.err;
    EXPECT_NE(quiet.err.find("Connection refused"), std::string::npos) << quiet.err;

    const CliRun verbose =
        kesto(closedDevicePort + "-v --user grace --password-file - " + batch, "pw\n");
    EXPECT_EQ(verbose.status, 1);
    EXPECT_EQ(verbose.out, "");
    EXPECT_NE(verbose.err.find("BIO_do_connect(bio)NULL<=0\n"), std::string::npos) << verbose.err;
}

TEST_F(KestoCliTest, ASparseMacFileSendsItsTwoCellsInBoundedMemory) {
    makeOperator(server, "erin", "pw");
    const auto macs = macAddresses(9, 2);
    const auto file = dir / "sparse.xlsx";
    sheet::testing::writeZip(file, sheet::testing::sparseWorkbook(macs[0], macs[1]));
    auto added = kesto("--user erin --password-file - device add " + shellQuote(file.string()) +
                           " --server-field srv --replace none",
                       "pw\n");
    EXPECT_EQ(added.status, 0) << added.err;
    // The empty cells of the rectangle from A1 are counted, not visited.
    EXPECT_NE(added.err.find("Added: 2\n"), std::string::npos) << added.err;
    EXPECT_NE(added.err.find("Empty cells (nothing to send): 17179869182"), std::string::npos);
    const std::string devices = server.runTool({"devices"});
    EXPECT_NE(devices.find(macs[0]), std::string::npos) << devices;
    EXPECT_NE(devices.find(macs[1]), std::string::npos) << devices;
    EXPECT_LT(peakChildMemoryBytes(), std::uint64_t{200} << 20);
}

TEST_F(KestoCliTest, CtrlCWhileTheMacFileIsReadExits130AndSendsNothing) {
    makeOperator(server, "erin", "pw");
    writeFile(dir / "pw", "pw\n");
    const auto file = dir / "big.xlsx";
    sheet::testing::writeZip(file,
                             sheet::testing::largeWorkbook(sheet::testing::kRowsSlowToRead, 20));
    const auto& ports = server.ports();
    const int status = exitStatusAfterInterrupt(
        {VELQUOR_CLI_BINARY, "kesto", "--host", "127.0.0.1", "--ports",
         std::to_string(ports[0]) + "," + std::to_string(ports[1]) + "," + std::to_string(ports[2]),
         "--cafile", server.caCertPath().string(), "--user", "erin", "--password-file",
         (dir / "pw").string(), "device", "add", file.string(), "--server-field", "srv",
         "--replace", "none"},
        dir / "output", [&](const ChildProcess& cli) { return cli.hasOpen(file); });
    EXPECT_EQ(status, 130) << readFile(dir / "output");
    server.stop();
    EXPECT_TRUE(requestsOnPort(server, server.devicePort()).empty());
}

TEST_F(KestoCliTest, CtrlCDuringABatchAbandonsTheWaitAndReportsWhatWasNotSent) {
    makeOperator(server, "erin", "pw");
    writeFile(dir / "pw", "pw\n");
    std::vector<std::vector<std::string>> rows;
    for (const auto& mac : macAddresses(0x0a, 20)) rows.push_back({mac});
    const auto file = writeMacFile(dir, "macs.csv", rows);
    // Logins reach kestod; the device port takes connections and never answers, and the
    // time-outs are far longer than the test may take.
    provisioning::testing::SilentTcpListener silent;
    const auto& ports = server.ports();
    const auto start = std::chrono::steady_clock::now();
    const int status =
        exitStatusAfterInterrupt({VELQUOR_CLI_BINARY,
                                  "kesto",
                                  "--address",
                                  "127.0.0.1",
                                  "--ports",
                                  std::to_string(ports[0]) + "," + std::to_string(ports[1]) + "," +
                                      std::to_string(silent.port()),
                                  "--cafile",
                                  server.caCertPath().string(),
                                  "--connect-timeout",
                                  "600",
                                  "--exchange-timeout",
                                  "600",
                                  "--user",
                                  "erin",
                                  "--password-file",
                                  (dir / "pw").string(),
                                  "device",
                                  "add",
                                  file.string(),
                                  "--server-field",
                                  "srv",
                                  "--replace",
                                  "none",
                                  "--report",
                                  (dir / "report.csv").string()},
                                 dir / "output", [&](const ChildProcess&) {
                                     // The batch is waiting on the device port's silence.
                                     return waitingConnections(silent.port()) > 0;
                                 });
    EXPECT_EQ(status, 130) << readFile(dir / "output");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
        << "the batch waited for its time-outs instead of stopping";
    const std::string report = readFile(dir / "report.csv");
    EXPECT_NE(report.find(",add,not sent,cancelled before it was sent,yes\r\n"), std::string::npos)
        << report;
    EXPECT_EQ(report.find(",failed,"), std::string::npos) << report;
}

// device list prints exactly the account's devices; device check says each MAC's outcome and
// exits 1 unless every one is registered to the user.
TEST_F(KestoCliTest, DeviceListAndCheckReadRegistrationsBack) {
    makeOperator(server, "alice", "a-pw");
    makeOperator(server, "bob", "b-pw");
    writeFile(dir / "a.csv", "020000000a02\n020000000a01\n");
    writeFile(dir / "b.csv", "020000000b01\n");
    const std::string alice = "--user alice --password-file - ";
    ASSERT_EQ(kesto(alice + "device add " + shellQuote((dir / "a.csv").string()) +
                        " --server-field https://a.example/ --replace none",
                    "a-pw\n")
                  .status,
              0);
    ASSERT_EQ(
        kesto("--user bob --password-file - device add " + shellQuote((dir / "b.csv").string()) +
                  " --server-field https://b.example/ --replace none",
              "b-pw\n")
            .status,
        0);

    auto listed = kesto(alice + "device list --csv -", "a-pw\n");
    ASSERT_EQ(listed.status, 0) << listed.err;
    const std::string header = "mac,server,registered,asked\r\n";
    ASSERT_EQ(listed.out.substr(0, header.size()), header);
    EXPECT_NE(listed.out.find("\r\n020000000a01,https://a.example/,2"), std::string::npos)
        << listed.out;
    // The time registered is local time with its offset (ISO 8601), whatever the zone.
    EXPECT_TRUE(std::regex_search(
        listed.out, std::regex(R"(T\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d),never asked\r\n)")))
        << listed.out;
    EXPECT_LT(listed.out.find("020000000a01"), listed.out.find("020000000a02"));
    EXPECT_EQ(listed.out.find("020000000b01"), std::string::npos) << "bob's device listed";

    auto table = kesto(alice + "device list", "a-pw\n");
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(table.out.substr(0, 4), "mac ");

    auto mixed = kesto(alice + "device check --mac 02:00:00:00:0A:01 --mac 020000000b01 --mac " +
                           "02-00-00-00-0c-01 --csv -",
                       "a-pw\n");
    EXPECT_EQ(mixed.status, 1) << mixed.err;
    EXPECT_EQ(
        mixed.out,
        "mac,outcome,server,asked\r\n020000000a01,registered,https://a.example/,never asked\r\n"
        "020000000b01,another account,,\r\n020000000c01,not registered,,\r\n");
    auto mine = kesto(alice + "device check --mac 020000000a01 --mac 020000000A02", "a-pw\n");
    EXPECT_EQ(mine.status, 0) << mine.err;

    auto typo = kesto(alice + "device check --mac 02000000a01", "a-pw\n");
    EXPECT_EQ(typo.status, 2);
    EXPECT_NE(typo.err.find("11 hex digits, not 12"), std::string::npos) << typo.err;
}

// Chief deleting a user hears how many devices it holds, and may free them in the same step.
TEST_F(KestoCliTest, DeletingAUserTellsItsDevicesAndMayFreeThem) {
    makeOperator(server, "dave", "d-pw");
    makeOperator(server, "erin", "e-pw");
    writeFile(dir / "d.csv", "020000000d01\n020000000d02\n");
    writeFile(dir / "e.csv", "020000000e01\n");
    for (const auto& [user, file] : {std::pair{"dave", "d.csv"}, std::pair{"erin", "e.csv"}}) {
        ASSERT_EQ(kesto(std::string("--user ") + user + " --password-file - device add " +
                            shellQuote((dir / file).string()) +
                            " --server-field https://p.example/ --replace none",
                        std::string(user[0] == 'd' ? "d-pw" : "e-pw") + "\n")
                      .status,
                  0);
    }
    auto kept = kesto(chief() + "user del erin", chiefPassword());
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_NE(kept.err.find("erin has 1 registered device."), std::string::npos) << kept.err;
    EXPECT_NE(server.runTool({"devices"}).find("020000000e01"), std::string::npos);

    auto freed = kesto(chief() + "user del dave --free-devices", chiefPassword());
    EXPECT_EQ(freed.status, 0) << freed.err;
    EXPECT_NE(freed.err.find("dave has 2 registered devices."), std::string::npos) << freed.err;
    const std::string devices = server.runTool({"devices"});
    EXPECT_EQ(devices.find("020000000d0"), std::string::npos) << devices;
}

}  // namespace
}  // namespace velquor::testing
