// How kestod treats connections: input that is not a record, clients that stall, many
// idle connections, connection caps and many clients racing for one MAC address.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "listen_queue.h"
#include "server/serving/kesto_server.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;
using server::ServeSettings;

// A short deadline keeps the tests that wait for it short.
KestodOptions withDeadline(const char* milliseconds) {
    return KestodOptions{.serveArguments = {"--deadline-ms", milliseconds}};
}

std::string deviceRecord(const std::string& operation, const std::string& mac,
                         const std::string& user) {
    auto record = wire::buildDeviceRequest({operation, mac, "srv", user});
    return std::string(wire::recordBytes(record.value()));
}

// True if the server closes the socket (EOF or reset) within the time-out.
bool closedByServerWithin(int fd, std::chrono::milliseconds timeout, std::string* received) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[512];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd waitFor{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&waitFor, 1, static_cast<int>(left)) <= 0) return false;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
        if (received != nullptr) received->append(buffer, static_cast<std::size_t>(n));
    }
}

TEST(KestodConnectionTest, BytesThatAreNotTlsAreDroppedWithoutAReply) {
    KestodFixture server;
    const int fd = connectTcp(server.address(), server.devicePort());
    ASSERT_GE(fd, 0);
    const std::string plain = deviceRecord("ADD", macFor("aa"), "chief");
    ASSERT_EQ(::send(fd, plain.data(), plain.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(plain.size()));
    std::string received;
    EXPECT_TRUE(closedByServerWithin(fd, 20s, &received));
    ::close(fd);
    EXPECT_EQ(received.find("YES"), std::string::npos);
    EXPECT_EQ(received.find("NO"), std::string::npos);
    EXPECT_EQ(KestoPeer(server).login("chief", server.chiefPassword()), "YES") << "still serving";
}

TEST(KestodConnectionTest, ARecordWithTrailingBytesIsRefused) {
    KestodFixture server;
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    const std::string record = deviceRecord("ADD", macFor("11:22"), "chief");
    EXPECT_EQ(peer.send(server.devicePort(), record + "x"), "NO");
    EXPECT_EQ(peer.send(server.devicePort(), record + record), "NO");
    auto login = wire::buildLoginRequest({"chief", server.chiefPassword()});
    EXPECT_EQ(peer.send(server.loginPort(), std::string(wire::recordBytes(login.value())) + '\0'),
              "NO");
    EXPECT_EQ(server.runTool({"devices"}).find(macFor("11:22")), std::string::npos)
        << "nothing stored";
    EXPECT_EQ(peer.send(server.devicePort(), record), "YES");
}

TEST(KestodConnectionTest, MalformedFieldsAreRefused) {
    KestodFixture server;
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    std::string record = deviceRecord("ADD", macFor("11:22"), "chief");
    record[400] = 'x';  // the reserved tail must stay zero
    EXPECT_EQ(peer.send(server.devicePort(), record), "NO");
    std::string garbage = deviceRecord("ADD", macFor("11:22"), "chief");
    garbage[64 + 10] = 'q';  // a byte after the MAC's terminating zero
    EXPECT_EQ(peer.send(server.devicePort(), garbage), "INVALID");
    // A login record sent to the device port is too short for it.
    auto login = wire::buildLoginRequest({"chief", server.chiefPassword()});
    EXPECT_EQ(peer.send(server.devicePort(), std::string(wire::recordBytes(login.value())) +
                                                 std::string(512 - 128, 'z')),
              "NO");
}

TEST(KestodConnectionTest, AShortRecordOrSilenceIsClosedWithoutReplyAtTheDeadline) {
    // Long enough for the login's own handshake under the sanitizers on a busy machine.
    KestodFixture server(withDeadline("1500"));
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    const std::string record = deviceRecord("ADD", macFor("33:44"), "chief");

    const auto shortRecord = tlsExchange(server.address(), server.devicePort(),
                                         server.caCertPath().string(), record.substr(0, 300));
    EXPECT_TRUE(shortRecord.handshakeDone);
    EXPECT_TRUE(shortRecord.closedByServer) << shortRecord.error;
    EXPECT_FALSE(shortRecord.replied) << shortRecord.reply;

    const auto silent =
        tlsExchange(server.address(), server.devicePort(), server.caCertPath().string(), "");
    EXPECT_TRUE(silent.closedByServer) << silent.error;
    EXPECT_FALSE(silent.replied);

    // Silence before the handshake: the same deadline covers it.
    const int fd = connectTcp(server.address(), server.loginPort());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closedByServerWithin(fd, 20s, nullptr));
    ::close(fd);

    EXPECT_EQ(server.runTool({"devices"}).find(macFor("33:44")), std::string::npos);
    EXPECT_NE(server.log().find("no whole record within the deadline"), std::string::npos);
}

