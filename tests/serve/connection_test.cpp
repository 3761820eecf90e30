// The phone server's connections under pressure, on loopback: deadlines that free silent and
// dripping clients (TLS handshake included), room made near the cap without touching an answer
// under way, the per-address cap, keep-alive, and the TLS versions and suites it takes. Clients
// are sockets bound to 127.x addresses, curl, Python and openssl s_client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "child_process.h"
#include "serve/log/fetch_log_reader.h"
#include "serve/server/connection_guard.h"
#include "serve/server/phone_server.h"
#include "serve_test_support.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace velquor::serve {
namespace {

using namespace velquor::testing;
using namespace std::chrono_literals;

// Only a bound for a fault: a passing test waits as long as the event takes.
constexpr auto kLimit = 30s;

// A loopback client from a chosen 127.x address.
class Client {
public:
    Client(std::uint16_t port, const char* from) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(m_fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return m_fd >= 0; }
    void close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    bool send(std::string_view bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Reads until the server ends the connection or the limit passes; true when it ended it.
    // What came meanwhile is kept in received().
    bool endedByServer(std::chrono::milliseconds limit = kLimit) {
        return readUntil([] { return false; }, limit);
    }
    // Reads until text has come after what the previous receive() found; false when the
    // connection ended or the limit passed first.
    bool receive(std::string_view text) {
        const auto found = [&] { return m_received.find(text, m_seen) != std::string::npos; };
        if (readUntil(found, kLimit) || !found()) return false;
        m_seen = m_received.find(text, m_seen) + text.size();
        return true;
    }
    const std::string& received() const { return m_received; }

private:
    template <typename Done>
    bool readUntil(Done done, std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd one{m_fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&one, 1, static_cast<int>(left.count())) == 0)
                return false;
            char buffer[65536];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) return true;
            m_received.append(buffer, static_cast<std::size_t>(n));
        }
        return false;
    }

    int m_fd = -1;
    std::string m_received;
    std::size_t m_seen = 0;
};

std::vector<std::unique_ptr<Client>> openClients(std::uint16_t port, const char* from,
                                                 std::size_t count) {
    std::vector<std::unique_ptr<Client>> clients;
    for (std::size_t i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<Client>(port, from));
        EXPECT_TRUE(clients.back()->connected()) << i;
    }
    return clients;
}

// Whether the server ended every one of them, all within one limit.
bool allEndedByServer(const std::vector<std::unique_ptr<Client>>& clients) {
    const auto until = std::chrono::steady_clock::now() + kLimit;
    for (const auto& client : clients) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (!client->endedByServer(std::max(left, std::chrono::milliseconds(0)))) return false;
    }
    return true;
}

