// `velquor-cli digest` as a user runs it: output lines, formats, --string, --check with
// md5sum's options, standard input, unreadable files among readable ones, and exit statuses.
#include <gtest/gtest.h>

#include <algorithm>

#include "process_checks.h"
#include "temp_dir.h"

namespace velquor::testing {
namespace {

#ifdef VELQUOR_CLI_PATH

struct CliRun {
    std::string out;
    std::string err;
    int status = -1;
};

class DigestCli : public ::testing::Test {
protected:
    CliRun run(const std::string& arguments, const std::string& stdinText = "") {
        const auto errFile = dir / "stderr.txt";
        std::string command = "cd " + shellQuote(dir.path().string()) + " && ";
        if (!stdinText.empty()) command += "printf '%s' " + shellQuote(stdinText) + " | ";
        command += shellQuote(VELQUOR_CLI_PATH) + " digest " + arguments + " 2>" +
                   shellQuote(errFile.string());
        if (stdinText.empty()) command += " </dev/null";
        CliRun result;
        int status = -1;
        result.out = runCommand(command, &status);
        result.status = status;
        result.err = readFile(errFile);
        return result;
    }
    std::string peer(const std::string& command) {
        return runCommand("cd " + shellQuote(dir.path().string()) + " && " + command);
    }
    TempDir dir;
};

TEST_F(DigestCli, LinesMatchTheSumToolsForEveryAlgorithm) {
    writeFile(dir / "a.txt", "abc");
    writeFile(dir / "empty", "");
    writeFile(dir / "with space", std::string(70000, 'w'));
    const std::string files = "a.txt empty 'with space'";
    const std::pair<std::string, std::string> tools[] = {{"md5", "md5sum"},
                                                         {"sha1", "sha1sum"},
                                                         {"sha256", "sha256sum"},
                                                         {"sha384", "sha384sum"},
                                                         {"sha512", "sha512sum"}};
    for (const auto& [algorithm, tool] : tools) {
        const CliRun ours = run("-a " + algorithm + " " + files);
        EXPECT_EQ(ours.status, 0) << ours.err;
        EXPECT_EQ(ours.out, peer(tool + " " + files)) << algorithm;
    }
    EXPECT_EQ(run(files).out, peer("md5sum " + files)) << "md5 is the default";
    EXPECT_EQ(run("-a crc32 a.txt").out, "352441c2  a.txt\n");
    EXPECT_EQ(run("-a gost94 a.txt").out,
              "f3134348c44fb1b2a277729e2285ebb5cb5e0f29c975bc753b70497c06a4d51d  a.txt\n");
    EXPECT_EQ(run("-a md2 a.txt").out, "da853b0d3f88d99b30283a69e6ded6bb  a.txt\n");
}

TEST_F(DigestCli, NamesWithBackslashOrNewlineAreEscapedLikeTheSumTools) {
    writeFile(dir / "back\\slash", "x");
    writeFile(dir / "new\nline", "x");
    const std::string files = "'back\\slash' 'new\nline'";
    const CliRun ours = run(files);
    EXPECT_EQ(ours.status, 0);
    EXPECT_EQ(ours.out, peer("md5sum " + files));
    EXPECT_EQ(ours.out.substr(0, 1), "\\");

    // And such a sum file checks out again.
    writeFile(dir / "sums", ours.out);
    const CliRun check = run("-c sums");
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, peer("md5sum -c sums"));
}

TEST_F(DigestCli, StringsAndFormats) {
    EXPECT_EQ(run("--string abc").out, "900150983cd24fb0d6963f7d28e17f72\n");
    EXPECT_EQ(run("-a crc32 --string 123456789 --format spaced-upper").out, "CB F4 39 26 \n");
    EXPECT_EQ(run("-a SHA1 --format upper --string abc").out,
              "A9993E364706816ABA3E25717850C26C9CD0D89D\n");
    EXPECT_EQ(run("-a md5 --format spaced --string ''").out,
              "d4 1d 8c d9 8f 00 b2 04 e9 80 09 98 ec f8 42 7e \n");
    EXPECT_EQ(run("-a Gost94-CryptoPro --string abc").out,
              "b285056dbf18d7392d7677369524dd14747459ed8143997e163b2986f92fd42c\n");
}

// -t is md5sum's text mode, not a string to digest; -b marks the line, --tag writes BSD lines.
TEST_F(DigestCli, ModeMarksAndTaggedLinesAreMd5sumsOwn) {
    writeFile(dir / "a", "abc");
    writeFile(dir / "b", "");
    for (const char* options : {"-t", "-b", "--tag", "-b --tag", "-t a"}) {
        const CliRun ours = run(std::string(options) + " a b");
        EXPECT_EQ(ours.status, 0) << options << ours.err;
        EXPECT_EQ(ours.out, peer(std::string("md5sum ") + options + " a b")) << options;
    }
    EXPECT_EQ(run("-a sha256 --tag b").out, peer("sha256sum --tag b"));
}

TEST_F(DigestCli, StandardInput) {
    EXPECT_EQ(run("-a sha256", "abc").out,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  -\n");
    EXPECT_EQ(run("-", "abc").out, "900150983cd24fb0d6963f7d28e17f72  -\n");
}

TEST_F(DigestCli, UnreadableFileAmongReadableOnes) {
    writeFile(dir / "one", "1");
    writeFile(dir / "two", "2");
    std::filesystem::create_directory(dir / "folder");
    const CliRun result = run("one missing folder two");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, peer("md5sum one two"));
    EXPECT_NE(result.err.find("'missing': No such file or directory"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("'folder': Is a directory"), std::string::npos) << result.err;
    // One line per failed file.
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2);
}

TEST_F(DigestCli, CheckReportsEachLineAndSummarises) {
    writeFile(dir / "good", "good");
    writeFile(dir / "changed", "before");
    writeFile(dir / "sums", peer("md5sum good changed"));
    writeFile(dir / "changed", "after");
    writeFile(dir / "sums", readFile(dir / "sums") +
                                "d41d8cd98f00b204e9800998ecf8427e  gone\n"
                                "not a sum line\n");
    const CliRun result = run("-c sums");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "good: OK\nchanged: FAILED\ngone: FAILED open or read\n");
    EXPECT_NE(result.err.find("WARNING: 1 line is improperly formatted"), std::string::npos);
    EXPECT_NE(result.err.find("WARNING: 1 listed file could not be read"), std::string::npos);
    EXPECT_NE(result.err.find("WARNING: 1 computed checksum did NOT match"), std::string::npos);
    EXPECT_NE(result.err.find("gone"), std::string::npos);

