// What the store keeps of the phones' asks, on the store of the pass (SQLite, or PostgreSQL in
// the postgres. pass): the last ask per canonical MAC, seen by every listing, by a second
// connection (another instance), after the registration changes hands or goes, and before it
// comes.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "kestod_fixture.h"
#include "server/store/account_store.h"
#include "server/store/ask_recorder.h"
#include "server/store/sqlite/sqlite_account_store.h"
#include "temp_dir.h"

namespace velquor::server {
namespace {

class PhoneAskStoreTest : public ::testing::Test {
protected:
    testing::TempDir temp;
    std::unique_ptr<testing::TestDatabase> database;
    StoreLocation location{temp.path(), {}};

    void SetUp() override {
        if (testing::KestodFixture::defaultStore() == testing::StoreKind::Postgres) {
            database = std::make_unique<testing::TestDatabase>();
            location.databaseUrl = database->url();
        }
    }
    std::unique_ptr<AccountStore> open() {
        auto store = openAccountStore(location, AccountStore::OpenMode::CreateIfMissing);
        if (!store) {
            ADD_FAILURE() << store.error().message;
            return nullptr;
        }
        return std::move(*store);
    }
};

// An ask from address, told answer, `seconds` from now.
MacAsk askOf(std::string mac, std::string address, std::string_view answer, int seconds) {
    const auto at = std::chrono::system_clock::now() + std::chrono::seconds(seconds);
    return MacAsk{std::move(mac), PhoneAsk{askTime(at), std::move(address), std::string(answer)}};
}

const DeviceRow* rowOf(const std::vector<DeviceRow>& rows, std::string_view mac) {
    for (const auto& row : rows) {
        if (row.mac == mac) return &row;
    }
    return nullptr;
}

TEST_F(PhoneAskStoreTest, TheLastAskOfEachMacIsSeenByEveryListingAndEveryConnection) {
    auto first = open();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->addUser("bob", hashPassword("pw", 10).value()).value(), StoreOutcome::Done);
    ASSERT_EQ(first->addDevice("001a2b3c4d5e", "http://h/prov/", "bob").value(),
              StoreOutcome::Done);
    ASSERT_EQ(first->addDevice("001a2b3c4d5f", "http://h/other/", "bob").value(),
              StoreOutcome::Done);
    EXPECT_TRUE(first->findDevice("001a2b3c4d5e").value()->asked.at.empty()) << "never asked";

    ASSERT_TRUE(first->recordAsks({askOf("001a2b3c4d5e", "192.0.2.7", kAnswerNotFound, 0)}));
    // A MAC nobody registered is remembered too, and shows once it is registered.
    ASSERT_TRUE(first->recordAsks({askOf("001a2b3c4d5e", "198.51.100.9", kAnswerRedirected, 1),
                                   askOf("00aabbccddee", "203.0.113.1", kAnswerNotFound, 1)}));
    // An earlier ask written late (another instance's batch) leaves the later one.
    ASSERT_TRUE(first->recordAsks({askOf("001a2b3c4d5e", "192.0.2.99", kAnswerNotFound, -60)}));

    auto second = open();  // another instance's connection
    ASSERT_TRUE(second);
    const auto found = second->findDevice("001a2b3c4d5e").value();
    ASSERT_TRUE(found);
    EXPECT_EQ(found->asked.from, "198.51.100.9") << "the last ask replaces the one before";
    EXPECT_EQ(found->asked.answer, kAnswerRedirected);
    ASSERT_EQ(found->asked.at.size(), 20u) << found->asked.at;
    EXPECT_EQ(found->asked.at[10], 'T');
    EXPECT_EQ(found->asked.at.back(), 'Z');

    const auto page = second->devicesOf("bob", 0, 10).value();
    ASSERT_EQ(page.rows.size(), 2u);
    EXPECT_EQ(page.rows[0].asked.from, "198.51.100.9");
    EXPECT_EQ(page.rows[0].asked.at, found->asked.at);
    EXPECT_TRUE(page.rows[1].asked.at.empty()) << "the other phone never asked";
    const auto listed = second->listDevices().value();
    ASSERT_NE(rowOf(listed, "001a2b3c4d5e"), nullptr);
    EXPECT_EQ(rowOf(listed, "001a2b3c4d5e")->asked.answer, kAnswerRedirected);
    EXPECT_EQ(askedText(rowOf(listed, "001a2b3c4d5f")->asked), "never");

