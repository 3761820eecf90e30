// Reading registrations back from a real kestod: an account's devices over several pages, only
// its own; MAC addresses checked (registered, not registered, another account's) both ways the
// check can go; the administrator listing and freeing another account's devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "kesto_e2e_support.h"
#include "mac/mac_address.h"
#include "provisioning/device_inventory.h"

namespace velquor::testing {
namespace {

using provisioning::CheckOutcome;
using provisioning::InventoryScope;

class KestoInventoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        makeOperator(server, "alice", "alice-pass");
        makeOperator(server, "bob", "bob-pass");
    }
    // Registers MACs for a user who is logged in, through the ordinary batch.
    void registerFor(const std::string& user, const std::vector<std::string>& macs) {
        std::vector<std::vector<std::string>> rows;
        // Written in the canonical form: what kestod keeps and lists.
        for (const auto& mac : macs) rows.push_back({canonical(mac)});
        const auto file = writeMacFile(dir, user + "-" + std::to_string(++m_files) + ".csv", rows);
        support::NullReporter quiet;
        support::NullProgress none;
        auto summary = provisioning::addDevices(
            server.endpoint(),
            provisioning::DeviceBatch{file.string(), "https://" + user + ".example/", user, 16}, {},
            {}, quiet, none, {});
        ASSERT_TRUE(summary.ok());
        ASSERT_EQ(summary->count(provisioning::MacOutcome::Added), macs.size());
    }
    provisioning::PageFetcherFactory fetchers() const {
        return provisioning::channelFetchers(server.endpoint(), {});
    }
    static std::string canonical(const std::string& mac) { return *mac::canonicalMac(mac); }

    // A few thousand registrations at 16 at a time: on a busy machine under the sanitizers a
    // record can wait for a worker past the default deadline, which other tests are about.
    KestodFixture server{{.serveArguments = {"--deadline-ms", "60000", "--handshake-ms", "30000"}}};
    TempDir dir;
    int m_files = 0;
};

TEST_F(KestoInventoryTest, AnAccountsDevicesArriveWholeOverSeveralPagesAndOnlyItsOwn) {
    std::vector<std::string> alices;
    for (int prefix = 0x40; prefix < 0x49; ++prefix) {
        for (const auto& mac : macAddresses(prefix, 240)) alices.push_back(mac);
    }
    alices.resize(2100);
    registerFor("alice", alices);
    registerFor("bob", {"02:00:00:00:77:01", "02-00-00-00-77-02"});

    support::NullProgress none;
    auto listed = provisioning::listDevices(fetchers(), {"alice", ""}, none, {},
                                            provisioning::InventoryOptions{3});
    ASSERT_TRUE(listed.ok()) << listed.error().message;
    std::vector<std::string> expected;
    for (const auto& mac : alices) expected.push_back(canonical(mac));
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(listed->size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ((*listed)[i].mac, expected[i]) << "row " << i;
        EXPECT_EQ((*listed)[i].server, "https://alice.example/");
        EXPECT_EQ((*listed)[i].registered.size(), 20u);
        EXPECT_EQ((*listed)[i].registered.back(), 'Z');
    }

    auto bobs = provisioning::listDevices(fetchers(), {"bob", ""}, none, {});
    ASSERT_TRUE(bobs.ok()) << bobs.error().message;
    ASSERT_EQ(bobs->size(), 2u);
    EXPECT_EQ((*bobs)[0].mac, "020000007701");
    EXPECT_EQ((*bobs)[1].mac, "020000007702");
}

// Few MACs are asked one by one; many are checked against the listing, the rest asked: both
// give the same outcomes, and another account's phone is never shown with its registration.
TEST_F(KestoInventoryTest, CheckTellsRegisteredNotRegisteredAndAnotherAccount) {
    const auto alices = macAddresses(0x50, 30);
    registerFor("alice", alices);
    registerFor("bob", {"02:00:00:00:51:01"});

    std::vector<std::string> few = {canonical(alices[0]), "020000005201", "020000005101"};
    std::vector<std::string> many;
    for (const auto& mac : alices) many.push_back(canonical(mac));
    many.push_back("020000005201");
    many.push_back("020000005101");
    for (const auto* macs : {&few, &many}) {
        support::NullProgress none;
        auto checked = provisioning::checkDevices(fetchers(), "alice", *macs, none, {});
        ASSERT_TRUE(checked.ok()) << checked.error().message;
        ASSERT_EQ(checked->size(), macs->size());
        const auto& last = checked->back();
        EXPECT_EQ(last.outcome, CheckOutcome::AnotherAccount);
        EXPECT_TRUE(last.server.empty()) << "another account's server text leaked";
        EXPECT_EQ((*checked)[checked->size() - 2].outcome, CheckOutcome::NotRegistered);
        for (std::size_t i = 0; i + 2 < checked->size(); ++i) {
            EXPECT_EQ((*checked)[i].outcome, CheckOutcome::Registered) << (*checked)[i].mac;
            EXPECT_EQ((*checked)[i].server, "https://alice.example/");
        }
    }
}

