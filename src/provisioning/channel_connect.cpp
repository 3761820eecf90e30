// Reaching the server: its name resolved, non-blocking TCP connects to its addresses (the next
// started when one fails or is slow to answer), the fail-over to the next address until the
// server's first byte, and the socket BIO and waits every later step uses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "net/host_address.h"
#include "net/ip_address.h"
#include "provisioning/channel_parts.h"

namespace velquor::provisioning::channel {

std::string openSslErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text;
}

std::string seconds(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

// The address as the resolver and the certificate check want it: an IPv6 one without brackets.
std::string bareAddress(const std::string& address) {
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        return address.substr(1, address.size() - 2);
    }
    return address;
}

namespace {

// How long an attempt has before the next address is tried beside it, how long an address
// that failed goes last, and the most a handshake may have sent and still be sent again.
constexpr auto kAttemptDelay = std::chrono::milliseconds(250);
constexpr auto kRememberFailure = std::chrono::minutes(10);
constexpr std::size_t kMostReplayed = 64 * 1024;
constexpr std::size_t kMostRemembered = 1024;

struct Candidate {
    ResolvedAddress resolved;
    std::string text;  // "192.0.2.7", for the memory of failures
};

// The addresses that failed lately, in every channel of the process: a batch's next exchanges
// start on an address that works.
class FailureMemory {
public:
    void failed(const std::string& address) {
        std::lock_guard lock(m_mutex);
        if (m_failed.size() >= kMostRemembered) m_failed.clear();
        m_failed[address] = Clock::now();
    }
    void worked(const std::string& address) {
        std::lock_guard lock(m_mutex);
        m_failed.erase(address);
    }
    bool failedLately(const std::string& address) {
        std::lock_guard lock(m_mutex);
        const auto found = m_failed.find(address);
        return found != m_failed.end() && Clock::now() - found->second < kRememberFailure;
    }
    void clear() {
        std::lock_guard lock(m_mutex);
        m_failed.clear();
    }
    void age(Clock::duration by) {
        std::lock_guard lock(m_mutex);
        for (auto& [address, when] : m_failed) when -= by;
    }

private:
    std::mutex m_mutex;
    std::map<std::string, Clock::time_point> m_failed;
};

FailureMemory& failureMemory() {
    static FailureMemory memory;
    return memory;
}

// What a connected socket may fail over to until the server's first byte.
struct Failover {
    std::vector<Candidate> spare;  // in the order to try them
    std::string current;
    std::string sent;  // every byte written so far
    bool serverSpoke = false;
    bool replayable = true;
    std::stop_token stop;
};

std::mutex g_failoverMutex;
std::map<int, std::shared_ptr<Failover>> g_failovers;

std::shared_ptr<Failover> failoverOf(int fd) {
    std::lock_guard lock(g_failoverMutex);
    const auto found = g_failovers.find(fd);
    return found == g_failovers.end() ? nullptr : found->second;
}

bool canFailOver(const Failover* failover) {
    return failover != nullptr && !failover->serverSpoke && failover->replayable &&
           !failover->spare.empty() && !failover->stop.stop_requested();
}

int connectOnce(const Candidate& candidate, Clock::time_point until, const std::stop_token& stop,
                int* error);

// Puts a connection to the next spare address that answers in place of the socket behind fd,
// with the bytes sent so far; false when none answers by `until`.
bool failOver(int fd, Failover& failover, Clock::time_point until) {
    failureMemory().failed(failover.current);
    while (!failover.spare.empty() && !failover.stop.stop_requested()) {
        const Candidate next = failover.spare.front();
        failover.spare.erase(failover.spare.begin());
        const auto share = (until - Clock::now()) / static_cast<long>(failover.spare.size() + 1);
        int error = 0;
        const int fresh = connectOnce(next, Clock::now() + share, failover.stop, &error);
        const bool resent =
            fresh >= 0 && (failover.sent.empty() ||
                           ::send(fresh, failover.sent.data(), failover.sent.size(),
                                  MSG_NOSIGNAL) == static_cast<ssize_t>(failover.sent.size()));
        if (resent && ::dup3(fresh, fd, O_CLOEXEC) == fd) {
            ::close(fresh);
            failover.current = next.text;
            return true;
        }
        if (fresh >= 0) ::close(fresh);
        failureMemory().failed(next.text);
    }
    return false;
}

// The connect time-out's end for a socket's fail-over in the BIO, where the exchange's deadline
// is not known: a fail-over there only follows a hang-up, so the next address gets what a
// connect would.
constexpr auto kFailOverConnect = std::chrono::seconds(2);

// A socket BIO that never raises SIGPIPE: a server that hangs up while we write must give -1,
// not kill the program.
int socketWrite(BIO* bio, const char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const auto failover = failoverOf(fd);
    const ssize_t sent = ::send(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_write(bio);
    } else if (sent < 0 && canFailOver(failover.get()) &&
               failOver(fd, *failover, Clock::now() + kFailOverConnect)) {
        BIO_set_retry_write(bio);  // TLS writes it again, to the next address
    } else if (sent > 0 && failover != nullptr && !failover->serverSpoke) {
        failover->sent.append(data, static_cast<std::size_t>(sent));
        if (failover->sent.size() > kMostReplayed) failover->replayable = false;
    }
    return static_cast<int>(sent);
}

int socketRead(BIO* bio, char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const auto failover = failoverOf(fd);
    const ssize_t received = ::recv(fd, data, static_cast<std::size_t>(length), 0);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(bio);
        return -1;
    }
    if (received > 0 && failover != nullptr && !failover->serverSpoke) {
        failover->serverSpoke = true;
        failover->sent.clear();
        failureMemory().worked(failover->current);
    }
    // A hang-up before the server said anything: the next address is asked instead.
    if (received <= 0 && canFailOver(failover.get()) &&
        failOver(fd, *failover, Clock::now() + kFailOverConnect)) {
        BIO_set_retry_read(bio);
        return -1;
    }
    // TLS asks for end-of-file separately to tell a hang-up from a broken record.
    if (received == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    return static_cast<int>(received);
}

long socketControl(BIO* bio, int command, long, void*) {
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_EOF:
            return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
        default:
            return 0;
    }
}

int socketCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

}  // namespace

const BIO_METHOD* quietSocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kesto socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, socketWrite);
            BIO_meth_set_read(m, socketRead);
            BIO_meth_set_ctrl(m, socketControl);
            BIO_meth_set_create(m, socketCreate);
        }
        return m;
    }();
    return method;
}

namespace {

int millisecondsLeft(Clock::time_point until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT32_MAX));
}

// How often a wait looks at the stop request: a Cancel takes effect within this.
constexpr int kStopCheckMs = 50;

}  // namespace

namespace {

bool waitOn(int fd, int sslError, Clock::time_point until, const std::stop_token& stop) {
    pollfd p{fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    for (;;) {
        if (stop.stop_requested()) return false;
        const int left = millisecondsLeft(until);
        const int ready = ::poll(&p, 1, stop.stop_possible() ? std::min(left, kStopCheckMs) : left);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0 && left <= kStopCheckMs) return false;
    }
}

}  // namespace

// Until the server's first byte, each address gets its share of what is left: one that says
// nothing in it is left for the next.
bool waitFor(int fd, int sslError, Clock::time_point until, const std::stop_token& stop) {
    const auto failover = failoverOf(fd);
    while (canFailOver(failover.get())) {
        const auto share = (until - Clock::now()) / static_cast<long>(failover->spare.size() + 1);
        if (waitOn(fd, sslError, Clock::now() + share, stop)) return true;
        if (stop.stop_requested() || Clock::now() >= until) return false;
        if (!failOver(fd, *failover, until)) break;  // none answers: the first one's turn again
    }
    return waitOn(fd, sslError, until, stop);
}

bool wantsIo(int sslError) {
    return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

namespace {

// A non-blocking socket with its connect started: the socket, or -1 with *error set. *error is
// 0 when the connect completed at once, EINPROGRESS while it goes on.
int startConnect(const Candidate& candidate, int* error) {
    const auto& address = candidate.resolved.address;
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    *error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), candidate.resolved.length) !=
        0) {
        *error = errno;
        if (*error != EINPROGRESS) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

int connectedOrError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    return error;
}

void noDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// One non-blocking TCP connect; the socket on success, -1 with *error set otherwise.
int connectOnce(const Candidate& candidate, Clock::time_point until, const std::stop_token& stop,
                int* error) {
    const int fd = startConnect(candidate, error);
    if (fd < 0) return -1;
    if (*error == EINPROGRESS) {
        *error = waitOn(fd, SSL_ERROR_WANT_WRITE, until, stop) ? connectedOrError(fd) : ETIMEDOUT;
    }
    if (*error != 0) {
        ::close(fd);
        return -1;
    }
    noDelay(fd);
    return fd;
}

std::vector<ResolvedAddress> systemResolver(const std::string& name, std::uint16_t port,
                                            std::string* error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    const auto host = net::parseHostAddress(name);
    hints.ai_flags = host && host->isIp() ? AI_NUMERICHOST : AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        *error = gai_strerror(status);
        return {};
    }
    std::vector<ResolvedAddress> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        ResolvedAddress resolved;
        std::memcpy(&resolved.address, entry->ai_addr, entry->ai_addrlen);
        resolved.length = entry->ai_addrlen;
        addresses.push_back(resolved);
    }
    ::freeaddrinfo(found);
    return addresses;
}

std::mutex g_resolverMutex;
Resolver g_resolver;

// The addresses in the resolver's order, those that failed lately last.
std::vector<Candidate> candidatesFor(const std::string& name, std::uint16_t port,
                                     std::string* error) {
    Resolver resolver;
    {
        std::lock_guard lock(g_resolverMutex);
        resolver = g_resolver;
    }
    const auto addresses =
        resolver ? resolver(name, port, error) : systemResolver(name, port, error);
    std::vector<Candidate> candidates;
    for (const auto& resolved : addresses)
        candidates.push_back(
            {resolved, net::addressText(reinterpret_cast<const sockaddr*>(&resolved.address))});
    std::stable_partition(candidates.begin(), candidates.end(), [](const Candidate& candidate) {
        return !failureMemory().failedLately(candidate.text);
    });
    return candidates;
}

