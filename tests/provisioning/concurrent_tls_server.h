// A TLS server on a free loopback port that serves each connection on a thread of its own, so
// exchanges a client has in flight together are in flight together here too. What a connection
// does is scripted by its place in the order of arrival. The server counts what it holds at once
// (records read and not yet answered) and keeps every record it received, so a test can prove
// how many exchanges were in flight and whether a record came twice, from the server's side.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_certificates.h"

namespace velquor::provisioning::testing {

enum class ConnectionStep {
    Reply,             // read the record, answer it at once, close_notify
    HangUp,            // read the record, close_notify without a reply
    HoldThenReply,     // read the record, answer it once the gate opens
    TurnAway,          // close the socket before the handshake: the client is turned away
    HoldThenTurnAway,  // keep the handshake waiting until the gate opens, then turn away
};

struct ConnectionScript {
    ConnectionStep step = ConnectionStep::Reply;
    std::string reply = "YES";
};

class ConcurrentTlsServer {
public:
    // connection: 0 for the first accepted, 1 for the next...
    using Scripter = std::function<ConnectionScript(int connection)>;

    // No hold lasts longer than this, so a test whose client never comes still ends.
    static constexpr std::chrono::seconds kHangGuard{10};

    // recordLength: how many bytes make a whole record. Without a scripter every connection
    // is answered "YES" at once.
    ConcurrentTlsServer(const CertificateAndKey& identity, std::size_t recordLength,
                        Scripter scripter = {});
    ~ConcurrentTlsServer();
    ConcurrentTlsServer(const ConcurrentTlsServer&) = delete;
    ConcurrentTlsServer& operator=(const ConcurrentTlsServer&) = delete;

    std::uint16_t port() const { return m_port; }

    // The gate the holding steps wait at; once open it stays open.
    void openGate();
    // Opens the gate as soon as `count` records are held at once, or `window` after the first
    // record was held if that many never come.
    void openGateWhenHolding(std::size_t count, std::chrono::milliseconds window = kHangGuard);

    // Every whole record received, in order of arrival.
    std::vector<std::string> records() const;
    // The most records held at once, and the most identical records held at once.
    std::size_t mostHeldAtOnce() const;
    std::size_t mostIdenticalHeldAtOnce() const;
    int connectionsAccepted() const { return m_accepted.load(); }

    // Wait at most kHangGuard; false if the server never got that far.
    bool waitForConnections(int count) const;
    bool waitForRecords(std::size_t count) const;

private:
    void acceptLoop();
    void serve(int fd, const ConnectionScript& script);
    bool readRecord(SSL* ssl, std::string* record);
    void waitAtGate();
    void startHolding(const std::string& record);
    void stopHolding(const std::string& record);

    SSL_CTX* m_context = nullptr;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::size_t m_recordLength;
    Scripter m_scripter;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;  // the gate, a record, a connection
    bool m_gateOpen = false;
    std::size_t m_openWhenHolding = 0;  // 0: only openGate() opens it
    std::chrono::milliseconds m_window = kHangGuard;
    std::chrono::steady_clock::time_point m_gateDeadline{};  // set by the first record held
    std::vector<std::string> m_records;
    std::map<std::string, std::size_t> m_held;  // record -> how many connections hold it now
    std::size_t m_heldCount = 0;
    std::size_t m_mostHeld = 0;
    std::size_t m_mostIdentical = 0;

    std::vector<std::thread> m_connections;  // touched by the accept thread only
    std::thread m_acceptor;
};

}  // namespace velquor::provisioning::testing
