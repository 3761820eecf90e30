// EncryptConfigFile / DecryptConfigFile on real files: the format's edge cases, the
// reports and results of each failure, and what is left on disk after a failure or a stop.
#include "crypto/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "crypto/plaintext_check.h"
#include "crypto_test_util.h"
#include "file_size_limit.h"
#include "temp_dir.h"
#include "unprivileged.h"

namespace velquor::crypto {
namespace {

namespace fs = std::filesystem;
using support::ErrorCode;
using support::RecordingReporter;
using testing::FileSizeLimit;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr char kKey[] = "provisioning";

class ConfigFile : public ::testing::Test {
protected:
    std::string encrypt(const std::string& plain, const std::string& key = kKey) {
        writeFile(dir / "plain", plain);
        const auto status =
            EncryptConfigFile((dir / "plain").string(), (dir / "cipher").string(), key, reporter);
        EXPECT_TRUE(status.ok()) << status.error().message;
        return readFile(dir / "cipher");
    }
    std::string decrypt(const std::string& cipher, const std::string& key = kKey) {
        writeFile(dir / "cipher", cipher);
        const auto status = DecryptConfigFile((dir / "cipher").string(),
                                              (dir / "plain.out").string(), key, reporter);
        EXPECT_TRUE(status.ok()) << status.error().message;
        return readFile(dir / "plain.out");
    }
    // Everything in the folder but the named files: temporary leftovers show up here.
    std::vector<std::string> strayFiles(std::initializer_list<const char*> expected) {
        std::vector<std::string> stray;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            const auto name = entry.path().filename().string();
            if (std::find(expected.begin(), expected.end(), name) == expected.end()) {
                stray.push_back(name);
            }
        }
        return stray;
    }

    TempDir dir;
    RecordingReporter reporter;
    std::mt19937 rng{2024};
};

TEST_F(ConfigFile, LengthsRoundUpToWholeBlocksWithZeroCompletion) {
    EXPECT_EQ(encrypt(std::string(16, 'a')).size(), 16u);
    const std::string seventeen = test::randomBytes(17, rng);
    const std::string cipher = encrypt(seventeen);
    ASSERT_EQ(cipher.size(), 32u);
    EXPECT_EQ(cipher, test::modelEncrypt(seventeen, kKey));
    // The second block is the 17th byte followed by fifteen zero bytes.
    CAes aes;
    aes.Init(static_cast<int>(sizeof kKey - 1), reinterpret_cast<const unsigned char*>(kKey));
    unsigned char last[16];
    aes.InvCipher(reinterpret_cast<const unsigned char*>(cipher.data()) + 16, last);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(last), 16),
              seventeen.substr(16) + std::string(15, '\0'));
    EXPECT_TRUE(reporter.entries().empty());
}

TEST_F(ConfigFile, EmptyFilesGiveCreatedEmptyFiles) {
    EXPECT_EQ(encrypt(""), "");
    ASSERT_TRUE(fs::exists(dir / "cipher"));
    EXPECT_EQ(decrypt(""), "");
    ASSERT_TRUE(fs::exists(dir / "plain.out"));
}

TEST_F(ConfigFile, TextRoundTripsByteForByte) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config>\n  <sip port=\"5060\"/>\n"
        "  <name>Écran d'accueil</name>\n</config>\n";
    EXPECT_EQ(decrypt(encrypt(xml)), xml);
    const std::string binaryButNoZeros = test::randomBytes(4099, rng, true);
    EXPECT_EQ(decrypt(encrypt(binaryButNoZeros)), binaryButNoZeros);
}

TEST_F(ConfigFile, ZeroByteCutsOnlyInTheLastFullBlock) {
    std::string forty(40, 'x');
    forty[5] = '\0';   // in an earlier block: kept
    forty[35] = '\0';  // in the last (partial) block: the text ends there
    EXPECT_EQ(decrypt(encrypt(forty)), forty.substr(0, 35));

    std::string thirtyTwo(32, 'y');
    thirtyTwo[20] = '\0';
    EXPECT_EQ(decrypt(encrypt(thirtyTwo)), thirtyTwo.substr(0, 20));

    std::string zeroFirst(16, 'z');
    zeroFirst[0] = '\0';
    EXPECT_EQ(decrypt(encrypt(zeroFirst)), "");
}

