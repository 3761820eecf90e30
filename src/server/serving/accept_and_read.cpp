// Accepting connections within each port's caps (making room on a full port), the TLS handshake and
// reading the record, all on the event loop without blocking; the log lines of refused and
// dropped connections, counted per address group and reason; the sweep that hands whole records
// on.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "net/address_range.h"
#include "net/ip_address.h"
#include "server/requests/phone_request.h"
#include "server/requests/request_log.h"
#include "server/serving/connection.h"

namespace velquor::server {

namespace {

constexpr std::chrono::milliseconds kAcceptPause{100};
// How long a successful login keeps its address group among those a full port keeps room for
// (at least as long as its grant lasts); TrustedGroups bounds how many are remembered.
constexpr std::chrono::hours kTrustedFor{24};
// Connections of one port in the middle of a handshake (some 40 kB of TLS state each).
constexpr std::size_t kMostHandshaking = 512;
// How long a connection that finished its handshake may send nothing before a full port may
// close it for another.
constexpr std::chrono::seconds kSilentAfterHandshake{1};
// How long a phone's handshake may wait for its client before a full phones' port may close it
// for another, as a share of the handshake's deadline (500 ms of the default 3 s). A phone's
// processor is slow and a busy site's network slower: one that is only working on its answer
// is not closed for a newcomer, which waits for room instead.
constexpr int kPhoneHandshakeSilenceShare = 6;
// Past this many newcomers waiting, and until none waits, the phones' port is flooded with
// hellos faster than its handshakes' silence lets them through (a hello costs its sender
// nothing when replayed): then the longest silent handshake goes at once, as on the
// technicians' ports, so that phones are not stuck behind the flood's hellos. Clients merely
// slow to go on (a busy network, phones starting all at once) wait far fewer than this.
constexpr std::size_t kHelloFloodWaiting = 4 * kMostHandshaking;

std::size_t indexOf(RequestKind kind) {
    return static_cast<std::size_t>(kind);
}

// The part of a port's connections only addresses that logged in lately may take.
std::size_t keptForTrusted(std::size_t maxConnections) {
    return maxConnections / 8;
}

// Whether bytes the server has not read yet wait on the socket: a client that is still in its
// handshake on the server's side may have sent its last handshake message and its record
// already (a TLS 1.3 client sends them together), which only wait for the loop to read them.
bool bytesWaiting(int fd) {
    int available = 0;
    return ::ioctl(fd, FIONREAD, &available) == 0 && available > 0;
}

enum class Greeting { Pending, Whole, Gone };

// Whether the client's first TLS record has come whole, looked at without taking it from the
// socket. Until it has, the socket wakes the loop only once as many bytes as the record needs
// are there, and no TLS state is made: a client that sends a few bytes and stalls costs no
// more than one that sends none.
Greeting peekGreeting(int fd) {
    constexpr std::size_t kHeader = 5;
    constexpr std::size_t kMostRecord = 16'384;  // a plaintext record's most
    int available = 0;
    if (::ioctl(fd, FIONREAD, &available) != 0) return Greeting::Gone;
    unsigned char header[kHeader];
    const ssize_t n = ::recv(fd, header, sizeof header, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return Greeting::Gone;
    if (n < 0) return errno == EAGAIN || errno == EINTR ? Greeting::Pending : Greeting::Gone;
    std::size_t needed = kHeader;
    if (static_cast<std::size_t>(n) == kHeader) {
        const std::size_t length = (std::size_t{header[3]} << 8) | header[4];
        // What is no handshake record is for TLS to refuse.
        if (header[0] != 0x16 || length > kMostRecord) return Greeting::Whole;
        needed += length;
    }
    const int lowWater =
        static_cast<std::size_t>(available) >= needed ? 1 : static_cast<int>(needed);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
    return lowWater == 1 ? Greeting::Whole : Greeting::Pending;
}

// What a connection's client sent of its request, for the log.
std::string receivedText(const KestoServer::Connection& connection) {
    if (connection.kind == RequestKind::Phone) {
        return std::to_string(connection.record.size()) + " bytes of a request's head";
    }
    return std::to_string(connection.record.size()) + " of " +
           std::to_string(recordLengthOf(connection.kind)) + " bytes";
}

// Whether the request is there to be answered: a whole record, or a phone's request head
// (or more than a head may take, to be refused).
bool requestWhole(const KestoServer::Connection& connection) {
    if (connection.kind == RequestKind::Phone) {
        return connection.trailingBytes || phoneRequestHeadLength(connection.record) > 0;
    }
    return connection.record.size() == recordLengthOf(connection.kind);
}

// After an SSL_read that gave no bytes: true when the connection only waits for the socket
// (and which way), false when the client closed or failed, which ends its reading.
bool waitsForMore(KestoServer::Connection& connection, int readResult) {
    const int error = SSL_get_error(connection.ssl, readResult);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        connection.wantsWrite = error == SSL_ERROR_WANT_WRITE;
        return true;
    }
    ERR_clear_error();
    connection.done = true;
    return false;
}

}  // namespace

KestoServer::Admission KestoServer::admit(RequestKind kind, const std::string& group,
                                          Clock::time_point now) {
    std::lock_guard lock(m_countMutex);
    PortCount& port = m_counts[indexOf(kind)];
    // A site's phones share an address: their port caps handshakes per address instead.
    const bool phones = kind == RequestKind::Phone;
    const auto fromPeer = port.perPeer.find(group);
    if (!phones && fromPeer != port.perPeer.end() &&
        fromPeer->second >= m_settings.maxConnectionsPerPeer) {
        return Admission::PeerAtCap;
    }
    const bool kept = phones || m_trusted.holds(group, now);
    const std::size_t room =
        m_settings.maxConnections - (kept ? 0 : keptForTrusted(m_settings.maxConnections));
    if (port.total >= room) return Admission::PortFull;
    ++port.perPeer[group];
    ++port.total;
    return Admission::Admitted;
}

void KestoServer::release(RequestKind kind, const std::string& group) {
    std::lock_guard lock(m_countMutex);
    PortCount& port = m_counts[indexOf(kind)];
    --port.total;
    const auto found = port.perPeer.find(group);
    if (found != port.perPeer.end() && --found->second == 0) port.perPeer.erase(found);
}

void KestoServer::rememberLogin(const std::string& group) {
    const auto now = Clock::now();
    const auto until = now + std::max<Clock::duration>(kTrustedFor, m_settings.grantLifetime);
    std::lock_guard lock(m_countMutex);
    m_trusted.remember(group, until, now);
}

// Which of a full port's connections to close for another, and why; nothing for one that
// must stay: handed to a handshake thread, past its record, or with bytes waiting to be read.
// First those that have not finished their handshake (or, for a handshake, only those that
// started theirs), the longest silent first: a client that is being served is newer than any
// of a flood's. Then, unless the room is for a handshake, those silent since finishing it for
// kSilentAfterHandshake, of the address holding the most connections first. (A client's own
// connections in their handshakes are its newest, so counting them would close a busy
// client's before a flood's older ones.)
struct KestoServer::RoomCandidate {
    int tier = 0;
    std::size_t held = 0;
    Clock::time_point lastBytes;
    const char* why = nullptr;
    // Whether bytes waiting on its socket would keep it: looked at only for the candidates
    // ranked first, a system call each, not for every connection of a full port.
    bool unlessBytesWaiting = false;

