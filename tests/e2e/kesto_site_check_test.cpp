// device check --out from the command line, as a technician runs it: Generate of six phones
// with a key, some files uploaded to a web root served by nginx (one an older version, one
// the plain file, one missing), five phones registered with a real kestod, then one row per
// phone over HTTP and over HTTPS.
#include <gtest/gtest.h>

#include <filesystem>

#include "kesto_e2e_support.h"
#include "nginx_fixture.h"
#include "report_readback.h"
#include "test_certificates.h"

#ifndef VELQUOR_CLI_BINARY
#error "VELQUOR_CLI_BINARY must name the velquor-cli program"
#endif

namespace velquor::testing {
namespace {

namespace fs = std::filesystem;

class KestoSiteCheckTest : public ::testing::Test {
protected:
    KestoSiteCheckTest() {
        makeOperator(server, "alice", "pw");
        writeFile(dir / "pw", "pw\n");
        writeFile(dir / "key", "phones-key-16byt\n");
        macs = macAddresses(0x39, 6);
    }

    ProgramRun cli(const std::string& arguments) {
        const auto& ports = server.ports();
        ProgramRun run;
        run.output = runCommand("cd " + shellQuote(dir.path().string()) + " && " +
                                    shellQuote(VELQUOR_CLI_BINARY) + " " + arguments +
                                    " --host 127.0.0.1 --ports " + std::to_string(ports[0]) + "," +
                                    std::to_string(ports[1]) + "," + std::to_string(ports[2]) +
                                    " --cafile " + shellQuote(server.caCertPath().string()) +
                                    " --user alice --password-file pw 2>&1 < /dev/null",
                                &run.status);
        return run;
    }

    ProgramRun generate(const std::string& phone3Name) {
        std::string sheet = "MAC,Display name,User ID,Auth ID,Password,Proxy,SIP port\n";
        for (int n = 0; n < 6; ++n) {
            sheet += macs[n] + "," + (n == 2 ? phone3Name : "Phone " + std::to_string(n + 1)) +
                     ",100" + std::to_string(n) + ",100" + std::to_string(n) + ",pw" +
                     std::to_string(n) + ",sip.example.lan,5060\n";
        }
        writeFile(dir / "devices.csv", sheet);
        const fs::path templatePath = fs::path(VELQUOR_SOURCE_DIR) / "examples" / "template.xml";
        return runProgram(VELQUOR_CLI_BINARY,
                          "generate -t " + shellQuote(templatePath.string()) + " -s " +
                              shellQuote((dir / "devices.csv").string()) + " -o " +
                              shellQuote((dir / "out").string()) + " --key-file " +
                              shellQuote((dir / "key").string()));
    }

    std::string fileOf(int phone) const { return macs[phone - 1] + ".xml"; }

    // Phones 1-2 as written, 3 an older version, 4 its plain file, 5 not uploaded; phones 1-5
    // registered with the web root's URL, 6 not.
    void prepareTheSite(const std::string& url) {
        ASSERT_EQ(generate("Old name").status, 0);
        fs::create_directories(web.path());
        fs::copy_file(dir / "out" / "en" / fileOf(3), web / fileOf(3));
        const ProgramRun again = generate("Phone 3");
        ASSERT_EQ(again.status, 0) << again.output;
        for (int phone : {1, 2})
            fs::copy_file(dir / "out" / "en" / fileOf(phone), web / fileOf(phone));
        fs::copy_file(dir / "out" / fileOf(4), web / fileOf(4));
        fs::copy_file(dir / "out" / "en" / fileOf(6), web / fileOf(6));
        std::string register5;
        for (int n = 0; n < 5; ++n) register5 += " --mac " + macs[n];
        const ProgramRun added =
            cli("kesto device add" + register5 + " --server-field " + url + " --replace all");
        ASSERT_EQ(added.status, 0) << added.output;
    }

