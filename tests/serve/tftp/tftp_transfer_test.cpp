// One TFTP transfer driven by hand, over a real file: what it sends for each acknowledgement,
// repeat, gap and passed deadline, and the numbers rolling over past block 65535.
#include "serve/tftp/tftp_transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "temp_dir.h"

namespace velquor::serve::tftp {
namespace {

using namespace std::string_literals;
using velquor::testing::TempDir;

std::string ack(std::uint64_t block) {
    return std::string{0, 4, static_cast<char>((block >> 8) & 0xff),
                       static_cast<char>(block & 0xff)};
}

unsigned blockOf(const std::string& packet) {
    return (static_cast<unsigned char>(packet[2]) << 8) | static_cast<unsigned char>(packet[3]);
}

class TransferTest : public ::testing::Test {
protected:
    // A transfer of content with the options given, its packets gathered in m_sent.
    std::unique_ptr<Transfer> transferOf(const std::string& content, Negotiated settled,
                                         Mode mode = Mode::Octet) {
        const auto path = m_dir / ("file" + std::to_string(++m_files));
        velquor::testing::writeFile(path, content);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        return std::make_unique<Transfer>(BlockSource(fd, mode), std::move(settled), m_timing);
    }

    // The data blocks' numbers sent since the last look.
    std::vector<unsigned> blocksSent() {
        std::vector<unsigned> blocks;
        for (const std::string& packet : m_sent) {
            EXPECT_EQ(packet.substr(0, 2), "\0\3"s);
            blocks.push_back(blockOf(packet));
        }
        m_sent.clear();
        return blocks;
    }

