// Device batches against servers that do not answer: a port that accepts and never speaks, a
// dead port, a server that takes the record and never replies. The batch ends within seconds,
// asks once, a Cancel takes effect at once, and every row says what became of it. Each run has
// a deadline and is cancelled if it overruns, so no test can hang the suite.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "kesto_e2e_support.h"
#include "report/csv_writer.h"
#include "scripted_tls_server.h"
#include "test_certificates.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;
using provisioning::DeviceBatch;
using provisioning::DeviceBatchSummary;
using provisioning::MacOutcome;
using provisioning::testing::ClosedPort;
using provisioning::testing::ScriptedTlsServer;
using provisioning::testing::ServerAction;
using provisioning::testing::SilentTcpListener;
using provisioning::testing::TestCertificates;
using Clock = std::chrono::steady_clock;

struct Question {
    std::string server;
    std::string reason;
};

// One batch on its own thread, with the answers to the "not answering" question scripted.
struct TimedRun {
    support::Result<DeviceBatchSummary> summary{
        support::makeError(support::ErrorCode::Internal, "did not run")};
    std::vector<Question> questions;
    std::chrono::milliseconds took{};
    std::chrono::milliseconds afterCancel{-1};  // from the Cancel to the end
    support::RecordingReporter reporter;
};

class SilentServerTest : public ::testing::Test {
protected:
    provisioning::KestoEndpoint endpointOn(std::uint16_t devicePort) const {
        provisioning::KestoEndpoint endpoint;
        endpoint.address = "127.0.0.1";
        endpoint.loginPort = endpoint.accountPort = endpoint.devicePort = devicePort;
        endpoint.caFile = certificates.caFile().string();
        return endpoint;
    }

    // Runs the batch; cancels it after cancelAfter when given, and in any case once deadline
    // has passed, so that a batch that would never end still lets the test end.
    TimedRun run(const provisioning::KestoEndpoint& endpoint, std::size_t jobs,
                 std::vector<bool> retryAnswers = {},
                 std::optional<std::chrono::milliseconds> cancelAfter = std::nullopt,
                 std::chrono::milliseconds deadline = 30s) {
        TimedRun result;
        std::stop_source stop;
        const DeviceBatch batch{macFile.string(), "srv", "alice", jobs};
        const provisioning::ServerSilentQuestion ask = [&](const std::string& server,
                                                           const support::Phrase& reason) {
            result.questions.push_back({server, reason.english()});
            const std::size_t asked = result.questions.size();
            return asked <= retryAnswers.size() && retryAnswers[asked - 1];
        };
        support::NullProgress none;
        const auto start = Clock::now();
        auto done = std::async(std::launch::async, [&] {
            ::testing::internal::CaptureStdout();
            auto summary = provisioning::addDevices(endpoint, batch, {}, ask, result.reporter, none,
                                                    stop.get_token());
            ::testing::internal::GetCapturedStdout();
            return summary;
        });
        const auto cancelAt = cancelAfter ? *cancelAfter : deadline;
        Clock::time_point cancelled{};
        if (done.wait_for(cancelAt) == std::future_status::timeout) {
            cancelled = Clock::now();
            stop.request_stop();
        }
        result.summary = done.get();
        const auto end = Clock::now();
        result.took = std::chrono::duration_cast<std::chrono::milliseconds>(end - start);
        if (cancelled != Clock::time_point{}) {
            result.afterCancel =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - cancelled);
        }
        return result;
    }

    TestCertificates certificates;
    TempDir dir;
    std::vector<std::string> macs = macAddresses(0x41, 40);
    std::filesystem::path macFile = [this] {
        std::vector<std::vector<std::string>> rows;
        for (const auto& mac : macs) rows.push_back({mac});
        return writeMacFile(dir, "macs.csv", rows);
    }();
};

TEST_F(SilentServerTest, NoHandshakeOrDeadPortEndsTheBatchWithinSecondsAskingOnce) {
    ClosedPort dead;
    struct Row {
        const char* what;
        bool silent;
    };
    for (const Row row : {Row{"accepts and never speaks", true}, Row{"dead port", false}}) {
        for (std::size_t jobs : {std::size_t{1}, std::size_t{16}}) {
            SCOPED_TRACE(std::string(row.what) + ", jobs " + std::to_string(jobs));
            // A listener of its own each time: its accept queue holds the earlier connections.
            SilentTcpListener silent;
            const std::uint16_t port = row.silent ? silent.port() : dead.port();
            const std::string reason =
                row.silent
                    ? "no TLS handshake with 127.0.0.1:" + std::to_string(port) + " within 5 s"
                    : "cannot connect to 127.0.0.1:" + std::to_string(port) +
                          ": Connection refused";
            // The built-in time-outs: a server that does not answer is found in seconds.
            const TimedRun got = run(endpointOn(port), jobs);
            EXPECT_LT(got.took, 15s);
            EXPECT_EQ(got.afterCancel, std::chrono::milliseconds(-1))
                << "it never had to be cancelled";
            ASSERT_TRUE(got.summary.ok());
            ASSERT_EQ(got.questions.size(), 1u);
            EXPECT_EQ(got.questions[0].server, "127.0.0.1");
            EXPECT_EQ(got.questions[0].reason, reason);
            EXPECT_EQ(got.summary->serverNotAnswering, reason);
            EXPECT_EQ(got.summary->count(MacOutcome::NotSent), macs.size())
                << "nothing reached the server, so nothing failed";
            EXPECT_FALSE(got.summary->succeeded());
            for (const auto& result : got.summary->results) {
                EXPECT_EQ(result.reason,
                          "not sent: The server 127.0.0.1 is not answering (" + reason + ")");
            }
            ASSERT_EQ(got.reporter.entries().size(), 1u) << "no per-MAC boxes, one summary";
            EXPECT_NE(got.reporter.entries()[0].text.find("Add device stopped"), std::string::npos);
        }
    }
}

