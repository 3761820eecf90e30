// `velquor-cli digest` as a user runs it: output lines, formats, --text, --check, standard
// input, unreadable files among readable ones, and exit statuses.
#include <gtest/gtest.h>

#include <algorithm>

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

TEST_F(DigestCli, TextAndFormats) {
    EXPECT_EQ(run("--text abc").out, "900150983cd24fb0d6963f7d28e17f72\n");
    EXPECT_EQ(run("-a crc32 --text 123456789 --format spaced-upper").out, "CB F4 39 26 \n");
    EXPECT_EQ(run("-a sha1 --format upper --text abc").out,
              "A9993E364706816ABA3E25717850C26C9CD0D89D\n");
    EXPECT_EQ(run("-a md5 --format spaced --text ''").out,
              "d4 1d 8c d9 8f 00 b2 04 e9 80 09 98 ec f8 42 7e \n");
    EXPECT_EQ(run("-a gost94-cryptopro --text abc").out,
              "b285056dbf18d7392d7677369524dd14747459ed8143997e163b2986f92fd42c\n");
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
    EXPECT_EQ(run("-c sha1sums").status, 1);
    EXPECT_EQ(run("-c missing-sums").status, 1);
}

TEST_F(DigestCli, InterruptStopsAnEndlessInput) {
    // /dev/zero never ends: only the interrupt can stop the digest, and it must say so rather
    // than print a digest of what was read so far.
    const std::string command = shellQuote(VELQUOR_CLI_PATH) +
                                " digest /dev/zero >out.txt 2>err.txt & pid=$!; sleep 0.5; "
                                "kill -INT $pid; wait $pid; echo $?";
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
    EXPECT_EQ(run("--text abc f").status, 2);
    EXPECT_EQ(run("-c sums f").status, 2);
    EXPECT_EQ(run("--bogus").status, 2);
}

#endif

}  // namespace
}  // namespace velquor::testing