TEST_F(ConfigFile, DecryptRefusesSizesNoEncryptionWritesAndLeavesTheTargetAlone) {
    // A size that is not whole blocks is no file of this format: decrypting it used to write
    // noise and call it a success.
    const std::string cipher = test::modelEncrypt(std::string(40, 'p'), kKey);
    writeFile(dir / "plain.out", "earlier");
    for (std::size_t cut : {std::size_t{1}, std::size_t{5}, std::size_t{15}}) {
        writeFile(dir / "cipher", cipher.substr(0, cipher.size() - cut));
        reporter.clear();
        const auto status = DecryptConfigFile((dir / "cipher").string(),
                                              (dir / "plain.out").string(), kKey, reporter);
        ASSERT_FALSE(status.ok()) << cut;
        EXPECT_EQ(status.error().code, ErrorCode::InvalidInput);
        EXPECT_NE(status.error().message.find("not a multiple of 16"), std::string::npos);
        ASSERT_EQ(reporter.entries().size(), 1u);
        EXPECT_EQ(reporter.entries()[0].caption, "error");
        EXPECT_EQ(readFile(dir / "plain.out"), "earlier");
    }
    EXPECT_TRUE(strayFiles({"cipher", "plain.out"}).empty());
}

TEST_F(ConfigFile, DecryptHandsBackTheStartOfWhatItWrote) {
    const std::string plain = "<config>" + std::string(3000, 'x') + "</config>";
    writeFile(dir / "cipher", test::modelEncrypt(plain, kKey));
    for (const char* key : {kKey, "another key"}) {
        std::string start = "left from an earlier call";
        ConfigFileOptions options;
        options.outputStart = &start;
        ASSERT_TRUE(DecryptConfigFile((dir / "cipher").string(), (dir / "plain.out").string(), key,
                                      reporter, options)
                        .ok());
        EXPECT_EQ(start, readFile(dir / "plain.out").substr(0, kTextSampleBytes));
        EXPECT_EQ(looksLikeText(start), std::string(key) == kKey) << key;
    }
}

// A doubtful run is decided from its first data, before a byte reaches the output: a wrong key's
// noise, or an encryption's input that is no text and whole blocks. No keeps the old output
// byte for byte and leaves no temporary file; Yes writes everything.
TEST_F(ConfigFile, ADoubtfulRunAsksFirstAndANoKeepsTheOldOutput) {
    const std::string good = "<config>good</config>\n";
    for (std::size_t size : {std::size_t{40}, std::size_t{300000}}) {
        const std::string plain = "<config>" + std::string(size, 'x') + "</config>";
        writeFile(dir / "cipher", test::modelEncrypt(plain, kKey));
        std::vector<Doubt> asked;
        bool answer = false;
        ConfigFileOptions options;
        options.whenDoubtful = [&](Doubt doubt) {
            asked.push_back(doubt);
            return answer;
        };
        writeFile(dir / "plain.out", good);
        auto refused = DecryptConfigFile((dir / "cipher").string(), (dir / "plain.out").string(),
                                         "wrong key", reporter, options);
        ASSERT_FALSE(refused.ok()) << size;
        EXPECT_EQ(refused.error().code, ErrorCode::Refused);
        EXPECT_EQ(refused.error().message, doubtText(Doubt::WrongKey, ""));
        EXPECT_EQ(asked, std::vector<Doubt>{Doubt::WrongKey});
        EXPECT_TRUE(reporter.entries().empty()) << "an answer is no failure to report";
        EXPECT_EQ(readFile(dir / "plain.out"), good);
        EXPECT_TRUE(strayFiles({"cipher", "plain.out"}).empty());

        asked.clear();
        ASSERT_TRUE(DecryptConfigFile((dir / "cipher").string(), (dir / "plain.out").string(), kKey,
                                      reporter, options)
                        .ok());
        EXPECT_TRUE(asked.empty()) << "the right key raises no doubt";
        EXPECT_EQ(readFile(dir / "plain.out"), plain);

        answer = true;
        ASSERT_TRUE(DecryptConfigFile((dir / "cipher").string(), (dir / "plain.out").string(),
                                      "wrong key", reporter, options)
                        .ok());
        EXPECT_EQ(asked.size(), 1u);
        EXPECT_EQ(readFile(dir / "plain.out").size(),
                  test::modelDecrypt(readFile(dir / "cipher"), "wrong key").size());
    }
}

