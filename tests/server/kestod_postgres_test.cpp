// Several kestod instances on one PostgreSQL database: logins shared between them, one "YES"
// per MAC address however the requests are spread, nothing lost when an instance is killed
// or the database restarts, and a folder's SQLite state carried over by 'kestod migrate'.
// These run in the PostgreSQL pass of the suite (VELQUOR_TEST_STORE=postgres).
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "server/store/sqlite/sqlite_account_store.h"

namespace velquor::testing {
namespace {

class KestodPostgresTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (KestodFixture::defaultStore() != StoreKind::Postgres) {
            GTEST_SKIP() << "runs in the PostgreSQL pass (the postgres. tests of ctest)";
        }
    }
};

// The MACs a listing holds.
std::set<std::string> storedMacs(const KestodFixture& server) {
    std::set<std::string> macs;
    const std::string listing = server.runTool({"devices"});
    std::size_t at = listing.find('\n');
    while (at != std::string::npos && at + 1 < listing.size()) {
        const auto end = listing.find('\t', at + 1);
        macs.insert(listing.substr(at + 1, end - at - 1));
        at = listing.find('\n', at + 1);
    }
    return macs;
}

TEST_F(KestodPostgresTest, TwoInstancesShareLoginsAndGiveOneYesPerMac) {
    KestodFixture first;
    KestodFixture second({.sameStateAs = &first});
    KestoPeer viaFirst(first);
    KestoPeer viaSecond(second);
    ASSERT_EQ(viaFirst.login("chief", first.chiefPassword()), "YES");
    ASSERT_EQ(viaSecond.account("ADD", "bob", "pw-bob"), "YES") << "chief's login from the first";
    ASSERT_EQ(viaSecond.login("bob", "pw-bob"), "YES");
    EXPECT_EQ(viaFirst.device("ADD", macFor("aa:00"), "s", "bob"), "YES")
        << "bob's login from the second";
    EXPECT_EQ(viaSecond.device("ADD", macFor("aa:00"), "s", "bob"), "EXIST");
    ASSERT_EQ(viaFirst.account("DEL", "bob"), "YES");
    EXPECT_EQ(viaSecond.device("ADD", macFor("aa:01"), "s", "bob"), "NOLOGIN")
        << "deletion seen by both";

    ASSERT_EQ(viaFirst.account("ADD", "carol", "pw-carol"), "YES");
    ASSERT_EQ(viaFirst.login("carol", "pw-carol"), "YES");
    constexpr int kClients = 16;
    std::vector<std::string> replies(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            const KestoPeer& peer = i % 2 == 0 ? viaFirst : viaSecond;
            replies[i] =
                peer.device("ADD", macFor("bb:bb:bb"), "srv-" + std::to_string(i), "carol");
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(std::count(replies.begin(), replies.end(), "YES"), 1);
    EXPECT_EQ(std::count(replies.begin(), replies.end(), "EXIST"), kClients - 1);
}

TEST_F(KestodPostgresTest, KillingAnInstanceUnderLoadLosesNoAcceptedRegistration) {
    KestodFixture first;
    KestodFixture second({.sameStateAs = &first});
    KestoPeer viaFirst(first);
    ASSERT_EQ(viaFirst.login("chief", first.chiefPassword()), "YES");
    ASSERT_EQ(viaFirst.account("ADD", "load", "pw-load"), "YES");
    ASSERT_EQ(viaFirst.login("load", "pw-load"), "YES");

    constexpr int kClients = 6;
    constexpr int kPerClient = 40;
    std::mutex mutex;
    std::vector<std::string> accepted;
    std::atomic<int> yesCount{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < kPerClient; ++i) {
                const std::string mac =
                    macFor("kill-" + std::to_string(c) + "-" + std::to_string(i));
                if (viaFirst.device("ADD", mac, "s", "load") == "YES") {
                    std::lock_guard lock(mutex);
                    accepted.push_back(mac);
                    ++yesCount;
                }
            }
        });
    }
    while (yesCount.load() < kClients * kPerClient / 4) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    first.kill();
    for (auto& thread : threads) thread.join();

    const auto stored = storedMacs(second);
    for (const auto& mac : accepted) EXPECT_TRUE(stored.contains(mac)) << mac << " lost";
    KestoPeer viaSecond(second);
    EXPECT_EQ(viaSecond.device("ADD", macFor("after-kill"), "s", "load"), "YES")
        << "the other instance goes on, with the same login";
}