TEST_F(KestoInventoryTest, ListingNeedsTheUsersOwnGrantAndOtherAccountsAreTheChiefs) {
    registerFor("bob", {"02:00:00:00:61:01", "02:00:00:00:61:02"});
    support::NullProgress none;
    // Nobody logged in as carol from here.
    support::NullReporter quiet;
    ASSERT_TRUE(provisioning::login(server.endpoint(), "chief", server.chiefPassword(), quiet));
    ASSERT_TRUE(provisioning::addUser(server.endpoint(), "carol", "c-pass", "c-pass", quiet));
    auto carols = provisioning::listDevices(fetchers(), {"carol", ""}, none, {});
    ASSERT_FALSE(carols.ok());
    EXPECT_EQ(carols.error().code, support::ErrorCode::Refused);
    EXPECT_NE(carols.error().message.find("NOLOGIN"), std::string::npos) << carols.error().message;

    // alice may not list bob's; chief may, and frees them.
    auto asAlice = provisioning::listDevices(fetchers(), {"alice", "bob"}, none, {});
    EXPECT_FALSE(asAlice.ok());
    auto asChief = provisioning::listDevices(fetchers(), {"chief", "bob"}, none, {});
    ASSERT_TRUE(asChief.ok()) << asChief.error().message;
    EXPECT_EQ(asChief->size(), 2u);

    EXPECT_FALSE(provisioning::freeAccountDevices(server.endpoint(), "alice", "bob").ok());
    auto freed = provisioning::freeAccountDevices(server.endpoint(), "chief", "bob");
    ASSERT_TRUE(freed.ok()) << freed.error().message;
    auto after = provisioning::listDevices(fetchers(), {"chief", "bob"}, none, {});
    ASSERT_TRUE(after.ok()) << after.error().message;
    EXPECT_TRUE(after->empty());
    // Free again, so alice can take them.
    registerFor("alice", {"02:00:00:00:61:01"});
}

// An Add that meets another account's phone fails it without asking; the operator's own phone
// is still asked about.
TEST_F(KestoInventoryTest, AddingAnotherAccountsPhoneFailsWithoutAQuestion) {
    registerFor("bob", {"02:00:00:00:71:01"});
    registerFor("alice", {"02:00:00:00:71:02"});
    const auto file = writeMacFile(dir, "mixed.csv", {{"020000007101"}, {"020000007102"}});
    std::vector<std::string> asked;
    support::RecordingReporter reporter;
    support::NullProgress none;
    auto summary = provisioning::addDevices(
        server.endpoint(),
        provisioning::DeviceBatch{file.string(), "https://alice.example/", "alice", 1},
        [&](const std::string& mac, const std::string&, const std::string&) {
            asked.push_back(mac);
            return provisioning::ReplaceAnswer::No;
        },
        {}, reporter, none, {});
    ASSERT_TRUE(summary.ok());
    ASSERT_EQ(summary->results.size(), 2u);
    EXPECT_EQ(summary->results[0].outcome, provisioning::MacOutcome::Failed);
    EXPECT_EQ(summary->results[0].reason, "registered to another account");
    EXPECT_EQ(summary->results[1].outcome, provisioning::MacOutcome::Declined);
    EXPECT_EQ(asked, std::vector<std::string>{"020000007102"});
    // bob's registration is untouched.
    support::NullProgress quiet;
    auto bobs = provisioning::listDevices(fetchers(), {"bob", ""}, quiet, {});
    ASSERT_TRUE(bobs.ok());
    ASSERT_EQ(bobs->size(), 1u);
    EXPECT_EQ((*bobs)[0].server, "https://bob.example/");
}

}  // namespace
}  // namespace velquor::testing
