// The exchange pool and the batch sender against a server that serves every connection at once
// and counts what it holds: how often a record is sent, what a Cancel leaves behind, how many
// records are in flight for a given number of jobs, and that a repeated MAC waits for its
// earlier row. Every verdict rests on what the server saw, its gate deciding when replies go.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "concurrent_tls_server.h"
#include "provisioning/batch_sender.h"
#include "provisioning/exchange_pool.h"
#include "scripted_tls_server.h"
#include "test_certificates.h"

namespace velquor::provisioning {
namespace {

using namespace std::chrono_literals;
using testing::ClosedPort;
using testing::ConcurrentTlsServer;
using testing::ConnectionScript;
using testing::ConnectionStep;
using testing::TestCertificates;

// Long enough that only the server's gate or a Cancel ends an exchange in these tests.
constexpr ChannelTimeouts kPatientTimeouts{15s, 15s};

std::vector<std::string> macAddresses(int count) {
    std::vector<std::string> macs;
    for (int i = 0; i < count; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "02:00:00:00:23:%02x", i);
        macs.emplace_back(text);
    }
    return macs;
}

wire::DeviceRequest addRecord(const std::string& mac) {
    return *wire::buildDeviceRequest({"ADD", mac, "sip.example", "frank"});
}

// The MAC address of each record the server received, in order of arrival.
std::vector<std::string> macsReceived(const ConcurrentTlsServer& server) {
    std::vector<std::string> macs;
    for (const std::string& record : server.records()) {
        auto fields = wire::decodeDeviceRequest(record);
        macs.push_back(fields ? fields->macAddress : "(malformed)");
    }
    return macs;
}

// One row per MAC, in column A, none sent yet, each sent as its cell reads.
DeviceBatchSummary unsentRows(const std::vector<std::string>& macs) {
    DeviceBatchSummary summary;
    for (std::size_t i = 0; i < macs.size(); ++i) {
        MacResult row;
        row.row = static_cast<int>(i) + 1;
        row.column = 1;
        row.macAddress = macs[i];
        row.written = macs[i];
        summary.results.push_back(row);
    }
    return summary;
}

// The rows through a BatchSender, each back in its place once done, as a batch sends them.
void sendRows(const KestoEndpoint& endpoint, const DeviceBatch& batch,
              support::ProgressSink& progress, std::stop_token stop, DeviceBatchSummary& summary) {
    support::NullReporter reporter;
    const ReplaceQuestion noQuestion;
    std::size_t done = 0;
    BatchSender sender(BatchRun{endpoint, batch, noQuestion, {}, reporter, progress, stop},
                       summary.results.size(), summary, [&](BatchRow& row) {
                           summary.results[done++] = std::move(row.result);
                           return support::Status{};
                       });
    for (MacResult& result : summary.results) {
        BatchRow row;
        row.result = std::move(result);
        EXPECT_TRUE(sender.offer(std::move(row)));
    }
    EXPECT_TRUE(sender.finish());
    EXPECT_EQ(done, summary.results.size());
}

std::vector<std::string> sorted(std::vector<std::string> texts) {
    std::sort(texts.begin(), texts.end());
    return texts;
}

ConcurrentTlsServer::Scripter everyConnection(ConnectionStep step) {
    return [step](int) { return ConnectionScript{step}; };
}

class InFlightTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_certificates = std::make_unique<TestCertificates>(); }
    static void TearDownTestSuite() { s_certificates.reset(); }

    static std::unique_ptr<ConcurrentTlsServer> deviceServer(
        ConcurrentTlsServer::Scripter scripter = {}) {
        return std::make_unique<ConcurrentTlsServer>(s_certificates->server(),
                                                     wire::kDeviceRequestSize, std::move(scripter));
    }

    KestoEndpoint endpointTo(std::uint16_t devicePort) const {
        KestoEndpoint endpoint;
        endpoint.address = "127.0.0.1";
        endpoint.caFile = s_certificates->caFile().string();
        endpoint.loginPort = endpoint.accountPort = m_closed.port();
        endpoint.devicePort = devicePort;
        endpoint.timeouts = kPatientTimeouts;
        return endpoint;
    }

    static std::vector<ExchangeOutcome> outcomesOf(ExchangePool& pool, std::size_t count) {
        std::vector<ExchangeOutcome> outcomes;
        while (outcomes.size() < count) {
            auto outcome = pool.next(ConcurrentTlsServer::kHangGuard);
            if (!outcome) break;
            outcomes.push_back(*outcome);
        }
        EXPECT_EQ(outcomes.size(), count) << "the pool stopped returning outcomes";
        return outcomes;
    }

    // One "ADD" per MAC, each in a row of its own, up to jobs at once, every row tried.
    DeviceBatchSummary runBatch(std::uint16_t devicePort, const std::vector<std::string>& macs,
                                std::size_t jobs, std::stop_token stop = {}) const {
        DeviceBatchSummary summary = unsentRows(macs);
        const DeviceBatch batch{"macs.csv", "sip.example", "frank", jobs};
        support::NullProgress progress;
        sendRows(endpointTo(devicePort), batch, progress, stop, summary);
        return summary;
    }

    static void expectOutcomes(const DeviceBatchSummary& summary,
                               const std::vector<MacOutcome>& expected) {
        ASSERT_EQ(summary.results.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(outcomeName(summary.results[i].outcome), outcomeName(expected[i]))
                << "row " << i + 1 << ": " << summary.results[i].reason;
        }
    }

    ClosedPort m_closed;

