// The Kesto operations against a real kestod on loopback: roles, accounts, passwords, and the
// bulk MAC commands with their questions, messages, summary, cancellation and failures.
#include <gtest/gtest.h>

#include <functional>
#include <stop_token>

#include "kesto_e2e_support.h"
#include "mac/mac_address.h"
#include "report/csv_writer.h"

namespace velquor::testing {
namespace {

using provisioning::describeSummary;
using provisioning::DeviceBatch;
using provisioning::KestoRole;
using provisioning::MacOutcome;
using provisioning::ReplaceAnswer;
using Entry = support::RecordingReporter::Entry;
namespace text = provisioning::kesto_text;

// Calls an action once, when the batch reports a given number of MACs done.
class TriggerProgress final : public support::ProgressSink {
public:
    TriggerProgress(std::uint64_t at, std::function<void()> action)
        : m_at(at), m_action(std::move(action)) {}
    void progress(std::uint64_t done, std::uint64_t total, std::string_view) override {
        m_total = total;
        if (done == m_at && m_action) std::exchange(m_action, nullptr)();
    }
    std::uint64_t total() const { return m_total; }

private:
    std::uint64_t m_at;
    std::function<void()> m_action;
    std::uint64_t m_total = 0;
};

// Answers the replace question from a script and keeps the questions asked.
struct ScriptedQuestions {
    std::vector<ReplaceAnswer> answers;
    std::vector<std::string> asked;
    provisioning::ReplaceQuestion callback() {
        return [this](const std::string&, const std::string& question, const std::string&) {
            asked.push_back(question);
            EXPECT_LT(asked.size(), answers.size() + 1) << "asked more often than scripted";
            return asked.size() <= answers.size() ? answers[asked.size() - 1] : ReplaceAnswer::No;
        };
    }
};

class KestoOperationsTest : public ::testing::Test {
protected:
    support::Result<provisioning::DeviceBatchSummary> add(const std::filesystem::path& file,
                                                          provisioning::ReplaceQuestion ask = {},
                                                          support::ProgressSink* sink = nullptr,
                                                          std::stop_token stop = {}) {
        support::NullProgress none;
        return provisioning::addDevices(server.endpoint(), batchFor(file), ask, stopWhenSilent,
                                        reporter, sink ? *sink : none, stop);
    }
    support::Result<provisioning::DeviceBatchSummary> remove(const std::filesystem::path& file) {
        support::NullProgress none;
        return provisioning::deleteDevices(server.endpoint(), batchFor(file), stopWhenSilent,
                                           reporter, none, {});
    }
    // No one to ask: a server that does not answer stops the batch.
    const provisioning::ServerSilentQuestion stopWhenSilent;
    // One request at a time: these tests follow the server's log request by request. The
    // batch order tests compare runs with several in flight against this.
    DeviceBatch batchFor(const std::filesystem::path& file) const {
        return DeviceBatch{file.string(), "https://prov.example/cfg", "alice", 1};
    }
    std::vector<LoggedRequest> deviceRequests(std::size_t expected = 0) const {
        return requestsOnPort(server, server.devicePort(), expected);
    }

