// Cross-checks against real peers (md5sum, sha*sum, openssl dgst, rhash) on files whose
// lengths sit on every block, padding and read-chunk boundary, in every acceleration mode.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "digest/digest_engine.h"
#include "digest_test_support.h"
#include "temp_dir.h"

namespace velquor::digest::testing {
namespace {

using velquor::testing::runCommand;
using velquor::testing::shellQuote;
using velquor::testing::TempDir;
using velquor::testing::writeFile;

std::vector<std::size_t> boundaryLengths() {
    std::vector<std::size_t> lengths = {0,  1,  31,  32,  33,  55,  56, 63,
                                        64, 65, 111, 112, 127, 128, 129};
    for (std::size_t unit : {2048u, 4096u, 16000u}) {
        for (std::size_t k : {1u, 2u, 3u}) {
            lengths.insert(lengths.end(), {unit * k - 1, unit * k, unit * k + 1});
        }
    }
    // Several MiB, across the engine's read chunks.
    lengths.push_back((std::size_t{5} << 20) + 7);
    return lengths;
}

bool havePeer(const std::string& program) {
    int status = -1;
    runCommand("command -v " + program + " >/dev/null 2>&1", &status);
    return status == 0;
}

struct PeerCase {
    const char* name;
    const char* program;  // what must be installed
    std::int32_t algorithm;
    std::int32_t sha2Size;
    GostParameterSet gost;
    std::string command;  // the files are appended; one line per file, the digest first
};

std::vector<PeerCase> peerCases() {
    using G = GostParameterSet;
    return {
        {"md5sum", "md5sum", kAlgorithmMd5, 256, G::Test, "md5sum"},
        {"sha1sum", "sha1sum", kAlgorithmSha1, 256, G::Test, "sha1sum"},
        {"sha256sum", "sha256sum", kAlgorithmSha2, 256, G::Test, "sha256sum"},
        {"sha384sum", "sha384sum", kAlgorithmSha2, 384, G::Test, "sha384sum"},
        {"sha512sum", "sha512sum", kAlgorithmSha2, 512, G::Test, "sha512sum"},
        {"openssl md5", "openssl", kAlgorithmMd5, 256, G::Test, "openssl dgst -md5 -r"},
        {"openssl sha1", "openssl", kAlgorithmSha1, 256, G::Test, "openssl dgst -sha1 -r"},
        {"openssl sha512", "openssl", kAlgorithmSha2, 512, G::Test, "openssl dgst -sha512 -r"},
        {"rhash crc32", "rhash", kAlgorithmCrc32, 256, G::Test, "rhash --crc32 -p '%{crc32}\\n'"},
        {"rhash md4", "rhash", kAlgorithmMd4, 256, G::Test, "rhash --md4 -p '%{md4}\\n'"},
        {"rhash gost94", "rhash", kAlgorithmGost, 256, G::Test, "rhash --gost94 -p '%{gost94}\\n'"},
        {"rhash gost94-cryptopro", "rhash", kAlgorithmGost, 256, G::CryptoPro,
         "rhash --gost94-cryptopro -p '%{gost94-cryptopro}\\n'"},
        {"rhash sha256", "rhash", kAlgorithmSha2, 256, G::Test,
         "rhash --sha256 -p '%{sha-256}\\n'"},
    };
}

std::vector<std::string> firstWords(const std::string& output) {
    std::vector<std::string> words;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        words.push_back(line.substr(0, line.find(' ')));
    }
    return words;
}

class PeerCrossCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir;
        std::mt19937 random(42);
        std::string content((std::size_t{5} << 20) + 7, '\0');
        for (char& c : content) c = static_cast<char>(random());
        s_files = new std::vector<std::string>;
        for (std::size_t length : boundaryLengths()) {
            const auto path = (*s_dir / ("len-" + std::to_string(length))).string();
            writeFile(path, std::string_view(content).substr(0, length));
            s_files->push_back(path);
        }
    }
    static void TearDownTestSuite() {
        delete s_files;
        delete s_dir;
    }
    static TempDir* s_dir;
    static std::vector<std::string>* s_files;
};

TempDir* PeerCrossCheck::s_dir = nullptr;
std::vector<std::string>* PeerCrossCheck::s_files = nullptr;

TEST_F(PeerCrossCheck, EveryBoundaryLengthAgreesWithThePeers) {
    int peersRun = 0;
    for (const auto& peer : peerCases()) {
        if (!havePeer(peer.program)) continue;
        std::string command = peer.command;
        for (const auto& file : *s_files) command += " " + shellQuote(file);
        int status = -1;
        const auto expected = firstWords(runCommand(command, &status));
        ASSERT_EQ(status, 0) << command;
        ASSERT_EQ(expected.size(), s_files->size()) << peer.name;
        ++peersRun;

        CDigestEngine engine;
        engine.SetAlgorithm(peer.algorithm);
        engine.setSha2Size(peer.sha2Size);
        engine.setGostParameterSet(peer.gost);
        engine.SetOutputFormat(kFormatPlain);
        for (const auto& mode : accelerationModes()) {
            ScopedAcceleration scoped(mode.allowed);
            for (std::size_t i = 0; i < s_files->size(); ++i) {
                support::NullProgress quiet;
                const auto text = engine.computeFile((*s_files)[i], quiet, std::stop_token{});
                ASSERT_TRUE(text.ok()) << text.error().message;
                EXPECT_EQ(*text, expected[i])
                    << peer.name << ' ' << mode.name << ' ' << (*s_files)[i];
            }
        }
    }
    // md5sum and friends come with the system; the test is void without them.
    EXPECT_GE(peersRun, 5);
}

}  // namespace
}  // namespace velquor::digest::testing
