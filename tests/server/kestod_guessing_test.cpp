// Password guessing spread over many addresses: each network's first guess at a name and a
// few more an hour are checked, the rest held back; the owner still gets in from an address
// she logged in from (remembered by the store, across restarts), from a new address of a
// network that has not guessed, or from one the chief trusts. Every guess goes to a real
// kestod over TLS, each from its own loopback address; the guessing policy itself is tested
// alone first.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "guessing_run.h"
#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "provisioning/provisioning_channel.h"
#include "server/guard/guessing_limit.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;
using server::decideLogin;
using server::GuessingCounts;
using server::LoginLimits;
using server::LoginVerdict;

// The default limits: 60 shared checks an hour, 20 of them at once, then one a minute.
GuessingCounts guessed(long long guesses, long long networks, long long fromNetwork,
                       std::chrono::milliseconds sinceLatest = 0ms,
                       std::chrono::milliseconds sinceOldest = 0ms) {
    GuessingCounts counts;
    counts.tally = {guesses, networks, sinceOldest, sinceLatest};
    counts.fromNetwork = fromNetwork;
    return counts;
}

TEST(GuessingPolicyTest, EachNetworksFirstGuessIsCheckedWhateverOthersDid) {
    const LoginLimits limits;
    const auto spent = guessed(5'000, 40, 100);
    EXPECT_EQ(decideLogin(spent, limits).verdict, LoginVerdict::Account);
    auto fresh = guessed(5'000, 40, 0);
    const auto decision = decideLogin(fresh, limits);
    EXPECT_EQ(decision.verdict, LoginVerdict::Check);
    EXPECT_TRUE(decision.guess) << "recorded, so the network has had its one";
    fresh.trusted = true;
    EXPECT_EQ(decideLogin(fresh, limits).verdict, LoginVerdict::Check);
    EXPECT_FALSE(decideLogin(fresh, limits).guess) << "a known address is no guess";
}

TEST(GuessingPolicyTest, SharedChecksGoAThirdAtOnceThenOneAMinuteUpToSixtyAnHour) {
    const LoginLimits limits;
    // 3 networks had their own; 19 shared so far: the 20th still goes at once, and says so.
    auto twentieth = decideLogin(guessed(22, 3, 5), limits);
    EXPECT_EQ(twentieth.verdict, LoginVerdict::Check);
    EXPECT_TRUE(twentieth.pacingStarts);
    EXPECT_FALSE(decideLogin(guessed(21, 3, 5), limits).pacingStarts);
    // From the 21st, a minute after the latest guess.
    const auto early = decideLogin(guessed(23, 3, 5, 15s), limits);
    EXPECT_EQ(early.verdict, LoginVerdict::Account);
    EXPECT_EQ(early.holdFor, 45s);
    EXPECT_EQ(decideLogin(guessed(23, 3, 5, 60s), limits).verdict, LoginVerdict::Check);
    // The 61st shared check waits for the oldest guess to leave the hour, however long ago the
    // latest was.
    const auto spent = decideLogin(guessed(63, 3, 5, 10min, 50min), limits);
    EXPECT_EQ(spent.verdict, LoginVerdict::Account);
    EXPECT_EQ(spent.holdFor, 10min);
    EXPECT_EQ(decideLogin(guessed(62, 3, 5, 10min, 50min), limits).verdict, LoginVerdict::Check);
}

TEST(GuessingPolicyTest, TheAddressRulesComeFirstEvenForATrustedAddress) {
    const LoginLimits limits;
    GuessingCounts counts;
    counts.trusted = true;
    counts.ofNameAtGroup = limits.failuresPerName;
    EXPECT_EQ(decideLogin(counts, limits).verdict, LoginVerdict::NameAtAddress);
    counts.ofNameAtGroup = 0;
    counts.ofGroup = limits.failuresPerAddress;
    EXPECT_EQ(decideLogin(counts, limits).verdict, LoginVerdict::Address);
    EXPECT_EQ(decideLogin(counts, limits).holdFor, limits.window);
}

TEST(GuessingPolicyTest, EverythingScalesWithTheWindow) {
    LoginLimits limits;
    limits.window = 1s;  // an hour of 12 s
    limits.guessesPerHour = 3;
    EXPECT_EQ(limits.guessBurst(), 1);
    EXPECT_EQ(limits.guessSpacing(), 4s);
    EXPECT_EQ(decideLogin(guessed(2, 1, 2, 1s), limits).holdFor, 3s);
}

TEST(HeldBackReplyTest, TheWordCarriesTheFailuresWithinItsSevenBytes) {
    auto buffer = [](std::string reply) {
        reply.resize(wire::kReplyBufferSize, '\0');
        return reply;
    };
    EXPECT_EQ(wire::heldBackReply(42), "HELD42");
    EXPECT_EQ(wire::heldBackReply(123'456), "HELD999");
    EXPECT_EQ(wire::heldBackFailures(buffer(wire::heldBackReply(123'456))), 999);
    EXPECT_EQ(wire::heldBackFailures(buffer("HELD0")), 0);
    for (const char* other : {"HELD", "HELDx", "HELD1x", "RETRY", "NO", "held3"}) {
        EXPECT_FALSE(wire::heldBackFailures(buffer(other))) << other;
    }
}

// The per-address rules out of the way, so the guessing limit alone holds guesses back.
const std::vector<std::string> kOnlyTheGuessingLimit = {"--max-failed-logins-per-name",
                                                        "100000",
                                                        "--max-failed-logins-per-address",
                                                        "100000",
                                                        "--max-per-peer",
                                                        "1000",
                                                        "--max-logins-per-address",
                                                        "1000"};

TEST(KestodGuessingTest, TheOwnerGetsInFromANewAddressOfHerNetworkWhileOthersGuess) {
    for (const int networks : {3, 40}) {
        SCOPED_TRACE(std::to_string(networks) + " guessing networks");
        KestodFixture server({.serveArguments = kOnlyTheGuessingLimit});
        GuessingRun run(server, otherNetworks(networks), "chief");
        run.awaitHeldBack(200);
        for (int attempt = 0; attempt < 5; ++attempt) {
            const KestoPeer owner(server, "127.0.0." + std::to_string(20 + attempt));
            EXPECT_EQ(owner.login("chief", server.chiefPassword()), "YES") << attempt;
        }
        run.stop();
        EXPECT_GT(run.heldBack.load(), 200);
        EXPECT_EQ(run.unanswered.load(), 0);
        // Within the hour: one per network and the shared ones that go at once, with a paced
        // one now and then.
        EXPECT_GE(run.checked.load(), 20 + networks);
        EXPECT_LE(run.checked.load(), 60 + networks);
        const std::string log = logWith(server, "passed its limit of failed logins (");
        EXPECT_EQ(occurrences(log, "passed its limit of failed logins ("), 1u) << log;
    }
}

// The shared checks of a scaled-down limit: 3 an hour, the first at once.
const std::vector<std::string> kThreeAnHour = {"--max-failed-logins-per-account", "3"};

TEST(KestodGuessingTest, AHeldLoginSaysWhyAndTheChiefCanTrustTheAddress) {
    KestodFixture server({.serveArguments = kThreeAnHour});
    const KestoPeer attacker(server, "127.0.1.9");
    EXPECT_EQ(attacker.login("chief", "guess-1"), "NO") << "the network's own check";
    EXPECT_EQ(attacker.login("chief", "guess-2"), "NO") << "the one shared check at once";
    EXPECT_EQ(attacker.login("chief", "guess-3"), "HELD2");
    const KestoPeer owner(server, "127.0.1.50");
    EXPECT_EQ(owner.login("chief", server.chiefPassword()), "HELD2") << "her network guessed";
    EXPECT_NE(server.runTool({"users"}).find("\nchief\t"), std::string::npos);
    EXPECT_NE(server.runTool({"users"}).find("\t2 (held back)\n"), std::string::npos);

    int status = -1;
    const std::string said = server.runTool({"users", "trust", "chief", "127.0.1.50"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(said, "kestod: trusted 127.0.1.50/32 for the logins of chief for 7 days\n");
    EXPECT_EQ(owner.login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(attacker.login("chief", "guess-4"), "HELD2") << "only the address trusted";
    // An IPv6 range holds no IPv4 peer, however short its prefix.
    for (const char* range : {"2001:db8::/32", "fd00::/8", "8000::/1", "::/96", "::1"}) {
        server.runTool({"users", "trust", "chief", range}, &status);
        EXPECT_EQ(status, 0) << range;
        EXPECT_EQ(KestoPeer(server, "127.0.1.52").login("chief", server.chiefPassword()), "HELD2")
            << range;
    }
    // No name, or every address without saying so: refused, and the list is not printed.
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"users", "trust", "", "127.0.1.52"},
          {"users", "trust", "chief", "0.0.0.0/0"},
          {"users", "trust", "chief", "::/0"},
          {"users", "trust", "chief", "::ffff:0.0.0.0/96"}}) {
        const std::string output = server.runTool(wrong, &status);
        EXPECT_EQ(status, 2) << wrong[3];
        EXPECT_EQ(output.find("chief\t"), std::string::npos) << output;
    }
    EXPECT_EQ(KestoPeer(server, "127.0.1.52").login("chief", server.chiefPassword()), "HELD2");
    server.runTool({"users", "trust", "chief", "127.0.1.0/24", "--days", "1"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(KestoPeer(server, "127.0.1.51").login("chief", server.chiefPassword()), "YES");

    server.runTool({"users", "trust", "nobody", "127.0.1.0/24"}, &status);
    EXPECT_NE(status, 0) << "no such account";
    server.runTool({"users", "trust", "chief", "127.0.1.0/33"}, &status);
    EXPECT_NE(status, 0);
    // Asked for in so many words, every address is trusted, with a warning in the log.
    server.runTool({"users", "trust", "chief", "0.0.0.0/0", "--everywhere"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(KestoPeer(server, "127.0.2.9").login("chief", server.chiefPassword()), "YES");

    const std::string log = logWith(server, "held back for ");
    EXPECT_NE(log.find("2 failed logins of this name from 1 networks in the last hour"),
              std::string::npos)
        << log;
}

TEST(KestodGuessingTest, TheClientSaysWhoseLoginsAreHeldBackAndWhatToDo) {
    KestodFixture server({.serveArguments = kThreeAnHour});
    // A guesser in the client's own network (the client connects from 127.0.0.1).
    const KestoPeer attacker(server, "127.0.0.9");
    while (attacker.login("chief", "guess").starts_with("NO")) {
    }
    provisioning::ProvisioningChannel channel(server.endpoint(), {5s, 15s});
    EXPECT_EQ(channel.SendLoginRequest(*wire::buildLoginRequest({"chief", "whatever"})), -1);
    EXPECT_EQ(channel.lastRefusal(), provisioning::ServerRefusal::HeldBack);
    EXPECT_EQ(channel.lastError(),
              "logins of chief are being held back after 2 failed attempts from elsewhere; ask "
              "the administrator to trust this address (it replied \"HELD2\")");
}

TEST(KestodGuessingTest, AnAddressThatLoggedInIsStillKnownAfterARestart) {
    KestodFixture server({.serveArguments = kThreeAnHour});
    const KestoPeer usual(server, "127.0.0.5");
    ASSERT_EQ(usual.login("chief", server.chiefPassword()), "YES");
    server.restart();
    // A guessing run from her own network holds her new addresses back, not her usual one.
    const KestoPeer attacker(server, "127.0.0.9");
    while (attacker.login("chief", "guess").starts_with("NO")) {
    }
    EXPECT_EQ(KestoPeer(server, "127.0.0.6").login("chief", server.chiefPassword()), "HELD2");
    EXPECT_EQ(usual.login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(usual.login("chief", "typo"), "NO") << "checked, and no guess";
    EXPECT_EQ(usual.login("chief", server.chiefPassword()), "YES");
}

TEST(KestodGuessingTest, UnknownNamesAreHeldBackAlikeAndLoggedByLengthOnly) {
    KestodFixture server({.serveArguments = kThreeAnHour});
    const KestoPeer guesser(server, "127.0.1.9");
    for (int i = 0; i < 4; ++i) guesser.login("s3cret-typed-as-name", "x");
    EXPECT_EQ(guesser.login("s3cret-typed-as-name", "x"), "HELD2")
        << "a name nobody has is held back as well";
    const std::string log = logWith(server, "wrong name or password", 2);
    EXPECT_EQ(log.find("s3cret-typed-as-name"), std::string::npos) << log;
    EXPECT_NE(log.find("user=\"s... (20 bytes)\""), std::string::npos) << log;
}

}  // namespace
}  // namespace velquor::testing
