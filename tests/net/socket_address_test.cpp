// The one text of a socket's address, the socket addresses a host stands for and the
// descriptor limit a server raises.
#include "net/socket_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/un.h>

#include <algorithm>

#include "net/descriptor_limit.h"
#include "net/ip_address.h"

namespace velquor::net {
namespace {

std::uint16_t portOf(const SocketAddress& address) {
    return ntohs(address.family() == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address.storage).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address.storage).sin_port);
}

TEST(AddressText, EveryFamilyInItsUsualFormAndMappedIpv4AsIpv4) {
    sockaddr_in four{};
    four.sin_family = AF_INET;
    ::inet_pton(AF_INET, "192.0.2.7", &four.sin_addr);
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "2001:0db8:0000::0007", &six.sin6_addr);
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "::ffff:10.1.0.9", &mapped.sin6_addr);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    EXPECT_EQ(addressText(reinterpret_cast<const sockaddr*>(&four)), "192.0.2.7");
    EXPECT_EQ(addressText(reinterpret_cast<const sockaddr*>(&six)), "2001:db8::7");
    EXPECT_EQ(addressText(reinterpret_cast<const sockaddr*>(&mapped)), "10.1.0.9");
    EXPECT_EQ(addressText(reinterpret_cast<const sockaddr*>(&local)), "-");
    EXPECT_EQ(addressText(nullptr), "-");
    EXPECT_EQ(IpAddress::parse("::ffff:10.1.0.9"), IpAddress::parse("10.1.0.9"));
    EXPECT_EQ(IpAddress::parse("[2001:db8::7]"), IpAddress::of(reinterpret_cast<sockaddr*>(&six)));
    for (const char* wrong : {"[10.1.0.9]", "10.1.0", "kesto.lan", "[::1", "::1]", ""})
        EXPECT_FALSE(IpAddress::parse(wrong)) << wrong;
}

TEST(SocketAddresses, AnAddressStandsForItselfWithThePort) {
    const auto four = socketAddresses(parseHostAddress("192.0.2.7").value(), 8080).value();
    ASSERT_EQ(four.size(), 1u);
    EXPECT_EQ(four[0].family(), AF_INET);
    EXPECT_EQ(four[0].length, sizeof(sockaddr_in));
    EXPECT_EQ(addressText(four[0].get()), "192.0.2.7");
    EXPECT_EQ(portOf(four[0]), 8080);
    const auto six = socketAddresses(parseHostAddress("[fd00::1]").value(), 443).value();
    ASSERT_EQ(six.size(), 1u);
    EXPECT_EQ(six[0].family(), AF_INET6);
    EXPECT_EQ(six[0].length, sizeof(sockaddr_in6));
    EXPECT_EQ(addressText(six[0].get()), "fd00::1");
    EXPECT_EQ(portOf(six[0]), 443);
}

TEST(SocketAddresses, ANameStandsForWhatItResolvesToEachOnce) {
    const auto found = socketAddresses(parseHostAddress("localhost").value(), 8080).value();
    ASSERT_FALSE(found.empty());
    std::vector<std::string> texts;
    for (const auto& address : found) {
        const auto ip = IpAddress::of(address.get());
        ASSERT_TRUE(ip);
        EXPECT_TRUE(ip->text() == "::1" || ip->text().starts_with("127.")) << ip->text();
        EXPECT_EQ(portOf(address), 8080);
        texts.push_back(ip->text());
    }
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(std::adjacent_find(texts.begin(), texts.end()), texts.end()) << "an address twice";
}

TEST(DescriptorLimit, TheSoftLimitIsRaisedToTheHardOne) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    if (before.rlim_max <= 64) GTEST_SKIP() << "a hard limit of " << before.rlim_max;
    rlimit lowered = before;
    lowered.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const std::uint64_t raised = raiseDescriptorLimit();
    rlimit after{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
    ::setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_EQ(raised, after.rlim_cur);
    EXPECT_EQ(after.rlim_cur, std::min<rlim_t>(before.rlim_max, 1 << 20));
}

}  // namespace
}  // namespace velquor::net