TEST_F(ConfigFile, EncryptingWhatLooksEncryptedAlreadyIsTheDoubt) {
    std::vector<Doubt> asked;
    ConfigFileOptions options;
    options.whenDoubtful = [&](Doubt doubt) {
        asked.push_back(doubt);
        return false;
    };
    const auto encryptTo = [&](const std::string& input, const char* output) {
        writeFile(dir / "in", input);
        return EncryptConfigFile((dir / "in").string(), (dir / output).string(), kKey, reporter,
                                 options);
    };
    const std::string cipher = test::modelEncrypt("<config>" + std::string(50, 'y'), kKey);
    const auto twice = encryptTo(cipher, "twice");
    ASSERT_FALSE(twice.ok());
    EXPECT_EQ(twice.error().message,
              (dir / "in").string() +
                  " does not look like a configuration file: it may be encrypted already");
    EXPECT_EQ(asked, std::vector<Doubt>{Doubt::EncryptedAlready});
    EXPECT_FALSE(fs::exists(dir / "twice"));

    asked.clear();
    EXPECT_TRUE(encryptTo("<config>text</config>", "text").ok());
    EXPECT_TRUE(encryptTo(cipher + "x", "odd").ok()) << "not whole blocks: not this format";
    EXPECT_TRUE(encryptTo("", "empty").ok());
    EXPECT_TRUE(asked.empty());
    options.whenDoubtful = nullptr;  // as a generation run's copies are made
    EXPECT_TRUE(encryptTo(cipher, "unasked").ok());
    EXPECT_EQ(readFile(dir / "unasked").size(), cipher.size());
}

TEST_F(ConfigFile, LargeInputsAroundTheReadSizeMatchTheBlockByBlockModel) {
    // The operations read 128 KiB at a time and decryption holds the last block of a read
    // back: lengths on and around that boundary and its multiples, with a zero byte in the
    // final full block.
    const std::size_t chunk = std::size_t{128} << 10;
    for (std::size_t size : {chunk - 16, chunk - 1, chunk, chunk + 5, chunk + 16, chunk + 17,
                             2 * chunk + 21, 8 * chunk, 8 * chunk + 3}) {
        std::string plain = test::randomBytes(size, rng, true);
        plain[(size / 16 - 1) * 16 + 9] = '\0';
        const std::string cipher = test::modelEncrypt(plain, kKey);
        EXPECT_EQ(encrypt(plain), cipher) << size;
        EXPECT_EQ(decrypt(cipher), test::modelDecrypt(cipher, kKey)) << size;
    }
}

