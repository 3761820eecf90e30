// velquor-cli encrypt / decrypt as a user runs them: exit statuses, the single line on
// stderr for a failure, and output the openssl command agrees with.
#include <gtest/gtest.h>

#include <random>

#include "crypto_test_util.h"
#include "temp_dir.h"

namespace velquor::crypto {
namespace {

using testing::readFile;
using testing::shellQuote;
using testing::TempDir;
using testing::writeFile;

struct CliRun {
    int status = -1;
    std::string stderrText;
};

CliRun runCli(const std::string& arguments) {
    CliRun run;
    // stderr to the pipe, stdout discarded: a failure must speak on stderr only.
    run.stderrText = testing::runCommand(
        shellQuote(VELQUOR_CLI_PATH) + " " + arguments + " 2>&1 >/dev/null", &run.status);
    return run;
}

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class CliCrypt : public ::testing::Test {
protected:
    std::string path(const char* name) const { return shellQuote((dir / name).string()); }
    TempDir dir;
};

TEST_F(CliCrypt, TextAndHexKeysRoundTripAndMatchOpenssl) {
    std::mt19937 rng(3);
    const std::string plain = test::randomBytes(100000, rng, true);
    writeFile(dir / "in.xml", plain);

    CliRun run = runCli("encrypt --key 'phone key' " + path("in.xml") + " " + path("out.enc"));
    ASSERT_EQ(run.status, 0) << run.stderrText;
    EXPECT_EQ(run.stderrText, "");
    test::opensslEcb(false, "phone key", dir / "in.xml", dir / "peer.enc");
    EXPECT_EQ(readFile(dir / "out.enc"), readFile(dir / "peer.enc"));

    const std::string hexKey = test::toHex("phone key") + "00000000000000";
    run = runCli("decrypt --key-hex " + hexKey + " " + path("out.enc") + " " + path("back.xml"));
    ASSERT_EQ(run.status, 0) << run.stderrText;
    EXPECT_EQ(readFile(dir / "back.xml"), plain);
}

TEST_F(CliCrypt, FailuresExitOneWithOneLineSayingWhatAndWhy) {
    writeFile(dir / "in.xml", "<config/>");
    struct Case {
        std::string arguments, mustMention;
    };
    const Case cases[] = {
        {"encrypt --key k " + path("missing.xml") + " " + path("out"), "missing.xml"},
        {"decrypt --key k " + path("missing.xml") + " " + path("out"), "missing.xml"},
        {"encrypt --key k " + path("in.xml") + " " + path("in.xml"), "is the input file"},
        {"encrypt --key k " + path("in.xml") + " " + path("no/such/folder/out"), "no/such/folder"},
    };
    for (const auto& c : cases) {
        const CliRun run = runCli(c.arguments);
        EXPECT_EQ(run.status, 1) << c.arguments;
        EXPECT_EQ(lineCount(run.stderrText), 1u) << run.stderrText;
        EXPECT_NE(run.stderrText.find(c.mustMention), std::string::npos) << run.stderrText;
        EXPECT_EQ(run.stderrText.find("file open error"), std::string::npos) << run.stderrText;
    }
    EXPECT_EQ(readFile(dir / "in.xml"), "<config/>");
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST_F(CliCrypt, CommandLineMistakesAreUsageErrors) {
    writeFile(dir / "in.xml", "<config/>");
    for (const std::string& arguments :
         {"encrypt " + path("in.xml") + " " + path("out"),
          "encrypt --key a --key-hex 00 " + path("in.xml") + " " + path("out"),
          "decrypt --key-hex 0g " + path("in.xml") + " " + path("out"),
          "encrypt --key a " + path("in.xml")}) {
        const CliRun run = runCli(arguments);
        EXPECT_EQ(run.status, 2) << arguments;
        EXPECT_NE(run.stderrText.find("usage:"), std::string::npos) << run.stderrText;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

}  // namespace
}  // namespace velquor::crypto
