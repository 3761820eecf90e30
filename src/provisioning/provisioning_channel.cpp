// The TLS exchange behind ProvisioningChannel: non-blocking socket and TLS with one deadline,
// certificate and address verification before any byte of the record leaves, and the reply
// table. The TLS context and the sessions it resumed live as long as the channel object, so a
// bulk command pays for one full handshake instead of one per record.
#include "provisioning/provisioning_channel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace velquor::provisioning {

namespace {

using Clock = std::chrono::steady_clock;

// The diagnostic lines, byte for byte; they are what an operator greps for.
constexpr const char* kNoContext = "ctx == NULL\n";
constexpr const char* kCaLoadFailed = "Handle failed load here \n";
constexpr const char* kNoConnection = "bio ==NULL\n";
constexpr const char* kConnectFailed = "BIO_do_connect(bio)NULL<=0\n";
constexpr const char* kVerificationFailed = "Handle the failed verification \n";
constexpr const char* kWriteFailed = "write retry error\n";
constexpr const char* kClosedWithoutReply = "read_n == 0\n";
constexpr const char* kReadFailed = "retry error\n";

void printDiagnostic(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

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

// A reply as it can be shown: printable bytes as they are, others as \xNN.
std::string printable(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            text += "\\x";
            text += kHex[c >> 4];
            text += kHex[c & 0xf];
        }
    }
    return text;
}

bool isIpAddress(const std::string& address) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, address.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, address.c_str(), buffer) == 1;
}

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
        case BIO_CTRL_FLUSH: return 1;
        case BIO_CTRL_EOF: return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
        default: return 0;
    }
}

int socketCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

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

}  // namespace

// The context (trust anchors loaded) and the last session each port handed out.
struct ProvisioningChannel::TlsState {
    SSL_CTX* context = nullptr;
    std::map<std::uint16_t, SSL_SESSION*> sessions;

    ~TlsState() {
        for (auto& [port, session] : sessions) SSL_SESSION_free(session);
        SSL_CTX_free(context);
    }

    void keepSession(std::uint16_t port, SSL_SESSION* session) {
        auto [it, inserted] = sessions.emplace(port, session);
        if (!inserted) {
            SSL_SESSION_free(it->second);
            it->second = session;
        }
    }

    SSL_SESSION* sessionFor(std::uint16_t port) const {
        auto it = sessions.find(port);
        return it == sessions.end() ? nullptr : it->second;
    }

    void forgetSession(std::uint16_t port) {
        auto it = sessions.find(port);
        if (it == sessions.end()) return;
        SSL_SESSION_free(it->second);
        sessions.erase(it);
    }
};

// One connection: socket, TLS object and the deadline they share.
struct ProvisioningChannel::Exchange {
    int fd = -1;
    SSL* ssl = nullptr;
    SSL_SESSION* newSession = nullptr;  // a ticket the server sent during this exchange
    Clock::time_point deadline;
    std::string target;  // "address:port", for messages

    ~Exchange() {
        if (ssl != nullptr) SSL_free(ssl);
        if (newSession != nullptr) SSL_SESSION_free(newSession);
        if (fd >= 0) ::close(fd);
    }

    int millisecondsLeft(Clock::time_point until) const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - Clock::now());
        return left.count() <= 0 ? 0 : static_cast<int>(left.count());
    }

    // Waits until the socket is ready for what TLS asked for; false on time-out or error.
    bool waitFor(int sslError, Clock::time_point until) const {
        pollfd p{fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
        for (;;) {
            const int ready = ::poll(&p, 1, millisecondsLeft(until));
            if (ready > 0) return true;
            if (ready == 0) return false;
            if (errno != EINTR) return false;
        }
    }
};

namespace {

int storeNewSession(SSL* ssl, SSL_SESSION* session) {
    auto** slot = static_cast<SSL_SESSION**>(SSL_get_app_data(ssl));
    if (slot == nullptr) return 0;
    if (*slot != nullptr) SSL_SESSION_free(*slot);
    *slot = session;
    return 1;  // we own it now
}

}  // namespace

ProvisioningChannel::ProvisioningChannel(KestoEndpoint endpoint, ChannelTimeouts timeouts)
    : m_endpoint(std::move(endpoint)), m_timeouts(timeouts) {}

ProvisioningChannel::~ProvisioningChannel() = default;
ProvisioningChannel::ProvisioningChannel(ProvisioningChannel&&) noexcept = default;
ProvisioningChannel& ProvisioningChannel::operator=(ProvisioningChannel&&) noexcept = default;

