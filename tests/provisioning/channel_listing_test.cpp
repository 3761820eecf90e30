// The listing exchange against a scripted TLS server: a page taken whole, an older server's
// "NO", and every reply that breaks the layout refused with what was wrong, so no row of a
// broken reply is ever shown as registered.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "provisioning/device_inventory.h"
#include "provisioning/provisioning_channel.h"
#include "scripted_tls_server.h"
#include "test_certificates.h"
#include "wire/device_listing.h"

namespace velquor::provisioning {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedTlsServer;
using testing::ServerAction;
using testing::ServerScript;
using testing::TestCertificates;

wire::ListedDevice mine(std::string mac) {
    return {std::move(mac), wire::ListedState::Mine, "2026-12-09T01:23:45Z", "https://p/"};
}

std::string pageBytes(const wire::ListingPage& page) {
    auto bytes = wire::encodeListingPage(page);
    EXPECT_TRUE(bytes.ok()) << bytes.error().message;
    return bytes.ok() ? *bytes : std::string();
}

class ChannelListingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_certificates = std::make_unique<TestCertificates>(); }
    static void TearDownTestSuite() { s_certificates.reset(); }

    // A server on the device port answering every LIST with reply.
    void serve(std::string reply, ServerAction action = ServerAction::Reply) {
        m_server = std::make_unique<ScriptedTlsServer>(
            s_certificates->server().certificate, s_certificates->server().key,
            wire::kDeviceRequestSize, ServerScript{action, std::move(reply)});
    }
    KestoEndpoint endpoint() const {
        KestoEndpoint endpoint;
        endpoint.address = "127.0.0.1";
        endpoint.caFile = s_certificates->caFile().string();
        endpoint.loginPort = endpoint.accountPort = m_closed.port();
        endpoint.devicePort = m_server->port();
        endpoint.timeouts = {3s, 5s};
        return endpoint;
    }
    support::Result<wire::ListingPage> fetch(wire::ListingQuery query = {"alice", "", 0, ""}) {
        ProvisioningChannel channel(endpoint());
        return channel.fetchListingPage(query);
    }

    std::unique_ptr<ScriptedTlsServer> m_server;
    testing::ClosedPort m_closed;

    static inline std::unique_ptr<TestCertificates> s_certificates;
};

TEST_F(ChannelListingTest, APageArrivesWholeAndTheRequestIsTheListingRecord) {
    const wire::ListingPage page{2, 0, false, {mine("001122334455"), mine("0011223344e5")}};
    serve(pageBytes(page));
    auto fetched = fetch({"alice", "", 0, ""});
    ASSERT_TRUE(fetched.ok()) << fetched.error().message;
    EXPECT_EQ(*fetched, page);
    const auto received = m_server->received();
    ASSERT_EQ(received.size(), 1u);
    auto query = wire::decodeListingRequest(received[0]);
    ASSERT_TRUE(query.ok()) << query.error().message;
    EXPECT_EQ(query->userName, "alice");
}

TEST_F(ChannelListingTest, AServerWithoutListingSaysSoAndAnUnknownWordIsQuoted) {
    serve("NO");
    auto old = fetch();
    ASSERT_FALSE(old.ok());
    EXPECT_EQ(old.error().code, support::ErrorCode::Refused);
    EXPECT_EQ(old.error().message, kListingUnsupported);

    serve("MAYBE");
    auto odd = fetch();
    ASSERT_FALSE(odd.ok());
    EXPECT_NE(odd.error().message.find("MAYBE"), std::string::npos) << odd.error().message;

    serve("", ServerAction::HangUp);
    auto closed = fetch();
    ASSERT_FALSE(closed.ok());
    EXPECT_EQ(closed.error().code, support::ErrorCode::Network);
}

