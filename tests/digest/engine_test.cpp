// CDigestEngine: defaults, setter clamping, the four output formats, the file route with its
// failures, and the cancellable, progress-reporting file digest the GUI runs off its thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "digest/digest_engine.h"
#include "digest_test_support.h"
#include "temp_dir.h"

namespace velquor::digest::testing {
namespace {

using velquor::testing::TempDir;
using velquor::testing::writeFile;

constexpr const char* kMd5Empty = "d41d8cd98f00b204e9800998ecf8427e";
constexpr const char* kMd5Abc = "900150983cd24fb0d6963f7d28e17f72";

CDigestEngine textEngine(std::int32_t algorithm, std::string text,
                         std::int32_t format = kFormatPlain) {
    CDigestEngine engine;
    engine.SetAlgorithm(algorithm);
    engine.setInputText(std::move(text));
    engine.SetOutputFormat(format);
    return engine;
}

TEST(DigestEngine, FreshEngineGivesSha1OfTheEmptyText) {
    CDigestEngine engine;
    EXPECT_EQ(engine.algorithm(), kAlgorithmSha1);
    EXPECT_EQ(engine.inputKind(), kInputText);
    EXPECT_EQ(engine.sha2Size(), 256);
    EXPECT_EQ(engine.Compute(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(DigestEngine, SettersClampWhatTheyMust) {
    CDigestEngine engine;
    for (int format : {0, 5, -1, 100}) {
        engine.SetOutputFormat(3);
        engine.SetOutputFormat(format);
        EXPECT_EQ(engine.outputFormat(), kFormatPlain) << format;
    }
    for (int kind : {0, 3, -2}) {
        engine.SetInputKind(kInputFile);
        engine.SetInputKind(kind);
        EXPECT_EQ(engine.inputKind(), kInputText) << kind;
    }
    engine.SetAlgorithm(12345);  // stored unchanged
    EXPECT_EQ(engine.algorithm(), 12345);
    engine.SetFilePath(nullptr);
    EXPECT_EQ(engine.filePath(), "");
}

TEST(DigestEngine, UnknownAlgorithmGivesEmptyTextInEveryFormat) {
    for (int algorithm : {0, 8, -1, 99}) {
        for (int format = 1; format <= 4; ++format) {
            auto engine = textEngine(algorithm, "abc", format);
            EXPECT_EQ(engine.Compute(), "") << algorithm << '/' << format;
        }
    }
}

TEST(DigestEngine, FormatsSpaceEveryPairAndUpperCaseOnlyLetters) {
    EXPECT_EQ(textEngine(kAlgorithmCrc32, "").Compute(), "00000000");
    EXPECT_EQ(textEngine(kAlgorithmCrc32, "", kFormatSpaced).Compute(), "00 00 00 00 ");
    EXPECT_EQ(textEngine(kAlgorithmCrc32, "123456789", kFormatSpacedUpper).Compute(),
              "CB F4 39 26 ");
    EXPECT_EQ(textEngine(kAlgorithmMd5, "abc", kFormatUpper).Compute(),
              "900150983CD24FB0D6963F7D28E17F72");
    const std::string spacedUpper = textEngine(kAlgorithmMd5, "abc", kFormatSpacedUpper).Compute();
    EXPECT_EQ(spacedUpper.size(), 48u);
    EXPECT_EQ(spacedUpper, "90 01 50 98 3C D2 4F B0 D6 96 3F 7D 28 E1 7F 72 ");
    EXPECT_EQ(applyOutputFormat("", kFormatSpaced), "");
    EXPECT_EQ(applyOutputFormat("", kFormatSpacedUpper), "");
    EXPECT_EQ(applyOutputFormat("0a9f", kFormatUpper), "0A9F");
}

TEST(DigestEngine, TextLengthsPerAlgorithm) {
    const std::pair<int, std::size_t> lengths[] = {
        {kAlgorithmCrc32, 8}, {kAlgorithmGost, 64}, {kAlgorithmMd2, 32}, {kAlgorithmMd4, 32},
        {kAlgorithmMd5, 32},  {kAlgorithmSha1, 40}, {kAlgorithmSha2, 64}};
    for (const auto& [algorithm, length] : lengths) {
        EXPECT_EQ(textEngine(algorithm, "x").Compute().size(), length) << algorithm;
    }
}

TEST(DigestEngine, Sha2SizeChoosesTheVariant) {
    auto engine = textEngine(kAlgorithmSha2, "abc");
    EXPECT_EQ(engine.Compute().substr(0, 8), "ba7816bf");
    engine.setSha2Size(384);
    EXPECT_EQ(engine.Compute().size(), 96u);
    engine.setSha2Size(64);
    EXPECT_EQ(engine.Compute().substr(0, 8), "ddaf35a1");
    engine.setSha2Size(224);
    EXPECT_EQ(engine.Compute(), "");
    EXPECT_FALSE(engine.computeText("abc").ok());
}

TEST(DigestEngine, TextWithZeroBytesIsDigestedWhole) {
    // Every algorithm, CRC-32 included, covers the text's whole length.
    const std::string withZero("a\0b", 3);
    EXPECT_NE(textEngine(kAlgorithmCrc32, withZero).Compute(),
              textEngine(kAlgorithmCrc32, "a").Compute());
    EXPECT_NE(textEngine(kAlgorithmMd5, withZero).Compute(),
              textEngine(kAlgorithmMd5, "a").Compute());
}

class EngineFiles : public ::testing::Test {
protected:
    CDigestEngine fileEngine(std::int32_t algorithm, const std::string& path) {
        CDigestEngine engine;
        engine.SetInputKind(kInputFile);
        engine.SetFilePath(path.c_str());
        engine.SetOutputFormat(kFormatPlain);
        engine.SetAlgorithm(algorithm);
        return engine;
    }
    TempDir dir;
};

TEST_F(EngineFiles, ZeroByteFileGetsTheDigestOfTheEmptyMessage) {
    writeFile(dir / "empty", "");
    EXPECT_EQ(fileEngine(kAlgorithmMd5, (dir / "empty").string()).Compute(), kMd5Empty);
    EXPECT_EQ(fileEngine(kAlgorithmCrc32, (dir / "empty").string()).Compute(), "00000000");
    EXPECT_EQ(fileEngine(kAlgorithmSha1, (dir / "empty").string()).Compute(),
              "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST_F(EngineFiles, UnreadableFileGivesEmptyTextForEveryAlgorithm) {
    const std::string missing = (dir / "missing").string();
    for (int algorithm = kAlgorithmCrc32; algorithm <= kAlgorithmSha2; ++algorithm) {
        EXPECT_EQ(fileEngine(algorithm, missing).Compute(), "") << algorithm;
        EXPECT_EQ(fileEngine(algorithm, "").Compute(), "") << algorithm;
        EXPECT_EQ(fileEngine(algorithm, dir.path().string()).Compute(), "") << algorithm;
    }
}

TEST_F(EngineFiles, TextAndFileRoutesAgreeAcrossChunkBoundaries) {
    std::string content;
    for (std::size_t i = 0; content.size() < (1u << 20) * 2 + 16000 * 3; ++i) {
        content += static_cast<char>((i * 131 + i / 7) & 0xFF);
    }
    for (std::size_t length : {std::size_t{16000}, std::size_t{32000}, std::size_t{1} << 20,
                               (std::size_t{1} << 20) + 1, content.size()}) {
        const std::string part = content.substr(0, length);
        writeFile(dir / "data", part);
        for (int algorithm = kAlgorithmCrc32; algorithm <= kAlgorithmSha2; ++algorithm) {
            auto fromFile = fileEngine(algorithm, (dir / "data").string());
            EXPECT_EQ(fromFile.Compute(), textEngine(algorithm, part).Compute())
                << algorithm << " length " << length;
        }
    }
}

TEST_F(EngineFiles, SecondComputeSeesTheChangedFile) {
    const std::string path = (dir / "f").string();
    writeFile(path, "abc");
    auto engine = fileEngine(kAlgorithmMd5, path);
    EXPECT_EQ(engine.Compute(), kMd5Abc);
    EXPECT_EQ(engine.Compute(), kMd5Abc);
    writeFile(path, "");
    EXPECT_EQ(engine.Compute(), kMd5Empty);
    std::filesystem::remove(path);
    EXPECT_EQ(engine.Compute(), "");
}

class RecordingProgress final : public support::ProgressSink {
public:
    void progress(std::uint64_t done, std::uint64_t total, std::string_view) override {
        EXPECT_GE(done, last);
        last = done;
        lastTotal = total;
        ++calls;
    }
    std::uint64_t last = 0;
    std::uint64_t lastTotal = 0;
    int calls = 0;
};

TEST_F(EngineFiles, ComputeFileReportsProgressToTheEnd) {
    const std::string content(3 * (1u << 20) + 5, 'z');
    writeFile(dir / "big", content);
    const auto engine = fileEngine(kAlgorithmMd5, "");
    RecordingProgress progress;
    const auto text = engine.computeFile((dir / "big").string(), progress, std::stop_token{});
    ASSERT_TRUE(text.ok()) << text.error().message;
    EXPECT_EQ(*text, textEngine(kAlgorithmMd5, content).Compute());
    EXPECT_GE(progress.calls, 4);
    EXPECT_EQ(progress.last, content.size());
    EXPECT_EQ(progress.lastTotal, content.size());
}

// Stops the work from inside the sink once some bytes are done, as a Cancel button would.
class CancellingProgress final : public support::ProgressSink {
public:
    explicit CancellingProgress(std::stop_source& source) : m_source(source) {}
    void progress(std::uint64_t done, std::uint64_t, std::string_view) override {
        if (done > 0) m_source.request_stop();
    }

private:
    std::stop_source& m_source;
};

TEST_F(EngineFiles, ComputeFileStopsWhenCancelled) {
    writeFile(dir / "big", std::string(4 * (1u << 20), 'c'));
    const auto engine = fileEngine(kAlgorithmSha1, "");
    std::stop_source source;
    CancellingProgress progress(source);
    const auto text = engine.computeFile((dir / "big").string(), progress, source.get_token());
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error().code, support::ErrorCode::Cancelled);

    std::stop_source already;
    already.request_stop();
    support::NullProgress quiet;
    const auto stopped = engine.computeFile((dir / "big").string(), quiet, already.get_token());
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().code, support::ErrorCode::Cancelled);
}

TEST_F(EngineFiles, ComputeFileErrorsNameThePathAndTheReason) {
    const auto engine = fileEngine(kAlgorithmMd5, "");
    support::NullProgress quiet;
    const std::string missing = (dir / "no such file").string();
    const auto notFound = engine.computeFile(missing, quiet, std::stop_token{});
    ASSERT_FALSE(notFound.ok());
    EXPECT_EQ(notFound.error().code, support::ErrorCode::NotFound);
    EXPECT_NE(notFound.error().message.find(missing), std::string::npos);
    EXPECT_NE(notFound.error().message.find("No such file"), std::string::npos);

    const auto folder = engine.computeFile(dir.path().string(), quiet, std::stop_token{});
    ASSERT_FALSE(folder.ok());
    EXPECT_EQ(folder.error().code, support::ErrorCode::Io);
    EXPECT_NE(folder.error().message.find("Is a directory"), std::string::npos);
}

// The GUI runs computeFile on a worker; separate engines side by side must not interfere.
TEST_F(EngineFiles, EnginesOnSeveralThreadsAgree) {
    writeFile(dir / "shared", std::string(300000, 'g'));
    const std::string expectedGost =
        fileEngine(kAlgorithmGost, (dir / "shared").string()).Compute();
    std::atomic<int> mismatches{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([&] {
            CDigestEngine engine = fileEngine(kAlgorithmGost, (dir / "shared").string());
            if (engine.Compute() != expectedGost) ++mismatches;
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(expectedGost.size(), 64u);
}

}  // namespace
}  // namespace velquor::digest::testing
