// The event loop, worker pool and connection limits of kestod; see kesto_server.h.
#include "server/kesto_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>

#include "server/request_log.h"

namespace velquor::server {

namespace {

using std::chrono::milliseconds;
using support::ErrorCode;
using support::makeError;

// How long a worker waits for a client to take its reply; replies are a few bytes, so
// only a client that stopped reading can make this matter.
constexpr milliseconds kReplyDeadline{5'000};
constexpr milliseconds kAcceptPause{100};
// Connections refused to one address make one line when the first comes, then one line per
// interval with how many followed.
constexpr std::chrono::seconds kRefusalInterval{10};

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string peerAddressOf(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& six = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &six.sin6_addr, text, sizeof text);
    } else {
        const auto& four = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &four.sin_addr, text, sizeof text);
    }
    return text;
}

void setPort(sockaddr_storage& address, std::uint16_t port) {
    if (address.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
    }
}

std::uint16_t portOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

// Every address a listen address stands for: itself when it is an IP address, else what the
// name resolves to, each once.
support::Result<std::vector<ListenAddress>> resolveListenAddresses(
    const std::vector<std::string>& addresses) {
    std::vector<ListenAddress> resolved;
    std::set<std::string> seen;
    for (const auto& name : addresses) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG;
        addrinfo* found = nullptr;
        if (const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found); rc != 0) {
            return makeError(ErrorCode::Network, "cannot resolve the listen address '" + name +
                                                     "': " + ::gai_strerror(rc));
        }
        for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
            ListenAddress listen;
            std::memcpy(&listen.address, entry->ai_addr, entry->ai_addrlen);
            listen.length = entry->ai_addrlen;
            if (seen.insert(peerAddressOf(listen.address)).second) resolved.push_back(listen);
        }
        ::freeaddrinfo(found);
    }
    if (resolved.empty()) return makeError(ErrorCode::Network, "no address to listen on");
    return resolved;
}

int pollTimeoutUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 60'000));
}

}  // namespace

struct KestoServer::Connection {
    enum class Stage { Handshake, Record };

    int fd = -1;
    SSL* ssl = nullptr;
    std::string peer;
    RequestKind kind = RequestKind::Login;
    std::uint16_t port = 0;
    Clock::time_point deadline;
    Clock::time_point handshakeDeadline;
    Stage stage = Stage::Handshake;
    bool wantsWrite = false;
    bool done = false;           // handed on or dropped; the loop forgets it
    bool trailingBytes = false;  // more bytes than the record: malformed
    std::string record;          // what was received so far

    ~Connection() {
        if (ssl != nullptr) SSL_free(ssl);
        closeQuietly(fd);
    }
};

KestoServer::KestoServer(ServeSettings settings)
    : m_settings(std::move(settings)),
      m_files(serverFilesIn(m_settings.folder)),
      m_loginRate(m_settings.maxLoginsPerAddress) {}

std::string KestoServer::address() const {
    std::string joined;
    for (const auto& address : m_settings.addresses) {
        if (!joined.empty()) joined += ", ";
        joined += address;
    }
    return joined;
}

KestoServer::~KestoServer() {
    {
        std::lock_guard lock(m_queueMutex);
        m_workersStopping = true;
    }
    m_queueReady.notify_all();
    for (auto& worker : m_workers) {
        if (worker.joinable()) worker.join();
    }
    for (auto& listener : m_listeners) closeQuietly(listener.fd);
    closeQuietly(m_wakeRead);
    closeQuietly(m_wakeWrite);
}

