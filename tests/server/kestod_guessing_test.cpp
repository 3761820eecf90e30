// Password guessing spread over many addresses: the per-account rule holds a name's logins
// back once it has failed often enough from anywhere, while its owner, at an address that
// logged in as the user before, gets in at once. Every guess goes to a real kestod over TLS,
// each from its own loopback address.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "server/guard/address_group.h"
#include "server/store/account_store.h"

namespace velquor::testing {
namespace {

struct Guesses {
    std::atomic<int> checked{0};   // "NO": the password was checked, and wrong
    std::atomic<int> heldBack{0};  // "RETRY": not checked
    std::atomic<int> other{0};
};

// guessesEach wrong passwords at name from each of addresses loopback addresses at once.
void guessFrom(const KestodFixture& server, int addresses, int guessesEach, const std::string& name,
               Guesses& guesses) {
    std::vector<std::thread> attackers;
    for (int a = 0; a < addresses; ++a) {
        attackers.emplace_back([&, a] {
            const KestoPeer peer(server, "127.0.1." + std::to_string(10 + a));
            for (int g = 0; g < guessesEach; ++g) {
                const std::string reply =
                    peer.login(name, "guess-" + std::to_string(a) + "-" + std::to_string(g));
                auto& tally = reply == "NO"      ? guesses.checked
                              : reply == "RETRY" ? guesses.heldBack
                                                 : guesses.other;
                ++tally;
            }
        });
    }
    for (auto& attacker : attackers) attacker.join();
}

TEST(KestodGuessingTest, GuessesFromManyAddressesAreHeldBackAndTheOwnerStillLogsIn) {
    KestodFixture server({.serveArguments = {"--max-per-peer", "1000"}});
    const KestoPeer usual(server, "127.0.0.1");
    ASSERT_EQ(usual.login("chief", server.chiefPassword()), "YES") << "the owner's usual address";

    Guesses guesses;
    guessFrom(server, 20, 11, "chief", guesses);
    // Before, every address had its 10 checks: 200 of the 220. Now the name's 20th failure
    // holds it back, and only a hold that ends in the meantime lets one more through.
    EXPECT_GE(guesses.checked.load(), 20);
    EXPECT_LT(guesses.checked.load(), 40);
    EXPECT_EQ(guesses.checked + guesses.heldBack, 220);
    EXPECT_EQ(guesses.other.load(), 0);

    EXPECT_EQ(usual.login("chief", server.chiefPassword()), "YES") << "not held back for him";
    const KestoPeer stranger(server, "127.0.2.1");
    EXPECT_EQ(stranger.login("chief", server.chiefPassword()), "RETRY")
        << "a new address waits for the hold, even with the right password";
    EXPECT_EQ(usual.account("ADD", "dora", "pw-dora"), "YES") << "the owner's grant works";

    const std::string log = logWith(server, "passed its limit of failed logins", 1);
    EXPECT_EQ(occurrences(log, "passed its limit of failed logins (20 from "), 1u) << log;
    const std::string users = server.runTool({"users"});
    EXPECT_NE(users.find("\nchief\t"), std::string::npos);
    EXPECT_NE(users.find(" (held back)\n"), std::string::npos) << users;
}

TEST(KestodGuessingTest, UnknownNamesAreHeldBackAlikeAndLoggedByLengthOnly) {
    KestodFixture server({.serveArguments = {"--max-failed-logins-per-account", "5"}});
    Guesses guesses;
    guessFrom(server, 5, 2, "s3cret-typed-as-name", guesses);
    EXPECT_LT(guesses.checked.load(), 10) << "a name nobody has is held back as well";
    EXPECT_GT(guesses.heldBack.load(), 0);
    const std::string log = logWith(server, "wrong name or password", 5);
    EXPECT_EQ(log.find("s3cret-typed-as-name"), std::string::npos) << log;
    EXPECT_NE(log.find("user=\"s... (20 bytes)\""), std::string::npos) << log;
}

TEST(PeerGroupTest, IPv6CountsByItsSlash64AndIPv4ByItself) {
    EXPECT_EQ(server::peerGroupOf("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(server::peerGroupOf("2001:db8:1:2:aaaa:bbbb:cccc:dddd"), "2001:db8:1:2::/64");
    EXPECT_EQ(server::peerGroupOf("2001:db8:1:2::1"), server::peerGroupOf("2001:db8:1:2:ffff::9"));
    EXPECT_NE(server::peerGroupOf("2001:db8:1:2::1"), server::peerGroupOf("2001:db8:1:3::1"));
    EXPECT_EQ(server::peerGroupOf("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(server::peerGroupOf("::1"), "::/64");
}

TEST(LoginLimitsTest, HoldsDoubleFromTwoSecondsToAMinute) {
    const server::LoginLimits limits;  // the 5-minute window
    using std::chrono::milliseconds;
    EXPECT_EQ(limits.holdAfter(1), milliseconds(2'000));
    EXPECT_EQ(limits.holdAfter(2), milliseconds(4'000));
    EXPECT_EQ(limits.holdAfter(5), milliseconds(32'000));
    EXPECT_EQ(limits.holdAfter(6), milliseconds(60'000));
    EXPECT_EQ(limits.holdAfter(1'000'000), milliseconds(60'000));
}

}  // namespace
}  // namespace velquor::testing