    bool before(const RoomCandidate& other) const {
        if (tier != other.tier) return tier < other.tier;
        if (held != other.held) return held > other.held;
        return lastBytes < other.lastBytes;
    }
};

std::optional<KestoServer::RoomCandidate> KestoServer::roomCandidate(const Connection& connection,
                                                                     RequestKind kind,
                                                                     Clock::time_point now,
                                                                     bool forHandshake,
                                                                     const PortCount& port) const {
    if (connection.withHandshaker || connection.kind != kind || connection.done) return {};
    RoomCandidate candidate;
    if (connection.stage == Connection::Stage::Handshake) {
        if (connection.ssl == nullptr) {
            if (forHandshake) return {};
            candidate.why = "closed: no handshake yet, to make room on a full port";
        } else {
            if (forHandshake && kind == RequestKind::Phone &&
                now - connection.lastBytes < phoneHandshakeSilence()) {
                return {};
            }
            candidate.unlessBytesWaiting = true;
            candidate.why = forHandshake
                                ? "closed: stalled in its handshake, to make room for another"
                                : "closed: stalled in its handshake, to make room on a full port";
        }
    } else {
        if (forHandshake || !connection.record.empty() ||
            now - connection.lastBytes < kSilentAfterHandshake) {
            return {};
        }
        candidate.tier = 1;
        candidate.unlessBytesWaiting = true;
        candidate.why = "closed: silent after its handshake, to make room on a full port";
        const auto held = port.perPeer.find(connection.group);
        candidate.held = held == port.perPeer.end() ? 0 : held->second;
    }
    candidate.lastBytes = connection.lastBytes;
    return candidate;
}

Clock::duration KestoServer::phoneHandshakeSilence() const {
    if (m_helloFlood) return Clock::duration::zero();
    return m_settings.handshakeDeadline / kPhoneHandshakeSilenceShare;
}

// A flood of hellos begins past kHelloFloodWaiting connections waiting for room, and ends when
// none waits any more.
void KestoServer::countWaitingPhone(int change) {
    m_phonesWaitingCount += static_cast<std::size_t>(change);
    if (m_phonesWaitingCount > kHelloFloodWaiting && !m_helloFlood) {
        m_helloFlood = true;
        // Handshakes too young to close a moment ago may be closed now.
        m_noStalledHandshake[indexOf(RequestKind::Phone)] = false;
    }
    if (m_phonesWaitingCount == 0) m_helloFlood = false;
}

// The earliest time one of the phones' port's handshakes under way, too recently silent now,
// will have been silent long enough to be closed for another; the end of time when none will
// (those of a handshake thread, or with bytes waiting, are looked at again as they move on).
Clock::time_point KestoServer::ripeningAt(Clock::time_point now) const {
    const Clock::duration silence = phoneHandshakeSilence();
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& connection : m_open) {
        if (connection == nullptr || connection->kind != RequestKind::Phone ||
            connection->withHandshaker || connection->ssl == nullptr ||
            connection->stage != Connection::Stage::Handshake) {
            continue;
        }
        const Clock::time_point ripe = connection->lastBytes + silence;
        if (ripe > now) earliest = std::min(earliest, ripe);
    }
    return earliest;
}