private:
    static inline std::unique_ptr<TestCertificates> s_certificates;
};

// ---- The pool -----------------------------------------------------------------------------

TEST_F(InFlightTest, PoolNeverSendsARecordTheServerMayHaveTaken) {
    auto server = deviceServer(everyConnection(ConnectionStep::HangUp));
    const auto macs = macAddresses(2);
    ExchangePool pool(endpointTo(server->port()), 2);
    for (std::size_t i = 0; i < macs.size(); ++i) pool.submit(i, addRecord(macs[i]));
    for (const ExchangeOutcome& outcome : outcomesOf(pool, macs.size())) {
        EXPECT_EQ(outcome.attempts, 1) << "ticket " << outcome.ticket;
        EXPECT_EQ(outcome.stage, FailureStage::Exchanging) << outcome.error;
        EXPECT_FALSE(outcome.timedOut);
    }
    EXPECT_EQ(pool.retries(), 0u);
    EXPECT_EQ(sorted(macsReceived(*server)), macs) << "each record exactly once";
}

// A connection turned away before the record left is tried again, and the record then goes
// out once; after withdrawQueued a refusal comes back at once instead.
TEST_F(InFlightTest, PoolRetriesATurnedAwayConnectionUntilWithdrawn) {
    auto server = deviceServer([](int connection) {
        return ConnectionScript{connection < 2 ? ConnectionStep::TurnAway : ConnectionStep::Reply};
    });
    const RetryPolicy quick{4, 1ms, 2ms};
    {
        ExchangePool pool(endpointTo(server->port()), 1, quick);
        pool.submit(7, addRecord("02:00:00:00:23:aa"));
        const auto outcomes = outcomesOf(pool, 1);
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].result, kRequestAccepted) << outcomes[0].error;
        EXPECT_EQ(outcomes[0].attempts, 3);
        EXPECT_EQ(pool.retries(), 2u);
        EXPECT_EQ(server->connectionsAccepted(), 3);
        EXPECT_EQ(server->records().size(), 1u);
    }

    ExchangePool pool(endpointTo(m_closed.port()), 2, quick);
    pool.withdrawQueued();  // as a Cancel or a pause for a silent server does
    for (std::size_t ticket = 0; ticket < 3; ++ticket) pool.submit(ticket, addRecord("x"));
    for (const ExchangeOutcome& outcome : outcomesOf(pool, 3)) {
        EXPECT_EQ(outcome.stage, FailureStage::Connecting) << outcome.error;
        EXPECT_EQ(outcome.attempts, 1) << "ticket " << outcome.ticket;
    }
    EXPECT_EQ(pool.retries(), 0u);

    pool.resume();
    pool.submit(9, addRecord("x"));
    const auto resumed = outcomesOf(pool, 1);
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_EQ(resumed[0].attempts, quick.attempts) << "a resumed pool tries again";
}