support::Result<std::unique_ptr<KestoServer>> KestoServer::create(ServeSettings settings) {
    if (settings.workers == 0 || settings.maxConnections == 0 ||
        settings.maxConnectionsPerPeer == 0 || settings.maxLoginsPerAddress == 0) {
        return makeError(ErrorCode::InvalidInput,
                         "workers and connection limits must be at least 1");
    }
    std::unique_ptr<KestoServer> server(new KestoServer(std::move(settings)));
    auto& files = server->m_files;

    const StoreLocation location{server->m_settings.folder, server->m_settings.databaseUrl};
    auto store = openAccountStore(location, AccountStore::OpenMode::MustExist);
    if (!store) return store.error();
    auto iterations = (*store)->setting("pbkdf2_iterations");
    if (!iterations) return iterations.error();
    server->m_hashIterations = kDefaultPbkdf2Iterations;
    if (iterations->has_value()) {
        const std::string& text = **iterations;
        std::uint32_t parsed = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        if (ec != std::errc() || end != text.data() + text.size() || parsed == 0) {
            return makeError(ErrorCode::InvalidInput,
                             "the database holds an unusable iteration count '" + text + "'");
        }
        server->m_hashIterations = parsed;
    }
    if (server->m_settings.addresses.empty()) {
        auto address = (*store)->setting("address");
        if (!address) return address.error();
        server->m_settings.addresses =
            splitAddressList(address->value_or(std::string(wire::kDefaultServerAddress)));
    }
    AccountStore& first = **store;
    server->m_workerStores.push_back(std::move(*store));
    while (server->m_workerStores.size() < server->m_settings.workers) {
        auto more = openAccountStore(location, AccountStore::OpenMode::MustExist);
        if (!more) return more.error();
        server->m_workerStores.push_back(std::move(*more));
    }

    auto tls = makeServerTlsContext(files);
    if (!tls) return tls.error();
    server->m_tls = std::move(*tls);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return makeError(ErrorCode::Io,
                         std::string("cannot create a pipe: ") + std::strerror(errno));
    }
    server->m_wakeRead = pipeFds[0];
    server->m_wakeWrite = pipeFds[1];
    if (auto status = server->bindListeners(); !status) return status.error();
    // Only an instance that serves may end the logins of the one before it: a second one
    // started by mistake on the same folder fails above and leaves everyone logged in.
    if (auto status = first.beginServing(); !status) return status.error();
    return server;
}

support::Status KestoServer::bindListeners() {
    auto addresses = resolveListenAddresses(m_settings.addresses);
    if (!addresses) return addresses.error();
    for (std::size_t kind = 0; kind < m_settings.ports.size(); ++kind) {
        // Port 0 takes a free port on the first address, and the same one on the others.
        std::uint16_t port = m_settings.ports[kind];
        for (auto& listen : *addresses) {
            setPort(listen.address, port);
            const std::string where =
                peerAddressOf(listen.address) + " port " + std::to_string(port);
            if (auto status = bindListener(where, listen.address, listen.length, kind); !status) {
                return status;
            }
            port = m_listeners.back().port;
        }
        m_boundPorts[kind] = port;
    }
    return {};
}

support::Status KestoServer::bindListener(const std::string& where, const sockaddr_storage& address,
                                          socklen_t length, std::size_t kindIndex) {
    static constexpr RequestKind kKinds[] = {RequestKind::Login, RequestKind::Account,
                                             RequestKind::Device};
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return makeError(ErrorCode::Network,
                         std::string("cannot create a socket: ") + std::strerror(errno));
    }
    m_listeners.push_back(Listener{fd, kKinds[kindIndex], 0});
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address.ss_family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        return makeError(ErrorCode::Network,
                         "cannot listen on " + where + ": " + std::strerror(errno));
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    m_listeners.back().port = portOf(bound);
    return {};
}

void KestoServer::requestStop() noexcept {
    m_stopRequested.store(true);
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(m_wakeWrite, &byte, 1);
}

bool KestoServer::admit(const std::string& peer) {
    std::lock_guard lock(m_countMutex);
    auto& fromPeer = m_perPeer[peer];
    if (m_totalConnections >= m_settings.maxConnections ||
        fromPeer >= m_settings.maxConnectionsPerPeer) {
        if (fromPeer == 0) m_perPeer.erase(peer);
        return false;
    }
    ++fromPeer;
    ++m_totalConnections;
    return true;
}