    writeFile(dir / "clean", peer("sha1sum good") + peer("sha1sum -b changed"));
    const CliRun clean = run("-a sha1 --check clean");
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.out, "good: OK\nchanged: OK\n");
    EXPECT_EQ(clean.err, "");

    // The tagged form of the sum tools' --tag is read too.
    writeFile(dir / "tagged", peer("sha1sum --tag good changed"));
    const CliRun tagged = run("-a sha1 -c tagged");
    EXPECT_EQ(tagged.status, 0) << tagged.err;
    EXPECT_EQ(tagged.out, "good: OK\nchanged: OK\n");

    // Upper-case digests are accepted, as the sum tools accept them.
    writeFile(dir / "upper",
              "770E607624D689265CA6C44884D0807D9B054D23C473C106C72BE9DE08B7376C  good\n");
    EXPECT_EQ(run("-a sha256 -c upper").out, "good: OK\n");
}

TEST_F(DigestCli, CheckWithoutAnyUsableLineFails) {
    writeFile(dir / "junk", "nothing here\n");
    const CliRun result = run("-c junk");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("no properly formatted checksum lines found"), std::string::npos);
    // A sum file of another algorithm has the wrong digest length: not a line for md5.
    writeFile(dir / "f", "f");
    writeFile(dir / "sha1sums", peer("sha1sum f"));
    EXPECT_EQ(run("-a md5 -c sha1sums").status, 1);
    EXPECT_EQ(run("-c missing-sums").status, 1);
    // Endless input without a line end is refused at once, not after reading it whole.
    const CliRun zero = run("-c /dev/zero");
    EXPECT_EQ(zero.status, 1);
    EXPECT_NE(zero.err.find("not a sum file"), std::string::npos) << zero.err;
}

// Without -a each line says its algorithm, by its tag or by its length; with -a, a line of
// another algorithm is improperly formatted.
TEST_F(DigestCli, CheckKnowsTheAlgorithmOfEachLine) {
    writeFile(dir / "f", "f");
    writeFile(dir / "g", "g");
    writeFile(dir / "sums", peer("sha1sum f") + peer("sha512sum --tag g") + peer("md5sum g") +
                                peer("sha256sum -b f") + peer("sha384sum f"));
    CliRun mixed = run("-c sums");
    EXPECT_EQ(mixed.status, 0) << mixed.err;
    EXPECT_EQ(mixed.out, "f: OK\ng: OK\ng: OK\nf: OK\nf: OK\n");
    writeFile(dir / "crc", run("-a crc32 f").out + run("-a gost94 --tag g").out);
    EXPECT_EQ(run("-c crc").out, "f: OK\ng: OK\n");

    mixed = run("-a sha1 -c sums --strict");
    EXPECT_EQ(mixed.status, 1);
    EXPECT_EQ(mixed.out, "f: OK\n");
    EXPECT_NE(mixed.err.find("WARNING: 4 lines are improperly formatted"), std::string::npos);
}