// A cluster of the test's own, since it is stopped under the server.
class PrivateCluster {
public:
    PrivateCluster() : m_state((m_temp / "cluster.state").string()) { script("start"); }
    ~PrivateCluster() { script("stop"); }
    void script(const std::string& action) {
        int status = -1;
        const std::string output =
            runCommand(shellQuote(std::string(VELQUOR_SOURCE_DIR) + "/tests/server/pg_cluster.sh") +
                           " " + action + " " + shellQuote(m_state) + " 2>&1",
                       &status);
        if (status != 0) throw std::runtime_error("pg_cluster.sh " + action + ": " + output);
    }
    const std::string& state() const { return m_state; }

private:
    TempDir m_temp;
    std::string m_state;
};

TEST_F(KestodPostgresTest, WhileTheDatabaseIsAwayNothingIsAcceptedAndServingResumesAfter) {
    PrivateCluster cluster;
    std::optional<TestDatabase> database(std::in_place, cluster.state());
    KestodFixture server({.databaseUrl = database->url()});
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(peer.account("ADD", "bob", "pw-bob"), "YES");
    ASSERT_EQ(peer.login("bob", "pw-bob"), "YES");
    ASSERT_EQ(peer.device("ADD", macFor("before"), "s", "bob"), "YES");

    cluster.script("pause");
    for (const char* label : {"during-1", "during-2", "during-3"}) {
        const std::string reply = peer.device("ADD", macFor(label), "s", "bob");
        EXPECT_TRUE(reply == "RETRY" || reply == "<no reply>") << reply;
    }
    const std::string login = peer.login("bob", "pw-bob");
    EXPECT_TRUE(login == "RETRY" || login == "<no reply>") << login;
    cluster.script("resume");

    EXPECT_EQ(peer.device("ADD", macFor("after"), "s", "bob"), "YES") << "the login was kept";
    EXPECT_EQ(peer.device("ADD", macFor("before"), "s", "bob"), "EXIST");
    const auto stored = storedMacs(server);
    EXPECT_EQ(stored, (std::set<std::string>{macFor("after"), macFor("before")}))
        << "nothing half-written";
    server.stop();
    database.reset();
}

// A database an older kestod left (numbered from its own first step, before the numbering both
// stores share), its MACs as the sheets had them: opening it rewrites each that can be in
// canonical form, in the upgrade's one transaction, and keeps and lists the rest.
TEST_F(KestodPostgresTest, AnUpgradeBringsStoredMacsUnderTheirCanonicalForm) {
    KestodFixture server;
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(peer.account("ADD", "bob", "pw-bob"), "YES");
    ASSERT_TRUE(server.stop());
    PGconn* db = PQconnectdb(server.databaseUrl().c_str());
    ASSERT_EQ(PQstatus(db), CONNECTION_OK) << PQerrorMessage(db);
    PGresult* done =
        PQexec(db,
               "INSERT INTO devices(mac, server, account_id) SELECT convert_to(v.m, 'UTF8'), "
               "convert_to('srv', 'UTF8'), a.id FROM accounts a, (VALUES ('00:0B:82:00:00:01'), "
               "('not-a-mac'), ('00-0b-82-00-00-03'), ('000B82000003')) AS v(m) "
               "WHERE a.name = convert_to('bob', 'UTF8');"
               "DROP TABLE schema_step; DROP TABLE spelled_macs; DELETE FROM schema_version; "
               "INSERT INTO schema_version VALUES (4);");
    EXPECT_EQ(PQresultStatus(done), PGRES_COMMAND_OK) << PQerrorMessage(db);
    PQclear(done);
    PQfinish(db);
    server.restart();

    EXPECT_EQ(storedMacs(server), (std::set<std::string>{"000b82000001", "not-a-mac",
                                                         "00-0b-82-00-00-03", "000B82000003"}));
    const std::string invalid = server.runTool({"devices", "--invalid"});
    EXPECT_EQ(std::count(invalid.begin(), invalid.end(), '\n'), 4) << invalid;
    EXPECT_NE(invalid.find("another spelling of 000b82000003"), std::string::npos) << invalid;
    KestoPeer bob(server, "127.0.0.2");
    ASSERT_EQ(bob.login("bob", "pw-bob"), "YES");
    EXPECT_EQ(bob.device("DEL", "00:0B:82:00:00:01", "", "bob"), "YES");
}

