// kestod and MAC addresses: one device whatever spelling a record carries, a field that is
// no MAC address refused and kept out of the log, the listings in canonical form, and the
// rules that bring stored registrations under it.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <thread>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "server/store/stored_macs.h"
#include "wire/device_listing.h"
#include "wire/wire_records.h"

namespace velquor::testing {
namespace {

class KestodMacTest : public ::testing::Test {
protected:
    KestodMacTest() {
        EXPECT_EQ(peer.login("chief", server.chiefPassword()), "YES");
        EXPECT_EQ(peer.account("ADD", "bob", "pw-bob"), "YES");
        EXPECT_EQ(peer.login("bob", "pw-bob"), "YES");
    }

    // Lines are written after the reply: waits until the log holds text.
    std::string logWith(const std::string& text) const {
        std::string log;
        for (int i = 0; i < 100; ++i) {
            log = server.log();
            if (log.find(text) != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return log;
    }

    KestodFixture server;
    KestoPeer peer{server};
};

// Runs one statement on the fixture's store as an administrator editing it by hand would.
void editStore(const KestodFixture& server, const std::string& sqliteSql,
               const std::string& postgresSql) {
    if (server.store() == StoreKind::Postgres) {
        PGconn* db = PQconnectdb(server.databaseUrl().c_str());
        PGresult* done = PQexec(db, postgresSql.c_str());
        EXPECT_EQ(PQresultStatus(done), PGRES_COMMAND_OK) << PQerrorMessage(db);
        PQclear(done);
        PQfinish(db);
        return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((server.directory() / "kestod.db").c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    EXPECT_EQ(sqlite3_exec(db, sqliteSql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// One LIST page of the user's own devices from row start: its header and how many bytes of
// rows followed.
std::pair<wire::ListingPageShape, std::size_t> listPage(const KestoPeer& peer,
                                                        const KestodFixture& server,
                                                        const std::string& user,
                                                        std::uint64_t start) {
    const auto request = wire::buildListingRequest({user, "", start, ""});
    EXPECT_TRUE(static_cast<bool>(request));
    const std::string reply = peer.send(server.devicePort(), wire::recordBytes(*request));
    const auto shape = wire::decodeListingHeader(reply.substr(0, wire::kListingHeaderSize));
    EXPECT_TRUE(static_cast<bool>(shape)) << reply;
    return {shape ? *shape : wire::ListingPageShape{},
            reply.size() - std::min(reply.size(), wire::kListingHeaderSize)};
}

// A row a hand-edited database made unlistable is left out of its page with a line in the log,
// not a refusal of the whole listing; a start past every row, however far, is an empty last
// page.
TEST_F(KestodMacTest, AnUnlistableRowIsLeftOutAndAStartPastTheRowsIsAnEmptyLastPage) {
    for (const char* mac : {"02:00:00:00:00:01", "02:00:00:00:00:02", "02:00:00:00:00:03"}) {
        ASSERT_EQ(peer.device("ADD", mac, "srv", "bob"), "YES");
    }
    editStore(server,
              "UPDATE devices SET server = 'a' || char(0) || 'b' WHERE mac = '020000000002'",
              "UPDATE devices SET server = '\\x610062'::bytea "
              "WHERE mac = convert_to('020000000002', 'UTF8')");
    const auto [page, rowBytes] = listPage(peer, server, "bob", 0);
    EXPECT_EQ(page.total, 2u);
    EXPECT_EQ(page.count, 2u);
    EXPECT_FALSE(page.more);
    EXPECT_EQ(rowBytes, 2 * wire::kListingRowSize);
    EXPECT_NE(logWith("left out 020000000002").find("reply=ROWS 2"), std::string::npos)
        << server.log();

    for (const std::uint64_t far : {std::uint64_t{5}, std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
        const auto [beyond, bytes] = listPage(peer, server, "bob", far);
        EXPECT_EQ(beyond.count, 0u) << far;
        EXPECT_EQ(beyond.start, beyond.total) << far;
        EXPECT_FALSE(beyond.more) << far;
        EXPECT_EQ(bytes, 0u) << far;
    }
    EXPECT_EQ(server.log().find("store error"), std::string::npos) << server.log();
}

// A database of the schema before devices were kept canonically, where one phone is held in
// two spellings by two accounts and in none canonically: after the upgrade the phone stays
// taken for everyone else until the administrator gives it to one of them or releases it, and
// the listing says whose each spelling is.
TEST_F(KestodMacTest, AnUpgradeKeepsAPhoneHeldOnlyInOtherSpellingsTakenUntilSettled) {
    ASSERT_EQ(peer.account("ADD", "alice", "pw-alice"), "YES");
    KestoPeer carol(server, "127.0.0.3");
    ASSERT_EQ(peer.account("ADD", "carol", "pw-carol"), "YES");
    ASSERT_TRUE(server.stop());
    editStore(server,
              "INSERT INTO devices(mac, server, account_id) SELECT '00:1A:2B:3C:4D:01', 's', id "
              "FROM accounts WHERE name = 'alice'; INSERT INTO devices(mac, server, account_id) "
              "SELECT '00-1a-2b-3c-4d-01', 's', id FROM accounts WHERE name = 'bob'; "
              "DROP TABLE spelled_macs; UPDATE schema_version SET version = 5;",
              "INSERT INTO devices(mac, server, account_id) SELECT convert_to(v.m, 'UTF8'), "
              "convert_to('s', 'UTF8'), a.id FROM accounts a, (VALUES ('alice', "
              "'00:1A:2B:3C:4D:01'), ('bob', '00-1a-2b-3c-4d-01')) AS v(n, m) "
              "WHERE a.name = convert_to(v.n, 'UTF8'); DROP TABLE spelled_macs; "
              "DELETE FROM schema_step; INSERT INTO schema_step VALUES (5);");
    server.restart();
    ASSERT_EQ(carol.login("carol", "pw-carol"), "YES");
    EXPECT_EQ(carol.device("ADD", "001a2b3c4d01", "s", "carol"), "EXIST");
    EXPECT_EQ(carol.device("ADD", "00:1a:2b:3c:4d:01", "s", "carol"), "EXIST");
    const std::string invalid = server.runTool({"devices", "--invalid"});
    EXPECT_NE(invalid.find("00:1A:2B:3C:4D:01\talice\t"), std::string::npos) << invalid;
    EXPECT_NE(invalid.find("00-1a-2b-3c-4d-01\tbob\t"), std::string::npos) << invalid;

    int status = -1;
    const std::string assigned =
        server.runTool({"devices", "assign", "00:1a:2b:3c:4d:01", "bob"}, &status);
    EXPECT_EQ(status, 0) << assigned;
    EXPECT_EQ(server.runTool({"devices", "--invalid"}), "mac\tuser\taccount\twhy\n");
    EXPECT_NE(server.runTool({"devices"}).find("\n001a2b3c4d01\tbob\ts\t"), std::string::npos);
    EXPECT_EQ(carol.device("ADD", "001a2b3c4d01", "s", "carol"), "EXIST") << "bob's now";
    server.runTool({"devices", "assign", "001a2b3c4d02", "bob"}, &status);
    EXPECT_EQ(status, 1) << "nothing registered to assign";

    const std::string released = server.runTool({"devices", "release", "001a2b3c4d01"}, &status);
    EXPECT_EQ(status, 0) << released;
    EXPECT_EQ(carol.device("ADD", "001a2b3c4d01", "s", "carol"), "YES") << "settled: free again";
}

TEST_F(KestodMacTest, EverySpellingOfOnePhoneIsOneDevice) {
    EXPECT_EQ(peer.device("ADD", "00:1A:2B:3C:4D:5E", "https://prov.example/", "bob"), "YES");
    EXPECT_EQ(peer.device("ADD", "001a2b3c4d5e", "https://prov.example/", "bob"), "EXIST");
    EXPECT_EQ(peer.device("ADD", " 00-1a-2b-3c-4d-5e\t", "https://prov.example/", "bob"), "EXIST");
    EXPECT_EQ(peer.device("UP", "001A.2B3C.4D5E", "https://other.example/", "bob"), "YES");
    const std::string devices = server.runTool({"devices"});
    EXPECT_NE(devices.find("\n001a2b3c4d5e\tbob\thttps://other.example/\t"), std::string::npos)
        << devices;
    EXPECT_EQ(std::count(devices.begin(), devices.end(), '\n'), 2) << devices;
    EXPECT_EQ(peer.device("DEL", "001a2b3c4d5e", "", "bob"), "YES");
    EXPECT_EQ(peer.device("DEL", "00:1A:2B:3C:4D:5E", "", "bob"), "NO") << "already gone";
    EXPECT_NE(logWith("op=ADD user=\"bob\" mac=\"001a2b3c4d5e\" reply=EXIST")
                  .find("op=UP user=\"bob\" mac=\"001a2b3c4d5e\" reply=YES"),
              std::string::npos)
        << "the log names the device canonically";
}

TEST_F(KestodMacTest, AFieldThatIsNoMacAddressIsRefusedStoredNowhereAndNeverLogged) {
    for (const char* field : {"MAC", "Winter2024!pw", "<script>", "", "00:00:00:00:00:00",
                              "01:00:5E:00:00:01", "001A2B3C4D5G"}) {
        EXPECT_EQ(peer.device("ADD", field, "s", "bob"), "INVALID") << field;
    }
    EXPECT_EQ(peer.device("DEL", "not-a-mac", "", "bob"), "INVALID");
    const std::string log = logWith("(9 bytes)");
    for (const char* text : {"Winter2024", "script", "mac=\"MAC\"", "5G", "not-a-mac"}) {
        EXPECT_EQ(log.find(text), std::string::npos) << text << " in\n" << log;
    }
    EXPECT_NE(log.find("not a MAC address: not a MAC address (13 bytes)"), std::string::npos)
        << log;
    EXPECT_NE(log.find("not a MAC address: a letter that is no hex digit (12 bytes)"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("not a MAC address: a group address"), std::string::npos) << log;
    const std::string devices = server.runTool({"devices"});
    EXPECT_EQ(std::count(devices.begin(), devices.end(), '\n'), 1) << devices;
}

TEST_F(KestodMacTest, ReleaseTakesAnySpellingAndListsTheCanonicalForm) {
    ASSERT_EQ(peer.device("ADD", "02-AA-BB-CC-DD-EE", "s", "bob"), "YES");
    int status = -1;
    const std::string output = server.runTool({"devices", "release", "02aa.bbcc.ddee"}, &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("released 02aabbccddee (registered by bob"), std::string::npos) << output;
    EXPECT_EQ(peer.device("ADD", "02:aa:bb:cc:dd:ee", "s", "bob"), "YES") << "free again";
    EXPECT_EQ(server.runTool({"devices", "--invalid"}), "mac\tuser\taccount\twhy\n");
    server.runTool({"devices", "--invalid", "release", "x"}, &status);
    EXPECT_EQ(status, 2);
}

TEST(StoredMacsTest, OnlyARowAloneWithItsCanonicalFormIsRewritten) {
    const std::vector<std::string> stored = {"00:0B:82:00:00:01", "000b82000002", "not-a-mac",
                                             "00-0b-82-00-00-03", "000B82000003", "000b82000004 ",
                                             "000b82000004"};
    const auto renames = server::canonicalRenames(stored);
    ASSERT_EQ(renames.size(), 1U);
    EXPECT_EQ(renames[0].index, 0U);
    EXPECT_EQ(renames[0].canonical, "000b82000001");
    EXPECT_EQ(server::macFieldRefusal("001a2b3c4d5e"), "");
    EXPECT_EQ(server::macFieldRefusal("0xDEADBEEF"),
              "not a MAC address: not a MAC address (10 bytes)");
    EXPECT_EQ(server::macFieldRefusal("001A2B3C4D"),
              "not a MAC address: 10 hex digits, not 12 "
              "(10 bytes)");

    std::vector<server::DeviceRow> rows(3);
    rows[0].mac = "000b82000004 ";
    rows[1].mac = "000b82000004";
    rows[2].mac = "00:0b:82:00:00:05";
    const auto unmatched = server::unmatchedDevices(rows);
    ASSERT_EQ(unmatched.size(), 2U);
    EXPECT_EQ(unmatched[0].why, "another spelling of 000b82000004");
    EXPECT_EQ(unmatched[1].why, "not yet in its canonical form 000b82000005");
    EXPECT_NE(server::unmatchedDevicesNotice(unmatched).find("2 registrations are kept"),
              std::string::npos);
    EXPECT_EQ(server::unmatchedDevicesNotice({}), "");
}

}  // namespace
}  // namespace velquor::testing
