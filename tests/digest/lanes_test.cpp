// MD5 of many messages at once against Md5State one message at a time, in every lane width this
// processor offers and with acceleration forbidden, and against md5sum on real files.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "digest/acceleration_internal.h"
#include "digest/md5.h"
#include "digest/md5_lanes.h"
#include "digest_test_support.h"
#include "temp_dir.h"

namespace velquor::digest::testing {
namespace {

using velquor::testing::runCommand;
using velquor::testing::shellQuote;
using velquor::testing::TempDir;
using velquor::testing::writeFile;

using Message = std::span<const std::byte>;

// Lengths on each side of where the end takes one block or two, and of a whole block, in the
// first and second block; a generated file's length, and one long enough to keep its lane busy
// while the others take many messages in turn.
constexpr std::size_t kLengths[] = {0,   1,   55,  56,  63,   64,   65,    119,
                                    120, 127, 128, 129, 4095, 4171, 100000};

// Random bytes the messages are cut from, each at its own (mostly unaligned) offset.
const std::vector<std::byte>& randomBytes() {
    static const std::vector<std::byte> bytes = [] {
        std::vector<std::byte> made(100000 + 4096);
        std::mt19937 random(7);
        for (auto& b : made) b = static_cast<std::byte>(random());
        return made;
    }();
    return bytes;
}

// count messages, the lengths in an order that differs from one count to the next.
std::vector<Message> mixedBatch(std::size_t count) {
    std::vector<Message> batch;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = kLengths[(i * 7 + count) % std::size(kLengths)];
        batch.push_back(Message(randomBytes()).subspan((i * 13 + count) % 4096, length));
    }
    return batch;
}

std::string oneAtATime(Message message) {
    Md5State state;
    state.start();
    state.add(message.data(), static_cast<std::uint32_t>(message.size()));
    state.finish();
    return toHex(std::string_view(reinterpret_cast<const char*>(state.digest), 16));
}

std::string hex(const Md5Digest& digest) {
    return toHex(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

// A way of digesting a batch: the public call with acceleration forbidden and allowed, and
// each lane width of this processor called directly (the public call uses only the widest).
struct Way {
    std::string name;
    bool accelerated;
    std::function<std::vector<Md5Digest>(std::span<const Message>)> digest;
};

std::vector<Way> ways() {
    std::vector<Way> found;
    for (const auto& mode : accelerationModes()) {
        found.push_back({std::string("md5OfEach, ") + mode.name, mode.allowed, md5OfEach});
    }
#ifdef VELQUOR_DIGEST_X86
    const Acceleration available = availableAcceleration();
    for (const auto& [lanes, offered] :
         {std::pair{8, available.md5Lanes8}, std::pair{16, available.md5Lanes16}}) {
        if (!offered) continue;
        found.push_back({std::to_string(lanes) + " lanes a register", true,
                         [lanes](std::span<const Message> batch) {
                             return detail::md5OfEachInLanes(batch, lanes);
                         }});
    }
#endif
    return found;
}

void expectEachMessagesOwnDigest(const Way& way, const std::vector<Message>& batch) {
    const auto digests = way.digest(batch);
    ASSERT_EQ(digests.size(), batch.size()) << way.name;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        EXPECT_EQ(hex(digests[i]), oneAtATime(batch[i]))
            << way.name << ": message " << i << " of " << batch.size() << ", " << batch[i].size()
            << " bytes";
    }
}

TEST(Md5Lanes, EachMessageGetsExactlyItsOwnDigestInEveryWay) {
    for (const auto& way : ways()) {
        ScopedAcceleration scoped(way.accelerated);
        if (!way.accelerated) {
            EXPECT_EQ(md5LaneCount(), 1);
        }
        // None, one, fewer messages than a register has lanes, and enough for two and four
        // registers; then enough for lanes to take several messages in turn.
        for (std::size_t count = 0; count <= 40; ++count) {
            expectEachMessagesOwnDigest(way, mixedBatch(count));
        }
        expectEachMessagesOwnDigest(way, mixedBatch(150));
        // All of one length: every lane ends its message on the same block and refills at once.
        std::vector<Message> sameLength;
        for (std::size_t i = 0; i < 150; ++i) {
            sameLength.push_back(Message(randomBytes()).subspan(i, 4171));
        }
        expectEachMessagesOwnDigest(way, sameLength);
        // The same bytes more than once in a batch, and the batch's order kept.
        const std::vector<Message> repeated = {sameLength[0], sameLength[1], sameLength[0]};
        const auto digests = way.digest(repeated);
        ASSERT_EQ(digests.size(), 3u);
        EXPECT_EQ(digests[0], digests[2]) << way.name;
        EXPECT_NE(digests[0], digests[1]) << way.name;
    }
}

TEST(Md5Lanes, AgreesWithMd5sumOnRealFiles) {
    TempDir dir;
    std::vector<std::string> contents;
    std::string command = "md5sum";
    const auto cut = mixedBatch(19);
    for (std::size_t i = 0; i < cut.size(); ++i) {
        contents.emplace_back(reinterpret_cast<const char*>(cut[i].data()), cut[i].size());
        const auto path = dir / ("file-" + std::to_string(i));
        writeFile(path, contents.back());
        command += " " + shellQuote(path.string());
    }
    int status = -1;
    const std::string listed = runCommand(command, &status);
    ASSERT_EQ(status, 0) << command;

    std::vector<Message> batch;
    for (const auto& content : contents) batch.push_back(std::as_bytes(std::span(content)));
    for (const auto& mode : accelerationModes()) {
        ScopedAcceleration scoped(mode.allowed);
        std::string ours;
        const auto digests = md5OfEach(batch);
        for (std::size_t i = 0; i < digests.size(); ++i) {
            ours += hex(digests[i]) + "  " + (dir / ("file-" + std::to_string(i))).string() + "\n";
        }
        EXPECT_EQ(ours, listed) << mode.name;
    }
}

}  // namespace
}  // namespace velquor::digest::testing
