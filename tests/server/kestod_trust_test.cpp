// What a login grant is worth and who can take it away: failed logins counted per name and
// address, the administrator's password kept off the wire, password changes and deletions
// ending grants, devices held by an account rather than a name, and old databases carried
// forward. Every request goes to a real kestod over TLS from the test's own client.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <set>
#include <thread>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "server/guard/password_hash.h"
#include "server/store/schema_steps.h"
#include "server/store/sqlite/sqlite_account_store.h"

namespace velquor::testing {
namespace {

// A text field as the wire carries it, built by hand rather than by the product's builders.
std::string field(const std::string& text, std::size_t width = 64) {
    std::string bytes = text;
    bytes.resize(width, '\0');
    return bytes;
}

class KestodTrustTest : public ::testing::Test {
protected:
    KestodFixture server;
    KestoPeer chief{server};  // the administrator's machine
    KestoPeer second{server, "127.0.0.2"};
    KestoPeer third{server, "127.0.0.3"};

    void SetUp() override { ASSERT_EQ(chief.login("chief", server.chiefPassword()), "YES"); }
    void addUser(const std::string& name, const std::string& password) {
        ASSERT_EQ(chief.account("ADD", name, password), "YES");
    }
};

TEST_F(KestodTrustTest, TheAdministratorsPasswordIsNeverSetOverTheWire) {
    const std::string request = field("UP") + field("chief") + field("taken-over");
    EXPECT_EQ(chief.send(server.accountPort(), request), "NO") << "even under chief's grant";
    EXPECT_EQ(second.send(server.accountPort(), request), "NO");
    EXPECT_EQ(chief.login("chief", "taken-over"), "NO");
    EXPECT_EQ(chief.login("chief", server.chiefPassword()), "YES");
    EXPECT_NE(logWith(server, "op=UP user=\"chief\"", 2).find("kestod passwd"), std::string::npos);
}

TEST_F(KestodTrustTest, PasswdSetsAPasswordOnTheServerAndEndsThatAccountsGrants) {
    addUser("bob", "pw-bob");
    ASSERT_EQ(second.login("bob", "pw-bob"), "YES");
    ASSERT_EQ(chief.account("ADD", "carol", "pw-carol"), "YES") << "chief's grant works";

    EXPECT_EQ(server.setPassword("chief", "new-chief-pw"), 0);
    EXPECT_EQ(chief.account("ADD", "dave", "pw-dave"), "NOLOGIN") << "chief's grant ended";
    EXPECT_EQ(chief.login("chief", server.chiefPassword()), "NO");
    EXPECT_EQ(second.device("ADD", macFor("01:01"), "s", "bob"), "YES") << "bob's grant untouched";
    ASSERT_EQ(chief.login("chief", "new-chief-pw"), "YES");
    EXPECT_EQ(chief.account("ADD", "dave", "pw-dave"), "YES");

    // From standard input too, and for an ordinary account.
    int status = -1;
    std::string command =
        "printf 'from-stdin\\n' | " + shellQuote(KestodFixture::binary().string()) +
        " passwd bob --password-file - --dir " + shellQuote(server.directory().string());
    for (const auto& argument : server.storeArguments()) command += " " + shellQuote(argument);
    const std::string output = runCommand(command, &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(second.device("ADD", macFor("02:02"), "s", "bob"), "NOLOGIN") << "bob's grant ended";
    EXPECT_EQ(second.login("bob", "from-stdin"), "YES");

    EXPECT_NE(server.setPassword("nobody", "pw"), 0) << "no such account";
    EXPECT_NE(server.setPassword("bob", ""), 0) << "an empty password is refused";
    EXPECT_EQ(second.login("bob", "from-stdin"), "YES") << "left as it was";
}

TEST_F(KestodTrustTest, APasswordChangeEndsTheUsersGrantsAtEveryOtherAddress) {
    addUser("bob", "old-bob");
    for (const KestoPeer* peer : {&chief, &second, &third}) {
        ASSERT_EQ(peer->login("bob", "old-bob"), "YES");
    }
    ASSERT_EQ(second.account("UP", "bob", "new-bob"), "YES");
    EXPECT_EQ(second.device("ADD", macFor("aa:01"), "s", "bob"), "YES")
        << "the changing dialog goes on";
    EXPECT_EQ(second.account("UP", "bob", "newer-bob"), "YES") << "and can change it again";
    EXPECT_EQ(third.device("ADD", macFor("aa:02"), "s", "bob"), "NOLOGIN");
    EXPECT_EQ(chief.device("ADD", macFor("aa:03"), "s", "bob"), "NOLOGIN");
    EXPECT_EQ(chief.account("ADD", "carol", "pw"), "YES") << "chief's own grant is another's";
}

TEST_F(KestodTrustTest, DeletingAUserEndsItsGrantsEverywhereAndANewAccountOfTheNameStartsBare) {
    addUser("bob", "pw-bob");
    ASSERT_EQ(second.login("bob", "pw-bob"), "YES");
    ASSERT_EQ(third.login("bob", "pw-bob"), "YES");
    ASSERT_EQ(second.device("ADD", macFor("bb:01"), "old-srv", "bob"), "YES");
    ASSERT_EQ(chief.account("DEL", "bob"), "YES");
    EXPECT_EQ(second.device("ADD", macFor("bb:02"), "s", "bob"), "NOLOGIN");
    EXPECT_EQ(third.device("ADD", macFor("bb:03"), "s", "bob"), "NOLOGIN");

    addUser("bob", "pw-new-bob");
    EXPECT_EQ(second.device("ADD", macFor("bb:02"), "s", "bob"), "NOLOGIN")
        << "old grants stay ended";
    ASSERT_EQ(second.login("bob", "pw-new-bob"), "YES");
    EXPECT_EQ(second.device("ADD", macFor("bb:01"), "s", "bob"), "EXIST")
        << "the phone stays registered";
    EXPECT_EQ(second.device("UP", macFor("bb:01"), "hijack", "bob"), "NO") << "not the new bob's";
    EXPECT_EQ(second.device("DEL", macFor("bb:01"), "", "bob"), "NO") << "not the new bob's";
    ASSERT_EQ(second.device("ADD", macFor("bb:04"), "new-srv", "bob"), "YES");

    const std::string devices = server.runTool({"devices"});
    const auto oldLine = devices.find(macFor("bb:01") + "\tbob\told-srv\t");
    ASSERT_NE(oldLine, std::string::npos) << devices;
    EXPECT_NE(devices.find(" (deleted)\t", oldLine), std::string::npos) << devices;
    const auto newLine = devices.find(macFor("bb:04") + "\tbob\tnew-srv\t");
    ASSERT_NE(newLine, std::string::npos) << devices;
    EXPECT_EQ(devices.find("(deleted)", newLine), std::string::npos) << devices;
    EXPECT_NE(server.runTool({"users"}).find("\nbob\t"), std::string::npos);
    EXPECT_NE(server.runTool({"users"}).find("\t1\n"), std::string::npos)
        << "only 02:00:00:00:bb:04";
}

TEST(KestodLoginThrottleTest, GuessesFromOneAddressNeverLockTheNameAtAnother) {
    KestodFixture server({.serveArguments = {"--max-failed-logins-per-name", "3"}});
    KestoPeer attacker(server, "127.0.0.2");
    KestoPeer owner(server);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(attacker.login("chief", "guess"), "NO");
    EXPECT_EQ(attacker.login("chief", server.chiefPassword()), "RETRY") << "locked there";
    EXPECT_EQ(owner.login("chief", server.chiefPassword()), "YES");
    // The attacker going on does not renew a lock anywhere else either.
    EXPECT_EQ(attacker.login("chief", "guess"), "RETRY");
    EXPECT_EQ(owner.login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(owner.login("chief", "typo"), "NO");
    EXPECT_EQ(owner.login("chief", server.chiefPassword()), "YES") << "one failure of its own";
}

TEST(KestodLoginThrottleTest, ParallelWrongLoginsCheckExactlyTheLimitsWorthOfPasswords) {
    constexpr int kLimit = 10;
    constexpr int kAttempts = 64;
    // A request dropped at a deadline would be neither checked nor held back: the deadlines
    // leave room for 64 handshakes at once on a busy machine.
    KestodFixture server({.serveArguments = withRoomyDeadlines(
                              {"--max-failed-logins-per-name", std::to_string(kLimit),
                               "--max-failed-logins-per-address", "1000", "--max-per-peer", "1000",
                               "--workers", "8"})});
    KestoPeer peer(server, "127.0.0.1", kRoomyDeadline);
    std::vector<std::string> replies(kAttempts);
    std::vector<std::thread> threads;
    for (int i = 0; i < kAttempts; ++i) {
        threads.emplace_back(
            [&, i] { replies[i] = peer.login("chief", "guess-" + std::to_string(i)); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(std::count(replies.begin(), replies.end(), "NO"), kLimit) << "checked, wrong";
    EXPECT_EQ(std::count(replies.begin(), replies.end(), "RETRY"), kAttempts - kLimit)
        << "held back unchecked";
    // Those held back are counted, the first logged at once and the rest in the interval's line.
    const std::string log = logWith(server, "op=LOGIN user=\"chief\"", kLimit + 1);
    EXPECT_EQ(occurrences(log, "(wrong name or password)"), std::size_t(kLimit)) << log;
    EXPECT_EQ(occurrences(log, "(too many failed logins)"), std::size_t(1)) << log;
}

// A database written by the release that kept devices by owner name: its accounts, their
// password hashes and its registrations, including those of an account deleted back then.
void writeOldDatabase(const std::filesystem::path& file, const std::string& chiefPassword) {
    std::filesystem::remove(file);
    std::filesystem::remove(file.string() + "-wal");
    std::filesystem::remove(file.string() + "-shm");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, R"sql(
CREATE TABLE settings(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE users(name TEXT PRIMARY KEY, salt BLOB NOT NULL, iterations INTEGER NOT NULL,
    digest BLOB NOT NULL, created TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now')));
CREATE TABLE devices(mac TEXT PRIMARY KEY, server TEXT NOT NULL, owner TEXT NOT NULL,
    registered TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now')));
CREATE INDEX devices_by_owner ON devices(owner);
INSERT INTO settings VALUES('address', '127.0.0.1'), ('pbkdf2_iterations', '1000');
-- Typed as the sheets had them: one in each usual spelling, one that is no MAC address, and
-- one phone registered twice under two spellings.
INSERT INTO devices(mac, server, owner) VALUES('00:0B:82:00:00:01', 'srv-bob', 'bob'),
    ('00-0b-82-00-00-02', 'srv-ghost', 'ghost'), ('not-a-mac', 'srv-bob', 'bob'),
    ('00:0b:82:00:00:03', 'srv-bob', 'bob'), ('000B82000003 ', 'srv-bob', 'bob');
)sql",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "INSERT INTO users(name, salt, iterations, digest) "
                                 "VALUES(?1, ?2, ?3, ?4)",
                                 -1, &insert, nullptr),
              SQLITE_OK);
    for (const auto& [name, password] :
         {std::pair<std::string, std::string>{"chief", chiefPassword}, {"bob", "pw-bob"}}) {
        const auto hash = server::hashPassword(password, 1000).value();
        sqlite3_bind_text(insert, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert, 2, hash.salt.data(), static_cast<int>(hash.salt.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 3, hash.iterations);
        sqlite3_bind_blob(insert, 4, hash.digest.data(), static_cast<int>(hash.digest.size()),
                          SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
}

// The tables of a SQLite database, by name.
std::set<std::string> tablesOf(const std::filesystem::path& file) {
    std::set<std::string> tables;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, "SELECT name FROM sqlite_master WHERE type = 'table'",
            [](void* found, int, char** values, char**) {
                static_cast<std::set<std::string>*>(found)->insert(values[0] ? values[0] : "");
                return 0;
            },
            &tables, nullptr);
    }
    sqlite3_close(db);
    return tables;
}

TEST(KestodMigrationTest, ADatabaseOfThePreviousReleaseIsCarriedForwardOnOpen) {
    KestodFixture server;
    ASSERT_TRUE(server.stop());
    const auto file = server.directory() / "kestod.db";
    writeOldDatabase(file, server.chiefPassword());
    server.restart();

    KestoPeer chief(server);
    KestoPeer bob(server, "127.0.0.2");
    ASSERT_EQ(chief.login("chief", server.chiefPassword()), "YES") << "hashes carried over";
    ASSERT_EQ(bob.login("bob", "pw-bob"), "YES");
    EXPECT_EQ(bob.device("UP", "000b82000001", "srv-bob-2", "bob"), "YES") << "bob keeps his phone";
    // ghost was deleted under the old release; a new ghost does not inherit the phone.
    ASSERT_EQ(chief.account("ADD", "ghost", "pw-ghost"), "YES");
    KestoPeer ghost(server, "127.0.0.3");
    ASSERT_EQ(ghost.login("ghost", "pw-ghost"), "YES");
    EXPECT_EQ(ghost.device("DEL", "00:0B:82:00:00:02", "", "ghost"), "NO");
    EXPECT_EQ(ghost.device("ADD", "000B82000002", "s", "ghost"), "EXIST");

    const std::string devices = server.runTool({"devices"});
    EXPECT_NE(devices.find("\n000b82000001\tbob\tsrv-bob-2\t"), std::string::npos) << devices;
    const auto ghostLine = devices.find("\n000b82000002\tghost\tsrv-ghost\t");
    ASSERT_NE(ghostLine, std::string::npos) << devices;
    EXPECT_NE(devices.find(" (deleted)\t", ghostLine), std::string::npos) << devices;

    // What could not be brought under a canonical MAC is kept as it was, and listed.
    const std::string invalid = server.runTool({"devices", "--invalid"});
    EXPECT_EQ(std::count(invalid.begin(), invalid.end(), '\n'), 4) << invalid;
    for (const char* line : {"\n000B82000003 \tbob\t", "\n00:0b:82:00:00:03\tbob\t",
                             "\tanother spelling of 000b82000003\n", "\nnot-a-mac\tbob\t",
                             "\tnot a MAC address: not a MAC address (9 bytes)\n"}) {
        EXPECT_NE(invalid.find(line), std::string::npos) << line << " in\n" << invalid;
    }
    EXPECT_NE(server.log().find("3 registrations are kept under a text no device record can "
                                "match"),
              std::string::npos)
        << server.log();
    EXPECT_EQ(bob.device("DEL", "000b82000003", "", "bob"), "NO") << "no record matches them";
    EXPECT_NE(server.runTool({"devices", "release", "not-a-mac"}).find("released not-a-mac"),
              std::string::npos)
        << "a stored text that is no MAC is released by its exact text";

    ASSERT_TRUE(server.stop());
    auto store = server::SqliteAccountStore::open(file, server::AccountStore::OpenMode::MustExist);
    ASSERT_TRUE(store) << store.error().message;
    EXPECT_EQ((*store)->schemaVersion().value(), server::schema::kCurrent);
    store->reset();
    // Every step taken: the guessing limit's running counts (step 5) gave way to its guesses
    // and the chief's trusted ranges (step 8), and no table of the old guard is left behind.
    const std::set<std::string> tables = tablesOf(file);
    for (const char* kept : {"accounts", "devices", "guesses", "trusted_ranges", "known_peers",
                             "spelled_macs", "settings"}) {
        EXPECT_TRUE(tables.contains(kept)) << kept;
    }
    EXPECT_FALSE(tables.contains("account_guard")) << "the old guard's table is left";
}

// A stored text holding bytes a terminal would act on is listed escaped, and release takes it
// as the listing printed it.
TEST(KestodEscapedMacTest, AStoredTextIsReleasedAsTheListingPrintsIt) {
    KestodFixture server({.store = StoreKind::Sqlite});
    ASSERT_TRUE(server.stop());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((server.directory() / "kestod.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "INSERT INTO devices(mac, server, account_id) VALUES(?1, 's', "
                                 "(SELECT id FROM accounts WHERE name = 'chief'))",
                                 -1, &insert, nullptr),
              SQLITE_OK);
    const std::string stored = "ab\x1b[2J\"\\cd";
    sqlite3_bind_text(insert, 1, stored.data(), static_cast<int>(stored.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
    sqlite3_finalize(insert);
    sqlite3_close(db);
    server.restart();

    const std::string listed = "ab\\x1b[2J\\x22\\x5ccd";
    EXPECT_NE(server.runTool({"devices"}).find("\n" + listed + "\tchief\ts\t"), std::string::npos)
        << server.runTool({"devices"});
    int status = -1;
    const std::string output = server.runTool({"devices", "release", listed}, &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("released " + listed + " (registered by chief"), std::string::npos)
        << output;
    EXPECT_EQ(server.runTool({"devices"}).find(listed), std::string::npos);
}

}  // namespace
}  // namespace velquor::testing
