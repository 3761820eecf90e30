// Device batches with several exchanges in flight, sent through the latency proxy so that they
// finish out of order, against the same file sent one request at a time to a second kestod
// prepared alike: the report, the messages, the questions, the progress and the devices the
// server ends with must agree row by row.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <stop_token>

#include "kesto_e2e_support.h"
#include "latency_proxy.h"
#include "report/csv_writer.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;
using provisioning::DeviceBatch;
using provisioning::DeviceBatchSummary;
using provisioning::ReplaceAnswer;
using Entry = support::RecordingReporter::Entry;

constexpr std::size_t kParallelJobs = 8;
// On the overtaking proxy each connection of a round is this much quicker, each way, than the
// one opened before it.
constexpr auto kOvertakingStep = 12ms;

// Everything one run showed the operator and left on the server.
struct RunRecord {
    std::string report;  // the CSV report
    std::vector<Entry> messages;
    std::vector<std::string> questions;
    std::vector<std::uint64_t> progress;  // the done counts, as reported
    std::string devices;                  // the server's registrations, times left out
    bool cancelled = false;
};

// What a run is asked, and an action to take when a given number of rows is done.
struct RunScript {
    std::vector<ReplaceAnswer> answers;  // the questions beyond these are answered No
    std::uint64_t actAt = 0;
    std::function<void(std::stop_source&)> action;
    bool remove = false;  // "DEL" instead of "ADD"
};

RunScript answering(std::vector<ReplaceAnswer> answers) {
    RunScript script;
    script.answers = std::move(answers);
    return script;
}

class RecordingProgress final : public support::ProgressSink {
public:
    RecordingProgress(const RunScript& script, std::stop_source& stop)
        : m_script(script), m_stop(stop) {}
    void progress(std::uint64_t done, std::uint64_t, std::string_view) override {
        counts.push_back(done);
        if (m_script.action && done == m_script.actAt && !m_acted) {
            m_acted = true;
            m_script.action(m_stop);
        }
    }
    std::vector<std::uint64_t> counts;

private:
    const RunScript& m_script;
    std::stop_source& m_stop;
    bool m_acted = false;
};

// One kestod with alice logged in; behind the latency proxy when `delayed`.
class Site {
public:
    explicit Site(bool delayed, KestodOptions options = {}) : m_server(std::move(options)) {
        makeOperator(m_server, "alice", "pw");
        if (delayed) {
            m_proxy = std::make_unique<LatencyProxy>(m_server.address(), m_server.devicePort(), 2ms,
                                                     12ms);
        }
    }
    // Behind a proxy on which a later exchange of the same round always overtakes an earlier
    // one, by a margin far above the scheduler's: two exchanges that should never have been in
    // flight together reach the server in the wrong order on every run, not on some.
    explicit Site(JitterOrder order) : Site(false) {
        m_proxy = std::make_unique<LatencyProxy>(
            m_server.address(), m_server.devicePort(), 2ms,
            kOvertakingStep * (LatencyProxy::kOvertakingRound - 1), order);
    }

    KestodFixture& server() { return m_server; }
    const LatencyProxy* proxy() const { return m_proxy.get(); }

    provisioning::KestoEndpoint endpoint() const {
        auto endpoint = m_server.endpoint();
        if (m_proxy) endpoint.devicePort = m_proxy->port();
        return endpoint;
    }

    // "mac user server" per registration: the columns after them (the time of registration,
    // the account's id) differ between two servers prepared alike.
    std::string devices() const {
        std::istringstream table(m_server.runTool({"devices"}));
        std::string devices;
        for (std::string line; std::getline(table, line);) {
            std::size_t end = 0;
            for (int column = 0; column < 3 && end != std::string::npos; ++column) {
                end = line.find('\t', end == 0 ? 0 : end + 1);
            }
            devices += line.substr(0, end) + "\n";
        }
        return devices;
    }