    KestodFixture server;
    TempDir dir;
    support::RecordingReporter reporter;
};

TEST_F(KestoOperationsTest, RoleRestsOnTheExactAdministratorName) {
    makeOperator(server, "Chief", "other-pass");
    makeOperator(server, "alice", "alice-pass");
    const auto endpoint = server.endpoint();

    auto chief = provisioning::login(endpoint, "chief", server.chiefPassword(), reporter);
    ASSERT_TRUE(chief.ok());
    EXPECT_EQ(*chief, KestoRole::UserAdministration);
    auto capitalised = provisioning::login(endpoint, "Chief", "other-pass", reporter);
    ASSERT_TRUE(capitalised.ok());
    EXPECT_EQ(*capitalised, KestoRole::DeviceRegistration);
    auto alice = provisioning::login(endpoint, "alice", "alice-pass", reporter);
    ASSERT_TRUE(alice.ok());
    EXPECT_EQ(*alice, KestoRole::DeviceRegistration);
    EXPECT_TRUE(reporter.entries().empty()) << "an accepted login shows nothing";

    EXPECT_FALSE(provisioning::login(endpoint, "alice", "wrong", reporter).ok());
    EXPECT_FALSE(provisioning::login(endpoint, "chief ", server.chiefPassword(), reporter).ok());
    EXPECT_EQ(reporter.entries(),
              (std::vector<Entry>{{"Login failed!", "Login"}, {"Login failed!", "Login"}}));
}

TEST_F(KestoOperationsTest, OverlongLoginTextsAreRefusedUnsent) {
    const auto before = requestsOnPort(server, server.loginPort()).size();
    // 64 characters but 128 bytes: the box's limit counts characters, the field bytes.
    std::string wide;
    for (int i = 0; i < 64; ++i) wide += "é";
    auto result = provisioning::login(server.endpoint(), wide, "x", reporter);
    ASSERT_FALSE(result.ok());
    ASSERT_EQ(reporter.entries().size(), 1u);
    EXPECT_NE(reporter.entries()[0].text.find("user name"), std::string::npos);
    EXPECT_NE(reporter.entries()[0].text.find("128 bytes"), std::string::npos);
    EXPECT_EQ(reporter.entries()[0].caption, "Login");
    EXPECT_FALSE(provisioning::login(server.endpoint(), "chief", std::string(65, 'p'), reporter));
    EXPECT_EQ(requestsOnPort(server, server.loginPort()).size(), before);
}

TEST_F(KestoOperationsTest, AddAndDeleteUsersWithTheProductsMessages) {
    const auto endpoint = server.endpoint();
    ASSERT_TRUE(provisioning::login(endpoint, "chief", server.chiefPassword(), reporter).ok());

    EXPECT_TRUE(provisioning::addUser(endpoint, "bob", "pw-1", "pw-1", reporter).ok());
    EXPECT_FALSE(provisioning::addUser(endpoint, "bob", "pw-1", "pw-1", reporter).ok());
    const auto accountRequests = requestsOnPort(server, server.accountPort(), 2).size();
    EXPECT_FALSE(provisioning::addUser(endpoint, "carol", "Secret", "secret", reporter).ok());
    EXPECT_EQ(requestsOnPort(server, server.accountPort()).size(), accountRequests)
        << "a mismatched confirmation must send nothing";
    EXPECT_TRUE(provisioning::login(endpoint, "bob", "pw-1", reporter).ok());
    ASSERT_TRUE(provisioning::login(endpoint, "chief", server.chiefPassword(), reporter).ok());
    EXPECT_TRUE(provisioning::deleteUser(endpoint, "bob", "", reporter).ok());
    EXPECT_FALSE(provisioning::deleteUser(endpoint, "bob", "", reporter).ok());
    EXPECT_FALSE(provisioning::login(endpoint, "bob", "pw-1", reporter).ok());

    EXPECT_EQ(reporter.entries(), (std::vector<Entry>{{"Add user successed!", "Add user"},
                                                      {"Add user failed!", "Add user"},
                                                      {"Password different! ", "Add user"},
                                                      {"Delete user successed!", "Delete user"},
                                                      {"Delete user failed!", "Delete user"},
                                                      {"Login failed!", "Login"}}));
}

TEST_F(KestoOperationsTest, PasswordChangeThenLoginWithTheNewPassword) {
    makeOperator(server, "alice", "old-pass");
    const auto endpoint = server.endpoint();
    const auto before = requestsOnPort(server, server.accountPort(), 1).size();
    EXPECT_FALSE(provisioning::changePassword(endpoint, "alice", "New", "new", reporter).ok());
    EXPECT_EQ(requestsOnPort(server, server.accountPort()).size(), before);

    EXPECT_TRUE(provisioning::changePassword(endpoint, "alice", "new-pass", "new-pass", reporter));
    EXPECT_FALSE(provisioning::login(endpoint, "alice", "old-pass", reporter).ok());
    EXPECT_TRUE(provisioning::login(endpoint, "alice", "new-pass", reporter).ok());
    EXPECT_EQ(reporter.entries(),
              (std::vector<Entry>{{"password not eque", "ChangePassword"},
                                  {"ChangePassword successed! ", "ChangePassword"},
                                  {"Login failed!", "Login"}}));
}

TEST_F(KestoOperationsTest, AddSendsEveryCellInRowOrderAndCompletes) {
    makeOperator(server, "alice", "pw");
    const auto macs = macAddresses(1, 6);
    const auto file =
        writeMacFile(dir, "macs.csv", {{macs[0], macs[1]}, {macs[2], macs[3]}, {macs[4], macs[5]}});
    auto summary = add(file);
    ASSERT_TRUE(summary.ok());
    EXPECT_TRUE(summary->complete());
    std::vector<LoggedRequest> expected;
    for (const auto& mac : macs) expected.push_back({"ADD", "alice", mac, "YES"});
    EXPECT_EQ(sortedRequests(deviceRequests(expected.size())), sortedRequests(expected));
    ASSERT_EQ(summary->results.size(), 6u);
    EXPECT_EQ(summary->results[3].row, 2);
    EXPECT_EQ(summary->results[3].column, 2);
    EXPECT_EQ(reporter.entries(), (std::vector<Entry>{{"Add device completely!", "Add device"}}));
    EXPECT_NE(server.runTool({"devices"}).find("https://prov.example/cfg"), std::string::npos);

    reporter.clear();
    auto removed = remove(file);
    ASSERT_TRUE(removed.ok());
    EXPECT_EQ(removed->count(MacOutcome::Deleted), 6u);
    EXPECT_EQ(reporter.entries(),
              (std::vector<Entry>{{"Delete device completely!", "Delete device"}}));
    EXPECT_EQ(server.runTool({"devices"}).find("0200000001"), std::string::npos);
}

TEST_F(KestoOperationsTest, ExistingDevicesFollowTheReplaceAnswers) {
    makeOperator(server, "alice", "pw");
    const auto macs = macAddresses(2, 5);
    const auto file = writeMacFile(dir, "macs.csv", {{macs[0]}, {macs[1]}, {macs[2]}, {macs[3]}});
    ASSERT_TRUE(add(file).ok());
    const auto sentBefore = deviceRequests(4).size();
    reporter.clear();

    ScriptedQuestions questions{{ReplaceAnswer::Yes, ReplaceAnswer::No, ReplaceAnswer::YesToAll},
                                {}};
    auto summary = add(file, questions.callback());
    ASSERT_TRUE(summary.ok());
    EXPECT_EQ(questions.asked, (std::vector<std::string>{macs[0] + " exist,replace it?",
                                                         macs[1] + " exist,replace it?",
                                                         macs[2] + " exist,replace it?"}));
    std::vector<LoggedRequest> expected{
        {"ADD", "alice", macs[0], "EXIST"}, {"UP", "alice", macs[0], "YES"},
        {"ADD", "alice", macs[1], "EXIST"}, {"ADD", "alice", macs[2], "EXIST"},
        {"UP", "alice", macs[2], "YES"},    {"ADD", "alice", macs[3], "EXIST"},
        {"UP", "alice", macs[3], "YES"}};
    // Each "EXIST" is looked up first: another account's phone is not asked about.
    for (const auto& mac : macs) {
        if (&mac != &macs[4])
            expected.push_back({"LIST", "alice", *mac::canonicalMac(mac), "ROWS"});
    }
    const auto sent = deviceRequests(sentBefore + expected.size());
    EXPECT_EQ(sortedRequests(std::vector<LoggedRequest>(sent.begin() + sentBefore, sent.end())),
              sortedRequests(expected));
    EXPECT_EQ(summary->count(MacOutcome::Replaced), 3u);
    EXPECT_EQ(summary->count(MacOutcome::Declined), 1u);
    EXPECT_TRUE(summary->succeeded());
    EXPECT_FALSE(summary->complete());
    // A declined replacement is the operator's choice, not a failure: the run completed.
    EXPECT_EQ(reporter.entries(), (std::vector<Entry>{{"Add device completely!", "Add device"}}));
    EXPECT_NE(describeSummary(*summary).find("Not replaced (already registered): 1"),
              std::string::npos);

    // No to All answers every later question without asking.
    ScriptedQuestions declineAll{{ReplaceAnswer::NoToAll}, {}};
    auto declined = add(file, declineAll.callback());
    ASSERT_TRUE(declined.ok());
    EXPECT_EQ(declineAll.asked.size(), 1u);
    EXPECT_EQ(declined->count(MacOutcome::Declined), 4u);
}

TEST_F(KestoOperationsTest, EmptyCellsAreSkippedAndCounted) {
    makeOperator(server, "alice", "pw");
    const auto macs = macAddresses(3, 3);
    const auto file = writeMacFile(dir, "macs.csv", {{macs[0], ""}, {"", macs[1]}, {macs[2]}});
    auto summary = add(file);
    ASSERT_TRUE(summary.ok());
    EXPECT_EQ(summary->emptyCells, 3u);
    EXPECT_EQ(summary->count(MacOutcome::Added), 3u);
    EXPECT_EQ(deviceRequests(3).size(), 3u);
    for (const auto& request : deviceRequests(3)) EXPECT_FALSE(request.mac.empty());
    EXPECT_EQ(reporter.entries(), (std::vector<Entry>{{"Add device completely!", "Add device"}}));
    EXPECT_NE(describeSummary(*summary).find("Empty cells (nothing to send): 3"),
              std::string::npos);
}

// The header, a refused cell and a repeat are never sent; the rows around them are, and every
// row comes back in its own place with its own text, a rewritten one saying so.
TEST_F(KestoOperationsTest, RowsNotSentKeepTheirPlacesAmongTheSentOnes) {
    makeOperator(server, "alice", "pw");
    const auto macs = macAddresses(9, 3);
    std::string dashed = macs[1].substr(0, 2);
    for (std::size_t at = 2; at < macs[1].size(); at += 2) dashed += "-" + macs[1].substr(at, 2);
    const auto file = writeMacFile(
        dir, "mixed.csv", {{"MAC"}, {macs[0]}, {"no-mac"}, {dashed}, {macs[0]}, {macs[2]}});
    auto summary = add(file);
    ASSERT_TRUE(summary.ok());
    const std::vector<std::pair<std::string, MacOutcome>> expected{
        {"MAC", MacOutcome::Skipped},    {macs[0], MacOutcome::Added},
        {"no-mac", MacOutcome::Refused}, {dashed, MacOutcome::Added},
        {macs[0], MacOutcome::Skipped},  {macs[2], MacOutcome::Added}};
    ASSERT_EQ(summary->results.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(summary->results[i].row, static_cast<int>(i) + 1);
        EXPECT_EQ(summary->results[i].macAddress, expected[i].first);
        EXPECT_EQ(summary->results[i].outcome, expected[i].second);
    }
    EXPECT_EQ(summary->results[3].written, macs[1]);
    EXPECT_FALSE(summary->results[3].reason.empty());
    EXPECT_NE(summary->results[4].reason.find("2"), std::string::npos);
    EXPECT_TRUE(summary->results[5].reason.empty());
}

TEST_F(KestoOperationsTest, ReaderFailureOrOverlongCellSendsNothing) {
    makeOperator(server, "alice", "pw");
    const auto missing = dir / "no-such-file.csv";
    auto unreadable = add(missing);
    ASSERT_FALSE(unreadable.ok());
    ASSERT_EQ(reporter.entries().size(), 1u);
    EXPECT_NE(reporter.entries()[0].text.find(missing.string()), std::string::npos);
    EXPECT_EQ(reporter.entries()[0].caption, "Add device");

    reporter.clear();
    const auto macs = macAddresses(4, 2);
    const auto file = writeMacFile(dir, "long.csv", {{macs[0]}, {macs[1], std::string(65, 'A')}});
    // Too long for its field, and no MAC address either: refused, never sent.
    auto overlong = remove(file);
    ASSERT_TRUE(overlong.ok());
    EXPECT_EQ(overlong->results.back().outcome, MacOutcome::Refused);
    EXPECT_EQ(overlong->results.back().reason, "65 hex digits, not 12");
    const std::size_t sent = deviceRequests(2).size();  // the two MAC addresses only
    ASSERT_FALSE(reporter.entries().empty());
    EXPECT_EQ(reporter.entries().back().caption, "Delete device");

    reporter.clear();
    const auto good = writeMacFile(dir, "good.csv", {{macs[0]}});
    support::NullProgress none;
    auto longServer = provisioning::addDevices(
        server.endpoint(), DeviceBatch{good.string(), std::string(129, 's'), "alice"}, {}, reporter,
        none, {});
    ASSERT_FALSE(longServer.ok());
    EXPECT_NE(reporter.entries()[0].text.find("Server text is 129 bytes"), std::string::npos);
    EXPECT_EQ(deviceRequests().size(), sent);
}

TEST_F(KestoOperationsTest, ServerStoppedHalfwayFailsThreeInARowThenStopsWithOneSummary) {
    makeOperator(server, "alice", "pw");
    const auto macs = macAddresses(5, 12);
    std::vector<std::vector<std::string>> rows;
    for (const auto& mac : macs) rows.push_back({mac});
    const auto file = writeMacFile(dir, "macs.csv", rows);
    const std::string refused =
        "cannot connect to 127.0.0.1:" + std::to_string(server.devicePort()) +
        ": Connection refused";
    TriggerProgress stopServer(4, [this] { server.stop(); });
    ::testing::internal::CaptureStdout();
    auto summary = add(file, {}, &stopServer);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("BIO_do_connect(bio)NULL<=0\n"),
              std::string::npos)
        << "the diagnostics still go to standard output";
    ASSERT_TRUE(summary.ok());
    // Two failures may be a hiccup; the third in a row means the server is gone, and with no
    // one to ask the batch stops: the rest are not sent rather than failed.
    EXPECT_EQ(summary->count(MacOutcome::Added), 4u);
    EXPECT_EQ(summary->count(MacOutcome::Failed), 2u);
    EXPECT_EQ(summary->count(MacOutcome::NotSent), 6u);
    EXPECT_EQ(summary->serverNotAnswering, refused);
    EXPECT_FALSE(summary->succeeded());
    for (std::size_t i = 4; i < 6; ++i) EXPECT_EQ(summary->results[i].reason, refused);
    EXPECT_EQ(summary->results[6].reason,
              "not sent: The server 127.0.0.1 is not answering (" + refused + ")");

