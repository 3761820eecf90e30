// kestod's LIST for an account that was deleted and made again under the same name: the phones
// of the deleted account are another account's, both one by one and page by page.
#include <gtest/gtest.h>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "wire/device_listing.h"
#include "wire/wire_records.h"

namespace velquor::testing {
namespace {

// The reply to a LIST from peer: its header and rows.
struct ListedReply {
    wire::ListingPageShape shape;
    std::vector<wire::ListedDevice> rows;
};

ListedReply list(const KestoPeer& peer, const KestodFixture& server, const std::string& user,
                 const std::string& mac = {}) {
    ListedReply listed;
    const auto request = wire::buildListingRequest({user, mac, 0, ""});
    EXPECT_TRUE(static_cast<bool>(request));
    if (!request) return listed;
    const std::string reply = peer.send(server.devicePort(), wire::recordBytes(*request));
    const auto shape = wire::decodeListingHeader(reply.substr(0, wire::kListingHeaderSize));
    EXPECT_TRUE(static_cast<bool>(shape)) << reply;
    if (!shape) return listed;
    listed.shape = *shape;
    for (std::size_t at = wire::kListingHeaderSize; at + wire::kListingRowSize <= reply.size();
         at += wire::kListingRowSize) {
        auto row =
            wire::decodeListingRow(std::string_view(reply).substr(at, wire::kListingRowSize));
        EXPECT_TRUE(static_cast<bool>(row));
        if (row) listed.rows.push_back(*row);
    }
    return listed;
}

TEST(KestodListingTest, ADeletedAccountsPhoneIsNotTheNewAccountOfTheSameName) {
    KestodFixture server;
    KestoPeer chief(server);
    KestoPeer bob(server, "127.0.0.2");
    const std::string mac = macFor("bob's old phone");
    ASSERT_EQ(chief.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(chief.account("ADD", "bob", "pw-1"), "YES");
    ASSERT_EQ(bob.login("bob", "pw-1"), "YES");
    ASSERT_EQ(bob.device("ADD", mac, "sip.old", "bob"), "YES");
    ASSERT_EQ(chief.account("DEL", "bob"), "YES");
    ASSERT_EQ(chief.account("ADD", "bob", "pw-2"), "YES");
    ASSERT_EQ(bob.login("bob", "pw-2"), "YES");

    const ListedReply one = list(bob, server, "bob", mac);
    ASSERT_EQ(one.rows.size(), 1u);
    EXPECT_EQ(one.rows[0].mac, mac);
    EXPECT_EQ(one.rows[0].state, wire::ListedState::Other);
    EXPECT_EQ(one.rows[0].server, "") << "another account's server text is not shown";

    const ListedReply all = list(bob, server, "bob");
    EXPECT_EQ(all.shape.total, 0u);
    EXPECT_TRUE(all.rows.empty());
    // Nor can the new account change it.
    EXPECT_NE(bob.device("DEL", mac, "", "bob"), "YES");
    EXPECT_EQ(bob.device("ADD", mac, "sip.new", "bob"), "EXIST");
}

}  // namespace
}  // namespace velquor::testing
