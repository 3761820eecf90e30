// A few addresses holding every connection they may hold, on one port or another, against
// clients from other addresses that want to be served.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "server/serving/kesto_server.h"
#include "wait_until.h"

namespace velquor::testing {
namespace {

using server::ServeSettings;

// Closes what it holds when it goes.
struct IdleConnections {
    std::vector<int> fds;
    ~IdleConnections() {
        for (const int fd : fds) ::close(fd);
    }
};

// Each of the addresses 127.0.<net>.1 onwards opens as many plain TCP connections to the port
// as one address may hold, and sends nothing on them, not even the start of a handshake.
void holdIdle(IdleConnections& held, const KestodFixture& server, std::uint16_t port, int net,
              int addresses, std::size_t each) {
    for (int address = 1; address <= addresses; ++address) {
        const ClientOptions from{.sourceAddress = "127.0." + std::to_string(net) + "." +
                                                  std::to_string(address)};
        for (std::size_t i = 0; i < each; ++i) {
            const int fd = connectTcp(server.address(), port, from);
            ASSERT_GE(fd, 0) << "connection " << i << " from " << from.sourceAddress;
            held.fds.push_back(fd);
        }
    }
}

struct ProbeTally {
    int logins = 0;
    int devices = 0;
    std::string failures;
};

// 31 clients, each from an address of its own, log in and add a device.
ProbeTally probe(const KestodFixture& server, const std::string& label) {
    ProbeTally tally;
    for (int address = 1; address <= 31; ++address) {
        const KestoPeer peer(server, "127.0.9." + std::to_string(address));
        const std::string login = peer.login("chief", server.chiefPassword());
        const std::string device =
            peer.device("ADD", macFor(label + std::to_string(address)), "srv", "chief");
        tally.logins += login == "YES";
        tally.devices += device == "YES";
        if (login != "YES" || device != "YES") {
            tally.failures += peer.sourceAddress() + ": " + login + ", " + device + "\n";
        }
    }
    return tally;
}

// The idle connections are kept past any deadline of the test: the worst case, where the
// server cannot count on them timing out.
const KestodOptions kPatientServer{.serveArguments = {"--handshake-ms", "600000"}};

TEST(KestodFloodTest, IdleConnectionsFromAFewAddressesAtTheirCapLeaveEveryLoginServed) {
    KestodFixture server(kPatientServer);
    const ServeSettings defaults;
    IdleConnections held;
    // 32 addresses at their cap are the whole of the port's connections.
    holdIdle(held, server, server.loginPort(), 4, 32, defaults.maxConnectionsPerPeer);
    holdIdle(held, server, server.devicePort(), 5, 32, defaults.maxConnectionsPerPeer);
    const ProbeTally tally = probe(server, "login flood ");
    EXPECT_EQ(tally.logins, 31) << tally.failures;
    EXPECT_EQ(tally.devices, 31) << tally.failures;
}

TEST(KestodFloodTest, AFloodOfTheDevicePortLeavesLoginsAlone) {
    KestodFixture server(kPatientServer);
    const ServeSettings defaults;
    IdleConnections held;
    holdIdle(held, server, server.devicePort(), 4, 32, defaults.maxConnectionsPerPeer);
    // Logins are not even asked to make room: the device port's connections are its own.
    const std::string log = server.log();
    const ProbeTally tally = probe(server, "device flood ");
    EXPECT_EQ(tally.logins, 31) << tally.failures;
    EXPECT_EQ(tally.devices, 31) << tally.failures;
    std::istringstream after(server.log().substr(log.size()));
    const std::string loginPort = " port=" + std::to_string(server.loginPort()) + " ";
    for (std::string line; std::getline(after, line);) {
        if (line.find(loginPort) == std::string::npos) continue;
        EXPECT_EQ(line.find("refused"), std::string::npos) << line;
        EXPECT_EQ(line.find("make room"), std::string::npos) << line;
    }
}

// A login from a new address, tried again while its port is full (until the silent
// connections have been silent long enough to give way); its last reply.
std::string loginMakingRoom(const KestodFixture& server, const std::string& address) {
    std::string reply;
    waitUntil(
        [&] {
            reply = KestoPeer(server, address).login("chief", server.chiefPassword());
            return reply == "YES";
        },
        std::chrono::seconds(10));
    return reply;
}

// Connections that finished their handshake and then send nothing give way on a full port once
// they have been silent for a second, those of the address holding the most first; the last of
// the port's connections stay kept for addresses that logged in lately.
TEST(KestodFloodTest, ConnectionsSilentAfterTheirHandshakeGiveWayTheAddressHoldingMostFirst) {
    KestodFixture server({.serveArguments = {"--max-connections", "16", "--max-per-peer", "4",
                                             "--deadline-ms", "600000"}});
    const KestoPeer regular(server, "127.0.8.1");
    ASSERT_EQ(regular.login("chief", server.chiefPassword()), "YES");
    std::vector<HeldTls> silent;
    // 14 connections, all an address that has not logged in may take; 127.0.7.4, the last to
    // connect, holds the most.
    for (const auto& [address, count] :
         std::vector<std::pair<std::string, int>>{{"127.0.7.1", 3},
                                                  {"127.0.7.2", 3},
                                                  {"127.0.7.3", 3},
                                                  {"127.0.7.5", 1},
                                                  {"127.0.7.4", 4}}) {
        for (int i = 0; i < count; ++i) {
            silent.emplace_back(server.address(), server.loginPort(), server.caCertPath().string(),
                                ClientOptions{.sourceAddress = address,
                                              .timeout = std::chrono::milliseconds(3'000)});
            ASSERT_TRUE(silent.back().handshakeDone()) << address << " #" << i;
        }
    }
    // The rule's own second of silence, for every one of them, before the port is asked.
    std::this_thread::sleep_for(std::chrono::milliseconds(1'100));
    EXPECT_EQ(loginMakingRoom(server, "127.0.8.2"), "YES");
    const std::string log = logWith(server, "silent after its handshake");
    EXPECT_NE(log.find("peer=127.0.7.4 port=" + std::to_string(server.loginPort()) +
                       " op=- user=\"\" mac=\"\" reply=none (closed: silent after its "
                       "handshake, to make room on a full port)"),
              std::string::npos)
        << log;
    for (int address = 3; address <= 6; ++address) {
        EXPECT_EQ(loginMakingRoom(server, "127.0.8." + std::to_string(address)), "YES") << address;
    }
    EXPECT_EQ(regular.login("chief", server.chiefPassword()), "YES");
}

// Stalled half-open handshakes fill the login and device ports of a server with scaled-down
// caps: every request of a batch from a logged-in client is answered, and logins from new
// addresses get in.
TEST(KestodFloodTest, AHalfOpenFloodLeavesEveryRequestOfABatchAnswered) {
    KestodFixture server(
        {.serveArguments = {"--max-connections", "64", "--max-per-peer", "16", "--handshake-ms",
                            "600000", "--deadline-ms", "600000"}});
    const KestoPeer technician(server, "127.0.9.1");
    ASSERT_EQ(technician.login("chief", server.chiefPassword()), "YES");
    IdleConnections held;
    for (const std::uint16_t port : {server.loginPort(), server.devicePort()}) {
        for (int address = 1; address <= 4; ++address) {
            const ClientOptions from{.sourceAddress = "127.0.6." + std::to_string(address)};
            for (int i = 0; i < 16; ++i) {
                const int fd = sendHelloAndStall(server.address(), port, from);
                if (fd >= 0) held.fds.push_back(fd);
            }
        }
    }
    // More in flight than the port has left, even for an address that logged in.
    constexpr int kBatch = 120;
    constexpr int kInFlight = 12;
    std::vector<std::string> replies(kBatch);
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kInFlight; ++sender) {
        senders.emplace_back([&, sender] {
            for (int row = sender; row < kBatch; row += kInFlight) {
                replies[row] =
                    technician.device("ADD", macFor("batch " + std::to_string(row)), "s", "chief");
            }
        });
    }
    for (auto& sender : senders) sender.join();
    std::string unanswered;
    for (int row = 0; row < kBatch; ++row) {
        if (replies[row] != "YES") unanswered += std::to_string(row) + ": " + replies[row] + "\n";
    }
    EXPECT_EQ(unanswered, "") << server.log();
    for (int address = 1; address <= 5; ++address) {
        EXPECT_EQ(loginMakingRoom(server, "127.0.10." + std::to_string(address)), "YES") << address;
    }
    EXPECT_EQ(
        server.log().find("peer=127.0.9.1 port=" + std::to_string(server.devicePort()) + " op=- "),
        std::string::npos)
        << "none of the batch's connections closed:\n"
        << server.log();
}

}  // namespace
}  // namespace velquor::testing