TEST(ConnectionGuardRules,
     RoomIsMadeByIdleKeptConnectionsFirstThenTheBusiestAddressesLongestWaiting) {
    const auto t0 = Steady::now();
    auto waiting = [&](bool kept, std::size_t held, int second) {
        return roomCandidate(
            WaitingConnection{false, kept, false, held, t0 + std::chrono::seconds(second)});
    };
    // Never one whose request came whole, nor one already shut.
    EXPECT_FALSE(roomCandidate(WaitingConnection{true, false, false, 100, t0}));
    EXPECT_FALSE(roomCandidate(WaitingConnection{true, true, false, 100, t0}));
    EXPECT_FALSE(roomCandidate(WaitingConnection{false, false, true, 100, t0}));
    // An idle kept connection before any waiting for its first request, however busy.
    EXPECT_TRUE(waiting(true, 1, 9)->before(*waiting(false, 100, 0)));
    EXPECT_FALSE(waiting(false, 100, 0)->before(*waiting(true, 1, 9)));
    // Then the address holding the most, then the longest waiting.
    EXPECT_TRUE(waiting(false, 5, 9)->before(*waiting(false, 2, 0)));
    EXPECT_TRUE(waiting(false, 2, 0)->before(*waiting(false, 2, 1)));
    EXPECT_FALSE(waiting(false, 2, 1)->before(*waiting(false, 2, 0)));
    EXPECT_TRUE(waiting(true, 3, 5)->before(*waiting(true, 3, 6)));
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { writeSiteFolder(m_dir / "site"); }

    std::unique_ptr<PhoneServer> start(ServeOptions options) {
        serveOnLoopback(options, m_dir.path());
        options.logFile = m_dir / "fetch.csv";
        auto server = PhoneServer::start(std::move(options));
        EXPECT_TRUE(server) << server.error().message;
        return server ? std::move(*server) : nullptr;
    }

    ServeOptions withTls() {
        m_certificate = makeCertificate(m_dir.path());
        ServeOptions options;
        options.tlsCertificate = m_certificate.certificate;
        options.tlsKey = m_certificate.key;
        return options;
    }

    std::string cacert() const { return "--cacert " + shellQuote(m_certificate.certificate); }

    bool waitForCounts(const PhoneServer& server,
                       const std::function<bool(const ConnectionCounts&)>& holds) {
        return waitUntil([&] { return holds(server.connections()); }, kLimit);
    }

    TempDir m_dir;
    TestCertificate m_certificate;
};

// The sockets of the server's port in CLOSE-WAIT: a client that left whose socket the server
// never closed.
std::string closeWaitSockets(std::uint16_t port) {
    return runCommand("ss -Htn state close-wait '( sport = :" + std::to_string(port) + " )'");
}

TEST_F(ConnectionTest, SilentTlsConnectionsArePastTheirDeadlineFreedAndTheirAddressServedAgain) {
    ServeOptions options = withTls();
    options.requestDeadline = 1s;
    auto server = start(options);
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();

    // One address at its cap: half say nothing, half stop inside their first TLS record.
    auto clients = openClients(port, "127.0.0.1", kConnectionsPerAddress);
    for (std::size_t i = 0; i < clients.size(); i += 2) clients[i]->send("\x16\x03\x01\x02");
    ASSERT_TRUE(waitForCounts(*server, [](const ConnectionCounts& counts) {
        return counts.open == 0 && counts.closedPastDeadline == kConnectionsPerAddress;
    })) << server->connections().open;
    EXPECT_TRUE(allEndedByServer(clients));
    clients.clear();
    EXPECT_TRUE(waitUntil([&] { return closeWaitSockets(port).empty(); }, kLimit))
        << closeWaitSockets(port);

    const HttpAnswer answer = curlGet(port, "/common.cfg", cacert());
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "shared settings\n");
}

TEST_F(ConnectionTest, AClientThatDripsItsRequestIsCutAtItsDeadline) {
    ServeOptions options;
    options.requestDeadline = 1s;
    auto server = start(options);
    ASSERT_TRUE(server);
    // A byte at a time, each well within the idle time-out, for far longer than the deadline.
    writeFile(m_dir / "drip.py",
              "import select,socket,sys,time\n"
              "s=socket.create_connection(('127.0.0.1'," +
                  std::to_string(server->port()) +
                  "))\n"
                  "s.sendall(b'GET /common.cfg HTTP/1.1\\r\\nHost: x\\r\\nX-Drip: ')\n"
                  "for sent in range(600):\n"
                  "    if select.select([s],[],[],0)[0] and s.recv(1)==b'':\n"
                  "        print('cut after',sent,flush=True); sys.exit(0)\n"
                  "    try: s.sendall(b'a')\n"
                  "    except OSError: print('cut after',sent,flush=True); sys.exit(0)\n"
                  "    time.sleep(0.05)\n"
                  "print('never cut',flush=True)\n");
    ChildProcess drip({"/usr/bin/env", "python3", (m_dir / "drip.py").string()},
                      m_dir / "drip.out");
    ASSERT_EQ(drip.waitForExit(60s), 0);
    EXPECT_NE(readFile(m_dir / "drip.out").find("cut after"), std::string::npos)
        << readFile(m_dir / "drip.out");
    EXPECT_TRUE(waitForCounts(*server, [](const ConnectionCounts& counts) {
        return counts.open == 0 && counts.closedPastDeadline == 1;
    }));
    EXPECT_EQ(curlGet(server->port(), "/common.cfg").status, 200);
}