    RunRecord run(const std::filesystem::path& file, std::size_t jobs,
                  const RunScript& script = {}) {
        RunRecord record;
        support::RecordingReporter reporter;
        std::stop_source stop;
        RecordingProgress progress(script, stop);
        const DeviceBatch batch{file.string(), "srv-new", "alice", jobs};
        std::size_t asked = 0;
        auto ask = [&](const std::string&, const std::string& question, const std::string&) {
            record.questions.push_back(question);
            return asked < script.answers.size() ? script.answers[asked++] : ReplaceAnswer::No;
        };
        const provisioning::ServerSilentQuestion stopWhenSilent;
        auto summary = script.remove
                           ? provisioning::deleteDevices(endpoint(), batch, stopWhenSilent,
                                                         reporter, progress, stop.get_token())
                           : provisioning::addDevices(endpoint(), batch, ask, stopWhenSilent,
                                                      reporter, progress, stop.get_token());
        EXPECT_TRUE(summary.ok());
        if (!summary) return record;
        record.report = report::csvText(provisioning::resultsTable(*summary));
        record.messages = reporter.entries();
        record.progress = progress.counts;
        record.devices = devices();
        record.cancelled = summary->cancelled;
        return record;
    }

    // Registers the MACs with another server text, one at a time and without the proxy.
    void registerBeforehand(const TempDir& dir, const std::vector<std::string>& macs) {
        std::vector<std::vector<std::string>> rows;
        for (const auto& mac : macs) rows.push_back({mac});
        support::NullReporter quiet;
        support::NullProgress none;
        auto summary = provisioning::addDevices(
            m_server.endpoint(),
            DeviceBatch{writeMacFile(dir, "before.csv", rows).string(), "srv-old", "alice", 1}, {},
            quiet, none, {});
        ASSERT_TRUE(summary.ok());
        ASSERT_TRUE(summary->succeeded());
    }

private:
    KestodFixture m_server;
    std::unique_ptr<LatencyProxy> m_proxy;
};

void expectSameRun(const RunRecord& parallel, const RunRecord& sequential) {
    EXPECT_EQ(parallel.report, sequential.report);
    EXPECT_EQ(parallel.messages, sequential.messages);
    EXPECT_EQ(parallel.questions, sequential.questions);
    EXPECT_EQ(parallel.progress, sequential.progress);
    EXPECT_EQ(parallel.devices, sequential.devices);
    EXPECT_EQ(parallel.cancelled, sequential.cancelled);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.ends_with('\r')) line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The row, column, cell, MAC and operation of a report line: what is left once outcome and
// reason are cut off.
std::string rowOf(const std::string& line) {
    std::size_t end = 0;
    for (int field = 0; field < 5; ++field) end = line.find(',', end) + 1;
    return line.substr(0, end);
}

// The outcome, reason and retry of a report line.
std::string resultOf(const std::string& line) {
    return line.substr(rowOf(line).size());
}

// One MAC per row, in the given order.
std::filesystem::path oneColumnFile(const TempDir& dir, const std::vector<std::string>& macs) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& mac : macs) rows.push_back({mac});
    return writeMacFile(dir, "macs.csv", rows);
}

class BatchOrderTest : public ::testing::Test {
protected:
    TempDir dir;
    Site sequential{false};
};