// Closes the connection of this port that roomCandidate ranks first; false when there is none.
// The first ranked usually has no bytes waiting: it alone is looked at. When it has, every
// candidate is ranked and looked at in turn, each socket once.
bool KestoServer::makeRoom(RequestKind kind, Clock::time_point now, bool tlsStarted) {
    if (tlsStarted && m_noStalledHandshake[indexOf(kind)]) return false;
    using Ranked = std::pair<RoomCandidate, decltype(m_open)::iterator>;
    std::vector<Ranked> ranked;
    {
        std::lock_guard lock(m_countMutex);
        const PortCount& port = m_counts[indexOf(kind)];
        for (auto it = m_open.begin(); it != m_open.end(); ++it) {
            if (*it == nullptr) continue;
            if (auto candidate = roomCandidate(**it, kind, now, tlsStarted, port)) {
                ranked.emplace_back(*candidate, it);
            }
        }
    }
    auto kept = [](const Ranked& one) {
        return one.first.unlessBytesWaiting && bytesWaiting((*one.second)->fd);
    };
    const auto before = [](const Ranked& a, const Ranked& b) { return a.first.before(b.first); };
    auto chosen = std::min_element(ranked.begin(), ranked.end(), before);
    if (chosen != ranked.end() && kept(*chosen)) {
        std::sort(ranked.begin(), ranked.end(), before);
        chosen = std::find_if_not(ranked.begin(), ranked.end(), kept);
    }
    if (chosen == ranked.end()) {
        if (tlsStarted) {
            m_noStalledHandshake[indexOf(kind)] = true;
            if (kind == RequestKind::Phone) m_phoneHandshakesRipen = ripeningAt(now);
        }
        return false;
    }
    std::unique_ptr<Connection> closed = std::move(*chosen->second);  // the sweep forgets it
    noteRefusal(closed->group, closed->port, now, chosen->first.why);
    finish(std::move(closed));
    return true;
}