// ---- The batch ----------------------------------------------------------------------------

TEST_F(InFlightTest, BatchRowWhoseRecordLeftIsUnknownAndSentOnce) {
    auto server = deviceServer(everyConnection(ConnectionStep::HangUp));
    const auto macs = macAddresses(3);
    const auto summary = runBatch(server->port(), macs, 2);
    expectOutcomes(summary, {MacOutcome::Unknown, MacOutcome::Unknown, MacOutcome::Unknown});
    EXPECT_EQ(sorted(macsReceived(*server)), macs);
}

// Row 2 is turned away once and, on its second try, cancelled during the handshake: its record
// never left, so it is "not sent", as is row 3 that never started; nothing goes out afterwards.
TEST_F(InFlightTest, CancelLeavesARowThatNeverReachedTheServerNotSent) {
    auto server = deviceServer([](int connection) {
        switch (connection) {
            case 0:
                return ConnectionScript{ConnectionStep::Reply};
            case 1:
                return ConnectionScript{ConnectionStep::TurnAway};
            default:
                return ConnectionScript{ConnectionStep::HoldThenTurnAway};
        }
    });
    const auto macs = macAddresses(3);
    std::stop_source stop;
    DeviceBatchSummary summary;
    std::thread batch([&] { summary = runBatch(server->port(), macs, 1, stop.get_token()); });
    const bool secondTry = server->waitForConnections(3);
    stop.request_stop();
    batch.join();
    server->openGate();

    ASSERT_TRUE(secondTry) << "row 2 was never tried again";
    EXPECT_TRUE(summary.cancelled);
    expectOutcomes(summary, {MacOutcome::Added, MacOutcome::NotSent, MacOutcome::NotSent});
    EXPECT_EQ(summary.results[1].reason, "cancelled before it was sent");
    EXPECT_EQ(macsReceived(*server), std::vector<std::string>{macs[0]});
    EXPECT_EQ(server->connectionsAccepted(), 3);
}

// The server holds every record until one more than the jobs allow is in hand (or, when that
// never happens, a while after the first): a batch that sent more at once is certain to be
// caught holding them.
TEST_F(InFlightTest, BatchKeepsAtMostItsJobsInFlight) {
    for (const std::size_t jobs : {1u, 4u}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        auto server = deviceServer(everyConnection(ConnectionStep::HoldThenReply));
        server->openGateWhenHolding(jobs + 1, 2s);
        const auto macs = macAddresses(8);
        const auto summary = runBatch(server->port(), macs, jobs);
        expectOutcomes(summary, std::vector<MacOutcome>(macs.size(), MacOutcome::Added));
        EXPECT_EQ(sorted(macsReceived(*server)), macs);
        EXPECT_LE(server->mostHeldAtOnce(), jobs);
        if (jobs > 1) {
            EXPECT_GT(server->mostHeldAtOnce(), 1u) << "the count proves nothing";
        }
    }
}

