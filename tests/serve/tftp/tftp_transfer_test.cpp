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
using namespace std::chrono_literals;
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
                                         Mode mode = Mode::Octet,
                                         std::optional<RoundTrip> known = std::nullopt) {
        const auto path = m_dir / ("file" + std::to_string(++m_files));
        velquor::testing::writeFile(path, content);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        return std::make_unique<Transfer>(BlockSource(fd, mode, content.size()), std::move(settled),
                                          m_timing, known);
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
    TransferTiming m_timing{.firstTimeout = 100ms,
                            .shortestTimeout = 100ms,
                            .longestTimeout = 400ms,
                            .patience = 1100ms};
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

    // Once the client acknowledged, its request again is a copy while it comes right behind
    // the first, else a new transfer (a phone that started again from the same port).
    auto longer = transferOf(std::string(600, 'l'), Negotiated{});
    longer->begin(m_send, m_now);
    EXPECT_FALSE(longer->isNewRequest(m_now + 600ms));
    longer->onPacket(ack(1), m_send, m_now + 1ms);
    EXPECT_FALSE(longer->isNewRequest(m_now + 2ms));
    EXPECT_TRUE(longer->isNewRequest(m_now + 600ms));
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
    // From the round trip measured (none here) within its bounds, doubled at each pass, until
    // the client's patience is spent.
    std::vector<Steady::duration> waits;
    Steady::time_point at = transfer->deadline();
    EXPECT_EQ(at - m_now, m_timing.shortestTimeout);
    while (transfer->onDeadline(m_send, at) == Transfer::State::Going) {
        EXPECT_EQ(blocksSent(), (std::vector<unsigned>{3, 4}));  // the window, no more
        waits.push_back(transfer->deadline() - at);
        at = transfer->deadline();
    }
    EXPECT_EQ(waits, (std::vector<Steady::duration>{200ms, 400ms, 400ms}));
    EXPECT_EQ(at - m_now, m_timing.patience);
    EXPECT_TRUE(m_sent.empty());
}

TEST_F(TransferTest, TheTimeOutFollowsTheMeasuredRoundTripWithinItsBoundsOrIsTheClients) {
    m_timing = {.firstTimeout = 1000ms,
                .shortestTimeout = 20ms,
                .longestTimeout = 400ms,
                .patience = 10000ms};
    auto transfer = transferOf(std::string(1000, 'r'), Negotiated{8, 1, 0, {{"blksize", "8"}}});
    Steady::time_point at = m_now;
    transfer->begin(m_send, at);
    // The first round trip: the time-out is three times it (RFC 6298's first estimate).
    std::uint64_t acked = 0;
    auto ackAfter = [&](Steady::duration roundTrip) {
        at += roundTrip;
        return transfer->onPacket(ack(acked++), m_send, at);
    };
    ackAfter(40ms);
    EXPECT_EQ(transfer->timeout(), 120ms);
    EXPECT_EQ(transfer->deadline(), at + 120ms);
    // Quick round trips bring it down to its lower bound, slow ones up to its upper bound.
    for (int i = 0; i < 40; ++i) ackAfter(2ms);
    EXPECT_EQ(transfer->timeout(), m_timing.shortestTimeout);
    for (int i = 0; i < 3; ++i) ackAfter(900ms);
    EXPECT_EQ(transfer->timeout(), m_timing.longestTimeout);
    for (int i = 0; i < 60; ++i) ackAfter(2ms);
    // A window sent again gives no round trip: whose acknowledgement came is not known, and
    // the time-out stays as it backed off until a window sent once is acknowledged.
    at = transfer->deadline();
    transfer->onDeadline(m_send, at);
    EXPECT_EQ(transfer->timeout(), 2 * m_timing.shortestTimeout);
    ackAfter(1ms);
    EXPECT_EQ(transfer->timeout(), 2 * m_timing.shortestTimeout);
    ackAfter(2ms);
    EXPECT_EQ(transfer->timeout(), m_timing.shortestTimeout);

    // A transfer starts from the round trip its server knew; a first acknowledgement that came
    // late (it may be the client's second: nothing went again before it) does not move it.
    auto known = transferOf(std::string(100, 'k'), Negotiated{8, 1, 0, {}}, Mode::Octet,
                            RoundTrip{10ms, 5ms});
    EXPECT_EQ(known->timeout(), 30ms);
    known->begin(m_send, m_now);
    known->onPacket(ack(1), m_send, m_now + 700ms);
    EXPECT_EQ(known->timeout(), 30ms);
    known->onPacket(ack(2), m_send, m_now + 710ms);
    EXPECT_EQ(known->timeout(), 25ms);  // 10 ms again: its variation shrinks to 3.75 ms
    known->onPacket(ack(3), m_send, m_now + 730ms);
    EXPECT_GT(known->timeout(), 30ms);

    // A client that asked its own time-out has it, whatever the round trips.
    auto asked = transferOf(std::string(100, 'a'), Negotiated{8, 1, 3, {{"timeout", "3"}}});
    asked->begin(m_send, m_now);
    asked->onPacket(ack(0), m_send, m_now + 1ms);
    EXPECT_EQ(asked->timeout(), 3s);
    EXPECT_EQ(asked->deadline(), m_now + 1ms + 3s);
    m_sent.clear();
    asked->onDeadline(m_send, asked->deadline());
    EXPECT_EQ(blocksSent(), (std::vector<unsigned>{1}));
    asked->onPacket(ack(1), m_send, m_now + 3100ms);
    EXPECT_EQ(asked->timeout(), 3s);
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