int ProvisioningChannel::SendLoginRequest(const void* request, std::size_t length) {
    return send(m_endpoint.loginPort, kLoginRequestSize, false, request, length);
}

int ProvisioningChannel::SendAccountRequest(const void* request, std::size_t length) {
    return send(m_endpoint.accountPort, kAccountRequestSize, false, request, length);
}

int ProvisioningChannel::SendDeviceRequest(const void* request, std::size_t length) {
    return send(m_endpoint.devicePort, kDeviceRequestSize, true, request, length);
}

namespace {

struct Failure {
    const char* diagnostic;  // nullptr: nothing printed
    std::string reason;
};

// Makes the client context: TLS 1.2 at least, the peer must verify, trust only the CA file.
std::optional<Failure> makeContext(const std::string& caFile, SSL_CTX** out) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        return Failure{kNoContext, "cannot create a TLS context: " + openSslErrors()};
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // A server that hangs up without close_notify has simply not answered.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, storeNewSession);
    if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        const std::string why = openSslErrors();
        SSL_CTX_free(context);
        return Failure{kCaLoadFailed, "cannot load the trusted certificates from \"" + caFile +
                                          "\"" + (why.empty() ? "" : ": " + why)};
    }
    *out = context;
    return std::nullopt;
}

std::optional<Failure> resolve(const std::string& address, std::uint16_t port,
                               sockaddr_storage* target, socklen_t* targetLength) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = isIpAddress(address) ? AI_NUMERICHOST : 0;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
    if (status != 0 || found == nullptr) {
        return Failure{kConnectFailed,
                       "cannot resolve the server address \"" + address + "\": " +
                           gai_strerror(status)};
    }
    std::memcpy(target, found->ai_addr, found->ai_addrlen);
    *targetLength = found->ai_addrlen;
    ::freeaddrinfo(found);
    return std::nullopt;
}

}  // namespace

