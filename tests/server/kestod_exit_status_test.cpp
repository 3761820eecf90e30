// kestod's exit statuses, run as a service manager or a shell runs it: 0 for --version and for
// a server told to stop, 2 for a wrong command line, 1 for work that failed.
#include <gtest/gtest.h>
#include <signal.h>

#include "child_process.h"
#include "kestod_fixture.h"
#include "temp_dir.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;

ProgramRun kestod(const std::string& arguments) {
    return runProgram(KestodFixture::binary().string(), arguments);
}

TEST(KestodExitStatus, VersionSucceeds) {
    const ProgramRun version = kestod("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, std::string("kestod ") + VELQUOR_VERSION + "\n");
}

TEST(KestodExitStatus, AWrongCommandLineIsTwo) {
    for (const char* arguments : {
             "",                            // no command
             "frobnicate",                  // unknown command
             "serve --dir d --frobnicate",  // unknown option
             "serve --dir",                 // option without its value
             "serve",                       // missing --dir
             "users --dir d surplus",       // unexpected argument
             "serve --dir d --ports 1,2",   // malformed value
             "init --dir d --force=1",      // value for a flag
         }) {
        const ProgramRun run = kestod(arguments);
        EXPECT_EQ(run.status, 2) << "kestod " << arguments << "\n" << run.output;
        EXPECT_NE(run.output.find("usage:"), std::string::npos) << arguments;
    }
}

TEST(KestodExitStatus, FailedWorkIsOne) {
    TempDir dir;
    const std::string empty = shellQuote(dir.path().string());
    const std::string missing = shellQuote((dir / "missing").string());
    for (const std::string& arguments : {
             "users --dir " + empty,
             "devices --dir " + empty,
             "serve --dir " + empty + " --ports 0,0,0",
             "init --dir " + shellQuote((dir / "new").string()) + " --admin-password-file " +
                 missing,
         }) {
        const ProgramRun run = kestod(arguments);
        EXPECT_EQ(run.status, 1) << "kestod " << arguments << "\n" << run.output;
        EXPECT_EQ(run.output.find("usage:"), std::string::npos) << "not a usage error";
    }
}

// Being told to stop is how a daemon's work ends: SIGTERM from the service manager and SIGINT
// from a terminal both finish with a clean stop and status 0.
class KestodStop : public ::testing::TestWithParam<int> {};

TEST_P(KestodStop, AStopSignalEndsServingWithSuccess) {
    TempDir dir;
    writeFile(dir / "pw", "chief-pw\n");
    const ProgramRun init =
        kestod("init --dir " + shellQuote((dir / "srv").string()) + " --admin-password-file " +
               shellQuote((dir / "pw").string()) + " --pbkdf2-iterations 1000");
    ASSERT_EQ(init.status, 0) << init.output;
    ChildProcess serve({KestodFixture::binary().string(), "serve", "--dir", (dir / "srv").string(),
                        "--ports", "0,0,0"},
                       dir / "serve.txt");
    ASSERT_TRUE(serve.waitUntilHandling(GetParam(), 30s)) << readFile(dir / "serve.txt");
    serve.sendSignal(GetParam());
    const auto status = serve.waitForExit(30s);
    const std::string output = readFile(dir / "serve.txt");
    ASSERT_TRUE(status.has_value()) << "it must exit, not die of the signal\n" << output;
    EXPECT_EQ(*status, 0) << output;
    EXPECT_NE(output.find("kestod: stopped"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Signals, KestodStop, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                             return info.param == SIGINT ? "Sigint" : "Sigterm";
                         });

// Each command's help lists its own options, on standard output, with status 0; the general
// help gives the defaults the manual gives.
TEST(KestodExitStatus, HelpOfEveryCommandIsItsOwnAndSucceeds) {
    const std::pair<const char*, const char*> commands[] = {
        {"init", "--pbkdf2-iterations"}, {"serve", "--max-logins-per-address"},
        {"users", "kestod users"},       {"devices", "release MAC"},
        {"passwd", "--password-file"},   {"migrate", "--to URL"},
    };
    for (const auto& [command, mention] : commands) {
        for (const char* flag : {"--help", "-h"}) {
            const ProgramRun run = kestod(std::string(command) + " " + flag);
            EXPECT_EQ(run.status, 0) << command << " " << flag << "\n" << run.output;
            EXPECT_NE(run.output.find(mention), std::string::npos) << command << "\n" << run.output;
            EXPECT_EQ(run.output.find("unknown option"), std::string::npos) << run.output;
        }
    }
    EXPECT_EQ(kestod("serve --dir d --help").status, 0) << "wherever the flag stands";
    EXPECT_EQ(kestod("help passwd").output, kestod("passwd --help").output);
    const ProgramRun general = kestod("--help");
    EXPECT_EQ(general.status, 0);
    for (const char* defaults :
         {"(default 44388,44389,44391)", "(default 8)", "(default 4096)", "(default 128)",
          "(default 10000)", "(default 1800000", "130 interrupted"}) {
        EXPECT_NE(general.output.find(defaults), std::string::npos) << defaults << "\n"
                                                                    << general.output;
    }
}

}  // namespace
}  // namespace velquor::testing
