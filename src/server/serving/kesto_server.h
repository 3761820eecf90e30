// KestoServer: the serving half of kestod. One thread runs an event loop over non-blocking
// sockets: it accepts, drives every TLS handshake and collects every record without ever
// blocking on a client, so idle or trickling clients cost a slot, not a thread; the
// handshakes' cryptography runs on a thread per core (at most 8) that the loop hands them to. A
// complete record goes to a bounded pool of workers that own a database connection each; a worker
// decides, commits, replies and closes. Every connection has one deadline for handshake and
// record together, and a shorter one for the handshake alone; connections are capped per port,
// in all and per peer address. A port at its cap closes the connection that has gone longest
// without finishing a handshake to take a new one, and keeps its last connections for the
// addresses that logged in lately (see admission below). Workers take records fairly from the
// addresses that wait (see fair_share.h), and a record whose deadline passed before a worker took
// it is refused without being applied: its client has given up on it.
#pragma once

#include <sys/socket.h>

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
#include <utility>
#include <vector>

#include "net/socket_address.h"
#include "server/guard/login_rate.h"
#include "server/requests/log_bound.h"
#include "server/requests/refusal_tally.h"
#include "server/requests/request_handler.h"
#include "server/serving/fair_queue.h"
#include "server/serving/trusted_groups.h"
#include "server/store/account_store.h"
#include "server/store/ask_recorder.h"
#include "server/tls/tls_context.h"
#include "support/result.h"
#include "wire/wire_records.h"