// Rows 1 and 3 share a MAC. With four jobs, the four records the batch may have in flight are
// those of rows 1, 2, 4 and 5; the server holds every reply until four are in hand, so a row 3
// sent early would be caught beside row 1.
TEST_F(InFlightTest, RepeatedMacWaitsUntilItsEarlierRowIsSettled) {
    auto server = deviceServer(everyConnection(ConnectionStep::HoldThenReply));
    server->openGateWhenHolding(4);
    const auto macs = macAddresses(4);
    const std::vector<std::string> rows{macs[0], macs[1], macs[0], macs[2], macs[3]};
    const auto summary = runBatch(server->port(), rows, 4);
    expectOutcomes(summary, std::vector<MacOutcome>(rows.size(), MacOutcome::Added));
    EXPECT_EQ(server->mostIdenticalHeldAtOnce(), 1u);
    EXPECT_EQ(server->mostHeldAtOnce(), 4u);
    const auto received = macsReceived(*server);
    ASSERT_EQ(received.size(), rows.size());
    EXPECT_EQ(received.back(), macs[0]) << "row 3 goes once the first four are answered";
}

// A reply that comes long after the others does not change the row order of the report.
TEST_F(InFlightTest, ALateReplyKeepsTheRowOrder) {
    auto server = deviceServer([](int connection) {
        return ConnectionScript{connection == 0 ? ConnectionStep::HoldThenReply
                                                : ConnectionStep::Reply};
    });
    const auto macs = macAddresses(5);
    class Progress final : public support::ProgressSink {
    public:
        void progress(std::uint64_t done, std::uint64_t, std::string_view mac) override {
            seen.push_back(std::to_string(done) + " " + std::string(mac));
        }
        std::vector<std::string> seen;
    } progress;
    DeviceBatchSummary summary = unsentRows(macs);
    std::thread batch([&] {
        sendRows(endpointTo(server->port()), {"macs.csv", "sip.example", "frank", 3}, progress, {},
                 summary);
    });
    // Every other row is answered while the reply to the first connection is still held.
    const bool othersDone = server->waitForRecords(macs.size());
    server->openGate();
    batch.join();
    ASSERT_TRUE(othersDone);
    expectOutcomes(summary, std::vector<MacOutcome>(macs.size(), MacOutcome::Added));
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < macs.size(); ++i) {
        expected.push_back(std::to_string(i + 1) + " " + macs[i]);
    }
    EXPECT_EQ(progress.seen, expected);
}

// Rows done before they came (refused cells, an earlier report's lines) wait for the rows before
// them: the sink sees every row in the order offered, whichever reply comes first.
TEST_F(InFlightTest, RowsDoneAlreadyReachTheSinkInTheirPlace) {
    // Every record is refused, the first to connect only once the others are answered.
    auto server = deviceServer([](int connection) {
        return ConnectionScript{
            connection == 0 ? ConnectionStep::HoldThenReply : ConnectionStep::Reply, "NO"};
    });
    const auto macs = macAddresses(4);
    std::vector<BatchRow> offered(8);
    for (int i = 0; i < 8; ++i) offered[i].result.row = i + 1;
    const int sentRows[] = {1, 3, 4, 6};
    for (int i = 0; i < 4; ++i) {
        offered[sentRows[i]].result.macAddress = offered[sentRows[i]].result.written = macs[i];
    }
    offered[0].result.outcome = MacOutcome::Refused;
    offered[2].line = {"3", "1", "A3", "02:00:00:00:00:99", "add", "added", "", ""};
    offered[2].result.outcome = MacOutcome::Added;
    offered[5].result.outcome = MacOutcome::Refused;
    offered[7].line = {"8", "1", "A8", "02:00:00:00:00:98", "add", "not sent", "", "no"};

    std::vector<std::pair<int, MacOutcome>> sunk;
    DeviceBatchSummary summary;
    std::thread batch([&] {
        support::NullReporter reporter;
        support::NullProgress progress;
        const ReplaceQuestion noQuestion;
        const DeviceBatch settings{"macs.csv", "sip.example", "frank", 4};
        BatchSender sender(
            BatchRun{endpointTo(server->port()), settings, noQuestion, {}, reporter, progress, {}},
            macs.size(), summary, [&](BatchRow& row) {
                sunk.emplace_back(row.result.row, row.result.outcome);
                return support::Status{};
            });
        for (BatchRow& row : offered) EXPECT_TRUE(sender.offer(std::move(row)));
        EXPECT_TRUE(sender.finish());
    });
    const bool othersDone = server->waitForRecords(macs.size());
    server->openGate();
    batch.join();
    ASSERT_TRUE(othersDone);
    const std::vector<std::pair<int, MacOutcome>> expected{
        {1, MacOutcome::Refused}, {2, MacOutcome::Failed}, {3, MacOutcome::Added},
        {4, MacOutcome::Failed},  {5, MacOutcome::Failed}, {6, MacOutcome::Refused},
        {7, MacOutcome::Failed},  {8, MacOutcome::NotSent}};
    EXPECT_EQ(sunk, expected);
}