    const auto& entries = reporter.entries();
    ASSERT_EQ(entries.size(), 3u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(entries[i], (Entry{macs[4 + i] + " add failed!", "Add device"}));
        EXPECT_EQ(reporter.details()[i], refused) << "every failure box says why";
    }
    const auto& last = entries.back();
    EXPECT_EQ(last.caption, "Add device");
    EXPECT_NE(last.text.find("Add device stopped: the server is not answering (" + refused),
              std::string::npos)
        << last.text;
    EXPECT_NE(last.text.find("Added: 4"), std::string::npos);
    EXPECT_NE(last.text.find("Failed: 2"), std::string::npos);
    EXPECT_NE(last.text.find("Not sent: 6"), std::string::npos);

    // From the first row on the server does not answer: nothing fails, nothing is sent.
    reporter.clear();
    ::testing::internal::CaptureStdout();
    auto deletes = remove(file);
    ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(deletes.ok());
    EXPECT_EQ(deletes->count(MacOutcome::NotSent), 12u);
    ASSERT_EQ(reporter.entries().size(), 1u);
    EXPECT_NE(reporter.entries()[0].text.find("Delete device stopped"), std::string::npos);

    // A caller that cannot ask at all has every row tried, each failing with its reason.
    reporter.clear();
    support::NullProgress none;
    ::testing::internal::CaptureStdout();
    auto everyRow =
        provisioning::deleteDevices(server.endpoint(), batchFor(file), reporter, none, {});
    ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(everyRow.ok());
    EXPECT_EQ(everyRow->count(MacOutcome::Failed), 12u);
    EXPECT_TRUE(everyRow->serverNotAnswering.empty());
    EXPECT_EQ(reporter.details()[0], refused);
}

TEST_F(KestoOperationsTest, CancelStopsBetweenMacs) {
    makeOperator(server, "alice", "pw");
    const auto macs = macAddresses(6, 5);
    const auto file =
        writeMacFile(dir, "macs.csv", {{macs[0], macs[1], macs[2], macs[3], macs[4]}});
    std::stop_source stop;
    TriggerProgress cancelAtTwo(2, [&stop] { stop.request_stop(); });
    auto summary = add(file, {}, &cancelAtTwo, stop.get_token());
    ASSERT_TRUE(summary.ok());
    EXPECT_TRUE(summary->cancelled);
    EXPECT_EQ(cancelAtTwo.total(), 5u);
    // Stopping the server first lets every logged line land before the count.
    server.stop();
    EXPECT_EQ(deviceRequests().size(), 2u);
    EXPECT_EQ(summary->count(MacOutcome::NotSent), 3u);
    ASSERT_EQ(reporter.entries().size(), 1u);
    EXPECT_NE(reporter.entries()[0].text.find("Not sent (cancelled): 3"), std::string::npos);

    const std::string csv = report::csvText(provisioning::resultsTable(*summary));
    EXPECT_NE(csv.find("1,2,B1," + macs[1] + ",add,added,,\r\n"), std::string::npos);
    EXPECT_NE(csv.find("1,5,E1," + macs[4] + ",add,not sent,cancelled before it was sent,yes\r\n"),
              std::string::npos);
}

TEST_F(KestoOperationsTest, AFileThatCannotBeReadWhollySendsNothing) {
    makeOperator(server, "alice", "pw");
    const auto macs = macAddresses(8, 3);
    // A quote that never closes would swallow the MACs after it into one cell.
    writeFile(dir / "quote.csv", macs[0] + "\n\"" + macs[1] + "\n" + macs[2] + "\n");
    auto unclosed = add(dir / "quote.csv");
    ASSERT_FALSE(unclosed.ok());
    ASSERT_EQ(reporter.entries().size(), 1u);
    EXPECT_NE(reporter.entries()[0].text.find("line 2: quoted field never closed"),
              std::string::npos)
        << reporter.entries()[0].text;

    // A stop asked for while the file is read ends the command without a message.
    reporter.clear();
    std::stop_source stopped;
    stopped.request_stop();
    auto cancelled =
        add(writeMacFile(dir, "macs.csv", {{macs[0]}}), {}, nullptr, stopped.get_token());
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.error().code, support::ErrorCode::Cancelled);
    EXPECT_TRUE(reporter.entries().empty());
    server.stop();
    EXPECT_TRUE(deviceRequests().empty());
}

}  // namespace
}  // namespace velquor::testing