void KestoServer::release(const std::string& peer) {
    std::lock_guard lock(m_countMutex);
    --m_totalConnections;
    const auto found = m_perPeer.find(peer);
    if (found != m_perPeer.end() && --found->second == 0) m_perPeer.erase(found);
}

void KestoServer::acceptFrom(const Listener& listener) {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                m_acceptPausedUntil = Clock::now() + kAcceptPause;
            }
            return;  // EAGAIN: drained
        }
        const std::string peer = peerAddressOf(address);
        if (!admit(peer)) {
            ::close(fd);
            noteRefusal(peer, listener.port, Clock::now());
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer = peer;
        connection->kind = listener.kind;
        connection->port = listener.port;
        const auto now = Clock::now();
        connection->deadline = now + m_settings.connectionDeadline;
        connection->handshakeDeadline =
            now + std::min(m_settings.handshakeDeadline, m_settings.connectionDeadline);
        connection->record.reserve(recordLengthOf(listener.kind) + 1);
        connection->ssl = SSL_new(m_tls.get());
        if (connection->ssl == nullptr || SSL_set_fd(connection->ssl, fd) != 1) {
            ERR_clear_error();
            dropConnection(std::move(connection), "cannot set up TLS");
            continue;
        }
        SSL_set_accept_state(connection->ssl);
        advance(*connection);
        m_open.push_back(std::move(connection));  // the loop's sweep settles a finished one
    }
}

void KestoServer::advance(Connection& connection) {
    if (connection.stage == Connection::Stage::Handshake) {
        const int rc = SSL_do_handshake(connection.ssl);
        if (rc != 1) {
            const int error = SSL_get_error(connection.ssl, rc);
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                connection.wantsWrite = error == SSL_ERROR_WANT_WRITE;
                return;
            }
            ERR_clear_error();
            connection.done = true;
            return;  // the loop drops it with the reason below
        }
        connection.stage = Connection::Stage::Record;
    }
    readRecord(connection);
}

void KestoServer::readRecord(Connection& connection) {
    const std::size_t expected = recordLengthOf(connection.kind);
    // One byte of room past the record tells a record with trailing bytes from a whole one.
    char buffer[1024];
    for (;;) {
        const std::size_t room = std::min(sizeof buffer, expected + 1 - connection.record.size());
        const int n = SSL_read(connection.ssl, buffer, static_cast<int>(room));
        if (n > 0) {
            connection.record.append(buffer, static_cast<std::size_t>(n));
            if (connection.record.size() > expected) {
                connection.trailingBytes = true;
                connection.record.resize(expected);
                connection.done = true;
                return;
            }
            continue;
        }
        const int error = SSL_get_error(connection.ssl, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            connection.wantsWrite = error == SSL_ERROR_WANT_WRITE;
            if (connection.record.size() == expected) connection.done = true;
            return;
        }
        ERR_clear_error();
        // The client closed or failed; only a whole record is still worth an answer.
        connection.done = true;
        return;
    }
}

void KestoServer::dropConnection(std::unique_ptr<Connection> connection, std::string_view why) {
    writeLogLine(formatLogLine(std::chrono::system_clock::now(),
                               LogEntry{connection->peer, connection->port, {}, {}, {}, {}, why}));
    finish(std::move(connection));
}

void KestoServer::noteRefusal(const std::string& peer, std::uint16_t port, Clock::time_point now) {
    const auto [tally, first] = m_refusals.try_emplace(peer, RefusalTally{now, port, 0});
    if (!first) {
        ++tally->second.more;
        return;
    }
    writeLogLine(
        formatLogLine(std::chrono::system_clock::now(),
                      LogEntry{peer, port, {}, {}, {}, {}, "refused: too many connections"}));
}