bool KestoServer::startTls(Connection& connection) {
    // TLS state in the middle of a handshake is the costliest a client can make the server
    // hold: a port keeps a bounded number, the longest silent going first; when every one of
    // them is in a handshake thread's hands, the newcomer waits for none.
    while (m_handshaking[indexOf(connection.kind)] >= kMostHandshaking) {
        if (!makeRoom(connection.kind, Clock::now(), true)) {
            connection.failure = "closed: too many handshakes under way on this port";
            return false;
        }
    }
    const bool phone = connection.kind == RequestKind::Phone;
    connection.ssl = SSL_new(phone ? m_phoneTls.get() : m_tls.get());
    if (connection.ssl == nullptr || SSL_set_fd(connection.ssl, connection.fd) != 1) {
        ERR_clear_error();
        connection.failure = "closed: cannot set up TLS";
        return false;
    }
    SSL_set_accept_state(connection.ssl);
    ++m_handshaking[indexOf(connection.kind)];
    if (phone) ++m_phoneHandshakes[connection.group];
    return true;
}

bool KestoServer::phoneHandshakeRoom(const Connection& connection) {
    if (connection.kind != RequestKind::Phone) return true;
    const auto found = m_phoneHandshakes.find(connection.group);
    if (found != m_phoneHandshakes.end() && found->second >= m_settings.maxPhoneHandshakesPerPeer) {
        return false;
    }
    // The port's handshakes in all: the longest stalled makes room; when every one is in a
    // handshake thread's hands, the phone waits instead of being refused.
    const std::size_t port = indexOf(RequestKind::Phone);
    while (m_handshaking[port] >= kMostHandshaking) {
        if (!makeRoom(RequestKind::Phone, Clock::now(), true)) return false;
    }
    return true;
}

// On the event loop only, for a connection whose TLS state was made in its handshake.
void KestoServer::handshakeEnded(const Connection& connection) {
    --m_handshaking[indexOf(connection.kind)];
    if (connection.kind != RequestKind::Phone) return;
    const auto found = m_phoneHandshakes.find(connection.group);
    if (found != m_phoneHandshakes.end() && --found->second == 0) m_phoneHandshakes.erase(found);
}

// Phones' connections that waited for their address's handshakes start theirs, in the order
// they came, as far as the cap lets them.
void KestoServer::startWaitingHandshakes(Clock::time_point now) {
    if (now >= m_phoneHandshakesRipen) m_noStalledHandshake[indexOf(RequestKind::Phone)] = false;
    for (auto& connection : m_open) {
        if (connection == nullptr || !connection->waitingForRoom) continue;
        if (!phoneHandshakeRoom(*connection)) continue;
        connection->waitingForRoom = false;
        countWaitingPhone(-1);
        advance(*connection);
    }
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
        const std::string peer = net::addressText(reinterpret_cast<const sockaddr*>(&address));
        const std::string group = net::addressGroupText(peer);
        const auto now = Clock::now();
        auto admission = admit(listener.kind, group, now);
        // Each round closes one connection; the port holds finitely many.
        while (admission == Admission::PortFull && makeRoom(listener.kind, now, false)) {
            admission = admit(listener.kind, group, now);
        }
        if (admission != Admission::Admitted) {
            ::close(fd);
            noteRefusal(group, listener.port, now,
                        admission == Admission::PeerAtCap
                            ? "refused: too many connections from this address"
                            : "refused: too many connections on this port");
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer = peer;
        connection->group = group;
        connection->kind = listener.kind;
        connection->port = listener.port;
        connection->deadline = now + m_settings.connectionDeadline;
        connection->handshakeDeadline =
            now + std::min(m_settings.handshakeDeadline, m_settings.connectionDeadline);
        connection->lastBytes = now;
        // A client usually speaks first at once: start on what is there, not a poll later.
        char first = 0;
        if (::recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT) > 0) advance(*connection);
        m_open.push_back(std::move(connection));  // the loop's sweep settles a finished one
    }
}

void KestoServer::advance(Connection& connection) {
    connection.lastBytes = Clock::now();
    if (connection.ssl == nullptr) {
        const Greeting greeting = peekGreeting(connection.fd);
        if (greeting == Greeting::Pending) return;
        if (greeting == Greeting::Gone) {
            connection.failure = "closed: the client left before its handshake";
            connection.done = true;
            return;
        }
        if (!phoneHandshakeRoom(connection)) {
            connection.waitingForRoom = true;
            countWaitingPhone(+1);
            return;
        }
        if (!startTls(connection)) {
            connection.done = true;
            return;
        }
    }
    if (connection.stage == Connection::Stage::Handshake && !m_handshakers.empty()) {
        offerHandshake(connection);
        return;
    }
    const bool handshaking = connection.stage == Connection::Stage::Handshake;
    continueTls(connection);
    if (handshaking && connection.stage == Connection::Stage::Record) handshakeEnded(connection);
    if (handshaking) m_noStalledHandshake[indexOf(connection.kind)] = false;
}

