// velquor-cli encrypt / decrypt as a user runs them: exit statuses, the single line on
// stderr for a failure, output the openssl command agrees with, and pipes, devices and "-".
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <random>

#include "crypto_test_util.h"
#include "process_checks.h"
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
    // stderr to the pipe, stdout discarded: a failure must speak on stderr only. Without a
    // controlling terminal (setsid), so that a missing key fails instead of being asked for
    // when the suite runs in a terminal.
    run.stderrText = testing::runCommand(
        "setsid -w " + shellQuote(VELQUOR_CLI_PATH) + " " + arguments + " 2>&1 >/dev/null",
        &run.status);
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

    // Random bytes in whole blocks look encrypted already: --binary says they are meant.
    CliRun run =
        runCli("encrypt --binary --key 'phone key' " + path("in.xml") + " " + path("out.enc"));
    ASSERT_EQ(run.status, 0) << run.stderrText;
    EXPECT_EQ(run.stderrText, "");
    test::opensslEcb(false, "phone key", dir / "in.xml", dir / "peer.enc");
    EXPECT_EQ(readFile(dir / "out.enc"), readFile(dir / "peer.enc"));

    const std::string hexKey = test::toHex("phone key") + "00000000000000";
    run = runCli("decrypt --binary --key-hex " + hexKey + " " + path("out.enc") + " " +
                 path("back.xml"));
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

// Runs a shell command line in dir and returns what it printed on standard output.
std::string shellIn(const TempDir& dir, const std::string& command, int* status) {
    return testing::runCommand("cd " + shellQuote(dir.path().string()) + " && { " + command + "; }",
                               status);
}

std::string cli() {
    return shellQuote(VELQUOR_CLI_PATH);
}

bool isNodeOfType(const std::filesystem::path& path, mode_t type) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == type;
}