TEST_F(BatchOrderTest, RepeatsRegisteredMacsAndAnswersMatchTheOneAtATimeRun) {
    Site parallel{JitterOrder::LaterFirst};
    const auto macs = macAddresses(0x31, 24);
    const std::vector<std::string> registered{macs[2], macs[5], macs[9], macs[15], macs[20]};
    sequential.registerBeforehand(dir, registered);
    parallel.registerBeforehand(dir, registered);

    // Repeats close together and far apart, in one column and across a row; registered MACs
    // among the repeats, so that an "EXIST" waiting for its answer holds a later row back.
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < 24; ++i) rows.push_back({macs[i]});
    rows.insert(rows.begin() + 3, {macs[0], macs[0]});
    rows.insert(rows.begin() + 7, {macs[5]});
    rows.push_back({macs[1], macs[2]});
    rows.push_back({macs[5]});
    rows.push_back({macs[23], macs[0]});
    const auto file = writeMacFile(dir, "macs.csv", rows);

    // No, Yes, No, then Yes to All in the middle of the run, while other rows are in flight.
    const RunScript answers = answering(
        {ReplaceAnswer::No, ReplaceAnswer::Yes, ReplaceAnswer::No, ReplaceAnswer::YesToAll});
    const RunRecord expected = sequential.run(file, 1, answers);
    const RunRecord got = parallel.run(file, kParallelJobs, answers);
    ASSERT_EQ(expected.questions.size(), 4u);
    const auto rowsMet = [&](const std::string& ending) {
        std::size_t count = 0;
        for (const auto& line : lines(expected.report))
            count += line.find(ending) != std::string::npos;
        return count;
    };
    // A repeat is skipped before the run, so each registered MAC is asked about once.
    ASSERT_GE(rowsMet(",replace,replaced,"), 3u) << "Yes to All must answer later rows";
    ASSERT_EQ(rowsMet(",add,skipped,repeats "), 8u);
    expectSameRun(got, expected);
    EXPECT_GT(parallel.proxy()->mostAtOnce(), 1u) << "the run never had two in flight";

    // Removing the file again: the second "DEL" of a repeated MAC fails the same way.
    RunScript removal;
    removal.remove = true;
    expectSameRun(parallel.run(file, kParallelJobs, removal), sequential.run(file, 1, removal));

    // No to All part-way applies to the rows already answered "EXIST" and waiting, too.
    const RunScript declineRest = answering({ReplaceAnswer::Yes, ReplaceAnswer::NoToAll});
    sequential.registerBeforehand(dir, macs);
    parallel.registerBeforehand(dir, macs);
    expectSameRun(parallel.run(file, kParallelJobs, declineRest),
                  sequential.run(file, 1, declineRest));
}

TEST_F(BatchOrderTest, CancelAbandonsWhatIsInFlightAndSendsNothingMore) {
    Site parallel{true};
    // Rows enough that the Cancel, taken when the sixth is reported, still finds rows unsent on
    // a loaded machine whose reports lag behind the exchanges.
    const auto macs = macAddresses(0x32, 200);
    const auto file = oneColumnFile(dir, macs);
    const RunRecord full = sequential.run(file, 1);

    RunScript cancelAtSix;
    cancelAtSix.actAt = 6;
    cancelAtSix.action = [](std::stop_source& stop) { stop.request_stop(); };
    const RunRecord got = parallel.run(file, kParallelJobs, cancelAtSix);
    EXPECT_TRUE(got.cancelled);

    // Each row was done as the full run did it, abandoned in flight, or not sent at all; the
    // rows reported before the Cancel were done.
    const auto expectedLines = lines(full.report);
    const auto gotLines = lines(got.report);
    ASSERT_EQ(gotLines.size(), expectedLines.size());
    std::size_t notSent = 0;
    std::string done;
    std::vector<std::string> unknown;
    for (std::size_t i = 1; i < gotLines.size(); ++i) {
        SCOPED_TRACE(gotLines[i]);
        ASSERT_EQ(rowOf(gotLines[i]), rowOf(expectedLines[i]));
        const std::string result = resultOf(gotLines[i]);
        if (result == "not sent,cancelled before it was sent,yes") {
            EXPECT_GT(i, 6u);
            ++notSent;
        } else if (result ==
                   "\"unknown (sent, no reply)\",\"sent, but no reply: abandoned at the cancel\","
                   "yes") {
            EXPECT_GT(i, 6u);
            unknown.push_back(macs[i - 1]);
        } else {
            EXPECT_EQ(gotLines[i], expectedLines[i]);
            done += macs[i - 1] + "\talice\tsrv-new\n";
        }
    }
    EXPECT_GT(notSent, 0u) << "the Cancel came too late to test anything";
    // The server has every row reported done, none of those not sent, and perhaps some of
    // those whose reply was abandoned.
    std::string devices = got.devices;
    for (const auto& mac : unknown) {
        const std::string line = mac + "\talice\tsrv-new\n";
        if (const auto at = devices.find(line); at != std::string::npos) {
            devices.erase(at, line.size());
        }
    }
    EXPECT_EQ(devices, "mac\tuser\tserver\n" + done);
    ASSERT_EQ(got.messages.size(), 1u);
    EXPECT_NE(got.messages[0].text.find("Not sent (cancelled): " + std::to_string(notSent)),
              std::string::npos)
        << got.messages[0].text;
    EXPECT_NE(got.messages[0].text.find("Failed: 0"), std::string::npos);
}

