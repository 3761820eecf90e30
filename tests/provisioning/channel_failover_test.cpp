// A server name with several addresses: an address that takes the connection and then says
// nothing, hangs up before the handshake or is slower to connect than the next, is left for the
// next one, and the exchanges after it start on the address that works; once the server has
// spoken, no request goes to another address. The name's addresses come from a resolver of the
// test's own; the server is a real kestod or a scripted TLS server, the other address a plain
// socket of the test's on a port of its own (the server's port on 127.0.0.2 may be taken by
// another test's client running beside this one).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kestod_fixture.h"
#include "provisioning/channel_parts.h"
#include "provisioning/provisioning_channel.h"
#include "scripted_tls_server.h"
#include "test_certificates.h"

namespace velquor::provisioning {
namespace {

using namespace std::chrono_literals;

channel::ResolvedAddress loopback(const char* address, std::uint16_t port) {
    channel::ResolvedAddress resolved;
    auto& four = reinterpret_cast<sockaddr_in&>(resolved.address);
    four.sin_family = AF_INET;
    four.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &four.sin_addr);
    resolved.length = sizeof four;
    return resolved;
}

// "localhost" stands for the given loopback addresses, in that order, while it lives; the
// memory of failed addresses starts and ends empty. An address may be given a port of its own,
// which the name then resolves to instead of the port asked for.
class LocalhostAs {
public:
    explicit LocalhostAs(std::vector<std::string> addresses) {
        channel::forgetFailedAddresses();
        channel::setResolverForTests([addresses, ports = m_ports](const std::string& name,
                                                                  std::uint16_t port,
                                                                  std::string* error) {
            std::vector<channel::ResolvedAddress> resolved;
            if (name != "localhost") {
                *error = "not the test's name";
                return resolved;
            }
            for (const auto& address : addresses) {
                const auto own = ports->find(address);
                resolved.push_back(
                    loopback(address.c_str(), own == ports->end() ? port : own->second));
            }
            return resolved;
        });
    }
    ~LocalhostAs() {
        channel::setResolverForTests(nullptr);
        channel::forgetFailedAddresses();
    }
    void givePort(const std::string& address, std::uint16_t port) { (*m_ports)[address] = port; }

private:
    std::shared_ptr<std::map<std::string, std::uint16_t>> m_ports =
        std::make_shared<std::map<std::string, std::uint16_t>>();
};

// A listening socket on 127.0.0.2 at a free port, counting the connections that came.
// Silent: it never takes a connection off the queue, so a client's connect succeeds and nothing
// ever comes back. HangingUp: it takes each one and closes it at once. Full: its one-place
// queue holds a connection of its own, so a client's connect is not answered (as with a host
// that is slow to answer) until makeRoom() takes that one away; then it hangs up on each.
class OtherAddress {
public:
    enum class Mode { Silent, HangingUp, Full };

    explicit OtherAddress(Mode mode) : m_mode(mode) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto address = loopback("127.0.0.2", 0);
        m_bound = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address.address),
                         address.length) == 0 &&
                  ::listen(m_fd, mode == Mode::Full ? 0 : 16) == 0 &&
                  ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address.address),
                                &address.length) == 0;
        m_port = ntohs(reinterpret_cast<const sockaddr_in&>(address.address).sin_port);
        if (m_bound && mode == Mode::Full) {
            m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            m_bound = ::connect(m_filler, reinterpret_cast<const sockaddr*>(&address.address),
                                address.length) == 0;
        }
        if (mode == Mode::HangingUp) m_closer = std::thread([this] { closeEach(); });
    }
    ~OtherAddress() {
        m_stopping = true;
        if (m_closer.joinable()) m_closer.join();
        for (const int fd : m_held) ::close(fd);
        if (m_filler >= 0) ::close(m_filler);
        ::close(m_fd);
    }
    bool bound() const { return m_bound; }
    std::uint16_t port() const { return m_port; }
    // The connections that came so far, those still in the queue too; the full queue's own
    // one is not counted.
    int connections() {
        if (m_mode != Mode::Full || m_closer.joinable()) takeWaiting(m_mode != Mode::Silent);
        return m_count.load();
    }
    // A full listener's queue emptied: connections are taken from now on, and hung up on.
    void makeRoom() {
        pollfd waiting{m_fd, POLLIN, 0};
        if (::poll(&waiting, 1, 1000) > 0) ::close(::accept(m_fd, nullptr, nullptr));
        m_closer = std::thread([this] { closeEach(); });
    }

private:
    void takeWaiting(bool close) {
        std::lock_guard lock(m_taking);
        pollfd waiting{m_fd, POLLIN, 0};
        while (::poll(&waiting, 1, close ? 20 : 0) > 0) {
            const int fd = ::accept(m_fd, nullptr, nullptr);
            if (fd < 0) return;
            ++m_count;
            if (close) {
                ::close(fd);
            } else {
                m_held.push_back(fd);
            }
        }
    }
    void closeEach() {
        while (!m_stopping) takeWaiting(true);
    }

    Mode m_mode;
    int m_fd = -1;
    int m_filler = -1;
    bool m_bound = false;
    std::uint16_t m_port = 0;
    std::atomic<int> m_count{0};
    std::atomic<bool> m_stopping{false};
    std::mutex m_taking;
    std::vector<int> m_held;
    std::thread m_closer;
};