    std::vector<std::vector<std::string>> reportRows() const {
        return readCsvRows(dir / "site.csv");
    }

    void expectTheSite(const std::string& url) {
        const auto rows = reportRows();
        ASSERT_EQ(rows.size(), 7U);
        EXPECT_EQ(rows[0][7], "verdict");
        EXPECT_EQ(rows[1][7], "ready");
        EXPECT_EQ(rows[2][7], "ready");
        EXPECT_EQ(rows[3][7], "the served file differs from the one generated (older?)");
        EXPECT_EQ(rows[4][7], "the served file is not encrypted although en/ exists");
        EXPECT_EQ(rows[5][7], "404 at " + url + fileOf(5));
        EXPECT_EQ(rows[6][7], "not registered");
        EXPECT_EQ(rows[6][9], "register it");
        EXPECT_EQ(rows[5][9], "upload out/en/" + fileOf(5) + " to " + url);
    }

    KestodFixture server;
    TempDir dir;
    TempDir web;
    std::vector<std::string> macs;
};

constexpr const char* kCheck =
    "kesto device check devices.csv --column A --out out --key-file key --report site.csv";

TEST_F(KestoSiteCheckTest, OneRowPerPhoneOverHttp) {
    NginxFixture nginx(web.path());
    ASSERT_NE(nginx.port(), 0);
    prepareTheSite(nginx.url());
    const ProgramRun run = cli(kCheck);
    EXPECT_EQ(run.status, 1) << run.output;
    expectTheSite(nginx.url());
    EXPECT_NE(run.output.find("6 phones: 2 ready, 4 with a problem"), std::string::npos)
        << run.output;

    // Only the ready phones: exit status 0.
    writeFile(dir / "ready.csv", "MAC\n" + macs[0] + "\n" + macs[1] + "\n");
    const ProgramRun ready = cli("kesto device check ready.csv --out out --key-file key --csv -");
    EXPECT_EQ(ready.status, 0) << ready.output;
    // A refused row is a row of its own, with its reason, and the summary counts it.
    writeFile(dir / "refused.csv", "MAC\n" + macs[0] + "\n15650123456\n" + macs[1] + "\n");
    const ProgramRun refused =
        cli("kesto device check refused.csv --out out --key-file key --report site.csv");
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(
        refused.output.find("3 phones: 2 ready, 1 with a problem, 1 row of the sheet refused"),
        std::string::npos)
        << refused.output;
    const auto rows = reportRows();
    ASSERT_EQ(rows.size(), 4U);
    EXPECT_EQ(rows[2][0], "3");
    EXPECT_EQ(rows[2][7], "11 hex digits, not 12");
    EXPECT_EQ(cli("kesto device check ready.csv --key-file key").status, 2) << "a key needs --out";
}

TEST_F(KestoSiteCheckTest, OverHttpsTheSameWithTheRightCaAndWhyNotWithAnother) {
    provisioning::testing::TestCertificates certificates;
    NginxFixture nginx(web.path(),
                       NginxTls{certificates.server().certificate, certificates.server().key});
    ASSERT_NE(nginx.port(), 0);
    prepareTheSite(nginx.url());
    const std::string trusted = " --http-cafile " + shellQuote(certificates.caFile().string());
    const ProgramRun run = cli(std::string(kCheck) + trusted);
    EXPECT_EQ(run.status, 1) << run.output;
    expectTheSite(nginx.url());

    const ProgramRun untrusted = cli(std::string(kCheck));
    EXPECT_EQ(untrusted.status, 1) << untrusted.output;
    const auto rows = reportRows();
    for (std::size_t row = 1; row <= 5; ++row) {
        EXPECT_EQ(rows[row][7], "cannot reach 127.0.0.1:" + std::to_string(nginx.port()) +
                                    ": its certificate is not trusted");
        EXPECT_NE(rows[row][10].find("certificate"), std::string::npos) << "the library's words";
    }
}

}  // namespace
}  // namespace velquor::testing
