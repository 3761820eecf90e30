// Accepting connections within the caps, the TLS handshake and reading the record, all on the
// event loop without blocking; the refusal log lines; the sweep that hands whole records on.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>

#include "server/request_log.h"
#include "server/server_connection.h"

namespace velquor::server {

namespace {

constexpr std::chrono::milliseconds kAcceptPause{100};
// Connections refused to one address make one line when the first comes, then one line per
// interval with how many followed.
constexpr std::chrono::seconds kRefusalInterval{10};

}  // namespace

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
