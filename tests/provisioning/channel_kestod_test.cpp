// ProvisioningChannel against a real kestod: every reply kestod gives, on every port, comes back
// as the result the callers act on, and kestod's own certificate passes the address check only
// for the address it was issued for.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "kestod_fixture.h"
#include "provisioning/provisioning_channel.h"
#include "test_certificates.h"

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

// A CA file that holds no CA of the server's certificate is named, with the server, in place
// of the library's "unable to get local issuer certificate".
TEST_F(ChannelAgainstKestod, AWrongCaFileIsNamedWithTheServer) {
    const testing::TestCertificates others;
    KestoEndpoint endpoint = m_kestod.endpoint();
    endpoint.caFile = others.caFile().string();
    ProvisioningChannel channel(endpoint, {5s, 15s});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(channel.SendLoginRequest(*buildLoginRequest({"chief", m_kestod.chiefPassword()})),
              -1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(channel.lastError(),
              "the certificate of 127.0.0.1:" + std::to_string(m_kestod.loginPort()) +
                  " is not signed by a CA in " + endpoint.caFile);
    EXPECT_EQ(channel.lastFailureStage(), FailureStage::Verifying);
    const auto tested = testConnection(endpoint);
    ASSERT_FALSE(tested.ok());
    EXPECT_EQ(tested.error().message, channel.lastError());
}

// A plain TCP connection that never starts its handshake, holding one of the server's places.
class IdleConnection {
public:
    explicit IdleConnection(std::uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~IdleConnection() { ::close(m_fd); }
    IdleConnection(const IdleConnection&) = delete;
    IdleConnection& operator=(const IdleConnection&) = delete;
    bool connected() const { return m_connected; }

private:
    int m_fd;
    bool m_connected = false;
};

// A server that takes no more connections accepts one and closes it at once: the reason says
// the handshake was cut short and that load is the likely cause, not "TLS handshake failed".
TEST(ChannelAgainstBusyKestod, AConnectionClosedForLoadSaysTheServerMayBeOverloaded) {
    velquor::testing::KestodOptions one;
    one.serveArguments = {"--max-connections", "1", "--max-per-peer", "1"};
    velquor::testing::KestodFixture kestod(one);
    const IdleConnection holder(kestod.loginPort());
    ASSERT_TRUE(holder.connected());
    ProvisioningChannel channel(kestod.endpoint(), {5s, 15s});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(channel.SendLoginRequest(*buildLoginRequest({"chief", kestod.chiefPassword()})), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "BIO_do_connect(bio)NULL<=0\n");
    EXPECT_EQ(channel.lastError(), "the server at 127.0.0.1:" + std::to_string(kestod.loginPort()) +
                                       " closed the connection before the TLS handshake ended: it "
                                       "may be overloaded; try again later");
    EXPECT_EQ(channel.lastFailureStage(), FailureStage::Connecting);
    EXPECT_FALSE(channel.lastFailureTimedOut());
}

// The diagnostic lines go where the program says, or nowhere.
TEST_F(ChannelAgainstKestod, DiagnosticLinesGoWhereTheProgramSends) {
    KestoEndpoint byName = m_kestod.endpoint();
    byName.address = "localhost";
    ProvisioningChannel channel(byName, {5s, 15s});
    const auto login = [&] {
        return channel.SendLoginRequest(*buildLoginRequest({"chief", m_kestod.chiefPassword()}));
    };
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    setDiagnosticStream(nullptr);
    EXPECT_EQ(login(), -1);
    setDiagnosticStream(stderr);
    EXPECT_EQ(login(), -1);
    setDiagnosticStream(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Handle the failed verification \n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace velquor::provisioning