TEST_F(ConfigFile, EmptyInputPathDoesNothing) {
    for (auto operation : {EncryptConfigFile, DecryptConfigFile}) {
        const auto status = operation("", (dir / "out").string(), kKey, reporter, {});
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().code, ErrorCode::InvalidInput);
        EXPECT_EQ(status.error().message, "no input file chosen");
    }
    EXPECT_TRUE(reporter.entries().empty());
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(ConfigFile, UnopenableInputReportsTheProductsTextsAndWritesNothing) {
    const auto missing = (dir / "missing.xml").string();
    auto status = EncryptConfigFile(missing, (dir / "out").string(), kKey, reporter);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().code, ErrorCode::NotFound);
    EXPECT_NE(status.error().message.find(missing), std::string::npos);
    status = DecryptConfigFile(missing, (dir / "out").string(), kKey, reporter);
    ASSERT_FALSE(status.ok());
    fs::create_directory(dir / "folder");
    status = EncryptConfigFile((dir / "folder").string(), (dir / "out").string(), kKey, reporter);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().message.find("folder"), std::string::npos);

    const std::vector<RecordingReporter::Entry> expected = {
        {"file open error", "error"}, {"file open error !", "error"}, {"file open error", "error"}};
    EXPECT_EQ(reporter.entries(), expected);
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(ConfigFile, OutputThatIsTheInputIsRefusedWhateverThePath) {
    const std::string original = test::randomBytes(1000, rng);
    fs::create_directory(dir / "sub");
    writeFile(dir / "input.xml", original);
    fs::create_symlink(dir / "input.xml", dir / "link.xml");
    fs::create_hard_link(dir / "input.xml", dir / "hard.xml");
    for (const auto& output : {dir / "sub" / ".." / "input.xml", dir / "link.xml", dir / "hard.xml",
                               dir / "." / "input.xml"}) {
        for (auto operation : {EncryptConfigFile, DecryptConfigFile}) {
            reporter.clear();
            const auto status =
                operation((dir / "input.xml").string(), output.string(), kKey, reporter, {});
            ASSERT_FALSE(status.ok()) << output;
            EXPECT_EQ(status.error().code, ErrorCode::SameFile) << output;
            ASSERT_EQ(reporter.entries().size(), 1u);
            EXPECT_EQ(reporter.entries()[0].caption, "error");
            EXPECT_EQ(reporter.entries()[0].text, status.error().message);
        }
    }
    EXPECT_EQ(readFile(dir / "input.xml"), original);
    EXPECT_TRUE(fs::is_symlink(dir / "link.xml"));
    EXPECT_EQ(strayFiles({"input.xml", "link.xml", "hard.xml", "sub"}), std::vector<std::string>{});
}

TEST_F(ConfigFile, UnwritableDestinationLeavesEverythingAsItWas) {
    writeFile(dir / "input.xml", "<config/>");
    // A folder that does not exist.
    auto status = EncryptConfigFile((dir / "input.xml").string(),
                                    (dir / "nowhere" / "out.xml").string(), kKey, reporter);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.error().message.find("nowhere"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "nowhere"));

    // A target that is a folder with something in it.
    fs::create_directory(dir / "target");
    writeFile(dir / "target" / "keep", "kept");
    status =
        DecryptConfigFile((dir / "input.xml").string(), (dir / "target").string(), kKey, reporter);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(readFile(dir / "target" / "keep"), "kept");

    // No output name at all.
    status = EncryptConfigFile((dir / "input.xml").string(), "", kKey, reporter);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message, "no output file chosen");

    const std::vector<RecordingReporter::Entry> expected = {
        {"file open error", "error"}, {"file open error", "error"}, {"file open error", "error"}};
    EXPECT_EQ(reporter.entries(), expected);
    EXPECT_EQ(strayFiles({"input.xml", "target"}), std::vector<std::string>{});
}

TEST_F(ConfigFile, ReadOnlyFolderLeavesTheExistingTargetUnchanged) {
    writeFile(dir / "input.xml", "<config/>");
    fs::create_directory(dir / "locked");
    writeFile(dir / "locked" / "out.xml", "previous");
    testing::handOverToUnprivileged(dir.path());
    testing::handOverToUnprivileged(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const auto failure = testing::runUnprivileged([&]() -> std::string {
        const auto status = EncryptConfigFile(
            (dir / "input.xml").string(), (dir / "locked" / "out.xml").string(), kKey, reporter);
        if (status.ok()) return "a read-only folder took the output";
        if (status.error().code != ErrorCode::Io)
            return "not an I/O error: " + status.error().message;
        return {};
    });
    fs::permissions(dir / "locked", fs::perms::owner_all);
    if (!failure) GTEST_SKIP() << "running as root and cannot become an unprivileged user";
    EXPECT_EQ(*failure, "");
    EXPECT_EQ(readFile(dir / "locked" / "out.xml"), "previous");
}

TEST_F(ConfigFile, WriteFailingPartWayKeepsTheOldTargetAndSaysWhy) {
    // Over a chunk, so that the failure comes after whole chunks went out.
    writeFile(dir / "input.xml", test::randomBytes((1 << 20) + 4000, rng, true));
    writeFile(dir / "out.xml", "the previous good file");
    const std::string target = (dir / "out.xml").string();
    for (auto operation : {EncryptConfigFile, DecryptConfigFile}) {
        reporter.clear();
        support::Status status;
        {
            const FileSizeLimit limit(3000);
            status = operation((dir / "input.xml").string(), target, kKey, reporter, {});
        }
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().code, ErrorCode::Io);
        EXPECT_NE(status.error().message.find(target), std::string::npos) << status.error().message;
        EXPECT_NE(status.error().message.find("too large"), std::string::npos)
            << status.error().message;
        // Not the product's "file open error": that would send the user looking at the input.
        ASSERT_EQ(reporter.entries().size(), 1u);
        EXPECT_EQ(reporter.entries()[0].text, status.error().message);
        EXPECT_EQ(reporter.entries()[0].caption, "error");
    }
    EXPECT_EQ(readFile(dir / "out.xml"), "the previous good file");
    EXPECT_EQ(strayFiles({"input.xml", "out.xml"}), std::vector<std::string>{});
}

