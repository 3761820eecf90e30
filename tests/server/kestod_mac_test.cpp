// kestod and MAC addresses: one device whatever spelling a record carries, a field that is
// no MAC address refused and kept out of the log, the listings in canonical form, and the
// rules that bring stored registrations under it.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "server/store/stored_macs.h"

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
