// A few addresses holding every connection they may hold, on one port or another, against
// clients from other addresses that want to be served.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "server/serving/kesto_server.h"

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

// Connections that finished their handshake and stall before their record cannot be closed to
// make room; the last of the port's connections are kept for addresses that logged in lately.
TEST(KestodFloodTest, StalledHandshakesLeaveRoomForAnAddressThatLoggedInLately) {
    KestodFixture server({.serveArguments = {"--max-connections", "16", "--max-per-peer", "4",
                                             "--deadline-ms", "600000"}});
    const KestoPeer regular(server, "127.0.8.1");
    ASSERT_EQ(regular.login("chief", server.chiefPassword()), "YES");
    std::vector<HeldTls> stalled;
    int handshakes = 0;
    for (int address = 1; address <= 4; ++address) {
        const ClientOptions from{.sourceAddress = "127.0.7." + std::to_string(address),
                                 .timeout = std::chrono::milliseconds(3'000)};
        for (int i = 0; i < 4; ++i) {
            stalled.emplace_back(server.address(), server.loginPort(), server.caCertPath().string(),
                                 from);
            handshakes += stalled.back().handshakeDone();
        }
    }
    EXPECT_LT(handshakes, 16) << "every connection was taken, none kept for anyone";
    EXPECT_GE(handshakes, 12);
    EXPECT_NE(KestoPeer(server, "127.0.8.2").login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(regular.login("chief", server.chiefPassword()), "YES");
}

}  // namespace
}  // namespace velquor::testing
