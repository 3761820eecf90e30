// kestod under attack and accident: logins racing a password change, a database that stalls
// or whose answer is lost, a flood of valid logins, a setup overwritten by mistake and a
// second server started on the same folder. Every case runs on SQLite and, in the PostgreSQL
// pass, on PostgreSQL.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "child_process.h"
#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "pg_result_dropper.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;

bool listsMac(const KestodFixture& server, const std::string& mac) {
    return server.runTool({"devices"}).find("\n" + mac + "\t") != std::string::npos;
}

std::string toHex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex += kDigits[static_cast<unsigned char>(c) >> 4];
        hex += kDigits[static_cast<unsigned char>(c) & 0xf];
    }
    return hex;
}

// Logins with the old password, from their own address, over and over, until stopped.
class LoginLoop {
public:
    LoginLoop(const KestodFixture& server, const std::string& user, const std::string& password,
              int threads)
        : m_peer(server, "127.0.0.9") {
        for (int i = 0; i < threads; ++i) {
            m_threads.emplace_back([this, user, password] {
                while (!m_stop.load()) {
                    if (m_peer.login(user, password) == "YES") ++m_granted;
                }
            });
        }
    }
    ~LoginLoop() { stop(); }
    // Waits until logins were granted, so the change below races real ones.
    bool waitForGrants(int count) {
        for (int i = 0; i < 1000 && m_granted.load() < count; ++i) std::this_thread::sleep_for(5ms);
        return m_granted.load() >= count;
    }
    // Stops the loop once every login in flight has been answered.
    void stop() {
        m_stop = true;
        for (auto& thread : m_threads) {
            if (thread.joinable()) thread.join();
        }
    }
    const KestoPeer& peer() const { return m_peer; }

private:
    KestoPeer m_peer;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_granted{0};
    std::vector<std::thread> m_threads;
};

class KestodRaceTest : public ::testing::Test {
protected:
    // The loop's logins after each change fail; no limit may stop the next round's loop.
    KestodFixture server{{.serveArguments = {"--max-logins-per-address", "1000000",
                                             "--max-failed-logins-per-address", "1000000",
                                             "--max-failed-logins-per-name", "1000000"}}};
    KestoPeer chief{server};
    KestoPeer owner{server, "127.0.0.2"};

    void SetUp() override { ASSERT_EQ(chief.login("chief", server.chiefPassword()), "YES"); }
};

TEST_F(KestodRaceTest, NoLoginRacingAPasswordChangeKeepsAGrant) {
    constexpr int kRounds = 8;
    for (int round = 0; round < kRounds; ++round) {
        const std::string name = "bob" + std::to_string(round);
        const std::string oldPassword = "old-" + name;
        ASSERT_EQ(chief.account("ADD", name, oldPassword), "YES");
        ASSERT_EQ(owner.login(name, oldPassword), "YES");
        LoginLoop attacker(server, name, oldPassword, 4);
        ASSERT_TRUE(attacker.waitForGrants(3));
        // Half the rounds change it on the server, half over the wire from the owner's address.
        if (round % 2 == 0) {
            ASSERT_EQ(server.setPassword(name, "new-" + name), 0);
        } else {
            ASSERT_EQ(owner.account("UP", name, "new-" + name), "YES");
        }
        attacker.stop();
        EXPECT_EQ(attacker.peer().device("ADD", macFor("race-" + name), "s", name), "NOLOGIN")
            << "round " << round;
        EXPECT_EQ(attacker.peer().account("UP", name, "attackers-own"), "NOLOGIN")
            << "round " << round;
        EXPECT_EQ(owner.login(name, "attackers-own"), "NO");
        if (round % 2 == 1) {
            EXPECT_EQ(owner.device("ADD", macFor("owner-" + name), "s", name), "YES")
                << "the address that made the change goes on";
        }
    }
}

TEST_F(KestodRaceTest, NoLoginRacingTheAdministratorsPasswordChangeKeepsAGrant) {
    for (int round = 0; round < 4; ++round) {
        const std::string oldPassword =
            round == 0 ? server.chiefPassword() : "chief-" + std::to_string(round);
        LoginLoop attacker(server, "chief", oldPassword, 4);
        ASSERT_TRUE(attacker.waitForGrants(3));
        ASSERT_EQ(server.setPassword("chief", "chief-" + std::to_string(round + 1)), 0);
        attacker.stop();
        EXPECT_EQ(attacker.peer().account("ADD", "intruder" + std::to_string(round), "pw"),
                  "NOLOGIN")
            << "round " << round;
    }
}