TEST_F(ConnectionTest, RoomNearTheCapComesFromIdleThenWaitingConnectionsNeverFromAnAnswer) {
    const std::string firmware = std::string(32 << 20, 'f') + "the end";
    writeFile(m_dir / "site" / "firmware.bin", firmware);
    ServeOptions options;
    options.maxConnections = 5;
    options.requestDeadline = 60s;
    auto server = start(options);
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();
    auto openCount = [&](std::size_t open) {
        return waitForCounts(*server, [&](const ConnectionCounts& c) { return c.open == open; });
    };

    // An answer under way that its client does not read yet.
    Client firmwareReader(port, "127.0.0.5");
    ASSERT_TRUE(firmwareReader.send("GET /firmware.bin HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(waitForCounts(*server, [](const ConnectionCounts& c) { return c.answering == 1; }));
    // A kept connection, idle after its answer.
    Client kept(port, "127.0.0.4");
    ASSERT_TRUE(kept.send("GET /common.cfg HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(kept.receive("shared settings\n"));
    // Three waiting for their first request: the oldest alone, two of one address.
    Client oldest(port, "127.0.0.3");
    ASSERT_TRUE(openCount(3));
    Client pairFirst(port, "127.0.0.2");
    ASSERT_TRUE(openCount(4));
    Client pairSecond(port, "127.0.0.2");
    ASSERT_TRUE(openCount(5));

    Client first(port, "127.0.0.6");
    EXPECT_TRUE(kept.endedByServer());
    ASSERT_TRUE(openCount(5));
    Client second(port, "127.0.0.7");
    EXPECT_TRUE(pairFirst.endedByServer());
    ASSERT_TRUE(openCount(5));
    Client third(port, "127.0.0.8");
    EXPECT_TRUE(oldest.endedByServer());
    ASSERT_TRUE(openCount(5));
    EXPECT_EQ(curlGet(port, "/common.cfg", "--interface 127.0.0.9").status, 200);
    EXPECT_EQ(server->connections().closedForRoom, 4u);

    // The answer under way was never touched: it arrives whole.
    EXPECT_TRUE(firmwareReader.receive("the end"));
    EXPECT_EQ(firmwareReader.received().size() - firmwareReader.received().find("\r\n\r\n") - 4,
              firmware.size());
}

TEST_F(ConnectionTest, OneAddressHoldsAtMostItsCapAndOthersAreServedBeside) {
    ServeOptions options;
    options.requestDeadline = 60s;
    auto server = start(options);
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();
    auto held = openClients(port, "127.0.0.1", kConnectionsPerAddress);
    ASSERT_TRUE(waitForCounts(*server, [](const ConnectionCounts& counts) {
        return counts.open == kConnectionsPerAddress;
    }));
    Client overCap(port, "127.0.0.1");
    EXPECT_TRUE(overCap.endedByServer());
    EXPECT_EQ(server->connections().refusedPerAddress, 1u);
    EXPECT_EQ(curlGet(port, "/common.cfg", "--interface 127.0.0.2").status, 200);

    held.pop_back();  // one leaves: the address may come in again
    ASSERT_TRUE(waitForCounts(*server, [](const ConnectionCounts& counts) {
        return counts.open == kConnectionsPerAddress - 1;
    }));
    EXPECT_EQ(curlGet(port, "/common.cfg", "--interface 127.0.0.1").status, 200);
}

TEST_F(ConnectionTest, AKeptConnectionServesRequestInTurnUntilItsNextDeadline) {
    ServeOptions options;
    options.requestDeadline = 1s;
    auto server = start(options);
    ASSERT_TRUE(server);
    const std::string base = "http://127.0.0.1:" + std::to_string(server->port());
    // curl tells, for each transfer, how many connections it had to open for it.
    const std::string opened =
        runCommand("curl -s -o /dev/null -o /dev/null -o /dev/null -w '%{num_connects} ' " + base +
                   "/common.cfg " + base + "/001A2B3C4D5E.xml " + base + "/missing.cfg");
    EXPECT_EQ(opened, "1 0 0 ");

    // Kept after its answer, then closed at the deadline counted from that answer's end.
    Client client(server->port(), "127.0.0.1");
    ASSERT_TRUE(client.send("GET /common.cfg HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(client.receive("shared settings\n"));
    EXPECT_EQ(client.received().find("Connection: close"), std::string::npos);
    ASSERT_TRUE(client.send("HEAD /common.cfg HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(client.receive("HTTP/1.1 200 OK\r\n")) << client.received();
    EXPECT_TRUE(client.endedByServer());
    EXPECT_EQ(server->connections().closedPastDeadline, 1u);
    server->stop();
    EXPECT_EQ(server->requestCount(), 5u);
}

// Whether openssl s_client finishes a handshake with these options.
bool handshakes(std::uint16_t port, const std::string& options) {
    int status = -1;
    runCommand("openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " " + options +
                   " </dev/null >/dev/null 2>&1",
               &status);
    return status == 0;
}

TEST_F(ConnectionTest, TlsIsTwelveOrThirteenWithAeadSuitesOnly) {
    auto server = start(withTls());
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();
    EXPECT_TRUE(handshakes(port, "-tls1_3"));
    EXPECT_TRUE(handshakes(port, "-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256"));
    EXPECT_TRUE(handshakes(port, "-tls1_2 -cipher ECDHE-ECDSA-CHACHA20-POLY1305"));
    // The client would offer these at its lowest security level; the server must refuse.
    EXPECT_FALSE(handshakes(port, "-tls1_1 -cipher 'DEFAULT:@SECLEVEL=0'"));
    EXPECT_FALSE(handshakes(port, "-tls1 -cipher 'DEFAULT:@SECLEVEL=0'"));
    EXPECT_FALSE(handshakes(port, "-tls1_2 -cipher 'ECDHE-ECDSA-AES128-SHA:@SECLEVEL=0'"));
    EXPECT_FALSE(handshakes(port, "-tls1_2 -cipher 'ECDHE-ECDSA-AES256-SHA384'"));
    EXPECT_EQ(curlGet(port, "/common.cfg", cacert()).status, 200);
}

TEST_F(ConnectionTest, RequestsTheLibraryRefusesBeforeTheHandlerAreLoggedWithTheirPeer) {
    auto server = start(ServeOptions{});
    ASSERT_TRUE(server);
    const std::uint16_t port = server->port();
    EXPECT_EQ(
        rawRequestStatus(port, "GET /" + std::string(40000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"),
        414);
    EXPECT_EQ(rawRequestStatus(port, "GET /common.cfg HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                         std::string(40000, 'b') + "\r\n\r\n"),
              431);
    EXPECT_EQ(rawRequestStatus(port, "GET /common.cfg HTTP/1.1\r\nHost: x\r\nNo colon\r\n\r\n"),
              400);
    EXPECT_EQ(curlGet(port, "/common.cfg").status, 200);
    server->stop();
    auto records = readFetchLog(m_dir / "fetch.csv");
    ASSERT_TRUE(records) << records.error().message;
    ASSERT_EQ(records->size(), 4u);
    const int statuses[] = {414, 431, 400, 200};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ((*records)[i].status, statuses[i]) << i;
        EXPECT_EQ((*records)[i].peer, "127.0.0.1") << i;
    }
}

}  // namespace
}  // namespace velquor::serve