TEST_F(KestodPostgresTest, MigrateCarriesAFoldersStateIntoAnEmptyDatabase) {
    KestodFixture sqlite({.store = StoreKind::Sqlite});
    {
        KestoPeer chief(sqlite);
        KestoPeer bob(sqlite, "127.0.0.2");
        ASSERT_EQ(chief.login("chief", sqlite.chiefPassword()), "YES");
        ASSERT_EQ(chief.account("ADD", "bob", "pw-bob"), "YES");
        ASSERT_EQ(chief.account("ADD", "gone", "pw-gone"), "YES");
        ASSERT_EQ(chief.login("gone", "pw-gone"), "YES");
        ASSERT_EQ(chief.device("ADD", macFor("m-gone"), "srv-gone", "gone"), "YES");
        ASSERT_EQ(chief.account("DEL", "gone"), "YES");
        ASSERT_EQ(bob.login("bob", "pw-bob"), "YES");
        ASSERT_EQ(bob.device("ADD", macFor("m-bob"), "srv-bob", "bob"), "YES");
    }
    ASSERT_TRUE(sqlite.stop());
    {
        auto store = server::SqliteAccountStore::open(sqlite.directory() / "kestod.db",
                                                      server::AccountStore::OpenMode::MustExist);
        ASSERT_TRUE(store) << store.error().message;
        const server::PhoneAsk ask{server::askTime(std::chrono::system_clock::now()), "192.0.2.7",
                                   "redirected"};
        ASSERT_TRUE((*store)->recordAsks({{macFor("m-bob"), ask}}));
    }

    TestDatabase database;
    const std::string migrate = shellQuote(KestodFixture::binary().string()) + " migrate --dir " +
                                shellQuote(sqlite.directory().string()) + " --to " +
                                shellQuote(database.url()) + " 2>&1";
    int status = -1;
    const std::string output = runCommand(migrate, &status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(runCommand(migrate, &status).find("already holds accounts"), std::string::npos);
    EXPECT_NE(status, 0) << "a second migration into the same database is refused";

    KestodFixture server({.sameStateAs = &sqlite, .databaseUrl = database.url()});
    KestoPeer chief(server);
    KestoPeer bob(server, "127.0.0.2");
    EXPECT_EQ(bob.device("ADD", macFor("m-new"), "s", "bob"), "NOLOGIN")
        << "logins are not carried";
    ASSERT_EQ(bob.login("bob", "pw-bob"), "YES") << "password hashes are";
    EXPECT_EQ(bob.device("UP", macFor("m-bob"), "srv-bob-2", "bob"), "YES") << "and bob's phone";
    EXPECT_EQ(bob.device("ADD", macFor("m-gone"), "s", "bob"), "EXIST");
    ASSERT_EQ(chief.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(chief.account("ADD", "gone", "pw-new"), "YES") << "new accounts get new ids";
    ASSERT_EQ(chief.login("gone", "pw-new"), "YES");
    EXPECT_EQ(chief.device("DEL", macFor("m-gone"), "", "gone"), "NO") << "not the new gone's";

    const std::string devices = server.runTool({"devices"});
    const auto goneLine = devices.find(macFor("m-gone") + "\tgone\tsrv-gone\t");
    ASSERT_NE(goneLine, std::string::npos) << devices;
    EXPECT_NE(devices.find(" (deleted)\t", goneLine), std::string::npos) << devices;
    EXPECT_NE(devices.find(macFor("m-bob") + "\tbob\tsrv-bob-2\t"), std::string::npos) << devices;
    EXPECT_NE(devices.find("Z from 192.0.2.7: redirected\n"), std::string::npos)
        << "what a phone was told is carried: " << devices;
}

}  // namespace
}  // namespace velquor::testing