// Asks for a stop once the first chunk has been reported.
class StopAfterFirstChunk final : public support::ProgressSink {
public:
    explicit StopAfterFirstChunk(std::stop_source& source) : m_source(source) {}
    void progress(std::uint64_t done, std::uint64_t total, std::string_view) override {
        reports.push_back({done, total});
        m_source.request_stop();
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;

private:
    std::stop_source& m_source;
};

TEST_F(ConfigFile, StoppedRunLeavesTheOldTargetUntouched) {
    writeFile(dir / "input.xml", test::randomBytes(3 << 20, rng));
    writeFile(dir / "out.xml", "the previous good file");
    for (auto operation : {EncryptConfigFile, DecryptConfigFile}) {
        std::stop_source source;
        StopAfterFirstChunk sink(source);
        ConfigFileOptions options;
        options.progress = &sink;
        options.stop = source.get_token();
        const auto status = operation((dir / "input.xml").string(), (dir / "out.xml").string(),
                                      kKey, reporter, options);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().code, ErrorCode::Cancelled);
        ASSERT_EQ(sink.reports.size(), 1u);
        EXPECT_LT(sink.reports[0].first, sink.reports[0].second);
    }
    // Stopped before it began: the target is not even created.
    std::stop_source stopped;
    stopped.request_stop();
    ConfigFileOptions options;
    options.stop = stopped.get_token();
    const auto status = EncryptConfigFile((dir / "input.xml").string(), (dir / "new.xml").string(),
                                          kKey, reporter, options);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().code, ErrorCode::Cancelled);

    EXPECT_EQ(readFile(dir / "out.xml"), "the previous good file");
    EXPECT_TRUE(reporter.entries().empty());
    EXPECT_EQ(strayFiles({"input.xml", "out.xml"}), std::vector<std::string>{});
}

class RecordingProgress final : public support::ProgressSink {
public:
    void progress(std::uint64_t done, std::uint64_t total, std::string_view) override {
        reports.push_back({done, total});
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
};

TEST_F(ConfigFile, ProgressCountsInputBytesUpToTheTotal) {
    const std::size_t size = (5 << 20) / 2 + 3;
    writeFile(dir / "input.xml", test::randomBytes(size, rng));
    RecordingProgress sink;
    ConfigFileOptions options;
    options.progress = &sink;
    options.durability = support::Durability::Deferred;
    ASSERT_TRUE(EncryptConfigFile((dir / "input.xml").string(), (dir / "out").string(), kKey,
                                  reporter, options));
    ASSERT_GE(sink.reports.size(), 3u);
    for (std::size_t i = 0; i < sink.reports.size(); ++i) {
        EXPECT_EQ(sink.reports[i].second, size);
        if (i > 0) {
            EXPECT_GT(sink.reports[i].first, sink.reports[i - 1].first);
        }
    }
    EXPECT_EQ(sink.reports.back().first, size);
    EXPECT_EQ(fs::file_size(dir / "out"), size + 13);
}

}  // namespace
}  // namespace velquor::crypto
