// The event loop, worker pool and connection limits of kestod; see kesto_server.h.
#include "server/kesto_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
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

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string peerAddressOf(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
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
    : m_settings(std::move(settings)), m_files(serverFilesIn(m_settings.folder)) {}

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
        settings.maxConnectionsPerPeer == 0) {
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
    if (auto status = (*store)->beginServing(); !status) return status.error();
    if (server->m_settings.address.empty()) {
        auto address = (*store)->setting("address");
        if (!address) return address.error();
        server->m_settings.address = address->value_or(std::string(wire::kDefaultServerAddress));
    }
    if (!isIpv4Address(server->m_settings.address)) {
        return makeError(ErrorCode::InvalidInput,
                         "'" + server->m_settings.address + "' is not an IPv4 address");
    }
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
    return server;
}

support::Status KestoServer::bindListeners() {
    static constexpr RequestKind kKinds[] = {RequestKind::Login, RequestKind::Account,
                                             RequestKind::Device};
    for (std::size_t i = 0; i < m_listeners.size(); ++i) {
        const std::string where = m_settings.address + ":" + std::to_string(m_settings.ports[i]);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return makeError(ErrorCode::Network,
                             std::string("cannot create a socket: ") + std::strerror(errno));
        }
        m_listeners[i] = Listener{fd, kKinds[i], 0};
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_settings.ports[i]);
        ::inet_pton(AF_INET, m_settings.address.c_str(), &address.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, SOMAXCONN) != 0) {
            return makeError(ErrorCode::Network,
                             "cannot listen on " + where + ": " + std::strerror(errno));
        }
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_listeners[i].port = ntohs(address.sin_port);
        m_boundPorts[i] = m_listeners[i].port;
    }
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
        sockaddr_in address{};
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
            writeLogLine(formatLogLine(
                std::chrono::system_clock::now(),
                LogEntry{peer, listener.port, {}, {}, {}, {}, "refused: too many connections"}));
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer = peer;
        connection->kind = listener.kind;
        connection->port = listener.port;
        connection->deadline = Clock::now() + m_settings.connectionDeadline;
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

void KestoServer::finish(std::unique_ptr<Connection> connection) {
    const std::string peer = connection->peer;
    connection.reset();
    release(peer);
}

void KestoServer::dispatch(std::unique_ptr<Connection> connection) {
    {
        std::lock_guard lock(m_queueMutex);
        m_queue.push_back(std::move(connection));
    }
    m_queueReady.notify_one();
}

void KestoServer::workerMain(AccountStore& store) {
    RequestHandler handler(
        store,
        AuthorisationSettings{m_settings.loginLimits, m_settings.grantLifetime, m_hashIterations});
    for (;;) {
        std::unique_ptr<Connection> connection;
        {
            std::unique_lock lock(m_queueMutex);
            m_queueReady.wait(lock, [&] { return m_workersStopping || !m_queue.empty(); });
            if (m_queue.empty()) return;  // stopping, and nothing left to answer
            connection = std::move(m_queue.front());
            m_queue.pop_front();
        }
        answer(*connection, handler);
        finish(std::move(connection));
    }
}

void KestoServer::answer(Connection& connection, RequestHandler& handler) {
    RequestOutcome outcome;
    if (connection.trailingBytes) {
        outcome.operation = "-";
        outcome.reply = "NO";
        outcome.detail = "malformed: more bytes than one record";
    } else {
        outcome = handler.handle(connection.kind, connection.peer, connection.record);
    }
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
        for (const auto& connection : m_open) {
            fds.push_back(pollfd{connection->fd,
                                 static_cast<short>(connection->wantsWrite ? POLLOUT : POLLIN), 0});
            nearest = std::min(nearest, connection->deadline);
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
        const auto now = Clock::now();
        std::vector<std::unique_ptr<Connection>> still;
        still.reserve(m_open.size());
        for (auto& connection : m_open) {
            const std::size_t expected = recordLengthOf(connection->kind);
            if (connection->done && connection->record.size() == expected) {
                dispatch(std::move(connection));
            } else if (connection->done) {
                const char* why = connection->stage == Connection::Stage::Handshake
                                      ? "closed: TLS handshake failed"
                                      : "closed: the client left before a whole record";
                dropConnection(std::move(connection), why);
            } else if (now >= connection->deadline) {
                dropConnection(std::move(connection),
                               "closed: no whole record within the deadline");
            } else {
                still.push_back(std::move(connection));
            }
        }
        m_open = std::move(still);
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

}  // namespace velquor::server
