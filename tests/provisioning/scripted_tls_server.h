// A TLS server on a free loopback port, run on its own thread, that takes one record per
// connection and answers as the test scripts it: a reply, a hang-up, or silence. It records
// every byte it received so tests can prove what the client did (or did not) send.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velquor::provisioning::testing {

// A TCP socket bound to a loopback port (*port, or a free one when it is 0, filled in): to
// 127.0.0.1, or to ::1 alone (not the IPv4 loopback through it) when ipv6. Not yet listening.
int bindLoopback(std::uint16_t* port, bool ipv6 = false);

enum class ServerAction {
    Reply,           // send the reply bytes, then close_notify
    HangUp,          // close_notify without a reply
    DropConnection,  // close the socket without a reply or close_notify
    NeverAnswer,     // keep the connection open and silent until the client leaves
};

struct ServerScript {
    ServerAction action = ServerAction::Reply;
    std::string reply = "YES";
    // When set, the reply to each record (a server that answers by what it is asked).
    std::function<std::string(const std::string& record)> replyTo = {};
};

class ScriptedTlsServer {
public:
    // recordLength: how many bytes make a whole record on this port. port 0: a free one.
    // Listens on 127.0.0.1, or on ::1 alone when ipv6.
    ScriptedTlsServer(const std::filesystem::path& certificate, const std::filesystem::path& key,
                      std::size_t recordLength, ServerScript script = {}, std::uint16_t port = 0,
                      bool ipv6 = false);
    ~ScriptedTlsServer();
    ScriptedTlsServer(const ScriptedTlsServer&) = delete;
    ScriptedTlsServer& operator=(const ScriptedTlsServer&) = delete;

    std::uint16_t port() const { return m_port; }
    void setScript(ServerScript script);

    // Everything each connection delivered after its handshake, one entry per handshake.
    std::vector<std::string> received() const;
    // The server name (SNI) each client offered, "" for none, one entry per connection.
    std::vector<std::string> serverNamesOffered() const;
    int connectionsAccepted() const { return m_accepted.load(); }
    int handshakesCompleted() const { return m_handshakes.load(); }

private:
    void serve();
    void handle(int fd);
    std::string readRecord(SSL* ssl);
    void waitForClientToLeave(SSL* ssl);
    ServerScript script() const;

    SSL_CTX* m_context = nullptr;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::size_t m_recordLength;
    mutable std::mutex m_mutex;
    ServerScript m_script;
    std::vector<std::string> m_received;
    std::vector<std::string> m_serverNames;
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_handshakes{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A loopback listener that accepts TCP connections and never speaks: a server stuck before
// its handshake.
class SilentTcpListener {
public:
    SilentTcpListener();
    ~SilentTcpListener();
    SilentTcpListener(const SilentTcpListener&) = delete;
    SilentTcpListener& operator=(const SilentTcpListener&) = delete;
    std::uint16_t port() const { return m_port; }

private:
    int m_listener = -1;
    std::uint16_t m_port = 0;
};

// A loopback listener whose accept queue is already full: new connections are not completed,
// as with a server host that does not answer.
class FullBacklogListener {
public:
    FullBacklogListener();
    ~FullBacklogListener();
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;
    std::uint16_t port() const { return m_port; }

private:
    int m_listener = -1;
    int m_filler = -1;
    std::uint16_t m_port = 0;
};

// A loopback port with nothing listening on it (bound, never listened, so no one else takes it).
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    std::uint16_t port() const { return m_port; }

private:
    int m_socket = -1;
    std::uint16_t m_port = 0;
};

}  // namespace velquor::provisioning::testing