// Writes the counts of the intervals that ended; returns when the next one ends.
Clock::time_point KestoServer::flushRefusals(Clock::time_point now) {
    Clock::time_point next = Clock::time_point::max();
    for (auto it = m_refusals.begin(); it != m_refusals.end();) {
        RefusalTally& tally = it->second;
        if (now - tally.since < kRefusalInterval) {
            next = std::min(next, tally.since + kRefusalInterval);
            ++it;
            continue;
        }
        if (tally.more == 0) {
            it = m_refusals.erase(it);
            continue;
        }
        const std::string why =
            "refused " + std::to_string(tally.more) + " more connections in the last " +
            std::to_string(kRefusalInterval.count()) + " s: too many connections";
        writeLogLine(formatLogLine(std::chrono::system_clock::now(),
                                   LogEntry{it->first, tally.port, {}, {}, {}, {}, why}));
        tally = RefusalTally{now, tally.port, 0};
        next = std::min(next, now + kRefusalInterval);
        ++it;
    }
    return next;
}

void KestoServer::finish(std::unique_ptr<Connection> connection) {
    const std::string peer = connection->peer;
    connection.reset();
    release(peer);
}

void KestoServer::dispatch(std::unique_ptr<Connection> connection) {
    {
        std::lock_guard lock(m_queueMutex);
        const std::string peer = connection->peer;
        m_queue.push(peer, std::move(connection));
    }
    m_queueReady.notify_one();
}

void KestoServer::workerMain(AccountStore& store) {
    RequestHandler handler(
        store,
        AuthorisationSettings{m_settings.loginLimits, m_settings.grantLifetime, m_hashIterations});
    for (;;) {
        std::optional<std::pair<std::string, std::unique_ptr<Connection>>> next;
        {
            std::unique_lock lock(m_queueMutex);
            m_queueReady.wait(lock, [&] { return m_workersStopping || !m_queue.empty(); });
            next = m_queue.pop();
            if (!next) return;  // stopping, and nothing left to answer
        }
        answer(*next->second, handler, store);
        {
            std::lock_guard lock(m_queueMutex);
            m_queue.done(next->first);
        }
        finish(std::move(next->second));
    }
}

RequestOutcome KestoServer::decide(Connection& connection, RequestHandler& handler,
                                   AccountStore& store) {
    RequestOutcome outcome;
    outcome.operation = "-";
    outcome.reply = std::string(wire::kReplyNo);
    if (connection.trailingBytes) {
        outcome.detail = "malformed: more bytes than one record";
        return outcome;
    }
    // The client has given up by now (its time-out is the same order as ours): doing the
    // work would change what it was told nothing about.
    if (Clock::now() >= connection.deadline) {
        outcome.detail = "not done: the deadline passed while the request waited for a worker";
        return outcome;
    }
    const bool login = connection.kind == RequestKind::Login;
    if (login && !m_loginRate.reserve(connection.peer)) {
        outcome.operation = "LOGIN";
        outcome.detail = "too many logins from this address in the last minute";
        return outcome;
    }
    store.setDeadline(connection.deadline);
    outcome = handler.handle(connection.kind, connection.peer, connection.record);
    if (login && outcome.reply != wire::kReplyYes) m_loginRate.cancel(connection.peer);
    return outcome;
}

void KestoServer::answer(Connection& connection, RequestHandler& handler, AccountStore& store) {
    const RequestOutcome outcome = decide(connection, handler, store);
    const auto deadline = Clock::now() + kReplyDeadline;
    std::string_view sent = outcome.reply;
    std::string failure;
    for (;;) {
        const int n =
            SSL_write(connection.ssl, outcome.reply.data(), static_cast<int>(outcome.reply.size()));
        if (n > 0) break;
        const int error = SSL_get_error(connection.ssl, n);
        if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
            Clock::now() < deadline) {
            pollfd waitFor{connection.fd,
                           static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
            ::poll(&waitFor, 1, pollTimeoutUntil(deadline));
            continue;
        }
        ERR_clear_error();
        failure = "the reply could not be sent";
        sent = {};
        break;
    }
    if (failure.empty()) {
        SSL_shutdown(connection.ssl);  // a courtesy close_notify; the client has what it needs
        ERR_clear_error();
    }
    std::string detail = outcome.detail;
    if (!failure.empty()) detail += detail.empty() ? failure : "; " + failure;
    writeLogLine(formatLogLine(
        std::chrono::system_clock::now(),
        LogEntry{connection.peer, connection.port, outcome.operation, outcome.user, outcome.mac,
                 sent.empty() ? std::string_view() : std::string_view(outcome.reply), detail}));
}