TEST_F(BatchOrderTest, ServerStoppedHalfwayFailsInRowOrderThenStops) {
    Site parallel{true};
    // Enough rows that the server's stop always leaves some unsent, however loaded the machine:
    // with few, every row may be answered before kestod acts on its SIGTERM.
    const auto macs = macAddresses(0x33, 160);
    const auto file = oneColumnFile(dir, macs);
    const RunRecord full = sequential.run(file, 1);

    RunScript stopAtFive;
    stopAtFive.actAt = 5;
    stopAtFive.action = [&parallel](std::stop_source&) { parallel.server().stop(); };
    ::testing::internal::CaptureStdout();
    const RunRecord got = parallel.run(file, kParallelJobs, stopAtFive);
    ::testing::internal::GetCapturedStdout();

    const auto expectedLines = lines(full.report);
    const auto gotLines = lines(got.report);
    ASSERT_EQ(gotLines.size(), expectedLines.size());
    std::vector<std::string> failedMacs;
    std::size_t notSent = 0;
    for (std::size_t i = 1; i < gotLines.size(); ++i) {
        SCOPED_TRACE(gotLines[i]);
        ASSERT_EQ(rowOf(gotLines[i]), rowOf(expectedLines[i]));
        const std::string result = resultOf(gotLines[i]);
        if (result.starts_with("failed,")) {
            EXPECT_GT(i, 5u);
            failedMacs.push_back(macs[i - 1]);
        } else if (result.starts_with("not sent,not sent: The server 127.0.0.1 is not answering")) {
            EXPECT_GT(i, 5u);
            ++notSent;
        } else if (!result.starts_with("\"unknown (sent, no reply)\",")) {
            EXPECT_EQ(gotLines[i], expectedLines[i]);
            EXPECT_NE(got.devices.find(macs[i - 1] + "\talice"), std::string::npos)
                << "reported added but not on the server";
        }
    }
    EXPECT_GT(notSent, 0u) << "a server gone for good stops the batch";
    // The failure messages name the first failed rows, in row order, then one summary.
    std::vector<Entry> expectedMessages;
    for (std::size_t i = 0; i < std::min(failedMacs.size(), provisioning::kMaxFailureMessages);
         ++i) {
        expectedMessages.push_back({failedMacs[i] + " add failed!", "Add device"});
    }
    ASSERT_EQ(got.messages.size(), expectedMessages.size() + 1);
    EXPECT_EQ(std::vector<Entry>(got.messages.begin(), got.messages.end() - 1), expectedMessages);
    EXPECT_NE(got.messages.back().text.find("Not sent: " + std::to_string(notSent)),
              std::string::npos)
        << got.messages.back().text;
}

TEST_F(BatchOrderTest, ConnectionsTheServerTurnsAwayAreRetriedNotFailed) {
    // kestod takes three connections from one address at a time and drops the rest at once.
    KestodOptions strict;
    strict.serveArguments = {"--max-per-peer", "3"};
    Site parallel{true, strict};
    const auto macs = macAddresses(0x34, 30);
    const auto file = oneColumnFile(dir, macs);

    const RunRecord got = parallel.run(file, kParallelJobs);
    expectSameRun(got, sequential.run(file, 1));
    EXPECT_NE(parallel.server().log().find("refused: too many connections"), std::string::npos)
        << "the server never turned a connection away, so nothing was retried";
    // A retried request was sent once: one ADD per MAC reached the server. Stopping the server
    // first lets every logged line land before the count.
    const auto port = parallel.server().devicePort();
    ASSERT_TRUE(parallel.server().stop());
    std::size_t adds = 0;
    for (const auto& request : requestsOnPort(parallel.server(), port)) {
        adds += request.operation == "ADD";
    }
    EXPECT_EQ(adds, macs.size());
}

}  // namespace
}  // namespace velquor::testing
