// What the operator is told when kestod says no: the product's text stays, and the detail says
// why — the name or password, the lock-out after repeated refusals, a login the server no
// longer knows, a MAC address that is not registered.
#include <gtest/gtest.h>

#include <thread>

#include "kesto_e2e_support.h"
#include "provisioning/device_inventory.h"
#include "report/csv_writer.h"
#include "wait_until.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;
using provisioning::DeviceBatch;
using provisioning::MacOutcome;
using Entry = support::RecordingReporter::Entry;

TEST(KestoReasons, RefusedLoginsSayWhyAndMentionTheLockOutOnceSeveralWereSeen) {
    KestodFixture server;
    support::RecordingReporter reporter;
    provisioning::LoginRefusals refusals;
    const std::string refused = "the server replied \"NO\": the name or password was refused";
    for (int attempt = 1; attempt <= 3; ++attempt) {
        SCOPED_TRACE(attempt);
        reporter.clear();
        auto role =
            provisioning::login(server.endpoint(), "chief", "wrong", reporter, {}, &refusals);
        ASSERT_FALSE(role.ok());
        EXPECT_EQ(role.error().code, support::ErrorCode::Refused);
        ASSERT_EQ(reporter.entries().size(), 1u);
        EXPECT_EQ(reporter.entries()[0], (Entry{"Login failed!", "Login"}));
        const std::string& detail = reporter.details()[0];
        EXPECT_EQ(detail.substr(0, refused.size()), refused);
        const bool lockOutMentioned = detail.find("after 10 failed logins") != std::string::npos;
        EXPECT_EQ(lockOutMentioned, attempt >= provisioning::LoginRefusals::kSeveral) << detail;
    }
    EXPECT_EQ(refusals.refusals("chief"), 3);
    EXPECT_EQ(refusals.refusals("other"), 0);
    reporter.clear();
    ASSERT_TRUE(provisioning::login(server.endpoint(), "chief", server.chiefPassword(), reporter,
                                    {}, &refusals)
                    .ok());
    EXPECT_EQ(refusals.refusals("chief"), 0) << "a login that worked starts the count again";
    EXPECT_TRUE(reporter.entries().empty());

    // A server that is not there is not a wrong password, and counts for nothing.
    server.stop();
    ::testing::internal::CaptureStdout();
    auto down = provisioning::login(server.endpoint(), "chief", "wrong", reporter, {}, &refusals);
    ::testing::internal::GetCapturedStdout();
    ASSERT_FALSE(down.ok());
    EXPECT_EQ(down.error().code, support::ErrorCode::Network);
    EXPECT_EQ(reporter.details()[0],
              "cannot connect to 127.0.0.1:" + std::to_string(server.loginPort()) +
                  ": Connection refused");
    EXPECT_EQ(refusals.refusals("chief"), 0);
}

// Waits (10 s at most) until the server refuses user's own listing, which changes nothing, as
// not logged in: the login has ended.
bool loginEnded(const KestodFixture& server, const std::string& user) {
    const auto fetch = provisioning::channelFetchers(server.endpoint(), {})();
    return waitUntil(
        [&] {
            const auto page = fetch({user, "", 0, ""});
            return !page && page.error().message.find("NOLOGIN") != std::string::npos;
        },
        10s);
}

// The login is ended on the server by a password change, which the client cannot tell from an
// expiry (kestod's own tests see a grant expire): a grant short enough to wait for would lapse
// during the first part too on a busy machine.
TEST(KestoReasons, AnEndedLoginSaysLogInAgainAndAnUnknownMacSaysSo) {
    KestodFixture server;
    makeOperator(server, "alice", "pw");
    TempDir dir;
    const auto macs = macAddresses(0x51, 3);
    const auto file = writeMacFile(dir, "macs.csv", {{macs[0]}, {macs[1]}, {macs[2]}});
    const DeviceBatch batch{file.string(), "srv", "alice", 1};
    support::RecordingReporter reporter;
    support::NullProgress none;

    // One registered, so that the delete below meets one known and two unknown MACs.
    const auto one = writeMacFile(dir, "one.csv", {{macs[0]}});
    ASSERT_TRUE(provisioning::addDevices(server.endpoint(),
                                         DeviceBatch{one.string(), "srv", "alice", 1}, {}, reporter,
                                         none, {})
                    ->succeeded());
    reporter.clear();
    auto deleted = provisioning::deleteDevices(server.endpoint(), batch, reporter, none, {});
    ASSERT_TRUE(deleted.ok());
    EXPECT_EQ(deleted->results[0].outcome, MacOutcome::Deleted);
    EXPECT_EQ(deleted->results[1].outcome, MacOutcome::Failed);
    EXPECT_EQ(deleted->results[1].reason,
              "the server replied \"NO\": the MAC address is not registered to this user, or the "
              "login has expired or the server restarted: log in again");
    ASSERT_GE(reporter.details().size(), 1u);
    EXPECT_EQ(reporter.entries()[0], (Entry{macs[1] + " delete failed!", "Delete device"}));
    EXPECT_EQ(reporter.details()[0], deleted->results[1].reason);

    // Once the login has ended every request is refused: the operator is told to log in again.
    ASSERT_EQ(server.setPassword("alice", "pw"), 0);
    ASSERT_TRUE(loginEnded(server, "alice"));
    reporter.clear();
    auto added = provisioning::addDevices(server.endpoint(), batch, {}, reporter, none, {});
    ASSERT_TRUE(added.ok());
    EXPECT_EQ(added->count(MacOutcome::Failed), 3u);
    const std::string notLoggedIn =
        "not logged in from this address (the login expired, the password was changed or the "
        "server restarted): log in again (it replied \"NOLOGIN\")";
    for (const auto& result : added->results) EXPECT_EQ(result.reason, notLoggedIn);
    EXPECT_EQ(reporter.details()[0], added->results[0].reason);
    const std::string csv = report::csvText(provisioning::resultsTable(*added));
    EXPECT_NE(csv.find("1,1,A1," + macs[0] +
                       ",add,failed,\"not logged in from this address (the login expired, the "
                       "password was changed or the server restarted): log in again (it "
                       "replied \"\"NOLOGIN\"\")\",yes\r\n"),
              std::string::npos)
        << csv;

    // The account requests say why too.
    reporter.clear();
    EXPECT_FALSE(
        provisioning::changePassword(server.endpoint(), "alice", "new", "new", reporter).ok());
    EXPECT_EQ(reporter.entries()[0], (Entry{"ChangePasswordr failed !", "ChangePassword"}));
    EXPECT_NE(reporter.details()[0].find("log in again"), std::string::npos)
        << reporter.details()[0];
}

}  // namespace
}  // namespace velquor::testing
