// Address ranges over the shared table of cases, and the group and network a peer counts in,
// from its text and from its socket address alike.
#include "net/address_range.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <unordered_set>

#include "host_address_cases.h"

namespace velquor::net {
namespace {

sockaddr_storage socketOf(const char* text) {
    sockaddr_storage storage{};
    auto& four = reinterpret_cast<sockaddr_in&>(storage);
    auto& six = reinterpret_cast<sockaddr_in6&>(storage);
    if (::inet_pton(AF_INET, text, &four.sin_addr) == 1) {
        four.sin_family = AF_INET;
    } else if (::inet_pton(AF_INET6, text, &six.sin6_addr) == 1) {
        six.sin6_family = AF_INET6;
    }
    return storage;
}

const sockaddr* raw(const sockaddr_storage& storage) {
    return reinterpret_cast<const sockaddr*>(&storage);
}

TEST(AddressRangeRule, EveryCaseOfTheTable) {
    for (const auto& c : velquor::testing::addressRangeCases()) {
        SCOPED_TRACE("'" + c.text + "'");
        const auto range = AddressRange::parse(c.text);
        ASSERT_EQ(range.ok(), !c.range.empty()) << (range ? range->text() : range.error().message);
        if (!range) {
            EXPECT_EQ(range.error().code, support::ErrorCode::Usage);
            EXPECT_NE(range.error().message.find("'" + c.text + "'"), std::string::npos);
            continue;
        }
        EXPECT_EQ(range->text(), c.range);
        EXPECT_EQ(AddressRange::parse(range->text()).value(), *range) << "read back";
        EXPECT_TRUE(range->contains(c.inside));
        EXPECT_TRUE(range->contains(raw(socketOf(c.inside.c_str()))));
        EXPECT_TRUE(inAnyRange("198.51.100.0/24 " + c.text, c.inside));
        if (c.outside.empty()) continue;
        EXPECT_FALSE(range->contains(c.outside));
        EXPECT_FALSE(range->contains(raw(socketOf(c.outside.c_str()))));
        EXPECT_FALSE(inAnyRange("198.51.100.0/24 " + c.text, c.outside));
    }
}

TEST(AddressRangeRule, NoTextAndNoSocketOfAnotherFamilyIsInside) {
    const auto every = AddressRange::parse("::/0").value();
    EXPECT_FALSE(every.contains(std::string_view("host.example")));
    sockaddr_storage local{};
    local.ss_family = AF_UNIX;
    EXPECT_FALSE(every.contains(raw(local)));
    EXPECT_FALSE(every.contains(static_cast<const sockaddr*>(nullptr)));
    EXPECT_FALSE(inAnyRange("not-a-range ::/0", "kesto.lan"));
    EXPECT_TRUE(inAnyRange("not-a-range 10.0.0.0/8", "10.1.2.3"));
}

// A range written in IPv6 holds an IPv4 peer only when it holds the whole of that address's
// mapping: a trust of an IPv6 network must not admit IPv4 addresses, on either kind of socket.
TEST(AddressRangeRule, AnIpv6RangeHoldsNoIpv4PeerOutsideTheMappedBlock) {
    const char* peers[] = {"0.0.0.0", "127.0.0.1", "192.0.2.7", "255.255.255.255"};
    for (const char* text : {"2001:db8::/32", "fd00::/8", "8000::/1", "::/96", "::/81", "::1",
                             "fe80::/10", "2001:db8::c000:207/128", "::c000:207/128"}) {
        SCOPED_TRACE(text);
        const auto range = AddressRange::parse(text).value();
        for (const char* peer : peers) {
            EXPECT_FALSE(range.contains(std::string_view(peer))) << peer;
            EXPECT_FALSE(range.contains(raw(socketOf(peer)))) << peer;
            const std::string mapped = std::string("::ffff:") + peer;
            EXPECT_FALSE(range.contains(raw(socketOf(mapped.c_str())))) << mapped;
            EXPECT_FALSE(inAnyRange(text, peer)) << peer;
        }
    }
    // The mapped block itself, and what holds it, hold every IPv4 peer.
    for (const char* text : {"::ffff:0:0/96", "::/80", "::/0"}) {
        const auto range = AddressRange::parse(text).value();
        for (const char* peer : peers) EXPECT_TRUE(range.contains(raw(socketOf(peer)))) << text;
    }
}

TEST(AddressGroup, AnIpv4AddressIsItsOwnGroupAndAnIpv6OneCountsByItsSlash64) {
    EXPECT_EQ(addressGroupText("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(addressGroupText("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(addressGroupText("2001:db8:1:2:aaaa:bbbb:cccc:dddd"), "2001:db8:1:2::/64");
    EXPECT_EQ(addressGroupText("::1"), "::/64");
    EXPECT_EQ(addressGroupText("kesto.lan"), "kesto.lan");
    // Both ends of one /64, and the first address past it.
    const auto low = socketOf("2001:db8:1:2::"),
               high = socketOf("2001:db8:1:2:ffff:ffff:ffff:ffff");
    const auto next = socketOf("2001:db8:1:3::"), before = socketOf("2001:db8:1:1:ffff::");
    EXPECT_EQ(addressGroup(raw(low)), addressGroup(raw(high)));
    EXPECT_NE(addressGroup(raw(high)), addressGroup(raw(next)));
    EXPECT_NE(addressGroup(raw(low)), addressGroup(raw(before)));
    // An IPv4 peer on an IPv6 socket is the same peer as on an IPv4 one; its neighbour is not.
    const auto four = socketOf("192.0.2.7"), mapped = socketOf("::ffff:192.0.2.7");
    const auto neighbour = socketOf("192.0.2.8");
    EXPECT_EQ(addressGroup(raw(four)), addressGroup(raw(mapped)));
    EXPECT_NE(addressGroup(raw(four)), addressGroup(raw(neighbour)));
    EXPECT_EQ(addressGroup(raw(mapped)).text(), "192.0.2.7/32");
    const std::unordered_set<AddressRange> groups{addressGroup(raw(four)),
                                                  addressGroup(raw(mapped)), addressGroup(raw(low)),
                                                  addressGroup(raw(high))};
    EXPECT_EQ(groups.size(), 2u);
}

TEST(AddressGroup, ANetworkIsTheSlash24OfIpv4AndTheSlash48OfIpv6) {
    EXPECT_EQ(addressNetworkText("192.0.2.7"), "192.0.2.0/24");
    EXPECT_EQ(addressNetworkText("::ffff:192.0.2.200"), "192.0.2.0/24");
    EXPECT_EQ(addressNetworkText("2001:db8:1:2::1"), "2001:db8:1::/48");
    EXPECT_EQ(addressNetworkText("kesto.lan"), "kesto.lan");
    const auto first = socketOf("192.0.2.0"), last = socketOf("::ffff:192.0.2.255");
    const auto past = socketOf("192.0.3.0");
    EXPECT_EQ(addressNetwork(raw(first)), addressNetwork(raw(last)));
    EXPECT_NE(addressNetwork(raw(last)), addressNetwork(raw(past)));
    const auto low = socketOf("2001:db8:1::"), high = socketOf("2001:db8:1:ffff:ffff::1");
    const auto next = socketOf("2001:db8:2::");
    EXPECT_EQ(addressNetwork(raw(low)), addressNetwork(raw(high)));
    EXPECT_NE(addressNetwork(raw(high)), addressNetwork(raw(next)));
    // A network holds the groups of its addresses; an IPv4 network holds no IPv6 address.
    EXPECT_TRUE(addressNetwork(raw(high)).contains(addressGroup(raw(low)).first()));
    EXPECT_FALSE(addressNetwork(raw(first)).contains(std::string_view("::c000:200")));
}

}  // namespace
}  // namespace velquor::net