    ASSERT_EQ(second->addDevice("00aabbccddee", "s", "bob").value(), StoreOutcome::Done);
    EXPECT_EQ(first->findDevice("00aabbccddee").value()->asked.from, "203.0.113.1");
    ASSERT_TRUE(first->releaseDevice("001a2b3c4d5e").value());
    ASSERT_EQ(first->addDevice("001a2b3c4d5e", "s2", "bob").value(), StoreOutcome::Done);
    EXPECT_EQ(second->findDevice("001a2b3c4d5e").value()->asked.from, "198.51.100.9")
        << "what a phone was told outlives its registration";
}

// 'kestod migrate' reads the SQLite file: the asks are in its snapshot.
TEST(PhoneAskSnapshotTest, TheSqliteSnapshotCarriesEveryAsk) {
    testing::TempDir temp;
    auto store =
        SqliteAccountStore::open(temp / "kestod.db", AccountStore::OpenMode::CreateIfMissing);
    ASSERT_TRUE(store) << store.error().message;
    ASSERT_TRUE((*store)->recordAsks({askOf("001a2b3c4d5e", "192.0.2.7", kAnswerNotFound, 0),
                                      askOf("001a2b3c4d60", "192.0.2.8", kAnswerRedirected, 0)}));
    const auto snapshot = (*store)->exportSnapshot().value();
    ASSERT_EQ(snapshot.asks.size(), 2u);
    EXPECT_EQ(snapshot.asks[1].mac, "001a2b3c4d60");
    EXPECT_EQ(snapshot.asks[1].ask.from, "192.0.2.8");
    EXPECT_EQ(snapshot.asks[1].ask.answer, kAnswerRedirected);
    EXPECT_FALSE(snapshot.asks[1].ask.at.empty());
}

// The recorder writes behind the answers: every ask handed over by many workers at once is in
// the store once flush() returns (as at a clean stop), and a MAC's later ask wins over an
// earlier one handed over after it.
TEST_F(PhoneAskStoreTest, TheRecorderWritesEveryAskHandedOverBeforeAFlush) {
    constexpr int kWorkers = 8;
    constexpr int kAsksEach = 250;
    auto macOf = [](int worker, int i) {
        char mac[13];
        std::snprintf(mac, sizeof mac, "02%02x%08x", worker, i);
        return std::string(mac);
    };
    auto reader = open();
    ASSERT_TRUE(reader);
    ASSERT_EQ(reader->addUser("bob", hashPassword("pw", 10).value()).value(), StoreOutcome::Done);
    for (int worker = 0; worker < kWorkers; ++worker) {
        for (const int i : {0, kAsksEach - 1}) {
            ASSERT_EQ(reader->addDevice(macOf(worker, i), "s", "bob").value(), StoreOutcome::Done);
        }
    }
    ASSERT_EQ(reader->addDevice("001a2b3c4d5e", "s", "bob").value(), StoreOutcome::Done);
    std::vector<std::string> log;
    AskRecorder recorder(open(), [&log](const std::string& line) { log.push_back(line); });
    {
        std::vector<std::jthread> workers;
        for (int worker = 0; worker < kWorkers; ++worker) {
            workers.emplace_back([&, worker] {
                for (int i = 0; i < kAsksEach; ++i) {
                    recorder.record(askOf(macOf(worker, i), "192.0.2." + std::to_string(worker),
                                          kAnswerRedirected, 0));
                }
            });
        }
    }
    recorder.record(askOf("001a2b3c4d5e", "192.0.2.200", kAnswerRedirected, 0));
    recorder.record(askOf("001a2b3c4d5e", "192.0.2.100", kAnswerNotFound, -30));
    recorder.flush();
    for (int worker = 0; worker < kWorkers; ++worker) {
        for (const int i : {0, kAsksEach - 1}) {
            const auto row = reader->findDevice(macOf(worker, i)).value();
            ASSERT_TRUE(row);
            EXPECT_EQ(row->asked.from, "192.0.2." + std::to_string(worker)) << macOf(worker, i);
        }
    }
    EXPECT_EQ(reader->findDevice("001a2b3c4d5e").value()->asked.from, "192.0.2.200")
        << "the later ask is kept";
    EXPECT_TRUE(log.empty()) << log.front();
}

}  // namespace
}  // namespace velquor::server