TEST(KestodReleaseTest, TheAdministratorFreesTheDevicesOfADeletedAccount) {
    KestodFixture server;
    KestoPeer chief(server);
    KestoPeer alice(server, "127.0.0.2");
    ASSERT_EQ(chief.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(chief.account("ADD", "gone", "pw-gone"), "YES");
    ASSERT_EQ(chief.account("ADD", "alice", "pw-alice"), "YES");
    ASSERT_EQ(chief.login("gone", "pw-gone"), "YES");
    ASSERT_EQ(chief.device("ADD", macFor("aa:01"), "s", "gone"), "YES");
    ASSERT_EQ(chief.account("DEL", "gone"), "YES");
    ASSERT_EQ(alice.login("alice", "pw-alice"), "YES");
    ASSERT_EQ(alice.device("ADD", macFor("aa:01"), "s", "alice"), "EXIST")
        << "held by the deleted account";

    int status = -1;
    const std::string output =
        server.runTool({"devices", "release", macFor("aa:01"), macFor("aa:99")}, &status);
    EXPECT_EQ(status, 1) << "aa:99 was not registered";
    EXPECT_NE(output.find("released " + macFor("aa:01") + " (registered by gone"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("deleted"), std::string::npos) << output;
    EXPECT_EQ(alice.device("ADD", macFor("aa:01"), "s", "alice"), "YES") << "free again";
}

TEST(KestodSecondServeTest, ASecondServerThatCannotBindLeavesTheFirstsLoginsAlone) {
    KestodFixture server;
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(peer.account("ADD", "bob", "pw-bob"), "YES");
    ASSERT_EQ(peer.login("bob", "pw-bob"), "YES");

    const auto& ports = server.ports();
    const std::string portList =
        std::to_string(ports[0]) + "," + std::to_string(ports[1]) + "," + std::to_string(ports[2]);
    int status = -1;
    const std::string output = server.runTool({"serve", "--ports", portList}, &status);
    EXPECT_EQ(status, 1) << output;
    EXPECT_EQ(peer.device("ADD", macFor("after-second"), "s", "bob"), "YES")
        << "bob is still logged in";
    EXPECT_EQ(peer.account("ADD", "carol", "pw"), "YES") << "and so is chief";
}

TEST(KestodInitGuardTest, InitOnAFolderOrDatabaseThatHoldsASetupIsRefusedWithoutForce) {
    KestodFixture server;
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    TempDir other;
    const auto newFolder = other / "second";
    if (server.store() == StoreKind::Sqlite) {
        // The database of a folder whose keys are gone still holds accounts and chief.
        std::filesystem::create_directories(newFolder);
        std::filesystem::copy_file(server.directory() / "kestod.db", newFolder / "kestod.db");
    }
    writeFile(other / "pw", "replaced-password\n");
    std::string command = shellQuote(KestodFixture::binary().string()) + " init --dir " +
                          shellQuote(newFolder.string()) + " --admin-password-file " +
                          shellQuote((other / "pw").string()) + " --pbkdf2-iterations 1000";
    for (const auto& argument : server.storeArguments()) command += " " + shellQuote(argument);
    int status = -1;
    const std::string output = runCommand(command + " 2>&1", &status);
    EXPECT_NE(status, 0) << output;
    EXPECT_NE(output.find("already holds a kestod setup"), std::string::npos) << output;
    EXPECT_NE(output.find("--force"), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(newFolder / "ca" / "ca.key")) << "no keys written";
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "YES") << "chief's password kept";
    EXPECT_EQ(peer.login("chief", "replaced-password"), "NO");

    runCommand(command + " --force 2>&1", &status);
    EXPECT_EQ(status, 0) << "replaced on purpose";
}

TEST(KestodInitGuardTest, AnUnreachableDatabaseLeavesTheFolderWithoutKeys) {
    TempDir dir;
    writeFile(dir / "pw", "pw\n");
    const ProgramRun run =
        runProgram(KestodFixture::binary().string(),
                   "init --dir " + shellQuote((dir / "srv").string()) + " --admin-password-file " +
                       shellQuote((dir / "pw").string()) + " --database " +
                       shellQuote("postgresql:///kesto?host=" + (dir / "no-such-socket").string()));
    EXPECT_EQ(run.status, 1) << run.output;
    for (const char* file : {"ca", "ca.key", "server.key", "cacert.pem", "server.pem"}) {
        EXPECT_FALSE(std::filesystem::exists(dir / "srv" / file)) << file;
    }
}

// A database that stops answering while a change waits on it: the change is not stored once
// its client has given up, and the reply says so.
class DatabaseFreeze {
public:
    explicit DatabaseFreeze(const KestodFixture& server) {
        if (server.store() == StoreKind::Sqlite) {
            sqlite3_open((server.directory() / "kestod.db").c_str(), &m_sqlite);
            sqlite3_exec(m_sqlite, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        } else {
            m_postgres = PQconnectdb(server.databaseUrl().c_str());
            PQclear(PQexec(m_postgres, "BEGIN; LOCK TABLE devices IN ACCESS EXCLUSIVE MODE"));
        }
    }
    ~DatabaseFreeze() { thaw(); }
    void thaw() {
        if (m_sqlite != nullptr) {
            sqlite3_exec(m_sqlite, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(m_sqlite);
            m_sqlite = nullptr;
        }
        if (m_postgres != nullptr) {
            PQclear(PQexec(m_postgres, "ROLLBACK"));
            PQfinish(m_postgres);
            m_postgres = nullptr;
        }
    }

private:
    sqlite3* m_sqlite = nullptr;
    PGconn* m_postgres = nullptr;
};

TEST(KestodDeadlineTest, NothingIsStoredAfterItsClientGaveUp) {
    // The deadline counts from the connection's accept, so it must outlast a handshake on a
    // busy machine under the sanitizers: a request that arrives after it is closed unanswered
    // and never reaches the frozen store this test is about.
    KestodFixture server({.serveArguments = {"--deadline-ms", "3000", "--workers", "1"}});
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(peer.device("ADD", macFor("before"), "s", "chief"), "YES");

    std::vector<std::string> replies(3);
    {
        DatabaseFreeze freeze(server);
        std::vector<std::thread> clients;
        for (std::size_t i = 0; i < replies.size(); ++i) {
            clients.emplace_back([&, i] {
                replies[i] =
                    peer.device("ADD", macFor("frozen-" + std::to_string(i)), "s", "chief");
            });
        }
        for (auto& client : clients) client.join();  // each answered at its deadline
        freeze.thaw();
    }
    for (const auto& reply : replies) EXPECT_EQ(reply, "RETRY");
    EXPECT_EQ(peer.device("ADD", macFor("after"), "s", "chief"), "YES") << "serving again";
    for (std::size_t i = 0; i < replies.size(); ++i) {
        EXPECT_FALSE(listsMac(server, macFor("frozen-" + std::to_string(i)))) << i;
    }
    EXPECT_NE(logWith(server, "deadline passed").find("deadline passed"), std::string::npos);
}

// One address floods the server with valid logins; another address's requests are taken in
// turn with the flood's, not behind all of it. Counted in requests served, not in time.
TEST(KestodFairnessTest, AFloodFromOneAddressDoesNotQueueAnotherAddressBehindIt) {
    constexpr int kFlooders = 48;
    KestodFixture server({.pbkdf2Iterations = 20000,
                          .serveArguments = {"--workers", "1", "--max-logins-per-address",
                                             "1000000", "--max-per-peer", "100"}});
    KestoPeer chief(server, "127.0.0.2");
    ASSERT_EQ(chief.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(chief.account("ADD", "flood", "pw-flood"), "YES");
    ASSERT_EQ(chief.device("ADD", macFor("warm-up"), "s", "chief"), "YES");

    std::atomic<bool> stop{false};
    std::atomic<int> floodLogins{0};
    std::vector<std::thread> flood;
    KestoPeer flooder(server);
    for (int i = 0; i < kFlooders; ++i) {
        flood.emplace_back([&] {
            while (!stop.load()) {
                if (flooder.login("flood", "pw-flood") == "YES") ++floodLogins;
            }
        });
    }
    while (floodLogins.load() < kFlooders) std::this_thread::sleep_for(5ms);
    constexpr int kRequests = 12;
    std::vector<std::string> replies;
    for (int i = 0; i < kRequests; ++i) {
        replies.push_back(chief.device("ADD", macFor("fair-" + std::to_string(i)), "s", "chief"));
    }
    stop = true;
    for (auto& thread : flood) thread.join();
    for (const auto& reply : replies) EXPECT_EQ(reply, "YES");

    // The flood's replies between two of ours: with one worker, about one each when the
    // addresses take turns; nearly the whole flood when ours wait behind it.
    const std::string log =
        logWith(server, "mac=\"" + macFor("fair-" + std::to_string(kRequests - 1)) + "\"");
    std::set<std::string> ours;
    for (int i = 0; i < kRequests; ++i) ours.insert(macFor("fair-" + std::to_string(i)));
    std::vector<int> floodBetween;
    int count = 0;
    std::size_t lineStart = log.find("mac=\"" + macFor("warm-up") + "\"");
    for (std::size_t at = log.find('\n', lineStart); at != std::string::npos && at + 1 < log.size();
         at = log.find('\n', at + 1)) {
        const std::string line = log.substr(at + 1, log.find('\n', at + 1) - at - 1);
        if (line.find("peer=127.0.0.1 ") != std::string::npos) ++count;
        const auto macAt = line.find("mac=\"");
        if (macAt != std::string::npos && ours.contains(line.substr(macAt + 5, 12))) {
            floodBetween.push_back(count);
            count = 0;
        }
    }
    ASSERT_EQ(floodBetween.size(), static_cast<std::size_t>(kRequests)) << log;
    floodBetween.erase(floodBetween.begin());  // the first also waited for the flood to start
    const int worst = *std::max_element(floodBetween.begin(), floodBetween.end());
    EXPECT_LE(worst, kFlooders / 4) << "flood requests served between two of another address's";
}

TEST(KestodLoginRateTest, SuccessfulLoginsArePacedPerAddress) {
    KestodFixture server({.serveArguments = {"--max-logins-per-address", "3"}});
    KestoPeer peer(server);
    KestoPeer other(server, "127.0.0.2");
    for (int i = 0; i < 3; ++i) ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "RETRY");
    EXPECT_EQ(other.login("chief", server.chiefPassword()), "YES") << "another address is not";
    EXPECT_EQ(peer.account("ADD", "bob", "pw"), "YES") << "the grants given stay";
    EXPECT_NE(logWith(server, "too many logins from this address").find("in the last minute"),
              std::string::npos);
}

class KestodLostResultTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (KestodFixture::defaultStore() != StoreKind::Postgres) {
            GTEST_SKIP() << "runs in the PostgreSQL pass (the postgres. tests of ctest)";
        }
        m_database = std::make_unique<TestDatabase>();
        m_proxy = std::make_unique<PgResultDropper>(m_database->url());
        m_server = std::make_unique<KestodFixture>(KestodOptions{.databaseUrl = m_proxy->url()});
    }
    void TearDown() override {
        m_server.reset();
        m_proxy.reset();
        m_database.reset();
    }

    std::unique_ptr<TestDatabase> m_database;
    std::unique_ptr<PgResultDropper> m_proxy;
    std::unique_ptr<KestodFixture> m_server;
};

// The database committed but its answer never came: the request is refused and logged as of
// unknown outcome, and never run again, which would answer EXIST for a new MAC or NO for a
// MAC that was deleted.
TEST_F(KestodLostResultTest, ALostAnswerToACommittedChangeIsNoNeverARerun) {
    KestoPeer peer(*m_server);
    ASSERT_EQ(peer.login("chief", m_server->chiefPassword()), "YES");

    m_proxy->arm(toHex(macFor("lost-add")));
    EXPECT_EQ(peer.device("ADD", macFor("lost-add"), "s", "chief"), "NO");
    EXPECT_EQ(m_proxy->dropped(), 1);
    EXPECT_EQ(peer.device("ADD", macFor("lost-add"), "s", "chief"), "EXIST") << "it was stored";

    m_proxy->arm(toHex(macFor("lost-add")));
    EXPECT_EQ(peer.device("DEL", macFor("lost-add"), "", "chief"), "NO");
    EXPECT_EQ(peer.device("ADD", macFor("lost-add"), "s", "chief"), "YES") << "it was deleted";

    m_proxy->arm(toHex("carol"));
    EXPECT_EQ(peer.account("ADD", "carol", "pw-carol"), "NO");
    EXPECT_EQ(peer.account("ADD", "carol", "pw-carol"), "EXIST") << "carol was added";
    m_proxy->arm(toHex("carol"));
    EXPECT_EQ(peer.account("DEL", "carol"), "NO");
    EXPECT_EQ(peer.login("carol", "pw-carol"), "NO") << "carol was deleted";
    EXPECT_EQ(m_proxy->dropped(), 4);
    EXPECT_EQ(occurrences(logWith(*m_server, "outcome unknown", 4), "outcome unknown"), 4u);
}

}  // namespace
}  // namespace velquor::testing