support::Status KestoServer::run() {
    for (auto& store : m_workerStores) {
        m_workers.emplace_back([this, &store] { workerMain(*store); });
    }
    std::vector<pollfd> fds;
    while (!m_stopRequested.load()) {
        fds.clear();
        fds.push_back(pollfd{m_wakeRead, POLLIN, 0});
        const bool accepting = Clock::now() >= m_acceptPausedUntil;
        for (const auto& listener : m_listeners) {
            // A negative descriptor is skipped by poll but keeps the positions fixed.
            fds.push_back(pollfd{accepting ? listener.fd : -1, POLLIN, 0});
        }
        Clock::time_point nearest = Clock::now() + std::chrono::seconds(60);
        if (!accepting) nearest = std::min(nearest, m_acceptPausedUntil);
        nearest = std::min(nearest, flushRefusals(Clock::now()));
        for (const auto& connection : m_open) {
            fds.push_back(pollfd{connection->fd,
                                 static_cast<short>(connection->wantsWrite ? POLLOUT : POLLIN), 0});
            nearest = std::min(nearest, connection->deadline);
            if (connection->stage == Connection::Stage::Handshake) {
                nearest = std::min(nearest, connection->handshakeDeadline);
            }
        }
        const int ready = ::poll(fds.data(), fds.size(), pollTimeoutUntil(nearest));
        if (ready < 0 && errno != EINTR) {
            return makeError(ErrorCode::Io, std::string("poll failed: ") + std::strerror(errno));
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            char drain[64];
            while (::read(m_wakeRead, drain, sizeof drain) > 0) {
            }
        }
        // Connections first, by their position in fds, before accepting changes m_open.
        const std::size_t firstConnection = 1 + m_listeners.size();
        for (std::size_t i = 0; ready > 0 && i < m_open.size(); ++i) {
            if (fds[firstConnection + i].revents != 0) advance(*m_open[i]);
        }
        if (ready > 0) {
            for (std::size_t i = 0; i < m_listeners.size(); ++i) {
                if ((fds[1 + i].revents & POLLIN) != 0) acceptFrom(m_listeners[i]);
            }
        }
        sweep(Clock::now());
    }

    for (auto& connection : m_open) {
        dropConnection(std::move(connection), "closed: the server is stopping");
    }
    m_open.clear();
    {
        std::lock_guard lock(m_queueMutex);
        m_workersStopping = true;
    }
    m_queueReady.notify_all();
    for (auto& worker : m_workers) worker.join();
    m_workers.clear();
    return {};
}

// Hands whole records to the workers and drops what failed or ran out of time. A partial
// record is logged by its length only: its fields may hold anything, a password included.
void KestoServer::sweep(Clock::time_point now) {
    std::vector<std::unique_ptr<Connection>> still;
    still.reserve(m_open.size());
    for (auto& connection : m_open) {
        const std::size_t expected = recordLengthOf(connection->kind);
        const std::string received = std::to_string(connection->record.size()) + " of " +
                                     std::to_string(expected) + " bytes";
        const bool handshaking = connection->stage == Connection::Stage::Handshake;
        if (connection->done && connection->record.size() == expected) {
            dispatch(std::move(connection));
        } else if (connection->done) {
            dropConnection(std::move(connection),
                           handshaking ? "closed: TLS handshake failed"
                                       : "closed: the client left after " + received);
        } else if (handshaking && now >= connection->handshakeDeadline) {
            dropConnection(std::move(connection), "closed: no TLS handshake within the deadline");
        } else if (now >= connection->deadline) {
            dropConnection(std::move(connection),
                           "closed: no whole record within the deadline (" + received + ")");
        } else {
            still.push_back(std::move(connection));
        }
    }
    m_open = std::move(still);
}

}  // namespace velquor::server