// An untagged line says its algorithm only by its length, which several share: a line of
// gost94, md4 or md2 is still verified, by the algorithm of its length that matches, and said.
TEST_F(DigestCli, CheckTriesEveryAlgorithmOfALinesLength) {
    writeFile(dir / "f", "f");
    writeFile(dir / "g", "g");
    for (const char* algorithm : {"gost94", "gost94-cryptopro", "md4", "md2"}) {
        SCOPED_TRACE(algorithm);
        writeFile(dir / "sums", run(std::string("-a ") + algorithm + " f g").out);
        const CliRun check = run("-c sums");
        EXPECT_EQ(check.status, 0) << check.err;
        EXPECT_EQ(check.out, "f: OK\ng: OK\n");
        EXPECT_EQ(check.err, std::string("velquor-cli: sums: 2 lines matched as ") + algorithm +
                                 " (-a " + algorithm + " names it)\n");
    }
    // A line that matches none of its length fails as before, and says that -a names another.
    writeFile(dir / "sums", run("-a gost94 f").out + run("-a md4 g").out);
    writeFile(dir / "g", "changed");
    const CliRun failed = run("-c sums");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "f: OK\ng: FAILED\n");
    EXPECT_NE(failed.err.find("g: matched as none of md5, md2 or md4, whose digests have this "
                              "length; give -a"),
              std::string::npos)
        << failed.err;
    EXPECT_NE(failed.err.find("WARNING: 1 computed checksum did NOT match"), std::string::npos);
}

// --ignore-missing passes over a file that is not there, never over one that is there and
// cannot be read: a folder in a file's place cannot be read even by root.
TEST_F(DigestCli, IgnoreMissingStillFailsAFileThatCannotBeRead) {
    writeFile(dir / "kept", "kept");
    writeFile(dir / "turned", "turned");
    writeFile(dir / "sums",
              peer("md5sum kept turned") + "d41d8cd98f00b204e9800998ecf8427e  gone\n");
    std::filesystem::remove(dir / "turned");
    std::filesystem::create_directory(dir / "turned");
    const CliRun check = run("-c --ignore-missing sums");
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, "kept: OK\nturned: FAILED open or read\n");
    EXPECT_NE(check.err.find("WARNING: 1 listed file could not be read"), std::string::npos)
        << check.err;
    EXPECT_EQ(check.err.find("gone"), std::string::npos) << check.err;
}

// Every option of md5sum -c gives md5sum's output and exit status, line for line; several sum
// files after -c are checked in turn, standard input among them.
TEST_F(DigestCli, CheckOptionsBehaveAsMd5sums) {
    writeFile(dir / "a", "a");
    writeFile(dir / "b", "b");
    writeFile(dir / "all", peer("md5sum a b") + "garbage\n# a comment\n" +
                               "d41d8cd98f00b204e9800998ecf8427e  missing\n");
    writeFile(dir / "clean", peer("md5sum a b"));
    writeFile(dir / "gone", "d41d8cd98f00b204e9800998ecf8427e  missing\n");
    writeFile(dir / "b", "changed");
    const std::string cases[] = {
        "all",
        "--quiet all",
        "--status all",
        "--status clean",
        "--ignore-missing all",
        "--ignore-missing --quiet clean",
        "--ignore-missing gone",
        "--strict clean",
        "--strict all",
        "-w all",
        "clean gone",
        "- all",  // standard input gives the clean sums
    };
    const auto withoutProgramName = [](std::string text, const std::string& program) {
        for (std::size_t at = 0; (at = text.find(program + ": ", at)) != std::string::npos;) {
            text.erase(at, program.size() + 2);
        }
        return text;
    };
    for (const std::string& options : cases) {
        int peerStatus = -1;
        const std::string peerErr = dir.path() / "peer.err";
        const std::string peerOut =
            runCommand("cd " + shellQuote(dir.path().string()) + " && md5sum -c " + options +
                           " 2>" + shellQuote(peerErr) + " < clean",
                       &peerStatus);
        const CliRun ours = run("-c " + options, readFile(dir / "clean"));
        EXPECT_EQ(ours.out, peerOut) << options;
        EXPECT_EQ(ours.status, peerStatus) << options;
        // The warnings and verdicts on stderr, apart from the wording of an open error.
        std::string peerWarnings = withoutProgramName(readFile(peerErr), "md5sum");
        std::string ourWarnings = withoutProgramName(ours.err, "velquor-cli");
        for (std::string* text : {&peerWarnings, &ourWarnings}) {
            for (const char* open : {"missing: No such file or directory\n",
                                     "cannot open 'missing': No such file or directory\n"}) {
                if (const auto at = text->find(open); at != std::string::npos) {
                    text->erase(at, std::string(open).size());
                }
            }
            // Ours says, of a line that failed, which algorithms of its length were tried.
            for (std::size_t at; (at = text->find(": matched as none of")) != std::string::npos;) {
                const std::size_t start = text->rfind('\n', at);
                const std::size_t from = start == std::string::npos ? 0 : start + 1;
                text->erase(from, text->find('\n', at) + 1 - from);
            }
            // md5sum names its own algorithm in -w's line; ours names -a's or none.
            if (const auto at = text->find("formatted MD5 checksum"); at != std::string::npos) {
                text->erase(at + 10, 4);
            }
        }
        EXPECT_EQ(ourWarnings, peerWarnings) << options;
    }
}