namespace velquor::server {

using Clock = std::chrono::steady_clock;

struct ServeSettings {
    std::filesystem::path folder;
    std::string databaseUrl;  // empty: the SQLite file in the folder
    // IP addresses or names to listen on; empty: the addresses 'kestod init' certified.
    std::vector<std::string> addresses;
    // Login, account, device; 0: any free port.
    std::array<std::uint16_t, 3> ports{wire::kLoginPort, wire::kAccountPort, wire::kDevicePort};
    // The phones' port, served when the folder keeps phones' CAs; 0: any free port.
    std::uint16_t phonePort = wire::kPhonePort;
    std::chrono::milliseconds connectionDeadline{10'000};
    std::chrono::milliseconds handshakeDeadline{3'000};
    std::chrono::milliseconds grantLifetime{std::chrono::minutes(30)};
    std::size_t workers = 8;
    // Each port's own: a client keeps up to 64 exchanges in flight, with room for connections
    // being closed; 32 addresses at their cap fill a port.
    std::size_t maxConnections = 4096;
    std::size_t maxConnectionsPerPeer = 128;
    std::size_t maxLoginsPerAddress = 60;  // successful logins per minute
    // The phones' port caps handshakes per address group rather than connections: a site's
    // phones share one address. Past the cap, or past the port's handshakes under way, a
    // connection waits for a handshake to end; it is never refused for the others.
    std::size_t maxPhoneHandshakesPerPeer = 64;
    LoginLimits loginLimits;
};

class KestoServer {
public:
    // Loads the TLS material and database from the folder and binds the three ports.
    static support::Result<std::unique_ptr<KestoServer>> create(ServeSettings settings);
    ~KestoServer();
    KestoServer(const KestoServer&) = delete;
    KestoServer& operator=(const KestoServer&) = delete;

    // The addresses listened on, as given or certified ("192.0.2.7, kesto.example").
    std::string address() const;
    // The ports actually bound (differs from the settings where those asked for 0).
    std::array<std::uint16_t, 3> ports() const { return m_boundPorts; }
    // The phones' port bound; 0 when the folder keeps no phones' CAs.
    std::uint16_t phonePort() const { return m_boundPhonePort; }

    // Serves until requestStop(); in-flight requests are finished and answered first.
    support::Status run();
    // Safe to call from a signal handler.
    void requestStop() noexcept;
    // Reads the server certificate and key again for the connections accepted from then on;
    // a certificate or key that does not load leaves the ones in use. Safe to call from a
    // signal handler.
    void requestReload() noexcept;

    // One client connection (connection.h).
    struct Connection;

private:
    struct Listener {
        int fd = -1;
        RequestKind kind = RequestKind::Login;
        std::uint16_t port = 0;
    };
    // One port's connections, in all and per address group.
    struct PortCount {
        std::size_t total = 0;
        std::map<std::string, std::size_t> perPeer;
    };
    enum class Admission { Admitted, PeerAtCap, PortFull };

    explicit KestoServer(ServeSettings settings);
    support::Status bindListeners();
    support::Status bindListener(const std::string& where, const sockaddr_storage& address,
                                 socklen_t length, RequestKind kind);
    support::Status bindPort(const std::vector<net::SocketAddress>& addresses, RequestKind kind,
                             std::uint16_t& port);
    support::Status makeTlsContexts();
    void acceptFrom(const Listener& listener);
    void reloadTls();
    bool startTls(Connection& connection);
    void advance(Connection& connection);
    void continueTls(Connection& connection);
    void startHandshakers();
    void stopHandshakers();
    void handshakerMain();
    Connection* nextHandshake();
    void offerHandshake(Connection& connection);
    void takeBackHandshakes();
    void readRecord(Connection& connection);
    void readPhoneRequest(Connection& connection);
    // Whether a phone's connection may start its handshake now, within its address's cap and
    // the port's handshakes under way (making room of a stalled one if need be).
    bool phoneHandshakeRoom(const Connection& connection);
    void handshakeEnded(const Connection& connection);
    void startWaitingHandshakes(Clock::time_point now);
    void dispatch(std::unique_ptr<Connection> connection);
    void dropConnection(std::unique_ptr<Connection> connection, const std::string& why);
    void wakeLoop() noexcept;
    void sweep(Clock::time_point now);
    void noteRefusal(const std::string& peer, std::uint16_t port, Clock::time_point now,
                     const std::string& why);
    Admission admit(RequestKind kind, const std::string& group, Clock::time_point now);
    struct RoomCandidate;
    std::optional<RoomCandidate> roomCandidate(const Connection& connection, RequestKind kind,
                                               Clock::time_point now, bool forHandshake,
                                               const PortCount& port) const;
    bool makeRoom(RequestKind kind, Clock::time_point now, bool tlsStarted);
    Clock::time_point ripeningAt(Clock::time_point now) const;
    Clock::duration phoneHandshakeSilence() const;
    void countWaitingPhone(int change);
    void release(RequestKind kind, const std::string& group);
    void rememberLogin(const std::string& group);
    void workerMain(AccountStore& store);
    RequestOutcome decide(Connection& connection, RequestHandler& handler, AccountStore& store);
    RequestOutcome decidePhone(Connection& connection, AccountStore& store);
    void answer(Connection& connection, RequestHandler& handler, AccountStore& store);
    void finish(std::unique_ptr<Connection> connection);

    ServeSettings m_settings;
    ServerFiles m_files;
    SslContextPtr m_tls;
    SslContextPtr m_phoneTls;  // null: no phones' port
    std::uint32_t m_hashIterations = 0;
    std::vector<Listener> m_listeners;
    std::array<std::uint16_t, 3> m_boundPorts{};
    std::uint16_t m_boundPhonePort = 0;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_reloadRequested{false};
    // Out of descriptors, accept fails at once while the listener stays readable; the loop
    // leaves the listeners alone for a moment instead of spinning.
    Clock::time_point m_acceptPausedUntil{};

    // Owned by the event loop thread only.
    std::vector<std::unique_ptr<Connection>> m_open;
    std::array<std::size_t, kRequestKinds> m_handshaking{};  // per port, with TLS state made
    // The phones' port's handshakes per address group, and the connections waiting for room to
    // start one.
    std::map<std::string, std::size_t> m_phoneHandshakes;
    std::size_t m_phonesWaitingCount = 0;
    bool m_helloFlood = false;  // see countWaitingPhone
    // Per port: a search for a stalled handshake to close found none. Only a handshake that
    // went on (and may now wait for its client) can be one, so until then none is searched.
    std::array<bool, kRequestKinds> m_noStalledHandshake{};
    // When, after such a search on the phones' port, a handshake found too recently silent to
    // close will have been silent long enough: the search is made again from then.
    Clock::time_point m_phoneHandshakesRipen{};

    // The handshakes' cryptography on threads of their own, one per core (none on one core):
    // the loop offers a connection whose handshake has bytes to go on with, a thread takes it
    // as far as it goes without waiting, and the loop takes it back.
    std::mutex m_handshakeMutex;
    std::condition_variable m_handshakeReady;
    std::deque<Connection*> m_handshakesWaiting;     // new: their hello to answer
    std::deque<Connection*> m_handshakesContinuing;  // hello answered: taken first
    std::vector<Connection*> m_handshakesDone;
    bool m_handshakersStopping = false;
    std::vector<std::thread> m_handshakers;

    std::mutex m_countMutex;
    std::array<PortCount, kRequestKinds> m_counts;  // login, account, device, phones
    // Address groups that logged in successfully, and until when that keeps them trusted.
    TrustedGroups m_trusted{kMostTrustedGroups};
    // One log line per address, reason and interval, within a total bound: the connections
    // refused or dropped, and the phones' refusals.
    LogBound m_logBound;
    LoginRateLimit m_loginRate;
    RefusalTally m_refusalTally;  // the workers' refusals a flood makes by the thousand

    std::mutex m_queueMutex;
    std::condition_variable m_queueReady;
    FairQueue<std::unique_ptr<Connection>> m_queue;
    bool m_workersStopping = false;
    std::vector<std::unique_ptr<AccountStore>>
        m_workerStores;  // one connection per worker, opened up front
    std::vector<std::thread> m_workers;
    // What the phones were told, written behind their answers (null: no phones' port).
    std::unique_ptr<AskRecorder> m_asks;
};

}  // namespace velquor::server