// A kestod behind "localhost", which stands for 127.0.0.2 and then 127.0.0.1.
class KestodBehindTwoAddresses : public ::testing::Test {
protected:
    velquor::testing::KestodFixture m_kestod{
        velquor::testing::KestodOptions{.address = "localhost"}};
    LocalhostAs m_name{{"127.0.0.2", "127.0.0.1"}};

    int login(ProvisioningChannel& channel) {
        return channel.SendLoginRequest(
            *wire::buildLoginRequest({"chief", m_kestod.chiefPassword()}));
    }
};

class ChannelFailover : public KestodBehindTwoAddresses,
                        public ::testing::WithParamInterface<bool> {};

TEST_P(ChannelFailover, ALoginGoesToTheNextAddressAndTheRestOfTheBatchStartsThere) {
    const bool silent = GetParam();
    OtherAddress first(silent ? OtherAddress::Mode::Silent : OtherAddress::Mode::HangingUp);
    ASSERT_TRUE(first.bound());
    m_name.givePort("127.0.0.2", first.port());
    ProvisioningChannel channel(m_kestod.endpoint(), {4s, 15s});
    EXPECT_EQ(login(channel), 0) << channel.lastError();
    EXPECT_EQ(first.connections(), 1) << "the first address was tried first";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(login(channel), 0) << channel.lastError();
    EXPECT_EQ(first.connections(), 1) << "the address that failed is tried last for a while";
    // Just short of the memory's end it is still last; past it, first again.
    channel::ageFailedAddresses(channel::failureRememberedFor() - 30s);
    EXPECT_EQ(login(channel), 0) << channel.lastError();
    EXPECT_EQ(first.connections(), 1) << "forgotten too soon";
    channel::ageFailedAddresses(31s);
    EXPECT_EQ(login(channel), 0) << channel.lastError();
    EXPECT_EQ(first.connections(), 2) << "an address that failed is remembered for ever";
    EXPECT_EQ(channel.SendDeviceRequest(
                  *wire::buildDeviceRequest({"ADD", "02:00:00:00:0f:01", "srv", "chief"})),
              0)
        << channel.lastError();
}

INSTANTIATE_TEST_SUITE_P(SilentOrHangingUp, ChannelFailover, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Silent" : "HangingUp"; });

// An address whose connect is still under way when the next one has connected is as good as
// failed: the exchanges after it start on the winner, and the slow one is not tried first
// again once it would answer at once.
using SlowFirstAddress = KestodBehindTwoAddresses;

TEST_F(SlowFirstAddress, IsTriedLastAfterwards) {
    OtherAddress first(OtherAddress::Mode::Full);
    ASSERT_TRUE(first.bound());
    m_name.givePort("127.0.0.2", first.port());
    ProvisioningChannel channel(m_kestod.endpoint(), {4s, 15s});
    EXPECT_EQ(login(channel), 0) << channel.lastError();
    first.makeRoom();
    EXPECT_EQ(login(channel), 0) << channel.lastError();
    EXPECT_EQ(first.connections(), 0) << "the slower address was tried first again";
}

// Once the first address's server has said anything, a hang-up or silence ends the exchange
// there: the record may have been carried out, so it never goes to another instance.
class ChannelAfterTheServerSpoke : public ::testing::TestWithParam<testing::ServerAction> {
protected:
    static void SetUpTestSuite() { s_certificates = std::make_unique<testing::TestCertificates>(); }
    static void TearDownTestSuite() { s_certificates.reset(); }

    static std::unique_ptr<testing::TestCertificates> s_certificates;
    LocalhostAs m_name{{"127.0.0.1", "127.0.0.2"}};
};

std::unique_ptr<testing::TestCertificates> ChannelAfterTheServerSpoke::s_certificates;

TEST_P(ChannelAfterTheServerSpoke, ARequestIsNeverSentToTheNextAddress) {
    const auto& identity = s_certificates->localhost();
    testing::ScriptedTlsServer server(identity.certificate, identity.key, wire::kDeviceRequestSize,
                                      {GetParam(), ""});
    OtherAddress next(OtherAddress::Mode::HangingUp);
    ASSERT_TRUE(next.bound());
    m_name.givePort("127.0.0.2", next.port());
    KestoEndpoint endpoint;
    endpoint.address = "localhost";
    endpoint.caFile = s_certificates->caFile().string();
    endpoint.devicePort = server.port();
    ProvisioningChannel channel(endpoint, {4s, 2s});
    const auto record = wire::buildDeviceRequest({"ADD", "02:00:00:00:0f:02", "srv", "u"});
    ASSERT_TRUE(record);
    ::testing::internal::CaptureStdout();
    const int result = channel.SendDeviceRequest(*record);
    ::testing::internal::GetCapturedStdout();
    EXPECT_NE(result, 0);
    EXPECT_EQ(server.received().size(), 1u);
    EXPECT_EQ(next.connections(), 0) << "the request went to the next address";
}

INSTANTIATE_TEST_SUITE_P(HangingUpOrSilent, ChannelAfterTheServerSpoke,
                         ::testing::Values(testing::ServerAction::HangUp,
                                           testing::ServerAction::DropConnection,
                                           testing::ServerAction::NeverAnswer),
                         [](const auto& info) {
                             switch (info.param) {
                                 case testing::ServerAction::HangUp:
                                     return "HangUp";
                                 case testing::ServerAction::DropConnection:
                                     return "Dropped";
                                 default:
                                     return "Silent";
                             }
                         });

}  // namespace
}  // namespace velquor::provisioning