// A row far behind one still in flight waits for it: the sender holds at most its window of rows,
// so the row offered after a window's worth of rows done already is not sent until the first
// comes back. The server holds every reply and lets them go once two are held at once, or after
// a while; only ever one is.
TEST_F(InFlightTest, RowsBeyondTheWindowWaitForTheFirstToBeDone) {
    auto server = deviceServer(everyConnection(ConnectionStep::HoldThenReply));
    server->openGateWhenHolding(2, 1s);
    const auto macs = macAddresses(2);
    DeviceBatchSummary summary;
    support::NullReporter reporter;
    support::NullProgress progress;
    const ReplaceQuestion noQuestion;
    const DeviceBatch settings{"macs.csv", "sip.example", "frank", 4};
    std::vector<int> sunk;
    BatchSender sender(
        BatchRun{endpointTo(server->port()), settings, noQuestion, {}, reporter, progress, {}},
        macs.size(), summary, [&sunk](BatchRow& row) {
            sunk.push_back(row.result.row);
            return support::Status{};
        });
    const int rows = static_cast<int>(BatchSender::kWindow) + 2;
    for (int i = 1; i <= rows; ++i) {
        BatchRow row;
        row.result.row = i;
        if (i == 1 || i == rows) {
            row.result.macAddress = row.result.written = macs[i == 1 ? 0 : 1];
        } else {
            row.result.outcome = MacOutcome::Refused;
        }
        ASSERT_TRUE(sender.offer(std::move(row)));
    }
    ASSERT_TRUE(sender.finish());
    EXPECT_EQ(server->mostHeldAtOnce(), 1u);
    EXPECT_EQ(macsReceived(*server), macs);
    ASSERT_EQ(sunk.size(), static_cast<std::size_t>(rows));
    EXPECT_TRUE(std::is_sorted(sunk.begin(), sunk.end()));
}

// A sink that cannot take a row (a full disk under the merged report) ends the batch: its error
// comes back and no further record is sent.
TEST_F(InFlightTest, ASinkThatFailsStopsTheBatch) {
    auto server = deviceServer();
    const auto macs = macAddresses(6);
    DeviceBatchSummary summary;
    support::NullReporter reporter;
    support::NullProgress progress;
    const ReplaceQuestion noQuestion;
    const DeviceBatch settings{"macs.csv", "sip.example", "frank", 1};
    int taken = 0;
    BatchSender sender(
        BatchRun{endpointTo(server->port()), settings, noQuestion, {}, reporter, progress, {}},
        macs.size(), summary, [&](BatchRow&) -> support::Status {
            if (++taken == 2) return support::makeError(support::ErrorCode::Io, "disk full");
            return {};
        });
    support::Status status;
    for (const std::string& mac : macs) {
        BatchRow row;
        row.result.macAddress = row.result.written = mac;
        status = sender.offer(std::move(row));
        if (!status) break;
    }
    if (status) status = sender.finish();
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().message, "disk full");
    EXPECT_EQ(taken, 2);
    EXPECT_LE(server->records().size(), 3u) << "at most the row in flight after the failure";
}

}  // namespace
}  // namespace velquor::provisioning