TEST(KestodConnectionTest, ATricklingClientIsDroppedAtTheDeadline) {
    KestodFixture server(withDeadline("1000"));
    KestoPeer peer(server);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    // 512 bytes at one per 20 ms would take 10 s; the deadline is for the whole record.
    const auto outcome =
        tlsTrickle(server.address(), server.devicePort(), server.caCertPath().string(),
                   deviceRecord("ADD", macFor("55:66"), "chief"), 20ms);
    EXPECT_FALSE(outcome.replied) << outcome.reply;
    EXPECT_EQ(server.runTool({"devices"}).find(macFor("55:66")), std::string::npos);
}

TEST(KestodConnectionTest, TwoHundredIdleConnectionsDoNotStopARealClient) {
    // Deadlines long enough that the idle ones outlive this test's work.
    KestodFixture server({.serveArguments = {"--handshake-ms", "10000"}});
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i) {
        // Four other addresses, 50 each: within what one address may hold.
        const ClientOptions from{.sourceAddress = "127.0.0." + std::to_string(2 + i % 4)};
        const int fd =
            connectTcp(server.address(), i % 2 ? server.devicePort() : server.loginPort(), from);
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    KestoPeer peer(server);
    EXPECT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(peer.device("ADD", macFor("77:88"), "s", "chief"), "YES");
    // Served while every idle connection is still open, i.e. before any deadline passed.
    int stillOpen = 0;
    for (const int fd : idle) {
        pollfd check{fd, POLLIN, 0};
        if (::poll(&check, 1, 0) == 0) ++stillOpen;
        ::close(fd);
    }
    EXPECT_EQ(stillOpen, 200);
}

TEST(KestodConnectionTest, ConnectionsAreCappedPerPeerAddress) {
    KestodFixture server({.serveArguments = {"--max-per-peer", "3"}});
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) idle.push_back(connectTcp(server.address(), server.loginPort()));
    // The server takes the three idle connections in its own time; once it has, a fourth
    // from the same address is turned away.
    std::string reply = "YES";
    for (int i = 0; i < 200 && reply == "YES"; ++i) {
        reply = KestoPeer(server).login("chief", server.chiefPassword());
        if (reply == "YES") std::this_thread::sleep_for(10ms);
    }
    EXPECT_NE(reply, "YES");
    EXPECT_EQ(KestoPeer(server, "127.0.0.2").login("chief", server.chiefPassword()), "YES");
    for (const int fd : idle) ::close(fd);
    for (int i = 0; i < 200 && reply != "YES"; ++i) {
        reply = KestoPeer(server).login("chief", server.chiefPassword());
        if (reply != "YES") std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(reply, "YES") << "slots come back when connections close";
}

TEST(KestodConcurrencyTest, OneMacAddedByManyClientsAtOnceIsRegisteredExactlyOnce) {
    // The race is on the store: every client must get its answer, however long 150 handshakes
    // at once take.
    KestodFixture server({.serveArguments = withRoomyDeadlines({"--max-per-peer", "200"})});
    KestoPeer peer(server, "127.0.0.1", kRoomyDeadline);
    ASSERT_EQ(peer.login("chief", server.chiefPassword()), "YES");
    ASSERT_EQ(peer.account("ADD", "bob", "pw-bob"), "YES");
    ASSERT_EQ(peer.login("bob", "pw-bob"), "YES");
    constexpr int kClients = 150;
    std::atomic<int> yes{0}, exist{0}, other{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            const std::string reply = peer.device("ADD", macFor("ff:ff:ff:00:00:01"), "srv", "bob");
            (reply == "YES" ? yes : reply == "EXIST" ? exist : other)++;
        });
    }
    go = true;
    for (auto& client : clients) client.join();
    EXPECT_EQ(yes.load(), 1);
    EXPECT_EQ(exist.load(), kClients - 1);
    EXPECT_EQ(other.load(), 0);
}

