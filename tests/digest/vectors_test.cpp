// Every known-answer vector through every unit, in every acceleration mode, fed in one add,
// in random splits, from unaligned memory, and again after a finish on the same object.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "digest/accumulator.h"
#include "digest/digest_engine.h"
#include "digest_test_support.h"

namespace velquor::digest::testing {
namespace {

struct Vector {
    std::string algorithm;
    std::string message;
    std::string expectedHex;
    int line = 0;
};

std::vector<Vector> loadVectors() {
    std::ifstream in(VELQUOR_DIGEST_VECTORS);
    std::vector<Vector> vectors;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#') continue;
        // algorithm repeat digest message-to-end-of-line
        std::istringstream fields(line);
        Vector v;
        std::size_t repeat = 0;
        fields >> v.algorithm >> repeat >> v.expectedHex;
        std::string piece;
        const auto messageStart = static_cast<std::size_t>(fields.tellg());
        if (messageStart < line.size()) piece = line.substr(messageStart + 1);
        for (std::size_t i = 0; i < repeat; ++i) v.message += piece;
        v.line = number;
        vectors.push_back(std::move(v));
    }
    return vectors;
}

const std::vector<Vector>& vectors() {
    static const std::vector<Vector> loaded = loadVectors();
    return loaded;
}

std::string digestInSplits(UnitDriver& unit, const std::string& message, std::mt19937& random) {
    unit.start();
    std::size_t offset = 0;
    while (offset < message.size()) {
        // Mostly small pieces, to cross block boundaries at every alignment, some large.
        std::uniform_int_distribution<std::size_t> size(0, random() % 4 == 0 ? 5000 : 130);
        const std::size_t take = std::min(size(random), message.size() - offset);
        unit.add(message.data() + offset, static_cast<std::uint32_t>(take));
        offset += take;
    }
    return unit.finish();
}

TEST(DigestVectors, TheVectorFileCoversEveryAlgorithm) {
    for (const auto& algorithm : allAlgorithms()) {
        int count = 0;
        for (const auto& v : vectors()) count += v.algorithm == algorithm ? 1 : 0;
        EXPECT_GE(count, 3) << algorithm;
    }
}

TEST(DigestVectors, EveryUnitInEveryModeAndEverySplit) {
    std::mt19937 random(20261208);
    for (const auto& mode : accelerationModes()) {
        ScopedAcceleration scoped(mode.allowed);
        for (const auto& v : vectors()) {
            SCOPED_TRACE(std::string(mode.name) + " " + v.algorithm + " (vectors.txt line " +
                         std::to_string(v.line) + ")");
            auto unit = makeDriver(v.algorithm);
            ASSERT_NE(unit, nullptr);

            unit->start();
            unit->add(v.message.data(), static_cast<std::uint32_t>(v.message.size()));
            EXPECT_EQ(toHex(unit->finish()), v.expectedHex) << "one add";

            // The same object, started again after a finish.
            EXPECT_EQ(toHex(digestInSplits(*unit, v.message, random)), v.expectedHex)
                << "random splits";

            // Unaligned input: the message at every offset within a word.
            for (std::size_t shift = 1; shift < 8 && v.message.size() < 100000; shift += 3) {
                std::string shifted(shift, '\0');
                shifted += v.message;
                unit->start();
                unit->add(shifted.data() + shift, static_cast<std::uint32_t>(v.message.size()));
                EXPECT_EQ(toHex(unit->finish()), v.expectedHex) << "offset " << shift;
            }
        }
    }
}

// The engine's own route (accumulator + hex text) agrees with the vectors too.
TEST(DigestVectors, EngineTextRouteAgrees) {
    const std::vector<std::pair<std::string, std::pair<int, int>>> numbers = {
        {"crc32", {kAlgorithmCrc32, 256}}, {"gost94", {kAlgorithmGost, 256}},
        {"md2", {kAlgorithmMd2, 256}},     {"md4", {kAlgorithmMd4, 256}},
        {"md5", {kAlgorithmMd5, 256}},     {"sha1", {kAlgorithmSha1, 256}},
        {"sha256", {kAlgorithmSha2, 256}}, {"sha384", {kAlgorithmSha2, 384}},
        {"sha512", {kAlgorithmSha2, 512}}};
    for (const auto& v : vectors()) {
        for (const auto& [name, setting] : numbers) {
            if (name != v.algorithm) continue;
            CDigestEngine engine;
            engine.SetAlgorithm(setting.first);
            engine.setSha2Size(setting.second);
            engine.SetOutputFormat(kFormatPlain);
            engine.setInputText(v.message);
            EXPECT_EQ(engine.Compute(), v.expectedHex) << name << " line " << v.line;
        }
    }
}

}  // namespace
}  // namespace velquor::digest::testing
