// KestoServer: the serving half of kestod. One thread runs an event loop over non-blocking
// sockets: it accepts, runs every TLS handshake and collects every record without ever
// blocking on a client, so idle or trickling clients cost a slot, not a thread. A complete
// record goes to a bounded pool of workers that own a database connection each; a worker
// decides, commits, replies and closes. Every connection has one deadline for handshake and
// record together; connections are capped in all and per peer address.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/account_store.h"
#include "server/request_handler.h"
#include "server/server_files.h"
#include "support/result.h"
#include "wire/wire_records.h"

namespace velquor::server {

using Clock = std::chrono::steady_clock;

struct ServeSettings {
    std::filesystem::path folder;
    std::string databaseUrl;  // empty: the SQLite file in the folder
    std::string address;      // empty: the address 'kestod init' made the certificate for
    // Login, account, device; 0: any free port.
    std::array<std::uint16_t, 3> ports{wire::kLoginPort, wire::kAccountPort, wire::kDevicePort};
    std::chrono::milliseconds connectionDeadline{10'000};
    std::chrono::milliseconds grantLifetime{std::chrono::minutes(30)};
    std::size_t workers = 8;
    std::size_t maxConnections = 1024;
    std::size_t maxConnectionsPerPeer = 256;
    LoginLimits loginLimits;
};

class KestoServer {
public:
    // Loads the TLS material and database from the folder and binds the three ports.
    static support::Result<std::unique_ptr<KestoServer>> create(ServeSettings settings);
    ~KestoServer();
    KestoServer(const KestoServer&) = delete;
    KestoServer& operator=(const KestoServer&) = delete;

    const std::string& address() const { return m_settings.address; }
    // The ports actually bound (differs from the settings where those asked for 0).
    std::array<std::uint16_t, 3> ports() const { return m_boundPorts; }

    // Serves until requestStop(); in-flight requests are finished and answered first.
    support::Status run();
    // Safe to call from a signal handler.
    void requestStop() noexcept;

private:
    struct Connection;
    struct Listener {
        int fd = -1;
        RequestKind kind = RequestKind::Login;
        std::uint16_t port = 0;
    };

    explicit KestoServer(ServeSettings settings);
    support::Status bindListeners();
    void acceptFrom(const Listener& listener);
    void advance(Connection& connection);
    void readRecord(Connection& connection);
    void dispatch(std::unique_ptr<Connection> connection);
    void dropConnection(std::unique_ptr<Connection> connection, std::string_view why);
    bool admit(const std::string& peer);
    void release(const std::string& peer);
    void workerMain(AccountStore& store);
    void answer(Connection& connection, RequestHandler& handler);
    void finish(std::unique_ptr<Connection> connection);

    ServeSettings m_settings;
    ServerFiles m_files;
    SslContextPtr m_tls;
    std::uint32_t m_hashIterations = 0;
    std::array<Listener, 3> m_listeners{};
    std::array<std::uint16_t, 3> m_boundPorts{};
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic<bool> m_stopRequested{false};
    // Out of descriptors, accept fails at once while the listener stays readable; the loop
    // leaves the listeners alone for a moment instead of spinning.
    Clock::time_point m_acceptPausedUntil{};

    // Owned by the event loop thread only.
    std::vector<std::unique_ptr<Connection>> m_open;

    std::mutex m_countMutex;
    std::size_t m_totalConnections = 0;
    std::map<std::string, std::size_t> m_perPeer;

    std::mutex m_queueMutex;
    std::condition_variable m_queueReady;
    std::deque<std::unique_ptr<Connection>> m_queue;
    bool m_workersStopping = false;
    std::vector<std::unique_ptr<AccountStore>>
        m_workerStores;  // one connection per worker, opened up front
    std::vector<std::thread> m_workers;
};

}  // namespace velquor::server