// A server from before the phones' port refuses the asked mark as a malformed record; the
// client asks again plainly, and goes on plainly on that channel.
TEST_F(ChannelListingTest, AServerFromBeforeThePhonesPortIsAskedAgainWithoutTheAskedMark) {
    const wire::ListingPage page{1, 0, false, {mine("001122334455")}};
    const std::string plain = pageBytes(page);
    m_server = std::make_unique<ScriptedTlsServer>(
        s_certificates->server().certificate, s_certificates->server().key,
        wire::kDeviceRequestSize,
        ServerScript{ServerAction::Reply, "", [plain](const std::string& record) {
                         const auto query = wire::decodeListingRequest(record);
                         return query && query->withAsked ? std::string("NO") : plain;
                     }});
    ProvisioningChannel channel(endpoint());
    auto fetched = channel.fetchListingPage({"alice", "", 0, ""});
    ASSERT_TRUE(fetched.ok()) << fetched.error().message;
    EXPECT_EQ(*fetched, page);
    EXPECT_FALSE(fetched->withAsked);
    ASSERT_TRUE(channel.fetchListingPage({"alice", "", 0, ""}).ok());
    const auto received = m_server->received();
    ASSERT_EQ(received.size(), 3u) << "asked once with the mark, then plainly";
    EXPECT_TRUE(wire::decodeListingRequest(received[0])->withAsked);
    EXPECT_FALSE(wire::decodeListingRequest(received[1])->withAsked);
    EXPECT_FALSE(wire::decodeListingRequest(received[2])->withAsked);
}

TEST_F(ChannelListingTest, RepliesThatBreakTheLayoutAreRefusedNamingWhatWasWrong) {
    const std::string good = pageBytes(
        {3, 0, false, {mine("001122334455"), mine("001122334466"), mine("001122334477")}});
    std::string overLimit = good;
    std::memcpy(overLimit.data() + 32, "1001\0\0\0\0", 8);
    std::string notAMac = good;
    std::memcpy(notAMac.data() + 64, "MAC address\0", 12);
    struct Case {
        std::string reply;
        std::string said;
    } cases[] = {
        {good.substr(0, good.size() - 1), "ended after 2 whole"},  // a short last row
        {good.substr(0, 64 + 192), "ended after 1 whole"},         // rows missing
        {overLimit, "at most 1000"},
    };
    for (const auto& [reply, said] : cases) {
        serve(reply);
        auto fetched = fetch();
        ASSERT_FALSE(fetched.ok()) << "took a broken reply";
        EXPECT_EQ(fetched.error().code, support::ErrorCode::InvalidInput);
        EXPECT_NE(fetched.error().message.find(said), std::string::npos) << fetched.error().message;
    }

    // A row whose MAC is not a MAC address arrives whole, but the listing refuses it.
    serve(notAMac);
    support::NullProgress none;
    auto listed = listDevices(channelFetchers(endpoint(), {}), {"alice", ""}, none, {});
    ASSERT_FALSE(listed.ok());
    EXPECT_NE(listed.error().message.find("row 1"), std::string::npos) << listed.error().message;
}

// The total a first page gives is held to: a server whose pages disagree with it, or repeat
// rows, has changed under the listing, which is said rather than shown half.
TEST_F(ChannelListingTest, PagesThatDisagreeWithTheFirstStopTheListing) {
    std::vector<wire::ListedDevice> rows;
    for (int i = 0; i < 1000; ++i) {
        char mac[13];
        std::snprintf(mac, sizeof mac, "0200000%05x", i);
        rows.push_back(mine(mac));
    }
    // Every request gets the same first page: its second page starts at the wrong row.
    serve(pageBytes({1500, 0, true, rows}));
    support::NullProgress none;
    auto listed = listDevices(channelFetchers(endpoint(), {}), {"alice", ""}, none, {});
    ASSERT_FALSE(listed.ok());
    EXPECT_NE(listed.error().message.find("row 1001"), std::string::npos) << listed.error().message;
}

}  // namespace
}  // namespace velquor::provisioning
