// velquor-cli serve as a technician runs it: a folder, a sheet and a log; curl as the phones;
// SIGTERM to end; the summary, the report, and the same log read back by the next run.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "child_process.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace velquor::testing {
namespace {

constexpr auto kStartLimit = std::chrono::seconds(30);

TEST(ServeCli, ServesTheSiteLogsEveryRequestAndReportsEachPhone) {
    TempDir dir;
    writeSiteFolder(dir / "site");
    writeFile(dir / "sheet.csv", "MAC\n001A2B3C4D5E\n00:15:65:0A:33:FB\n001122334455\n");
    const std::vector<std::string> arguments{
        (dir / "site").string(),      "--log",    (dir / "fetch.csv").string(), "--sheet",
        (dir / "sheet.csv").string(), "--report", (dir / "report.csv").string()};
    std::unique_ptr<ChildProcess> child;
    std::uint16_t port = startServe(child, dir / "out.txt", arguments);
    ASSERT_NE(port, 0);
    EXPECT_EQ(curlGet(port, "/001a2b3c4d5e.xml").body, "<config phone=\"1\"/>\n");
    EXPECT_EQ(curlGet(port, "/prov/0015650A33FB.xml").body, "<config phone=\"2\"/>\n");
    EXPECT_EQ(curlGet(port, "/%2e%2e/%2e%2e/etc/passwd").status, 404);
    EXPECT_EQ(curlGet(port, "/00aabbccddee.xml").status, 404);
    ASSERT_TRUE(child->waitUntilHandling(SIGTERM, kStartLimit));
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(kStartLimit), 0);

    const std::string output = readFile(dir / "out.txt");
    EXPECT_NE(output.find("\t127.0.0.1\tGET\t/prov/0015650A33FB.xml\t200\t20\t0015650a33fb\t"
                          "0015650a33fb.xml\t"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("SIP passwords cross the network in clear"), std::string::npos);
    EXPECT_NE(output.find("2 of 3 phones fetched their file; 1 waiting; 1 request from unknown "
                          "phones"),
              std::string::npos)
        << output;
    const std::string report = readFile(dir / "report.csv");
    EXPECT_NE(report.find("\r\n001a2b3c4d5e,fetched,001A2B3C4D5E.xml,"), std::string::npos);
    EXPECT_NE(report.find("\r\n0015650a33fb,fetched,0015650a33fb.xml,"), std::string::npos);
    EXPECT_NE(report.find("\r\n001122334455,waiting,"), std::string::npos);
    EXPECT_NE(report.find("\r\n00aabbccddee,unknown phone,"), std::string::npos);

    // The next run on the same log knows who fetched, and ends by itself after --for.
    std::vector<std::string> again = arguments;
    again.insert(again.end(), {"--for", "1s"});
    again[6] = (dir / "again.csv").string();
    port = startServe(child, dir / "out2.txt", again);
    ASSERT_NE(port, 0);
    EXPECT_EQ(child->waitForExit(kStartLimit), 0);
    EXPECT_NE(readFile(dir / "out2.txt").find("2 of 3 phones fetched their file"),
              std::string::npos);
    const std::string reread = readFile(dir / "again.csv");
    EXPECT_NE(reread.find("\r\n001a2b3c4d5e,fetched,"), std::string::npos);
    EXPECT_NE(reread.find("\r\n0015650a33fb,fetched,"), std::string::npos);
}

// A host name is resolved and an IPv6 address may come in brackets, as kestod takes them; the
// URL printed is the one a phone is given.
TEST(ServeCli, ServesOnAHostNameAndOnAnIpv6AddressInBrackets) {
    TempDir dir;
    writeSiteFolder(dir / "site");
    for (const auto& [address, host] :
         {std::pair<std::string, std::string>{"localhost", "localhost"}, {"[::1]", "[::1]"}}) {
        SCOPED_TRACE(address);
        std::unique_ptr<ChildProcess> child;
        const auto output = dir / ("out-" + host + ".txt");
        const std::uint16_t port =
            startServe(child, output, {(dir / "site").string()}, "", address, host);
        ASSERT_NE(port, 0);
        int status = -1;
        const std::string body = runCommand(
            "curl -s -g " +
                shellQuote("http://" + host + ":" + std::to_string(port) + "/common.cfg"),
            &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(body, readFile(dir / "site" / "common.cfg"));
        ASSERT_TRUE(child->waitUntilHandling(SIGTERM, kStartLimit));
        child->sendSignal(SIGTERM);
        EXPECT_EQ(child->waitForExit(kStartLimit), 0) << readFile(output);
    }
}

TEST(ServeCli, WrongOptionsAreUsageErrors) {
    TempDir dir;
    writeSiteFolder(dir / "site");
    const std::string cli = VELQUOR_CLI_BINARY;
    const std::string site = shellQuote((dir / "site").string());
    for (const std::string& arguments :
         {std::string("serve"), "serve " + site + " --port 70000",
          "serve " + site + " --allow 10.0.0.0/40", "serve " + site + " --tls-cert x.pem",
          "serve " + site + " --for soon", "serve " + site + " --address not_an_address",
          "serve " + site + " --address [192.0.2.7]"}) {
        const ProgramRun run = runProgram(cli, arguments);
        EXPECT_EQ(run.status, 2) << arguments << ": " << run.output;
    }
    // A name is no usage error: one that resolves to nothing is said so.
    const ProgramRun unknown = runProgram(cli, "serve " + site + " --address kesto.invalid");
    EXPECT_EQ(unknown.status, 1) << unknown.output;
    EXPECT_NE(unknown.output.find("cannot resolve 'kesto.invalid'"), std::string::npos);
    const ProgramRun missing = runProgram(cli, "serve " + shellQuote((dir / "none").string()));
    EXPECT_EQ(missing.status, 1) << missing.output;
    EXPECT_NE(missing.output.find("none"), std::string::npos);
}

}  // namespace
}  // namespace velquor::testing
