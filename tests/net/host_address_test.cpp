// The one rule for a server's address over the shared table of cases: what each text is taken
// as, whether it is an IP address, and how a certificate names it.
#include "net/host_address.h"

#include <gtest/gtest.h>

#include "host_address_cases.h"

namespace velquor::net {
namespace {

TEST(HostAddressRule, EveryCaseOfTheTable) {
    for (const auto& c : velquor::testing::hostAddressCases()) {
        SCOPED_TRACE("'" + c.text + "'");
        const auto host = parseHostAddress(c.text);
        ASSERT_EQ(host.ok(), !c.address.empty()) << (host ? host->address : host.error().message);
        if (!host) {
            EXPECT_NE(host.error().message.find("is not a host name"), std::string::npos);
            continue;
        }
        EXPECT_EQ(host->address, c.address);
        EXPECT_EQ(host->isIp(), c.ip);
        EXPECT_EQ(host->certified(), c.certified);
    }
    EXPECT_EQ(parseHostAddress("  kesto.lan \t")->address, "kesto.lan");
}

}  // namespace
}  // namespace velquor::net
