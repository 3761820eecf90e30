// A server name with several addresses: an address that takes the connection and then says
// nothing, or hangs up before the handshake, is left for the next one, and the exchanges after
// it start on the address that works. The name's addresses come from a resolver of the test's
// own; the server is a real kestod, the first address a plain socket of the test's.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "kestod_fixture.h"
#include "provisioning/channel_parts.h"
#include "provisioning/provisioning_channel.h"

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

// "localhost" stands for 127.0.0.2 and then 127.0.0.1 while it lives; the memory of failed
// addresses starts and ends empty.
struct TwoAddressName {
    TwoAddressName() {
        channel::forgetFailedAddresses();
        channel::setResolverForTests(
            [](const std::string& name, std::uint16_t port, std::string* error) {
                if (name != "localhost") {
                    *error = "not the test's name";
                    return std::vector<channel::ResolvedAddress>{};
                }
                return std::vector{loopback("127.0.0.2", port), loopback("127.0.0.1", port)};
            });
    }
    ~TwoAddressName() {
        channel::setResolverForTests(nullptr);
        channel::forgetFailedAddresses();
    }
};

// A listening socket on 127.0.0.2 at a kestod port. Silent: it never takes a connection off the
// queue, so a client's connect succeeds and nothing ever comes back. Otherwise it takes each one
// and closes it at once. Either way it counts the connections that came.
class FirstAddress {
public:
    FirstAddress(std::uint16_t port, bool silent) : m_silent(silent) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const auto address = loopback("127.0.0.2", port);
        m_bound = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address.address),
                         address.length) == 0 &&
                  ::listen(m_fd, 16) == 0;
        if (!silent) m_closer = std::thread([this] { closeEach(); });
    }
    ~FirstAddress() {
        m_stopping = true;
        if (m_closer.joinable()) m_closer.join();
        ::close(m_fd);
    }
    bool bound() const { return m_bound; }
    // The connections that came so far (a silent one takes them off the queue to count them).
    int connections() {
        if (m_silent) takeWaiting(false);
        return m_count.load();
    }

private:
    void takeWaiting(bool close) {
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

    bool m_silent;
    int m_fd = -1;
    bool m_bound = false;
    std::atomic<int> m_count{0};
    std::atomic<bool> m_stopping{false};
    std::vector<int> m_held;
    std::thread m_closer;
};

class ChannelFailover : public ::testing::TestWithParam<bool> {
protected:
    velquor::testing::KestodFixture m_kestod{
        velquor::testing::KestodOptions{.address = "localhost"}};
    TwoAddressName m_name;

    int login(ProvisioningChannel& channel) {
        return channel.SendLoginRequest(
            *wire::buildLoginRequest({"chief", m_kestod.chiefPassword()}));
    }
};

TEST_P(ChannelFailover, ALoginGoesToTheNextAddressAndTheRestOfTheBatchStartsThere) {
    const bool silent = GetParam();
    FirstAddress first(m_kestod.loginPort(), silent);
    ASSERT_TRUE(first.bound());
    ProvisioningChannel channel(m_kestod.endpoint(), {4s, 15s});
    EXPECT_EQ(login(channel), 0) << channel.lastError();
    EXPECT_EQ(first.connections(), 1) << "the first address was tried first";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(login(channel), 0) << channel.lastError();
    EXPECT_EQ(first.connections(), 1) << "the address that failed is tried last for a while";
    EXPECT_EQ(channel.SendDeviceRequest(
                  *wire::buildDeviceRequest({"ADD", "02:00:00:00:0f:01", "srv", "chief"})),
              0)
        << channel.lastError();
}

INSTANTIATE_TEST_SUITE_P(SilentOrHangingUp, ChannelFailover, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Silent" : "HangingUp"; });

}  // namespace
}  // namespace velquor::provisioning
