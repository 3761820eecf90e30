// The parts of kestod that are worth checking without a network: the store's transactions
// and constraints, password hashing, log escaping, how addresses share the workers, and the
// addresses a certificate may name.
#include <gtest/gtest.h>

#include <thread>

#include "server/commands/initialise_folder.h"
#include "server/guard/login_rate.h"
#include "server/guard/password_hash.h"
#include "server/requests/refusal_tally.h"
#include "server/requests/request_log.h"
#include "server/serving/fair_queue.h"
#include "server/serving/trusted_groups.h"
#include "server/store/sqlite/sqlite_account_store.h"
#include "server/tls/certificates.h"
#include "temp_dir.h"

namespace velquor::server {
namespace {

using testing::TempDir;

TEST(PasswordHashTest, VerifiesOnlyTheSamePasswordAndSaltsEachHash) {
    auto first = hashPassword("correct horse", 1000);
    auto second = hashPassword("correct horse", 1000);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->digest.size(), 32u);
    EXPECT_NE(first->salt, second->salt);
    EXPECT_NE(first->digest, second->digest);
    EXPECT_TRUE(verifyPassword("correct horse", *first));
    EXPECT_FALSE(verifyPassword("correct horsf", *first));
    EXPECT_FALSE(verifyPassword("", *first));
    PasswordHash damaged = *first;
    damaged.iterations = 999;
    EXPECT_FALSE(verifyPassword("correct horse", damaged));
    damaged = *first;
    damaged.digest.pop_back();
    EXPECT_FALSE(verifyPassword("correct horse", damaged));
}

TEST(PasswordHashTest, MatchesAnIndependentPbkdf2) {
    // RFC 7914 section 11's PBKDF2-HMAC-SHA256 vector: P="passwd", S="salt", c=1.
    PasswordHash known{"salt", 1, ""};
    const unsigned char expected[] = {0x55, 0xac, 0x04, 0x6e, 0x56, 0xe3, 0x08, 0x9f,
                                      0xec, 0x16, 0x91, 0xc2, 0x25, 0x44, 0xb6, 0x05,
                                      0xf9, 0x41, 0x85, 0x21, 0x6d, 0xde, 0x04, 0x65,
                                      0xe6, 0x8b, 0x9d, 0x57, 0xc2, 0x0d, 0xac, 0xbc};
    known.digest.assign(reinterpret_cast<const char*>(expected), sizeof expected);
    EXPECT_TRUE(verifyPassword("passwd", known));
}

class AccountStoreTest : public ::testing::Test {
protected:
    TempDir temp;
    std::filesystem::path file = temp / "kestod.db";
    std::unique_ptr<AccountStore> open() {
        auto store = SqliteAccountStore::open(file, AccountStore::OpenMode::CreateIfMissing);
        if (!store) {
            ADD_FAILURE() << store.error().message;
            return nullptr;
        }
        return std::move(*store);
    }
};

TEST_F(AccountStoreTest, RefusesAMissingDatabaseUnlessAskedToCreateIt) {
    auto missing = SqliteAccountStore::open(file, AccountStore::OpenMode::MustExist);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().message.find("kestod init"), std::string::npos);
}

TEST_F(AccountStoreTest, UniqueNamesAndMacsComeBackAsExists) {
    auto store = open();
    auto hash = hashPassword("pw", 10).value();
    EXPECT_EQ(store->addUser("bob", hash).value(), StoreOutcome::Done);
    EXPECT_EQ(store->addUser("bob", hash).value(), StoreOutcome::Exists);
    EXPECT_EQ(store->addUser("Bob", hash).value(), StoreOutcome::Done) << "names are exact";
    EXPECT_EQ(store->addDevice("m", "s", "bob").value(), StoreOutcome::Done);
    EXPECT_EQ(store->addDevice("m", "t", "Bob").value(), StoreOutcome::Exists);
    EXPECT_EQ(store->replaceDevice("m", "t", "Bob").value(), StoreOutcome::NotFound);
    EXPECT_EQ(store->deleteDevice("m", "Bob").value(), StoreOutcome::NotFound);
    EXPECT_EQ(store->replaceDevice("m", "t", "bob").value(), StoreOutcome::Done);
    auto devices = store->listDevices().value();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].server, "t");
    EXPECT_EQ(store->deleteDevice("m", "bob").value(), StoreOutcome::Done);
    EXPECT_TRUE(store->listDevices().value().empty());
    EXPECT_EQ(store->deleteUser("nobody").value(), StoreOutcome::NotFound);
}