TEST_F(SilentServerTest, RetryTriesTheUnsentRowsAgainAndAsksAgain) {
    SilentTcpListener silent;
    auto endpoint = endpointOn(silent.port());
    endpoint.timeouts.connect = 500ms;
    const TimedRun got = run(endpoint, 8, {true, false});
    ASSERT_TRUE(got.summary.ok());
    ASSERT_EQ(got.questions.size(), 2u) << "one question per try";
    EXPECT_EQ(got.summary->count(MacOutcome::NotSent), macs.size());
    EXPECT_LT(got.took, 15s);
}

TEST_F(SilentServerTest, ACancelWhileTheQuestionIsOpenIsACancelWhateverTheAnswer) {
    ClosedPort dead;
    std::stop_source stop;
    const provisioning::ServerSilentQuestion cancelThenRetry = [&stop](const std::string&,
                                                                       const support::Phrase&) {
        stop.request_stop();
        return true;
    };
    support::NullReporter quiet;
    support::NullProgress none;
    ::testing::internal::CaptureStdout();
    auto summary = provisioning::addDevices(endpointOn(dead.port()),
                                            DeviceBatch{macFile.string(), "srv", "alice", 4}, {},
                                            cancelThenRetry, quiet, none, stop.get_token());
    ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(summary.ok());
    EXPECT_TRUE(summary->cancelled);
    EXPECT_TRUE(summary->serverNotAnswering.empty());
    EXPECT_EQ(summary->count(MacOutcome::NotSent), macs.size());
}

TEST_F(SilentServerTest, CancelTakesEffectAtOnceAndARecordSentIsUnknown) {
    SilentTcpListener beforeHandshake;
    ScriptedTlsServer neverReplies(certificates.server().certificate, certificates.server().key,
                                   wire::kDeviceRequestSize, {ServerAction::NeverAnswer, ""});
    struct Row {
        const char* what;
        std::uint16_t port;
        MacOutcome inFlight;  // what the rows under way become
    };
    const Row rows[] = {{"stuck before the handshake", beforeHandshake.port(), MacOutcome::NotSent},
                        {"record taken, no reply", neverReplies.port(), MacOutcome::Unknown}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto endpoint = endpointOn(row.port);
        endpoint.timeouts = {60s, 60s};
        const TimedRun got = run(endpoint, 4, {}, 700ms);
        ASSERT_GE(got.afterCancel, 0ms);
        // Far inside the minute's time-outs: the Cancel ended it, not a time-out, however
        // loaded the machine.
        EXPECT_LT(got.afterCancel, 20s);
        ASSERT_TRUE(got.summary.ok());
        EXPECT_TRUE(got.summary->cancelled);
        EXPECT_EQ(got.summary->count(MacOutcome::Failed), 0u);
        EXPECT_EQ(got.summary->count(MacOutcome::Added), 0u);
        // The scripted server takes one connection at a time: one record is sent, the others
        // wait for their handshake.
        EXPECT_GE(got.summary->count(row.inFlight), 1u);
        EXPECT_EQ(got.summary->count(MacOutcome::Unknown) + got.summary->count(MacOutcome::NotSent),
                  macs.size());
        if (row.inFlight == MacOutcome::Unknown) {
            for (const auto& result : got.summary->results) {
                EXPECT_EQ(result.reason, result.outcome == MacOutcome::Unknown
                                             ? "sent, but no reply: abandoned at the cancel"
                                             : "cancelled before it was sent");
            }
            EXPECT_EQ(provisioning::outcomeName(MacOutcome::Unknown), "unknown (sent, no reply)");
        }
    }
}

TEST_F(SilentServerTest, ARecordLeftUnansweredIsUnknownNeverFailedNorAdded) {
    ScriptedTlsServer neverReplies(certificates.server().certificate, certificates.server().key,
                                   wire::kDeviceRequestSize, {ServerAction::NeverAnswer, ""});
    auto endpoint = endpointOn(neverReplies.port());
    endpoint.timeouts = {5s, 300ms};
    const TimedRun got = run(endpoint, 4);
    ASSERT_TRUE(got.summary.ok());
    // No reply at all from the start is silence too: the batch stops after the first ones.
    ASSERT_EQ(got.questions.size(), 1u);
    EXPECT_EQ(got.summary->count(MacOutcome::Failed), 0u);
    EXPECT_EQ(got.summary->count(MacOutcome::Added), 0u);
    EXPECT_GE(got.summary->count(MacOutcome::Unknown), 1u);
    EXPECT_EQ(got.summary->count(MacOutcome::Unknown) + got.summary->count(MacOutcome::NotSent),
              macs.size());
    // The first record's reply timed out; one the server took meanwhile was abandoned.
    const std::string timedOut =
        "sent, but no reply: no reply from 127.0.0.1:" + std::to_string(neverReplies.port()) +
        " within 300 ms";
    std::size_t timedOutRows = 0;
    for (const auto& result : got.summary->results) {
        if (result.outcome != MacOutcome::Unknown) continue;
        timedOutRows += result.reason == timedOut;
        EXPECT_TRUE(result.reason == timedOut ||
                    result.reason == "sent, but no reply: abandoned when the batch stopped")
            << result.reason;
    }
    EXPECT_GE(timedOutRows, 1u);
    const std::string csv = report::csvText(provisioning::resultsTable(*got.summary));
    EXPECT_NE(csv.find(",add,\"unknown (sent, no reply)\",\"sent, but no reply: no reply from"),
              std::string::npos)
        << csv;
}

}  // namespace
}  // namespace velquor::testing