// A login record sent to the device port (ports swapped in a client's settings), padded to the
// port's length: its password lands where a MAC address would be, and must not be logged.
TEST(KestodConnectionTest, ARecordForAnotherPortIsLoggedByItsLengthNotItsFields) {
    KestodFixture server;
    KestoPeer peer(server);
    auto login = wire::buildLoginRequest({"chief", "pw-in-the-wrong-place"});
    std::string padded(wire::recordBytes(login.value()));
    padded.resize(wire::kDeviceRequestSize, '\0');
    EXPECT_EQ(peer.send(server.devicePort(), padded), "NO");
    std::string log;
    for (int i = 0; i < 100 && log.find("not a record of this port") == std::string::npos; ++i) {
        std::this_thread::sleep_for(20ms);
        log = server.log();
    }
    EXPECT_EQ(log.find("pw-in-the-wrong-place"), std::string::npos) << log;
    EXPECT_NE(log.find("unknown operation; 85 of the 512 bytes in use"), std::string::npos) << log;
}

TEST(KestodConnectionTest, AConnectionWithoutAHandshakeIsClosedAtTheHandshakeDeadline) {
    KestodFixture server({.serveArguments = {"--handshake-ms", "300"}});
    const int fd = connectTcp(server.address(), server.loginPort());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closedByServerWithin(fd, 20s, nullptr));
    ::close(fd);
    std::string log;
    for (int i = 0; i < 100 && log.find("no TLS handshake") == std::string::npos; ++i) {
        std::this_thread::sleep_for(20ms);
        log = server.log();
    }
    EXPECT_NE(log.find("closed: no TLS handshake within the deadline"), std::string::npos) << log;
}

// Five addresses holding every connection each may hold leave room for everyone else.
TEST(KestodConnectionTest, AFewAddressesAtTheirCapCannotTakeTheWholeServer) {
    KestodFixture server({.serveArguments = {"--handshake-ms", "60000"}});
    std::vector<int> idle;
    const ServeSettings defaults;
    for (int address = 2; address <= 6; ++address) {
        const ClientOptions from{.sourceAddress = "127.0.0." + std::to_string(address)};
        for (std::size_t i = 0; i < defaults.maxConnectionsPerPeer; ++i) {
            const int fd = connectTcp(server.address(), server.loginPort(), from);
            ASSERT_GE(fd, 0);
            idle.push_back(fd);
        }
    }
    ASSERT_TRUE(listenQueueEmptied(server.loginPort())) << "the server took them";
    EXPECT_EQ(KestoPeer(server, "127.0.0.7").login("chief", server.chiefPassword()), "YES");
    EXPECT_EQ(KestoPeer(server).login("chief", server.chiefPassword()), "YES");
    for (const int fd : idle) ::close(fd);
}

// One address reconnecting as fast as it can: one line for the first refusal, then one line
// per interval with a count, not one line each.
TEST(KestodConnectionTest, RepeatedRefusalsOfOneAddressAreSummarised) {
    KestodFixture server({.serveArguments = {"--max-per-peer", "1", "--handshake-ms", "60000"}});
    const int holder = connectTcp(server.address(), server.loginPort());
    ASSERT_GE(holder, 0);
    ASSERT_TRUE(listenQueueEmptied(server.loginPort())) << "the server took the first";
    for (int i = 0; i < 50; ++i) {
        const int fd = connectTcp(server.address(), server.loginPort());
        if (fd >= 0) closedByServerWithin(fd, 5s, nullptr);
        ::close(fd);
    }
    // The holder leaves; once the server has closed its side, the address has room again.
    ::shutdown(holder, SHUT_WR);
    EXPECT_TRUE(closedByServerWithin(holder, 10s, nullptr));
    ::close(holder);
    EXPECT_EQ(KestoPeer(server).login("chief", server.chiefPassword()), "YES");
    const std::string log = server.log();
    std::size_t refusals = 0;
    for (auto at = log.find("refused"); at != std::string::npos; at = log.find("refused", at + 1)) {
        ++refusals;
    }
    EXPECT_EQ(refusals, 1u) << log;
}

}  // namespace
}  // namespace velquor::testing