// "DIGEST NAME" with one blank (or a tab), as some tools write it: taken as md5sum takes it,
// where the first plain line of a check decides whether a blank or star may lead a name.
TEST_F(DigestCli, CheckTakesOneBlankBeforeTheNameAsMd5sumDoes) {
    writeFile(dir / "a", "a");
    writeFile(dir / "b", "b");
    const std::string a = peer("md5sum a").substr(0, 32);
    const std::string b = peer("md5sum b").substr(0, 32);
    writeFile(dir / "one", a + " a\n");
    writeFile(dir / "two-then-one", a + "  a\n" + b + " b\n");
    writeFile(dir / "one-then-two", a + " a\n" + b + "  b\n" + b + " *b\n");
    writeFile(dir / "tabs", a + "\ta\n" + b + "\t b\n");
    writeFile(dir / "star-then-one", a + " *a\n" + b + " b\n");
    writeFile(dir / "bad-then-two", a.substr(0, 31) + "x a\n" + b + "  b\n");
    writeFile(dir / "short", a + " \n");
    for (const char* files : {"one", "two-then-one", "one-then-two", "tabs", "star-then-one",
                              "bad-then-two", "short", "two-then-one one", "one two-then-one"}) {
        int peerStatus = -1;
        const std::string peerOut = runCommand(
            "cd " + shellQuote(dir.path().string()) + " && md5sum -c " + files + " 2>/dev/null",
            &peerStatus);
        const CliRun ours = run(std::string("-c ") + files);
        EXPECT_EQ(ours.out, peerOut) << files;
        EXPECT_EQ(ours.status, peerStatus) << files << "\n" << ours.err;
    }
}

TEST_F(DigestCli, InterruptStopsAnEndlessInput) {
    // /dev/zero never ends: only the interrupt can stop the digest, and it must say so rather
    // than print a digest of what was read so far.
    const std::string command =
        shellQuote(VELQUOR_CLI_PATH) + " digest /dev/zero >out.txt 2>err.txt & pid=$!; " +
        shellAwaitStopHandlers("pid", "velquor-cli") + "kill -INT $pid; wait $pid; echo $?";
    const std::string status = peer(command);
    EXPECT_EQ(status, "130\n") << "the shell's status for Ctrl-C";
    EXPECT_EQ(readFile(dir / "out.txt"), "");
    EXPECT_NE(readFile(dir / "err.txt").find("cancelled"), std::string::npos);
}

TEST_F(DigestCli, UsageErrors) {
    writeFile(dir / "f", "f");
    const CliRun unknown = run("-a sha3 f");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown algorithm 'sha3'"), std::string::npos);
    EXPECT_EQ(run("--format fancy f").status, 2);
    EXPECT_EQ(run("--string abc f").status, 2);
    EXPECT_EQ(run("--bogus").status, 2);
    // md5sum refuses the options that mean nothing where they are given.
    for (const char* misplaced :
         {"--quiet f", "--status f", "--strict f", "-w f", "--ignore-missing f", "-c -b f",
          "-c --tag f", "-c --string x", "--tag -t f"}) {
        const CliRun refused = run(misplaced);
        EXPECT_EQ(refused.status, 2) << misplaced;
        EXPECT_NE(refused.err.find("usage:"), std::string::npos) << misplaced;
    }
}

#endif

}  // namespace
}  // namespace velquor::testing
