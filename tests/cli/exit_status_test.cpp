// velquor-cli's exit statuses, one for each way a run can end: done, a wrong command line,
// failed work, and a long job stopped by SIGINT or SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <sstream>
#include <thread>

#include "child_process.h"
#include "temp_dir.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;

ProgramRun cli(const std::string& arguments) {
    return runProgram(VELQUOR_CLI_BINARY, arguments);
}

TEST(CliExitStatus, VersionAndHelpSucceed) {
    const ProgramRun version = cli("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, std::string("velquor-cli ") + VELQUOR_VERSION + "\n");
    EXPECT_EQ(cli("--help").status, 0);
    EXPECT_EQ(cli("digest --help").status, 0);
    // "help COMMAND" is that command's own help, for every command.
    for (const char* command : {"decrypt", "digest", "encrypt", "generate", "kesto", "sheet"}) {
        const ProgramRun help = cli(std::string("help ") + command);
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.output, cli(std::string(command) + " --help").output) << command;
    }
    EXPECT_EQ(cli("help frobnicate").status, 2);
}

TEST(CliExitStatus, AWrongCommandLineIsTwo) {
    for (const char* arguments : {
             "",                             // no command
             "frobnicate",                   // unknown command
             "--frobnicate",                 // unknown top-level option
             "digest --frobnicate",          // unknown option of a command
             "digest -a",                    // option without its value
             "encrypt --key k only-input",   // missing argument
             "sheet --counts=yes file.csv",  // value for a flag
             "kesto --user u",               // no kesto command
         }) {
        const ProgramRun run = cli(arguments);
        EXPECT_EQ(run.status, 2) << "velquor-cli " << arguments << "\n" << run.output;
        EXPECT_NE(run.output.find("usage: velquor-cli"), std::string::npos) << arguments;
    }
}

// A wrong command line shows the command's synopsis only: its first line and the lines
// aligned under it, then where the rest is; never the description meant for --help.
TEST(CliExitStatus, AWrongCommandLineShowsTheSynopsisOnly) {
    for (const char* command :
         {"decrypt", "digest", "encrypt", "generate", "kesto", "settings", "sheet"}) {
        const ProgramRun run = cli(std::string(command) + " --frobnicate");
        ASSERT_EQ(run.status, 2) << command << "\n" << run.output;
        std::istringstream lines(run.output);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "velquor-cli: unknown option --frobnicate") << command;
        std::getline(lines, line);
        EXPECT_TRUE(line.starts_with(std::string("usage: velquor-cli ") + command)) << line;
        while (std::getline(lines, line) && line.starts_with("   ")) {
        }
        EXPECT_EQ(line, std::string("'velquor-cli ") + command + " --help' tells more.")
            << command << "\n"
            << run.output;
        EXPECT_FALSE(std::getline(lines, line)) << command << "\n" << run.output;
    }
}

TEST(CliExitStatus, FailedWorkIsOne) {
    TempDir dir;
    const std::string missing = shellQuote((dir / "missing").string());
    const std::string out = shellQuote((dir / "out").string());
    for (const std::string& arguments : {
             "encrypt --key k " + missing + " " + out,
             "digest " + missing,
             "sheet " + missing,
         }) {
        const ProgramRun run = cli(arguments);
        EXPECT_EQ(run.status, 1) << arguments << "\n" << run.output;
        EXPECT_EQ(run.output.find("usage:"), std::string::npos) << "not a usage error";
    }
}

// A digest of a FIFO that a writer keeps filling never ends by itself; the signal must stop
// it with the interrupted status and one line saying so, not a crash or a failure status.
class InterruptedDigest : public ::testing::TestWithParam<int> {};

TEST_P(InterruptedDigest, StopsWith130) {
    TempDir dir;
    const auto fifo = dir / "endless";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess writer({"/bin/sh", "-c", "exec cat /dev/zero > " + shellQuote(fifo.string())},
                        dir / "writer.txt");
    ChildProcess digest({VELQUOR_CLI_BINARY, "digest", "-a", "sha256", fifo.string()},
                        dir / "digest.txt");
    ASSERT_TRUE(digest.waitUntilHandling(GetParam(), 30s));
    // Far more than starting the program reads: the digest is under way.
    ASSERT_TRUE(digest.waitUntilRead(64u << 20, 30s));
    digest.sendSignal(GetParam());
    const auto status = digest.waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << "it must exit, not die of the signal";
    EXPECT_EQ(*status, 130) << readFile(dir / "digest.txt");
    EXPECT_EQ(readFile(dir / "digest.txt").find("  " + fifo.string()), std::string::npos)
        << "no digest line for an input that was not read to its end";
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedDigest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                             return info.param == SIGINT ? "Sigint" : "Sigterm";
                         });

// A key read from standard input that never comes (a pipe kept open by its writer) is given
// up at Ctrl-C: the program exits with the interrupted status instead of waiting on.
TEST(CliExitStatus, CtrlCWhileAKeyIsAwaitedOnStandardInputIs130) {
    TempDir dir;
    writeFile(dir / "plain.xml", "<config/>\n");
    const auto fifo = dir / "keyboard";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The writer holds the FIFO open and writes nothing: the read waits for a key.
    ChildProcess writer({"/bin/sh", "-c", "exec sleep 60 > " + shellQuote(fifo.string())},
                        dir / "writer.txt");
    ChildProcess encrypt(
        {"/bin/sh", "-c",
         "exec " + shellQuote(VELQUOR_CLI_BINARY) + " encrypt --key-file - " +
             shellQuote((dir / "plain.xml").string()) + " " +
             shellQuote((dir / "out.bin").string()) + " < " + shellQuote(fifo.string())},
        dir / "encrypt.txt");
    // The shell opens the FIFO, then becomes the program: the signal is for the program.
    bool isTheProgram = false;
    for (int tries = 0; tries < 3000 && !isTheProgram; ++tries) {
        isTheProgram =
            readFile("/proc/" + std::to_string(encrypt.pid()) + "/comm") == "velquor-cli\n";
        if (!isTheProgram) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(isTheProgram);
    ASSERT_TRUE(encrypt.waitUntilHandling(SIGINT, 30s));
    encrypt.sendSignal(SIGINT);
    const auto status = encrypt.waitForExit(10s);
    ASSERT_TRUE(status.has_value()) << "still waiting for the key after Ctrl-C";
    EXPECT_EQ(*status, 130) << readFile(dir / "encrypt.txt");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bin"));
}

}  // namespace
}  // namespace velquor::testing
