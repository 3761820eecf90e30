// Reaching the server: its name resolved, a non-blocking TCP connect to one of its addresses,
// and the socket BIO and waits every later step uses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// A socket BIO that never raises SIGPIPE: a server that hangs up while we write must give -1,
// not kill the program.
int socketWrite(BIO* bio, const char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(sent);
}

int socketRead(BIO* bio, char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t received = ::recv(fd, data, static_cast<std::size_t>(length), 0);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(bio);
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

bool waitFor(int fd, int sslError, Clock::time_point until, const std::stop_token& stop) {
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

bool wantsIo(int sslError) {
    return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

namespace {

// One non-blocking TCP connect; the socket on success, -1 with *error set otherwise.
int connectOnce(const addrinfo& candidate, Clock::time_point until, const std::stop_token& stop,
                int* error) {
    const int fd = ::socket(candidate.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (::connect(fd, candidate.ai_addr, candidate.ai_addrlen) != 0) {
        *error = errno == EINPROGRESS ? 0 : errno;
        if (*error == 0 && !waitFor(fd, SSL_ERROR_WANT_WRITE, until, stop)) *error = ETIMEDOUT;
        if (*error == 0) {
            socklen_t length = sizeof *error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &length);
        }
        if (*error != 0) {
            ::close(fd);
            return -1;
        }
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

MaybeFailure Exchange::connect() {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = settings::isIpAddress(address) ? AI_NUMERICHOST : AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        return Failure{kConnectFailed, "cannot resolve the server name \"" + address +
                                           "\": " + gai_strerror(status)};
    }
    std::size_t left = 0;
    for (const addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next)
        ++left;
    int error = 0;
    for (const addrinfo* candidate = found; candidate != nullptr && fd < 0;
         candidate = candidate->ai_next, --left) {
        const auto share = (deadline - Clock::now()) / static_cast<long>(left);
        fd = connectOnce(*candidate, Clock::now() + share, stop, &error);
    }
    ::freeaddrinfo(found);
    if (fd >= 0) return std::nullopt;
    if (error == ETIMEDOUT) {
        return Failure{kConnectFailed,
                       "no connection to " + target + " within " + seconds(timeouts.connect), true};
    }
    return Failure{kConnectFailed, "cannot connect to " + target + ": " + std::strerror(error)};
}

}  // namespace velquor::provisioning::channel