void KestoServer::continueTls(Connection& connection) {
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
        if (connection.kind != RequestKind::Phone) {
            connection.record.reserve(recordLengthOf(connection.kind) + 1);
        }
    }
    if (connection.kind == RequestKind::Phone) {
        readPhoneRequest(connection);
        return;
    }
    readRecord(connection);
}

// A phone's request is read up to the end of its head; a head longer than the most is cut
// there and answered 431.
void KestoServer::readPhoneRequest(Connection& connection) {
    char buffer[1024];
    for (;;) {
        const int n = SSL_read(connection.ssl, buffer, sizeof buffer);
        if (n > 0) {
            connection.record.append(buffer, static_cast<std::size_t>(n));
            if (phoneRequestHeadLength(connection.record) > 0) {
                connection.done = true;
                return;
            }
            if (connection.record.size() > kMostPhoneRequestHead) {
                connection.trailingBytes = true;
                connection.done = true;
                return;
            }
            continue;
        }
        waitsForMore(connection, n);
        return;
    }
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
        // A client that closed or failed is done: only a whole record is still worth an answer.
        if (waitsForMore(connection, n) && connection.record.size() == expected) {
            connection.done = true;
        }
        return;
    }
}

// A connection closed before its record carried nothing out: it is counted with the others of
// its address group and reason, so that a flood of them costs the log a line per interval.
void KestoServer::dropConnection(std::unique_ptr<Connection> connection, const std::string& why) {
    noteRefusal(connection->group, connection->port, Clock::now(), why);
    finish(std::move(connection));
}

void KestoServer::noteRefusal(const std::string& peer, std::uint16_t port, Clock::time_point now,
                              const std::string& why) {
    if (!m_logBound.note(peer, port, why, now)) return;
    writeLogLine(
        formatLogLine(std::chrono::system_clock::now(), LogEntry{peer, port, {}, {}, {}, {}, why}));
}

void KestoServer::finish(std::unique_ptr<Connection> connection) {
    const std::string group = connection->group;
    const RequestKind kind = connection->kind;
    if (connection->waitingForRoom) countWaitingPhone(-1);
    // Only the event loop finishes a connection in its handshake: the workers' are past it.
    if (connection->ssl != nullptr && connection->stage == Connection::Stage::Handshake) {
        handshakeEnded(*connection);
    }
    connection.reset();
    release(kind, group);
}

// Hands whole records to the workers and drops what failed or ran out of time. A partial
// record is logged by its length only: its fields may hold anything, a password included.
void KestoServer::sweep(Clock::time_point now) {
    if (m_phonesWaitingCount > 0) startWaitingHandshakes(now);
    std::vector<std::unique_ptr<Connection>> still;
    still.reserve(m_open.size());
    for (auto& connection : m_open) {
        if (connection == nullptr) continue;  // closed to make room
        if (connection->withHandshaker) {
            still.push_back(std::move(connection));
            continue;
        }
        const bool handshaking = connection->stage == Connection::Stage::Handshake;
        if (connection->done && requestWhole(*connection)) {
            dispatch(std::move(connection));
        } else if (connection->done) {
            const std::string why =
                connection->failure != nullptr ? connection->failure
                : handshaking                  ? "closed: TLS handshake failed"
                              : "closed: the client left after " + receivedText(*connection);
            dropConnection(std::move(connection), why);
        } else if (handshaking && now >= connection->handshakeDeadline) {
            dropConnection(std::move(connection), "closed: no TLS handshake within the deadline");
        } else if (now >= connection->deadline) {
            const std::string why =
                "closed: no whole record within the deadline (" + receivedText(*connection) + ")";
            dropConnection(std::move(connection), why);
        } else {
            still.push_back(std::move(connection));
        }
    }
    m_open = std::move(still);
}

}  // namespace velquor::server