    TempDir m_dir;
    int m_files = 0;
    TransferTiming m_timing{std::chrono::milliseconds(100), std::chrono::milliseconds(400), 3};
    std::vector<std::string> m_sent;
    Transfer::Send m_send = [this](std::string_view packet) { m_sent.emplace_back(packet); };
    Steady::time_point m_now = Steady::now();
};

TEST_F(TransferTest, SendsAWindowAtATimeAndResendsFromAGapButNotOnARepeat) {
    const std::string content(10 * 8 + 3, 'x');  // blocks 1..10 of 8 bytes, 11 of 3
    auto transfer =
        transferOf(content, Negotiated{8, 4, 0, {{"blksize", "8"}, {"windowsize", "4"}}});
    ASSERT_EQ(transfer->begin(m_send, m_now), Transfer::State::Going);
    ASSERT_EQ(m_sent.size(), 1u);
    EXPECT_EQ(m_sent.front(), "\0\6blksize\0008\0windowsize\0004\0"s);
    m_sent.clear();

    EXPECT_EQ(transfer->onPacket(ack(0), m_send, m_now), Transfer::State::Going);
    EXPECT_EQ(blocksSent(), (std::vector<unsigned>{1, 2, 3, 4}));
    // The client got 1 and 2 only: the window starts again at 3.
    transfer->onPacket(ack(2), m_send, m_now);
    EXPECT_EQ(blocksSent(), (std::vector<unsigned>{3, 4, 5, 6}));
    // The same acknowledgement again (a duplicate on the way) sends nothing; an old one neither.
    transfer->onPacket(ack(2), m_send, m_now);
    transfer->onPacket(ack(1), m_send, m_now);
    EXPECT_TRUE(blocksSent().empty());
    transfer->onPacket(ack(6), m_send, m_now);
    EXPECT_EQ(blocksSent(), (std::vector<unsigned>{7, 8, 9, 10}));
    transfer->onPacket(ack(10), m_send, m_now);
    EXPECT_EQ(blocksSent(), (std::vector<unsigned>{11}));
    EXPECT_EQ(m_sent.size(), 0u);
    EXPECT_EQ(transfer->bytesAcknowledged(), 80u);
    EXPECT_EQ(transfer->onPacket(ack(11), m_send, m_now), Transfer::State::Completed);
    EXPECT_EQ(transfer->bytesAcknowledged(), content.size());
}

TEST_F(TransferTest, AFileOfWholeBlocksEndsWithAnEmptyOne) {
    auto transfer = transferOf(std::string(16, 'y'), Negotiated{8, 1, 0, {}});
    transfer->begin(m_send, m_now);
    transfer->onPacket(ack(1), m_send, m_now);
    transfer->onPacket(ack(2), m_send, m_now);
    ASSERT_EQ(m_sent.size(), 3u);
    EXPECT_EQ(m_sent.back(), "\0\3\0\3"s);
    EXPECT_EQ(transfer->onPacket(ack(3), m_send, m_now), Transfer::State::Completed);
}

TEST_F(TransferTest, BeforeTheFirstAcknowledgementOnlyARepeatedRequestDrawsTheAnswerAgain) {
    auto transfer = transferOf("short file", Negotiated{});
    transfer->begin(m_send, m_now);
    EXPECT_EQ(blocksSent(), (std::vector<unsigned>{1}));
    // The deadlines pass: nothing goes out on the server's own, and in the end it gives up.
    Transfer::State state = Transfer::State::Going;
    for (int passed = 0; passed < 10 && state == Transfer::State::Going; ++passed)
        state = transfer->onDeadline(m_send, transfer->deadline());
    EXPECT_EQ(state, Transfer::State::Failed);
    EXPECT_TRUE(m_sent.empty());

    // A copy of the request right behind it draws nothing; the client's try after a while
    // draws the answer again; once it acknowledged, nothing.
    auto repeated = transferOf("short file", Negotiated{});
    repeated->begin(m_send, m_now);
    repeated->requestRepeated(m_send, m_now + std::chrono::milliseconds(1));
    EXPECT_EQ(blocksSent(), (std::vector<unsigned>{1}));
    repeated->requestRepeated(m_send, m_now + std::chrono::milliseconds(900));
    EXPECT_EQ(blocksSent(), (std::vector<unsigned>{1}));
    EXPECT_EQ(repeated->onPacket(ack(1), m_send, m_now), Transfer::State::Completed);
}

TEST_F(TransferTest, AnUnacknowledgedWindowGoesAgainWithBackOffThenTheTransferFails) {
    auto transfer = transferOf(std::string(100, 'z'), Negotiated{8, 2, 0, {{"windowsize", "2"}}});
    transfer->begin(m_send, m_now);
    m_sent.clear();  // the option acknowledgement
    transfer->onPacket(ack(0), m_send, m_now);
    transfer->onPacket(ack(2), m_send, m_now);
    EXPECT_EQ(blocksSent(), (std::vector<unsigned>{1, 2, 3, 4}));
    // Before its deadline nothing goes again.
    EXPECT_EQ(transfer->onDeadline(m_send, m_now), Transfer::State::Going);
    EXPECT_TRUE(m_sent.empty());
    std::vector<Steady::duration> waits;
    Steady::time_point at = transfer->deadline();
    for (unsigned tries = 0; tries < m_timing.tries; ++tries) {
        ASSERT_EQ(transfer->onDeadline(m_send, at), Transfer::State::Going);
        EXPECT_EQ(blocksSent(), (std::vector<unsigned>{3, 4}));  // the window, no more
        waits.push_back(transfer->deadline() - at);
        at = transfer->deadline();
    }
    EXPECT_EQ(waits, (std::vector<Steady::duration>{std::chrono::milliseconds(200),
                                                    std::chrono::milliseconds(400),
                                                    std::chrono::milliseconds(400)}));
    EXPECT_EQ(transfer->onDeadline(m_send, at), Transfer::State::Failed);
}

TEST_F(TransferTest, BlockNumbersRollOverPastBlock65535AndTheFileGoesWhole) {
    constexpr std::uint64_t kBlocks = 70000;
    std::string content;
    for (std::uint64_t block = 1; block <= kBlocks; ++block)
        content += std::string(7, static_cast<char>('a' + block % 26)) + "|";
    auto transfer = transferOf(content, Negotiated{8, 1, 0, {{"blksize", "8"}}});
    transfer->begin(m_send, m_now);
    m_sent.clear();  // the option acknowledgement
    std::string received;
    Transfer::State state = transfer->onPacket(ack(0), m_send, m_now);
    for (std::uint64_t block = 1; state == Transfer::State::Going && block <= kBlocks + 2;
         ++block) {
        ASSERT_EQ(m_sent.size(), 1u) << block;
        ASSERT_EQ(blockOf(m_sent.front()), block % 65536) << block;
        received += m_sent.front().substr(4);
        m_sent.clear();
        state = transfer->onPacket(ack(block % 65536), m_send, m_now);
    }
    EXPECT_EQ(state, Transfer::State::Completed);
    EXPECT_TRUE(received == content);
}

TEST_F(TransferTest, NetasciiBlocksCarryTheConvertedTextAcrossReads) {
    std::string text;
    for (int line = 0; line < 3000; ++line) text += "line " + std::to_string(line) + "\r\n";
    auto transfer = transferOf(text, Negotiated{512, 4, 0, {{"windowsize", "4"}}}, Mode::Netascii);
    transfer->begin(m_send, m_now);
    m_sent.clear();
    std::string received;
    Transfer::State state = transfer->onPacket(ack(0), m_send, m_now);
    std::uint64_t acked = 0;
    while (state == Transfer::State::Going && !m_sent.empty()) {
        // The last of each window is lost once: the gap is sent again from there.
        const std::vector<std::string> window = std::exchange(m_sent, {});
        for (std::size_t i = 0; i + 1 < window.size() || window.size() == 1; ++i) {
            received += window[i].substr(4);
            ++acked;
            if (window.size() == 1) break;
        }
        state = transfer->onPacket(ack(acked), m_send, m_now);
    }
    EXPECT_EQ(state, Transfer::State::Completed);
    std::string expected;
    appendNetascii(text, expected);
    EXPECT_EQ(received, expected);
}

}  // namespace
}  // namespace velquor::serve::tftp