TEST_F(AccountStoreTest, ConcurrentConnectionsSerialiseTheirWrites) {
    open()->addUser("u", hashPassword("pw", 10).value()).value();
    constexpr int kThreads = 8;
    constexpr int kPerThread = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto store = open();
            for (int i = 0; i < kPerThread; ++i) {
                auto done = store->addDevice("mac-" + std::to_string(t * kPerThread + i), "s", "u");
                if (!done || *done != StoreOutcome::Done) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(open()->listDevices().value().size(), std::size_t(kThreads * kPerThread));
}

TEST(PasswordFileTest, TakesTheFirstLineAndRefusesWhatALoginCannotCarry) {
    TempDir temp;
    testing::writeFile(temp / "a", "s3cret\r\nignored\n");
    EXPECT_EQ(readPasswordFile(temp / "a").value(), "s3cret");
    testing::writeFile(temp / "b", "\n");
    EXPECT_FALSE(readPasswordFile(temp / "b"));
    testing::writeFile(temp / "c", std::string(65, 'p'));
    auto tooLong = readPasswordFile(temp / "c");
    ASSERT_FALSE(tooLong);
    EXPECT_NE(tooLong.error().message.find("64"), std::string::npos);
    testing::writeFile(temp / "d", std::string(64, 'p'));
    EXPECT_TRUE(readPasswordFile(temp / "d"));
    EXPECT_FALSE(readPasswordFile(temp / "missing"));
}

TEST(RequestLogTest, EscapesWhatCouldForgeOrSplitALine) {
    EXPECT_EQ(escapeForLog("aa:bb"), "aa:bb");
    EXPECT_EQ(escapeForLog("x\ny"), "x\\x0ay");
    EXPECT_EQ(escapeForLog("q\"\\"), "q\\x22\\x5c");
    EXPECT_EQ(escapeForLog("\xe4"), "\\xe4");
    const auto line = formatLogLine(std::chrono::system_clock::time_point{},
                                    LogEntry{"10.0.0.1", 44391, "ADD", "bob\n", "m", "YES", ""});
    EXPECT_EQ(line,
              "1970-01-01T00:00:00.000Z peer=10.0.0.1 port=44391 op=ADD user=\"bob\\x0a\" "
              "mac=\"m\" reply=YES");
}

// The order in which workers take records: the address with the fewest in hand, then the one
// served least recently, then the record that waited longest.
// A group that logged in is kept room for until its time ends, not for ever; a later login
// moves its end on, and a full memory lets the ended ones go first, then the one ending first.
TEST(TrustedGroupsTest, AGroupIsRememberedUntilItsTimeEndsAndNoLonger) {
    using namespace std::chrono_literals;
    const auto start = TrustedGroups::Clock::now();
    TrustedGroups trusted(3);
    trusted.remember("192.0.2.7", start + 24h, start);
    EXPECT_TRUE(trusted.holds("192.0.2.7", start));
    EXPECT_TRUE(trusted.holds("192.0.2.7", start + 24h - 1s));
    EXPECT_FALSE(trusted.holds("192.0.2.7", start + 24h)) << "remembered for ever";
    EXPECT_FALSE(trusted.holds("192.0.2.8", start));
    trusted.remember("192.0.2.7", start + 48h, start + 23h);
    EXPECT_TRUE(trusted.holds("192.0.2.7", start + 30h));

    trusted.remember("2001:db8:1:2::/64", start + 1h, start);
    trusted.remember("198.51.100.1", start + 2h, start);
    // Full at 3: at 90 minutes the group that ended goes, and nothing else.
    trusted.remember("203.0.113.5", start + 3h, start + 90min);
    EXPECT_EQ(trusted.size(), 3u);
    EXPECT_FALSE(trusted.holds("2001:db8:1:2::/64", start + 30min));
    EXPECT_TRUE(trusted.holds("198.51.100.1", start + 90min));
    // None ended: the one ending first goes.
    trusted.remember("203.0.113.6", start + 4h, start + 100min);
    EXPECT_EQ(trusted.size(), 3u);
    EXPECT_FALSE(trusted.holds("198.51.100.1", start + 100min));
    EXPECT_TRUE(trusted.holds("192.0.2.7", start + 100min));
    EXPECT_TRUE(trusted.holds("203.0.113.6", start + 100min));
}

TEST(FairQueueTest, AddressesTakeTurnsWhateverTheirBacklog) {
    FairQueue<int> queue;
    for (int i = 0; i < 5; ++i) queue.push("flood", i);
    queue.push("quiet", 100);
    queue.push("other", 200);
    std::vector<std::string> order;
    while (auto next = queue.pop()) {
        order.push_back(next->first);
        queue.done(next->first);  // one worker: each record finished before the next
    }
    EXPECT_EQ(order, (std::vector<std::string>{"flood", "quiet", "other", "flood", "flood", "flood",
                                               "flood"}));
    EXPECT_TRUE(queue.empty());
}

TEST(FairQueueTest, AnAddressHoldingWorkersWaitsBehindOneHoldingFewer) {
    FairQueue<int> queue;
    queue.push("a", 1);
    queue.push("a", 2);
    queue.push("a", 3);
    ASSERT_EQ(queue.pop()->second, 1);
    ASSERT_EQ(queue.pop()->second, 2);  // nobody else waits: "a" may take a second worker
    queue.push("b", 10);
    EXPECT_EQ(queue.pop()->first, "b");
    EXPECT_EQ(queue.pop()->second, 3);
    EXPECT_FALSE(queue.pop());
}

// A flood of one refusal is one line at once and one per interval after it, whatever its
// size; a kind that stopped is forgotten after an interval without more.
TEST(RefusalTallyTest, TheFirstOfAKindIsLoggedAndTheRestCountedPerInterval) {
    using server::RefusalTally;
    RefusalTally tally;
    const auto start = RefusalTally::Clock::now();
    const RefusalTally::Refusal held{"held back", "erin", "192.0.2.7", 44388, "RETRY"};
    EXPECT_TRUE(tally.count(held, start));
    for (int i = 0; i < 1000; ++i) EXPECT_FALSE(tally.count(held, start));
    EXPECT_TRUE(tally.count({"held back", "bob", "192.0.2.7", 44388, "RETRY"}, start))
        << "another name is another kind";
    EXPECT_EQ(tally.flush(start), start + RefusalTally::kInterval) << "nothing ended yet";
    const auto later = start + RefusalTally::kInterval;
    EXPECT_EQ(tally.flush(later), later + RefusalTally::kInterval) << "erin's interval goes on";
    EXPECT_FALSE(tally.count(held, later)) << "still counted, not logged";
    const auto quiet = later + RefusalTally::kInterval;
    EXPECT_EQ(tally.flush(quiet), quiet + RefusalTally::kInterval) << "erin's count written";
    EXPECT_EQ(tally.flush(quiet + RefusalTally::kInterval), RefusalTally::Clock::time_point::max())
        << "a quiet interval forgets every kind";
    EXPECT_TRUE(tally.count(held, quiet + RefusalTally::kInterval));
}

TEST(LoginRateLimitTest, CountsSuccessesPerAddressWithinAMinute) {
    LoginRateLimit limit(2);
    const auto start = LoginRateLimit::Clock::now();
    EXPECT_TRUE(limit.reserve("a", start));
    EXPECT_TRUE(limit.reserve("a", start));
    EXPECT_FALSE(limit.reserve("a", start));
    EXPECT_TRUE(limit.reserve("b", start)) << "per address";
    limit.cancel("a");  // a failed login gives its place back
    EXPECT_TRUE(limit.reserve("a", start));
    EXPECT_TRUE(limit.reserve("a", start + std::chrono::seconds(61)));
}

TEST(CertifiedAddressTest, NamesAndAddressesAreTold) {
    for (const char* good : {"192.0.2.7", "2001:db8::7", "::1", "localhost", "kesto.example.com",
                             "kesto-1.example.com.", "xn--bcher-kva.example"}) {
        EXPECT_EQ(addressProblem(good), "") << good;
    }
    for (const char* bad : {"", "192.0.2", "300.1.2.3", "kesto_1.example", "-kesto.example",
                            "kesto..example", "a b", "kesto.example.com/x", "*.example.com"}) {
        EXPECT_NE(addressProblem(bad), "") << bad;
    }
    EXPECT_EQ(splitAddressList("a, b,c"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(joinAddressList({"a", "::1"}), "a,::1");
}

}  // namespace
}  // namespace velquor::server
