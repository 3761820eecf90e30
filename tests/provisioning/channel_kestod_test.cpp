// ProvisioningChannel against a real kestod: every reply kestod gives, on every port, comes back
// as the result the callers act on, and kestod's own certificate passes the address check only
// for the address it was issued for.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kestod_fixture.h"
#include "provisioning/provisioning_channel.h"

namespace velquor::provisioning {
namespace {

using namespace velquor::wire;

using namespace std::chrono_literals;

class ChannelAgainstKestod : public ::testing::Test {
protected:
    velquor::testing::KestodFixture m_kestod;
    ProvisioningChannel m_channel{m_kestod.endpoint(), {5s, 15s}};

    int login(const std::string& name, const std::string& password) {
        return m_channel.SendLoginRequest(*buildLoginRequest({name, password}));
    }
    int account(const std::string& operation, const std::string& name,
                const std::string& password) {
        return m_channel.SendAccountRequest(*buildAccountRequest({operation, name, password}));
    }
    int device(const std::string& operation, const std::string& mac, const std::string& user) {
        return m_channel.SendDeviceRequest(
            *buildDeviceRequest({operation, mac, std::string(128, 'S'), user}));
    }
};

TEST_F(ChannelAgainstKestod, RepliesOnEveryPortBecomeTheCallersResults) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(login("chief", "wrong password"), -1);
    EXPECT_EQ(m_channel.lastReply(), "NO");
    EXPECT_EQ(login("chief", m_kestod.chiefPassword()), 0);

    EXPECT_EQ(account("ADD", "grace", "grace-pass"), 0);
    EXPECT_EQ(account("ADD", "grace", "grace-pass"), -1);  // "EXIST" is a refusal here
    EXPECT_EQ(m_channel.lastReply(), "EXIST");

    const std::string user(64, 'g');  // a name filling its whole field
    EXPECT_EQ(account("ADD", user, "pw"), 0);
    EXPECT_EQ(login(user, "pw"), 0);
    EXPECT_EQ(device("ADD", "00:0b:82:aa:bb:cc", user), 0);
    EXPECT_EQ(device("ADD", "00:0b:82:aa:bb:cc", user), 1);
    EXPECT_EQ(device("UP", "00:0b:82:aa:bb:cc", user), 0);
    EXPECT_EQ(device("DEL", "00:0b:82:aa:bb:cc", user), 0);
    EXPECT_EQ(device("DEL", "00:0b:82:aa:bb:cc", user), -1);
    EXPECT_EQ(m_channel.lastReply(), "NO");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// Each refusal that says why is worded for the operator; a bare "NO" leaves the causes to the
// caller, who knows what was asked.
TEST_F(ChannelAgainstKestod, RefusalsThatSayWhyAreWordedEach) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(device("ADD", "02:00:00:00:00:01", "chief"), -1) << "no login yet";
    EXPECT_EQ(m_channel.lastRefusal(), ServerRefusal::NotLoggedIn);
    EXPECT_NE(m_channel.lastError().find("log in again"), std::string::npos);

    ASSERT_EQ(login("chief", m_kestod.chiefPassword()), 0);
    for (const char* notMac : {"02:00:00:00:00", "ff:ff:ff:ff:ff:ff", "phone-1"}) {
        SCOPED_TRACE(notMac);
        EXPECT_EQ(device("ADD", notMac, "chief"), -1);
        EXPECT_EQ(m_channel.lastReply(), "INVALID");
        EXPECT_EQ(m_channel.lastRefusal(), ServerRefusal::NotAcceptable);
    }
    EXPECT_EQ(account("ADD", "henry", ""), -1) << "an empty password";
    EXPECT_EQ(m_channel.lastRefusal(), ServerRefusal::NotAcceptable);
    EXPECT_NE(m_channel.lastError().find("does not accept"), std::string::npos);

    for (int i = 0; i < 10; ++i) ASSERT_EQ(login("nobody", "guess"), -1);
    EXPECT_EQ(login("nobody", "guess"), -1) << "no more checks of the name from here";
    EXPECT_EQ(m_channel.lastRefusal(), ServerRefusal::TryAgain);
    EXPECT_NE(m_channel.lastError().find("changed nothing: try again later"), std::string::npos);

    EXPECT_EQ(device("DEL", "02:00:00:00:00:02", "chief"), -1) << "not registered";
    EXPECT_EQ(m_channel.lastRefusal(), ServerRefusal::Refused);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(ChannelAgainstKestod, CertificateIssuedForTheAddressOnly) {
    KestoEndpoint byName = m_kestod.endpoint();
    byName.address = "localhost";  // reaches the same server, but the certificate names 127.0.0.1
    ProvisioningChannel channel(byName, {5s, 15s});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(channel.SendLoginRequest(*buildLoginRequest({"chief", m_kestod.chiefPassword()})),
              -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Handle the failed verification \n");
}

}  // namespace
}  // namespace velquor::provisioning
