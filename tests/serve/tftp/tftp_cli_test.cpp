// velquor-cli serve --tftp-port as a technician runs it: curl fetching over TFTP, the line it
// prints, its options refused with a reason, and port 69 refused to an ordinary user with
// what to do about it.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "child_process.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "unprivileged.h"
#include "wait_until.h"

namespace velquor::testing {
namespace {

constexpr auto kLimit = std::chrono::seconds(30);

// The TFTP port serve printed it serves on, 0 until it has.
std::uint16_t tftpPortPrinted(const std::filesystem::path& output) {
    const std::string text = readFile(output);
    constexpr std::string_view kLine = " over TFTP on port ";
    const auto at = text.find(kLine);
    if (at == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::atoi(text.c_str() + at + kLine.size()));
}

TEST(TftpCli, ServesOverTftpAndPrintsEachFetch) {
    TempDir dir;
    writeSiteFolder(dir / "site");
    writeFile(dir / "sheet.csv", "MAC\n001A2B3C4D5E\n0015650A33FB\n");
    std::unique_ptr<ChildProcess> child;
    ASSERT_NE(startServe(child, dir / "out.txt",
                         {(dir / "site").string(), "--tftp-port", "0", "--tftp-blksize-max", "1024",
                          "--sheet", (dir / "sheet.csv").string(), "--plain-files", "--report",
                          (dir / "report.csv").string()}),
              0);
    std::uint16_t port = 0;
    ASSERT_TRUE(waitUntil([&] { return (port = tftpPortPrinted(dir / "out.txt")) != 0; }, kLimit));
    const std::string url = "tftp://127.0.0.1:" + std::to_string(port) + "/prov/001A2B3C4D5E.XML";
    EXPECT_EQ(runCommand("curl -s --tftp-blksize 1428 " + shellQuote(url)),
              "<config phone=\"1\"/>\n");
    ASSERT_TRUE(child->waitUntilHandling(SIGTERM, kLimit));
    ASSERT_TRUE(waitUntil(
        [&] { return readFile(dir / "out.txt").find("\tTFTP\t") != std::string::npos; }, kLimit));
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(kLimit), 0);
    const std::string output = readFile(dir / "out.txt");
    EXPECT_NE(output.find("\t127.0.0.1\tTFTP\tprov/001A2B3C4D5E.XML\t200\t20\t001a2b3c4d5e\t"
                          "001A2B3C4D5E.xml\t"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("1 of 2 phones fetched their file"), std::string::npos) << output;
    EXPECT_NE(readFile(dir / "report.csv").find("\r\n001a2b3c4d5e,fetched,"), std::string::npos);
}

TEST(TftpCli, RefusesTftpOptionsThatCannotHold) {
    TempDir dir;
    writeSiteFolder(dir / "site");
    writeFile(dir / "users", "admin:velquor:0123456789abcdef0123456789abcdef\n");
    const std::string site = shellQuote((dir / "site").string()) + " --address 127.0.0.1 --port 0";
    const struct {
        std::string arguments;
        int status;
        std::string said;
    } cases[] = {
        {"--tftp-single-port", 2, "--tftp-single-port needs --tftp-port"},
        {"--tftp-blksize-max 1024", 2, "--tftp-blksize-max needs --tftp-port"},
        {"--tftp-port 70000", 2, "--tftp-port 70000: not a port number"},
        {"--tftp-port 0 --tftp-blksize-max 7", 2, "give a block size from 8 to 65464"},
        {"--tftp-port 0 --tftp-blksize-max 65465", 2, "give a block size from 8 to 65464"},
        {"--tftp-port 0 --tftp-port-range 7000", 2, "give two ports A-B"},
        {"--tftp-port 0 --tftp-port-range 7010-7000", 2, "give two ports A-B"},
        {"--tftp-port 0 --tftp-port-range 0-10", 2, "give two ports A-B"},
        {"--tftp-port 0 --tftp-port-range 7000-7010 --tftp-single-port", 2, "exclude each other"},
        {"--tftp-port 0 --auth-file " + shellQuote((dir / "users").string()), 2,
         "TFTP has no way for a phone to prove itself"},
    };
    for (const auto& each : cases) {
        const ProgramRun run =
            runProgram(VELQUOR_CLI_BINARY, "serve " + site + " --plain-files " + each.arguments);
        EXPECT_EQ(run.status, each.status) << each.arguments << "\n" << run.output;
        EXPECT_NE(run.output.find(each.said), std::string::npos) << each.arguments << "\n"
                                                                 << run.output;
    }
}

TEST(TftpCli, PortSixtyNineAsAnOrdinaryUserSaysWhyAndWhatToDo) {
    std::ifstream lowest("/proc/sys/net/ipv4/ip_unprivileged_port_start");
    int unprivilegedStart = 1024;
    lowest >> unprivilegedStart;
    if (unprivilegedStart <= 69) GTEST_SKIP() << "this system lets anyone bind port 69";
    TempDir dir;
    writeSiteFolder(dir / "site");
    handOverToUnprivileged(dir.path());
    handOverToUnprivileged(dir / "site");
    const auto failure = runUnprivileged([&]() -> std::string {
        int status = -1;
        const std::string output =
            runCommand("HOME=" + shellQuote(dir.path().string()) +
                           " XDG_CONFIG_HOME=" + shellQuote(dir.path().string()) + " " +
                           VELQUOR_CLI_BINARY + " serve " + shellQuote((dir / "site").string()) +
                           " --address 127.0.0.1 --port 0 --plain-files --tftp-port 69 2>&1",
                       &status);
        for (const char* said : {"cannot serve TFTP on port 69: Permission denied", "ordinary user",
                                 "tftp://HOST:6969/", "DHCP option 66",
                                 "setcap cap_net_bind_service=+ep", "velquor-tftp.socket"})
            if (output.find(said) == std::string::npos)
                return "missing \"" + std::string(said) + "\" in " + output;
        if (status != 1) return "exit status " + std::to_string(status) + ": " + output;
        return "";
    });
    ASSERT_TRUE(failure) << "could not become an ordinary user";
    EXPECT_EQ(*failure, "");
}

}  // namespace
}  // namespace velquor::testing