int ProvisioningChannel::send(std::uint16_t port, std::size_t expectedLength, bool existAllowed,
                              const void* request, std::size_t length) {
    m_lastError.clear();
    m_lastReply.clear();
    const auto start = Clock::now();
    const auto fail = [this](const Failure& failure) {
        if (failure.diagnostic != nullptr) printDiagnostic(failure.diagnostic);
        m_lastError = failure.reason;
        return kRequestFailed;
    };

    Exchange exchange;
    exchange.deadline = start + m_timeouts.exchange;
    exchange.target = m_endpoint.address + ":" + std::to_string(port);

    if (request == nullptr || length != expectedLength) {
        return fail({nullptr, "a request for port " + std::to_string(port) + " must be " +
                                  std::to_string(expectedLength) + " bytes, not " +
                                  std::to_string(length) + "; nothing was sent"});
    }

    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    ERR_clear_error();
    if (!m_tls) {
        auto state = std::make_unique<TlsState>();
        if (auto failure = makeContext(m_endpoint.caFile, &state->context)) return fail(*failure);
        m_tls = std::move(state);
    }

    // Connection: socket and TLS object.
    sockaddr_storage target{};
    socklen_t targetLength = 0;
    if (auto failure = resolve(m_endpoint.address, port, &target, &targetLength)) {
        return fail(*failure);
    }
    exchange.fd = ::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    exchange.ssl = exchange.fd >= 0 ? SSL_new(m_tls->context) : nullptr;
    BIO* bio = exchange.ssl != nullptr ? BIO_new(quietSocketMethod()) : nullptr;
    if (bio == nullptr) {
        return fail({kNoConnection, "cannot create a connection: " +
                                        (exchange.fd < 0 ? std::string(std::strerror(errno))
                                                         : openSslErrors())});
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(exchange.fd)));
    SSL_set_bio(exchange.ssl, bio, bio);
    SSL_set_mode(exchange.ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
    SSL_set_app_data(exchange.ssl, &exchange.newSession);
    const int one = 1;
    ::setsockopt(exchange.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    // The address must be the one in the certificate; SNI only makes sense for a name.
    if (isIpAddress(m_endpoint.address)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(exchange.ssl), m_endpoint.address.c_str());
    } else {
        SSL_set1_host(exchange.ssl, m_endpoint.address.c_str());
        SSL_set_tlsext_host_name(exchange.ssl, m_endpoint.address.c_str());
    }
    if (SSL_SESSION* session = m_tls->sessionFor(port)) SSL_set_session(exchange.ssl, session);

    // TCP connect, bounded by the connect time-out.
    const auto connectDeadline = std::min(start + m_timeouts.connect, exchange.deadline);
    if (::connect(exchange.fd, reinterpret_cast<const sockaddr*>(&target), targetLength) != 0) {
        if (errno != EINPROGRESS) {
            return fail({kConnectFailed,
                         "cannot connect to " + exchange.target + ": " + std::strerror(errno)});
        }
        if (!exchange.waitFor(SSL_ERROR_WANT_WRITE, connectDeadline)) {
            return fail({kConnectFailed, "no connection to " + exchange.target + " within " +
                                             seconds(m_timeouts.connect)});
        }
        int error = 0;
        socklen_t errorLength = sizeof error;
        ::getsockopt(exchange.fd, SOL_SOCKET, SO_ERROR, &error, &errorLength);
        if (error != 0) {
            return fail({kConnectFailed,
                         "cannot connect to " + exchange.target + ": " + std::strerror(error)});
        }
    }

    // Handshake. Verification happens inside it, so an unverified server never sees the record.
    for (;;) {
        const int status = SSL_connect(exchange.ssl);
        if (status == 1) break;
        const int error = SSL_get_error(exchange.ssl, status);
        if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
            exchange.waitFor(error, exchange.deadline)) {
            continue;
        }
        const long verification = SSL_get_verify_result(exchange.ssl);
        if (verification != X509_V_OK) {
            m_tls->forgetSession(port);
            return fail({kVerificationFailed,
                         "the certificate of " + exchange.target + " is not trusted: " +
                             X509_verify_cert_error_string(verification)});
        }
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            return fail({kConnectFailed, "no TLS handshake with " + exchange.target + " within " +
                                             seconds(m_timeouts.exchange)});
        }
        m_tls->forgetSession(port);
        const std::string why = openSslErrors();
        return fail({kConnectFailed, "TLS handshake with " + exchange.target + " failed" +
                                         (why.empty() ? "" : ": " + why)});
    }
    if (SSL_get_verify_result(exchange.ssl) != X509_V_OK ||
        SSL_get0_peer_certificate(exchange.ssl) == nullptr) {
        m_tls->forgetSession(port);
        return fail({kVerificationFailed,
                     "the server at " + exchange.target + " presented no trusted certificate"});
    }
    if (SSL_session_reused(exchange.ssl)) ++m_resumedSessions;

    // The whole record, however many writes it takes.
    const char* bytes = static_cast<const char*>(request);
    std::size_t sent = 0;
    while (sent < length) {
        const int written = SSL_write(exchange.ssl, bytes + sent, static_cast<int>(length - sent));
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        const int error = SSL_get_error(exchange.ssl, written);
        if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
            exchange.waitFor(error, exchange.deadline)) {
            continue;
        }
        return fail({kWriteFailed, "cannot send the request to " + exchange.target +
                                       (error == SSL_ERROR_WANT_WRITE
                                            ? " within " + seconds(m_timeouts.exchange)
                                            : std::string())});
    }

    // One reply of at most 8 bytes.
    char reply[kReplyBufferSize] = {};
    int received = 0;
    for (;;) {
        received = SSL_read(exchange.ssl, reply, sizeof reply);
        if (received > 0) break;
        const int error = SSL_get_error(exchange.ssl, received);
        if (error == SSL_ERROR_ZERO_RETURN) {
            return fail({kClosedWithoutReply,
                         exchange.target + " closed the connection without replying"});
        }
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (exchange.waitFor(error, exchange.deadline)) continue;
            return fail({kReadFailed, "no reply from " + exchange.target + " within " +
                                          seconds(m_timeouts.exchange)});
        }
        return fail({kReadFailed, "reading the reply from " + exchange.target + " failed"});
    }
    m_lastReply.assign(reply, static_cast<std::size_t>(received));

    // The server answered: its latest ticket is worth keeping for the next exchange.
    if (exchange.newSession != nullptr) {
        m_tls->keepSession(port, exchange.newSession);
        exchange.newSession = nullptr;
    }
    SSL_shutdown(exchange.ssl);

    const std::string_view buffer(reply, sizeof reply);
    if (replyIs(buffer, kReplyYes)) return kRequestAccepted;
    if (existAllowed && replyIs(buffer, kReplyExist)) {
        m_lastError = "already registered";
        return kDeviceExists;
    }
    m_lastError = "the server refused the request (it replied \"" +
                  printable(m_lastReply) + "\")";
    return kRequestFailed;
}

}  // namespace velquor::provisioning