struct Attempt {
    int fd;
    std::size_t index;
};

// Connects to the first candidate that answers: the next one is started when every attempt
// under way has failed, or kAttemptDelay after the last one started; the first to connect wins
// and the others are closed. *winner is its index; -1 with *error set when none connects.
int race(const std::vector<Candidate>& candidates, Clock::time_point deadline,
         const std::stop_token& stop, std::size_t* winner, int* error) {
    std::vector<Attempt> pending;
    std::size_t next = 0;
    Clock::time_point nextStart = Clock::now();
    const auto closeAll = [&] {
        for (const auto& attempt : pending) ::close(attempt.fd);
        pending.clear();
    };
    for (;;) {
        const auto now = Clock::now();
        if (stop.stop_requested() || now >= deadline) {
            if (!pending.empty() || *error == 0) *error = ETIMEDOUT;
            closeAll();
            return -1;
        }
        if (next < candidates.size() && (pending.empty() || now >= nextStart)) {
            int started = 0;
            const int fd = startConnect(candidates[next], &started);
            if (fd >= 0 && started == 0) {
                closeAll();
                *winner = next;
                return fd;
            }
            if (fd >= 0) {
                pending.push_back({fd, next});
            } else {
                *error = started;
                failureMemory().failed(candidates[next].text);
            }
            ++next;
            nextStart = now + kAttemptDelay;
            continue;
        }
        if (pending.empty()) return -1;
        std::vector<pollfd> polled;
        for (const auto& attempt : pending) polled.push_back({attempt.fd, POLLOUT, 0});
        const auto until = next < candidates.size() ? std::min(deadline, nextStart) : deadline;
        const int ready =
            ::poll(polled.data(), polled.size(), std::min(millisecondsLeft(until), kStopCheckMs));
        if (ready <= 0) continue;
        for (std::size_t i = polled.size(); i-- > 0;) {
            if (polled[i].revents == 0) continue;
            const Attempt attempt = pending[i];
            pending.erase(pending.begin() + static_cast<long>(i));
            if (const int failed = connectedOrError(attempt.fd); failed != 0) {
                *error = failed;
                failureMemory().failed(candidates[attempt.index].text);
                ::close(attempt.fd);
                continue;
            }
            closeAll();
            *winner = attempt.index;
            return attempt.fd;
        }
    }
}

}  // namespace

void setResolverForTests(Resolver resolver) {
    std::lock_guard lock(g_resolverMutex);
    g_resolver = std::move(resolver);
}

void forgetFailedAddresses() {
    failureMemory().clear();
}

void ageFailedAddresses(Clock::duration by) {
    failureMemory().age(by);
}

Clock::duration failureRememberedFor() {
    return kRememberFailure;
}

void releaseFailover(int fd) {
    std::lock_guard lock(g_failoverMutex);
    g_failovers.erase(fd);
}

MaybeFailure Exchange::connect() {
    // An address no server can have is never looked up.
    if (auto host = net::parseHostAddress(endpoint.address); !host) {
        return wordedFailure(kConnectFailed, host.error().phrase);
    }
    std::string resolveError;
    const auto candidates = candidatesFor(address, port, &resolveError);
    if (candidates.empty()) {
        //: %1 is the server's name, %2 the resolver's reason
        return wordedFailure(
            kConnectFailed,
            support::withReason(
                support::Phrase{
                    VELQUOR_TR_NOOP("core", "cannot resolve the server name \"%1\": %2"),
                    {address}},
                resolveError.empty() ? std::string(VELQUOR_TR_NOOP("core", "no address"))
                                     : resolveError));
    }
    std::size_t winner = 0;
    int error = 0;
    fd = race(candidates, deadline, stop, &winner, &error);
    if (fd >= 0) {
        noDelay(fd);
        auto failover = std::make_shared<Failover>();
        failover->current = candidates[winner].text;
        failover->stop = stop;
        // The addresses not tried yet, then those that were slower.
        for (std::size_t i = winner + 1; i < candidates.size(); ++i) {
            failover->spare.push_back(candidates[i]);
        }
        for (std::size_t i = 0; i < winner; ++i) {
            failureMemory().failed(candidates[i].text);  // slower than the winner, or failed
            failover->spare.push_back(candidates[i]);
        }
        std::lock_guard lock(g_failoverMutex);
        g_failovers[fd] = std::move(failover);
        return std::nullopt;
    }
    if (error == ETIMEDOUT) {
        //: %1 is the server's host:port, %2 the time allowed ("5 s")
        return wordedFailure(
            kConnectFailed,
            support::Phrase{VELQUOR_TR_NOOP("core", "no connection to %1 within %2"),
                            {target, seconds(timeouts.connect)}},
            true);
    }
    //: %1 is the server's host:port, %2 the system's reason ("Connection refused")
    return wordedFailure(kConnectFailed,
                         support::Phrase{VELQUOR_TR_NOOP("core", "cannot connect to %1: %2"),
                                         {target, std::strerror(error)}});
}

}  // namespace velquor::provisioning::channel