// Outputs that are streams get the bytes themselves: a pipe to another process, through "-"
// or through a link to this process's own standard output (what /dev/stdout is), a FIFO with
// a reader, and a character device, which stays one.
TEST_F(CliCrypt, StreamOutputsReceiveTheBytesAndStayStreams) {
    std::mt19937 rng(5);
    // Text first: random bytes from the start would look encrypted already.
    const std::string plain =
        "<config>" + std::string(1016, 'x') + test::randomBytes(68976, rng, true);
    writeFile(dir / "in.xml", plain);
    test::opensslEcb(false, "k", dir / "in.xml", dir / "peer.enc");
    const std::string expected = readFile(dir / "peer.enc");

    // A link of our own in the same form as /dev/stdout, so that even a writer that wrongly
    // replaced it could not harm the machine's.
    std::filesystem::create_symlink("/proc/self/fd/1", dir / "stdout");
    int status = -1;
    for (const char* output : {"-", "stdout"}) {
        const std::string got =
            shellIn(dir, cli() + " encrypt --key k in.xml " + output + " | cat", &status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(got, expected) << output;
    }
    // Standard output sent to a file: the bytes go into that file, the link stays a link.
    shellIn(dir, cli() + " encrypt --key k in.xml stdout > redirected.enc", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(dir / "redirected.enc"), expected);
    EXPECT_TRUE(isNodeOfType(dir / "stdout", S_IFLNK));

    const std::string roundTrip = shellIn(dir,
                                          "cat in.xml | " + cli() + " encrypt --key k - - | " +
                                              cli() + " decrypt --binary --key k - -",
                                          &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(roundTrip, plain);

    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    // Opening the twin for reading and writing at the end lets the reader finish even when the
    // command never opened the pipe, so a wrong writer fails the test instead of hanging it.
    std::filesystem::create_hard_link(dir / "pipe", dir / "pipe-twin");
    shellIn(dir,
            "cat pipe > got & " + cli() +
                " encrypt --key k in.xml pipe; rc=$?; exec 3<>pipe-twin; exec 3>&-; wait; exit $rc",
            &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(dir / "got"), expected);
    EXPECT_TRUE(isNodeOfType(dir / "pipe", S_IFIFO));

    // The null device's numbers, in a node made here; making one needs root, as CI runs.
    if (::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        const CliRun run = runCli("encrypt --key k " + path("in.xml") + " " + path("null"));
        EXPECT_EQ(run.status, 0) << run.stderrText;
        EXPECT_TRUE(isNodeOfType(dir / "null", S_IFCHR));
        // Reading /dev/null and writing it loses nothing: not the refused same-file case.
        const CliRun same = runCli("decrypt --key k " + path("null") + " " + path("null"));
        EXPECT_EQ(same.status, 0) << same.stderrText;
    }
}

TEST_F(CliCrypt, RefusesABlockDeviceAndAFileWrittenOverItselfThroughStandardStreams) {
    const std::string original(100, 'c');
    writeFile(dir / "in.xml", original);
    int status = -1;
    // "1<>" opens the file for standard output without emptying it first.
    shellIn(dir, cli() + " encrypt --key k - - < in.xml 1<> in.xml 2> err.txt", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(readFile(dir / "err.txt").find("is the input file"), std::string::npos);
    EXPECT_EQ(readFile(dir / "in.xml"), original);

    if (::mknod((dir / "disk").c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0) {
        GTEST_SKIP() << "cannot make a device node here";
    }
    const CliRun run = runCli("encrypt --key k " + path("in.xml") + " " + path("disk"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(lineCount(run.stderrText), 1u) << run.stderrText;
    EXPECT_NE(run.stderrText.find("block device"), std::string::npos) << run.stderrText;
    EXPECT_TRUE(isNodeOfType(dir / "disk", S_IFBLK));
}

TEST_F(CliCrypt, CommandLineMistakesAreUsageErrors) {
    writeFile(dir / "in.xml", "<config/>");
    for (const std::string& arguments :
         {"encrypt " + path("in.xml") + " " + path("out"),
          "encrypt --key a --key-hex 00 " + path("in.xml") + " " + path("out"),
          "decrypt --key-hex 0g " + path("in.xml") + " " + path("out"),
          "encrypt --key a " + path("in.xml"),
          "encrypt --key-file " + path("in.xml") + " --key-env K " + path("in.xml") + " " +
              path("out"),
          "encrypt --key-file - - " + path("out")}) {
        const CliRun run = runCli(arguments);
        EXPECT_EQ(run.status, 2) << arguments;
        EXPECT_NE(run.stderrText.find("usage:"), std::string::npos) << run.stderrText;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
}

TEST_F(CliCrypt, KeysComeFromAFileTheEnvironmentOrTheLineAndOddKeysAreWarnedAbout) {
    const std::string plain = "<config>phone</config>\n";
    writeFile(dir / "in.xml", plain);
    const std::string expected = test::modelEncrypt(plain, "phone key");
    writeFile(dir / "key.txt", "phone key\r\nsecond line\n");
    int status = -1;
    for (const std::string& keyOption :
         {std::string("--key-file key.txt"), std::string("--key-file - < key.txt"),
          std::string("--key-env VELQUOR_TEST_KEY")}) {
        std::filesystem::remove(dir / "out.enc");
        const std::string err = shellIn(dir,
                                        "VELQUOR_TEST_KEY='phone key' " + cli() +
                                            " encrypt in.xml out.enc " + keyOption + " 2>&1",
                                        &status);
        EXPECT_EQ(status, 0) << keyOption << ": " << err;
        EXPECT_EQ(err, "") << keyOption;
        EXPECT_EQ(readFile(dir / "out.enc"), expected) << keyOption;
    }

    // Legal, and needed for files made earlier, but rarely meant: a warning, not a refusal.
    const CliRun empty = runCli("encrypt --key '' " + path("in.xml") + " " + path("zero.enc"));
    EXPECT_EQ(empty.status, 0);
    EXPECT_NE(empty.stderrText.find("all-zero key"), std::string::npos) << empty.stderrText;
    EXPECT_EQ(readFile(dir / "zero.enc"), test::modelEncrypt(plain, std::string(16, '\0')));
    const CliRun cut =
        runCli("encrypt --key 'phone key and more' " + path("in.xml") + " " + path("cut.enc"));
    EXPECT_EQ(cut.status, 0);
    EXPECT_NE(cut.stderrText.find("only its first 16 bytes"), std::string::npos);

    const CliRun unset =
        runCli("decrypt --key-env VELQUOR_NO_SUCH_VARIABLE " + path("zero.enc") + " " + path("o"));
    EXPECT_EQ(unset.status, 1);
    EXPECT_NE(unset.stderrText.find("VELQUOR_NO_SUCH_VARIABLE"), std::string::npos);
    // No key option and no terminal to ask on.
    const CliRun none = runCli("decrypt " + path("zero.enc") + " " + path("o") + " < /dev/null");
    EXPECT_EQ(none.status, 2) << none.stderrText;
}

// Without a key option the key is asked on the terminal, without echo, twice when it makes a
// new file. script(1) gives the command a terminal and types each answer once its prompt is on
// the screen.
TEST_F(CliCrypt, AKeyTypedAtTheTerminalIsNotEchoed) {
    writeFile(dir / "in.xml", "<config/>\n");
    const auto typed = [&](std::initializer_list<const char*> answers, const std::string& command,
                           int* status) {
        std::string feed = "(";
        int prompts = 0;
        for (const char* answer : answers) {
            feed +=
                "for _ in $(seq 400); do [ $(grep -o 'AES key' screen 2>/dev/null | wc -l) "
                "-ge " +
                std::to_string(++prompts) + " ] && break; sleep 0.05; done; printf '%s\\n' " +
                shellQuote(answer) + "; ";
        }
        return shellIn(dir,
                       "rm -f screen; " + feed + "sleep 0.5) | timeout -k 1 20 script -qec " +
                           shellQuote(cli() + " " + command) +
                           " /dev/null >screen; rc=$?; cat screen; exit $rc",
                       status);
    };
    int status = -1;
    const std::string screen = typed({"phone key", "phone key"}, "encrypt in.xml out.enc", &status);
    EXPECT_EQ(status, 0) << screen;
    EXPECT_NE(screen.find("AES key: "), std::string::npos) << screen;
    EXPECT_EQ(screen.find("phone key"), std::string::npos) << "echoed: " << screen;
    EXPECT_EQ(readFile(dir / "out.enc"), test::modelEncrypt("<config/>\n", "phone key"));

    EXPECT_NE(typed({"one", "other"}, "encrypt in.xml other.enc", &status).find("differ"),
              std::string::npos);
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "other.enc"));
}

TEST_F(CliCrypt, AWrongKeyOrAStrayLengthIsAFailureNotASuccess) {
    writeFile(dir / "in.xml", "<config><Password>secret</Password></config>\n");
    ASSERT_EQ(runCli("encrypt --key right " + path("in.xml") + " " + path("c.enc")).status, 0);

    // The noise replaces nothing: a good file of that name is kept byte for byte, standard
    // output gets no byte, and --binary writes it all the same.
    writeFile(dir / "out.xml", "<good/>\n");
    CliRun run = runCli("decrypt --key wrong " + path("c.enc") + " " + path("out.xml"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(lineCount(run.stderrText), 1u) << run.stderrText;
    EXPECT_NE(run.stderrText.find("key may be wrong; nothing was written"), std::string::npos)
        << run.stderrText;
    EXPECT_EQ(readFile(dir / "out.xml"), "<good/>\n");
    int status = -1;
    const std::string out =
        testing::runCommand("setsid -w " + shellQuote(VELQUOR_CLI_PATH) + " decrypt --key wrong " +
                                path("c.enc") + " - 2>/dev/null",
                            &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "");
    run = runCli("decrypt --binary --key wrong " + path("c.enc") + " " + path("out.xml"));
    EXPECT_EQ(run.status, 0) << run.stderrText;
    EXPECT_NE(readFile(dir / "out.xml"), "<good/>\n");

    // Encrypting the encrypted file again is refused the same way.
    run = runCli("encrypt --key right " + path("c.enc") + " " + path("twice.enc"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.stderrText.find("may be encrypted already; nothing was written"),
              std::string::npos)
        << run.stderrText;
    EXPECT_FALSE(std::filesystem::exists(dir / "twice.enc"));
    EXPECT_EQ(
        runCli("encrypt --binary --key right " + path("c.enc") + " " + path("twice.enc")).status,
        0);

    writeFile(dir / "odd.enc", readFile(dir / "c.enc") + "x");
    for (const std::string& input : {path("odd.enc"), std::string("- < ") + path("odd.enc")}) {
        run = runCli("decrypt --key right " + input + " " + path("odd.xml"));
        EXPECT_EQ(run.status, 1) << input;
        EXPECT_NE(run.stderrText.find("not a multiple of 16"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dir / "odd.xml")) << input;
    }
}

// A silent standard input must not outlast Ctrl-C or SIGTERM, and what arrived before the stop
// is no file: exit 130 and nothing written. The deadline keeps a regression from hanging here.
TEST_F(CliCrypt, InterruptedStandardInputExits130AndWritesNothing) {
    for (const char* command : {"encrypt --key k - out", "decrypt --key k - out", "digest -"}) {
        for (const char* signal : {"INT", "TERM"}) {
            int status = -1;
            // timeout passes the signal on, and kills a command that ignores it.
            const std::string script =
                "rm -f in; mkfifo in; timeout -k 5 20 " + cli() + " " + command +
                " < in & pid=$!; exec 3> in; printf 0123456789 >&3; " +
                testing::shellAwaitStopHandlers("pid", "velquor-cli") + "kill -" + signal +
                " $pid; wait $pid; rc=$?; exec 3>&-; exit $rc";
            shellIn(dir, script + " 2>/dev/null", &status);
            EXPECT_EQ(status, 130) << command << " " << signal;
            EXPECT_FALSE(std::filesystem::exists(dir / "out")) << command << " " << signal;
        }
    }
}

}  // namespace
}  // namespace velquor::crypto
